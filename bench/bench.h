// A small benchmark registry: each bench/bench_*.cpp registers named cases
// with BENCH_CASE; zendal_bench runs all of them, or those whose names
// contain the first argument. Samples are built once and shared.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace bench {

struct Case {
    const char* name;
    std::function<void()> run;
};

std::vector<Case>& registry();

struct Register {
    Register(const char* name, std::function<void()> run) { registry().push_back({name, std::move(run)}); }
};

// 16 MiB (or size bytes) of real text: decompressed manual pages of this
// machine, repeated when there are too few.
const std::vector<uint8_t>& text_sample(size_t size = 16u << 20);
// Pseudo-random bytes from a fixed seed.
const std::vector<uint8_t>& random_sample(size_t size = 16u << 20);

// Seconds taken by f, best of `repeats` runs.
double best_seconds(int repeats, const std::function<void()>& f);

// Prints one result line: name, input size, MB/s (10^6 bytes per second).
void report(const std::string& name, size_t bytes, double seconds, const std::string& extra = "");

}  // namespace bench

#define BENCH_JOIN2(a, b) a##b
#define BENCH_JOIN(a, b) BENCH_JOIN2(a, b)
#define BENCH_CASE(name) \
    static void BENCH_JOIN(bench_case_, __LINE__)(); \
    static bench::Register BENCH_JOIN(bench_reg_, __LINE__)(name, BENCH_JOIN(bench_case_, __LINE__)); \
    static void BENCH_JOIN(bench_case_, __LINE__)()
