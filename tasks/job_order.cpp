#include "tasks/job_order.h"

#include <algorithm>

void order_files_for_tasks(std::vector<FileEntry>& files)
{
    std::stable_sort(files.begin(), files.end(),
                     [](const FileEntry& a, const FileEntry& b) { return a.size > b.size; });
}
