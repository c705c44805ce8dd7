// Speed of the bit model coder and the inverse transform on 16 MiB of text
// and of random bytes, beside divbwt's: each stage alone, best of three
// (of five for cm_encode).
#include <divsufsort.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "engine/bit_model.h"
#include "engine/block_decoder.h"
#include "engine/entry_codec.h"
#include "engine/work_memory.h"

namespace {

const char* const ENTRY_PATH = "/tmp/zendal-bench-bit-model.entry";

void encode_entry(const uint8_t* data, int32_t n)
{
    reset_engine(1 << 24);
    begin_bare_entry(ENTRY_PATH);
    cm_encode(data, n);
    finish_entry(ENTRY_PATH);
}

void start_reading()
{
    bit_model.reset();
    begin_reading_bare_entry(ENTRY_PATH);
}

// The walk one byte per step, for comparison: the vector in sa_workspace,
// one dependent load per byte.
void plain_inverse(const uint8_t* x, uint8_t* out, int32_t n, int32_t idx)
{
    int32_t count[257] = {};
    for (int32_t i = 0; i < n; ++i) ++count[x[i] + 1];
    for (int k = 1; k < 256; ++k) count[k] += count[k - 1];
    int32_t* vec = sa_workspace;
    for (int32_t i = 0; i < n; ++i) vec[count[x[i]]++] = i < idx ? i : i + 1;
    int32_t k = 0;
    for (int32_t p = idx; p != 0 && k < n;) {
        p = vec[p - 1];
        out[k++] = p < idx ? x[p] : x[p - 1];
    }
}

const char* same(const uint8_t* result, const std::vector<uint8_t>& expect)
{
    return std::memcmp(result, expect.data(), expect.size()) == 0 ? "identical" : "DIFFERENT";
}

void run_sample(const char* label, const std::vector<uint8_t>& sample)
{
    const int32_t n = static_cast<int32_t>(sample.size());
    const std::string tag = label;
    std::vector<uint8_t> transformed(sample.size());
    int32_t idx = 0;
    double s = bench::best_seconds(3, [&] {
        idx = divbwt(sample.data(), transformed.data(), sa_workspace, n);
    });
    bench::report("divbwt " + tag, sample.size(), s);

    s = bench::best_seconds(5, [&] { encode_entry(transformed.data(), n); });
    char extra[64];
    std::snprintf(extra, sizeof extra, "(%.3f bits per byte)", entry_length * 8.0 / n);
    bench::report("cm_encode " + tag, sample.size(), s, extra);

    uint32_t counts[256];
    s = bench::best_seconds(3, [&] {
        std::memset(counts, 0, sizeof counts);
        start_reading();
        cm_decode_bytes(block_buffer, n, counts);
        close_file(read_handle);
    });
    bench::report("cm decode (no transform) " + tag, sample.size(), s,
                  same(block_buffer, transformed));

    // The transformed bytes where a decoder leaves them: in the block buffer.
    std::memcpy(block_buffer, transformed.data(), sample.size());
    s = bench::best_seconds(3, [&] {
        inverse_bwt(block_buffer, work_buffer, n, idx, counts);
    });
    bench::report("inverse transform " + tag, sample.size(), s,
                  same(work_buffer, sample));

    s = bench::best_seconds(3, [&] {
        plain_inverse(block_buffer, work_buffer, n, idx);
    });
    bench::report("plain one-byte walk " + tag, sample.size(), s,
                  same(work_buffer, sample));

    s = bench::best_seconds(3, [&] {
        start_reading();
        cm_decode_to_work(block_buffer, n, idx);
        close_file(read_handle);
    });
    bench::report("cm_decode_to_work " + tag, sample.size(), s,
                  same(work_buffer, sample));
    std::remove(ENTRY_PATH);
}

}  // namespace

BENCH_CASE("bit_model")
{
    allocate_work_memory(1 << 24);
    run_sample("text", bench::text_sample());
    run_sample("random", bench::random_sample());
}
