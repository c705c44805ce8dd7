// Path and file helpers shared by the front end and the tasks: taking a path
// apart, collapsing doubled separators, wildcard matching, file sizes,
// directory creation and deletion. Both '/' and '\\' are separators; a ':'
// as second character marks a drive letter. Texts are kept as given, '\\'
// included; only the platform layer turns them into native paths.
//
// Long paths: the result buffers hold PATH_LIMIT characters. A helper that
// writes a buffer refuses an input longer than PATH_LIMIT with an empty
// result (callers that must tell it apart test path_fits() first and print
// report_path_too_long()); the file helpers treat such a path as missing.
#pragma once
#include <cstdint>

#include "platform/file_io.h"

// Result buffers: a result stays valid until the next call that writes the
// same buffer.
extern char name_buffer[PATH_LIMIT + 1];  // last_component and its kin
extern char path_buffer[PATH_LIMIT + 1];  // directory_prefix, relative_directory

// True when the text has at most PATH_LIMIT characters.
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
// The directory part of a path as stored in an archive entry: up to and
// including the last separator, without a leading drive ("D:") and without
// leading separators; "" for an empty text, a text ending in a separator,
// or a path with no directory below its root.
char* relative_directory(const char* path);
// Drops every separator directly followed by another one, in place (any
// length: the text only shrinks).
void collapse_separators(char* path);
// 1 when the text holds a '*' or a '.', else 0.
int has_wildcard_or_dot(const char* text);

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
// longer than PATH_LIMIT. Exact for sizes below 2^53.
double file_size(const char* path);
// file_size of archive_path.
double archive_file_size();
// Moves an open file to an absolute position; the position, or -1.
int64_t seek_handle(FileHandle handle, uint64_t position);
// Creates every directory along the path, the whole path last; directories
// that exist or cannot be made are passed over in silence (the caller learns
// of it when it cannot create its file). False only for a path longer than
// PATH_LIMIT, which creates nothing.
bool create_directories(const char* path);
// Clears the file's attributes and deletes it, retrying a bounded number of
// times while the platform reports it busy. True when the file is gone
// (deleted now, or missing already); false when it could not be deleted.
bool delete_file_retry(const char* path);
// 1 when the name can be opened as a directory, else 0 (also for nullptr).
int is_directory(const char* name);
