#pragma once

// The transcoder: owns the task list with its worker pool, the video-source plug-ins and the
// list of installed compressors, and runs the job that takes one queued media file through
// validation, opening, rendering (or copying), captions, metadata, delivery to every target
// of its processor, clean-up and the move of the source file to its final folder.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxByteOrder.h"
#include "foundation/kxEventLinks.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/media/lmCompressorRegistry.h"
#include "server/notify/lmVmMailInfo.h"
#include "server/transcode/lmVideoSourceHandlers.h"
#include "server/transcode/lmVmAVIRenderer.h"

class TVmProcessor;
class TVmProject;
class TVmSource;

// One installed compressor: the display name it is created by and its friendly name.
struct TVideoCodec {
    std::string DisplayName;
    std::string FriendlyName;
};

class TVmTranscoder {
  public:
    // Clips whose plug-in reports this code are already in our codec and are copied as they are.
    static constexpr uint32_t NativeFourCC = FourCC("LMVC");
    static constexpr const char* OutputCodecName = "Lumenar Video Codec";
    static constexpr int32_t MaxBaseNameLength = 214;

    // Receives a finished job's mail record for the project's completion queue or, with
    // Failure set, its failure queue.
    using TMailHandOver =
        std::function<void(TVmProject& Project, bool Failure, std::unique_ptr<TMailInfo> Record)>;

    // Plug-ins come from PluginFolder, compressor modules from the render settings' codecs
    // folder (both with a trailing "/").
    TVmTranscoder(std::string PluginFolder, TAVIRenderSettings RenderSettings);
    // Stops the pool (waiting for running jobs), then releases the plug-ins and the compressor
    // modules.
    ~TVmTranscoder();
    TVmTranscoder(const TVmTranscoder&) = delete;
    TVmTranscoder& operator=(const TVmTranscoder&) = delete;

    // Loads the plug-ins and the compressor modules and fills the codec list. Called once,
    // before any task runs.
    void Start();

    TVmTaskList& TaskList() { return *FTaskList; }
    TVideoSourceHandlers& Handlers() { return FHandlers; }
    const std::vector<TVideoCodec>& Codecs() const { return FCodecs; }
    const TCompressorRegistry& Compressors() const { return FCompressors; }
    const TAVIRenderSettings& RenderSettings() const { return FRenderSettings; }
    // Relays every change event of the task list.
    TEventLinks<TTaskItem>& ChangeEvents() { return FChangeEvents; }
    // Jobs that ended in any state but "Finished" since start.
    int32_t FailureCount() const { return FFailureCount.load(); }

    // The first compressor whose friendly name contains OutputCodecName; none without one.
    const TVideoCodec* FindOutputCodec() const;

    // The job of one task (TVmTranscodeJob), on a worker thread; returns with the task in a
    // done state and its mail record handed over.
    void Job(TTaskItem& Task, TVmSource& Source, TVmProcessor& Processor);
    // Delivers the output to every target of the processor in order; false when one failed.
    bool ExecuteTargets(TTaskItem& Task, std::vector<TTargetResult>& TargetResults,
                        TVmProcessor& Processor);

    // Where mail records go instead of the project's queues (tests).
    void SetMailHandOver(TMailHandOver HandOver) { FMailHandOver = std::move(HandOver); }

    // "1.5 KB", "10 MB": four significant digits and a binary unit.
    static std::string SizeText(int64_t Size);

  private:
    void HandOverMail(TVmProject* Project, bool Failure, std::unique_ptr<TMailInfo> Record);

    const std::string FPluginFolder;
    const TAVIRenderSettings FRenderSettings;
    std::vector<TVideoCodec> FCodecs;
    TCompressorRegistry FCompressors;
    TVideoSourceHandlers FHandlers;
    TEventLinks<TTaskItem> FChangeEvents;
    std::atomic<int32_t> FFailureCount{0};
    TMailHandOver FMailHandOver;
    // Last, so that it stops its jobs while everything they use still exists.
    std::unique_ptr<TVmTaskList> FTaskList;
};
