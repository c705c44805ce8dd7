// The order in which a master of `a` posts the listed files to its tasks.
#pragma once
#include <vector>

#include "archive/input_collection.h"

// Puts the largest files first, keeping the list's order among files of
// one size. Each posted piece goes to the first task that falls idle, so a
// large file near the end of the list leaves the other tasks waiting while
// its pieces are packed; largest first, the last jobs of a run are the
// smallest and the tasks finish close together. A file's pieces grow with
// its size (8 MiB at most below tasks x 8 MiB, an equal share above), so
// this is also the order of their largest pieces. Runs with -s keep the
// list order instead (the caller passes this over): a task's solid run
// then holds files of one kind together.
void order_files_for_tasks(std::vector<FileEntry>& files);
