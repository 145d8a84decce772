#include "sim_env.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace zt {

namespace fs = std::filesystem;

// Copies program to copy unless that is newer: under a name of its own, then
// renamed over, so test programs starting at once never run a half copy.
static void refresh_copy(const fs::path& program, const std::string& copy) {
    if (fs::exists(copy) && fs::last_write_time(copy) > fs::last_write_time(program)) return;
    std::string part = copy + ".XXXXXX";
    close(mkstemp(part.data()));
    fs::copy_file(program, part, fs::copy_options::overwrite_existing);
    fs::rename(part, copy);
}

Daemon::Daemon(std::vector<std::string> argv, std::vector<std::string> env) {
    std::vector<char*> args;
    for (auto& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(open("/dev/null", O_RDWR), 0);
        for (auto& entry : env)
            putenv(entry.data());
        setpgid(0, 0);
        execv(args[0], args.data());
        _exit(127);
    }
}

Daemon::~Daemon() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (wait_until([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, kEndGrace)) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

Lines appd_control(const std::string& path, const std::string& command, std::string* status) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    std::string reply;
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        write(fd.get(), (command + "\n").data(), command.size() + 1) > 0) {
        // The reply ends with its status line, the only one without a
        // leading space.
        wait_until([&] {
            const bool open = read_available(fd.get(), &reply);
            const size_t last = reply.rfind('\n', reply.size() - 2);
            const bool ended = !reply.empty() && reply.back() == '\n' &&
                               reply[last == std::string::npos ? 0 : last + 1] != ' ';
            return ended || !open;
        });
    }
    Lines data;
    std::string last = "error: no reply";
    for (size_t start = 0, eol; (eol = reply.find('\n', start)) != std::string::npos;
         start = eol + 1) {
        last = reply.substr(start, eol - start);
        if (!last.empty() && last[0] == ' ') data.push_back(last.substr(1));
    }
    if (status != nullptr) {
        *status = last;
    } else if (last != "ok") {
        ADD_FAILURE() << "appd control \"" << command << "\": " << last;
    }
    return data;
}

SimEnv::SimEnv() {
    mkdir(kStateDir, 0755);
    for (const char* dir : {"/tmp/sysloglisteners", "/tmp/apiasynclisteners"}) {
        std::filesystem::remove_all(dir);  // what sessions killed by an earlier test left
        mkdir(dir, 01777);
    }
    unlink("/tmp/ZconReady");  // a FIFO an earlier test put there would hold the write
    std::ofstream("/tmp/ZconReady") << "ready\n";
    unlink(kTrace);
    unlink(kMessages);
    setenv("ZCON_SIM_DIR", kStateDir, 1);
}

void SimEnv::start_appd(const Lines& as) {
    unlink(kControl);
    appd_ = std::make_unique<Daemon>(
        plus(as, {bin_path("appd"), "--port", "4121", "--control", kControl, "--trace", kTrace}));
    std::string status;
    wait_until([&] {
        appd_control(kControl, "sessions", &status);
        return status == "ok";
    });
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

Lines SimEnv::requests() {
    Lines lines;
    std::istringstream text(trace());
    for (std::string line; std::getline(text, line);) {
        const size_t tag = line.find(" < ");
        if (tag != std::string::npos && line.find_first_not_of("0123456789") == tag)
            lines.push_back(line.substr(tag + 3));
    }
    return lines;
}

bool SimEnv::wait_trace(const std::string& text, Millis timeout) {
    return wait_until([&] { return trace().find(text) != std::string::npos; }, timeout);
}

bool SimEnv::wait_message(const std::string& text, Millis timeout) {
    return wait_until([&] { return messages().find(text) != std::string::npos; }, timeout);
}

void SimEnv::set_password(const std::string& password) {
    const std::string file = std::string(kStateDir) + "/password";
    if (password.empty())
        unlink(file.c_str());
    else
        std::ofstream(file) << password << "\n";
}

Lines shell_command() {
    const char* shell = getenv("ZCON_SHELL");
    if (shell == nullptr) return {bin_path("zcon")};
    EXPECT_EQ(access(shell, X_OK), 0) << "no shell at ZCON_SHELL=" << shell;
    std::istringstream emulator(getenv("ZCON_EMULATOR") ? getenv("ZCON_EMULATOR") : "");
    Lines words;
    for (std::string word; emulator >> word;)
        words.push_back(word);
    // The shell runs the password tool from its own folder, which the
    // emulator names with links resolved: a copy of the shell, in a folder
    // of its own in this build, beside this build's tool.
    const fs::path folder = bin_path("target");
    fs::create_directories(folder);
    for (const fs::path& program : {fs::path(shell), fs::path(bin_path("qtool"))})
        refresh_copy(program, folder / program.filename());
    words.push_back(folder / fs::path(shell).filename());
    return words;
}

std::unique_ptr<PtyProcess> SimEnv::zcon(std::vector<std::string> args, PtyOptions options) {
    // Named as an inetd line may name it: its log entries say "zcon" all the same.
    options.program = bin_path("zcon");
    options.argv = {"in.zcon"};
    if (const char* shell = getenv("ZCON_SHELL"); shell != nullptr) {
        options.argv = shell_command();
        options.program = options.argv[0];
        // A library preloaded is the shell's build's of that name, and set
        // by qemu for the shell only: in qemu's own environment it would
        // reach qemu's loader.
        for (auto& entry : options.env)
            if (entry.starts_with("LD_PRELOAD="))
                entry = "QEMU_SET_ENV=LD_PRELOAD=" +
                        (fs::path(shell).parent_path() / fs::path(entry).filename()).string();
    }
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    // Under ThreadSanitizer a race ends the session at once, so no test can
    // pass over one, and the exit does not sleep a second first, so the
    // endings can be timed; other builds ignore the variable.
    const char* tsan = getenv("TSAN_OPTIONS");
    options.env.push_back(std::string("TSAN_OPTIONS=") + (tsan ? tsan : "") +
                          " halt_on_error=1 atexit_sleep_ms=0");
    return std::make_unique<PtyProcess>(options);
}

std::unique_ptr<PtyProcess> SimEnv::registered_zcon(std::vector<std::string> args,
                                                    PtyOptions options) {
    const size_t before = requests().size();
    auto z = zcon(std::move(args), std::move(options));
    wait_until([&] {
        const Lines lines = requests();
        for (size_t i = before; i < lines.size(); ++i)
            if (lines[i].rfind("R: ", 0) == 0) return true;
        return !z->running();
    });
    return z;
}

std::unique_ptr<PtyProcess> SimEnv::telnet() {
    auto z = registered_zcon({});
    EXPECT_TRUE(z->expect("Session type: telnet\r\n")) << term_tokens(z->output());
    z->take();
    return z;
}

}  // namespace zt
