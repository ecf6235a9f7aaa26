#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/kxByteOrder.h"

// Binary interface of a compressor module: a shared object ("*.so") in the codecs/ folder beside
// the server. The server loads every module there once, at start, binds the exports named
// below, lists each module under its friendly and display names and creates compressors through
// its factory. Modules and server are built by the same compiler; no exception leaves a module.

constexpr int kLmCompressorAbiVersion = 1;

// Uncompressed input offered to a compressor: rows of a bitmap, each padded to a multiple of
// four bytes, stride = width x bit count / 8 rounded up to a multiple of 4.
struct TCompressorInputFormat {
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t BitCount = 0;  // 24 (B, G, R) or 32 (B, G, R, A)
    bool BottomUp = true;  // the bottom row comes first, as a video pin delivers frames
};

class ICompressor {
  public:
    // Negotiates the input: true when the compressor accepts the format and is ready to
    // compress it. A refused format leaves no format set.
    virtual bool SetInputFormat(const TCompressorInputFormat& format) = 0;
    // The four-character code of the compressed stream, as the 32-bit little-endian value of
    // its four characters.
    virtual uint32_t FourCC() const = 0;
    // Bit count to record in the compressed stream's bitmap header.
    virtual int32_t OutputBitCount() const = 0;
    // Bytes of one input frame, and the largest compressed frame, for the accepted format.
    virtual size_t InputSize() const = 0;
    virtual size_t MaxOutputSize() const = 0;
    // Compresses one frame into output (at least MaxOutputSize bytes). outputSize receives the
    // compressed size and keyFrame whether the frame decodes on its own.
    virtual bool Compress(const void* input, size_t inputSize, void* output, size_t outputCapacity,
                          size_t* outputSize, bool* keyFrame) = 0;
    // Why the last call failed; valid until the next call.
    virtual const char* LastError() const = 0;
    // Frees the compressor.
    virtual void Release() = 0;

  protected:
    virtual ~ICompressor() = default;
};

extern "C" {
using LmCompressorAbiVersionProc = int (*)();
using LmCompressorFriendlyNameProc = const char* (*)();
using LmCompressorDisplayNameProc = const char* (*)();
// threads: worker threads the compressor may use for one frame (1 = the caller's only).
// Answers null when the compressor cannot be created.
using LmCompressorCreateProc = ICompressor* (*)(int threads);
}

constexpr const char* kLmCompressorAbiVersionExport = "LmCompressorAbiVersion";
constexpr const char* kLmCompressorFriendlyNameExport = "LmCompressorFriendlyName";
constexpr const char* kLmCompressorDisplayNameExport = "LmCompressorDisplayName";
constexpr const char* kLmCompressorCreateExport = "LmCompressorCreate";

// The FourCC value of four characters.
constexpr uint32_t LmFourCC(char a, char b, char c, char d) {
    return FourCC(a, b, c, d);
}
