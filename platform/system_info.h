// Facts about the running process and machine: the program's own path, the
// current directory and the number of processors.
#pragma once
#include <cstddef>
#include <cstdint>

// Full path of the running program into out (cap bytes, terminator included).
// False when it cannot be read or does not fit; out is then empty.
bool get_program_path(char* out, size_t cap);

// The current directory into out (cap bytes); false (and out empty) when it
// cannot be read or does not fit.
bool get_current_directory(char* out, size_t cap);

// Processors this process may run on (its affinity); at least 1.
uint32_t get_processor_count();

// Lets the given number of milliseconds pass.
void pause_milliseconds(uint32_t ms);
