#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <random>

#include "bench/bench.h"

namespace bench {

std::vector<Case>& registry()
{
    static std::vector<Case> cases;
    return cases;
}

namespace {

// Appends the decompressed contents of the gzip files below dir (through
// the gzip program) until out holds size bytes.
void gather_manual_pages(const std::string& dir, std::vector<uint8_t>& out, size_t size)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (out.size() >= size) return;
        if (name.size() < 4 || name.compare(name.size() - 3, 3, ".gz") != 0) continue;
        std::string cmd = "gzip -dc '" + dir + "/" + name + "' 2>/dev/null";
        if (FILE* p = popen(cmd.c_str(), "r")) {
            uint8_t buf[65536];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
            pclose(p);
        }
    }
}

}  // namespace

const std::vector<uint8_t>& text_sample(size_t size)
{
    static std::vector<uint8_t> text;
    if (text.size() < size) {
        text.clear();
        for (const char* dir : {"/usr/share/man/man1", "/usr/share/man/man3", "/usr/share/man/man8",
                                "/usr/share/man/man5", "/usr/share/man/man7"})
            gather_manual_pages(dir, text, size);
        if (text.empty()) text.assign(1, 'x');
        const size_t have = text.size();
        while (text.size() < size) text.push_back(text[text.size() % have]);
        text.resize(size);
    }
    static std::vector<uint8_t> cut;
    cut.assign(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
    return cut;
}

const std::vector<uint8_t>& random_sample(size_t size)
{
    static std::vector<uint8_t> data;
    if (data.size() != size) {
        std::mt19937 rng(12345);
        data.resize(size);
        for (auto& b : data) b = static_cast<uint8_t>(rng() >> 24);
    }
    return data;
}

double best_seconds(int repeats, const std::function<void()>& f)
{
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    return best;
}

void report(const std::string& name, size_t bytes, double seconds, const std::string& extra)
{
    std::printf("%-36s %10zu bytes %9.2f MB/s %s\n", name.c_str(), bytes,
                seconds > 0 ? bytes / seconds / 1e6 : 0.0, extra.c_str());
    std::fflush(stdout);
}

}  // namespace bench

int main(int argc, char** argv)
{
    const char* filter = argc > 1 ? argv[1] : "";
    for (const bench::Case& c : bench::registry())
        if (std::strstr(c.name, filter) != nullptr) c.run();
    return 0;
}
