// Kinds of data a piece of a block is classified as; also the file kinds.
#pragma once
#include <cstdint>

constexpr int32_t PIECE_GENERIC = 2;
constexpr int32_t PIECE_AUDIO = 4;
constexpr int32_t PIECE_IMAGE = 5;
constexpr int32_t PIECE_DNA = 12;
constexpr int32_t PIECE_STRIDE = 64;  // 64..68: stride STRIDE_TABLE[type - 64]

constexpr int32_t STRIDE_TABLE[5] = {1, 2, 3, 4, 8};

// Shortest region the classification and the stride, DNA filters work on.
constexpr uint32_t MIN_FILTER_BLOCK = 512;
