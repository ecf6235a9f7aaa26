#include "server/media/lmMediaSample.h"

bool TSampleAllocator::SetProperties(const TAllocatorProperties& request,
                                     TAllocatorProperties& actual) {
    TLock lock(FLock);
    for (const TBuffer& buffer : FBuffers) {
        if (buffer.Holds > 0) {
            return false;
        }
    }
    actual = request;
    actual.Buffers = request.Buffers < 1 ? 1 : request.Buffers;
    actual.Align = request.Align < 1 ? 1 : request.Align;
    actual.Prefix = request.Prefix < 0 ? 0 : request.Prefix;
    if (request.BufferSize < 0 || actual.Buffers > 64) {
        return false;
    }
    FBuffers.clear();
    FBuffers.resize(static_cast<size_t>(actual.Buffers));
    const size_t align = static_cast<size_t>(actual.Align);
    const size_t size = static_cast<size_t>(actual.BufferSize);
    for (TBuffer& buffer : FBuffers) {
        buffer.Memory.reset(new uint8_t[size + static_cast<size_t>(actual.Prefix) + align]);
        auto address = reinterpret_cast<uintptr_t>(buffer.Memory.get()) +
                       static_cast<uintptr_t>(actual.Prefix);
        address = (address + align - 1) / align * align;
        buffer.Sample.Data = reinterpret_cast<uint8_t*>(address);
        buffer.Sample.Capacity = size;
    }
    return true;
}

TMediaSample* TSampleAllocator::Get() {
    TLock lock(FLock);
    for (;;) {
        for (TBuffer& buffer : FBuffers) {
            if (buffer.Holds == 0) {
                buffer.Holds = 1;
                uint8_t* data = buffer.Sample.Data;
                const size_t capacity = buffer.Sample.Capacity;
                buffer.Sample = TMediaSample{};
                buffer.Sample.Data = data;
                buffer.Sample.Capacity = capacity;
                buffer.Sample.Allocator = this;
                return &buffer.Sample;
            }
        }
        if (FBuffers.empty()) {
            return nullptr;
        }
        FFreed.Wait(lock);
    }
}

bool TSampleAllocator::AddRef(const TMediaSample* sample) {
    TLock lock(FLock);
    for (TBuffer& buffer : FBuffers) {
        if (&buffer.Sample == sample && buffer.Holds > 0) {
            ++buffer.Holds;
            return true;
        }
    }
    return false;
}

void TSampleAllocator::Release(const TMediaSample* sample) {
    bool freed = false;
    {
        TLock lock(FLock);
        for (TBuffer& buffer : FBuffers) {
            if (&buffer.Sample == sample && buffer.Holds > 0) {
                freed = --buffer.Holds == 0;
            }
        }
    }
    if (freed) {
        FFreed.NotifyOne();
    }
}
