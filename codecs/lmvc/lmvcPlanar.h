#pragma once

#include <cstdint>

// Row kernels of the planar transform and the gradient prediction. The encoder splits a row of
// BGR(A) pixels into the planes G, B-G, R-G and A and predicts each sample from its left, upper
// and upper-left neighbours (left + up - upper-left, modulo 256); the decoder undoes both. All
// arithmetic is modulo 256, so the vector and scalar paths give identical bytes.

enum class TLmvcSimd { Scalar = 0, Sse2 = 1, Ssse3 = 2, Avx2 = 3 };

// The best level the processor offers, and the level in use (tests may lower it to compare
// the paths; a level above the best is clamped).
TLmvcSimd LmvcBestSimd();
TLmvcSimd LmvcCurrentSimd();
void LmvcSetSimd(TLmvcSimd level);

// Splits width pixels of 24 or 32 bits into plane rows (planes[3] only for 32 bits).
void LmvcSplitRow(const uint8_t* src, int bitCount, int width, uint8_t* const planes[4]);

// Residuals of one plane row; above is the row over it, all zero for a slice's first row.
void LmvcPredictRow(const uint8_t* cur, const uint8_t* above, int width, uint8_t* residual);

// Gradient residuals of one plane row (above is the row over it) and, beside them, the sums of
// the magnitudes of the gradient residuals and of the left-neighbour residuals, in one pass.
void LmvcPredictRowWithCosts(const uint8_t* cur, const uint8_t* above, int width, uint8_t* residual,
                             uint64_t& gradientCost, uint64_t& leftCost);

// Sum of the residuals' magnitudes (each byte read as a signed value): a cheap measure of how
// well a predictor did.
uint64_t LmvcAbsSum(const uint8_t* residual, int width);

// Adds the row above to a row of residuals, byte by byte. Turns gradient residuals into
// left-neighbour residuals when applied from the top row of a band down.
void LmvcAccumulateRow(uint8_t* row, const uint8_t* above, int width);

// Turns a row of residuals back into samples, in place.
void LmvcUnpredictRow(uint8_t* row, const uint8_t* above, int width);

// Merges plane rows into pixels of 24 or 32 bits; without an alpha plane (planes[3] null) the
// alpha of 32-bit output is 255.
void LmvcMergeRow(const uint8_t* const planes[4], int width, int outBitCount, uint8_t* dst);
