#include "server/transcode/lmVmTranscoder.h"

#include <cstdio>
#include <exception>

#include "server/ingest/lmVmSource.h"
#include "server/notify/lmVmProject.h"
#include "server/transcode/lmVmProcessor.h"
#include "server/transcode/lmVmTranscodeJob.h"

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
    FCompressors.Load(FRenderSettings.CodecsFolder);
    FCodecs.clear();
    for (const TCompressorInfo& info : FCompressors.Modules()) {
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
    TVmTranscodeJob job(*this, Task, Source, Processor);
    job.Run();
    std::unique_ptr<TMailInfo> mail = job.TakeMail();
    // Another engine of the farm has the task now, and reports on it.
    if (Task.Abandoned()) {
        return;
    }
    std::shared_ptr<TVmProject> project = Source.Project();
    bool failure = false;
    if (Task.State() != tsFinished) {
        FFailureCount.fetch_add(1);
        // A partly delivered clip is reported with the completed ones.
        failure = !mail->AnyTargetPassed();
    }
    HandOverMail(project.get(), failure, std::move(mail));
}

void TVmTranscoder::HandOverMail(TVmProject* Project, bool Failure,
                                 std::unique_ptr<TMailInfo> Record) {
    if (Project == nullptr) {
        return;
    }
    if (FMailHandOver) {
        FMailHandOver(*Project, Failure, std::move(Record));
    } else if (Failure) {
        Project->AddFailed(std::move(Record));
    } else {
        Project->AddCompleted(std::move(Record));
    }
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
