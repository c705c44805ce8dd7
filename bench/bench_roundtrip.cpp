// The default sample job until the archiver's front end exists: the
// project's sources go through one entry's streams into a file and back.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "engine/entry_codec.h"
#include "engine/range_coder.h"

BENCH_CASE("roundtrip")
{
    std::vector<uint8_t> sample;
    if (FILE* p = popen("cat engine/*.cpp engine/*.h platform/*.cpp platform/*.h 2>/dev/null", "r")) {
        uint8_t buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) sample.insert(sample.end(), buf, buf + n);
        pclose(p);
    }
    const std::string path = "/tmp/zendal-roundtrip.entry";
    begin_bare_entry(path.c_str());
    for (uint8_t b : sample) {
        put_raw_byte(b);
        for (int i = 7; i >= 0; --i) range_encode_direct_bit((b >> i) & 1);
    }
    finish_entry(path.c_str());

    begin_reading_bare_entry(path.c_str());
    size_t bad = 0;
    for (uint8_t b : sample) {
        int v = 0;
        for (int i = 0; i < 8; ++i) v = (v << 1) | range_decode_direct_bit();
        if (get_raw_byte() != b || v != b) ++bad;
    }
    end_decoding();
    close_file(read_handle);
    std::printf("round trip of %zu bytes of sources through an entry of %llu bytes: %s\n",
                sample.size(), static_cast<unsigned long long>(entry_length),
                bad == 0 ? "identical" : "DIFFERENT");
    std::remove(path.c_str());
    if (bad != 0) std::exit(1);
}
