#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tasks/job_order.h"

namespace {

std::vector<std::string> paths_of(const std::vector<FileEntry>& files)
{
    std::vector<std::string> paths;
    for (const FileEntry& f : files) paths.push_back(f.path);
    return paths;
}

}  // namespace

// A large file late in the extension order would be the run's last job and
// keep one task busy while the others idle: the largest go first, and files
// of one size keep the list's order.
TEST(JobOrder, LargestFilesFirstAndTiesInListOrder)
{
    std::vector<FileEntry> files = {{"a.bmp", 300}, {"b.c", 5}, {"c.c", 40 << 20}, {"d.h", 5},
                                    {"e.txt", 0},   {"f.txt", 9 << 20}, {"g.wav", 300}, {"h.wav", 5}};
    std::sort(files.begin(), files.end());
    order_files_for_tasks(files);
    EXPECT_EQ(paths_of(files),
              (std::vector<std::string>{"c.c", "f.txt", "a.bmp", "g.wav", "b.c", "d.h", "h.wav", "e.txt"}));
    std::vector<FileEntry> none;
    order_files_for_tasks(none);
    EXPECT_TRUE(none.empty());
}
