#include "archive/settings.h"

char work_dir[PATH_LIMIT + 1];
char archive_path[PATH_LIMIT + 1];
char dest_dir[PATH_LIMIT + 1];
char wildcard[PATH_LIMIT + 1];

char exe_name[PATH_LIMIT + 1];
char control_path[PATH_LIMIT + 16];
char verbose_arg[16];
char solid_arg[16];
char recurse_arg[16];
int64_t input_total = 0;
int64_t archive_size_before = 0;
int64_t archive_size_after = 0;
