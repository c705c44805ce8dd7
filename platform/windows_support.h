// Windows only, inside platform/: text conversion between the program's
// UTF-8 paths and the system's wide (UTF-16) calls. Every conversion works in
// fixed buffers, with no allocation, so that a console control handler can
// use it while the main thread is held.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>

#include "platform/native_paths.h"

// A wide path buffer, terminator included.
constexpr size_t WIDE_PATH_CAP = PLATFORM_PATH_LIMIT + 1;

// The UTF-8 path into out (cap wide characters) with every '/' turned into
// '\\'; false when it is no valid UTF-8, is longer than PLATFORM_PATH_LIMIT
// or does not fit.
bool to_wide_path(const char* path, wchar_t* out, size_t cap);

// The wide text into out (cap bytes) as UTF-8; false (out empty) when it
// does not fit.
bool to_utf8_text(const wchar_t* text, char* out, size_t cap);
