#include "tests/test_program_support.h"

#include <algorithm>
#include <cstdio>
#include <regex>
#include <sstream>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace program_test {

static std::string as_text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

static std::string quoted(const std::string& t) { return "'" + std::regex_replace(t, std::regex("'"), "'\\''") + "'"; }

// ZENDAL_EMULATOR is empty, or the emulator the build found it needs. The
// emulator reserves the guest's whole address space up front, so its own -R
// sets the limit there, where a shell's ulimit would stop the emulator itself.
std::vector<std::string> program_command(uint64_t memory_limit)
{
    if (!program_is_emulated()) return {ZENDAL_PROGRAM};
    if (memory_limit == 0) return {ZENDAL_EMULATOR, ZENDAL_PROGRAM};
    return {ZENDAL_EMULATOR, "-R", std::to_string(memory_limit), ZENDAL_PROGRAM};
}

bool program_is_emulated() { return ZENDAL_EMULATOR[0] != '\0'; }

// Natively the limit is the shell's: "ulimit -v <KiB> && " goes in front of
// the command that ends up running the program. AddressSanitizer cannot start
// under such a limit (it reserves terabytes of address space for itself), so
// a sanitized program gets the nearest it offers: no single allocation may
// exceed the limit, and one that would comes back empty.
static std::string limit_prefix(uint64_t memory_limit)
{
    if (memory_limit == 0 || program_is_emulated()) return "";
#ifdef ZENDAL_SANITIZED
    return "export ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=" +
           std::to_string(memory_limit >> 20) + " && ";
#else
    return "ulimit -v " + std::to_string(memory_limit >> 10) + " && ";
#endif
}

std::string program_shell_command(uint64_t memory_limit)
{
    std::string command = limit_prefix(memory_limit);
    for (const std::string& part : program_command(memory_limit))
        command += (command.empty() || command.back() == ' ' ? "" : " ") + quoted(part);
    return command;
}

Outcome run_program(const std::string& cwd, const std::vector<std::string>& args, uint64_t memory_limit,
                    uint64_t file_size_limit)
{
    char error_file[] = "/tmp/zendal-stderr-XXXXXX";  // standard error of this run; a run that hangs is killed
    close(mkstemp(error_file));
    std::string command = "cd " + quoted(cwd) + " && " + limit_prefix(memory_limit);
    if (file_size_limit != 0) command += "ulimit -f " + std::to_string(file_size_limit >> 10) + " && ";
    command += "exec timeout -s KILL 300";
    for (const std::string& part : program_command(memory_limit)) command += " " + quoted(part);
    for (const std::string& a : args) command += " " + quoted(a);
    std::fflush(nullptr);
    FILE* pipe = popen((command + " </dev/null 2>" + quoted(error_file)).c_str(), "r");
    Outcome result{"", "", -1};
    char buffer[65536];
    for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, n);
    const int status = pipe ? pclose(pipe) : -1;
    if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.code = 128 + WTERMSIG(status);
    result.err = read_text(error_file);
    unlink(error_file);
    return result;
}

BackgroundRun start_program(const std::string& cwd, const std::vector<std::string>& args)
{
    BackgroundRun run;
    for (std::string* file : {&run.out_file, &run.err_file}) {
        char name[] = "/tmp/zendal-output-XXXXXX";
        close(mkstemp(name));
        *file = name;
    }
    std::vector<std::string> command = program_command();
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& part : command) argv.push_back(&part[0]);
    argv.push_back(nullptr);
    std::fflush(nullptr);
    run.pid = fork();
    if (run.pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(run.out_file.c_str(), O_WRONLY | O_TRUNC);
        const int err = open(run.err_file.c_str(), O_WRONLY | O_TRUNC);
        if (chdir(cwd.c_str()) != 0 || in < 0 || out < 0 || err < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return run;
}

Outcome finish_program(BackgroundRun& run, int timeout_seconds)
{
    Outcome result{"", "", -1};
    int status = 0;
    for (int waited = 0; waitpid(run.pid, &status, WNOHANG) == 0; ++waited) {
        if (waited == timeout_seconds * 100) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.code = 128 + WTERMSIG(status);
    result.out = read_text(run.out_file);
    result.err = read_text(run.err_file);
    unlink(run.out_file.c_str());
    unlink(run.err_file.c_str());
    return result;
}

std::vector<ChildProcess> children_of(int pid)
{
    std::vector<ChildProcess> children;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        // /proc/<id>/stat: id (command) state parent ...
        const std::string stat = read_text(entry.path().string() + "/stat");
        const size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) continue;
        std::istringstream fields(stat.substr(close_paren + 2));
        char state = 0;
        int parent = 0;
        fields >> state >> parent;
        if (parent != pid) continue;
        ChildProcess child{std::stoi(name), {}, state == 'Z'};
        const std::string cmdline = read_text(entry.path().string() + "/cmdline");
        for (size_t p = 0, end; p < cmdline.size(); p = end + 1) {
            end = cmdline.find('\0', p);
            if (end == std::string::npos) end = cmdline.size();
            child.args.push_back(cmdline.substr(p, end - p));
        }
        children.push_back(child);
    }
    return children;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<StoredEntry> ProgramTest::entries(const std::string& archive) const
{
    const std::vector<uint8_t> bytes = test_support::read_file_bytes(at(archive));
    std::vector<StoredEntry> result;
    for (size_t pos = 0, p = 0; pos < bytes.size(); p = pos) {
        auto take = [&](int width) {  // a little-endian field
            uint64_t v = 0;
            for (int i = width - 1; i >= 0; --i) v = (v << 8) | bytes.at(p + i);
            p += width;
            return v;
        };
        StoredEntry e;
        e.offset = pos;
        const uint64_t length = take(8);
        e.solid = static_cast<uint8_t>(take(1));
        e.reset = static_cast<uint8_t>(take(1));
        for (std::string* text : {&e.name, &e.dir}) {
            const size_t size = take(2);
            text->assign(reinterpret_cast<const char*>(&bytes.at(p)), size - 1);
            p += size;
        }
        e.piece_length = static_cast<int64_t>(take(8));
        e.piece_offset = take(8);
        e.block_size = static_cast<uint32_t>(take(4));
        if (length < p - pos || length > bytes.size() - pos) {
            ADD_FAILURE() << "entry at " << pos << " has length " << length;
            break;
        }
        e.chunks.assign(bytes.begin() + static_cast<long>(p), bytes.begin() + static_cast<long>(pos + length));
        result.push_back(e);
        pos += length;
    }
    return result;
}

std::vector<uint8_t> build_archive(const std::vector<StoredEntry>& entries)
{
    std::vector<uint8_t> out;
    auto le = [&out](uint64_t value, int width) {
        for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    for (const StoredEntry& e : entries) {
        le(e.header_size() + e.chunks.size(), 8);
        le(e.solid, 1);
        le(e.reset, 1);
        for (const std::string* text : {&e.name, &e.dir}) {
            le(text->size() + 1, 2);
            out.insert(out.end(), text->c_str(), text->c_str() + text->size() + 1);
        }
        le(static_cast<uint64_t>(e.piece_length), 8);
        le(e.piece_offset, 8);
        le(e.block_size, 4);
        out.insert(out.end(), e.chunks.begin(), e.chunks.end());
    }
    return out;
}

void ProgramTest::write(const std::string& rel, const std::string& text) const
{
    fs::create_directories(fs::path(at(rel)).parent_path());
    test_support::write_file_bytes(at(rel), std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<std::string> tree_of(const std::string& root)
{
    std::vector<std::string> paths;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        paths.push_back(fs::relative(it->path(), root).string() + (it->is_directory() && !it->is_symlink() ? "/" : ""));
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string read_text(const std::string& path) { return as_text(test_support::read_file_bytes(path)); }
std::string text_of(size_t n, uint32_t seed) { return as_text(test_support::text_bytes(n, seed)); }
std::string random_of(size_t n, uint32_t seed) { return as_text(test_support::random_bytes(n, seed)); }

std::vector<std::string> ProgramTest::listing(const std::string& archive, std::vector<std::string> patterns) const
{
    patterns.insert(patterns.begin(), {"l", archive});
    const std::vector<std::string> lines = lines_of(run(patterns).out);
    EXPECT_GE(lines.size(), 2u) << "no listing of " << archive;
    return lines.size() < 2 ? lines : std::vector<std::string>(lines.begin() + 1, lines.end() - 1);
}

}  // namespace program_test
