// Start-up and the command line: settings from the switches, the archive
// path and the destinations.
#pragma once
#include <cstddef>

// Static set-up of the process: the block analyser, the codon trie, the
// program's name, the current directory and the control file's path.
void init_program_globals();

// Applies the switches argv[start..] that begin with '-' for command cmd
// ('a', 'x' or 'l'); returns the index of the first argument that is not a
// switch (the archive). An unknown switch ends the process.
int parse_switches(int argc, char** argv, int start, char cmd);

// path as it stands when absolute, else work_dir, PATH_SEPARATOR and path,
// with every separator made PATH_SEPARATOR. A result that would not fit cap
// bytes, or a relative path when the current directory is unknown, is
// reported and ends the run.
void make_absolute(const char* path, char* out, size_t cap);

// `a` with a single argument: derives archive_path from what the argument
// names and writes the input argument to input (cap bytes). Whether the
// argument's last part is a name pattern decides, never the current
// directory's path.
void name_archive_from_input(const char* arg, char* input, size_t cap);

// `x`: dest_dir and wildcard from one destination argument.
void set_destination(const char* arg);

// "Error: path too long: <path>", exit code 1.
[[noreturn]] void exit_path_too_long(const char* path);
