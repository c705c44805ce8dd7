// A small file that several processes read and write at the same time:
// every access is a positioned read or write on the descriptor, so each read
// sees what another process last wrote (no stream buffer in between), and a
// byte range can be locked against the other processes for a moment.
#pragma once
#include <cstdint>

#include "platform/file_io.h"

// Byte-range locks live in a space of their own, beyond any data: the
// range [position, position + n) of a call is locked at LOCK_SPACE +
// position, where no byte is ever read or written. Windows locks are
// mandatory (a locked byte cannot be read through another handle), so a
// lock on a status byte would keep the other processes from reading it;
// both systems lay their locks out the same way. lock_file (file_io.h)
// takes the byte just before LOCK_SPACE.
constexpr uint64_t LOCK_SPACE = uint64_t(1) << 62;

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
