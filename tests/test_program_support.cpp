#include "tests/test_program_support.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace program_test {

namespace {

std::string quoted(const std::string& text)
{
    std::string q = "'";
    for (char c : text) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

// A fresh file for the standard error of one run. No process-wide
// directory: a forked test process that exits would remove it at exit.
std::string new_error_file()
{
    char path[] = "/tmp/zendal-stderr-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return "/dev/null";
    close(fd);
    return path;
}

}  // namespace

Outcome run_program(const std::string& cwd, const std::vector<std::string>& args, const std::string& limits)
{
    // A run that hangs is ended, and shows as ended by a signal.
    std::string command = "cd " + quoted(cwd) + " && " + (limits.empty() ? "" : limits + " && ") +
                          "exec timeout -s KILL 300 " + quoted(ZENDAL_PROGRAM);
    for (const std::string& a : args) command += " " + quoted(a);
    const std::string error_file = new_error_file();
    command += " </dev/null 2>" + quoted(error_file);

    Outcome result;
    std::fflush(nullptr);
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        result.code = -1;
        return result;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    const int status = pclose(pipe);
    if (WIFEXITED(status))
        result.code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.code = 128 + WTERMSIG(status);
    else
        result.code = -1;
    result.err = read_text(error_file);
    if (error_file != "/dev/null") unlink(error_file.c_str());
    return result;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void put_le(std::vector<uint8_t>& bytes, size_t at, uint64_t value, int width)
{
    for (int i = 0; i < width; ++i) bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get_le(const std::vector<uint8_t>& bytes, size_t at, int width)
{
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | bytes.at(at + i);
    return v;
}

std::vector<StoredEntry> parse_archive(const std::vector<uint8_t>& bytes)
{
    std::vector<StoredEntry> entries;
    size_t pos = 0;
    while (pos < bytes.size()) {
        StoredEntry e;
        e.offset = pos;
        const uint64_t length = get_le(bytes, pos, 8);
        e.solid = bytes.at(pos + 8);
        e.reset = bytes.at(pos + 9);
        size_t p = pos + 10;
        const size_t name_size = get_le(bytes, p, 2);
        e.name.assign(reinterpret_cast<const char*>(&bytes.at(p + 2)), name_size - 1);
        p += 2 + name_size;
        const size_t dir_size = get_le(bytes, p, 2);
        e.dir.assign(reinterpret_cast<const char*>(&bytes.at(p + 2)), dir_size - 1);
        p += 2 + dir_size;
        e.piece_length = static_cast<int64_t>(get_le(bytes, p, 8));
        e.piece_offset = get_le(bytes, p + 8, 8);
        e.block_size = static_cast<uint32_t>(get_le(bytes, p + 16, 4));
        p += 20;
        if (length < p - pos || length > bytes.size() - pos) {
            ADD_FAILURE() << "entry at " << pos << " has length " << length;
            break;
        }
        e.chunks.assign(bytes.begin() + static_cast<long>(p), bytes.begin() + static_cast<long>(pos + length));
        entries.push_back(e);
        pos += length;
    }
    return entries;
}

std::vector<uint8_t> build_archive(const std::vector<StoredEntry>& entries)
{
    std::vector<uint8_t> out;
    for (const StoredEntry& e : entries) {
        const size_t start = out.size();
        out.resize(start + 10);
        put_le(out, start, e.header_size() + e.chunks.size(), 8);
        out[start + 8] = e.solid;
        out[start + 9] = e.reset;
        for (const std::string* text : {&e.name, &e.dir}) {
            const size_t at = out.size();
            out.resize(at + 2);
            put_le(out, at, text->size() + 1, 2);
            out.insert(out.end(), text->begin(), text->end());
            out.push_back(0);
        }
        const size_t at = out.size();
        out.resize(at + 20);
        put_le(out, at, static_cast<uint64_t>(e.piece_length), 8);
        put_le(out, at + 8, e.piece_offset, 8);
        put_le(out, at + 16, e.block_size, 4);
        out.insert(out.end(), e.chunks.begin(), e.chunks.end());
    }
    return out;
}

std::string read_text(const std::string& path)
{
    const std::vector<uint8_t> bytes = test_support::read_file_bytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void write_text(const std::string& path, const std::string& text)
{
    test_support::write_file_bytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool path_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void make_dirs(const std::string& path)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    ASSERT_FALSE(ec) << path << ": " << ec.message();
}

std::vector<std::string> tree_of(const std::string& root)
{
    namespace fs = std::filesystem;
    std::vector<std::string> paths;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string rel = fs::relative(it->path(), root).string();
        if (it->is_directory() && !it->is_symlink()) rel += "/";
        paths.push_back(rel);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

void ProgramTest::write(const std::string& rel, const std::string& text) const
{
    const size_t slash = rel.rfind('/');
    if (slash != std::string::npos) make_dirs(at(rel.substr(0, slash)));
    write_text(at(rel), text);
}

std::vector<std::string> ProgramTest::listing(const std::string& archive,
                                              const std::vector<std::string>& patterns) const
{
    std::vector<std::string> args = {"l", archive};
    args.insert(args.end(), patterns.begin(), patterns.end());
    const Outcome r = run(args);
    EXPECT_EQ(r.code, 1);
    std::vector<std::string> lines = lines_of(r.out);
    // The first line names the archive, the last counts the entries.
    if (lines.size() < 2) {
        ADD_FAILURE() << "no listing: " << r.out;
        return {};
    }
    return std::vector<std::string>(lines.begin() + 1, lines.end() - 1);
}

std::string ProgramTest::real_path(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

}  // namespace program_test
