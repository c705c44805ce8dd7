// Run settings taken from the command line by the front end's start-up and
// read by every part of the program. Only the start-up writes them.
#pragma once
#include <cstdint>

enum TaskMode : uint8_t {
    MODE_SINGLE = 0,  // one process does all the work
    MODE_MASTER = 1,  // starts workers and posts jobs
    MODE_WORKER = 2,  // started with -p<n>: runs posted jobs
};

constexpr uint32_t DEFAULT_BLOCK_SIZE = 16u << 20;
constexpr int32_t DEFAULT_METHOD_LEVEL = 4;

extern uint8_t task_mode;
extern uint32_t task_count;
extern int32_t task_index;
extern int32_t method_level;
extern uint32_t block_size_option;
extern uint8_t verbose;
extern uint8_t solid_flag;
extern uint8_t recurse_flag;
