#include "engine/entropy.h"

#include <cstring>

uint32_t entropy_level = 0;

namespace {

double bits_to_double(uint64_t bits)
{
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

uint64_t double_to_bits(double d)
{
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

// 1 / ln 2 split in two: the high part has 21 significant bits, so that its
// product with a 21-bit value is exact.
constexpr double INV_LN2_HI = 0x1.71547p+0;
constexpr double INV_LN2_LO = 0x1.94ae0bf85ddf4p-22;

// Mantissa bits of sqrt(2): mantissas from here on are halved, so that the
// reduced argument lies in [sqrt(2)/2, sqrt(2)).
constexpr uint64_t SQRT2_MANTISSA = 0x6A09E667F3BCDull;
constexpr uint64_t MANTISSA_MASK = (uint64_t(1) << 52) - 1;

}  // namespace

double stable_log2(double x)
{
    // x = 2^k * m with m in [sqrt(2)/2, sqrt(2)).
    const uint64_t bits = double_to_bits(x);
    int k = static_cast<int>(bits >> 52) - 1023;
    uint64_t mantissa = bits & MANTISSA_MASK;
    if (mantissa >= SQRT2_MANTISSA) {
        mantissa |= uint64_t(1022) << 52;
        k += 1;
    } else {
        mantissa |= uint64_t(1023) << 52;
    }
    const double f = bits_to_double(mantissa) - 1.0;  // exact

    // ln(1 + f) = 2 atanh(s) with s = f / (2 + f), |s| < 0.1716:
    //   2s + 2s^3/3 + 2s^5/5 + ... = f - f^2/2 + s (f^2/2 + R),
    //   R = 2z/3 + 2z^2/5 + ... + 2z^10/21 with z = s^2.
    // The first omitted term is below 2^-59 of the result.
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double poly =
        2.0 / 3 + z * (2.0 / 5 + z * (2.0 / 7 + z * (2.0 / 9 + z * (2.0 / 11 + z * (2.0 / 13 +
        z * (2.0 / 15 + z * (2.0 / 17 + z * (2.0 / 19 + z * (2.0 / 21)))))))));
    const double half_f2 = 0.5 * f * f;
    const double r = s * (half_f2 + z * poly);

    // ln(1 + f) as hi + lo, hi with 21 significant bits, then times 1 / ln 2
    // with the large products exact, and k added with its rounding error
    // carried into the low part.
    const double hi = bits_to_double(double_to_bits(f - half_f2) & ~uint64_t(0xFFFFFFFF));
    const double lo = (f - hi) - half_f2 + r;
    double value_hi = hi * INV_LN2_HI;
    double value_lo = (lo + hi) * INV_LN2_LO + lo * INV_LN2_HI;
    const double y = k;
    const double w = y + value_hi;
    value_lo += (y - w) + value_hi;
    value_hi = w;
    return value_lo + value_hi;
}

void byte_histogram(const uint8_t* data, uint32_t len, uint32_t h[256])
{
    // Four histograms side by side keep a run of one byte value from
    // stalling on its own counter.
    uint32_t counts[4][256] = {};
    uint32_t i = 0;
    for (; i + 4 <= len; i += 4) {
        ++counts[0][data[i]];
        ++counts[1][data[i + 1]];
        ++counts[2][data[i + 2]];
        ++counts[3][data[i + 3]];
    }
    for (; i < len; ++i) ++counts[0][data[i]];
    for (int v = 0; v < 256; ++v) h[v] = counts[0][v] + counts[1][v] + counts[2][v] + counts[3][v];
}

int32_t measure_piece_entropy(const uint8_t* data, uint32_t len)
{
    uint32_t h[256];
    byte_histogram(data, len, h);

    // Entropy in bits per byte: each term in double precision, the running
    // sum kept in single precision.
    const double inverse_len = len != 0 ? 1.0 / len : 0.0;
    float entropy = 0.0f;
    for (int v = 0; v < 256; ++v) {
        if (h[v] == 0) continue;
        const double p = h[v] * inverse_len;
        entropy = static_cast<float>(static_cast<double>(entropy) - p * stable_log2(p));
    }

    // The newest buffer weighs a third: (6 x level + 300 x H) / 9, in single
    // precision, truncated.
    const float mixed = static_cast<float>(6u * entropy_level) + 300.0f * entropy;
    entropy_level = static_cast<uint32_t>(mixed * (1.0f / 9.0f));

    const uint32_t vowels = h['a'] + h['e'] + h['i'] + h['o'] + h['u'] + h['y'];
    uint32_t letters = 0;
    for (int v = 0x41; v <= 0x7A; ++v) letters += h[v];
    if (h[0x20] > len / 128 && vowels > len / 16 && 100.0f * entropy > 300.0f && letters > len / 4)
        return 8;
    if (h[0x8B] > len / 256 && h[0x00] > 2 * (len / 256) && h[0xE8] > 6) return 1;
    return entropy_level < 796 ? 2 : 0;
}
