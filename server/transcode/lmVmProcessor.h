#pragma once

// What a source's files are processed with: an identity, a name and the targets every result
// goes to. A configured processor lists references to the engine's targets; the copy a job
// works on owns duplicates of them.
//
// The copy a job works on also carries out the steps that look at the media itself: it holds
// the open video source, the clip's size and timing and one frame buffer, reads frames for the
// renderer, samples the preview flipbook, takes the thumbnail, copies still images and clips
// already in our codec, and writes the caption side file.
//
// The configuration is guarded by the processor's own lock: a task copies its source's
// processor on the source's thread while the control server may change it. The job's working
// state is used by one thread at a time (the job's, and the renderer thread it waits for) and
// has no lock.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/core/lmVmCollection.h"
#include "server/delivery/lmVmTarget.h"
#include "server/transcode/lmVideoSourceHandlers.h"

class TMetaItems;
class TTaskItem;
struct TVideoCodec;
class TVmProcessors;

// A preview flipbook holds at most this many images, taken at evenly spread frames.
inline constexpr int32_t MaxPreviewSamples = 20;

// Frame index of preview sample `SampleIndex` for a clip of `Duration` frames:
// SampleIndex / min(Duration, 19) * (Duration - 1), rounded to the nearest integer with ties to
// even. 0 for a clip without frames.
int32_t PreviewSamplePosition(int32_t SampleIndex, int32_t Duration);

// A processor's own settings; its targets are kept beside them under the same lock.
struct TVmProcessorSettings {
    TGUID Uid;
    std::string Name;

    friend bool operator==(const TVmProcessorSettings&, const TVmProcessorSettings&) = default;
};

class TVmProcessor : public TVmGuardedSettings<TVmProcessorSettings> {
  public:
    TVmProcessor(TVmProcessors* Owner, bool OwningTargets, bool NewIdentity);
    TVmProcessor(const TVmProcessor&) = delete;
    TVmProcessor& operator=(const TVmProcessor&) = delete;
    virtual ~TVmProcessor();

    TGUID Uid() const;
    std::string Name() const;
    void SetUid(const TGUID& Value);
    void SetName(std::string Value);

    // The targets in delivery order, at one moment.
    std::vector<std::shared_ptr<TVmTarget>> Targets() const;
    int32_t TargetCount() const;
    bool OwnsTargets() const;
    // Appends the target itself (no duplicate is made).
    void AddTarget(std::shared_ptr<TVmTarget> Target);
    // Takes every occurrence of Target out of the list; true when there was one.
    bool RemoveTarget(const TVmTarget* Target);

    TVmProcessors* Owner() const;
    void SetOwner(TVmProcessors* Value);

    // Copies the uid and the targets (duplicates when this processor owns its targets, the
    // same targets otherwise); the name is not copied.
    void Assign(const TVmProcessor& Other);

    // "uid", "name", then "targets" with one empty "target" element per target carrying the
    // target's uid in its attribute "uid".
    void SaveToXML(TXMLUnicode& Doc) const;
    // Targets are resolved through the owner's target lookup; unknown uids are dropped.
    void LoadFromXML(TXMLUnicode& Doc);

    // ---- Job operations (on a job's copy, from the job's thread) ----

    // The task's metadata store; not owned.
    void SetMeta(TMetaItems* Meta) { FMeta = Meta; }
    TMetaItems* Meta() const { return FMeta; }

    // Keeps the reference to the video source (dropping any previous one) and reads the clip's
    // properties. With no source it is ReleaseVideoSource and the result is true. False, with
    // the frame buffer freed and PrepareError() saying why, for a clip without frames, with an
    // unusable frame size or with an unsupported frame rate. A clip of one frame gets "holdlast".
    bool Prepare(TVideoSourceRef Source, int DefaultRateIndex);
    // Drops the reference to the video source and frees the frame buffer.
    void ReleaseVideoSource();
    // Why the last Prepare failed, as the task shows it: "Source has no video frames.",
    // "Frame rate not supported.", ...; empty after a successful Prepare.
    const std::string& PrepareError() const { return FPrepareError; }

    // "duration", "width", "height", "bitdepth", "framerate"/"framediv" (0 for a still),
    // "audiochannels", "thumbframe", and "fieldmode" unless the file name already gave one.
    void WriteTechnicalMeta(TMetaItems& Meta, bool IsStill) const;

    // Sampling on, from the first sample position again / sampling off.
    void StartSampling();
    void StopSampling() { FSampling = false; }

    // Reads one frame into the frame buffer, with its audio when AudioBuffer is given
    // (AudioBytes receives the bytes delivered, never more than AudioSpace), and samples it
    // into the preview flipbook when it is the next sample. False when the read fails.
    bool FetchFrame(int32_t Index, void* AudioBuffer, int32_t AudioSpace, int32_t& AudioBytes);
    bool FetchFrame(int32_t Index);

    // Reads the thumbnail frame (not sampled) and appends its PNG to the metadata's streams;
    // false when the clip gets no thumbnail.
    bool TakeThumbnail();

    // Copies a still image to the output path and samples its frame 0; false when the copy
    // fails.
    bool ImportStill(TTaskItem& Task);
    // Copies a clip already in our codec to the output path and reads at most 19 frames at the
    // sample positions for the flipbook; false when the copy fails.
    bool ImportNative(TTaskItem& Task);
    // Writes output path + ".xmd" with the two caption bytes of every frame. False when the
    // source has no captions of the one supported type or the file cannot be written.
    bool ExtractCaptions(TTaskItem& Task);

    // The clip as the last successful Prepare found it.
    int32_t Duration() const { return FDuration; }
    int32_t Width() const { return FWidth; }
    int32_t Height() const { return FHeight; }
    int32_t Pitch() const { return FPitch; }
    int32_t BitDepth() const { return FBitDepth; }
    // Derived from the source; the renderer uses it even when the file name set another mode.
    int32_t FieldMode() const { return FFieldMode; }
    uint8_t FrameRateIndex() const { return FFrameRateIndex; }
    int32_t AudioChannels() const { return FAudioChannels; }
    bool HasVideoSource() const { return static_cast<bool>(FVideoSource); }

    // The last frame read: width x height pixels of 4 bytes (blue, green, red, alpha), rows of
    // Pitch() bytes, top row first; the buffer has ten percent headroom.
    uint8_t* FrameBuffer() { return reinterpret_cast<uint8_t*>(FFrameBuffer.data()); }
    size_t FrameBufferSize() const { return FFrameBuffer.size() * sizeof(uint32_t); }

    // Set by the transcoder.
    const std::string& OutputPath() const { return FOutputPath; }
    void SetOutputPath(std::string Value) { FOutputPath = std::move(Value); }
    const std::string& SourcePath() const { return FSourcePath; }
    void SetSourcePath(std::string Value) { FSourcePath = std::move(Value); }
    // The compressor entry of the transcoder's codec list; not owned.
    const TVideoCodec* OutputCodec() const { return FOutputCodec; }
    void SetOutputCodec(const TVideoCodec* Value) { FOutputCodec = Value; }

    bool Sampling() const { return FSampling; }
    int32_t SampleCount() const { return FSampleCount; }
    int32_t NextSample() const { return FNextSample; }

  private:
    bool FailPrepare(std::string Reason);
    // Copies the source file to the output path; false when that fails.
    bool CopySourceToOutput() const;
    void SampleFrame(int32_t Index);

    // Guarded by FLock with the settings.
    TVmTargets FTargets;
    TVmProcessors* FOwner;

    // Working state of a job copy.
    std::vector<uint32_t> FFrameBuffer;
    int32_t FDuration = 0;
    int32_t FPitch = 0;
    int32_t FWidth = 0;
    int32_t FHeight = 0;
    int32_t FBitDepth = 0;
    int32_t FFieldMode = 0;
    std::string FStartTimeCode;  // of the prepared source; empty when it has none
    std::string FOutputPath;
    uint8_t FFrameRateIndex = 0;
    int32_t FAudioChannels = 0;
    TVideoSourceRef FVideoSource;
    const TVideoCodec* FOutputCodec = nullptr;
    TMetaItems* FMeta = nullptr;
    bool FSampling = false;
    int32_t FSampleCount = 0;
    int32_t FNextSample = 0;
    std::string FSourcePath;
    std::string FPrepareError;
};

// The engine's processors, saved as "proc" elements; new ones are named "New Processor " + N.
class TVmProcessors : public TVmCollection<TVmProcessor> {
  public:
    using TTargetLookup = std::function<std::shared_ptr<TVmTarget>(const TGUID&)>;

    TVmProcessors();
    ~TVmProcessors() override;

    // Set by the engine: resolves the target uids of loaded processors.
    void SetTargetLookup(TTargetLookup Lookup) { FTargetLookup = std::move(Lookup); }
    std::shared_ptr<TVmTarget> LookupTarget(const TGUID& Uid) const;

    // Takes the target out of every processor (before the target itself is deleted).
    void RemoveTarget(const TVmTarget* Target);

  protected:
    TItemPtr CreateItem(bool NewIdentity) override;
    void Detached(TVmProcessor& Item) override;

  private:
    TTargetLookup FTargetLookup;
};
