#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxMutex.h"
#include "foundation/kxThreads.h"
#include "pixelmove/kxSIMDLib.h"
#include "port/port.h"

class TCompressorRegistry;
class TTaskItem;

// What the renderer reads from the job's processor: the clip's layout and its frames. Frames
// land in the frame buffer as 32-bit pixels, top row first, width x 4 bytes per row.
class IAVIRenderClip {
  public:
    virtual ~IAVIRenderClip() = default;
    virtual int32_t Width() const = 0;
    virtual int32_t Height() const = 0;
    virtual int32_t BitDepth() const = 0;
    virtual int32_t FrameRateIndex() const = 0;
    virtual int32_t AudioChannels() const = 0;
    virtual int32_t FieldMode() const = 0;
    virtual int32_t Duration() const = 0;
    virtual std::string OutputPath() const = 0;
    // The display name of the compressor to create.
    virtual std::string CodecDisplayName() const = 0;
    // Reads frame `index`; with an audio buffer, up to audioSpace bytes of the frame's audio
    // are delivered into it (audioBytes receives the count).
    virtual bool FetchFrame(int32_t index, uint8_t* audioBuffer, int32_t audioSpace,
                            int32_t& audioBytes) = 0;
    virtual const uint8_t* FrameBuffer() const = 0;
};

// The task the renderer works for: its cancel request and its progress.
class IAVIRenderTask {
  public:
    virtual ~IAVIRenderTask() = default;
    virtual bool CancelRequested() const = 0;
    virtual void SetProgress(float percent) = 0;
};

// A task of the task list as the renderer sees it.
class TTaskItemRenderTask : public IAVIRenderTask {
  public:
    explicit TTaskItemRenderTask(TTaskItem& task) : FTask(task) {}
    bool CancelRequested() const override;
    void SetProgress(float percent) override;

  private:
    TTaskItem& FTask;
};

struct TAVIRenderSettings {
    // Where the transcoder loads the compressor modules from at start, with a trailing "/".
    std::string CodecsFolder;
    // The loaded compressor modules the renderer creates its compressor from; not owned.
    const TCompressorRegistry* Compressors = nullptr;
    TMove32b24b* Move32b24b = nullptr;
    int CompressorThreads = 1;
    // Compress on the compressor's own thread while the next frame is read: for a processor
    // that would otherwise stand idle.
    bool CompressOnOwnThread = false;
    uint64_t PartLimit = uint64_t{1} << 30;
};

// Renders a clip into an AVI file on a thread of its own: the push source's video pin hands
// the clip's frames through the compressor to the AVI multiplexer, its audio pin the clip's
// audio; an interlaced clip then gets its field layout written into the header. The caller
// starts the thread, waits for it and reads Cancelled and Failed.
class TAVIRenderer : public TkxThread {
  public:
    static constexpr size_t kAudioBufferSize = 2 * 1024 * 1024;

    TAVIRenderer(IAVIRenderTask* task, IAVIRenderClip& clip, TAVIRenderSettings settings);
    ~TAVIRenderer() override;

    bool Cancelled() const { return FCancelled.load(); }
    bool Failed() const { return FFailed.load(); }
    bool Finished() const { return FFinished.load(); }
    int32_t FrameCounter() const { return FFrameCounter.load(); }
    // Why rendering failed, for the log.
    std::string FailureReason() const;

  protected:
    void Execute() override;

  private:
    bool VideoFill(uint8_t* buffer, size_t size);
    bool AudioFill(uint8_t* buffer, size_t size, size_t& written);
    void Fail(const std::string& reason);

    IAVIRenderTask* FTask;
    IAVIRenderClip& FClip;
    TAVIRenderSettings FSettings;
    std::atomic<bool> FCancelled{false};
    std::atomic<bool> FFailed{false};
    std::atomic<bool> FFinished{false};
    port::Event FDoneEvent{port::Event::Mode::ManualReset};
    port::Event FAudioEvent{port::Event::Mode::AutoReset};
    std::atomic<int32_t> FFrameCounter{0};
    std::vector<uint8_t> FScratch;
    std::vector<uint8_t> FAudioStage;  // one frame's audio on its way into the audio buffer
    TMutex FLock;
    std::vector<uint8_t> FAudioBuffer GUARDED_BY(FLock);
    size_t FAudioFill GUARDED_BY(FLock) = 0;
    bool FHasAudio = false;
    uint32_t FAudioBytesPerFrame = 0;
    mutable TMutex FReasonLock;
    std::string FReason GUARDED_BY(FReasonLock);
};
