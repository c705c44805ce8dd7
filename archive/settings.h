// Paths that the front end's start-up forms from the command line and the
// current directory, read by the archive readers, writers and tasks. Each
// holds one path of at most PLATFORM_PATH_LIMIT characters and its
// terminator, with PATH_SEPARATOR as its separator.
#pragma once
#include <cstdint>

#include "platform/file_io.h"

extern char work_dir[PLATFORM_PATH_LIMIT + 1];      // current directory at start; "" when unknown
extern char archive_path[PLATFORM_PATH_LIMIT + 1];  // absolute path of the archive
extern char dest_dir[PLATFORM_PATH_LIMIT + 1];      // x: destination, ending in a separator
extern char wildcard[PLATFORM_PATH_LIMIT + 1];      // x: lower-cased name pattern

extern char exe_name[PLATFORM_PATH_LIMIT + 1];      // the running program's file name
extern char control_path[PLATFORM_PATH_LIMIT + 1];  // work_dir/master.tmp; "" when it cannot be formed

// Switch texts forwarded on worker command lines: " -v ", " -s ", " -r ".
extern char verbose_arg[16];
extern char solid_arg[16];
extern char recurse_arg[16];

extern int64_t input_total;          // sizes of the files handed to add_file
extern int64_t archive_size_before;  // archive size before an `a` run
extern int64_t archive_size_after;   // and after it
