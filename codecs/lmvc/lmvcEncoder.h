#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codecs/lmvc/lmvcFormat.h"

class TLmvcWorkers;

// Lossless LMVC encoder. Every frame is a key frame: it is coded on its own, in row-band
// slices that the worker threads code in parallel. The output does not depend on the thread
// count nor on the row order of the input. One encoder codes one frame at a time.
class TLmvcEncoder {
  public:
    TLmvcEncoder();
    ~TLmvcEncoder();
    TLmvcEncoder(const TLmvcEncoder&) = delete;
    TLmvcEncoder& operator=(const TLmvcEncoder&) = delete;

    // Sets the input layout and the number of threads (1..64, the caller's included).
    bool Configure(const TLmvcFormat& format, int threads);
    const TLmvcFormat& Format() const { return format_; }
    // Bytes of one input frame: stride x height.
    size_t InputSize() const;
    // The largest frame EncodeFrame can produce for the configured size.
    size_t MaxCompressedSize() const;
    static constexpr bool IsKeyFrame() { return true; }

    // Codes one frame into out (capacity bytes, at least MaxCompressedSize); written receives
    // the frame's size. Answers false with LastError on bad arguments.
    bool EncodeFrame(const uint8_t* frame, size_t frameSize, uint8_t* out, size_t capacity,
                     size_t& written);
    bool EncodeFrame(const uint8_t* frame, size_t frameSize, std::vector<uint8_t>& out);

    const std::string& LastError() const { return error_; }

  private:
    // Codes one slice into direct, or into its own buffer when direct is null.
    void EncodeSlice(int slice, int worker, const uint8_t* frame, uint8_t* direct);

    TLmvcFormat format_;
    size_t stride_ = 0;
    int planes_ = 0;
    int slices_ = 0;
    bool configured_ = false;
    std::unique_ptr<TLmvcWorkers> workers_;
    std::vector<std::vector<uint8_t>> scratch_;    // per worker
    std::vector<std::vector<uint8_t>> sliceData_;  // per slice, with several threads
    std::vector<size_t> sliceSize_;                // per slice
    std::vector<size_t> sliceOffset_;              // per slice, with several threads
    std::vector<uint32_t> sliceCrc_;               // per slice
    std::string error_;
};
