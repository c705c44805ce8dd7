// Other processes: starting a copy of a program without waiting for it,
// asking whether it still runs, stopping it and collecting its end; and the
// signals that stop this process. A program id is the system's process id.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

using ProgramId = int;
constexpr ProgramId NO_PROGRAM = 0;

// Starts the program at its full path with the given arguments (args[0] is
// the name it sees as its own), in this process's current directory, with
// this process's standard streams, and does not wait for it. Each argument
// reaches the program as it stands, blanks included. Returns NO_PROGRAM when
// it could not be started and leaves the system's reason in error_text.
ProgramId start_program(const char* path, const std::vector<std::string>& args, std::string& error_text);

// How a started program ended.
enum ProgramEnd : uint8_t {
    PROGRAM_RUNNING,   // it has not ended yet
    PROGRAM_EXITED,    // it returned an exit code
    PROGRAM_KILLED,    // a signal ended it
    PROGRAM_NOT_RUN,   // the system started a process but could not run the program in it
};

// Looks at the program without waiting; once it has ended, its end is
// collected (a second call for the same id is not allowed).
ProgramEnd poll_program(ProgramId id);

// Waits until the program ends and collects its end.
ProgramEnd wait_program(ProgramId id);

// Asks the program to stop at once (SIGTERM), as an interruption would.
// Safe to call from a signal handler.
void stop_program(ProgramId id);

// A worker ends, as if interrupted, when the process that started it ends
// first; so no copy runs on alone after its master was killed.
void stop_with_parent();

// The stop signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE) go to the
// handler, except those that the caller of this process ignores. With
// nullptr they get their default action back.
void catch_stop_signals(void (*handler)(int));

// Holds the stop signals back (true) until they are let through again
// (false), when those that came in between are delivered. Safe to call from
// a signal handler.
void hold_stop_signals(bool hold);

// In a handler: the signal takes its default action now (which ends this
// process).
void end_by_signal(int sig);

// Output to a console or pipe that has gone away fails quietly instead of
// ending the process, so that a run with tasks finishes its work.
void ignore_broken_pipe();

// Lets a short moment pass between two polls of a shared file: the
// processor is given up, so that a process that waits does not take a core
// from the processes it waits for. The moment is of the order of 0.1 ms.
void pause_between_polls();
// A longer pause, for a wait that has seen nothing change for a while.
void pause_longer_between_polls();
// A pause of about the given microseconds.
void pause_microseconds(int microseconds);
// Gives the processor to any process that is waiting for one, and returns
// at once when none is: a poll that expects a change within microseconds
// (a worker that has just finished a job, a master whose workers are
// finishing short ones) sees it without the tenth of a millisecond that a
// pause takes, and still holds no core that another process needs.
void yield_processor();
