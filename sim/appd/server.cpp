// appd's event loop: one epoll set over the TCP listener, every session's
// connection and datagram socket, the control socket and a wake-up pipe.
// Everything is non-blocking; a full receiver parks the session's output
// queue until its socket reports room again. The answers that wait (for a
// lag timer or for "hold off") are released from here too.
#include <errno.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>

#include "server.h"

namespace {

// Handles one epoll event.
void dispatch(AppdServer* sv, const epoll_event& ev) {
    auto kind = static_cast<uint32_t>(ev.data.u64 >> 32);
    auto id = static_cast<uint32_t>(ev.data.u64 & 0xFFFFFFFFu);
    switch (kind) {
        case kTokListener:
            appd_accept_sessions(sv);
            return;
        case kTokControlListener:
            appd_accept_controls(sv);
            return;
        case kTokWake: {
            char drain[64];
            while (read(sv->wake_read.get(), drain, sizeof drain) > 0) {
            }
            sv->stopping = true;
            return;
        }
        case kTokSessionTcp: {
            Session* s = appd_find_session(sv, id);
            if (s == nullptr) return;
            if (ev.events & (EPOLLIN | EPOLLERR | EPOLLHUP)) appd_read_session(sv, s);
            if (!s->dead && (ev.events & EPOLLOUT)) appd_flush(sv, s);
            return;
        }
        case kTokSessionDgram: {
            Session* s = appd_find_session(sv, id);
            if (s == nullptr) return;
            if (ev.events & EPOLLERR) s->dgram.reset();  // reconnected on the next send
            s->dgram_blocked = false;
            appd_flush(sv, s);
            return;
        }
        case kTokControl: {
            auto it = sv->controls.find(id);
            if (it == sv->controls.end()) return;
            ControlClient* c = it->second.get();
            if (ev.events & (EPOLLIN | EPOLLERR | EPOLLHUP)) appd_read_control(sv, c);
            if (!c->dead && (ev.events & EPOLLOUT)) appd_write_control(sv, c);
            if (c->dead) sv->controls.erase(it);
            return;
        }
        default:
            return;
    }
}

// Removes the sessions closed during the last event, keeping the request
// lists of the most recent ones for "requests".
void reap(AppdServer* sv) {
    for (unsigned id : sv->reap_list) {
        auto it = sv->sessions.find(id);
        if (it == sv->sessions.end()) continue;
        sv->closed_requests[id] = std::move(it->second->requests);
        sv->sessions.erase(it);
        while (sv->closed_requests.size() > kClosedSessionsKept) {
            sv->closed_requests.erase(sv->closed_requests.begin());
        }
    }
    sv->reap_list.clear();
}

// Answers the parked requests whose lag has run out.
void fire_timers(AppdServer* sv) {
    int64_t now = appd_now_ms();
    while (!sv->timers.empty() && sv->timers.begin()->first <= now) {
        unsigned id = sv->timers.begin()->second;
        sv->timers.erase(sv->timers.begin());
        Session* s = appd_find_session(sv, id);
        if (s == nullptr || !s->busy || s->waiting_for_release) continue;
        s->busy = false;
        appd_answer(sv, s, std::move(s->pending_answer));
        appd_process_input(sv, s);
    }
}

// Milliseconds until the next timer, -1 when none is armed.
int next_timeout(const AppdServer* sv) {
    if (sv->timers.empty()) return -1;
    int64_t wait = sv->timers.begin()->first - appd_now_ms();
    if (wait < 0) return 0;
    return wait > 60000 ? 60000 : static_cast<int>(wait);
}

}  // namespace

int appd_accept(int listener) {
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

// Packs what an epoll event belongs to: the kind of socket and its owner's id.
uint64_t appd_token(uint32_t kind, uint32_t id) {
    return (static_cast<uint64_t>(kind) << 32) | id;
}

// Milliseconds of the monotonic clock.
int64_t appd_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Registers or changes fd's interest set; *current tracks what epoll holds.
void appd_set_interest(AppdServer* sv, int fd, uint64_t tok, uint32_t* current, uint32_t wanted) {
    if (*current == wanted) return;
    epoll_event ev{};
    ev.events = wanted;
    ev.data.u64 = tok;
    epoll_ctl(sv->epoll.get(), EPOLL_CTL_MOD, fd, &ev);
    *current = wanted;
}

// Adds fd to the epoll set; returns 0 or -1.
int appd_watch(AppdServer* sv, int fd, uint64_t tok, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = tok;
    return epoll_ctl(sv->epoll.get(), EPOLL_CTL_ADD, fd, &ev);
}

// Brings the session's epoll interests in line with its state: no reading
// while a request waits for its answer, writing only while bytes wait.
void appd_update_interest(AppdServer* sv, Session* s) {
    if (s->dead) return;
    uint32_t tcp = s->busy ? 0u : static_cast<uint32_t>(EPOLLIN);
    if (s->tcp_out_start < s->tcp_out.size()) tcp |= EPOLLOUT;
    appd_set_interest(sv, s->tcp.get(), appd_token(kTokSessionTcp, s->id), &s->tcp_events, tcp);
    if (s->dgram.valid()) {
        uint32_t dgram = s->dgram_blocked ? static_cast<uint32_t>(EPOLLOUT) : 0u;
        appd_set_interest(sv, s->dgram.get(), appd_token(kTokSessionDgram, s->id), &s->dgram_events,
                          dgram);
    }
}

void appd_answer(AppdServer* sv, Session* s, std::string line) {
    if (sv->hold_all) {
        s->busy = true;
        s->waiting_for_release = true;
        s->pending_answer = std::move(line);
        return;
    }
    if (sv->breach == Breach::kAnswerForm && line.starts_with("R: ")) line = "OK " + line.substr(3);
    appd_log_answer(sv, s, line);
    line += '\n';
    appd_queue_tcp(s, std::move(line));
}

void appd_answer_later(AppdServer* sv, Session* s, std::string line, int ms) {
    s->busy = true;
    s->pending_answer = std::move(line);
    sv->timers.emplace(appd_now_ms() + (ms < 0 ? 0 : ms), s->id);
}

void appd_release_held(AppdServer* sv) {
    for (auto& [id, s] : sv->sessions) {
        if (s->dead || !s->waiting_for_release) continue;
        s->waiting_for_release = false;
        s->busy = false;
        appd_answer(sv, s.get(), std::move(s->pending_answer));
        appd_process_input(sv, s.get());
    }
}

int appd_run(AppdServer* sv) {
    std::array<epoll_event, 64> events;
    while (!sv->stopping) {
        int n = epoll_wait(sv->epoll.get(), events.data(), static_cast<int>(events.size()),
                           next_timeout(sv));
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("appd: epoll_wait");
            return -1;
        }
        for (int i = 0; i < n && !sv->stopping; ++i) {
            dispatch(sv, events[i]);
            reap(sv);
        }
        fire_timers(sv);
        reap(sv);
    }
    return 0;
}

void appd_request_stop(AppdServer* server) {
    ssize_t rc = write(server->wake_write.get(), "x", 1);
    (void)rc;  // a full pipe already holds a wake-up
}
