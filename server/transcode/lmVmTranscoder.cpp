#include "server/transcode/lmVmTranscoder.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "foundation/kxLogFile.h"
#include "foundation/kxUnicode.h"
#include "foundation/lmTimeCode.h"
#include "plugins/interface/lmVideoSourceText.h"
#include "port/port.h"
#include "server/ingest/kxFileUtils.h"
#include "server/ingest/lmVmSource.h"
#include "server/media/lmCompressorRegistry.h"
#include "server/notify/lmVmProject.h"
#include "server/transcode/lmVmProcessor.h"

namespace {

// A plug-in error text longer than this is not a text but a broken plug-in.
constexpr int32_t MaxPluginErrorLength = 64 * 1024;

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

// The plug-in's error text. A length no text can have means the plug-in is broken; that is
// raised, like any other fault inside the job.
std::string ReadPluginError(IVideoSource& Source) {
    TPluginCallGuard guard;
    int32_t length = 0;
    if (Source.GetLastError(&length, nullptr) == LvsFalse || length == 0) {
        return {};
    }
    if (length < 0 || length > MaxPluginErrorLength) {
        throw std::runtime_error("the video handler reported an error text of " +
                                 std::to_string(length) + " characters");
    }
    std::u16string buffer(static_cast<size_t>(length) + 1, u'\0');
    if (Source.GetLastError(&length, buffer.data()) == LvsFalse) {
        return {};
    }
    buffer.resize(std::u16string_view(buffer.data()).size());
    return LvsToUtf8(buffer.c_str());
}

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

}  // namespace

TVmTranscoder::TVmTranscoder(std::string PluginFolder, TAVIRenderSettings RenderSettings)
    : FPluginFolder(std::move(PluginFolder)),
      FRenderSettings(std::move(RenderSettings)),
      FTaskList(std::make_unique<TVmTaskList>()) {
    FTaskList->SetJobEvent([this](TTaskItem& Task, TVmSource& Source, TVmProcessor& Processor) {
        Job(Task, Source, Processor);
    });
    FTaskList->ChangeEvents().Add([this](int32_t Code, TTaskItem* Task, int32_t Value) {
        FChangeEvents.Fire(Code, Task, Value);
    });
}

TVmTranscoder::~TVmTranscoder() {
    // Running jobs hold video sources; they must end before the plug-ins go.
    FTaskList.reset();
    FChangeEvents.Disable();
}

void TVmTranscoder::Start() {
    FHandlers.LoadPlugins(FPluginFolder);
    FCodecs.clear();
    for (const TCompressorInfo& info :
         TCompressorRegistry::Enumerate(FRenderSettings.CodecsFolder)) {
        FCodecs.push_back(TVideoCodec{info.DisplayName, info.FriendlyName});
    }
}

const TVideoCodec* TVmTranscoder::FindOutputCodec() const {
    for (const TVideoCodec& codec : FCodecs) {
        if (codec.FriendlyName.find(OutputCodecName) != std::string::npos) {
            return &codec;
        }
    }
    return nullptr;
}

std::string TVmTranscoder::SizeText(int64_t Size) {
    static const char* const units[] = {" B", " KB", " MB", " GB", " TB"};
    double value = static_cast<double>(Size);
    size_t k = 0;
    while (value >= 1024.0 && k < 4) {
        value /= 1024.0;
        ++k;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text + std::string(units[k]);
}

void TVmTranscoder::Job(TTaskItem& Task, TVmSource& Source, TVmProcessor& Processor) {
    Task.SetStartTime(NowDateTime());
    auto mail = std::make_unique<TMailInfo>();
    mail->FileName = Task.FileItem()->FullName();
    mail->SourceName = Source.Name();
    mail->StartTime = FormatDateTime(Task.StartTime());
    mail->FinalSize = "N/A";
    if (const std::shared_ptr<TVmSource>& live = Task.Source()) {
        if (std::shared_ptr<TVmProject> project = live->Project()) {
            mail->Project = project->Name();
        }
    }

    try {
        RunJob(Task, Source, Processor, *mail);
    } catch (const std::exception& error) {
        Task.BeginUpdate();
        Task.SetMessage(std::string("Exception during transcode: ") + error.what());
        Task.SetState(tsFailed);
        Task.EndUpdate();
    } catch (...) {
        Task.BeginUpdate();
        Task.SetMessage("Exception during transcode: unknown error");
        Task.SetState(tsFailed);
        Task.EndUpdate();
    }
    // The video source must go before the plug-ins can be unloaded, whatever happened.
    try {
        Processor.Prepare(nullptr, 0);
    } catch (...) {
    }

    Task.SetEndTime(NowDateTime());
    mail->EndTime = FormatDateTime(Task.EndTime());
    Task.ReleaseFileMedia();
    std::shared_ptr<TVmProject> project = Source.Project();
    if (Task.State() == tsFinished) {
        HandOverMail(project.get(), false, std::move(mail));
    } else {
        FFailureCount.fetch_add(1);
        const bool failure = !mail->AnyTargetPassed();
        HandOverMail(project.get(), failure, std::move(mail));
    }
}

void TVmTranscoder::HandOverMail(TVmProject* Project, bool Failure,
                                 std::unique_ptr<TMailInfo> Record) {
    if (Project == nullptr) {
        return;
    }
    if (FMailHandOver) {
        FMailHandOver(*Project, Failure, std::move(Record));
        return;
    }
    // Until mail batching is part of the server, a record reaches nobody and is dropped here;
    // a queue without recipients would drop it too.
}

void TVmTranscoder::RunJob(TTaskItem& Task, TVmSource& Source, TVmProcessor& Processor,
                           TMailInfo& Mail) {
    TSourceFileItem& file = *Task.FileItem();
    TMetaItems& meta = file.Meta;
    const std::string sourcePath = Source.QueuedFolder() + file.FullName();
    TVideoSourceRef video;
    bool isStill = false;

    auto fail = [&Task](const std::string& Text) {
        Task.SetMessage(Text);
        Task.SetState(tsFailed);
    };
    auto failBracketed = [&Task](uint8_t State, const std::string& Text) {
        Task.BeginUpdate();
        Task.SetState(State);
        Task.SetMessage(Text);
        Task.EndUpdate();
    };

    // The main part; returns with the task "Finished", or in any other state for the tail.
    auto mainPart = [&]() {
        Task.SetMessage("Validating file.");
        if (CharacterCount(BaseNameOf(file.FullName())) > MaxBaseNameLength) {
            fail("Filename exceeds " + std::to_string(MaxBaseNameLength) + " characters.");
            return;
        }
        isStill = TVideoSourceHandlers::IsStillImage(sourcePath);
        std::string ext;
        if (isStill) {
            Task.SetMessage("Processing still image.");
            ext = ExtensionWithoutStop(file.Extension);
        } else {
            Task.SetMessage("Retrieving video handler.");
            ext = std::string(MetaExtAVI);
        }
        video = FHandlers.GetVideoSource(sourcePath);
        if (!video) {
            fail("No valid video handler was found.");
            return;
        }
        Task.SetMessage("Opening source file.");
        bool opened;
        {
            TPluginCallGuard guard;
            // The path's bytes as they are on the disk, whether or not they are UTF-8.
            opened = video->Open(LvsPathToUtf16(sourcePath).c_str(), LvsOpenFlags) != LvsFalse;
        }
        if (!opened) {
            std::string text = ReadPluginError(*video);
            if (text.empty()) {
                text = "Codec not found.";
            }
            // A plug-in that reads the name as text alone cannot find such a file.
            if (!IsValidUTF8(file.FullName())) {
                text += " (the file name is not valid UTF-8)";
            }
            fail("Error opening source file: " + text);
            return;
        }
        const TVideoCodec* codec = FindOutputCodec();
        // A task of a source without a processor has no targets to produce an output for.
        if ((codec == nullptr && !isStill) || Task.Processor() == nullptr) {
            fail("Could not find output codec.");
            return;
        }
        Processor.SetMeta(&meta);
        if (!Processor.Prepare(video.get(), Source.Settings().DefaultFrameRate)) {
            // The processor names the reason (a clip without frames is not a rate problem).
            const std::string& reason = Processor.PrepareError();
            fail(reason.empty() ? std::string("Frame rate not supported.") : reason);
            return;
        }
        const std::string processingFolder = Source.ProcessingFolder();
        Processor.SetSourcePath(sourcePath);
        Processor.SetOutputPath(processingFolder + GUIDToString(Task.Uid()));
        Processor.SetOutputCodec(codec);
        Processor.WriteTechnicalMeta(meta, isStill);
        port::CreateFolders(processingFolder);

        Task.SetState(tsTranscoding);
        Task.SetMessage("Transcoding...");
        {
            TSamplingScope sampling(Processor);
            uint32_t fourCC;
            {
                TPluginCallGuard guard;
                fourCC = isStill ? 0 : video->GetCodecFourCC();
            }
            if (isStill) {
                if (!Processor.ImportStill(Task)) {
                    failBracketed(tsFailed, "Error importing still image.");
                }
            } else if (fourCC == NativeFourCC) {
                if (!Processor.ImportNative(Task)) {
                    failBracketed(tsFailed, "Error importing Lumenar Codec video.");
                }
            } else {
                TTaskItemRenderTask renderTask(Task);
                TProcessorRenderClip clip(Processor);
                std::unique_ptr<TAVIRenderer> renderer;
                try {
                    TAVIRenderSettings settings = FRenderSettings;
                    // With fewer workers than processors a processor would stand idle: the
                    // compressor then works on one while the next frame is read on another.
                    settings.CompressOnOwnThread =
                        FTaskList->Pool().TargetCount() < port::ProcessorCount();
                    renderer = std::make_unique<TAVIRenderer>(&renderTask, clip, settings);
                    renderer->Start();
                    renderer->WaitFor();
                    if (renderer->Cancelled()) {
                        failBracketed(tsCancelled, "Cancelled by user.");
                    } else if (renderer->Failed()) {
                        LogText("Rendering failed for " + sourcePath + ": " +
                                renderer->FailureReason());
                        failBracketed(tsFailed, "Rendering failed.");
                    }
                } catch (const std::exception& error) {
                    failBracketed(tsFailed, std::string("Error in renderer: ") + error.what());
                }
            }
        }
        if (Task.State() != tsTranscoding) {
            return;
        }

        int32_t captionType;
        {
            TPluginCallGuard guard;
            captionType = video->GetCaptionType();
        }
        if (captionType == LvsCaptionCEA608) {
            failBracketed(tsCaptioning, "Extracting Closed Captioning.");
            if (!Processor.ExtractCaptions(Task)) {
                Task.SetMessage("Failed extracting captioning.");
            }
        }
        if (Task.State() != tsTranscoding && Task.State() != tsCaptioning) {
            return;
        }

        Task.SetState(tsFiling);
        Processor.TakeThumbnail();

        const int64_t size = port::FileSize(Processor.OutputPath());
        meta.SetInt64(MetaFileSize, size < 0 ? 0 : size);
        Mail.FinalSize = SizeText(size < 0 ? 0 : size);
        meta.SetText(MetaCodec, isStill ? MetaCodecStill : MetaCodecLMVC);
        meta.SetText(MetaExt, ext);
        Mail.ClipName = meta.Item(MetaFileName).Value();
        Mail.AudioChannels = meta.Item(MetaAudioChannels).Value();
        Mail.BitDepth = meta.Item(MetaBitDepth).Value();

        int32_t frameDiv = meta.Item(MetaFrameDiv).AsInteger(0);
        if (frameDiv < 1) {
            frameDiv = 1;
        }
        const float rate = static_cast<float>(meta.Item(MetaFrameRate).AsInteger(0)) /
                           static_cast<float>(frameDiv);
        TTimeCodeObj timeCode;
        timeCode.SetFrameRate(static_cast<uint32_t>(std::lround(rate > 0 ? rate : 0)));
        const int32_t duration = meta.Item(MetaDuration).AsInteger(0);
        Mail.Length =
            timeCode.FrameToTimeCode(static_cast<uint32_t>(duration < 0 ? 0 : duration), true);
        Mail.Format = meta.Item(MetaWidth).Value() + "x" + meta.Item(MetaHeight).Value();
        if (rate > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%.5g", static_cast<double>(rate));
            Mail.Format += "@" + std::string(text);
        }
        Mail.Format += meta.Item(MetaFieldMode).AsInteger(0) != 0 ? "i" : "p";
        Mail.RecallID = meta.Item(MetaRecallID).AsText("-");
        std::string flags;
        if (meta.Item(MetaLoop).AsBoolean(false)) {
            flags += "LE ";
        }
        if (meta.Item(MetaHoldLast).AsBoolean(false)) {
            flags += "HF ";
        }
        if (meta.Item(MetaPremul).AsBoolean(false)) {
            flags += "PM ";
        }
        while (!flags.empty() && flags.back() == ' ') {
            flags.pop_back();
        }
        Mail.Flags = flags.empty() ? "-" : flags;
        if (!meta.Streams().empty()) {
            const std::vector<uint8_t>& thumb = meta.Streams().front();
            Mail.Thumbnail = TPNGImage::LoadFromStream(thumb.data(), thumb.size());
            FlattenOnCheckerboard(Mail.Thumbnail.get(), 8, 0x7C7C7C, 0x6C6C6C);
        }

        if (Task.CancelRequested()) {
            return;
        }
        if (!ExecuteTargets(Task, Mail.TargetResults, Processor)) {
            return;
        }

        Task.SetMessage("Deleting intermediate file.");
        port::DeleteFile(Processor.OutputPath());
        port::DeleteFile(Processor.OutputPath() + ".xmd");
        Processor.Prepare(nullptr, 0);
        video.reset();
        const TVmSourceSettings settings = Source.Settings();
        if (settings.ActOnCompletion && settings.CompletionMode == 1) {
            Task.SetMessage("Deleting source file.");
            if (!port::DeleteFile(sourcePath)) {
                LogText("Could not delete source file: " + sourcePath);
            }
        } else {
            Task.SetMessage("Moving source file to finished.");
            const std::string target = Source.CompletedFolder() + file.FullName();
            if (!FileMove(LongPath(sourcePath), LongPath(target))) {
                LogText("Could not move source file " + sourcePath + " to " + target);
            }
        }
        Task.SetMessage("Completed.");
        Task.SetState(tsFinished);
    };

    mainPart();
    if (Task.State() == tsFinished) {
        return;
    }

    // The failure tail.
    Processor.Prepare(nullptr, 0);
    video.reset();
    const bool cancelled = Task.CancelRequested();
    if (cancelled) {
        Task.SetMessage("Cancelled by user.");
        Task.SetState(tsCancelled);
    }
    const std::string reason = Task.Message();
    Task.SetMessage("Deleting intermediate file.");
    if (!Processor.OutputPath().empty()) {
        port::DeleteFile(Processor.OutputPath());
    }
    const std::string folder = cancelled ? Source.CancelledFolder() : Source.FailedFolder();
    Task.SetMessage(cancelled ? "Moving source file to cancelled."
                              : "Moving source file to failed.");
    const std::string target = folder + file.FullName();
    if (!FileMove(LongPath(sourcePath), LongPath(target))) {
        LogText("Could not move source file " + sourcePath + " to " + target);
    }
    Task.SetMessage(reason);
    Mail.FailReason = reason;
}

bool TVmTranscoder::ExecuteTargets(TTaskItem& Task, std::vector<TTargetResult>& TargetResults,
                                   TVmProcessor& Processor) {
    bool ok = true;
    std::string errors;
    const TMetaItems& meta = Task.FileItem()->Meta;
    for (const std::shared_ptr<TVmTarget>& target : Processor.Targets()) {
        const std::string name = target->Name();
        try {
            if (target->Deliver(Processor.OutputPath(), Task, meta)) {
                TargetResults.push_back({name, true});
            } else {
                const std::string text = target->LastError() + " \"" + name + "\"";
                if (errors.empty()) {
                    errors = text;
                    Task.SetMessage("Error executing target: " + errors);
                } else {
                    errors += "; " + text;
                    Task.SetMessage("Error executing targets: " + errors);
                }
                TargetResults.push_back({name, false});
                ok = false;
            }
        } catch (const std::exception& error) {
            Task.SetMessage("Exception during target execution (" + name + "): " + error.what());
            Task.SetState(tsFailed);
            ok = false;
            break;
        }
        if (Task.CancelRequested()) {
            break;
        }
    }
    if (!ok) {
        Task.SetState(tsFailed);
    }
    return ok;
}
