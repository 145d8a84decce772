// Runs a shell command line in a child process and waits for it, without the
// platform's system(), which would block SIGCHLD and ignore SIGINT and SIGQUIT
// in a process that has other threads running.
#include <errno.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "commands.h"
#include "seams.h"

namespace {

CommandRunnerT command_runner = nullptr;  // a test's stand-in for fork and exec

}  // namespace

CommandRunnerT system_pthread_set_runner(CommandRunnerT runner) {
    const CommandRunnerT previous = command_runner;
    command_runner = runner;
    return previous;
}

int system_pthread(const char* command) {
    if (!command) return -1;
    if (command_runner) return command_runner(command);

    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec: other threads
        // may have held locks at the moment of the fork. _exit leaves the
        // parent's buffered output alone.
        execl("/bin/sh", "/bin/sh", "-c", command, static_cast<char*>(nullptr));
        _exit(1);
    }
    // Wait for this child only, and again after a signal without restart
    // (SIGUSR1, SIGWINCH) interrupts the wait, so that no zombie is left.
    int status = 0;
    pid_t done;
    do {
        done = waitpid(pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    return done < 0 ? -1 : status;
}
