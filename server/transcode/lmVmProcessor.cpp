#include "server/transcode/lmVmProcessor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "foundation/lmVmVideoModes.h"
#include "server/ingest/kxFileUtils.h"
#include "server/ingest/lmVmMetaItems.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/transcode/kxImageScaling.h"
#include "server/transcode/lmVmAVIMetadataFile.h"

namespace {

// A flipbook is spread over at most this many steps of the clip, so its last position is the
// clip's last frame once the clip has this many frames.
constexpr int32_t SampleSteps = 19;

}  // namespace

int32_t PreviewSamplePosition(int32_t SampleIndex, int32_t Duration) {
    const int32_t steps = std::min(Duration, SampleSteps);
    if (steps <= 0) {
        return 0;
    }
    // Extended precision, rounded to the nearest frame with ties to even whatever rounding mode
    // is set: a clip of two frames has its second position at 0.5, which must come out as 0.
    const long double position = static_cast<long double>(SampleIndex) / steps * (Duration - 1);
    long double rounded = std::floor(position);
    const long double fraction = position - rounded;
    if (fraction > 0.5L || (fraction == 0.5L && std::fmod(rounded, 2.0L) != 0)) {
        rounded += 1;
    }
    if (rounded >= static_cast<long double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(rounded);
}

TVmProcessor::TVmProcessor(TVmProcessors* Owner, bool OwningTargets, bool NewIdentity)
    : FTargets(OwningTargets), FOwner(Owner) {
    if (NewIdentity) {
        FSettings.Uid = NewGUID();
    }
}

TVmProcessor::~TVmProcessor() = default;

TGUID TVmProcessor::Uid() const {
    TLock lock(FLock);
    return FSettings.Uid;
}

std::string TVmProcessor::Name() const {
    TLock lock(FLock);
    return FSettings.Name;
}

void TVmProcessor::SetUid(const TGUID& Value) {
    TLock lock(FLock);
    FSettings.Uid = Value;
}

void TVmProcessor::SetName(std::string Value) {
    TLock lock(FLock);
    FSettings.Name = std::move(Value);
}

std::vector<std::shared_ptr<TVmTarget>> TVmProcessor::Targets() const {
    TLock lock(FLock);
    return FTargets.All();
}

int32_t TVmProcessor::TargetCount() const {
    TLock lock(FLock);
    return FTargets.Count();
}

bool TVmProcessor::OwnsTargets() const {
    return FTargets.Owning();
}

void TVmProcessor::AddTarget(std::shared_ptr<TVmTarget> Target) {
    TLock lock(FLock);
    FTargets.Append(std::move(Target));
}

bool TVmProcessor::RemoveTarget(const TVmTarget* Target) {
    TLock lock(FLock);
    bool removed = false;
    while (Target && FTargets.Remove(Target)) {
        removed = true;
    }
    return removed;
}

TVmProcessors* TVmProcessor::Owner() const {
    TLock lock(FLock);
    return FOwner;
}

void TVmProcessor::SetOwner(TVmProcessors* Value) {
    TLock lock(FLock);
    FOwner = Value;
}

void TVmProcessor::Assign(const TVmProcessor& Other) {
    if (&Other == this) {
        return;
    }
    TLockPair lock(FLock, Other.FLock);
    FSettings.Uid = Other.FSettings.Uid;
    FTargets.Assign(Other.FTargets);
}

void TVmProcessor::SaveToXML(TXMLUnicode& Doc) const {
    TLock lock(FLock);
    Doc.AddGUID("uid", FSettings.Uid);
    Doc.AddElement("name", FSettings.Name);
    Doc.OpenElement("targets");
    for (const auto& target : FTargets.All()) {
        Doc.OpenElement("target");
        Doc.AddAttributeGUID("uid", target->Uid());
        Doc.CloseElement();
    }
    Doc.CloseElement();
}

void TVmProcessor::LoadFromXML(TXMLUnicode& Doc) {
    TVmProcessorSettings settings;
    settings.Uid = Doc.ChildText("uid").AsGUID(NullGUID);
    settings.Name = Doc.ChildText("name").AsString("");
    TVmProcessors* owner = Owner();
    std::vector<std::shared_ptr<TVmTarget>> targets;
    Doc.PushPosition();
    if (Doc.SelectChild("targets", false)) {
        while (Doc.SelectNext("target")) {
            TGUID targetUid = Doc.AttributeByName("uid").AsGUID(NullGUID);
            if (targetUid.IsNull() || !owner) {
                continue;
            }
            if (auto target = owner->LookupTarget(targetUid)) {
                targets.push_back(std::move(target));
            }
        }
    }
    Doc.PopPosition();

    TLock lock(FLock);
    FSettings = std::move(settings);
    FTargets.Clear();
    for (auto& target : targets) {
        FTargets.Append(FTargets.Owning() ? target->Duplicate() : std::move(target));
    }
}

bool TVmProcessor::FailPrepare(std::string Reason) {
    FFrameBuffer = {};
    FPrepareError = std::move(Reason);
    return false;
}

void TVmProcessor::ReleaseVideoSource() {
    FPrepareError.clear();
    FStartTimeCode.clear();
    FVideoSource.Release();
    FFrameBuffer = {};
}

bool TVmProcessor::Prepare(TVideoSourceRef Source, int DefaultRateIndex) {
    if (!Source) {
        ReleaseVideoSource();
        return true;
    }
    FPrepareError.clear();
    FVideoSource = std::move(Source);

    const TVideoSourceRef::TShape shape = FVideoSource.Shape();
    FDuration = shape.FrameCount;
    FWidth = shape.Width;
    FHeight = shape.Height;
    FBitDepth = shape.BitDepth;
    // The pitch travels to the plug-in as a 32-bit value.
    const int64_t pitch = static_cast<int64_t>(FWidth) * LvsBytesPerPixel;
    FPitch = pitch <= std::numeric_limits<int32_t>::max() ? static_cast<int32_t>(pitch) : 0;
    FFieldMode = DeriveFieldMode(shape.FieldOrder, shape.Interlaced, FWidth, FHeight);
    // The time code is a fact about the clip, never a reason to refuse it.
    try {
        FStartTimeCode = FVideoSource.StartTimeCode();
    } catch (const TPluginFault&) {
        FStartTimeCode.clear();
    }

    // Sample positions and the thumbnail frame are spread over the frames, so a clip without
    // any has nothing to read.
    if (FDuration <= 0) {
        return FailPrepare("Source has no video frames.");
    }
    if (FWidth <= 0 || FHeight <= 0 || FPitch == 0) {
        return FailPrepare("Source has an invalid frame size.");
    }
    if (FDuration == 1 && FMeta != nullptr) {
        FMeta->SetBoolean(MetaHoldLast, true);
    }
    const std::optional<uint8_t> rateIndex =
        ClassifyFrameRate(RateToClassify(shape.FrameRate, DefaultRateIndex));
    if (!rateIndex) {
        return FailPrepare("Frame rate not supported.");
    }
    FFrameRateIndex = *rateIndex;
    FAudioChannels = FVideoSource.AudioChannels();

    // One frame with ten percent headroom, allocated once and reused for every frame.
    const int64_t bytes = static_cast<int64_t>(FPitch) * 110 / 100 * FHeight;
    try {
        FFrameBuffer.assign(static_cast<size_t>((bytes + 3) / 4), 0);
    } catch (const std::bad_alloc&) {
        return FailPrepare("Not enough memory for a frame of " + std::to_string(FWidth) + " x " +
                           std::to_string(FHeight) + " pixels.");
    } catch (const std::length_error&) {
        return FailPrepare("Not enough memory for a frame of " + std::to_string(FWidth) + " x " +
                           std::to_string(FHeight) + " pixels.");
    }
    return true;
}

void TVmProcessor::WriteTechnicalMeta(TMetaItems& Meta, bool IsStill) const {
    Meta.SetInteger(MetaDuration, FDuration);
    Meta.SetInteger(MetaWidth, FWidth);
    Meta.SetInteger(MetaHeight, FHeight);
    Meta.SetInteger(MetaBitDepth, FBitDepth);
    if (IsStill) {
        Meta.SetInt64(MetaFrameRate, 0);
        Meta.SetInt64(MetaFrameDiv, 0);
    } else {
        const TFrameRateEntry& rate = FrameRateEntry(FFrameRateIndex);
        Meta.SetInt64(MetaFrameRate, rate.Numerator);
        Meta.SetInt64(MetaFrameDiv, rate.Denominator);
    }
    Meta.SetInteger(MetaAudioChannels, FAudioChannels);
    Meta.SetInteger(MetaThumbFrame, ThumbFrameIndex(FDuration));
    if (!FStartTimeCode.empty()) {
        Meta.SetText(MetaStartTimeCode, FStartTimeCode);
    }
    // A field mode taken from the file name wins over the one the source reports.
    if (!Meta.Exists(MetaFieldMode)) {
        Meta.SetInteger(MetaFieldMode, FFieldMode);
    }
}

void TVmProcessor::StartSampling() {
    FSampling = true;
    FSampleCount = 0;
    FNextSample = PreviewSamplePosition(0, FDuration);
    FSampleCount = 1;
}

void TVmProcessor::SampleFrame(int32_t Index) {
    // FSampleCount counts the positions computed so far, one ahead of the images taken.
    if (!FSampling || Index != FNextSample || FSampleCount > MaxPreviewSamples) {
        return;
    }
    std::vector<uint8_t> stream;
    if (FMeta != nullptr && FMeta->FlipBook() != nullptr &&
        MakeThumbnailPNG(FFrameBuffer.data(), FWidth, FHeight, stream)) {
        FMeta->FlipBook()->AddFrame(std::move(stream));
    }
    FNextSample = PreviewSamplePosition(FSampleCount, FDuration);
    ++FSampleCount;
}

bool TVmProcessor::FetchFrame(int32_t Index, void* AudioBuffer, int32_t AudioSpace,
                              int32_t& AudioBytes) {
    AudioBytes = 0;
    if (!FVideoSource || FFrameBuffer.empty()) {
        return false;
    }
    bool ok = false;
    if (AudioBuffer != nullptr) {
        int32_t delivered = 0;
        ok = FVideoSource.ReadFrameAudio(Index, FFrameBuffer.data(), FPitch, AudioBuffer,
                                         AudioSpace, delivered);
        // The caller reads this many bytes from its buffer: never more than it offered.
        AudioBytes = std::clamp(delivered, 0, std::max(AudioSpace, 0));
    } else {
        ok = FVideoSource.ReadFrame(Index, FFrameBuffer.data(), FPitch);
    }
    if (ok) {
        SampleFrame(Index);
    } else {
        AudioBytes = 0;
    }
    return ok;
}

bool TVmProcessor::FetchFrame(int32_t Index) {
    int32_t audioBytes = 0;
    return FetchFrame(Index, nullptr, 0, audioBytes);
}

bool TVmProcessor::TakeThumbnail() {
    if (!FVideoSource || FFrameBuffer.empty() || FMeta == nullptr) {
        return false;
    }
    const bool ok = FVideoSource.ReadFrame(ThumbFrameIndex(FDuration), FFrameBuffer.data(), FPitch);
    std::vector<uint8_t> stream;
    if (!ok || !MakeThumbnailPNG(FFrameBuffer.data(), FWidth, FHeight, stream)) {
        return false;
    }
    FMeta->Streams().push_back(std::move(stream));
    return true;
}

bool TVmProcessor::CopySourceToOutput() const {
    if (FSourcePath.empty() || FOutputPath.empty()) {
        return false;
    }
    return FileCopy(LongPath(FSourcePath), LongPath(FOutputPath));
}

bool TVmProcessor::ImportStill(TTaskItem& Task) {
    Task.SetMessage("Importing still image...");
    if (!CopySourceToOutput()) {
        return false;
    }
    Task.SetMessage("Generating flipbook...");
    Task.SetProgress(100);
    // Only the flipbook image matters here; a failed read leaves the still without one.
    FetchFrame(0);
    Task.SetMessage("Flipbook generation complete.");
    return true;
}

bool TVmProcessor::ImportNative(TTaskItem& Task) {
    Task.SetMessage("Importing Lumenar Codec video...");
    if (!CopySourceToOutput()) {
        return false;
    }
    Task.SetMessage("Generating flipbook...");
    // Reads only the frames at the sample positions instead of decoding the whole clip.
    const int32_t reads = std::min(FDuration, SampleSteps);
    for (int32_t i = 0; i < reads; ++i) {
        Task.SetProgress(reads < 2 ? 100.0f : static_cast<float>(i) / (reads - 1) * 100.0f);
        FetchFrame(FNextSample);
    }
    Task.SetMessage("Flipbook generation complete.");
    return true;
}

bool TVmProcessor::ExtractCaptions(TTaskItem& Task) {
    if (!FVideoSource) {
        return false;
    }
    const int32_t captionType = FVideoSource.CaptionType();
    if (captionType != LvsCaptionCEA608 || FOutputPath.empty()) {
        return false;
    }
    TAVIMetadataFile file;
    if (!file.Create(FOutputPath + ".xmd", 0, TAVIMetadataFile::FlagCaptions)) {
        return false;
    }
    for (int32_t i = 0; i < FDuration; ++i) {
        uint8_t data[LvsCaptionBytes] = {};
        int32_t count = 0;
        FVideoSource.CaptionData(i, data, LvsCaptionBytes, count);
        // A frame without captions (or a short delivery) is recorded with its flag clear.
        file.WriteRecord(i, data, count);
        Task.SetProgress(static_cast<float>(i + 1) / FDuration * 100.0f);
    }
    // Records that could not be written show up here; the side file is then no use.
    return file.Close();
}

TVmProcessors::TVmProcessors() : TVmCollection("proc", "New Processor ") {}

TVmProcessors::~TVmProcessors() {
    Clear();
}

std::shared_ptr<TVmTarget> TVmProcessors::LookupTarget(const TGUID& Uid) const {
    return FTargetLookup ? FTargetLookup(Uid) : nullptr;
}

void TVmProcessors::RemoveTarget(const TVmTarget* Target) {
    for (const auto& processor : All()) {
        processor->RemoveTarget(Target);
    }
}

TVmProcessors::TItemPtr TVmProcessors::CreateItem(bool NewIdentity) {
    return std::make_shared<TVmProcessor>(this, false, NewIdentity);
}

void TVmProcessors::Detached(TVmProcessor& Item) {
    Item.SetOwner(nullptr);
}
