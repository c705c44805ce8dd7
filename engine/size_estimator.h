// Size estimates that choose between filters: a small adaptive bit model
// with two contexts per byte counts what a range coder would emit.
#pragma once
#include <cstdint>

constexpr uint32_t IMAGE_TRIAL_LIMIT = 0x200000;
constexpr double ESTIMATE_GAIN = 0.94;

// Estimator state, rebuilt by estimate_reset() at the start of every
// estimate. Counters hold the chance of a 1 in units of 1/2048 and stay in
// 31..2016. A byte value v owns counters v * 512 .. v * 512 + 511: the lower
// half for its use as first context (estimate_ctx_a = v * 512), the upper
// half as second context (estimate_ctx_b = v * 512 + 256); a bit uses the
// counters at estimate_node + each base.
constexpr uint32_t ESTIMATE_COUNTERS = 256 * 512;
extern uint16_t estimate_probs[ESTIMATE_COUNTERS];
extern uint32_t estimate_range;
extern uint32_t estimate_node;
extern uint32_t estimate_ctx_a;
extern uint32_t estimate_ctx_b;
extern uint32_t estimated_bytes;

extern uint8_t image_filter_choice;

// All counters 1024, range 0xFFFFFFFF, no bytes counted.
void estimate_reset();
void estimate_bit(uint8_t bit);
// Bits 7 down to 0 of the low byte of x, from node 1, with the contexts the
// caller set.
void estimate_byte(uint32_t x);

// 1 when the stride filter makes the block cheaper by the estimate; the
// block is unchanged afterwards.
int32_t stride_filter_pays(uint8_t* block, uint32_t len, int32_t stride);

// Image filter for a run: 0 none, 1 sample delta (sample_bytes and
// channel_count left set for it), 2 colour transform. The run is unchanged.
int32_t choose_image_filter(uint8_t* run, int32_t len, uint8_t allow_colour);
