#include "archive/settings.h"

char work_dir[PLATFORM_PATH_LIMIT + 1];
char archive_path[PLATFORM_PATH_LIMIT + 1];
char dest_dir[PLATFORM_PATH_LIMIT + 1];
char wildcard[PLATFORM_PATH_LIMIT + 1];

char exe_name[PLATFORM_PATH_LIMIT + 1];
char control_path[PLATFORM_PATH_LIMIT + 1];
char verbose_arg[16];
char solid_arg[16];
char recurse_arg[16];
int64_t input_total = 0;
int64_t archive_size_before = 0;
int64_t archive_size_after = 0;
