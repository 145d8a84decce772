// Runs a shell command line in a child process and waits for it, without the
// platform's system(), which would block SIGCHLD and ignore SIGINT and SIGQUIT
// in a process that has other threads running.
#include "system_pthread.h"

#include <sys/types.h>
#include <unistd.h>

#include "seams.h"
#include "waits.h"

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
        // may have held locks at the moment of the fork. A process group of
        // its own lets an ending session end the command and whatever it
        // started; _exit leaves the parent's buffered output alone.
        setpgid(0, 0);
        execl("/bin/sh", "/bin/sh", "-c", command, static_cast<char*>(nullptr));
        _exit(1);
    }
    setpgid(pid, pid);  // before the child's own call, too: the group must exist to be ended
    return wait_child(pid);
}
