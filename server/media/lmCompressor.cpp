#include "server/media/lmCompressor.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "port/port.h"

TCompressor::TCompressor(std::shared_ptr<const port::DynamicLibrary> module,
                         ICompressor* compressor, TCompressorInfo info)
    : FModule(std::move(module)), FCompressor(compressor), FInfo(std::move(info)) {}

TCompressor::~TCompressor() {
    Stop();
    // The compressor's code lives in the module: release it before the module closes.
    FCompressor->Release();
}

bool TCompressor::ConnectInput(const TVideoMediaType& type) {
    FInputConnected = false;
    const TBitmapInfoHeader& bmi = type.Header.bmiHeader;
    TCompressorInputFormat format;
    format.Width = bmi.biWidth;
    format.Height = bmi.biHeight;
    format.BitCount = bmi.biBitCount;
    format.BottomUp = true;
    if (bmi.biCompression != 0 || bmi.biHeight <= 0 || !FCompressor->SetInputFormat(format)) {
        SetError(std::string("the compressor refuses the input format: ") +
                 FCompressor->LastError());
        return false;
    }
    if (FCompressor->InputSize() != bmi.biSizeImage) {
        SetError("the compressor expects another frame size");
        return false;
    }
    FInputType = type;
    FOutput.resize(FCompressor->MaxOutputSize());
    FInputConnected = true;
    return true;
}

TAVIVideoFormat TCompressor::OutputFormat() const {
    TAVIVideoFormat format;
    format.FourCC = FCompressor->FourCC();
    format.Width = FInputType.Header.bmiHeader.biWidth;
    format.Height = FInputType.Header.bmiHeader.biHeight;
    format.BitCount = static_cast<uint16_t>(FCompressor->OutputBitCount());
    format.RateNumerator = FInputType.RateNumerator;
    format.RateDenominator = FInputType.RateDenominator;
    format.AvgTimePerFrame = FInputType.Header.AvgTimePerFrame;
    format.MaxFrameSize = static_cast<uint32_t>(
        std::min<size_t>(FCompressor->MaxOutputSize(), std::numeric_limits<uint32_t>::max()));
    return format;
}

void TCompressor::GetAllocatorRequirements(TAllocatorProperties& props) const {
    if (FOwnThread) {
        // One being compressed, one being filled, and one spare so that a slow frame on either
        // side does not hold up the other.
        props.Buffers = 3;
    }
}

bool TCompressor::Receive(const TMediaSample& sample) {
    if (!FInputConnected || FDownstream == nullptr) {
        SetError("the compressor is not connected");
        return false;
    }
    if (!FOwnThread) {
        return CompressAndDeliver(sample);
    }
    TLock lock(FLock);
    if (FFailed || FEnding || FStopping) {
        return false;
    }
    if (sample.Allocator == nullptr || !sample.Allocator->AddRef(&sample)) {
        FError = "the compressor cannot hold the sample";
        return false;
    }
    FQueue.push_back(&sample);
    if (!FThread.joinable()) {
        FThread = std::thread([this] { Stream(); });
    }
    FChanged.NotifyAll();
    return true;
}

void TCompressor::EndOfStream() {
    bool failed = false;
    {
        TLock lock(FLock);
        FEnding = true;
    }
    FChanged.NotifyAll();
    if (FThread.joinable()) {
        FThread.join();
    }
    {
        TLock lock(FLock);
        failed = FFailed;
    }
    // A failed stream has already stopped the graph; it gets no end.
    if (!failed && FDownstream != nullptr) {
        FDownstream->EndOfStream();
    }
}

void TCompressor::Stop() {
    {
        TLock lock(FLock);
        FStopping = true;
    }
    FChanged.NotifyAll();
    if (FThread.joinable()) {
        FThread.join();
    }
    // The thread is gone: what it left in the queue is released here.
    std::deque<const TMediaSample*> left;
    {
        TLock lock(FLock);
        left.swap(FQueue);
    }
    ReleaseAll(left);
}

void TCompressor::ReleaseAll(std::deque<const TMediaSample*>& samples) {
    for (const TMediaSample* sample : samples) {
        sample->Allocator->Release(sample);
    }
    samples.clear();
}

std::string TCompressor::LastError() const {
    TLock lock(FLock);
    return FError;
}

void TCompressor::SetError(const std::string& error) {
    TLock lock(FLock);
    FError = error;
}

bool TCompressor::CompressAndDeliver(const TMediaSample& sample) {
    size_t written = 0;
    bool key = false;
    if (!FCompressor->Compress(sample.Data, sample.Length, FOutput.data(), FOutput.size(), &written,
                               &key)) {
        SetError(std::string("compression failed: ") + FCompressor->LastError());
        return false;
    }
    TMediaSample out = sample;
    out.Data = FOutput.data();
    out.Capacity = FOutput.size();
    out.Length = written;
    out.SyncPoint = key;
    out.Allocator = nullptr;
    return FDownstream->Receive(out);
}

void TCompressor::Stream() {
    port::SetCurrentThreadName("VideoCodec");
    for (;;) {
        const TMediaSample* sample = nullptr;
        {
            TLock lock(FLock);
            FChanged.Wait(
                lock, [this]() REQUIRES(FLock) { return FStopping || FEnding || !FQueue.empty(); });
            if (FStopping || FQueue.empty()) {
                return;
            }
            sample = FQueue.front();
        }
        const bool ok = CompressAndDeliver(*sample);
        std::deque<const TMediaSample*> dropped;
        {
            TLock lock(FLock);
            FQueue.pop_front();
            if (!ok) {
                FFailed = true;
                dropped.swap(FQueue);
            }
        }
        sample->Allocator->Release(sample);
        if (!ok) {
            ReleaseAll(dropped);
            if (OnFailed) {
                OnFailed();
            }
            return;
        }
    }
}
