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
    const TLmvcFormat& Format() const { return FFormat; }
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

    const std::string& LastError() const { return FError; }

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

    TLmvcFormat FFormat;
    size_t FStride = 0;
    int FPlanes = 0;
    int FSlices = 0;
    bool FConfigured = false;
    std::unique_ptr<TLmvcWorkers> FWorkers;
    std::vector<std::vector<uint8_t>> FScratch;   // per worker
    std::vector<std::vector<uint8_t>> FSideData;  // per slice, kept from frame to frame
    std::vector<TSliceResult> FResults;           // per slice
    // The running layout of the frame being coded.
    TMutex FLayoutLock;
    // Per slice; 0 until known (a slice is never empty).
    std::vector<size_t> FLayoutSize GUARDED_BY(FLayoutLock);
    // Per slice, valid below FLayoutKnown.
    std::vector<size_t> FLayoutOffset GUARDED_BY(FLayoutLock);
    std::vector<TSide> FLayoutSide GUARDED_BY(FLayoutLock);  // per slice
    int FLayoutKnown GUARDED_BY(FLayoutLock) = 0;   // leading slices whose offsets are known
    size_t FLayoutEnd GUARDED_BY(FLayoutLock) = 0;  // the offset after them
    std::string FError;
};
