#include "archive/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/path_utils.h"
#include "archive/settings.h"
#include "engine/entry_codec.h"
#include "engine/error.h"
#include "engine/settings.h"
#include "platform/system_info.h"

namespace {

uint32_t processor_count = 1;

// Copies text into out when it fits; else reports it and ends the run.
void copy_path(char* out, size_t cap, const char* text)
{
    if (std::strlen(text) >= cap) exit_path_too_long(text);
    std::strcpy(out, text);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

[[noreturn]] void unknown_option()
{
    fail_with_line("\n Unknown option! \n");
}

// -t<c1><c2>: the steps apply in order, a later one overriding an earlier.
void apply_task_switch(const char* value, char cmd)
{
    const char c1 = value[0];
    const char c2 = c1 != 0 ? value[1] : 0;
    if (c1 == '0' && processor_count > 1) {
        task_mode = MODE_MASTER;
        task_count = processor_count;
        if (cmd == 'x' && task_count > 8) task_count = 8;
        // Task numbers have two digits.
        if (task_count > 99) task_count = 99;
    }
    if ((c1 == '1' && !is_digit(c2)) || (c1 != '1' && static_cast<unsigned char>(c2) > '9' && static_cast<unsigned char>(c2) <= 0x7F)) task_mode = MODE_SINGLE;
    if (c1 >= '2' && c1 <= '9' && !is_digit(c2)) {
        task_mode = MODE_MASTER;
        task_count = static_cast<uint32_t>(c1 - '0');
    }
    if (c1 >= '1' && c1 <= '9' && is_digit(c2)) {
        task_mode = MODE_MASTER;
        task_count = static_cast<uint32_t>(10 * (c1 - '0') + (c2 - '0'));
    }
}

// -p<c1><c2>: a worker started by a master, with its task number.
void apply_worker_switch(const char* value)
{
    const char c1 = value[0];
    if (c1 < '1' || c1 > '9') return;
    const char c2 = value[1];
    task_index = is_digit(c2) ? 10 * (c1 - '0') + (c2 - '0') : c1 - '0';
    task_mode = MODE_WORKER;
    FileHandle control = open_file(control_path, FILE_READ_WRITE, OPEN_EXISTING_FILE);
    if (control == NO_FILE) fail_with_line("");
    // The worker loop opens it again for itself.
    close_file(control);
}

// One switch: its letter (case-insensitive) and the characters after it.
void apply_switch(const char* s, char cmd)
{
    const char letter = static_cast<char>(s[0] >= 'A' && s[0] <= 'Z' ? s[0] + ('a' - 'A') : s[0]);
    const char* value = letter != 0 ? s + 1 : s;
    const bool add = cmd == 'a';
    switch (letter) {
    case 'm':
        if (!add) unknown_option();
        if (value[0] >= '0' && value[0] <= '8') {
            method_level = value[0] - '0';
            block_size_option = (1u << 20) << method_level;
        } else {
            // -mr acts as -r, -mt4 as -t4.
            apply_switch(value, cmd);
        }
        break;
    case 'o':
        if (!add) unknown_option();
        break;
    case 'p': apply_worker_switch(value); break;
    case 'r':
        if (!add) unknown_option();
        recurse_flag = 1;
        std::strcpy(recurse_arg, " -r ");
        break;
    case 's':
        if (!add) unknown_option();
        solid_flag = 1;
        std::strcpy(solid_arg, " -s ");
        break;
    case 't': apply_task_switch(value, cmd); break;
    case 'v':
        verbose = 1;
        if (add) std::strcpy(verbose_arg, " -v ");
        break;
    default: unknown_option();
    }
}

}  // namespace

void exit_path_too_long(const char* path)
{
    fail_with_line(std::string("Error: path too long: ") + path + "\n");
}

void init_program_globals()
{
    char program[PLATFORM_PATH_LIMIT + 1];
    if (get_program_path(program, sizeof program)) copy_path(exe_name, sizeof exe_name, last_component_trimmed(program));
    processor_count = get_processor_count();
    block_size_option = DEFAULT_BLOCK_SIZE;
    method_level = DEFAULT_METHOD_LEVEL;
    // The current directory is needed only to make a relative path absolute
    // (make_absolute reports it then): without it the usage text and
    // absolute paths still work. Without it, or when the control file's
    // path would not fit, control_path stays empty and no task can start.
    if (get_current_directory(work_dir, sizeof work_dir) &&
        !join_path(control_path, sizeof control_path, work_dir, "master.tmp"))
        control_path[0] = 0;
    start_engine();
}

int parse_switches(int argc, char** argv, int start, char cmd)
{
    int i = start;
    for (; i < argc && argv[i][0] == '-'; ++i) apply_switch(argv[i] + 1, cmd);
    return i;
}

void make_absolute(const char* path, char* out, size_t cap)
{
    if (is_absolute_path(path)) {
        copy_path(out, cap, path);
    } else {
        if (work_dir[0] == 0) fail_with_line("Error: cannot read the current directory\n");
        if (!join_path(out, cap, work_dir, path)) exit_path_too_long(path);
    }
    native_separators(out);
}

namespace {

// The last part of a path as typed: "" when it ends in a separator.
const char* last_part(const char* path)
{
    const char* part = path;
    for (const char* c = path; *c != 0; ++c)
        if (*c == '/' || *c == '\\') part = c + 1;
    return part;
}

// A last part that names the directory itself: "", "." or "..".
bool names_directory(const char* part)
{
    return part[0] == 0 || std::strcmp(part, ".") == 0 || std::strcmp(part, "..") == 0;
}

// A last part that is a name pattern: one that holds a '*' or a '.' and is
// not "." or "..". Judged on the argument as typed, never on the current
// directory's path, which may hold dots of its own.
bool is_name_pattern(const char* part)
{
    return !names_directory(part) && has_wildcard_or_dot(part);
}

}  // namespace

void name_archive_from_input(const char* arg, char* input, size_t cap)
{
    std::printf("Archiver not defined: Activate File-Folder control..  \n");
    char packed[PLATFORM_PATH_LIMIT + 1];
    make_absolute(arg, packed, sizeof packed);
    const char* part = last_part(arg);
    if (is_name_pattern(part)) copy_path(packed, sizeof packed, directory_prefix(packed));

    if (is_directory(packed)) {
        if (is_name_pattern(part) || part[0] == 0) {
            copy_path(input, cap, arg);
        } else if (!join_path(input, cap, arg, "*")) {
            exit_path_too_long(arg);
        }
        // The archive is named after the directory: "./f.txt", "../f.txt",
        // "dir/." and "dir/.." name the directories that they lead to, and a
        // trailing separator (as shell completion writes it) is passed over.
        resolve_dot_parts(packed, PATH_SEPARATOR);
        const char* name = last_component(packed);
        char archive_name[PLATFORM_PATH_LIMIT + 1];
        if (std::snprintf(archive_name, sizeof archive_name, "%s.zdl", name) >= static_cast<int>(sizeof archive_name) ||
            !join_path(archive_path, sizeof archive_path, work_dir, archive_name))
            exit_path_too_long(name);
    } else {
        make_absolute(arg, archive_path, sizeof archive_path);
        if (!join_path(input, cap, work_dir, "*")) exit_path_too_long(work_dir);
    }
}

void set_destination(const char* arg)
{
    char typed[PLATFORM_PATH_LIMIT + 1];
    make_absolute(arg, typed, sizeof typed);
    // A last part that is no name pattern names a directory to extract
    // everything into.
    char d[PLATFORM_PATH_LIMIT + 1];
    if (is_name_pattern(last_part(arg)))
        copy_path(d, sizeof d, typed);
    else if (!join_path(d, sizeof d, typed, "*"))
        exit_path_too_long(arg);
    copy_path(dest_dir, sizeof dest_dir, directory_prefix(d));
    const char* pattern = last_component(d);
    copy_path(wildcard, sizeof wildcard, pattern[0] != 0 ? pattern : "*");
    for (char* c = wildcard; *c; ++c)
        if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c + ('a' - 'A'));
}
