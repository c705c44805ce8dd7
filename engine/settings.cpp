#include "engine/settings.h"

uint8_t task_mode = MODE_SINGLE;
uint32_t task_count = 0;
int32_t task_index = 0;
int32_t method_level = DEFAULT_METHOD_LEVEL;
uint32_t block_size_option = DEFAULT_BLOCK_SIZE;
uint8_t verbose = 0;
uint8_t solid_flag = 0;
uint8_t recurse_flag = 0;
