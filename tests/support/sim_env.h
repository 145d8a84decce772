// The appliance around the shell, for whole-program tests: the ready file,
// the listener directories, the application stand-in appd (the one fake
// application of the tests) and syslogd, started inside the test's private
// namespaces (support/isolate), so the appliance's fixed paths and ports
// can be used.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "pty_process.h"
#include "test_util.h"

namespace zt {

// A background program in a process group of its own, ended when destroyed.
class Daemon {
  public:
    Daemon(std::vector<std::string> argv, std::vector<std::string> env = {});
    // Ends the program with SIGTERM (SIGKILL after kEndGrace) and waits for it.
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// The words that start the shell under test: this build's, or another
// build's (the appliance's, ZCON_SHELL) under the emulator ZCON_EMULATOR
// names (its program and options, split at spaces).
Lines shell_command();

// Sends one command to appd's control socket at path. Returns the reply's
// data lines; its status line ("ok" or "error: ...") goes to *status. Without
// status, any status but "ok" fails the test: a command the test relies on
// must have been carried out.
Lines appd_control(const std::string& path, const std::string& command,
                   std::string* status = nullptr);

// A session's listener sockets: these names with its terminal's tag.
inline const std::string kEvents = "/tmp/apiasynclisteners/zcon",
                         kLog = "/tmp/sysloglisteners/zcon";
// The shell's own words, as the terminal shows them.
inline const std::string kNotFound = "error: command not found\r\n",
                         kRetry = "\r\n -- password failed, retry --\r\n";
// Put before a program's argv, runs it as a user of its own (65534).
inline const Lines kAsNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                "--clear-groups"};

class SimEnv {
  public:
    static constexpr const char* kStateDir = "/tmp/zcon-sim";
    static constexpr const char* kControl = "/tmp/zcon-sim/appd.ctl";
    static constexpr const char* kTrace = "/tmp/zcon-sim/appd.trace";
    static constexpr const char* kMessages = "/tmp/zcon-sim/messages";

    // Creates the ready file and listener directories.
    SimEnv();

    // Starts appd on 127.0.0.1:4121 (through the program `as` names, if
    // any) and waits until it takes control commands.
    void start_appd(const Lines& as = {});
    // Starts syslogd on /dev/log, its records also in kMessages.
    void start_syslogd();
    // Starts both, as a session at its command line meets them.
    void start_appliance() {
        start_appd();
        start_syslogd();
    }
    void stop_appd() { appd_.reset(); }
    Daemon* appd() { return appd_.get(); }  // for the benchmarks

    Lines control(const std::string& command, std::string* status = nullptr) {
        return appd_control(kControl, command, status);
    }
    // Lines appd received and sent, from all sessions, as traced.
    std::string trace() { return read_file(kTrace); }
    // The lines appd received, in order, without the trace's tags.
    Lines requests();
    bool wait_trace(const std::string& text, Millis timeout = 5000ms);
    // Records syslogd has logged.
    std::string messages() { return read_file(kMessages); }
    bool wait_message(const std::string& text, Millis timeout = 5000ms);
    // Sets the password the qtool stand-in reports ("" removes it).
    void set_password(const std::string& password);

    // Starts zcon with args on a new terminal.
    std::unique_ptr<PtyProcess> zcon(std::vector<std::string> args, PtyOptions options = {});
    // Starts zcon and waits until its session has registered, so the
    // terminal is in the line editor's hands.
    std::unique_ptr<PtyProcess> registered_zcon(std::vector<std::string> args,
                                                PtyOptions options = {});
    // A telnet session at its command line, its greeting taken.
    std::unique_ptr<PtyProcess> telnet();

  private:
    std::unique_ptr<Daemon> appd_;
    std::unique_ptr<Daemon> syslogd_;
};

}  // namespace zt
