#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/input_collection.h"
#include "platform/file_io.h"
#include "tests/test_support.h"

using namespace test_support;
using Paths = std::set<std::string>;

namespace {

// The collection as the front end runs it for `a`, in the directory dir.
std::vector<FileEntry> collect(const std::string& dir, const std::vector<std::string>& inputs, bool recursive)
{
    char saved[4096];
    EXPECT_TRUE(getcwd(saved, sizeof saved) != nullptr && chdir(dir.c_str()) == 0);
    FileList list = collect_inputs(inputs, recursive);
    EXPECT_EQ(chdir(saved), 0);
    std::sort(list.entries.begin(), list.entries.end());
    return list.entries;
}

Paths paths_of(const std::vector<FileEntry>& entries)
{
    Paths paths;
    for (const FileEntry& e : entries) paths.insert(e.path);
    return paths;
}

}  // namespace

TEST(InputCollection, SplitInputSpec)
{
    const std::tuple<const char*, const char*, const char*> cases[] = {  // argument, dir, pattern
        {"*.txt", "", "*.txt"},         {"src", "", "src"},             {"src/", "src", "*"},
        {"src\\*.c", "src", "*.c"},     {"a\\b\\", "a/b", "*"},         {".", ".", "*"},
        {"..", "..", "*"},              {"/tmp/*.log", "/tmp", "*.log"}, {"/x", "/", "x"},
        {"/", "/", "*"},                {"", "", "*"},
    };
    // Drive forms where the platform has drives; elsewhere "D:" is a name.
    const std::tuple<const char*, const char*, const char*> drive_cases[] = {
        {"D:/*.bmp", "D:/.", "*.bmp"},  {"D:\\", "D:/.", "*"},  {"D:/data/*.bmp", "D:/data", "*.bmp"},
        {"D:*.bmp", "D:.", "*.bmp"},    {"D:", "D:.", "*"},     {"D:.", "D:.", "*"},
        {"D:..", "D:..", "*"},          {"D:ab/*.c", "D:ab", "*.c"},
    };
    const std::tuple<const char*, const char*, const char*> plain_cases[] = {
        {"D:/*.bmp", "D:", "*.bmp"},    {"D:\\", "D:", "*"},    {"D:/data/*.bmp", "D:/data", "*.bmp"},
        {"D:*.bmp", "", "D:*.bmp"},     {"D:", "", "D:"},       {"X:/", "X:", "*"},
    };
    auto check = [](const auto& list) {
        for (const auto& [arg, dir, pattern] : list) {
            const InputSpec input = split_input_spec(arg);
            EXPECT_EQ(input.dir + "|" + input.pattern, std::string(dir) + "|" + pattern) << "argument \"" << arg << "\"";
        }
    };
    check(cases);
    if (PATHS_HAVE_DRIVES)
        check(drive_cases);
    else
        check(plain_cases);
}

TEST(InputCollection, WalkingAndSorting)
{
    TempDir dir;
    for (const char* d : {"src/sub", "src/lib.c/deep"}) std::filesystem::create_directories(dir.file(d));
    for (const char* f : {"a.txt", "b.txt", "Makefile", ".hidden", "src/x.c", "src/y.h", "src/sub/z.h",
                          "src/lib.c/w.txt", "src/lib.c/deep/v.o"})
        write_file_bytes(dir.file(f), {1});
    write_file_bytes(dir.file("x.c"), {1, 2, 3, 4, 5, 6, 7});
    const std::string d = dir.path();
    EXPECT_EQ(paths_of(collect(d, {"*.txt"}, false)), (Paths{"a.txt", "b.txt"}));
    EXPECT_TRUE(collect(d, {"*.TXT"}, false).empty());
    EXPECT_EQ(paths_of(collect(d, {"src\\*.h"}, false)), (Paths{"src/y.h"}));
    EXPECT_EQ(collect(d, {"x.c"}, true).at(0).size, 7);
    const std::vector<FileEntry> all = collect(d, {"."}, false);  // keys "/Makefile", "c", "hidden", "txt"
    EXPECT_EQ(paths_of(all), (Paths{"./a.txt", "./b.txt", "./Makefile", "./x.c", "./.hidden"}));
    EXPECT_EQ(all.at(0).path + " " + all.at(1).path + " " + all.at(2).path, "./Makefile ./x.c ./.hidden");
    // Sort keys beyond these: a proper beginning first; unsigned bytes; equal keys.
    auto before = [](const char* a, const char* b) { return FileEntry{a, 0} < FileEntry{b, 0}; };
    EXPECT_TRUE(before("a.tx", "b.txt") && before("a.b", "a.\xe9"));
    EXPECT_FALSE(before("b.txt", "a.txt") || before("a.txt", "b.txt"));

    // A directory counts only with -r, and then whole; with a pattern only
    // the subdirectories whose names match are entered.
    const Paths src = {"src/x.c", "src/y.h", "src/sub/z.h", "src/lib.c/w.txt", "src/lib.c/deep/v.o"};
    EXPECT_TRUE(collect(d, {"src"}, false).empty());
    EXPECT_EQ(paths_of(collect(d, {"src"}, true)), src);
    EXPECT_EQ(paths_of(collect(d, {"src/*.c"}, true)), (Paths{"src/x.c", "src/lib.c/w.txt", "src/lib.c/deep/v.o"}));
    EXPECT_EQ(paths_of(collect("/", {d + "/*.txt", d + "/none/*", d + "/x.c/*"}, true)),
              (Paths{d + "/a.txt", d + "/b.txt"}));

    // Links to directories are not entered, so a loop ends; links to files
    // count, dangling ones do not.
    ASSERT_TRUE(symlink(".", dir.file("src/loop").c_str()) == 0 && symlink("..", dir.file("src/sub/up").c_str()) == 0);
    ASSERT_TRUE(symlink("y.h", dir.file("src/link.h").c_str()) == 0 && symlink("-", dir.file("src/gone").c_str()) == 0);
    Paths with_link = src;
    with_link.insert("src/link.h");
    EXPECT_EQ(paths_of(collect(d, {"src"}, true)), with_link);

    // Nested until a name of 50 characters would pass the platform's path
    // limit, relative to d: that file is reported and skipped, the one
    // beside it is collected. (The tree is made level by level, as no path
    // that long can be opened at once.)
    std::string rel = "long";
    const std::string name(50, 'n');
    while (rel.size() + 2 + name.size() <= PLATFORM_PATH_LIMIT) rel += "/" + name;
    char saved[4096];
    ASSERT_TRUE(getcwd(saved, sizeof saved) != nullptr && chdir(d.c_str()) == 0);
    size_t level = 0;
    for (size_t next; level < rel.size(); level = next + 1) {
        next = rel.find('/', level);
        if (next == std::string::npos) next = rel.size();
        const std::string part = rel.substr(level, next - level);
        ASSERT_TRUE(mkdir(part.c_str(), 0777) == 0 && chdir(part.c_str()) == 0);
    }
    write_file_bytes("ok", {1});
    write_file_bytes(name, {1});
    ASSERT_EQ(chdir(saved), 0);
    testing::internal::CaptureStdout();
    const Paths got = paths_of(collect(d, {"long"}, true));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Error: path too long, skipped " + rel + "/" + name + "\n");
    EXPECT_EQ(got, Paths{rel + "/ok"});

    // A name holding '\\' (no separator here) cannot be read: it is reported
    // with the input line, not passed over in silence.
    if (PATH_SEPARATOR != '\\') {
        write_file_bytes(dir.file("src/back\\slash.c"), {1});
        testing::internal::CaptureStdout();
        const Paths c_files = paths_of(collect(d, {"src/*.c"}, false));
        const std::string line = testing::internal::GetCapturedStdout();
        EXPECT_EQ(c_files, Paths{"src/x.c"});
        EXPECT_EQ(line, "Error: cannot open Input file src/back\\slash.c\n");
    }
}
