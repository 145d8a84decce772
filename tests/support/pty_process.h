// Runs a program on a fresh pseudo-terminal, as a user's session would be,
// and lets a test type at it and read exactly the bytes it writes (the
// terminal adds no CR to a line feed).
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <string>
#include <vector>

#include "test_util.h"

namespace zt {

struct PtyOptions {
    std::vector<std::string> argv;
    std::string program;           // run instead of argv[0], then only the name it is given
    std::vector<std::string> env;  // extra NAME=value entries
    bool stdout_to_pipe = false;   // standard output is a pipe, not the terminal
    bool stdin_null = false;       // standard input is /dev/null, not the terminal
    // Another name for the terminal (e.g. /dev/ttyFPGAS0), bound over the
    // terminal's own in the test's private /dev; the program opens it by it.
    std::string alias;
    int blocked_signal = 0;  // blocked when the program starts, as a parent may leave it
};

class PtyProcess {
  public:
    explicit PtyProcess(const PtyOptions& options);
    ~PtyProcess();
    PtyProcess(const PtyProcess&) = delete;
    PtyProcess& operator=(const PtyProcess&) = delete;

    pid_t pid() const { return pid_; }
    int master() const { return master_.get(); }
    // Name of the terminal the program runs on, e.g. /dev/pts/3.
    const std::string& tty_name() const { return tty_name_; }
    // The terminal's number: "3" for /dev/pts/3, as in the session's names.
    std::string tty_tag() const { return tty_name_.substr(tty_name_.rfind('/') + 1); }

    // Types bytes at the program.
    void write(std::string_view bytes);
    // Reads until pred holds for the unconsumed output or timeout passes.
    bool read_until(const std::function<bool(const std::string&)>& pred, Millis timeout = 5000ms);
    // Waits until the unconsumed output contains text.
    bool expect(std::string_view text, Millis timeout = 5000ms);
    // Reads whatever output is there, without waiting.
    void pump();
    // Output read so far and not yet taken.
    const std::string& output() const { return output_; }
    // Returns the unconsumed output up to and including the first occurrence
    // of text (everything if text is empty or absent) and consumes it.
    std::string take(std::string_view text = {});
    // Output written to the pipe when stdout_to_pipe is set (read at exit).
    std::string pipe_output();

    // Terminal attributes as the program sees them now, and at its start.
    termios attributes() const;
    const termios& initial_attributes() const { return initial_; }
    // Closes the terminal's master side: the program's terminal hangs up.
    void hang_up() { master_.reset(); }

    void kill(int sig);
    // Waits for the program to end, reading its output meanwhile. Returns
    // the exit status, 128 + signal number for a killed program, or -1 if
    // it still runs at the deadline.
    int wait_exit(Millis timeout = 5000ms);
    bool running();

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    UniqueFd master_;
    UniqueFd pipe_;
    std::string tty_name_;
    std::string output_;
    termios initial_{};
};

// Whether two sets of terminal attributes agree in every mode and control
// character.
bool same_attributes(const termios& a, const termios& b);

}  // namespace zt
