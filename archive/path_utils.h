// Path and file helpers shared by the front end and the tasks: taking a path
// apart, collapsing doubled separators, wildcard matching, file sizes,
// directory creation and deletion. Both '/' and '\\' are separators; a ':'
// as second character marks a drive letter only where the platform has
// drives (PATHS_HAVE_DRIVES). Texts are kept as given, '\\' included; only
// the platform layer turns them into native paths.
//
// The paths the program forms and prints use PATH_SEPARATOR (join_path,
// native_separators) and hold up to PLATFORM_PATH_LIMIT characters; the
// names stored in archive entries hold up to PATH_LIMIT (platform/native_paths.h).
//
// Long paths: the result buffers hold PLATFORM_PATH_LIMIT characters. A
// helper that writes a buffer refuses a longer input with an empty result
// (callers that must tell it apart test path_fits() first and print
// report_path_too_long()); the file helpers treat such a path as missing.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/file_io.h"

// Result buffers: a result stays valid until the next call that writes the
// same buffer.
extern char name_buffer[PLATFORM_PATH_LIMIT + 1];  // last_component and its kin
extern char path_buffer[PLATFORM_PATH_LIMIT + 1];  // directory_prefix, relative_directory

// True when the text has at most PLATFORM_PATH_LIMIT characters.
bool path_fits(const char* path);
// Prints "Error: path too long, skipped <path>\n".
void report_path_too_long(const char* path);

// The text after the last separator ("" when it ends in one).
char* last_component(const char* path);
// As last_component after leaving out one final '\\' (a final '/' stays).
char* last_component_trimmed(const char* path);
// last_component of path_buffer.
char* base_name_of_path_buffer();
// The text up to and including the last separator ("" when none).
char* directory_prefix(const char* path);
// The directory part of a path as stored in an archive entry: the parts
// before the last separator, each followed by '/', without a leading drive
// ("D:", where drives exist) and without leading separators. "." and empty
// parts are left out and ".." takes back the part before it; a ".." with
// nothing before it to take back is dropped and counted in
// *dropped_parents, so that every stored directory extracts below the
// destination. "" for an empty text, a text ending in a separator, or a
// path with no directory below its root.
char* relative_directory(const char* path, size_t* dropped_parents = nullptr);
// Drops every separator directly followed by another one, in place (any
// length: the text only shrinks).
void collapse_separators(char* path);
// 1 when the text holds a '*' or a '.', else 0.
int has_wildcard_or_dot(const char* text);

// True when the path begins at a root: a separator, or a drive letter where
// the platform has drives.
bool is_absolute_path(const char* path);
// True when the platform has drives and the second character is ':'.
bool has_drive_letter(const char* path);
// dir, PATH_SEPARATOR (unless dir is empty or ends in a separator) and name
// into out (cap bytes); false when it does not fit.
bool join_path(char* out, size_t cap, const char* dir, const char* name);
// Turns every '/' and '\\' into PATH_SEPARATOR, in place.
void native_separators(char* path);
// Resolves "." and ".." parts and drops empty ones, in place: the parts are
// joined with sep, a leading separator stays (as sep), a trailing one goes.
// Returns the number of ".." parts that had no part before them to take
// back; they are dropped (at the root of an absolute path, ".." is the root).
size_t resolve_dot_parts(char* path, char sep);
// Shows control bytes (below 0x20, and 0x7F) as '?', in place, so that a
// name from an archive cannot send escape sequences to the terminal.
void mask_control_bytes(char* text);

// Wildcards: '*' any run of characters, '?' exactly one, anything else
// itself, byte for byte. Both matchers run in time proportional to the
// product of the lengths at worst.
//
// Matches name_buffer against the pattern: 1 match, 0 no match.
int match_wildcard_name(const char* pattern);
// 0 when the text matches the pattern, non-zero otherwise. Differs from
// match_wildcard_name in one case: a pattern ending in two or more '*' needs
// at least one character for that final run ("a**" does not match "a").
int wildcard_compare(const char* pattern, const char* text);

// Size of the named file; 0 for a missing path, a directory or a path
// longer than PLATFORM_PATH_LIMIT. Exact for sizes below 2^53.
double file_size(const char* path);
// file_size of archive_path.
double archive_file_size();
// Moves an open file to an absolute position; the position, or -1.
int64_t seek_handle(FileHandle handle, uint64_t position);
// Creates every directory along the path, the whole path last; directories
// that exist or cannot be made are passed over in silence (the caller learns
// of it when it cannot create its file). False only for a path longer than
// PLATFORM_PATH_LIMIT, which creates nothing.
bool create_directories(const char* path);
// Clears the file's attributes and deletes it, retrying a bounded number of
// times while the platform reports it busy. True when the file is gone
// (deleted now, or missing already); false when it could not be deleted.
bool delete_file_retry(const char* path);
// 1 when the name can be opened as a directory, else 0 (also for nullptr).
int is_directory(const char* name);
