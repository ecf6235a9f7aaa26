#pragma once

// The job of one task: takes a queued media file through validation, the choice of its video
// handler, opening, classification, rendering (or copying), captions, the thumbnail, the mail
// record, delivery to every target of its processor and the filing of the source file. Every
// step shows itself to the managers as a state and a status message of the task.

#include <cstdint>
#include <memory>
#include <string>

#include "server/notify/lmVmMailInfo.h"
#include "server/transcode/lmVideoSourceHandlers.h"

class IVmFarm;
class TMetaItems;
struct TSourceFileItem;
class TTaskItem;
struct TVideoCodec;
class TVmProcessor;
class TVmSource;
class TVmTranscoder;

class TVmTranscodeJob {
  public:
    TVmTranscodeJob(TVmTranscoder& Transcoder, TTaskItem& Task, TVmSource& Source,
                    TVmProcessor& Processor);
    TVmTranscodeJob(const TVmTranscodeJob&) = delete;
    TVmTranscodeJob& operator=(const TVmTranscodeJob&) = delete;

    // Runs the job; returns with the task in a done state, its end time set and its media
    // released, whatever happened on the way.
    void Run();

    // The mail record, complete once Run has returned.
    std::unique_ptr<TMailInfo> TakeMail() { return std::move(FMail); }

  private:
    // How the output of a clip is produced.
    enum class TOutputKind { Still, Native, Render };

    void StartMailRecord();
    // The steps from validation to filing; they stop at the first that does not succeed, and
    // the task is "Finished" only when all did.
    void RunSteps();
    // These four answer false when they failed the task.
    bool Validate();
    bool PickHandler();
    bool OpenSource();
    // Takes the output codec, prepares the processor on the clip and writes its technical
    // metadata.
    bool PrepareClip();
    TOutputKind Classify();
    // Renders, or copies a still or a clip already in our codec; the task is "Transcoding"
    // afterwards only when that succeeded.
    void ProduceOutput();
    void Render();
    // A clip with captions gets its side file; failing that does not fail the task.
    void ExtractCaptions();
    // The output's size, codec and extension.
    void CompleteMetadata();
    void FillMailRecord();
    // False when the task was cancelled or a target failed.
    bool Deliver();
    // After delivery: removes the intermediate file and deletes the source file or files it as
    // finished.
    void FileFinished();
    // The failure tail: removes the intermediate file and files the source file as cancelled
    // or failed, keeping the reason as the task's message.
    void FileUnfinished();
    // Moves the source file into the folder; the task learns where it lies.
    void FileSource(const std::string& Folder);
    // Drops the job's and the processor's reference to the video source.
    void ReleaseVideoSource();
    // Sets the end time and frees the file's preview media (the targets have used them).
    void EndJob();

    // Farm mode: the state and message become the farm's while this engine holds the task's
    // lease; when it does not, the task is abandoned and false returned. Standalone: true.
    bool Commit(uint8_t State, const std::string& Message);
    // The lease went: the job's own intermediate file goes, nothing else is touched.
    void LeaveAbandoned();

    // Message, then state: as two changes.
    void Fail(const std::string& Text);
    // State and message as one change of the task.
    void EnterState(uint8_t State, const std::string& Text);

    TVmTranscoder& FTranscoder;
    IVmFarm* const FFarm;
    TTaskItem& FTask;
    TVmSource& FSource;
    TVmProcessor& FProcessor;
    TSourceFileItem& FFile;
    TMetaItems& FMeta;
    const std::string FSourcePath;
    std::unique_ptr<TMailInfo> FMail;
    TVideoSourceRef FVideo;
    bool FIsStill = false;
    // The extension the output is filed with.
    std::string FExtension;
    const TVideoCodec* FCodec = nullptr;
};
