// The engine's one way out on failure. Damaged input, a failed write to the
// archive and exhausted memory each print one line and end the process with
// exit code 1; nothing returns from these calls.
#pragma once

// Path of the archive being read or written, named in every report. Set by
// whoever opens the archive; "archive" until then.
extern const char* error_archive_name;

// The archive is damaged: "Error: archive <name> is damaged: <what>".
[[noreturn]] void fail_damaged(const char* what);

// A write to the archive (or part file) being written failed: the entry in
// progress is cut off, so the archive ends with its last complete entry.
[[noreturn]] void fail_archive_write();

// Encoding cannot go on ("Error: <what>"): the entry in progress is cut off
// as for a failed write.
[[noreturn]] void fail_encoding(const char* what);

// Working memory could not be allocated: "No memory \n".
[[noreturn]] void fail_no_memory();
