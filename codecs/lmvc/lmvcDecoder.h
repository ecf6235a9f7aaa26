#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codecs/lmvc/lmvcFormat.h"

class TLmvcWorkers;

// LMVC decoder. Frames are checked before and while they are decoded: a damaged or hostile
// frame is refused with an error and never makes the decoder read or write outside the frame
// and the output buffer. One decoder decodes one frame at a time.
class TLmvcDecoder {
  public:
    TLmvcDecoder();
    ~TLmvcDecoder();
    TLmvcDecoder(const TLmvcDecoder&) = delete;
    TLmvcDecoder& operator=(const TLmvcDecoder&) = delete;

    // Sets the output layout and the number of threads (1..64, the caller's included). The
    // output may have another bit depth than the coded frames: 24-bit frames decoded to 32
    // bits get alpha 255, 32-bit frames decoded to 24 bits lose their alpha.
    bool Configure(const TLmvcFormat& output, int threads);
    const TLmvcFormat& Format() const { return FFormat; }
    // Bytes of one output frame: stride x height.
    size_t OutputSize() const;

    // Decodes one frame into out (outSize bytes, at least OutputSize). The frame's size must
    // be the configured one. On failure the output's content is unspecified and LastError
    // says what was wrong.
    bool DecodeFrame(const uint8_t* data, size_t size, uint8_t* out, size_t outSize);

    // Reads and checks a frame's header and slice table.
    static bool ReadFrameInfo(const uint8_t* data, size_t size, TLmvcFrameInfo& info,
                              std::string& error);

    const std::string& LastError() const { return FError; }

    // Slice checksums are verified unless turned off (the fuzzer does, to reach the decoding
    // stages behind them with arbitrary bytes).
    void SetVerifyChecksums(bool verify) { FVerifyChecksums = verify; }

  private:
    const char* DecodeSlice(int slice, int worker, const uint8_t* data, uint8_t* out);

    TLmvcFormat FFormat;
    TLmvcFrameInfo FFrame;
    size_t FStride = 0;
    bool FConfigured = false;
    std::unique_ptr<TLmvcWorkers> FWorkers;
    std::vector<std::vector<uint8_t>> FScratch;  // per worker
    std::vector<size_t> FSliceOffset;            // slices + 1 entries
    std::vector<uint32_t> FSliceCrc;             // per slice
    std::vector<const char*> FSliceError;        // per slice, null when it decoded
    std::vector<int> FSliceOrder;                // the order in which slices are handed out
    bool FVerifyChecksums = true;
    std::string FError;
};
