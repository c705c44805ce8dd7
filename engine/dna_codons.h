// DNA codon packing: three-letter codons of a, c, g, t (one case per word)
// become single bytes 128..255; bytes of 128 and above are doubled.
#pragma once
#include <cstdint>

constexpr float DNA_LIMIT = 0.95f;

extern const char dna_words[128][8];

// The trie over dna_words: a child per byte 'A'..'z' (0 = none) and the code
// of the word ending at the node (0 = none). Node 0 is the root.
constexpr uint32_t DNA_TRIE_CAPACITY = 512;
constexpr uint8_t DNA_TRIE_FIRST = 'A';
constexpr uint32_t DNA_TRIE_FANOUT = 'z' - 'A' + 1;

struct DnaTrieNode {
    uint16_t child[DNA_TRIE_FANOUT];
    uint8_t code;
};

extern DnaTrieNode dna_trie[DNA_TRIE_CAPACITY];
extern uint32_t dna_trie_nodes;     // nodes in use, the root included
extern uint8_t dna_code_word[256];  // code byte -> word number (1..128)

// Builds the codon trie; called once at start-up.
void dna_build_trie();

// Packs region[0..len) in place; returns the packed length, or 0 (region
// unchanged) when the packed form would pass len x DNA_LIMIT. len >= 512.
uint32_t dna_pack(uint8_t* region, uint32_t len);

// Unpacks the packed_len bytes at region into exactly len bytes in place.
// Packed bytes that run out, or a word that would end beyond len, are
// reported as damage.
void dna_unpack(uint8_t* region, uint32_t len, uint32_t packed_len);
