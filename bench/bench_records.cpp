// Whole blocks through the records at -m4 (16 MiB blocks), per kind of data,
// beside divbwt's own speed on the same blocks. The samples come from
// bench/make-samples (ZENDAL_SAMPLES, /tmp/zendal-samples by default).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <divsufsort.h>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "engine/dna_codons.h"
#include "engine/entry_codec.h"
#include "engine/entry_state.h"

namespace {

const uint32_t BLOCK = 16u << 20;

// The files of one sample directory, concatenated, at most `limit` bytes.
std::vector<uint8_t> load_kind(const std::string& kind, size_t limit)
{
    const char* root = std::getenv("ZENDAL_SAMPLES");
    const std::string dir = std::string(root ? root : "/tmp/zendal-samples") + "/" + kind;
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<uint8_t> data;
    for (const std::string& n : names) {
        if (data.size() >= limit) break;
        if (FILE* f = std::fopen((dir + "/" + n).c_str(), "rb")) {
            uint8_t buf[1 << 16];
            size_t got;
            while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + got);
            std::fclose(f);
        }
    }
    if (data.size() > limit) data.resize(limit);
    return data;
}

void encode(const std::vector<uint8_t>& data, const char* path)
{
    reset_engine(BLOCK);
    encode_bare_entry(path, data.data(), data.size(), BLOCK);
}

void decode(std::vector<uint8_t>& out, const char* path)
{
    reset_engine(BLOCK);
    decode_bare_entry(path, out.data(), out.size(), BLOCK);
}

void bench_kind(const std::string& kind)
{
    dna_build_trie();
    const std::vector<uint8_t> data = load_kind(kind, 32u << 20);
    if (data.empty()) {
        std::printf("records %-8s no samples: run bench/make-samples\n", kind.c_str());
        return;
    }
    const char* path = "/tmp/zendal-bench.entry";
    const double enc = bench::best_seconds(2, [&] { encode(data, path); });
    const int64_t packed = file_length(open_file(path, FILE_READ, OPEN_EXISTING_FILE));
    std::vector<uint8_t> decoded(data.size());
    const double dec = bench::best_seconds(2, [&] { decode(decoded, path); });
    const bool same = decoded == data;

    std::vector<uint8_t> copy(BLOCK);
    std::vector<saidx_t> sa(BLOCK);
    const double bwt = bench::best_seconds(2, [&] {
        for (size_t done = 0; done < data.size(); done += BLOCK) {
            const size_t n = std::min<size_t>(BLOCK, data.size() - done);
            std::memcpy(copy.data(), data.data() + done, n);
            divbwt(copy.data(), copy.data(), sa.data(), static_cast<saidx_t>(n));
        }
    });
    char ratio[96];
    std::snprintf(ratio, sizeof ratio, "-> %lld bytes (%.3f)%s", static_cast<long long>(packed),
                  double(packed) / double(data.size()), same ? "" : " DECODED DIFFERENTLY");
    bench::report("records " + kind + " compress -m4", data.size(), enc, ratio);
    bench::report("records " + kind + " decompress -m4", data.size(), dec);
    bench::report("records " + kind + " divbwt alone", data.size(), bwt);
    std::remove(path);
}

}  // namespace

BENCH_CASE("records text") { bench_kind("text"); }
BENCH_CASE("records exe") { bench_kind("exe"); }
BENCH_CASE("records image") { bench_kind("image"); }
BENCH_CASE("records audio") { bench_kind("audio"); }
