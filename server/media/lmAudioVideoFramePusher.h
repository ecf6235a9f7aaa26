#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/media/lmMediaSample.h"
#include "server/media/lmMediaTypes.h"

// A source pin with its own streaming thread: from Run until its fill reports the end (or the
// connected input refuses a sample) it takes a buffer, has it filled and time-stamped, and
// delivers it; then it sends the end of the stream downstream.
class TPushPin {
  public:
    explicit TPushPin(std::string name) : FName(std::move(name)) {}
    virtual ~TPushPin();
    TPushPin(const TPushPin&) = delete;
    TPushPin& operator=(const TPushPin&) = delete;

    const std::string& Name() const { return FName; }
    // Agrees buffers with the input and connects to it; false when the allocator cannot grant
    // the buffers the pin needs.
    bool Connect(IMediaInput* input);
    bool IsConnected() const { return FPeer != nullptr; }
    const TAllocatorProperties& Allocated() const { return FAllocated; }

    // Starts the streaming thread (once).
    void Run();
    // Waits for the streaming thread to end its stream.
    void Join();
    // Called on the streaming thread when the connected input refused a sample (it failed);
    // the stream then ends without reaching its end.
    std::function<void()> OnDeliveryFailed;

  protected:
    // The request for the allocator, given the values the input carries.
    virtual TAllocatorProperties DecideBufferSize(const TAllocatorProperties& carried) = 0;
    // Fills and time-stamps one sample; false ends the stream.
    virtual bool FillSample(TMediaSample& sample) = 0;

  private:
    void Stream();

    std::string FName;
    IMediaInput* FPeer = nullptr;
    TSampleAllocator FAllocator;
    TAllocatorProperties FAllocated;
    std::thread FThread;
};

// Fills one video sample (buffer, size); false when there is no more data.
using TVideoFill = std::function<bool(uint8_t* buffer, size_t size)>;
// Fills one audio sample (buffer, size, out bytes written); false when there is no more data.
using TAudioFill = std::function<bool(uint8_t* buffer, size_t size, size_t& written)>;

// The one capability a video pin reports to stream-configuration queries (128 bytes in the
// platform's structure; the fields that carry values here).
struct TVideoStreamCaps {
    static constexpr int32_t kSize = 128;
    int32_t InputWidth = 0;
    int32_t InputHeight = 0;
    int64_t MinFrameInterval = 0;
    int64_t MaxFrameInterval = 0;
    int32_t MinBitsPerSecond = 0;
    int32_t MaxBitsPerSecond = 0;
};

class TVideoPushPin : public TPushPin {
  public:
    TVideoPushPin(const TVideoMediaType& type, TVideoFill fill);
    ~TVideoPushPin() override { Join(); }
    const TVideoMediaType& MediaType() const { return FType; }
    int32_t CapabilityCount() const { return 1; }
    TVideoStreamCaps StreamCaps() const;
    // The format is fixed by the clip: it can be read, not set.
    bool SetFormat(const TVideoMediaType&) { return false; }

  protected:
    TAllocatorProperties DecideBufferSize(const TAllocatorProperties& carried) override;
    bool FillSample(TMediaSample& sample) override;

  private:
    TVideoMediaType FType;
    TVideoFill FFill;
    int64_t FStreamTime = 0;
    int64_t FSampleCount = 0;
};

class TAudioPushPin : public TPushPin {
  public:
    TAudioPushPin(const TWaveFormat& format, uint32_t bytesPerFrame, TAudioFill fill);
    ~TAudioPushPin() override { Join(); }
    const TWaveFormat& Format() const { return FFormat; }
    std::vector<uint8_t> FormatBlock() const { return FFormat.FormatBlock(); }

  protected:
    TAllocatorProperties DecideBufferSize(const TAllocatorProperties& carried) override;
    bool FillSample(TMediaSample& sample) override;

  private:
    TWaveFormat FFormat;
    uint32_t FBytesPerFrame;
    TAudioFill FFill;
    int64_t FStreamTime = 0;
    int64_t FSamplePosition = 0;
};

// The push source: a video pin and, when an audio format is given, an audio pin. The fill
// events are set by the renderer before the graph runs.
class TAudioVideoFramePusher {
  public:
    static constexpr const char* kClassId = "{8A966AC8-0167-44B2-AEEF-E82EEA54E200}";

    TAudioVideoFramePusher(int rateIndex, const TWaveFormat* audioFormat,
                           const TVideoMediaType& videoType);
    ~TAudioVideoFramePusher() { Join(); }
    TAudioVideoFramePusher(const TAudioVideoFramePusher&) = delete;
    TAudioVideoFramePusher& operator=(const TAudioVideoFramePusher&) = delete;

    TVideoFill OnVideoFill;
    TAudioFill OnAudioFill;

    int RateIndex() const { return FRateIndex; }
    TVideoPushPin& VideoPin() { return *FVideoPin; }
    TAudioPushPin* AudioPin() { return FAudioPin.get(); }
    // The first output pin not yet connected (video, then audio), or null.
    TPushPin* NextUnconnectedPin();

    void Run();
    void Join();

  private:
    int FRateIndex;
    std::unique_ptr<TVideoPushPin> FVideoPin;
    std::unique_ptr<TAudioPushPin> FAudioPin;
};
