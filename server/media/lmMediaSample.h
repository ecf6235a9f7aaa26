#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/kxMutex.h"

// Samples, the buffers that carry them and the receiving side of a connection in the media
// layer. A source pin's streaming thread takes a buffer from its allocator, fills it and hands
// it to the connected input, which processes it before Receive returns or holds it to process
// it on a thread of its own.

class TSampleAllocator;

struct TMediaSample {
    uint8_t* Data = nullptr;
    size_t Capacity = 0;
    size_t Length = 0;
    int64_t Start = 0;  // 100 ns units
    int64_t Stop = 0;
    int64_t MediaStart = 0;  // frames for video, sample blocks for audio
    int64_t MediaStop = 0;
    bool SyncPoint = false;
    // The allocator whose buffer this is; null for a sample a filter makes up itself.
    TSampleAllocator* Allocator = nullptr;
};

// What a source pin asks of its allocator and what it is granted.
struct TAllocatorProperties {
    int32_t Buffers = 0;
    int32_t BufferSize = 0;
    int32_t Align = 0;
    int32_t Prefix = 0;
};

// A fixed pool of aligned buffers. Get blocks while every buffer is out. A buffer goes back to
// the pool when its last hold is released: Get gives the first, an input that keeps a sample
// past Receive adds one.
class TSampleAllocator {
  public:
    // Grants the request (a count or alignment below 1 counts as 1); false when the request
    // cannot be met.
    bool SetProperties(const TAllocatorProperties& request, TAllocatorProperties& actual);
    TMediaSample* Get();
    // False when the sample is not one this allocator handed out (a copy, say).
    bool AddRef(const TMediaSample* sample);
    void Release(const TMediaSample* sample);

  private:
    struct TBuffer {
        std::unique_ptr<uint8_t[]> Memory;
        TMediaSample Sample;
        int Holds = 0;
    };
    TMutex FLock;
    TConditionVariable FFreed;
    std::vector<TBuffer> FBuffers GUARDED_BY(FLock);
};

// The receiving end of a connection (an input pin).
class IMediaInput {
  public:
    virtual ~IMediaInput() = default;
    // Buffer needs of this input, filled in where it has any; zero fields leave the choice to
    // the source pin.
    virtual void GetAllocatorRequirements(TAllocatorProperties& props) const { (void)props; }
    // Processes one sample, or holds it (AddRef on its allocator) to process it later; false
    // when the input cannot go on (the stream is then over).
    virtual bool Receive(const TMediaSample& sample) = 0;
    // No more samples come on this connection.
    virtual void EndOfStream() = 0;
};
