// The library's small services: printable dump, warning printer, list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libxcom.h"

namespace {

TEST(Hexasc, KeepsPrintableBytesAndBracketsTheRest) {
    char output[4 * 4 + 1];
    EXPECT_STREQ(hexasc("A\n\xff~", 4, output), "A[0a][ff]~");
    EXPECT_STREQ(hexasc("A", 0, output), "");
    EXPECT_STREQ(xcom_get_version(), "libxcom 0.0.1");
}

TEST(XcomLog, WritesPrefixAndTextCutTo511Characters) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(xcom_log("P:", "%d-%s", 7, "x"), 5);
    EXPECT_EQ(xcom_log(nullptr, "%s", std::string(600, 'q').c_str()), 511);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "P:7-x" + std::string(511, 'q'));
}

// Payloads seen by the walk, which stops at the node carrying "stop".
std::vector<std::string> walked;
int record_until_stop(xlist* node) {
    walked.emplace_back(static_cast<const char*>(node->ptr));
    return walked.back() == "stop" ? 1 : 0;
}

TEST(Xlist, AppendsWalksAndUnlinks) {
    xlist* head = nullptr;
    char a[] = "a", stop[] = "stop", c[] = "c";
    xlist* first = xlist_add(&head, a);
    xlist* middle = xlist_add(&head, stop);
    xlist* last = xlist_add(&head, c);
    EXPECT_EQ(head, first);
    EXPECT_EQ(xlist_size(head), 3);
    EXPECT_EQ(last->prev, middle);
    walked.clear();
    xlist_walk(head, record_until_stop);
    EXPECT_EQ(walked, (std::vector<std::string>{"a", "stop"}));

    xlist_remove(&head, middle);
    EXPECT_EQ(first->next, last);
    EXPECT_EQ(last->prev, first);
    xlist_remove(&head, first);
    EXPECT_EQ(head, last);
    EXPECT_EQ(last->prev, nullptr);
    xlist_remove(&head, last);
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(xlist_size(head), 0);
}

}  // namespace
