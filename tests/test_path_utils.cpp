#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/path_utils.h"
#include "archive/settings.h"
#include "platform/file_io.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

// The matcher as first written: plain recursion, exponential at worst, but
// an obvious transcription of the rules. Only the tests use it.
int reference_compare(const char* p, const char* t)
{
    while (*p != '*') {
        if (*t == 0 || (*p != *t && *p != '?')) return (*p == 0 && *t == 0) ? 0 : 1;
        ++p;
        ++t;
    }
    const char* rest = p + 1;
    if (*t == 0) return *rest == 0 ? 0 : 1;
    for (; *t != 0; ++t) {
        if (reference_compare(rest, t) == 0) return 0;
    }
    return *rest == 0 ? 0 : 1;
}

// Plain glob: '*' takes any run, the empty one included.
bool reference_glob(const char* p, const char* t)
{
    if (*p == 0) return *t == 0;
    if (*p == '*') return reference_glob(p + 1, t) || (*t != 0 && reference_glob(p, t + 1));
    return *t != 0 && (*p == '?' || *p == *t) && reference_glob(p + 1, t + 1);
}

int name_match(const char* pattern, const char* name)
{
    std::strcpy(name_buffer, name);
    return match_wildcard_name(pattern);
}

bool ends_in_double_star(const std::string& p)
{
    return p.size() >= 2 && p[p.size() - 1] == '*' && p[p.size() - 2] == '*';
}

}  // namespace

TEST(PathUtils, LastComponent)
{
    EXPECT_STREQ(last_component("a/b/c.txt"), "c.txt");
    EXPECT_STREQ(last_component("a\\b\\c.txt"), "c.txt");
    EXPECT_STREQ(last_component("a/b\\c"), "c");
    EXPECT_STREQ(last_component("c.txt"), "c.txt");
    EXPECT_STREQ(last_component("a/b/"), "");
    EXPECT_STREQ(last_component("a/b\\"), "");
    EXPECT_STREQ(last_component(""), "");
    EXPECT_EQ(last_component("x"), name_buffer);

    EXPECT_STREQ(last_component_trimmed("D:/x/prog.exe"), "prog.exe");
    EXPECT_STREQ(last_component_trimmed("D:/dir/sub\\"), "sub");
    EXPECT_STREQ(last_component_trimmed("\\"), "");
    EXPECT_STREQ(last_component_trimmed("dir/"), "");
    EXPECT_STREQ(last_component_trimmed("D:/data\\\\"), "");

    std::strcpy(path_buffer, "dir\\sub/name.c");
    EXPECT_STREQ(base_name_of_path_buffer(), "name.c");
    // The result buffer may be the input.
    std::strcpy(name_buffer, "a/b/c");
    EXPECT_STREQ(last_component(name_buffer), "c");
}

TEST(PathUtils, DirectoryParts)
{
    EXPECT_STREQ(directory_prefix("D:/out/x.txt"), "D:/out/");
    EXPECT_STREQ(directory_prefix("D:\\out\\x.txt"), "D:\\out\\");
    EXPECT_STREQ(directory_prefix("/x"), "/");
    EXPECT_STREQ(directory_prefix("name"), "");
    EXPECT_STREQ(directory_prefix("a/b/"), "a/b/");
    EXPECT_EQ(directory_prefix("a/b"), path_buffer);

    EXPECT_STREQ(relative_directory("D:/data/sub/f.c"), "data/sub/");
    EXPECT_STREQ(relative_directory("D:\\data\\f.c"), "data\\");
    EXPECT_STREQ(relative_directory("D:/f.c"), "");
    EXPECT_STREQ(relative_directory("src/f.c"), "src/");
    EXPECT_STREQ(relative_directory("f.c"), "");
    EXPECT_STREQ(relative_directory(""), "");
    EXPECT_STREQ(relative_directory("src/sub/"), "");
    EXPECT_STREQ(relative_directory("./a.txt"), "./");
    // Absolute and drive-relative paths never store a root.
    EXPECT_STREQ(relative_directory("/data/sub/f.c"), "data/sub/");
    EXPECT_STREQ(relative_directory("/f.c"), "");
    EXPECT_STREQ(relative_directory("//data/f.c"), "data/");
    EXPECT_STREQ(relative_directory("\\data\\f.c"), "data\\");
    EXPECT_STREQ(relative_directory("D:ab/f.c"), "ab/");
    EXPECT_STREQ(relative_directory("D://x/f.c"), "x/");
}

TEST(PathUtils, CollapseAndWildcardTest)
{
    auto collapsed = [](const char* in) {
        std::string s = in;
        collapse_separators(s.data());
        return std::string(s.c_str());
    };
    EXPECT_EQ(collapsed("D:/out//sub/f"), "D:/out/sub/f");
    EXPECT_EQ(collapsed("a/\\b"), "a\\b");
    EXPECT_EQ(collapsed("a\\/b"), "a/b");
    EXPECT_EQ(collapsed("a/\\/b"), "a/b");
    EXPECT_EQ(collapsed("//a//"), "/a/");
    EXPECT_EQ(collapsed("plain"), "plain");
    EXPECT_EQ(collapsed(""), "");

    EXPECT_EQ(has_wildcard_or_dot("a.txt"), 1);
    EXPECT_EQ(has_wildcard_or_dot("a*"), 1);
    EXPECT_EQ(has_wildcard_or_dot("a?b"), 0);
    EXPECT_EQ(has_wildcard_or_dot(""), 0);
}

TEST(PathUtils, LongTextsAreRefused)
{
    const std::string fits = std::string(PATH_LIMIT - 4, 'd') + "/f.c";
    const std::string over = std::string(PATH_LIMIT - 3, 'd') + "/f.c";
    ASSERT_EQ(fits.size(), PATH_LIMIT);
    EXPECT_TRUE(path_fits(fits.c_str()));
    EXPECT_FALSE(path_fits(over.c_str()));

    EXPECT_STREQ(last_component(fits.c_str()), "f.c");
    EXPECT_EQ(directory_prefix(fits.c_str()), fits.substr(0, PATH_LIMIT - 3));
    EXPECT_EQ(relative_directory(fits.c_str()), fits.substr(0, PATH_LIMIT - 3));
    EXPECT_STREQ(last_component(over.c_str()), "");
    EXPECT_STREQ(last_component_trimmed(over.c_str()), "");
    EXPECT_STREQ(directory_prefix(over.c_str()), "");
    EXPECT_STREQ(relative_directory(over.c_str()), "");
    EXPECT_EQ(file_size(over.c_str()), 0.0);
    EXPECT_EQ(is_directory(over.c_str()), 0);
    EXPECT_FALSE(create_directories(over.c_str()));

    // Collapsing works in place at any length.
    std::string long_run = std::string(500, '/') + "x";
    collapse_separators(long_run.data());
    EXPECT_STREQ(long_run.c_str(), "/x");
}

TEST(PathUtils, MatchWildcardNameCases)
{
    EXPECT_EQ(name_match("*", ""), 1);
    EXPECT_EQ(name_match("?", ""), 0);
    EXPECT_EQ(name_match("", ""), 1);
    EXPECT_EQ(name_match("", "a"), 0);
    EXPECT_EQ(name_match("a*b*c", "aXbYc"), 1);
    EXPECT_EQ(name_match("a*b*c", "abc"), 1);
    EXPECT_EQ(name_match("a*b*c", "abcb"), 0);
    EXPECT_EQ(name_match("ab", "abc"), 0);
    EXPECT_EQ(name_match("abc", "ab"), 0);
    EXPECT_EQ(name_match("a**", "a"), 1);
    EXPECT_EQ(name_match("*.c**", "x.c"), 1);
    EXPECT_EQ(name_match("*.txt", "A.TXT"), 0);
    EXPECT_EQ(name_match("*.txt", "a.txt"), 1);
    EXPECT_EQ(name_match("*a", "aaa"), 1);
    EXPECT_EQ(name_match("*ab", "aab"), 1);
    EXPECT_EQ(name_match("?*?", "a"), 0);
    EXPECT_EQ(name_match("?*?", "ab"), 1);
    // A '*' in the pattern is always a wildcard, even facing a '*' in the text.
    EXPECT_EQ(name_match("*b", "*ab"), 1);
}

TEST(PathUtils, WildcardCompareCases)
{
    EXPECT_EQ(wildcard_compare("*", ""), 0);
    EXPECT_NE(wildcard_compare("**", ""), 0);
    EXPECT_EQ(wildcard_compare("**", "x"), 0);
    EXPECT_NE(wildcard_compare("a**", "a"), 0);
    EXPECT_EQ(wildcard_compare("a**", "ab"), 0);
    EXPECT_NE(wildcard_compare("*.c**", "x.c"), 0);
    EXPECT_EQ(wildcard_compare("*.c**", "x.cc"), 0);
    EXPECT_EQ(wildcard_compare("a**b", "ab"), 0);
    EXPECT_EQ(wildcard_compare("?:*", "D:"), 0);
    EXPECT_EQ(wildcard_compare("?:*", "D:/x"), 0);
    EXPECT_NE(wildcard_compare("?:*", "D"), 0);
    EXPECT_NE(wildcard_compare("?:*", "DD:"), 0);
    EXPECT_EQ(wildcard_compare("?:", "D:"), 0);
    EXPECT_NE(wildcard_compare("?:", "D:."), 0);
    EXPECT_NE(wildcard_compare("*.TXT", "a.txt"), 0);
    EXPECT_NE(wildcard_compare("", "a"), 0);
    EXPECT_EQ(wildcard_compare("", ""), 0);
    EXPECT_EQ(wildcard_compare("*b", "*ab"), 0);
}

// Every pattern up to five symbols over {a, b, ?, *} against every text up
// to five letters over {a, b}, then random longer ones: the fast matchers
// must agree with the recursive references, and with each other except for
// patterns that end in "**".
TEST(PathUtils, MatchersAgreeWithReferences)
{
    const char symbols[] = "ab?*";
    std::vector<std::string> patterns{""}, texts{""};
    for (size_t from = 0; patterns.size() < 1365; ) {
        const size_t to = patterns.size();
        for (size_t i = from; i < to; ++i) {
            for (int s = 0; s < 4; ++s) patterns.push_back(patterns[i] + symbols[s]);
        }
        from = to;
    }
    for (size_t from = 0; texts.size() < 63; ) {
        const size_t to = texts.size();
        for (size_t i = from; i < to; ++i) {
            for (int s = 0; s < 2; ++s) texts.push_back(texts[i] + symbols[s]);
        }
        from = to;
    }
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) {
        std::string p, t;
        for (int n = static_cast<int>(rng() % 12); n > 0; --n) p += symbols[rng() % 4];
        for (int n = static_cast<int>(rng() % 14); n > 0; --n) t += symbols[rng() % (i % 2 == 0 ? 2 : 4)];
        patterns.push_back(p);
        texts.push_back(t);
    }

    int failures = 0;
    auto check = [&](const std::string& p, const std::string& t) {
        const bool want = reference_compare(p.c_str(), t.c_str()) == 0;
        const bool got = wildcard_compare(p.c_str(), t.c_str()) == 0;
        const bool want_name = reference_glob(p.c_str(), t.c_str());
        const bool got_name = name_match(p.c_str(), t.c_str()) == 1;
        if ((want != got || want_name != got_name) && ++failures <= 10) {
            ADD_FAILURE() << "pattern \"" << p << "\" text \"" << t << "\"";
        }
        if (!ends_in_double_star(p) && got != got_name && ++failures <= 10) {
            ADD_FAILURE() << "matchers differ: pattern \"" << p << "\" text \"" << t << "\"";
        }
    };
    for (size_t i = 0; i < 1365; ++i) {
        for (size_t j = 0; j < 63; ++j) check(patterns[i], texts[j]);
    }
    for (size_t i = 1365; i < patterns.size(); ++i) check(patterns[i], texts[63 + i - 1365]);
    EXPECT_EQ(failures, 0);
}

// A pattern that sends plain recursion through an exponential number of
// tries must still be answered.
TEST(PathUtils, ManyStarsAgainstLongText)
{
    std::string pattern;
    for (int i = 0; i < 30; ++i) pattern += "*a";
    pattern += "*b";
    const std::string text(PATH_LIMIT, 'a');
    EXPECT_NE(wildcard_compare(pattern.c_str(), text.c_str()), 0);
    EXPECT_EQ(name_match(pattern.c_str(), text.c_str()), 0);
    EXPECT_NE(wildcard_compare((pattern + "**").c_str(), (text + "b").c_str()), 0);
    EXPECT_EQ(wildcard_compare((pattern + "*").c_str(), (text + "b").c_str()), 0);
}

TEST(PathUtils, FileSizes)
{
    TempDir dir;
    write_file_bytes(dir.file("empty"), {});
    write_file_bytes(dir.file("five"), {1, 2, 3, 4, 5});
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);

    EXPECT_EQ(file_size(dir.file("empty").c_str()), 0.0);
    EXPECT_EQ(file_size(dir.file("five").c_str()), 5.0);
    EXPECT_EQ(file_size((dir.path() + "\\five").c_str()), 5.0);
    EXPECT_EQ(file_size(dir.file("sub").c_str()), 0.0);
    EXPECT_EQ(file_size(dir.file("missing").c_str()), 0.0);

    std::strcpy(archive_path, dir.file("five").c_str());
    EXPECT_EQ(archive_file_size(), 5.0);
    archive_path[0] = 0;
    EXPECT_EQ(archive_file_size(), 0.0);

    // A sparse file of 5 GiB keeps every byte of its size.
    const uint64_t big = 5ull << 30;
    FileHandle h = open_file(dir.file("big").c_str(), FILE_READ_WRITE, CREATE_OR_TRUNCATE);
    ASSERT_NE(h, NO_FILE);
    ASSERT_TRUE(truncate_file(h, big));
    EXPECT_EQ(seek_handle(h, big - 1), static_cast<int64_t>(big - 1));
    close_file(h);
    EXPECT_EQ(static_cast<int64_t>(file_size(dir.file("big").c_str())), static_cast<int64_t>(big));
}

TEST(PathUtils, CreateDirectoriesAndIsDirectory)
{
    TempDir dir;
    const std::string nested = dir.path() + "\\a/b\\\\c";
    EXPECT_TRUE(create_directories(nested.c_str()));
    EXPECT_EQ(is_directory(dir.file("a/b/c").c_str()), 1);
    EXPECT_EQ(is_directory(nested.c_str()), 1);

    // Everything there already: nothing changes, nothing is reported.
    write_file_bytes(dir.file("a/b/c/f"), {9});
    EXPECT_TRUE(create_directories((dir.path() + "/a/b/c/").c_str()));
    EXPECT_EQ(file_size(dir.file("a/b/c/f").c_str()), 1.0);

    // A file in the way is passed over in silence.
    EXPECT_TRUE(create_directories(dir.file("a/b/c/f/g").c_str()));
    EXPECT_EQ(is_directory(dir.file("a/b/c/f/g").c_str()), 0);

    EXPECT_EQ(is_directory(dir.file("a/b/c/f").c_str()), 0);
    EXPECT_EQ(is_directory(dir.file("none").c_str()), 0);
    EXPECT_EQ(is_directory(nullptr), 0);
}

TEST(PathUtils, DeleteFileRetryEnds)
{
    TempDir dir;
    write_file_bytes(dir.file("f"), {1});
    EXPECT_TRUE(delete_file_retry(dir.file("f").c_str()));
    EXPECT_NE(access(dir.file("f").c_str(), F_OK), 0);
    // Gone already: done at once.
    EXPECT_TRUE(delete_file_retry(dir.file("f").c_str()));
    // A directory can never be deleted as a file: the call gives up.
    ASSERT_EQ(mkdir(dir.file("d").c_str(), 0755), 0);
    EXPECT_FALSE(delete_file_retry(dir.file("d").c_str()));
    EXPECT_EQ(is_directory(dir.file("d").c_str()), 1);
}
