#include "archive/path_utils.h"

#include <cstdio>
#include <cstring>

#include "archive/settings.h"
#include "platform/directory.h"
#include "platform/file_ops.h"
#include "platform/system_info.h"

char name_buffer[PLATFORM_PATH_LIMIT + 1];
char path_buffer[PLATFORM_PATH_LIMIT + 1];

namespace {

inline bool is_separator(char c) { return c == '/' || c == '\\'; }

// Length of the text when it fits a result buffer, else PLATFORM_PATH_LIMIT + 1.
inline size_t bounded_length(const char* text)
{
    return strnlen(text, PLATFORM_PATH_LIMIT + 1);
}

// Puts text[0, n) into a result buffer; the source may lie inside it.
char* set_result(char* buffer, const char* text, size_t n)
{
    std::memmove(buffer, text, n);
    buffer[n] = 0;
    return buffer;
}

char* last_component_of(const char* path, size_t n)
{
    size_t start = n;
    while (start > 0 && !is_separator(path[start - 1])) --start;
    return set_result(name_buffer, path + start, n - start);
}

// Whole-text glob over counted texts: one restart point after the latest
// '*', which is enough because a later '*' can absorb whatever an earlier
// one would have; so the cost is at most pattern length times text length.
bool glob_match(const char* p, size_t pn, const char* t, size_t tn)
{
    size_t pi = 0, ti = 0;
    size_t star = SIZE_MAX;  // pattern position just after the latest '*'
    size_t mark = 0;         // text position that '*' would absorb up to next
    while (ti < tn) {
        if (pi < pn && p[pi] == '*') {
            star = ++pi;
            mark = ti;
        } else if (pi < pn && (p[pi] == '?' || p[pi] == t[ti])) {
            ++pi;
            ++ti;
        } else if (star != SIZE_MAX) {
            pi = star;
            ti = ++mark;
        } else {
            return false;
        }
    }
    while (pi < pn && p[pi] == '*') ++pi;
    return pi == pn;
}

}  // namespace

bool path_fits(const char* path)
{
    return bounded_length(path) <= PLATFORM_PATH_LIMIT;
}

void report_path_too_long(const char* path)
{
    std::printf("Error: path too long, skipped %s\n", path);
}

char* last_component(const char* path)
{
    const size_t n = bounded_length(path);
    if (n > PLATFORM_PATH_LIMIT) return set_result(name_buffer, "", 0);
    return last_component_of(path, n);
}

char* last_component_trimmed(const char* path)
{
    size_t n = bounded_length(path);
    if (n > PLATFORM_PATH_LIMIT) return set_result(name_buffer, "", 0);
    if (n > 0 && path[n - 1] == '\\') --n;
    return last_component_of(path, n);
}

char* base_name_of_path_buffer()
{
    path_buffer[PLATFORM_PATH_LIMIT] = 0;
    return last_component_of(path_buffer, std::strlen(path_buffer));
}

char* directory_prefix(const char* path)
{
    size_t n = bounded_length(path);
    if (n > PLATFORM_PATH_LIMIT) return set_result(path_buffer, "", 0);
    while (n > 0 && !is_separator(path[n - 1])) --n;
    return set_result(path_buffer, path, n);
}

char* relative_directory(const char* path, size_t* dropped_parents)
{
    const size_t n = bounded_length(path);
    if (dropped_parents != nullptr) *dropped_parents = 0;
    if (n == 0 || n > PLATFORM_PATH_LIMIT || is_separator(path[n - 1])) return set_result(path_buffer, "", 0);
    // A stored directory never names a root: the drive ("D:") and every
    // leading separator are dropped, so that "D:/data/f.c", "/data/f.c" and
    // the drive-relative "D:data/f.c" all give "data/".
    size_t start = has_drive_letter(path) ? 2 : 0;
    while (start < n && is_separator(path[start])) ++start;
    size_t end = n;
    while (end > start && !is_separator(path[end - 1])) --end;
    set_result(path_buffer, path + start, end - start);
    const size_t dropped = resolve_dot_parts(path_buffer, '/');
    if (dropped_parents != nullptr) *dropped_parents = dropped;
    const size_t length = std::strlen(path_buffer);
    if (length > 0) set_result(path_buffer + length, "/", 1);
    return path_buffer;
}

void collapse_separators(char* path)
{
    size_t out = 0;
    for (size_t in = 0; path[in] != 0; ++in) {
        if (is_separator(path[in]) && is_separator(path[in + 1])) continue;
        path[out++] = path[in];
    }
    path[out] = 0;
}

int has_wildcard_or_dot(const char* text)
{
    for (; *text != 0; ++text) {
        if (*text == '*' || *text == '.') return 1;
    }
    return 0;
}

bool has_drive_letter(const char* path)
{
    return PATHS_HAVE_DRIVES && path[0] != 0 && path[1] == ':';
}

bool is_absolute_path(const char* path)
{
    return is_separator(path[0]) || has_drive_letter(path);
}

bool join_path(char* out, size_t cap, const char* dir, const char* name)
{
    const size_t n = std::strlen(dir);
    const bool add_separator = n > 0 && !is_separator(dir[n - 1]);
    const int written = add_separator ? std::snprintf(out, cap, "%s%c%s", dir, PATH_SEPARATOR, name)
                                      : std::snprintf(out, cap, "%s%s", dir, name);
    return written >= 0 && static_cast<size_t>(written) < cap;
}

void native_separators(char* path)
{
    for (; *path != 0; ++path)
        if (is_separator(*path)) *path = PATH_SEPARATOR;
}

size_t resolve_dot_parts(char* path, char sep)
{
    const size_t n = std::strlen(path);
    const size_t root = n > 0 && is_separator(path[0]) ? 1 : 0;
    if (root) path[0] = sep;
    size_t out = root;  // the parts kept so far lie in path[0, out)
    size_t dropped = 0;
    for (size_t i = root; i < n;) {
        while (i < n && is_separator(path[i])) ++i;
        const size_t start = i;
        while (i < n && !is_separator(path[i])) ++i;
        const size_t len = i - start;
        if (len == 0 || (len == 1 && path[start] == '.')) continue;
        if (len == 2 && path[start] == '.' && path[start + 1] == '.') {
            if (out == root) {
                if (!root) ++dropped;
                continue;
            }
            while (out > root && path[out - 1] != sep) --out;  // the last part
            if (out > root) --out;                              // and its separator
            continue;
        }
        if (out > root) path[out++] = sep;
        std::memmove(path + out, path + start, len);
        out += len;
    }
    path[out] = 0;
    return dropped;
}

void mask_control_bytes(char* text)
{
    for (; *text != 0; ++text)
        if (static_cast<unsigned char>(*text) < 0x20 || *text == 0x7F) *text = '?';
}

int match_wildcard_name(const char* pattern)
{
    name_buffer[PLATFORM_PATH_LIMIT] = 0;
    return glob_match(pattern, std::strlen(pattern), name_buffer, std::strlen(name_buffer)) ? 1 : 0;
}

int wildcard_compare(const char* pattern, const char* text)
{
    size_t pn = std::strlen(pattern);
    size_t tn = std::strlen(text);
    // A final run of two or more '*' must take at least one character: the
    // rest of the pattern matches the text less its last character, which
    // the run's last '*' then absorbs along with anything before it.
    if (pn >= 2 && pattern[pn - 1] == '*' && pattern[pn - 2] == '*') {
        if (tn == 0) return 1;
        while (pn >= 2 && pattern[pn - 2] == '*') --pn;  // keep one '*'
        --tn;
    }
    return glob_match(pattern, pn, text, tn) ? 0 : 1;
}

double file_size(const char* path)
{
    const FoundFile found = find_file(path);
    if (!found.exists || found.is_directory) return 0.0;
    return static_cast<double>(found.size);
}

double archive_file_size()
{
    return file_size(archive_path);
}

int64_t seek_handle(FileHandle handle, uint64_t position)
{
    return seek_file(handle, position);
}

bool create_directories(const char* path)
{
    const size_t n = bounded_length(path);
    if (n > PLATFORM_PATH_LIMIT) return false;
    char prefix[PLATFORM_PATH_LIMIT + 1];
    const size_t drive_end = has_drive_letter(path) ? 2 : 0;
    for (size_t i = 0; i < n; ++i) {
        // Each separator ends one directory level, except a leading one (the
        // root) and one right after "D:" (the drive itself).
        if (is_separator(path[i]) && i > drive_end) {
            prefix[i] = 0;
            create_directory(prefix);
        }
        prefix[i] = path[i];
    }
    prefix[n] = 0;
    create_directory(prefix);
    return true;
}

bool delete_file_retry(const char* path)
{
    // A file held open elsewhere may refuse deletion for a moment; anything
    // else (gone already, a directory, no permission) is settled at once.
    constexpr int ATTEMPTS = 100;
    constexpr uint32_t PAUSE_MS = 10;
    set_file_attributes(path, ATTRIBUTES_NORMAL);
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        switch (delete_file(path)) {
        case DELETE_DONE:
        case DELETE_MISSING: return true;
        case DELETE_REFUSED: return false;
        case DELETE_BUSY: break;
        }
        pause_milliseconds(PAUSE_MS);
    }
    return false;
}

int is_directory(const char* name)
{
    if (name == nullptr) return 0;
    DirHandle handle = open_directory(name);
    if (handle == nullptr) return 0;
    close_directory(handle);
    return 1;
}
