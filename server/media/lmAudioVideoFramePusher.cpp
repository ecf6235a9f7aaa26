#include "server/media/lmAudioVideoFramePusher.h"

#include <cmath>

#include "port/port.h"

TPushPin::~TPushPin() {
    Join();
}

bool TPushPin::Connect(IMediaInput* input) {
    if (input == nullptr || FPeer != nullptr) {
        return false;
    }
    TAllocatorProperties carried;
    input->GetAllocatorRequirements(carried);
    const TAllocatorProperties request = DecideBufferSize(carried);
    TAllocatorProperties actual;
    if (!FAllocator.SetProperties(request, actual) || actual.BufferSize < request.BufferSize) {
        return false;
    }
    FAllocated = actual;
    FPeer = input;
    return true;
}

void TPushPin::Run() {
    if (FPeer != nullptr && !FThread.joinable()) {
        FThread = std::thread([this] { Stream(); });
    }
}

void TPushPin::Join() {
    if (FThread.joinable()) {
        FThread.join();
    }
}

void TPushPin::Stream() {
    port::SetCurrentThreadName(FName.empty() ? "PushPin" : FName);
    for (;;) {
        TMediaSample* sample = FAllocator.Get();
        if (sample == nullptr) {
            FPeer->EndOfStream();
            return;
        }
        const bool filled = FillSample(*sample);
        const bool delivered = filled && FPeer->Receive(*sample);
        FAllocator.Release(sample);
        if (!filled) {
            FPeer->EndOfStream();
            return;
        }
        if (!delivered) {
            if (OnDeliveryFailed) {
                OnDeliveryFailed();
            }
            return;
        }
    }
}

TVideoPushPin::TVideoPushPin(const TVideoMediaType& type, TVideoFill fill)
    : TPushPin("VideoPushPin"), FType(type), FFill(std::move(fill)) {}

TVideoStreamCaps TVideoPushPin::StreamCaps() const {
    TVideoStreamCaps caps;
    caps.InputWidth = FType.Header.bmiHeader.biWidth;
    caps.InputHeight = FType.Header.bmiHeader.biHeight;
    caps.MinFrameInterval = caps.MaxFrameInterval = FType.Header.AvgTimePerFrame;
    caps.MinBitsPerSecond = caps.MaxBitsPerSecond = static_cast<int32_t>(FType.Header.dwBitRate);
    return caps;
}

TAllocatorProperties TVideoPushPin::DecideBufferSize(const TAllocatorProperties& carried) {
    TAllocatorProperties request;
    request.Buffers = carried.Buffers > 0 ? carried.Buffers : 1;
    request.BufferSize = static_cast<int32_t>(FType.Header.bmiHeader.biSizeImage);
    request.Align = 16;
    request.Prefix = carried.Prefix;
    return request;
}

bool TVideoPushPin::FillSample(TMediaSample& sample) {
    const int64_t start = FStreamTime;
    FStreamTime += FType.Header.AvgTimePerFrame;
    sample.Start = start;
    sample.Stop = FStreamTime;
    sample.MediaStart = FSampleCount;
    sample.MediaStop = FSampleCount + 1;
    ++FSampleCount;
    sample.Length = FType.Header.bmiHeader.biSizeImage;
    if (!FFill || !FFill(sample.Data, sample.Length)) {
        return false;
    }
    sample.SyncPoint = true;
    return true;
}

TAudioPushPin::TAudioPushPin(const TWaveFormat& format, uint32_t bytesPerFrame, TAudioFill fill)
    : TPushPin("out"), FFormat(format), FBytesPerFrame(bytesPerFrame), FFill(std::move(fill)) {}

TAllocatorProperties TAudioPushPin::DecideBufferSize(const TAllocatorProperties& carried) {
    TAllocatorProperties request;
    request.Buffers = carried.Buffers > 0 ? carried.Buffers : 2;
    request.BufferSize =
        carried.BufferSize > 0 ? carried.BufferSize : static_cast<int32_t>(FBytesPerFrame);
    request.Align = carried.Align > 0 ? carried.Align : FFormat.nBlockAlign;
    request.Prefix = carried.Prefix;
    return request;
}

bool TAudioPushPin::FillSample(TMediaSample& sample) {
    size_t written = 0;
    if (!FFill || !FFill(sample.Data, sample.Capacity, written)) {
        return false;
    }
    sample.SyncPoint = true;
    sample.Length = written;
    const int64_t blockBytes = FFormat.nChannels * (FFormat.wBitsPerSample / 8);
    const int64_t samples = blockBytes > 0 ? static_cast<int64_t>(written) / blockBytes : 0;
    // 10,000,000 / (rate / samples), rounded to the nearest 100 ns.
    const int64_t duration =
        samples > 0 ? std::llround(10000000.0L / (static_cast<long double>(FFormat.nSamplesPerSec) /
                                                  static_cast<long double>(samples)))
                    : 0;
    sample.Start = FStreamTime;
    sample.Stop = FStreamTime + duration;
    FStreamTime += duration;
    sample.MediaStart = FSamplePosition;
    sample.MediaStop = FSamplePosition + samples;
    FSamplePosition += samples;
    return true;
}

TAudioVideoFramePusher::TAudioVideoFramePusher(int rateIndex, const TWaveFormat* audioFormat,
                                               const TVideoMediaType& videoType)
    : FRateIndex(rateIndex) {
    FVideoPin = std::make_unique<TVideoPushPin>(videoType, [this](uint8_t* buffer, size_t size) {
        return OnVideoFill && OnVideoFill(buffer, size);
    });
    if (audioFormat != nullptr) {
        FAudioPin = std::make_unique<TAudioPushPin>(
            *audioFormat, AudioBytesPerVideoFrame(*audioFormat, rateIndex),
            [this](uint8_t* buffer, size_t size, size_t& written) {
                return OnAudioFill && OnAudioFill(buffer, size, written);
            });
    }
}

TPushPin* TAudioVideoFramePusher::NextUnconnectedPin() {
    if (!FVideoPin->IsConnected()) {
        return FVideoPin.get();
    }
    if (FAudioPin && !FAudioPin->IsConnected()) {
        return FAudioPin.get();
    }
    return nullptr;
}

void TAudioVideoFramePusher::Run() {
    FVideoPin->Run();
    if (FAudioPin) {
        FAudioPin->Run();
    }
}

void TAudioVideoFramePusher::Join() {
    FVideoPin->Join();
    if (FAudioPin) {
        FAudioPin->Join();
    }
}
