#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/dna_codons.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

using Bytes = std::vector<uint8_t>;

void prepare()
{
    if (block_size == 0) allocate_work_memory(1 << 20);
    dna_build_trie();
}

Bytes from(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// Packs v; returns the packed bytes (empty when packing gave up, after
// checking that v was left alone).
Bytes packed(Bytes v)
{
    const Bytes before = v;
    const uint32_t n = dna_pack(v.data(), static_cast<uint32_t>(v.size()));
    if (n == 0) {
        EXPECT_EQ(v, before);
        return {};
    }
    v.resize(n);
    return v;
}

Bytes unpacked(Bytes p, uint32_t len)
{
    const uint32_t n = static_cast<uint32_t>(p.size());
    p.resize(std::max<size_t>(len, n));
    dna_unpack(p.data(), len, n);
    p.resize(len);
    return p;
}

// Text of DNA lines: letters of one case, runs of N, line breaks.
Bytes dna_text(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes v;
    const char* letters = (seed & 1) ? "ACGT" : "acgt";
    while (v.size() < n) {
        const uint32_t r = rng() % 100;
        if (r < 2) v.insert(v.end(), rng() % 40, 'N');
        else if (r < 5) v.push_back('\n');
        else if (r < 6) v.push_back(static_cast<uint8_t>(rng()));
        else v.push_back(static_cast<uint8_t>(letters[rng() % 4]));
    }
    v.resize(n);
    return v;
}

}  // namespace

TEST(DnaCodons, WordTableAndTrie)
{
    prepare();
    const char L[] = "atcg";
    for (int k = 0; k < 64; ++k) {
        const std::string w = {L[(k >> 2) & 3], L[k & 3], L[(k >> 4) & 3]};
        EXPECT_EQ(std::string(dna_words[k]), w);
        std::string upper = w;
        for (char& c : upper) c = static_cast<char>(c - 32);
        EXPECT_EQ(std::string(dna_words[64 + k]), upper);
    }
    EXPECT_EQ(dna_trie_nodes, 169u);
    for (int m = 128; m < 256; ++m) EXPECT_EQ(dna_code_word[m], m - 127);
}

TEST(DnaCodons, PackedForms)
{
    prepare();
    const Bytes filler = from(std::string(600, 'a'));
    auto head = [&](const std::string& s, size_t n) {
        Bytes v = from(s);
        v.insert(v.end(), filler.begin(), filler.end());
        Bytes p = packed(v);
        p.resize(std::min(p.size(), n));
        return p;
    };
    EXPECT_EQ(head("aaa\nacg\nGGG\n", 6), Bytes({0x80, '\n', 0xB2, '\n', 0xFF, '\n'}));
    EXPECT_EQ(head("aaaaaaacgt\n", 4), Bytes({0x80, 0x61, 0x80, 0x9B}));
    EXPECT_EQ(head("aaa\x80\n", 6), Bytes({0x61, 0x61, 0x61, 0x80, 0x80, '\n'}));
    EXPECT_EQ(head("aCgTaAAcG\n", 10), from("aCgTaAAcG\n"));

    Bytes acg;
    while (acg.size() < 513) acg.push_back(static_cast<uint8_t>("acg"[acg.size() % 3]));
    EXPECT_EQ(packed(acg).size(), 259u);
    EXPECT_EQ(packed(from(std::string(512, 'a'))).size(), 258u);
    EXPECT_TRUE(packed(from(std::string(512, 'n'))).empty());
    EXPECT_TRUE(packed(Bytes(512, 0xC0)).empty());
}

TEST(DnaCodons, LimitIsSinglePrecision)
{
    prepare();
    // 520 x 0.95f rounds to exactly 494 in single precision. Eleven codons
    // and k doubled bytes make the output before the tail 493 + k bytes.
    for (uint32_t k : {1u, 2u}) {
        Bytes v;
        for (int i = 0; i < 11; ++i) v.insert(v.end(), {'a', 'a', 'a', '\n'});
        v.insert(v.end(), k, 0xC8);
        v.resize(520, '0');
        const Bytes p = packed(v);
        EXPECT_EQ(p.size(), k == 1 ? 499u : 0u);
        if (!p.empty()) {
            EXPECT_EQ(unpacked(p, 520), v);
        }
    }
}

TEST(DnaCodons, RoundTrips)
{
    prepare();
    size_t packed_count = 0;
    for (uint32_t seed = 0; seed < 200; ++seed) {
        const size_t n = 512 + seed * 37;
        Bytes v = seed % 10 == 9 ? random_bytes(n, seed) : dna_text(n, seed);
        if (seed % 10 == 8) v.insert(v.begin() + 100, 300, 0x80);
        const Bytes p = packed(v);
        if (p.empty()) continue;
        ++packed_count;
        EXPECT_LT(p.size(), v.size());
        ASSERT_EQ(unpacked(p, static_cast<uint32_t>(v.size())), v) << seed;
    }
    EXPECT_GT(packed_count, 150u);
}

TEST(DnaCodons, DamagedPackedTextIsReported)
{
    prepare();
    const Bytes v = dna_text(2000, 4);
    const Bytes p = packed(v);
    ASSERT_FALSE(p.empty());
    Bytes region = p;
    region.resize(v.size());
    const uint32_t n = static_cast<uint32_t>(p.size());
    // Packed bytes run out.
    EXPECT_DAMAGED(dna_unpack(region.data(), 2000, n - 1));
    EXPECT_DAMAGED(dna_unpack(region.data(), 2000, 0));
    // Packed bytes left over.
    EXPECT_DAMAGED(dna_unpack(region.data(), 1990, n));
    // A word ending beyond the record.
    Bytes code = {'x', 0x80};
    EXPECT_DAMAGED(dna_unpack(code.data(), 2, 2));
    // More than the scratch area can hold.
    EXPECT_DAMAGED(dna_unpack(region.data(), 0xFFFFFFFFu, n));
}
