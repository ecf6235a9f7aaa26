// The transcoder's job driven end to end through the synthetic clip plug-in: the outcomes,
// their messages in order, where the source file ends, the intermediate files, the mail record
// and its queue, delivery to several targets, cancels and the exception path.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ingest/IngestTestFolder.h"
#include "server/core/lmVmPixelLibrary.h"
#include "server/ingest/lmVmSource.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/notify/lmVmProject.h"
#include "server/transcode/lmVmProcessor.h"
#include "server/transcode/lmVmTranscoder.h"

namespace {

namespace fs = std::filesystem;

struct TMailCapture {
    bool Failure = false;
    std::unique_ptr<TMailInfo> Record;
};

class TranscoderJob : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Pixels.Load(std::string(LMV_STAGE_DIR) + "/bin/"));
        Source = std::make_shared<TVmSource>(nullptr, true);
        Source->SetName("Drop box");
        Source->SetWatchFolder(Work / "watch");
        Source->SetProject(Project);
        Project->SetName("Promos");
        Processor = std::make_shared<TVmProcessor>(nullptr, false, true);
        Source->SetProcessor(Processor);
        AddFolderTarget("Main", Work / "out/");
    }

    std::shared_ptr<TVmTarget> AddFolderTarget(const std::string& Name, const std::string& Folder) {
        auto target = std::make_shared<TVmTarget>(true);
        target->SetName(Name);
        target->SetFolder(Folder);
        Targets.push_back(target);
        Processor->AddTarget(target);
        return target;
    }

    std::unique_ptr<TVmTranscoder> MakeTranscoder(bool WithCodecs = true) {
        TAVIRenderSettings render;
        render.CodecsFolder =
            WithCodecs ? std::string(LMV_STAGE_DIR) + "/codecs/" : Work / "no-codecs/";
        render.Move32b24b = Pixels.Move32b24b();
        auto transcoder =
            std::make_unique<TVmTranscoder>(std::string(LMV_SYNTH_PLUGIN_DIR) + "/", render);
        transcoder->Start();
        transcoder->SetMailHandOver(
            [this](TVmProject& Into, bool Failure, std::unique_ptr<TMailInfo> Record) {
                EXPECT_EQ(&Into, Project.get());
                std::lock_guard lock(MailLock);
                Mail.push_back({Failure, std::move(Record)});
            });
        transcoder->ChangeEvents().Add([this](int32_t Code, TTaskItem* Task, int32_t) {
            if (Code != TaskEventChanged) {
                return;
            }
            std::lock_guard lock(MailLock);
            const std::string message = Task->Message();
            if (!message.empty() && (Messages.empty() || Messages.back() != message)) {
                Messages.push_back(message);
            }
            if (OnChange) {
                OnChange(*Task);
            }
        });
        return transcoder;
    }

    // Puts the file into the queued folder, queues it and waits until its job has ended.
    TTaskItem* Run(TVmTranscoder& Transcoder, const std::string& Name, const std::string& Bytes) {
        WriteFile(Source->QueuedFolder() + Name, Bytes);
        auto item = std::make_unique<TSourceFileItem>();
        item->SetFileName(Name);
        Source->ParseFileName(*item);
        TTaskItem* task = Transcoder.TaskList().AddTask(Source, std::move(item));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((!IsDoneState(task->State()) || task->Running() ||
                Transcoder.TaskList().BusyCount() > 0) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(IsDoneState(task->State()));
        return task;
    }

    // The role folder (or the watch folder) that holds the file; every file must be in one.
    std::string WhereIs(const std::string& Name) {
        std::vector<std::string> found;
        const std::pair<const char*, std::string> places[] = {
            {"watch", Source->WatchFolder()},         {"queued", Source->QueuedFolder()},
            {"completed", Source->CompletedFolder()}, {"failed", Source->FailedFolder()},
            {"cancelled", Source->CancelledFolder()},
        };
        for (const auto& [label, folder] : places) {
            if (Exists(folder + Name)) {
                found.push_back(label);
            }
        }
        return found.size() == 1 ? found[0] : found.empty() ? "nowhere" : "several";
    }

    std::vector<std::string> ProcessingFiles() {
        std::vector<std::string> names;
        if (fs::exists(Source->ProcessingFolder())) {
            for (const auto& entry : fs::directory_iterator(Source->ProcessingFolder())) {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }

    TTestFolder Work;
    TVmPixelLibrary Pixels;
    std::shared_ptr<TVmProject> Project = std::make_shared<TVmProject>(nullptr, true);
    std::shared_ptr<TVmSource> Source;
    std::shared_ptr<TVmProcessor> Processor;
    std::vector<std::shared_ptr<TVmTarget>> Targets;
    std::mutex MailLock;
    std::vector<TMailCapture> Mail;
    std::vector<std::string> Messages;
    std::function<void(TTaskItem&)> OnChange;
};

TEST_F(TranscoderJob, ClipIsRenderedDeliveredAndFiledWithItsMailRecord) {
    auto transcoder = MakeTranscoder();
    ASSERT_NE(transcoder->FindOutputCodec(), nullptr);
    TTaskItem* task = Run(*transcoder, "Promo spot.synth", "width=64 height=48 frames=10 rate=25");
    EXPECT_EQ(task->State(), tsFinished) << task->Message();
    EXPECT_EQ(task->Message(), "Completed.");
    const std::vector<std::string> expected = {
        "Validating file.", "Retrieving video handler.",   "Opening source file.",
        "Transcoding...",   "Deleting intermediate file.", "Moving source file to finished.",
        "Completed."};
    EXPECT_EQ(Messages, expected);
    EXPECT_EQ(WhereIs("Promo spot.synth"), "completed");
    EXPECT_TRUE(ProcessingFiles().empty());
    const std::string avi = ReadFile(Work / "out/Promo spot.avi");
    ASSERT_GT(avi.size(), 12u);
    EXPECT_EQ(avi.substr(0, 4), "RIFF");
    EXPECT_EQ(avi.substr(8, 4), "AVI ");

    const TMetaItems& meta = task->FileItem()->Meta;
    EXPECT_EQ(meta.Item("codec").Value(), "LMVC");
    EXPECT_EQ(meta.Item("ext").Value(), "avi");
    EXPECT_EQ(meta.Item("filesize").AsInt64(), static_cast<int64_t>(avi.size()));
    EXPECT_EQ(transcoder->FailureCount(), 0);

    ASSERT_EQ(Mail.size(), 1u);
    const TMailInfo& mail = *Mail[0].Record;
    EXPECT_FALSE(Mail[0].Failure);
    EXPECT_EQ(mail.FileName, "Promo spot.synth");
    EXPECT_EQ(mail.SourceName, "Drop box");
    EXPECT_EQ(mail.Project, "Promos");
    EXPECT_EQ(mail.ClipName, "Promo spot");
    EXPECT_EQ(mail.FinalSize, TVmTranscoder::SizeText(static_cast<int64_t>(avi.size())));
    EXPECT_EQ(mail.Format, "64x48@25p");
    EXPECT_EQ(mail.Length, "00:00:00.10");
    EXPECT_EQ(mail.RecallID, "-");
    EXPECT_EQ(mail.Flags, "-");
    EXPECT_EQ(mail.FailReason, "");
    ASSERT_EQ(mail.TargetResults.size(), 1u);
    EXPECT_EQ(mail.TargetResults[0].Name, "Main");
    EXPECT_TRUE(mail.TargetResults[0].Passed);
    ASSERT_NE(mail.Thumbnail, nullptr);
    // Flattened onto the checkerboard: nothing transparent is left.
    EXPECT_EQ(mail.Thumbnail->Pixels()[3], 255);
}

TEST_F(TranscoderJob, InterlacedClipWithAudioAndCaptionsKeepsItsSideFile) {
    auto transcoder = MakeTranscoder();
    TTaskItem* task = Run(*transcoder, "news.synth",
                          "width=64 height=48 frames=12 rate=29.97 interlaced=1 fieldorder=1 "
                          "audio=2 captions=1");
    EXPECT_EQ(task->State(), tsFinished) << task->Message();
    EXPECT_NE(std::find(Messages.begin(), Messages.end(), "Extracting Closed Captioning."),
              Messages.end());
    ASSERT_EQ(Mail.size(), 1u);
    EXPECT_EQ(Mail[0].Record->Format, "64x48@29.97i");
    EXPECT_EQ(Mail[0].Record->AudioChannels, "2");
    EXPECT_TRUE(Exists(Work / "out/news.avi"));
    // The side file: its header, then a record of the synthetic clip's two caption bytes for
    // every frame.
    std::string expected("avim\1\0\0\0\1\0\0\0\0\0\0\0\7\0\0\0", 20);
    expected.resize(52, '\0');
    for (int frame = 0; frame < 12; ++frame) {
        const char record[7] = {
            static_cast<char>(frame), 0, 0, 0, 1, static_cast<char>(0x80 | frame),
            static_cast<char>(0x80)};
        expected.append(record, sizeof record);
    }
    EXPECT_EQ(ReadFile(Work / "out/news.xmd"), expected);
    EXPECT_TRUE(ProcessingFiles().empty());
}

// The bytes of a name that is not UTF-8 name the file in every folder and reach the plug-in.
TEST_F(TranscoderJob, FileNameThatIsNotUTF8IsReadAndFiledUnderItsBytes) {
    auto transcoder = MakeTranscoder();
    const std::string name = "caf\xe9.synth";
    TTaskItem* task = Run(*transcoder, name, "width=64 height=48 frames=3 rate=25");
    EXPECT_EQ(task->State(), tsFinished) << task->Message();
    EXPECT_EQ(WhereIs(name), "completed");
    EXPECT_TRUE(Exists(Work / "out/caf\xe9.avi"));
    EXPECT_TRUE(ProcessingFiles().empty());
}

TEST_F(TranscoderJob, StillsAndNativeClipsAreCopiedAsTheyAre) {
    auto transcoder = MakeTranscoder();
    const std::string still = "width=80 height=60 frames=1 rate=none";
    TTaskItem* task = Run(*transcoder, "Logo.PNG", still);
    EXPECT_EQ(task->State(), tsFinished) << task->Message();
    EXPECT_EQ(ReadFile(Work / "out/Logo.PNG"), still);
    EXPECT_EQ(task->FileItem()->Meta.Item("codec").Value(), "STILL");
    EXPECT_EQ(task->FileItem()->Meta.Item("ext").Value(), "PNG");
    EXPECT_EQ(WhereIs("Logo.PNG"), "completed");

    const std::string native = "width=64 height=48 frames=5 rate=25 fourcc=LMVC";
    task = Run(*transcoder, "native.synth", native);
    EXPECT_EQ(task->State(), tsFinished) << task->Message();
    EXPECT_EQ(ReadFile(Work / "out/native.avi"), native);
    EXPECT_NE(std::find(Messages.begin(), Messages.end(), "Importing Lumenar Codec video..."),
              Messages.end());
    ASSERT_EQ(Mail.size(), 2u);
    EXPECT_EQ(Mail[0].Record->Format, "80x60p");
}

struct FailureCase {
    std::string Name;
    std::string Descriptor;
    std::string Message;
};

TEST_F(TranscoderJob, EveryFailureEndsInTheFailedFolderWithItsMessage) {
    auto transcoder = MakeTranscoder();
    const std::vector<FailureCase> cases = {
        {std::string(215, 'n') + ".synth", "frames=3", "Filename exceeds 214 characters."},
        {"unknown.bmp", "frames=3", "No valid video handler was found."},
        {"badopen.synth", "openerror=Bad header in file",
         "Error opening source file: Bad header in file"},
        {"silent.synth", "openerror=", "Error opening source file: Codec not found."},
        {"latin\xe9.synth", "openerror=Bad header in file",
         "Error opening source file: Bad header in file (the file name is not valid UTF-8)"},
        {"oddrate.synth", "rate=7", "Frame rate not supported."},
        {"empty.synth", "frames=0", "Source has no video frames."},
        {"badframe.synth", "frames=8 failframe=4", "Rendering failed."},
    };
    int32_t failures = 0;
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.Message);
        Messages.clear();
        TTaskItem* task = Run(*transcoder, c.Name, c.Descriptor);
        EXPECT_EQ(task->State(), tsFailed);
        EXPECT_EQ(task->Message(), c.Message);
        EXPECT_EQ(WhereIs(c.Name), "failed");
        EXPECT_TRUE(ProcessingFiles().empty());
        ASSERT_GE(Messages.size(), 4u);
        const std::vector<std::string> tail(Messages.end() - 4, Messages.end());
        EXPECT_EQ(tail, (std::vector<std::string>{c.Message, "Deleting intermediate file.",
                                                  "Moving source file to failed.", c.Message}));
        EXPECT_EQ(transcoder->FailureCount(), ++failures);
        ASSERT_EQ(Mail.size(), static_cast<size_t>(failures));
        EXPECT_TRUE(Mail.back().Failure);
        EXPECT_EQ(Mail.back().Record->FailReason, c.Message);
    }
    EXPECT_FALSE(fs::exists(Work / "out/"));

    auto withoutCodec = MakeTranscoder(false);
    TTaskItem* task = Run(*withoutCodec, "nocodec.synth", "frames=3");
    EXPECT_EQ(task->Message(), "Could not find output codec.");
    EXPECT_EQ(WhereIs("nocodec.synth"), "failed");
}

TEST_F(TranscoderJob, SourceWithoutProcessorFailsLikeAMissingCodec) {
    Source->SetProcessor(nullptr);
    auto transcoder = MakeTranscoder();
    for (const char* name : {"orphan.synth", "orphan.png"}) {  // a clip, and a still image
        SCOPED_TRACE(name);
        Messages.clear();
        TTaskItem* task = Run(*transcoder, name, "frames=3");
        EXPECT_EQ(task->State(), tsFailed);
        EXPECT_EQ(task->Message(), "Could not find output codec.");
        EXPECT_EQ(WhereIs(name), "failed");
        ASSERT_GE(Messages.size(), 4u);
        EXPECT_EQ(Messages[Messages.size() - 2], "Moving source file to failed.");
    }
    EXPECT_TRUE(ProcessingFiles().empty());
    EXPECT_EQ(transcoder->FailureCount(), 2);
    ASSERT_EQ(Mail.size(), 2u);
    EXPECT_TRUE(Mail[0].Failure);
    EXPECT_EQ(Mail[0].Record->FailReason, "Could not find output codec.");
}

TEST_F(TranscoderJob, UnexpectedExceptionLeavesTheFileQueued) {
    auto transcoder = MakeTranscoder();
    TTaskItem* task = Run(*transcoder, "broken.synth", "brokenerror=1");
    EXPECT_EQ(task->State(), tsFailed);
    EXPECT_EQ(task->Message().rfind("Exception during transcode: ", 0), 0u) << task->Message();
    EXPECT_EQ(WhereIs("broken.synth"), "queued");
    EXPECT_EQ(transcoder->FailureCount(), 1);
}

TEST_F(TranscoderJob, CancelWhileTranscodingFilesTheSourceAsCancelled) {
    auto transcoder = MakeTranscoder();
    OnChange = [](TTaskItem& Task) {
        if (Task.State() == tsTranscoding) {
            Task.Cancel();
        }
    };
    TTaskItem* task = Run(*transcoder, "long.synth", "frames=400 framedelayms=5");
    EXPECT_EQ(task->State(), tsCancelled);
    EXPECT_EQ(task->Message(), "Cancelled by user.");
    EXPECT_EQ(WhereIs("long.synth"), "cancelled");
    EXPECT_TRUE(ProcessingFiles().empty());
    EXPECT_FALSE(Exists(Work / "out/long.avi"));
    EXPECT_EQ(transcoder->FailureCount(), 1);
}

TEST_F(TranscoderJob, CancelAfterEveryTargetSucceededStillFinishes) {
    auto transcoder = MakeTranscoder();
    OnChange = [](TTaskItem& Task) {
        if (Task.State() == tsFiling && Task.Message() == "Deleting intermediate file.") {
            Task.Cancel();
        }
    };
    TTaskItem* task = Run(*transcoder, "late.synth", "frames=3");
    EXPECT_EQ(task->State(), tsFinished);
    EXPECT_EQ(WhereIs("late.synth"), "completed");
}

TEST_F(TranscoderJob, PartlyFailedDeliveryFailsButMailsTheCompletionQueue) {
    WriteFile(Work / "blocker", "x");
    AddFolderTarget("Archive", Work / "blocker/archive");
    AddFolderTarget("Unknown kind", Work / "other/")->SetType(2);
    auto transcoder = MakeTranscoder();
    TTaskItem* task = Run(*transcoder, "split.synth", "frames=3");
    EXPECT_EQ(task->State(), tsFailed);
    const std::string expected = "Error executing targets: Failed to create folder: \"" +
                                 (Work / "blocker/archive/") + "\" for target \"Archive\";  " +
                                 "\"Unknown kind\"";
    EXPECT_EQ(task->Message(), expected);
    EXPECT_EQ(WhereIs("split.synth"), "failed");
    EXPECT_TRUE(Exists(Work / "out/split.avi"));
    EXPECT_TRUE(ProcessingFiles().empty());
    ASSERT_EQ(Mail.size(), 1u);
    EXPECT_FALSE(Mail[0].Failure);
    ASSERT_EQ(Mail[0].Record->TargetResults.size(), 3u);
    EXPECT_TRUE(Mail[0].Record->TargetResults[0].Passed);
    EXPECT_FALSE(Mail[0].Record->TargetResults[1].Passed);
    EXPECT_EQ(Mail[0].Record->FailReason, expected);
}

TEST_F(TranscoderJob, CompletionModeOneDeletesTheSourceAndUnsetActionIgnoresTheCustomFolder) {
    TVmSourceSettings settings = Source->Settings();
    settings.ActOnCompletion = false;
    settings.CompletedFolder = Work / "custom-done/";
    Source->SetSettings(settings);
    auto transcoder = MakeTranscoder();
    Run(*transcoder, "kept.synth", "frames=2");
    EXPECT_EQ(WhereIs("kept.synth"), "completed");
    EXPECT_TRUE(Exists(Source->WatchFolder() + "Completed/kept.synth") ||
                Exists(Source->CompletedFolder() + "kept.synth"));
    EXPECT_FALSE(Exists(Work / "custom-done/kept.synth"));

    settings.ActOnCompletion = true;
    settings.CompletionMode = 1;
    Source->SetSettings(settings);
    Messages.clear();
    TTaskItem* task = Run(*transcoder, "gone.synth", "frames=2");
    EXPECT_EQ(task->State(), tsFinished);
    EXPECT_EQ(WhereIs("gone.synth"), "nowhere");
    EXPECT_NE(std::find(Messages.begin(), Messages.end(), "Deleting source file."), Messages.end());
}

TEST(TranscoderSizeText, FourSignificantDigitsAndABinaryUnit) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1 KB"},
        {1536, "1.5 KB"},
        {10485760, "10 MB"},
        {1073741823, "1024 MB"},
        {int64_t{3} << 40, "3 TB"},
        {int64_t{5000} << 40, "5000 TB"},
    };
    for (const auto& [size, text] : cases) {
        EXPECT_EQ(TVmTranscoder::SizeText(size), text) << size;
    }
}

}  // namespace
