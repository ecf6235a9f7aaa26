#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codecs/lmvc/lmvcFormat.h"
#include "foundation/kxMutex.h"

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
    // What one slice's coding left behind; each on its own cache line, as the threads fill
    // their slices side by side.
    struct alignas(64) TSliceResult {
        size_t Size = 0;
        uint32_t Crc = 0;
        bool Failed = false;
    };
    // Where a slice coded into its side buffer stands.
    enum class TSide : uint8_t { None, Waiting, Claimed };

    // Codes one slice. It goes straight to its place in the output when the sizes of all the
    // slices before it are known by the time its own size is; otherwise into a side buffer,
    // from which the thread that learns its place copies it.
    void EncodeSlice(int slice, int worker, const uint8_t* frame, uint8_t* out);
    // Records a slice's size and extends the run of leading slices whose offsets are known;
    // the slices newly in that run are [first, last). Answers whether the slice's own offset
    // is known. Slices of the new run that wait in side buffers are claimed for the caller.
    bool PublishSize(int slice, size_t size, size_t& offset, int& first, int& last);
    // Copies the slices of [first, last) that the calling thread claimed into place.
    // Reads the layout without its lock: the claimed range is this thread's alone.
    void CopyClaimed(int first, int last, uint8_t* out) NO_THREAD_SAFETY_ANALYSIS;

    TLmvcFormat format_;
    size_t stride_ = 0;
    int planes_ = 0;
    int slices_ = 0;
    bool configured_ = false;
    std::unique_ptr<TLmvcWorkers> workers_;
    std::vector<std::vector<uint8_t>> scratch_;   // per worker
    std::vector<std::vector<uint8_t>> sideData_;  // per slice, kept from frame to frame
    std::vector<TSliceResult> results_;           // per slice
    // The running layout of the frame being coded.
    TMutex layoutLock_;
    // Per slice; 0 until known (a slice is never empty).
    std::vector<size_t> layoutSize_ GUARDED_BY(layoutLock_);
    // Per slice, valid below layoutKnown_.
    std::vector<size_t> layoutOffset_ GUARDED_BY(layoutLock_);
    std::vector<TSide> layoutSide_ GUARDED_BY(layoutLock_);  // per slice
    int layoutKnown_ GUARDED_BY(layoutLock_) = 0;   // leading slices whose offsets are known
    size_t layoutEnd_ GUARDED_BY(layoutLock_) = 0;  // the offset after them
    std::string error_;
};
