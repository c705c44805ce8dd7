#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/dna_codons.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes from(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string times(int n, const std::string& s) { return n > 0 ? s + times(n - 1, s) : ""; }

// The packed bytes, or nothing when packing gave up and left v alone.
Bytes packed(Bytes v)
{
    if (block_size == 0) allocate_work_memory(1 << 20);
    const Bytes before = v;
    const uint32_t n = dna_pack(v.data(), static_cast<uint32_t>(v.size()));
    EXPECT_TRUE(n != 0 || v == before);
    v.resize(n);
    return v;
}

Bytes unpacked(Bytes p, uint32_t len)
{
    const uint32_t n = static_cast<uint32_t>(p.size());
    p.resize(std::max<size_t>(len, n));
    dna_unpack(p.data(), len, n);
    return Bytes(p.begin(), p.begin() + len);
}

}  // namespace

TEST(DnaCodons, WordTableAndPackedForms)
{
    // Word k is L[k/4 % 4], L[k % 4], L[k/16 % 4] over L = a, t, c, g, in
    // upper case from 64 on; code 128 + k stands for word k.
    dna_build_trie();
    for (int k = 0; k < 128; ++k) {
        const char* L = k < 64 ? "atcg" : "ATCG";
        EXPECT_EQ(std::string(dna_words[k]), std::string({L[(k >> 2) & 3], L[k & 3], L[(k >> 4) & 3]}));
        EXPECT_EQ(dna_code_word[128 + k], k + 1);
    }
    EXPECT_EQ(dna_trie_nodes, 169u);

    // The start of a region, followed by enough letters a to be packed.
    auto head = [](const std::string& s, size_t n) {
        Bytes p = packed(from(s + std::string(600, 'a')));
        return Bytes(p.begin(), p.begin() + std::min(n, p.size()));
    };
    EXPECT_EQ(head("aaa\nacg\nGGG\n", 6), Bytes({0x80, '\n', 0xB2, '\n', 0xFF, '\n'}));
    // A code never repeats, nor comes before a byte of its own value (a literal).
    EXPECT_EQ(head("aaaaaaacgt\n", 4), Bytes({0x80, 0x61, 0x80, 0x9B}));
    EXPECT_EQ(head("aaa\x80\n", 6), Bytes({0x61, 0x61, 0x61, 0x80, 0x80, '\n'}));
    EXPECT_EQ(head("aCgTaAAcG\n", 10), from("aCgTaAAcG\n"));  // mixed case is no word
    EXPECT_EQ(packed(from(times(171, "acg"))).size(), 259u);  // 513 bytes
    EXPECT_EQ(packed(from(std::string(512, 'a'))).size(), 258u);
    EXPECT_TRUE(packed(from(std::string(512, 'n'))).empty());

    // The limit 520 x 0.95f is exactly 494 in single precision. Eleven codons
    // and k doubled bytes make the output before the tail 493 + k bytes.
    for (int k : {1, 2}) {
        const Bytes v = from(times(11, "aaa\n") + std::string(k, '\xC8') + std::string(476 - k, '0'));
        const Bytes p = packed(v);
        EXPECT_EQ(p.size(), k == 1 ? 499u : 0u);
        EXPECT_TRUE(p.empty() || unpacked(p, 520) == v);
    }
}

TEST(DnaCodons, RoundTripsAndDamage)
{
    // DNA lines with runs of N, stray bytes and bytes of 128 and above.
    std::mt19937 rng(4);
    size_t packed_count = 0;
    for (uint32_t round = 0; round < 100; ++round) {
        Bytes v;
        const char* letters = (round & 1) ? "ACGTN\n" : "acgtn\n";
        while (v.size() < 512 + round * 73) v.push_back(rng() % 50 ? letters[rng() % 6] : uint8_t(rng()));
        if (round % 10 == 8) v.insert(v.begin() + 100, 300, 0x80);
        const Bytes p = packed(v);
        packed_count += !p.empty();
        ASSERT_TRUE(p.empty() || unpacked(p, static_cast<uint32_t>(v.size())) == v) << round;
    }
    EXPECT_GT(packed_count, 80u);

    Bytes p = packed(from(std::string(1000, 'a') + "\n"));
    const uint32_t n = static_cast<uint32_t>(p.size());
    p.resize(2000);
    EXPECT_DAMAGED_BECAUSE(dna_unpack(p.data(), 1001, n - 1), "packed DNA text ends too early");
    EXPECT_DAMAGED_BECAUSE(dna_unpack(p.data(), 988, n), "packed DNA text is longer than its record");
    EXPECT_DAMAGED_BECAUSE(dna_unpack(from("x\x80").data(), 2, 2), "a DNA codon runs past the end of its record");
    EXPECT_DAMAGED_BECAUSE(dna_unpack(p.data(), 0xFFFFFFFFu, n), "larger than the block");
}
