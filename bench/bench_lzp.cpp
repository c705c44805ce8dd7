// Long-match stage speed on 16 MiB of text and 16 MiB of random bytes: in
// one call with the working memory of a 16 MiB block (the default level),
// and in 1 MiB calls with that of a 1 MiB block (-m0), whose table and ring
// stay in the caches. Every run starts from an empty history, as an entry
// does.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "engine/lzp.h"
#include "engine/work_memory.h"

namespace {

constexpr int REPEATS = 5;

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Codes the sample in calls of `block` bytes with the working memory of that
// block size; times encoding and decoding of the whole sample, outside the
// copies in and out of work_buffer.
void run(const std::string& label, const std::vector<uint8_t>& sample, uint32_t block)
{
    const size_t total = sample.size();
    std::vector<std::vector<uint8_t>> coded;
    double best_encode = 1e30;
    for (int r = 0; r < REPEATS; ++r) {
        allocate_work_memory(static_cast<int32_t>(block));  // an empty history
        coded.clear();
        double seconds = 0;
        for (size_t at = 0; at < total; at += block) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, total - at));
            const auto t0 = std::chrono::steady_clock::now();
            const uint32_t len = lzp_encode(sample.data() + at, n);
            seconds += seconds_since(t0);
            coded.emplace_back(work_buffer, work_buffer + len);
        }
        best_encode = std::min(best_encode, seconds);
    }

    std::vector<uint8_t> out(total);
    double best_decode = 1e30;
    for (int r = 0; r < REPEATS; ++r) {
        allocate_work_memory(static_cast<int32_t>(block));  // an empty history
        double seconds = 0;
        size_t at = 0;
        for (const std::vector<uint8_t>& c : coded) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, total - at));
            std::memcpy(work_buffer, c.data(), c.size());
            const auto t0 = std::chrono::steady_clock::now();
            lzp_decode(out.data() + at, n, static_cast<uint32_t>(c.size()));
            seconds += seconds_since(t0);
            at += n;
        }
        best_decode = std::min(best_decode, seconds);
    }
    if (out != sample) {
        std::printf("%s: decoded bytes differ\n", label.c_str());
        std::exit(1);
    }

    size_t coded_total = 0;
    for (const std::vector<uint8_t>& c : coded) coded_total += c.size();
    char extra[64];
    std::snprintf(extra, sizeof extra, "(to %zu bytes, %.1f%%)", coded_total, 100.0 * coded_total / total);
    bench::report("lzp_encode " + label, total, best_encode, extra);
    bench::report("lzp_decode " + label, total, best_decode);
}

}  // namespace

BENCH_CASE("lzp text") { run("text", bench::text_sample(), 16u << 20); }

BENCH_CASE("lzp random") { run("random", bench::random_sample(), 16u << 20); }

BENCH_CASE("lzp m0 text") { run("text, 1 MiB blocks", bench::text_sample(), 1u << 20); }

BENCH_CASE("lzp m0 random") { run("random, 1 MiB blocks", bench::random_sample(), 1u << 20); }
