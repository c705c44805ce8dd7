#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

ProgramEnd end_of(int status)
{
    return WIFSIGNALED(status) ? PROGRAM_KILLED : PROGRAM_EXITED;
}

void sleep_nanoseconds(long ns)
{
    struct timespec t = {0, ns};
    nanosleep(&t, nullptr);
}

}  // namespace

ProgramId start_program(const char* path, const std::vector<std::string>& args, std::string& error_text)
{
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    // posix_spawn reports a failed exec of the program as its own result.
    const int error = posix_spawn(&pid, path, nullptr, nullptr, argv.data(), environ);
    if (error != 0) {
        error_text = std::strerror(error);
        return NO_PROGRAM;
    }
    return pid;
}

ProgramEnd poll_program(ProgramId id)
{
    int status = 0;
    pid_t r;
    do {
        r = waitpid(id, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return PROGRAM_RUNNING;
    // An id that is no child of this process (any more) has ended too.
    return r < 0 ? PROGRAM_EXITED : end_of(status);
}

ProgramEnd wait_program(ProgramId id)
{
    int status = 0;
    pid_t r;
    do {
        r = waitpid(id, &status, 0);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? PROGRAM_EXITED : end_of(status);
}

void stop_program(ProgramId id)
{
    if (id > 0) kill(id, SIGTERM);
}

void stop_with_parent()
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have ended before the request was made.
    if (getppid() == 1) raise(SIGTERM);
}

void catch_stop_signals(void (*handler)(int))
{
    for (int sig : STOP_SIGNALS) {
        struct sigaction old_action;
        if (sigaction(sig, nullptr, &old_action) != 0 || old_action.sa_handler == SIG_IGN) continue;
        struct sigaction action = {};
        action.sa_handler = handler != nullptr ? handler : SIG_DFL;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

void end_by_signal(int sig)
{
    signal(sig, SIG_DFL);
    raise(sig);
}

void pause_between_polls() { sleep_nanoseconds(1000); }

void pause_longer_between_polls() { sleep_nanoseconds(500000); }
