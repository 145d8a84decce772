#include "sim_env.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace zt {

Daemon::Daemon(std::vector<std::string> argv, std::vector<std::string> env) {
    std::vector<char*> args;
    for (auto& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        for (auto& entry : env)
            putenv(entry.data());
        setpgid(0, 0);
        execv(args[0], args.data());
        _exit(127);
    }
}

Daemon::~Daemon() {
    stop(SIGKILL);
}

void Daemon::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

int Daemon::stop(int sig) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, sig);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

SimEnv::SimEnv() {
    mkdir(kStateDir, 0755);
    mkdir("/tmp/sysloglisteners", 01777);
    mkdir("/tmp/apiasynclisteners", 01777);
    std::ofstream("/tmp/ZconReady") << "ready\n";
    unlink(kTrace);
    unlink(kMessages);
    setenv("ZCON_SIM_DIR", kStateDir, 1);
}

SimEnv::~SimEnv() = default;

void SimEnv::start_appd(std::vector<std::string> extra_args, int port) {
    std::vector<std::string> argv = {
        bin_path("appd"), "--port", std::to_string(port), "--control", kControl, "--trace", kTrace};
    for (auto& arg : extra_args)
        argv.push_back(arg);
    unlink(kControl);
    appd_ = std::make_unique<Daemon>(argv);
    // The socket file appears at bind, a moment before appd listens on it.
    wait_until([&] { return static_cast<bool>(connect_control()); });
}

void SimEnv::stop_appd() {
    if (appd_) appd_->stop();
    appd_.reset();
}

void SimEnv::start_syslogd() {
    // Ready once it writes its pid file: /dev/log may be left from a killed
    // one, and a session that looks for syslogd before its exec would not
    // find it by name.
    const std::string pid_file = std::string(kStateDir) + "/syslogd.pid";
    unlink(pid_file.c_str());
    syslogd_ = std::make_unique<Daemon>(std::vector<std::string>{
        bin_path("syslogd"), "--log-file", kMessages, "--pid-file", pid_file});
    wait_until([&] { return access(pid_file.c_str(), F_OK) == 0; });
}

void SimEnv::stop_syslogd() {
    if (syslogd_) syslogd_->stop();
    syslogd_.reset();
}

UniqueFd SimEnv::connect_control() {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", kControl);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fd.reset();
    return fd;
}

std::vector<std::string> SimEnv::control(const std::string& command, std::string* status) {
    std::vector<std::string> reply;
    UniqueFd fd = connect_control();
    if (!fd) {
        if (status != nullptr) *status = "error: no control socket";
        return reply;
    }
    std::string request = command + "\n";
    (void)!write(fd.get(), request.data(), request.size());
    std::string text;
    char buf[4096];
    for (;;) {
        pollfd pfd{fd.get(), POLLIN, 0};
        if (poll(&pfd, 1, 5000) <= 0) break;
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        // The reply ends with a line that starts "ok" or "error".
        size_t last = text.rfind('\n', text.size() - 2);
        std::string tail = text.substr(last == std::string::npos ? 0 : last + 1);
        if (!text.empty() && text.back() == '\n' &&
            (tail.rfind("ok", 0) == 0 || tail.rfind("error", 0) == 0)) {
            break;
        }
    }
    size_t start = 0, eol;
    while ((eol = text.find('\n', start)) != std::string::npos) {
        reply.push_back(text.substr(start, eol - start));
        start = eol + 1;
    }
    if (!reply.empty()) {
        if (status != nullptr) *status = reply.back();
        reply.pop_back();
    }
    for (auto& line : reply) {
        if (!line.empty() && line[0] == ' ') line.erase(0, 1);  // data lines are indented
    }
    return reply;
}

std::string SimEnv::trace() {
    return read_file(kTrace);
}

bool SimEnv::wait_trace(const std::string& text, Millis timeout) {
    return wait_until([&] { return trace().find(text) != std::string::npos; }, timeout);
}

std::vector<std::string> SimEnv::requests() {
    std::vector<std::string> lines;
    std::string text = trace();
    size_t start = 0, eol;
    while ((eol = text.find('\n', start)) != std::string::npos) {
        std::string line = text.substr(start, eol - start);
        start = eol + 1;
        size_t tag = line.find(" < ");
        if (tag != std::string::npos && line.find_first_not_of("0123456789") == tag) {
            lines.push_back(line.substr(tag + 3));
        }
    }
    return lines;
}

std::string SimEnv::messages() {
    return read_file(kMessages);
}

bool SimEnv::wait_message(const std::string& text, Millis timeout) {
    return wait_until([&] { return messages().find(text) != std::string::npos; }, timeout);
}

void SimEnv::set_password(const std::string& password) {
    std::string file = std::string(kStateDir) + "/password";
    if (password.empty()) {
        unlink(file.c_str());
    } else {
        std::ofstream(file) << password << "\n";
    }
}

std::unique_ptr<PtyProcess> SimEnv::zcon(std::vector<std::string> args, PtyOptions options) {
    options.argv = {bin_path("zcon")};
    for (auto& arg : args)
        options.argv.push_back(arg);
    options.env.push_back(std::string("ZCON_SIM_DIR=") + kStateDir);
    // Under ThreadSanitizer a race ends the session at once, so no test can
    // pass over one; other builds ignore the variable.
    const char* tsan = getenv("TSAN_OPTIONS");
    options.env.push_back(std::string("TSAN_OPTIONS=") + (tsan ? tsan : "") + " halt_on_error=1");
    return std::make_unique<PtyProcess>(options);
}

std::unique_ptr<PtyProcess> SimEnv::registered_zcon(std::vector<std::string> args,
                                                    PtyOptions options) {
    size_t before = requests().size();
    auto z = zcon(std::move(args), std::move(options));
    wait_until([&] {
        auto lines = requests();
        for (size_t i = before; i < lines.size(); ++i) {
            if (lines[i].rfind("R: ", 0) == 0) return true;
        }
        return !z->running();
    });
    return z;
}

}  // namespace zt
