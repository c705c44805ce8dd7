// Hands each collected input file to the entry writer.
#pragma once

#include "archive/input_collection.h"
#include "platform/file_io.h"

struct TaskTable;

struct FileAdder {
    char path[PLATFORM_PATH_LIMIT + 1];  // the entry's path as it is worked on
    bool told_parents_dropped = false;   // the line on dropped "../" is printed once a run
    TaskTable* tasks = nullptr;           // a master's tasks: the file is posted to them in pieces

    // Packs the whole file as one entry and adds its size to input_total.
    // The archive being written and the files of a task run are passed over,
    // and so is a file whose stored directory and name together would pass
    // PATH_LIMIT, with a line. Leading ".." parts of the stored directory
    // are dropped (relative_directory), which one line per run says.
    void add_file(const FileEntry& entry);
};
