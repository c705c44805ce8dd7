// Start-up, command line and the flow of one command: `a` packs, `x`
// extracts, `l` lists.
#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "archive/command_line.h"
#include "archive/console.h"
#include "archive/entry_writer.h"
#include "archive/extractor.h"
#include "archive/file_adder.h"
#include "archive/input_collection.h"
#include "archive/path_utils.h"
#include "archive/settings.h"
#include "engine/entry_state.h"
#include "engine/error.h"
#include "engine/settings.h"
#include "platform/process.h"
#include "platform/system_info.h"
#include "tasks/compress_tasks.h"
#include "tasks/extract_dispatch.h"
#include "tasks/job_order.h"
#include "tasks/task_master.h"
#include "tasks/worker_loop.h"

namespace {

// Packs the inputs named by inputs[0..count) into archive_path; a master
// posts them to its tasks.
void collect_and_add(const char* const* inputs, int count, TaskTable* tasks)
{
    try {
        // collect_arguments skips its first element, the program's own name.
        std::vector<const char*> slots(1, "");
        slots.insert(slots.end(), inputs, inputs + count);
        const std::vector<std::string> args = collect_arguments(count + 1, slots.data());
        FileList list = collect_inputs(args, recurse_flag != 0);
        if (list.entries.empty()) {
            std::printf("WARNING: No files");
            return;
        }
        std::stable_sort(list.entries.begin(), list.entries.end());
        // A solid run of a task keeps files of one kind together.
        if (tasks != nullptr && !solid_flag) order_files_for_tasks(list.entries);
        FileAdder adder;
        adder.tasks = tasks;
        for (const FileEntry& entry : list.entries) adder.add_file(entry);
    } catch (const Failure&) {
        throw;
    } catch (const std::exception& e) {
        std::printf("error: %s\n", e.what());
        std::fflush(stdout);
    } catch (const std::string& text) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    } catch (...) {
        std::printf("error\n");
        std::fflush(stdout);
    }
}

int run_add(int argc, char** argv)
{
    int i = parse_switches(argc, argv, 2, 'a');
    if (i >= argc) print_usage();
    if (task_mode != MODE_SINGLE) ignore_broken_pipe();
    if (task_mode != MODE_WORKER) print_banner();
    TaskTable tasks;
    if (task_mode == MODE_MASTER) create_control_file(tasks, 'a');

    // The input arguments: every argument after the archive, or with a single
    // argument one derived from it.
    static char derived_input[PLATFORM_PATH_LIMIT + 1];
    const char* const* inputs = const_cast<const char* const*>(argv + i + 1);
    int input_count = argc - i - 1;
    static const char* single_input[1];
    if (input_count == 0) {
        name_archive_from_input(argv[i], derived_input, sizeof derived_input);
        single_input[0] = derived_input;
        inputs = single_input;
        input_count = 1;
    } else {
        make_absolute(argv[i], archive_path, sizeof archive_path);
    }
    collapse_separators(archive_path);
    if (task_mode != MODE_WORKER) {
        std::printf("Archive is %s \n", archive_path);
        if (task_mode == MODE_MASTER && is_control_file(tasks, archive_path))
            fail_with_line(std::string("problems with ") + archive_path + " (it is the control file of this run)\n");
        prepare_archive_for_append();
    }
    archive_size_before = static_cast<int64_t>(archive_file_size());

    // A first input beginning with '$' stands for every file here.
    std::vector<const char*> input_list(inputs, inputs + input_count);
    if (input_list[0][0] == '$') {
        input_list[0] = "*";
        std::printf("argc=%s \n", input_list[0]);
    }

    if (task_mode == MODE_WORKER) return run_compress_worker();
    if (task_mode == MODE_MASTER) prepare_part_files(tasks);
    collect_and_add(input_list.data(), input_count, task_mode == MODE_MASTER ? &tasks : nullptr);
    // With tasks the summary counts what the join appended, not what other
    // runs appended to the same archive meanwhile.
    if (task_mode == MODE_MASTER)
        archive_size_after = archive_size_before + finish_compress_tasks(tasks);
    else
        archive_size_after = static_cast<int64_t>(archive_file_size());
    std::printf(" Compressed %" PRId64 " bytes to %" PRId64 " bytes \n", input_total,
                archive_size_after - archive_size_before);
    close_file(read_handle);
    close_file(write_handle);
    return 0;
}

int run_extract(int argc, char** argv)
{
    if (argc < 3) print_usage();
    const int i = parse_switches(argc, argv, 2, 'x');
    if (i >= argc) print_usage();
    if (task_mode != MODE_SINGLE) ignore_broken_pipe();
    make_absolute(argv[i], archive_path, sizeof archive_path);
    collapse_separators(archive_path);
    if (task_mode == MODE_WORKER) return run_extract_worker();

    static const char* all_files[1] = {"*"};
    const char* const* dests = argv + i + 1;
    int dest_count = argc - i - 1;
    if (dest_count == 0) {
        dests = all_files;
        dest_count = 1;
    }
    print_banner();
    TaskTable tasks;
    if (task_mode == MODE_MASTER) create_control_file(tasks, 'x');
    for (int d = 0; d < dest_count; ++d) {
        std::printf("ARGV=%s\n", dests[d]);
        set_destination(dests[d]);
        std::printf("Archive=%s Wild=%s DEST=%s\n", archive_path, wildcard, dest_dir);
        if (task_mode == MODE_MASTER) {
            dispatch_solid_runs(tasks, wildcard);
        } else {
            extract_archive(wildcard);
        }
    }
    if (task_mode == MODE_MASTER) finish_extract_tasks(tasks);
    std::printf(" OK! \n");
    std::fflush(stdout);
    return 1;
}

int run_list(int argc, char** argv)
{
    if (argc < 3) print_usage();
    make_absolute(argv[2], archive_path, sizeof archive_path);
    std::printf("Archive List ... %s \n", archive_path);
    if (argc == 3) {
        list_archive("*");
    } else {
        for (int i = 3; i < argc; ++i) list_archive(argv[i]);
    }
    std::printf(" n.%d files in archive %s \n", static_cast<int>(listed_count), archive_path);
    close_file(read_handle);
    std::fflush(stdout);
    return 1;
}

int run_command(int argc, char** argv)
{
    init_program_globals();
    if (argc < 2) print_usage();
    switch (argv[1][0]) {
    case 'a': return run_add(argc, argv);
    case 'x': return run_extract(argc, argv);
    case 'l': return run_list(argc, argv);
    default: print_usage();
    }
}

}  // namespace

// Every failure of a command comes back here as one Failure: its line is
// printed and it sets the exit code. `x` and `l` end with exit code 1 even
// when they succeed.
int main(int argc, char** argv)
{
    // Past a file-size limit a write fails like any other, and the failure
    // paths run (`a` cuts its entry back, `x` reports the file and goes on),
    // instead of the signal ending the process in the middle of a write.
    // (On Windows the arguments come back as UTF-8, as names are stored.)
    prepare_process(argc, argv);
    try {
        const int code = run_command(argc, argv);
        std::fflush(stdout);
        return code;
    } catch (const Failure& failure) {
        return report_failure(failure);
    }
}
