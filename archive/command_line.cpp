#include "archive/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/path_utils.h"
#include "archive/settings.h"
#include "engine/block_analyser.h"
#include "engine/dna_codons.h"
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

bool ends_in_separator(const char* text)
{
    const size_t n = std::strlen(text);
    return n > 0 && (text[n - 1] == '\\' || text[n - 1] == '/');
}

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
    char native[PATH_LIMIT + 16];
    FILE* control = nullptr;
    if (to_native_path(control_path, native, sizeof native)) control = std::fopen(native, "rb+");
    if (control == nullptr) fail_with_line("");
    // The worker loops are not part of this program yet: a worker has no
    // jobs to run and ends.
    std::fclose(control);
    fail_with_line("");
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
    block_analyser_construct(&block_analyser);

    char program[PATH_LIMIT + 1];
    if (get_program_path(program, sizeof program)) copy_path(exe_name, sizeof exe_name, last_component_trimmed(program));
    processor_count = get_processor_count();
    block_size_option = DEFAULT_BLOCK_SIZE;
    method_level = DEFAULT_METHOD_LEVEL;
    if (!get_current_directory(work_dir, sizeof work_dir)) {
        fail_with_line("Error: cannot read the current directory\n");
    }
    if (std::snprintf(control_path, sizeof control_path, "%s\\master.tmp", work_dir) >=
        static_cast<int>(sizeof control_path))
        exit_path_too_long(work_dir);
    dna_build_trie();
}

int parse_switches(int argc, char** argv, int start, char cmd)
{
    int i = start;
    for (; i < argc && argv[i][0] == '-'; ++i) apply_switch(argv[i] + 1, cmd);
    return i;
}

bool make_absolute(const char* path, char* out, size_t cap)
{
    int n;
    if ((path[0] != 0 && path[1] == ':') || path[0] == '/')
        n = std::snprintf(out, cap, "%s", path);
    else
        n = std::snprintf(out, cap, "%s\\%s", work_dir, path);
    return n >= 0 && static_cast<size_t>(n) < cap;
}

void name_archive_from_input(const char* arg, char* input, size_t cap)
{
    std::printf("Archiver not defined: Activate File-Folder control..  \n");
    char packed[PATH_LIMIT + 1];
    if (!make_absolute(arg, packed, sizeof packed)) exit_path_too_long(arg);
    if (has_wildcard_or_dot(packed)) copy_path(packed, sizeof packed, directory_prefix(packed));

    if (is_directory(packed)) {
        if (std::strchr(arg, '*') || std::strchr(arg, '.') || ends_in_separator(arg)) {
            copy_path(input, cap, arg);
        } else if (std::snprintf(input, cap, "%s\\*", arg) >= static_cast<int>(cap)) {
            exit_path_too_long(arg);
        }
        // The archive is named after the directory; a trailing '/' (as shell
        // completion writes it) is passed over like a trailing '\\'.
        const size_t n = std::strlen(packed);
        if (n > 1 && packed[n - 1] == '/') packed[n - 1] = 0;
        const char* name = last_component_trimmed(packed);
        if (std::snprintf(archive_path, sizeof archive_path, "%s\\%s.zdl", work_dir, name) >=
            static_cast<int>(sizeof archive_path))
            exit_path_too_long(name);
    } else {
        if (!make_absolute(arg, archive_path, sizeof archive_path)) exit_path_too_long(arg);
        if (std::snprintf(input, cap, "%s\\*", work_dir) >= static_cast<int>(cap)) exit_path_too_long(work_dir);
    }
}

void set_destination(const char* arg)
{
    char d[PATH_LIMIT + 4];
    if (!make_absolute(arg, d, PATH_LIMIT + 1)) exit_path_too_long(arg);
    if (!std::strchr(d, '*') && !std::strchr(d, '.') && !ends_in_separator(d)) std::strcat(d, "\\*");
    copy_path(dest_dir, sizeof dest_dir, directory_prefix(d));
    const char* pattern = last_component(d);
    copy_path(wildcard, sizeof wildcard, pattern[0] != 0 ? pattern : "*");
    for (char* c = wildcard; *c; ++c)
        if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c + ('a' - 'A'));
}
