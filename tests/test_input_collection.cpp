#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "archive/input_collection.h"
#include "platform/file_io.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

// Runs the body with the given directory as the current one.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir)
    {
        char here[4096];
        if (getcwd(here, sizeof here) != nullptr) saved_ = here;
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~InDirectory() { EXPECT_EQ(chdir(saved_.c_str()), 0); }

private:
    std::string saved_;
};

// The collection as the front end runs it for `a`.
std::vector<FileEntry> collect(const std::vector<std::string>& inputs, bool recursive)
{
    FileList list;
    list.recursive = recursive;
    for (const std::string& arg : inputs) {
        const InputSpec input = split_input_spec(arg);
        DirWalker walker;
        start_dir_walker(walker, input.dir);
        walk_directory(list, walker, input.pattern);
        destroy_dir_walker(walker);
    }
    std::sort(list.entries.begin(), list.entries.end());
    return list.entries;
}

std::set<std::string> paths_of(const std::vector<FileEntry>& entries)
{
    std::set<std::string> paths;
    for (const FileEntry& e : entries) paths.insert(e.path);
    return paths;
}

void make_dir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

// a.txt b.txt Makefile x.c .hidden
// src/x.c src/y.h src/sub/z.h src/lib.c/w.txt src/lib.c/deep/v.o
class InputTree : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char* f : {"a.txt", "b.txt", "Makefile", "x.c", ".hidden"}) {
            write_file_bytes(dir_.file(f), {1, 2, 3});
        }
        make_dir(dir_.file("src"));
        make_dir(dir_.file("src/sub"));
        make_dir(dir_.file("src/lib.c"));
        make_dir(dir_.file("src/lib.c/deep"));
        for (const char* f : {"src/x.c", "src/y.h", "src/sub/z.h", "src/lib.c/w.txt", "src/lib.c/deep/v.o"}) {
            write_file_bytes(dir_.file(f), {1});
        }
        write_file_bytes(dir_.file("x.c"), {1, 2, 3, 4, 5, 6, 7});
    }
    TempDir dir_;
};

}  // namespace

TEST(InputCollection, SplitInputSpec)
{
    struct Case {
        const char* arg;
        const char* dir;
        const char* pattern;
    };
    const Case cases[] = {
        {"*.txt", "", "*.txt"},       {"src", "", "src"},
        {"src/", "src", "*"},         {"src/*.c", "src", "*.c"},
        {"src\\*.c", "src", "*.c"},   {"a\\b\\", "a/b", "*"},
        {".", ".", "*"},              {"..", "..", "*"},
        {"/tmp/*.log", "/tmp", "*.log"}, {"/x", "/", "x"},
        {"/", "/", "*"},              {"D:/*.bmp", "D:/.", "*.bmp"},
        {"D:\\*.bmp", "D:/.", "*.bmp"}, {"D:/", "D:/.", "*"},
        {"D:/data/*.bmp", "D:/data", "*.bmp"}, {"D:*.bmp", "D:.", "*.bmp"},
        {"D:", "D:.", "*"},           {"D:.", "D:.", "*"},
        {"D:..", "D:..", "*"},        {"D:ab/*.c", "D:ab", "*.c"},
        {"", "", "*"},
    };
    for (const Case& c : cases) {
        const InputSpec input = split_input_spec(c.arg);
        EXPECT_EQ(input.dir, c.dir) << "argument \"" << c.arg << "\"";
        EXPECT_EQ(input.pattern, c.pattern) << "argument \"" << c.arg << "\"";
    }
}

TEST(InputCollection, CollectArguments)
{
    const char* argv[] = {"before", "one", "two words", "three"};
    EXPECT_EQ(collect_arguments(4, argv), (std::vector<std::string>{"one", "two words", "three"}));
    EXPECT_TRUE(collect_arguments(1, argv).empty());
    EXPECT_TRUE(collect_arguments(0, argv).empty());
}

TEST(InputCollection, SortKeysComeFromTheWholePath)
{
    auto before = [](const char* a, const char* b) { return FileEntry{a, 0} < FileEntry{b, 0}; };
    EXPECT_TRUE(before("./Makefile", "./a.c"));     // "/Makefile" < "c"
    EXPECT_TRUE(before("file.", "a.a"));            // the empty key comes first
    EXPECT_TRUE(before("x.TXT", "a.bmp"));          // bytes, upper case first
    EXPECT_TRUE(before("src.old/README", "a.txt")); // "old/README" < "txt"
    EXPECT_TRUE(before("dir.x/readme", "a.y"));     // "x/readme" < "y"
    EXPECT_TRUE(before("a.tx", "b.txt"));           // a proper beginning first
    EXPECT_FALSE(before("b.txt", "a.txt"));         // equal keys: neither first
    EXPECT_FALSE(before("a.txt", "b.txt"));
    EXPECT_TRUE(before("a.b", "a.\xe9"));           // unsigned byte order
    EXPECT_TRUE(before("Makefile", "README"));      // no '.': the whole path
}

TEST_F(InputTree, PatternInTheCurrentDirectory)
{
    InDirectory here(dir_.path());
    EXPECT_EQ(paths_of(collect({"*.txt"}, false)), (std::set<std::string>{"a.txt", "b.txt"}));
    EXPECT_TRUE(collect({"*.TXT"}, false).empty());
    EXPECT_EQ(paths_of(collect({"*.c"}, true)), (std::set<std::string>{"x.c"}));
    EXPECT_EQ(paths_of(collect({"src\\*.h"}, false)), (std::set<std::string>{"src/y.h"}));
    const std::vector<FileEntry> one = collect({"x.c"}, false);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].size, 7);
}

TEST_F(InputTree, DotCollectsEveryFileAndSortsByKey)
{
    InDirectory here(dir_.path());
    const std::vector<FileEntry> got = collect({"."}, false);
    EXPECT_EQ(paths_of(got),
              (std::set<std::string>{"./a.txt", "./b.txt", "./Makefile", "./x.c", "./.hidden"}));
    ASSERT_EQ(got.size(), 5u);
    // Keys: "/Makefile", "c", "hidden", "txt", "txt".
    EXPECT_EQ(got[0].path, "./Makefile");
    EXPECT_EQ(got[1].path, "./x.c");
    EXPECT_EQ(got[2].path, "./.hidden");
}

TEST_F(InputTree, DirectoryNeedsRecursion)
{
    InDirectory here(dir_.path());
    EXPECT_TRUE(collect({"src"}, false).empty());
    EXPECT_EQ(paths_of(collect({"src"}, true)),
              (std::set<std::string>{"src/x.c", "src/y.h", "src/sub/z.h", "src/lib.c/w.txt",
                                     "src/lib.c/deep/v.o"}));
    // Only subdirectories whose own names match are entered; below them
    // every file counts.
    EXPECT_EQ(paths_of(collect({"src/*.c"}, true)),
              (std::set<std::string>{"src/x.c", "src/lib.c/w.txt", "src/lib.c/deep/v.o"}));
    EXPECT_EQ(paths_of(collect({"src/*.c"}, false)), (std::set<std::string>{"src/x.c"}));
}

TEST_F(InputTree, AbsoluteAndMissingDirectories)
{
    const std::vector<FileEntry> got = collect({dir_.path() + "/*.txt", dir_.file("none/*")}, false);
    EXPECT_EQ(paths_of(got), (std::set<std::string>{dir_.file("a.txt"), dir_.file("b.txt")}));
    EXPECT_TRUE(collect({dir_.file("x.c/*")}, true).empty());
}

TEST_F(InputTree, SymbolicLinksToDirectoriesAreNotEntered)
{
    ASSERT_EQ(symlink(".", dir_.file("src/loop").c_str()), 0);
    ASSERT_EQ(symlink("..", dir_.file("src/sub/up").c_str()), 0);
    ASSERT_EQ(symlink("y.h", dir_.file("src/link.h").c_str()), 0);
    ASSERT_EQ(symlink("gone", dir_.file("src/dangling").c_str()), 0);
    InDirectory here(dir_.path());
    EXPECT_EQ(paths_of(collect({"src"}, true)),
              (std::set<std::string>{"src/x.c", "src/y.h", "src/link.h", "src/sub/z.h",
                                     "src/lib.c/w.txt", "src/lib.c/deep/v.o"}));
}

TEST_F(InputTree, OverlongPathsAreReportedAndSkipped)
{
    // Nest directories until the next level's path would pass the limit.
    std::string rel = "src";
    const std::string name(50, 'n');
    while (dir_.path().size() + 1 + rel.size() + 1 + name.size() <= PATH_LIMIT) {
        rel += "/" + name;
        make_dir(dir_.file(rel));
    }
    write_file_bytes(dir_.file(rel + "/ok"), {1});
    write_file_bytes(dir_.file(rel + "/" + name), {1});  // one past the limit

    testing::internal::CaptureStdout();
    const std::vector<FileEntry> got = collect({dir_.path() + "/src"}, true);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error: path too long, skipped " + dir_.file(rel + "/" + name)), std::string::npos)
        << out;
    EXPECT_EQ(paths_of(got).count(dir_.file(rel + "/ok")), 1u);
    for (const FileEntry& e : got) EXPECT_LE(e.path.size(), PATH_LIMIT);
}
