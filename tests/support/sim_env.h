// The appliance around the shell, for whole-program tests: the ready file,
// the listener directories, the application stand-in and syslogd, started
// inside the test's private namespaces (support/isolate), so the fixed
// paths and ports of the real appliance can be used.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "pty_process.h"
#include "test_util.h"

namespace zt {

// A background program, ended (SIGTERM, then SIGKILL) when destroyed.
class Daemon {
  public:
    Daemon(std::vector<std::string> argv, std::vector<std::string> env = {});
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    pid_t pid() const { return pid_; }
    void signal(int sig);
    // Ends the program and waits for it; returns its exit status.
    int stop(int sig = 15);

  private:
    pid_t pid_ = -1;
};

class SimEnv {
  public:
    static constexpr const char* kStateDir = "/tmp/zcon-sim";
    static constexpr const char* kControl = "/tmp/zcon-sim/appd.ctl";
    static constexpr const char* kTrace = "/tmp/zcon-sim/appd.trace";
    static constexpr const char* kMessages = "/tmp/zcon-sim/messages";

    // Creates the ready file and listener directories.
    SimEnv();
    ~SimEnv();

    // Starts the application stand-in on 127.0.0.1:port and waits until it
    // accepts control commands.
    void start_appd(std::vector<std::string> extra_args = {}, int port = 4121);
    void stop_appd();
    // Starts the syslogd stand-in on /dev/log, its records also in kMessages.
    void start_syslogd();
    void stop_syslogd();
    Daemon* appd() { return appd_.get(); }
    Daemon* syslogd() { return syslogd_.get(); }

    // Sends one control command to appd; returns its reply lines without
    // the closing "ok"/"error" line, which goes to *status if given.
    std::vector<std::string> control(const std::string& command, std::string* status = nullptr);
    // Lines appd received from all sessions so far, in order, as traced.
    std::string trace();
    // The lines appd received, in order, without the trace's tags.
    std::vector<std::string> requests();
    // Waits until the trace contains text.
    bool wait_trace(const std::string& text, Millis timeout = 5000ms);
    // Records syslogd has logged.
    std::string messages();
    bool wait_message(const std::string& text, Millis timeout = 5000ms);

    // Sets the password the qtool stand-in reports ("" removes it).
    void set_password(const std::string& password);

    // Starts zcon with args on a new terminal of the given size.
    std::unique_ptr<PtyProcess> zcon(std::vector<std::string> args, PtyOptions options = {});
    // Starts zcon and waits until its session has registered, so the
    // terminal is in the line editor's hands.
    std::unique_ptr<PtyProcess> registered_zcon(std::vector<std::string> args,
                                                PtyOptions options = {});

  private:
    // A connection to appd's control socket; invalid while appd does not listen.
    static UniqueFd connect_control();

    std::unique_ptr<Daemon> appd_;
    std::unique_ptr<Daemon> syslogd_;
};

}  // namespace zt
