#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/kxByteOrder.h"

// Layout constants and small helpers shared by the LMVC encoder and decoder (their
// little-endian fields go through foundation/kxByteOrder.h). FORMAT.md
// beside this file describes the bitstream.

constexpr uint8_t kLmvcMagic[4] = {'L', 'M', 'V', 'C'};
// Version 2 adds the four-stream Huffman method; version 1 frames (methods 0..3) still decode.
constexpr uint8_t kLmvcVersion = 2;
constexpr uint8_t kLmvcOldestVersion = 1;
constexpr size_t kLmvcHeaderSize = 24;
// Each slice table entry: the slice's size and its CRC-32C.
constexpr size_t kLmvcSliceEntrySize = 8;
constexpr int kLmvcMaxDimension = 65535;
// Keeps every frame, even one stored raw, well below 4 GiB.
constexpr int64_t kLmvcMaxPixels = int64_t{1} << 28;
constexpr int kLmvcRowsPerSlice = 32;
constexpr int kLmvcMaxSlices = 1024;
constexpr int kLmvcMaxThreads = 64;

// Per slice and plane coding method (one byte before each plane's payload).
enum class TLmvcMethod : uint8_t {
    Raw = 0,            // residual bytes stored as they are
    Constant = 1,       // every sample of the plane in this slice has the one stored value
    Huffman = 2,        // canonical Huffman code over the 256 residual values
    HuffmanRuns = 3,    // Huffman over residual values plus zero-run length classes
    HuffmanStreams = 4  // Huffman over residual values, four interleaved bit streams
};

// Prediction of a plane in a slice, in the high four bits of the method byte.
enum class TLmvcPredictor : uint8_t {
    Gradient = 0,  // left + up - upper-left
    Left = 1       // the left neighbour only (rows are independent)
};

constexpr int kLmvcLiteralSymbols = 256;
constexpr int kLmvcRunClasses = 32;
constexpr int kLmvcRunSymbols = kLmvcLiteralSymbols + kLmvcRunClasses;
constexpr int kLmvcMaxCodeLength = 12;
// The four-stream method: sample i is coded in stream i % 4, so a decoder follows four
// independent chains of table lookups at once.
constexpr int kLmvcStreams = 4;
// Planes with fewer samples use the single-stream code; the stream sizes would not pay.
constexpr size_t kLmvcMinStreamedCount = 256;

// Slices are bands of whole rows; slice s of n covers rows [s*h/n, (s+1)*h/n).
inline int LmvcSliceCountFor(int height) {
    int n = (height + kLmvcRowsPerSlice - 1) / kLmvcRowsPerSlice;
    if (n > kLmvcMaxSlices) {
        n = kLmvcMaxSlices;
    }
    return n < 1 ? 1 : n;
}

inline int LmvcSliceFirstRow(int slice, int slices, int height) {
    return static_cast<int>(static_cast<int64_t>(slice) * height / slices);
}

// Bytes per row of a device-independent bitmap: rows padded to a multiple of four bytes.
inline size_t LmvcDibStride(int width, int bitCount) {
    return ((static_cast<size_t>(width) * bitCount + 31) / 32) * 4;
}

// Layout of uncompressed frames on either side of the codec.
struct TLmvcFormat {
    int Width = 0;
    int Height = 0;
    int BitCount = 32;      // 24 (B, G, R) or 32 (B, G, R, A)
    bool BottomUp = false;  // the bottom row comes first in memory, as in bitmaps
    size_t Stride = 0;      // bytes from one row to the next; 0: rows padded to four bytes
};

// What a frame's header says about it.
struct TLmvcFrameInfo {
    int Version = 0;
    int Width = 0;
    int Height = 0;
    int BitCount = 0;
    int Slices = 0;
    size_t Size = 0;  // bytes of the whole frame
};
