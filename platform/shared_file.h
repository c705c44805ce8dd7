// A small file that several processes read and write at the same time:
// every access is a positioned read or write on the descriptor, so each read
// sees what another process last wrote (no stream buffer in between), and a
// byte range can be locked against the other processes for a moment.
#pragma once
#include <cstdint>

#include "platform/file_io.h"

// Writes all n bytes at the absolute position; false when they could not.
bool write_file_at(FileHandle h, const void* data, uint32_t n, uint64_t position);

// Waits until this process holds the lock on [position, position + n).
// Locks of one process on different ranges do not meet.
bool lock_file_range(FileHandle h, uint64_t position, uint32_t n);
// Takes the lock only when it is free; false when another process holds it.
bool try_lock_file_range(FileHandle h, uint64_t position, uint32_t n);
void unlock_file_range(FileHandle h, uint64_t position, uint32_t n);
// True when another process holds a lock on part of the range (the file may
// be open for reading only).
bool file_range_locked_elsewhere(FileHandle h, uint64_t position, uint32_t n);
