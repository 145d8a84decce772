#include "pty_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>

namespace zt {

PtyProcess::PtyProcess(const PtyOptions& options) {
    master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_ || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) return;
    tty_name_ = ptsname(master_.get());
    const winsize size{24, 80, 0, 0};
    ioctl(master_.get(), TIOCSWINSZ, &size);
    {
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
        const int slave = open(tty_name_.c_str(), O_RDWR);
        ioctl(slave, TIOCSCTTY, 0);
        dup2(options.stdin_null ? open("/dev/null", O_RDONLY) : slave, 0);
        dup2(options.stdout_to_pipe ? pipe_fds[1] : slave, 1);
        dup2(slave, 2);
        close_range(3, ~0u, 0);  // a session starts with none but the terminal
        for (const auto& entry : options.env)
            putenv(const_cast<char*>(entry.c_str()));
        signal(SIGPIPE, SIG_DFL);
        sigset_t blocked;
        sigemptyset(&blocked);
        if (options.blocked_signal != 0) sigaddset(&blocked, options.blocked_signal);
        sigprocmask(SIG_SETMASK, &blocked, nullptr);
        execv(options.program.empty() ? argv[0] : options.program.c_str(), argv.data());
        dprintf(2, "cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    if (options.stdout_to_pipe) {
        close(pipe_fds[1]);
        pipe_.reset(pipe_fds[0]);
    }
    fcntl(master_.get(), F_SETFL, O_NONBLOCK);
}

// Ended with SIGTERM, as a session may be, so that it writes its coverage
// counts; killed if it is still there after the grace.
PtyProcess::~PtyProcess() {
    if (!running()) return;
    ::kill(pid_, SIGTERM);
    if (wait_exit(kEndGrace) >= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

void PtyProcess::write(std::string_view bytes) {
    // Reads while the program does not take the input, so that its output
    // never fills the terminal and stops it.
    wait_until([&] {
        const ssize_t n = ::write(master_.get(), bytes.data(), bytes.size());
        if (n > 0) bytes.remove_prefix(static_cast<size_t>(n));
        if (n < 0 && errno != EAGAIN && errno != EINTR) return true;
        pump();
        return bytes.empty();
    });
}

void PtyProcess::pump() {
    if (master_) read_available(master_.get(), &output_);
}

bool PtyProcess::read_until(const std::function<bool(const std::string&)>& pred, Millis timeout) {
    wait_until(
        [&] {
            const bool alive = running();  // what it wrote before it ended is read next
            pump();
            return pred(output_) || !alive;
        },
        timeout);
    return pred(output_);
}

bool PtyProcess::expect(std::string_view text, Millis timeout) {
    return read_until([&](const std::string& out) { return out.find(text) != std::string::npos; },
                      timeout);
}

std::string PtyProcess::take(std::string_view text) {
    const size_t at = text.empty() ? std::string::npos : output_.find(text);
    const size_t end = at == std::string::npos ? output_.size() : at + text.size();
    std::string taken = output_.substr(0, end);
    output_.erase(0, end);
    return taken;
}

std::string PtyProcess::pipe_output() {
    std::string out;
    if (pipe_) read_available(pipe_.get(), &out);
    return out;
}

termios PtyProcess::attributes() const {
    termios attrs{};
    UniqueFd fd(open(tty_name_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    tcgetattr(fd.get(), &attrs);
    return attrs;
}

bool same_attributes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

void PtyProcess::kill(int sig) {
    if (running()) ::kill(pid_, sig);
}

bool PtyProcess::running() {
    int status;
    if (pid_ <= 0 || status_ != -1) return false;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

int PtyProcess::wait_exit(Millis timeout) {
    const bool ended = wait_until(
        [&] {
            pump();
            return !running();
        },
        timeout);
    pump();
    return ended ? status_ : -1;
}

}  // namespace zt
