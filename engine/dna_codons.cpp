#include "engine/dna_codons.h"

#include <cstring>

#include "engine/error.h"
#include "engine/work_memory.h"

// Word k of the lower half is the letters L[(k >> 2) & 3], L[k & 3],
// L[(k >> 4) & 3] with L = a, t, c, g; the upper half repeats it in capitals.
constexpr char dna_words[128][8] = {
    "aaa", "ata", "aca", "aga", "taa", "tta", "tca", "tga", "caa", "cta", "cca", "cga", "gaa", "gta", "gca", "gga",
    "aat", "att", "act", "agt", "tat", "ttt", "tct", "tgt", "cat", "ctt", "cct", "cgt", "gat", "gtt", "gct", "ggt",
    "aac", "atc", "acc", "agc", "tac", "ttc", "tcc", "tgc", "cac", "ctc", "ccc", "cgc", "gac", "gtc", "gcc", "ggc",
    "aag", "atg", "acg", "agg", "tag", "ttg", "tcg", "tgg", "cag", "ctg", "ccg", "cgg", "gag", "gtg", "gcg", "ggg",
    "AAA", "ATA", "ACA", "AGA", "TAA", "TTA", "TCA", "TGA", "CAA", "CTA", "CCA", "CGA", "GAA", "GTA", "GCA", "GGA",
    "AAT", "ATT", "ACT", "AGT", "TAT", "TTT", "TCT", "TGT", "CAT", "CTT", "CCT", "CGT", "GAT", "GTT", "GCT", "GGT",
    "AAC", "ATC", "ACC", "AGC", "TAC", "TTC", "TCC", "TGC", "CAC", "CTC", "CCC", "CGC", "GAC", "GTC", "GCC", "GGC",
    "AAG", "ATG", "ACG", "AGG", "TAG", "TTG", "TCG", "TGG", "CAG", "CTG", "CCG", "CGG", "GAG", "GTG", "GCG", "GGG",
};

DnaTrieNode dna_trie[DNA_TRIE_CAPACITY];
uint32_t dna_trie_nodes = 0;
uint8_t dna_code_word[256];

namespace {

struct WordLengths {
    uint8_t n[128];
    constexpr WordLengths() : n()
    {
        for (int k = 0; k < 128; ++k) {
            uint8_t len = 0;
            while (len < 7 && dna_words[k][len] != 0) ++len;
            n[k] = len;
        }
    }
};

constexpr WordLengths WORD_LENGTH;

}  // namespace

void dna_build_trie()
{
    std::memset(dna_trie, 0, sizeof dna_trie);
    std::memset(dna_code_word, 0, sizeof dna_code_word);
    dna_trie_nodes = 1;
    for (uint32_t i = 1; i <= 128; ++i) {
        const char* word = dna_words[i - 1];
        uint32_t node = 0;
        for (uint32_t k = 0; word[k] != 0; ++k) {
            const uint32_t slot = static_cast<uint8_t>(word[k]) - DNA_TRIE_FIRST;
            if (dna_trie[node].child[slot] == 0) dna_trie[node].child[slot] = static_cast<uint16_t>(dna_trie_nodes++);
            node = dna_trie[node].child[slot];
        }
        dna_trie[node].code = static_cast<uint8_t>(127 + i);
        dna_code_word[127 + i] = static_cast<uint8_t>(i);
    }
}

uint32_t dna_pack(uint8_t* region, uint32_t len)
{
    uint8_t* const out_buf = scratch_buffer;
    // The limit is single precision on purpose: both builds must give up at
    // exactly the same output length.
    const float limit = static_cast<float>(len) * DNA_LIMIT;
    const uint32_t walk_end = len > 5 ? len - 5 : 0;
    uint32_t out = 0;
    uint32_t pos = 0;
    uint32_t last_code = 0;

    // The output only grows, so one test after each step finds the first
    // emission that passes the limit; a step emits at most two bytes.
    while (pos < walk_end) {
        const uint8_t b = region[pos];
        if (static_cast<uint32_t>(b - DNA_TRIE_FIRST) >= DNA_TRIE_FANOUT) {
            out_buf[out++] = b;
            if (b >= 128) out_buf[out++] = b;
            ++pos;
            last_code = 0;
        } else {
            // The longest word starting at pos.
            uint32_t node = 0;
            uint32_t code = 0;
            uint32_t word_len = 0;
            for (uint32_t k = pos; k < len; ++k) {
                const uint32_t slot = static_cast<uint32_t>(region[k] - DNA_TRIE_FIRST);
                if (slot >= DNA_TRIE_FANOUT) break;
                const uint32_t next = dna_trie[node].child[slot];
                if (next == 0) break;
                node = next;
                if (dna_trie[node].code != 0) {
                    code = dna_trie[node].code;
                    word_len = k + 1 - pos;
                }
            }
            // A code never repeats the code before it nor equals the byte
            // after its word: either would read back as a doubled literal.
            const uint32_t after = pos + word_len < len ? region[pos + word_len] : 0;
            if (code != 0 && code != last_code && code != after) {
                out_buf[out++] = static_cast<uint8_t>(code);
                pos += word_len;
                last_code = code;
            } else {
                out_buf[out++] = b;
                ++pos;
                last_code = 0;
            }
        }
        if (static_cast<float>(out) > limit) return 0;
    }
    for (; pos < len; ++pos) {
        const uint8_t b = region[pos];
        out_buf[out++] = b;
        if (b >= 128) out_buf[out++] = b;
    }
    // Only reachable for regions far below the shortest one packed; the
    // packed form must fit where the region was.
    if (out >= len) return 0;
    std::memcpy(region, out_buf, out);
    return out;
}

void dna_unpack(uint8_t* region, uint32_t len, uint32_t packed_len)
{
    if (uint64_t(len) > uint64_t(work_capacity) * sizeof(int32_t))
        fail_damaged("an unpacked DNA record is larger than the block");
    uint8_t* const out_buf = scratch_buffer;
    uint32_t i = 0;
    uint32_t j = 0;
    while (i < len) {
        if (j >= packed_len) fail_damaged("packed DNA text ends too early");
        const uint8_t m = region[j];
        if (m < 128) {
            out_buf[i++] = m;
            ++j;
        } else if (j + 1 < packed_len && region[j + 1] == m) {
            out_buf[i++] = m;
            j += 2;
        } else {
            const uint32_t k = m - 128u;
            const uint32_t n = WORD_LENGTH.n[k];
            if (n > len - i) fail_damaged("a DNA codon runs past the end of its record");
            for (uint32_t c = 0; c < n; ++c) out_buf[i + c] = static_cast<uint8_t>(dna_words[k][c]);
            i += n;
            ++j;
        }
    }
    if (j != packed_len) fail_damaged("packed DNA text is longer than its record");
    std::memcpy(region, out_buf, len);
}
