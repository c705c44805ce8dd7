#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sched.h>
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
    if (WIFSIGNALED(status)) return PROGRAM_KILLED;
    // The code with which a started process ends when the program cannot
    // be run in it (where posix_spawn cannot report that itself, as under
    // an emulator that runs the new process as a copy of itself).
    return WIFEXITED(status) && WEXITSTATUS(status) == 127 ? PROGRAM_NOT_RUN : PROGRAM_EXITED;
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
    // The program is stopped with SIGTERM: it gets the signal's default
    // action and no blocked signals, whatever this process ignores or holds.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t default_signals, no_signals;
    sigemptyset(&default_signals);
    sigaddset(&default_signals, SIGTERM);
    sigemptyset(&no_signals);
    posix_spawnattr_setsigdefault(&attributes, &default_signals);
    posix_spawnattr_setsigmask(&attributes, &no_signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    // posix_spawn reports a failed exec of the program as its own result.
    const int error = posix_spawn(&pid, path, nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
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

void hold_stop_signals(bool hold)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : STOP_SIGNALS) sigaddset(&set, sig);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void end_by_signal(int sig)
{
    signal(sig, SIG_DFL);
    raise(sig);
}

void ignore_broken_pipe() { signal(SIGPIPE, SIG_IGN); }

void pause_microseconds(int microseconds) { sleep_nanoseconds(1000L * microseconds); }

void pause_between_polls() { sleep_nanoseconds(1000); }

void pause_longer_between_polls() { sleep_nanoseconds(500000); }

void yield_processor() { sched_yield(); }
