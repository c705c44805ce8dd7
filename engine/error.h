// The one failure of the whole program. Damaged input, a failed write to the
// archive, exhausted memory and every other condition that ends a command are
// raised where they are found as a `Failure` and handled at the top of the
// program (or of a worker loop), which prints its line and ends with its exit
// code. Nothing below that top ends the process.
#pragma once

#include <string>

struct Failure {
    std::string line;  // printed as it stands (newline included); empty when already printed
    int exit_code;     // the process's exit code: 1 for every failure
};

// Path of the archive being read or written, named in every report. Set by
// whoever opens the archive; "archive" until then.
extern const char* error_archive_name;

// The archive is damaged: "Error: archive <name> is damaged: <what>".
[[noreturn]] void fail_damaged(const char* what);

// A write to the archive (or part file) being written failed. The entry
// writer cuts the entry in progress off on its way out, so the archive ends
// with its last complete entry.
[[noreturn]] void fail_archive_write();

// Encoding cannot go on ("Error: <what>"); the entry in progress is cut off
// as for a failed write.
[[noreturn]] void fail_encoding(const char* what);

// Working memory could not be allocated: "No memory \n".
[[noreturn]] void fail_no_memory();

// Any other failure: `line` is printed as it stands (empty: already printed).
[[noreturn]] void fail_with_line(std::string line);

// Prints the failure's line and returns the exit code it asks for.
int report_failure(const Failure& failure);
