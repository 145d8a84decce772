// xlist: a doubly linked list of untyped payloads whose head the user holds.
#include <new>

#include "libxcom.h"

// The tail is found by walking from the head: lists here are short.
xlist* xlist_add(xlist** head, void* ptr) {
    if (head == nullptr) return nullptr;
    auto* node = new (std::nothrow) xlist{nullptr, nullptr, ptr};
    if (node == nullptr) return nullptr;
    if (*head == nullptr) {
        *head = node;
        return node;
    }
    xlist* tail = *head;
    while (tail->next != nullptr)
        tail = tail->next;
    tail->next = node;
    node->prev = tail;
    return node;
}

void xlist_remove(xlist** head, xlist* element) {
    if (head == nullptr || element == nullptr) return;
    if (*head == element) *head = element->next;
    if (element->prev != nullptr) element->prev->next = element->next;
    if (element->next != nullptr) element->next->prev = element->prev;
    delete element;
}

void xlist_walk(xlist* head, int (*callback)(xlist*)) {
    if (callback == nullptr) return;
    for (xlist* node = head; node != nullptr;) {
        // Read the link first, so the callback may remove the node it is given.
        xlist* next = node->next;
        if (callback(node) != 0) return;
        node = next;
    }
}

int xlist_size(xlist* head) {
    int count = 0;
    for (xlist* node = head; node != nullptr; node = node->next)
        ++count;
    return count;
}
