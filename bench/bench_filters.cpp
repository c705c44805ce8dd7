// Speed of the x86 call/jump filter and of DNA codon packing, both ways.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "engine/dna_codons.h"
#include "engine/work_memory.h"
#include "engine/x86_filter.h"

namespace {

// Up to size bytes of executables from /usr/bin.
std::vector<uint8_t> machine_code(size_t size)
{
    std::vector<uint8_t> out;
    if (FILE* p = popen("cat /usr/bin/* 2>/dev/null", "r")) {
        std::vector<uint8_t> buf(1 << 16);
        size_t n;
        while (out.size() < size && (n = fread(buf.data(), 1, buf.size(), p)) > 0)
            out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
        pclose(p);
    }
    if (out.size() > size) out.resize(size);
    return out;
}

void bench_x86(const std::string& name, const std::vector<uint8_t>& sample)
{
    std::vector<uint8_t> work = sample;
    const uint32_t n = static_cast<uint32_t>(work.size());
    double enc = bench::best_seconds(3, [&] {
        work = sample;
        x86_encode_buffer(work.data(), n);
    });
    const std::vector<uint8_t> encoded = work;
    double dec = bench::best_seconds(3, [&] {
        work = encoded;
        x86_decode_buffer(work.data(), n);
    });
    const bool same = work == sample;
    bench::report("x86 encode " + name, n, enc);
    bench::report("x86 decode " + name, n, dec, same ? "" : "MISMATCH");
}

}  // namespace

BENCH_CASE("x86_filter")
{
    bench_x86("machine code", machine_code(16u << 20));
    bench_x86("text", bench::text_sample());
}

BENCH_CASE("dna_codons")
{
    if (block_size < (16u << 20)) allocate_work_memory(16 << 20);
    dna_build_trie();
    std::mt19937 rng(5);
    std::vector<uint8_t> sample;
    sample.reserve(16u << 20);
    while (sample.size() < (16u << 20)) {
        for (int i = 0; i < 60; ++i) sample.push_back(static_cast<uint8_t>("acgt"[rng() % 4]));
        sample.push_back('\n');
    }
    sample.resize(16u << 20);
    const uint32_t n = static_cast<uint32_t>(sample.size());
    std::vector<uint8_t> work;
    uint32_t packed = 0;
    double enc = bench::best_seconds(3, [&] {
        work = sample;
        packed = dna_pack(work.data(), n);
    });
    const std::vector<uint8_t> packed_bytes(work.begin(), work.begin() + packed);
    double dec = bench::best_seconds(3, [&] {
        std::memcpy(work.data(), packed_bytes.data(), packed);
        dna_unpack(work.data(), n, packed);
    });
    char extra[64];
    std::snprintf(extra, sizeof extra, "packed to %u bytes%s", packed, work == sample ? "" : " MISMATCH");
    bench::report("dna pack", n, enc, extra);
    bench::report("dna unpack", n, dec, work == sample ? "" : "MISMATCH");
}
