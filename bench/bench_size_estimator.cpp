// Speed of the size estimator and of the sample filters it drives.
#include <vector>

#include "bench/bench.h"
#include "engine/media_params.h"
#include "engine/sample_filters.h"
#include "engine/size_estimator.h"
#include "engine/work_memory.h"

namespace {

void need_scratch()
{
    if (scratch_buffer == nullptr) allocate_work_memory(16 << 20);
}

}  // namespace

BENCH_CASE("stride_filter_pays")
{
    need_scratch();
    std::vector<uint8_t> data = bench::text_sample();
    const uint32_t piece = 1 << 16;
    int pays = 0;
    const double s = bench::best_seconds(3, [&] {
        pays = 0;
        for (size_t at = 0; at + piece <= data.size(); at += piece)
            pays += stride_filter_pays(data.data() + at, piece, 4);
    });
    bench::report("stride_filter_pays 64 KiB pieces", data.size(), s);
}

BENCH_CASE("choose_image_filter")
{
    need_scratch();
    std::vector<uint8_t> data = bench::random_sample(IMAGE_TRIAL_LIMIT + 4);
    image_width = 1024;
    const double s = bench::best_seconds(3, [&] { choose_image_filter(data.data(), IMAGE_TRIAL_LIMIT, 1); });
    bench::report("choose_image_filter 2 MiB", IMAGE_TRIAL_LIMIT, s);
}

BENCH_CASE("sample_filters")
{
    need_scratch();
    std::vector<uint8_t> data = bench::text_sample();
    const uint32_t n = static_cast<uint32_t>(data.size()) - 4;
    double s = bench::best_seconds(3, [&] {
        stride_delta_encode(data.data(), n, 4);
        stride_delta_decode(data.data(), n, 4);
    });
    bench::report("stride delta encode+decode", 2 * size_t(n), s);
    sample_bytes = 2;
    channel_count = 2;
    s = bench::best_seconds(3, [&] {
        delta_encode(data.data(), n);
        delta_decode(data.data(), n);
    });
    bench::report("sample delta 16-bit stereo encode+decode", 2 * size_t(n), s);
    s = bench::best_seconds(3, [&] {
        rgb_decorrelate(data.data(), int32_t(n));
        rgb_restore(data.data(), int32_t(n));
    });
    bench::report("colour transform forward+inverse", 2 * size_t(n), s);
}
