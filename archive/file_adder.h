// Hands each collected input file to the entry writer.
#pragma once

#include "archive/input_collection.h"
#include "platform/file_io.h"

struct FileAdder {
    char path[PATH_LIMIT + 4];  // the entry's path as it is worked on

    // Packs the whole file as one entry and adds its size to input_total.
    // The archive being written and the files of a task run are passed over.
    void add_file(const FileEntry& entry);
};
