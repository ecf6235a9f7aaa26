#include "server/transcode/lmVmTranscodeJob.h"

#include <cmath>
#include <cstdio>
#include <exception>

#include "foundation/kxLogFile.h"
#include "foundation/kxUnicode.h"
#include "foundation/lmTimeCode.h"
#include "port/port.h"
#include "server/farm/lmVmFarmLink.h"
#include "server/ingest/kxFileUtils.h"
#include "server/ingest/lmVmSource.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/notify/lmVmProject.h"
#include "server/transcode/lmVmAVIRenderer.h"
#include "server/transcode/lmVmProcessor.h"
#include "server/transcode/lmVmTranscoder.h"

namespace {

// Where the job finds the media file: farm tasks lie under a name of their own.
std::string SourcePathOf(const IVmFarm* Farm, const TTaskItem& Task, const TVmSource& Source) {
    if (Farm && !Task.FilePath().empty()) {
        return Task.FilePath();
    }
    return Source.QueuedFolder() + Task.FileItem()->FullName();
}

// The renderer's view of the job's processor.
class TProcessorRenderClip final : public IAVIRenderClip {
  public:
    explicit TProcessorRenderClip(TVmProcessor& Processor) : FProcessor(Processor) {}
    int32_t Width() const override { return FProcessor.Width(); }
    int32_t Height() const override { return FProcessor.Height(); }
    int32_t BitDepth() const override { return FProcessor.BitDepth(); }
    int32_t FrameRateIndex() const override { return FProcessor.FrameRateIndex(); }
    int32_t AudioChannels() const override { return FProcessor.AudioChannels(); }
    int32_t FieldMode() const override { return FProcessor.FieldMode(); }
    int32_t Duration() const override { return FProcessor.Duration(); }
    std::string OutputPath() const override { return FProcessor.OutputPath(); }
    std::string CodecDisplayName() const override {
        const TVideoCodec* codec = FProcessor.OutputCodec();
        return codec != nullptr ? codec->DisplayName : std::string();
    }
    bool FetchFrame(int32_t Index, uint8_t* AudioBuffer, int32_t AudioSpace,
                    int32_t& AudioBytes) override {
        return FProcessor.FetchFrame(Index, AudioBuffer, AudioSpace, AudioBytes);
    }
    const uint8_t* FrameBuffer() const override { return FProcessor.FrameBuffer(); }

  private:
    TVmProcessor& FProcessor;
};

// Sampling for the flipbook stays on only while the output is produced.
class TSamplingScope {
  public:
    explicit TSamplingScope(TVmProcessor& Processor) : FProcessor(Processor) {
        FProcessor.StartSampling();
    }
    ~TSamplingScope() { FProcessor.StopSampling(); }
    TSamplingScope(const TSamplingScope&) = delete;
    TSamplingScope& operator=(const TSamplingScope&) = delete;

  private:
    TVmProcessor& FProcessor;
};

std::string BaseNameOf(const std::string& Name) {
    TSourceFileItem item;
    item.SetFileName(Name);
    return item.BaseName;
}

size_t CharacterCount(const std::string& Text) {
    size_t count = 0;
    for (unsigned char c : Text) {
        count += (c & 0xC0) != 0x80;
    }
    return count;
}

std::string ExtensionWithoutStop(const std::string& Extension) {
    return Extension.empty() || Extension[0] != '.' ? Extension : Extension.substr(1);
}

// Frames per second as the metadata gives them; 0 for a still.
float MetaFrameRateOf(const TMetaItems& Meta) {
    int32_t frameDiv = Meta.Item(MetaFrameDiv).AsInteger(0);
    if (frameDiv < 1) {
        frameDiv = 1;
    }
    return static_cast<float>(Meta.Item(MetaFrameRate).AsInteger(0)) / static_cast<float>(frameDiv);
}

// "1920x1080@29.97i", "800x600p".
std::string FormatText(const TMetaItems& Meta, float Rate) {
    std::string format = Meta.Item(MetaWidth).Value() + "x" + Meta.Item(MetaHeight).Value();
    if (Rate > 0) {
        char text[32];
        std::snprintf(text, sizeof text, "%.5g", static_cast<double>(Rate));
        format += "@" + std::string(text);
    }
    format += Meta.Item(MetaFieldMode).AsInteger(0) != 0 ? "i" : "p";
    return format;
}

// "LE HF PM" for loop, hold last frame and premultiplied alpha; "-" for none.
std::string FlagsText(const TMetaItems& Meta) {
    std::string flags;
    if (Meta.Item(MetaLoop).AsBoolean(false)) {
        flags += "LE ";
    }
    if (Meta.Item(MetaHoldLast).AsBoolean(false)) {
        flags += "HF ";
    }
    if (Meta.Item(MetaPremul).AsBoolean(false)) {
        flags += "PM ";
    }
    while (!flags.empty() && flags.back() == ' ') {
        flags.pop_back();
    }
    return flags.empty() ? "-" : flags;
}

}  // namespace

TVmTranscodeJob::TVmTranscodeJob(TVmTranscoder& Transcoder, TTaskItem& Task, TVmSource& Source,
                                 TVmProcessor& Processor)
    : FTranscoder(Transcoder),
      FFarm(Transcoder.TaskList().Farm()),
      FTask(Task),
      FSource(Source),
      FProcessor(Processor),
      FFile(*Task.FileItem()),
      FMeta(FFile.Meta),
      FSourcePath(SourcePathOf(FFarm, Task, Source)),
      FMail(std::make_unique<TMailInfo>()) {}

// The one place that sees the task into a done state: the steps end it as "Finished", the
// failure tail as "Cancelled" or "Failed", and an exception from any of them as "Failed" with
// the source file left where it is.
void TVmTranscodeJob::Run() {
    FTask.SetStartTime(NowDateTime());
    StartMailRecord();
    try {
        RunSteps();
        if (FTask.State() != tsFinished) {
            FileUnfinished();
        }
    } catch (const std::exception& error) {
        EnterState(tsFailed, std::string("Exception during transcode: ") + error.what());
    } catch (...) {
        EnterState(tsFailed, "Exception during transcode: unknown error");
    }
    // The video source must go before the plug-ins can be unloaded, whatever happened.
    ReleaseVideoSource();
    EndJob();
}

void TVmTranscodeJob::StartMailRecord() {
    FMail->FileName = FFile.FullName();
    FMail->SourceName = FSource.Name();
    FMail->StartTime = FormatDateTime(FTask.StartTime());
    FMail->FinalSize = "N/A";
    if (const std::shared_ptr<TVmSource>& live = FTask.Source()) {
        if (std::shared_ptr<TVmProject> project = live->Project()) {
            FMail->Project = project->Name();
        }
    }
}

void TVmTranscodeJob::RunSteps() {
    if (!Validate() || !PickHandler() || !OpenSource() || !PrepareClip()) {
        return;
    }
    ProduceOutput();
    if (FTask.State() != tsTranscoding) {
        return;
    }
    ExtractCaptions();
    if (FTask.State() != tsTranscoding && FTask.State() != tsCaptioning) {
        return;
    }
    FTask.SetState(tsFiling);
    FProcessor.TakeThumbnail();
    CompleteMetadata();
    FillMailRecord();
    // The output is whole under a name of this claim: the farm hears of it before anything
    // leaves this engine.
    if (!Commit(tsFiling, FTask.Message()) || !Deliver()) {
        return;
    }
    FileFinished();
}

bool TVmTranscodeJob::Validate() {
    FTask.SetMessage("Validating file.");
    const int32_t limit = TVmTranscoder::MaxBaseNameLength;
    if (CharacterCount(BaseNameOf(FFile.FullName())) > static_cast<size_t>(limit)) {
        Fail("Filename exceeds " + std::to_string(limit) + " characters.");
        return false;
    }
    return true;
}

bool TVmTranscodeJob::PickHandler() {
    FIsStill = TVideoSourceHandlers::IsStillImage(FSourcePath);
    if (FIsStill) {
        FTask.SetMessage("Processing still image.");
        FExtension = ExtensionWithoutStop(FFile.Extension);
    } else {
        FTask.SetMessage("Retrieving video handler.");
        FExtension = std::string(MetaExtAVI);
    }
    FVideo = FTranscoder.Handlers().GetVideoSource(FSourcePath);
    if (!FVideo) {
        Fail("No valid video handler was found.");
        return false;
    }
    return true;
}

bool TVmTranscodeJob::OpenSource() {
    FTask.SetMessage("Opening source file.");
    if (FVideo.Open(FSourcePath)) {
        return true;
    }
    std::string text = FVideo.LastError();
    if (text.empty()) {
        text = "Codec not found.";
    }
    // A plug-in that reads the name as text alone cannot find such a file.
    if (!IsValidUTF8(FFile.FullName())) {
        text += " (the file name is not valid UTF-8)";
    }
    Fail("Error opening source file: " + text);
    return false;
}

bool TVmTranscodeJob::PrepareClip() {
    FCodec = FTranscoder.FindOutputCodec();
    // A task of a source without a processor has no targets to produce an output for.
    if ((FCodec == nullptr && !FIsStill) || FTask.Processor() == nullptr) {
        Fail("Could not find output codec.");
        return false;
    }
    FProcessor.SetMeta(&FMeta);
    if (!FProcessor.Prepare(FVideo.Share(), FSource.Settings().DefaultFrameRate)) {
        // The processor names the reason (a clip without frames is not a rate problem).
        const std::string& reason = FProcessor.PrepareError();
        Fail(reason.empty() ? std::string("Frame rate not supported.") : reason);
        return false;
    }
    const std::string processingFolder = FSource.ProcessingFolder();
    FProcessor.SetSourcePath(FSourcePath);
    FProcessor.SetOutputPath(processingFolder +
                             (FFarm ? FFarm->IntermediateName(FTask) : GUIDToString(FTask.Uid())));
    FProcessor.SetOutputCodec(FCodec);
    FProcessor.WriteTechnicalMeta(FMeta, FIsStill);
    port::CreateFolders(processingFolder);
    return true;
}

TVmTranscodeJob::TOutputKind TVmTranscodeJob::Classify() {
    if (FIsStill) {
        return TOutputKind::Still;
    }
    return FVideo.CodecFourCC() == TVmTranscoder::NativeFourCC ? TOutputKind::Native
                                                               : TOutputKind::Render;
}

void TVmTranscodeJob::ProduceOutput() {
    FTask.SetState(tsTranscoding);
    FTask.SetMessage("Transcoding...");
    TSamplingScope sampling(FProcessor);
    switch (Classify()) {
        case TOutputKind::Still:
            if (!FProcessor.ImportStill(FTask)) {
                EnterState(tsFailed, "Error importing still image.");
            }
            break;
        case TOutputKind::Native:
            if (!FProcessor.ImportNative(FTask)) {
                EnterState(tsFailed, "Error importing Lumenar Codec video.");
            }
            break;
        case TOutputKind::Render:
            Render();
            break;
    }
}

void TVmTranscodeJob::Render() {
    TTaskItemRenderTask renderTask(FTask);
    TProcessorRenderClip clip(FProcessor);
    try {
        TAVIRenderSettings settings = FTranscoder.RenderSettings();
        settings.Compressors = &FTranscoder.Compressors();
        // With fewer workers than processors a processor would stand idle: the compressor then
        // works on one while the next frame is read on another.
        settings.CompressOnOwnThread =
            FTranscoder.TaskList().Pool().TargetCount() < port::ProcessorCount();
        TAVIRenderer renderer(&renderTask, clip, settings);
        renderer.Start();
        renderer.WaitFor();
        if (renderer.Cancelled()) {
            EnterState(tsCancelled, "Cancelled by user.");
        } else if (renderer.Failed()) {
            LogText("Rendering failed for " + FSourcePath + ": " + renderer.FailureReason());
            EnterState(tsFailed, "Rendering failed.");
        }
    } catch (const std::exception& error) {
        EnterState(tsFailed, std::string("Error in renderer: ") + error.what());
    }
}

void TVmTranscodeJob::ExtractCaptions() {
    if (FVideo.CaptionType() != LvsCaptionCEA608) {
        return;
    }
    EnterState(tsCaptioning, "Extracting Closed Captioning.");
    if (!FProcessor.ExtractCaptions(FTask)) {
        // The clip goes on without its side file.
        FTask.SetMessage("Failed extracting captioning.");
    }
}

void TVmTranscodeJob::CompleteMetadata() {
    const int64_t size = port::FileSize(FProcessor.OutputPath());
    FMeta.SetInt64(MetaFileSize, size < 0 ? 0 : size);
    FMeta.SetText(MetaCodec, FIsStill ? MetaCodecStill : MetaCodecLMVC);
    FMeta.SetText(MetaExt, FExtension);
}

void TVmTranscodeJob::FillMailRecord() {
    FMail->FinalSize = TVmTranscoder::SizeText(FMeta.Item(MetaFileSize).AsInt64(0));
    FMail->ClipName = FMeta.Item(MetaFileName).Value();
    FMail->AudioChannels = FMeta.Item(MetaAudioChannels).Value();
    FMail->BitDepth = FMeta.Item(MetaBitDepth).Value();

    const float rate = MetaFrameRateOf(FMeta);
    TTimeCodeObj timeCode;
    timeCode.SetFrameRate(static_cast<uint32_t>(std::lround(rate > 0 ? rate : 0)));
    const int32_t duration = FMeta.Item(MetaDuration).AsInteger(0);
    FMail->Length =
        timeCode.FrameToTimeCode(static_cast<uint32_t>(duration < 0 ? 0 : duration), true);
    FMail->Format = FormatText(FMeta, rate);
    FMail->RecallID = FMeta.Item(MetaRecallID).AsText("-");
    FMail->Flags = FlagsText(FMeta);
    if (!FMeta.Streams().empty()) {
        const std::vector<uint8_t>& thumb = FMeta.Streams().front();
        FMail->Thumbnail = TPNGImage::LoadFromStream(thumb.data(), thumb.size());
        FlattenOnCheckerboard(FMail->Thumbnail.get(), 8, 0x7C7C7C, 0x6C6C6C);
    }
}

bool TVmTranscodeJob::Deliver() {
    // A farm engine that may have been cut off delivers nothing: another engine may have the
    // task by now.
    if (FFarm && !FFarm->Holds(FTask)) {
        FTask.Abandon();
    }
    if (FTask.CancelRequested()) {
        return false;
    }
    return FTranscoder.ExecuteTargets(FTask, FMail->TargetResults, FProcessor);
}

void TVmTranscodeJob::FileFinished() {
    FTask.SetMessage("Deleting intermediate file.");
    port::DeleteFile(FProcessor.OutputPath());
    port::DeleteFile(FProcessor.OutputPath() + ".xmd");
    ReleaseVideoSource();
    // Delivered: the farm's record says so before the source file moves, so a crash in
    // between leaves a finished task whose file its engine files at its next start.
    if (!Commit(tsFinished, "Completed.")) {
        return;
    }
    const TVmSourceSettings settings = FSource.Settings();
    if (settings.ActOnCompletion && settings.CompletionMode == 1) {
        FTask.SetMessage("Deleting source file.");
        if (port::DeleteFile(FSourcePath)) {
            FTask.SetFilePath(std::string());
            if (FFarm) {
                FFarm->Filed(FTask, std::string());
            }
        } else {
            LogText("Could not delete source file: " + FSourcePath);
        }
    } else {
        FTask.SetMessage("Moving source file to finished.");
        FileSource(FSource.CompletedFolder());
    }
    FTask.SetMessage("Completed.");
    FTask.SetState(tsFinished);
}

void TVmTranscodeJob::FileUnfinished() {
    ReleaseVideoSource();
    if (FTask.Abandoned()) {
        LeaveAbandoned();
        return;
    }
    const bool cancelled = FTask.CancelRequested();
    if (cancelled) {
        FTask.SetMessage("Cancelled by user.");
        FTask.SetState(tsCancelled);
    }
    const std::string reason = FTask.Message();
    if (!Commit(cancelled ? tsCancelled : tsFailed, reason)) {
        LeaveAbandoned();
        return;
    }
    FTask.SetMessage("Deleting intermediate file.");
    if (!FProcessor.OutputPath().empty()) {
        port::DeleteFile(FProcessor.OutputPath());
    }
    const std::string folder = cancelled ? FSource.CancelledFolder() : FSource.FailedFolder();
    FTask.SetMessage(cancelled ? "Moving source file to cancelled."
                               : "Moving source file to failed.");
    FileSource(folder);
    FTask.SetMessage(reason);
    FMail->FailReason = reason;
}

void TVmTranscodeJob::FileSource(const std::string& Folder) {
    const std::string target = Folder + FFile.FullName();
    if (FileMove(LongPath(FSourcePath), LongPath(target))) {
        FTask.SetFilePath(target);
        if (FFarm) {
            FFarm->Filed(FTask, target);
        }
    } else {
        LogText("Could not move source file " + FSourcePath + " to " + target);
    }
}

void TVmTranscodeJob::ReleaseVideoSource() {
    FProcessor.ReleaseVideoSource();
    FVideo.Release();
}

void TVmTranscodeJob::EndJob() {
    FTask.SetEndTime(NowDateTime());
    FMail->EndTime = FormatDateTime(FTask.EndTime());
    FTask.ReleaseFileMedia();
}

bool TVmTranscodeJob::Commit(uint8_t State, const std::string& Message) {
    if (!FFarm || FFarm->Commit(FTask, State, Message)) {
        return true;
    }
    FTask.Abandon();
    return false;
}

void TVmTranscodeJob::LeaveAbandoned() {
    LogText("Farm: the job of task " + GUIDToString(FTask.Uid()) + " (\"" + FFile.FullName() +
            "\") ends and leaves its files alone: the task's lease was lost.");
    if (!FProcessor.OutputPath().empty()) {
        port::DeleteFile(FProcessor.OutputPath());
        port::DeleteFile(FProcessor.OutputPath() + ".xmd");
    }
    EnterState(tsFailed, "The lease of this task was lost: it went to another engine.");
}

void TVmTranscodeJob::Fail(const std::string& Text) {
    FTask.SetMessage(Text);
    FTask.SetState(tsFailed);
}

void TVmTranscodeJob::EnterState(uint8_t State, const std::string& Text) {
    FTask.BeginUpdate();
    FTask.SetState(State);
    FTask.SetMessage(Text);
    FTask.EndUpdate();
}
