#include "bench/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

pid_t SpawnChild(const std::vector<std::string> &arguments, int output, int deathSignal)
{
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, deathSignal);
        int quiet = open("/dev/null", O_RDWR);
        dup2(quiet, STDIN_FILENO);
        dup2(output >= 0 ? output : quiet, STDOUT_FILENO);
        dup2(output >= 0 ? output : quiet, STDERR_FILENO);
        std::vector<char *> argv;
        for (const std::string &argument : arguments) {
            argv.push_back(const_cast<char *>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

int ReapChild(pid_t child, std::chrono::milliseconds limit)
{
    if (child <= 0) {
        return -1;
    }
    int ended = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    pollfd wait{ended, POLLIN, 0};
    bool killed = false;
    if (ended < 0 || poll(&wait, 1, static_cast<int>(limit.count())) <= 0) {
        kill(child, SIGKILL);
        killed = true;
    }
    if (ended >= 0) {
        close(ended);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace bench
