#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <unistd.h>

#include "archive/path_utils.h"
#include "archive/settings.h"
#include "platform/file_io.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

// wildcard_compare as its rules read, by plain recursion: exponential at
// worst, but an obvious transcription.
int reference_compare(const char* p, const char* t)
{
    for (; *p != '*'; ++p, ++t)
        if (*t == 0 || (*p != *t && *p != '?')) return (*p == 0 && *t == 0) ? 0 : 1;
    for (; *t != 0; ++t)
        if (reference_compare(p + 1, t) == 0) return 0;
    return p[1] == 0 ? 0 : 1;
}

// Plain glob, the rules of match_wildcard_name: '*' takes any run.
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

}  // namespace

TEST(PathUtils, PathParts)
{
    const std::tuple<char* (*)(const char*), const char*, const char*> cases[] = {
        {last_component, "a/b/c.txt", "c.txt"},      {last_component, "a\\b\\c", "c"},
        {last_component, "c.txt", "c.txt"},          {last_component, "a/b\\", ""},
        {last_component_trimmed, "D:/x/prog.exe", "prog.exe"}, {last_component_trimmed, "D:/dir/sub\\", "sub"},
        {last_component_trimmed, "\\", ""},          {last_component_trimmed, "dir/", ""},
        {last_component_trimmed, "D:/data\\\\", ""}, {directory_prefix, "D:\\out\\x.txt", "D:\\out\\"},
        {directory_prefix, "/x", "/"},               {directory_prefix, "name", ""},
    };
    for (const auto& [part, path, expected] : cases) EXPECT_STREQ(part(path), expected) << path;

    // Stored directories: never a root, never a ".", ".." or empty part; a
    // leading ".." is dropped and counted. "D:" is a drive only where the
    // platform has drives; elsewhere a directory of that name.
    const bool drives = PATHS_HAVE_DRIVES;
    const std::tuple<const char*, const char*, size_t> stored[] = {
        {"src/f.c", "src/", 0},          {"f.c", "", 0},                  {"src/sub/", "", 0},
        {"./a.txt", "", 0},              {"/data/f.c", "data/", 0},       {"//data/f.c", "data/", 0},
        {"\\d\\f.c", "d/", 0},           {"a//b/./c/f", "a/b/c/", 0},     {"a/../b/f", "b/", 0},
        {"../src/f.c", "src/", 1},       {"../../f.c", "", 2},            {"a/../../x/f", "x/", 1},
        {"/../etc/f", "etc/", 1},        {"dir/./../f", "", 0},           {"./../a/f", "a/", 1},
        {"D:/data/sub/f.c", drives ? "data/sub/" : "D:/data/sub/", 0},
        {"D:/f.c", drives ? "" : "D:/", 0},
        {"D:ab/f.c", drives ? "ab/" : "D:ab/", 0},
        {"X:/y:/f", drives ? "y:/" : "X:/y:/", 0},
    };
    for (const auto& [path, expected, dropped] : stored) {
        size_t count = 99;
        EXPECT_STREQ(relative_directory(path, &count), expected) << path;
        EXPECT_EQ(count, dropped) << path;
    }

    for (auto [in, out] : {std::pair<std::string, std::string>{"D:/out//sub/f", "D:/out/sub/f"}, {"a/\\b", "a\\b"},
                           {"a/\\/b", "a/b"}, {"//a//", "/a/"}, {std::string(500, '/') + "x", "/x"}}) {
        collapse_separators(in.data());
        EXPECT_EQ(std::string(in.c_str()), out);
    }
    EXPECT_EQ((std::vector<int>{has_wildcard_or_dot("a.txt"), has_wildcard_or_dot("a*"), has_wildcard_or_dot("a?b")}),
              (std::vector<int>{1, 1, 0}));

    // Resolving "." and ".." in paths the program forms; a ".." at the root
    // stays at the root and is not counted.
    const std::tuple<const char*, const char*, size_t> resolved[] = {
        {"/home/u/./", "/home/u", 0}, {"/home/u/w/..", "/home/u", 0}, {"/home/u/w/../..//", "/home", 0},
        {"/..", "/", 0},              {"/a.b/c d/.", "/a.b/c d", 0},  {"../x", "x", 1},
        {"", "", 0},                  {"a\\b", "a/b", 0},
    };
    for (const auto& [in, out, dropped] : resolved) {
        std::string text = in;
        EXPECT_EQ(resolve_dot_parts(text.data(), '/'), dropped) << in;
        EXPECT_EQ(std::string(text.c_str()), out) << in;
    }

    // Paths the program forms and prints use the platform's separator.
    char joined[16];
    const std::string sep(1, PATH_SEPARATOR);
    EXPECT_TRUE(join_path(joined, sizeof joined, "/w", "arc"));
    EXPECT_EQ(std::string(joined), "/w" + sep + "arc");
    EXPECT_TRUE(join_path(joined, sizeof joined, "/", "arc") && std::string(joined) == "/arc");
    EXPECT_TRUE(join_path(joined, sizeof joined, "", "arc") && std::string(joined) == "arc");
    EXPECT_FALSE(join_path(joined, sizeof joined, "/w", "fourteen chars"));
    std::string mixed = "a\\b/c";
    native_separators(mixed.data());
    EXPECT_EQ(mixed, "a" + sep + "b" + sep + "c");
    EXPECT_TRUE(is_absolute_path("/x") && is_absolute_path("\\x") && !is_absolute_path("x/y"));
    EXPECT_EQ(is_absolute_path("D:x"), drives);
    std::string odd = "a\x1b[2J\x07\x7f\xc3\xa9";
    mask_control_bytes(odd.data());
    EXPECT_EQ(odd, "a?[2J??\xc3\xa9");

    // Texts longer than the result buffers are refused.
    const std::string fits = std::string(PLATFORM_PATH_LIMIT - 4, 'd') + "/f.c", over = "d" + fits;
    EXPECT_TRUE(path_fits(fits.c_str()) && !path_fits(over.c_str()));
    EXPECT_STREQ(last_component(fits.c_str()), "f.c");
    EXPECT_EQ(relative_directory(fits.c_str()), fits.substr(0, PLATFORM_PATH_LIMIT - 3));
    for (char* (*part)(const char*) : {last_component, last_component_trimmed, directory_prefix})
        EXPECT_STREQ(part(over.c_str()), "");
    EXPECT_STREQ(relative_directory(over.c_str()), "");
    EXPECT_EQ(file_size(over.c_str()), 0.0);
    EXPECT_EQ(is_directory(over.c_str()), 0);
    EXPECT_FALSE(create_directories(over.c_str()));
}

TEST(PathUtils, Matchers)
{
    // Pattern, text, and whether wildcard_compare and match_wildcard_name match.
    const std::tuple<const char*, const char*, bool, bool> cases[] = {
        {"*", "", 1, 1},         {"**", "", 0, 1},       {"?", "", 0, 0},           {"a*b*c", "aXbYc", 1, 1},
        {"a*b*c", "abc", 1, 1},  {"ab", "abc", 0, 0},    {"a**", "a", 0, 1},        {"a**", "ab", 1, 1},
        {"*.c**", "x.c", 0, 1},  {"*.txt", "A.TXT", 0, 0}, {"*b", "*ab", 1, 1},     {"?:*", "D:/x", 1, 1},
        {"?:*", "DD:", 0, 0},    {"?:", "D:", 1, 1},     {"?:", "D:.", 0, 0},
    };
    for (const auto& [pattern, text, compare, name] : cases) {
        EXPECT_EQ(wildcard_compare(pattern, text) == 0, compare) << pattern << " " << text;
        EXPECT_EQ(name_match(pattern, text) == 1, name) << pattern << " " << text;
    }
    // Patterns that send plain recursion through an exponential number of
    // tries are still answered.
    std::string stars;
    for (int i = 0; i < 30; ++i) stars += "*a";
    const std::string text(PATH_LIMIT, 'a');
    EXPECT_NE(wildcard_compare((stars + "*b").c_str(), text.c_str()), 0);
    EXPECT_EQ(name_match((stars + "*b").c_str(), text.c_str()), 0);
    EXPECT_EQ(wildcard_compare((stars + "*").c_str(), (text + "b").c_str()), 0);

    // Against the references: every pattern of up to four symbols and every
    // text of up to five letters, then longer ones at random.
    int failures = 0;
    auto check = [&](const std::string& p, const std::string& t) {
        const char *pc = p.c_str(), *tc = t.c_str();
        const bool same = (wildcard_compare(pc, tc) == 0) == (reference_compare(pc, tc) == 0) &&
                          (name_match(pc, tc) == 1) == reference_glob(pc, tc);
        if (!same && ++failures <= 10) ADD_FAILURE() << "pattern \"" << p << "\" text \"" << t << "\"";
    };
    auto nth = [](uint32_t n, uint32_t base) {  // shortest first: "", "a", "b", ..., "aa", ...
        std::string s;
        for (; n > 0; n = (n - 1) / base) s += "ab?*"[(n - 1) % base];
        return s;
    };
    for (uint32_t p = 0; p < 341; ++p)
        for (uint32_t t = 0; t < 63; ++t) check(nth(p, 4), nth(t, 2));
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) check(nth(rng() % (1 << 24), 4), nth(rng() % (1 << 14), i % 2 ? 4 : 2));
    EXPECT_EQ(failures, 0);
}

TEST(PathUtils, FileHelpers)
{
    TempDir dir;
    write_file_bytes(dir.file("five"), {1, 2, 3, 4, 5});
    EXPECT_EQ(file_size(dir.file("five").c_str()), 5.0);
    EXPECT_EQ(file_size((dir.path() + "\\five").c_str()), 5.0);
    EXPECT_EQ(file_size(dir.file("missing").c_str()), 0.0);
    EXPECT_EQ(file_size(dir.path().c_str()), 0.0);  // a directory
    std::strcpy(archive_path, dir.file("five").c_str());
    EXPECT_EQ(archive_file_size(), 5.0);
    // A sparse file of 5 GiB keeps every byte of its size.
    const uint64_t big = 5ull << 30;
    FileHandle h = open_file(dir.file("big").c_str(), FILE_READ_WRITE, CREATE_OR_TRUNCATE);
    ASSERT_TRUE(h != NO_FILE && truncate_file(h, big));
    EXPECT_EQ(seek_handle(h, big - 1), static_cast<int64_t>(big - 1));
    close_file(h);
    EXPECT_EQ(static_cast<int64_t>(file_size(dir.file("big").c_str())), static_cast<int64_t>(big));

    // Directories along a path with mixed and doubled separators; ones that
    // exist, and a file in the way, are passed over in silence.
    EXPECT_TRUE(create_directories((dir.path() + "\\a/b\\\\c").c_str()));
    EXPECT_EQ(is_directory(dir.file("a/b/c").c_str()), 1);
    EXPECT_TRUE(create_directories((dir.path() + "/a/b/").c_str()));
    EXPECT_TRUE(create_directories(dir.file("five/g").c_str()));
    EXPECT_FALSE(is_directory(dir.file("five/g").c_str()) || is_directory(dir.file("five").c_str()));

    // Deleting ends: done, already gone, or given up on a directory.
    EXPECT_TRUE(delete_file_retry(dir.file("five").c_str()));
    EXPECT_NE(access(dir.file("five").c_str(), F_OK), 0);
    EXPECT_TRUE(delete_file_retry(dir.file("five").c_str()));
    EXPECT_FALSE(delete_file_retry(dir.file("a").c_str()));
    EXPECT_EQ(is_directory(dir.file("a").c_str()), 1);
}
