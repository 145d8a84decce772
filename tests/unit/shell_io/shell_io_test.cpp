#include <errno.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "seams.h"
#include "shell_io.h"

namespace {

// Every write a flush makes, one string each, in place of the descriptor.
std::vector<std::string> g_writes;
ssize_t recording(int, const void* buf, size_t count) {
    g_writes.emplace_back(static_cast<const char*>(buf), count);
    return static_cast<ssize_t>(count);
}
constexpr int kFd = 7;  // any descriptor: its writes are recorded
std::vector<std::string> writes() {
    return std::exchange(g_writes, {});
}

struct ShellIoTest : ::testing::Test {
    void TearDown() override {
        EXPECT_EQ(shell_io_destroy(shio), 0);
        EXPECT_EQ(shell_io_get_attributes(shio, nullptr, nullptr, nullptr) + shio->stream_size +
                      shio->getline_size,
                  0u);
        free(shio);
    }
    ShellIOT* shio = (shell_io_set_write(recording), shell_io_create());
};

using Writes = std::vector<std::string>;

TEST_F(ShellIoTest, FlushWritesOneCallPerLineAndEmptiesTheStream) {
    // Refused, or answered, before and after a descriptor is bound.
    EXPECT_EQ((std::vector<int>{shell_io_pprint(shio, "x"), shell_io_printf(nullptr, "x"),
                                shell_io_put_line(nullptr, "x"), shell_io_bind_fd(shio, 0),
                                shell_io_has_bound_fd(shio, nullptr), shell_io_bind_fd(shio, kFd),
                                shell_io_has_bound_fd(shio, nullptr), shell_io_pprint(shio, "now"),
                                (errno = EINTR, shell_io_printf(shio, "%s", ""))}),
              (std::vector<int>{SHELL_IO_ENOTBOUND, -1, -1, SHELL_IO_EINVAL, SHELL_IO_ENOFD, 0, 0,
                                3, 0}));

    EXPECT_EQ(shell_io_printf(shio, "a\n%s", "b"), 3);
    // What is held is reported.
    char* held = nullptr;
    int size = 0, fd = 0;
    EXPECT_EQ(shell_io_get_attributes(shio, &held, &size, &fd), 0);
    EXPECT_EQ(std::string(held, size) + std::to_string(fd), "a\nb" + std::to_string(kFd));
    EXPECT_EQ(shell_io_flush(shio), 0);
    EXPECT_EQ(writes(), (Writes{"now", "a\n", "b"}));

    shell_io_printf(shio, "c\n");
    shell_io_flush(shio);
    EXPECT_EQ(writes(), Writes{"c\n"});

    // A line put or flushed without formatting: the same writes, in order.
    shell_io_printf(shio, "d");
    EXPECT_EQ(shell_io_put_line(shio, "%e"), 0);
    EXPECT_EQ(shell_io_flush_line(shio, "f"), 0);
    EXPECT_EQ(shell_io_flush_line(shio, "gh"), 0);
    EXPECT_EQ(writes(), (Writes{"d%e\n", "f\n", "gh\n"}));
    EXPECT_EQ(shell_io_dump(shio), 0);
    for (const size_t burst : {256u * 1024, 256u * 1024 + 1}) {  // storage kept up to 256 KiB
        shell_io_printf(shio, "%0*d\n", static_cast<int>(burst) - 1, 0);
        shell_io_flush(shio);
        errno = EINTR;  // an interruption before does not make the report repeat
        shell_io_get_attributes(shio, &held, &size, nullptr);
        EXPECT_EQ(malloc_usable_size(held) >= burst, burst == 256u * 1024);
        EXPECT_EQ(writes().size(), 1u);  // the long line in one write
    }
}

TEST_F(ShellIoTest, CrModeEndsEveryLineWithCrLf) {
    shell_io_bind_fd(shio, kFd);
    shell_io_add_cr(shio);
    shell_io_printf(shio, "a\nb");
    shell_io_flush(shio);
    EXPECT_EQ(writes(), (Writes{"a", "\r\n", "b", "\r\n"}));
    // A CR already in the text stays in front of the added pair.
    shell_io_printf(shio, "x\r\n");
    shell_io_flush(shio);
    EXPECT_EQ(writes(), (Writes{"x\r", "\r\n"}));
    shell_io_flush_line(shio, "y");
    EXPECT_EQ(writes(), (Writes{"y", "\r\n"}));
}

// Write seams: interrupted, short and failing writes.
int g_calls;
ssize_t interrupted_then_short(int fd, const void* buf, size_t count) {
    ++g_calls;
    if (g_calls == 1) {
        errno = EINTR;
        return -1;
    }
    return recording(fd, buf, g_calls == 2 ? 1 : count > 2 ? 2 : count);
}

// A failed write drops its text, but the stream is emptied all the same.
TEST_F(ShellIoTest, InterruptedAndShortWritesAreCompletedFailedOnesDropped) {
    shell_io_bind_fd(shio, kFd);
    g_calls = 0;
    shell_io_set_write(interrupted_then_short);
    shell_io_printf(shio, "hello\n");
    EXPECT_EQ(shell_io_flush(shio), 0);
    EXPECT_EQ(writes(), (Writes{"h", "el", "lo", "\n"}));
    shell_io_set_write([](int, const void*, size_t) -> ssize_t { return errno = EIO, -1; });
    EXPECT_EQ(shell_io_pprint(shio, "x"), -1);
    shell_io_printf(shio, "lost\n");
    EXPECT_EQ(shell_io_flush(shio), 0);
    shell_io_set_write(recording);
    shell_io_printf(shio, "next\n");
    shell_io_flush(shio);
    EXPECT_EQ(writes(), Writes{"next\n"});
}

}  // namespace
