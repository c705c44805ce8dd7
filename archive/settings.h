// Paths that the front end's start-up forms from the command line and the
// current directory, read by the archive readers, writers and tasks. Each
// holds one path of at most PATH_LIMIT characters and its terminator.
#pragma once
#include <cstdint>

#include "platform/file_io.h"

extern char work_dir[PATH_LIMIT + 1];      // current directory at start
extern char archive_path[PATH_LIMIT + 1];  // absolute path of the archive
extern char dest_dir[PATH_LIMIT + 1];      // x: destination, ending in a separator
extern char wildcard[PATH_LIMIT + 1];      // x: lower-cased name pattern

extern char exe_name[PATH_LIMIT + 1];        // the running program's file name
extern char control_path[PATH_LIMIT + 16];   // work_dir + "\\master.tmp"

// Switch texts forwarded on worker command lines: " -v ", " -s ", " -r ".
extern char verbose_arg[16];
extern char solid_arg[16];
extern char recurse_arg[16];

extern int64_t input_total;          // sizes of the files handed to add_file
extern int64_t archive_size_before;  // archive size before an `a` run
extern int64_t archive_size_after;   // and after it
