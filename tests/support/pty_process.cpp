#include "pty_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace zt {

namespace {

[[noreturn]] void child_fail(const char* what) {
    dprintf(2, "pty child: %s: %s\n", what, strerror(errno));
    _exit(127);
}

}  // namespace

PtyProcess::PtyProcess(const PtyOptions& options) {
    master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_ || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) return;
    tty_name_ = ptsname(master_.get());
    winsize size{};
    size.ws_row = static_cast<unsigned short>(options.rows);
    size.ws_col = static_cast<unsigned short>(options.cols);
    ioctl(master_.get(), TIOCSWINSZ, &size);

    if (!options.translate_output) {
        UniqueFd slave(open(tty_name_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios attrs{};
        tcgetattr(slave.get(), &attrs);
        attrs.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tcsetattr(slave.get(), TCSANOW, &attrs);
    }
    if (!options.alias.empty()) {
        UniqueFd(open(options.alias.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        if (mount(tty_name_.c_str(), options.alias.c_str(), nullptr, MS_BIND, nullptr) != 0) return;
        tty_name_ = options.alias;
    }
    initial_ = attributes();
    int pipe_fds[2] = {-1, -1};
    if (options.stdout_to_pipe && pipe2(pipe_fds, O_CLOEXEC) != 0) return;

    std::vector<char*> argv;
    for (const auto& arg : options.argv)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        setsid();
        int slave = open(tty_name_.c_str(), O_RDWR);
        if (slave < 0) child_fail("open slave");
        ioctl(slave, TIOCSCTTY, 0);
        // Extra descriptors first, so that moving them cannot clobber 0..2.
        std::vector<int> extra;
        for (int fd : options.child_fds)
            extra.push_back(fcntl(fd, F_DUPFD_CLOEXEC, 100));
        int in = options.stdin_from_null ? open("/dev/null", O_RDONLY) : slave;
        dup2(in, 0);
        dup2(options.stdout_to_pipe ? pipe_fds[1] : slave, 1);
        dup2(slave, 2);
        for (size_t i = 0; i < extra.size(); ++i)
            dup2(extra[i], static_cast<int>(3 + i));
        if (slave > 2) close(slave);
        for (const auto& entry : options.env)
            putenv(const_cast<char*>(entry.c_str()));
        signal(SIGPIPE, SIG_DFL);
        execv(argv[0], argv.data());
        child_fail(argv[0]);
    }
    if (options.stdout_to_pipe) {
        close(pipe_fds[1]);
        pipe_.reset(pipe_fds[0]);
    }
    fcntl(master_.get(), F_SETFL, fcntl(master_.get(), F_GETFL) | O_NONBLOCK);
}

PtyProcess::~PtyProcess() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void PtyProcess::write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(master_.get(), bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && errno == EAGAIN) {
            read_some(1ms);  // the program is not reading: keep its output moving
        } else if (!(n < 0 && errno == EINTR)) {
            return;
        }
    }
}

bool PtyProcess::read_some(Millis timeout) {
    pollfd pfd{master_.get(), POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char buf[4096];
    ssize_t n = ::read(master_.get(), buf, sizeof buf);
    if (n <= 0) return false;
    output_.append(buf, static_cast<size_t>(n));
    return true;
}

bool PtyProcess::read_until(const std::function<bool(const std::string&)>& pred, Millis timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred(output_)) return true;
        auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (!read_some(std::min(left, Millis(50))) && !running()) {
            // Gone: take what is still buffered, then judge once more.
            while (read_some(0ms)) {
            }
            return pred(output_);
        }
    }
}

void PtyProcess::pump() {
    while (read_some(0ms)) {
    }
}

bool PtyProcess::expect(std::string_view text, Millis timeout) {
    return read_until([&](const std::string& out) { return out.find(text) != std::string::npos; },
                      timeout);
}

std::string PtyProcess::take(std::string_view text) {
    size_t end = output_.size();
    if (!text.empty()) {
        size_t at = output_.find(text);
        if (at != std::string::npos) end = at + text.size();
    }
    std::string taken = output_.substr(0, end);
    output_.erase(0, end);
    return taken;
}

std::string PtyProcess::pipe_output() {
    if (pipe_) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(pipe_.get(), buf, sizeof buf)) > 0)
            piped_.append(buf, n);
        pipe_.reset();
    }
    return piped_;
}

void PtyProcess::resize(int rows, int cols) {
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(cols);
    ioctl(master_.get(), TIOCSWINSZ, &size);  // the kernel sends SIGWINCH
}

termios PtyProcess::attributes() const {
    termios attrs{};
    int fd = open(tty_name_.c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0) {
        tcgetattr(fd, &attrs);
        close(fd);
    }
    return attrs;
}

bool same_attributes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

void PtyProcess::hang_up() {
    master_.reset();
}

void PtyProcess::kill(int sig) {
    if (running()) ::kill(pid_, sig);
}

bool PtyProcess::running() {
    if (pid_ <= 0 || status_ != -1) return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

int PtyProcess::wait_exit(Millis timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        if (master_) {
            read_some(5ms);
        } else {
            usleep(1000);
        }
    }
    if (master_) {
        while (read_some(0ms)) {
        }
    }
    return status_;
}

}  // namespace zt
