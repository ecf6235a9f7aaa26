#include "server/media/lmAVIMultiplexer.h"

namespace {

// Samples one stream may queue while the other delivers nothing.
constexpr size_t kMaxQueued = 16;

}  // namespace

class TAVIMultiplexer::TInput : public IMediaInput {
  public:
    TInput(TAVIMultiplexer& owner, int stream) : FOwner(owner), FStream(stream) {}
    bool Receive(const TMediaSample& sample) override { return FOwner.Receive(FStream, sample); }
    void EndOfStream() override { FOwner.EndOfStream(FStream); }

  private:
    TAVIMultiplexer& FOwner;
    int FStream;
};

TAVIMultiplexer::TAVIMultiplexer(uint64_t partLimit)
    : FWriter(std::make_unique<TAVIWriter>(partLimit)) {
    FInputs[0] = std::make_unique<TInput>(*this, 0);
    FInputs[1] = std::make_unique<TInput>(*this, 1);
}

TAVIMultiplexer::~TAVIMultiplexer() {
    if (FRunning) {
        Stop();
    }
}

IMediaInput* TAVIMultiplexer::ConnectVideo(const TAVIVideoFormat& format) {
    TLock lock(FLock);
    if (FHasVideo || FRunning) {
        return nullptr;
    }
    FVideo = format;
    FHasVideo = true;
    return FInputs[0].get();
}

IMediaInput* TAVIMultiplexer::ConnectAudio(const TWaveFormat& format) {
    TLock lock(FLock);
    if (FHasAudio || !FHasVideo || FRunning || format.nBlockAlign == 0) {
        return nullptr;
    }
    FAudio = format;
    FHasAudio = true;
    return FInputs[1].get();
}

int32_t TAVIMultiplexer::ConnectedInputs() const {
    return (FHasVideo ? 1 : 0) + (FHasAudio ? 1 : 0);
}

bool TAVIMultiplexer::SetInterleaving(int32_t mode, int64_t period, int64_t preroll) {
    if (mode < imNone || mode > imFull || period < 0 || preroll < 0) {
        return false;
    }
    FMode = mode;
    FPeriod = period;
    FPreroll = preroll;
    return true;
}

bool TAVIMultiplexer::Run() {
    TLock lock(FLock);
    if (!FHasVideo) {
        FError = "no video input connected";
        return false;
    }
    if (!FWriter->Open(FPath, FVideo, FHasAudio ? &FAudio : nullptr, FCompatibilityIndex,
                       FExpectedFrames)) {
        FError = FWriter->LastError();
        return false;
    }
    FRunning = true;
    return true;
}

bool TAVIMultiplexer::Receive(int stream, const TMediaSample& sample) {
    bool failed = false;
    {
        TLock lock(FLock);
        if (!FRunning || FFailed || FEnded[stream]) {
            return false;
        }
        if (sample.Length == 0) {
            return true;
        }
        if (!FHasAudio) {
            // Video alone is written as it comes, straight from the sample.
            failed = !Written(FWriter->WriteVideo(sample.Data, sample.Length, sample.SyncPoint));
        } else {
            // The audio of one interleave period goes ahead of that period's video frame.
            const int64_t key = stream == FMasterStream ? sample.Start : sample.Start - FPreroll;
            FQueues[stream].push_back(
                {std::vector<uint8_t>(sample.Data, sample.Data + sample.Length), key,
                 sample.SyncPoint});
            failed = !Drain(false);
        }
    }
    if (failed) {
        Complete(true);
    }
    return !failed;
}

void TAVIMultiplexer::EndOfStream(int stream) {
    bool done = false;
    bool failed = false;
    {
        TLock lock(FLock);
        if (!FRunning || FEnded[stream]) {
            return;
        }
        FEnded[stream] = true;
        failed = !Drain(false);
        done = FEnded[0] && (!FHasAudio || FEnded[1]);
        if (done && !failed) {
            failed = !Drain(true);
        }
    }
    if (failed) {
        Complete(true);
    } else if (done) {
        Complete(false);
    }
}

bool TAVIMultiplexer::WriteHead(int stream) {
    TQueued& item = FQueues[stream].front();
    const bool ok = stream == 0 ? FWriter->WriteVideo(item.Data.data(), item.Data.size(), item.Sync)
                                : FWriter->WriteAudio(item.Data.data(), item.Data.size());
    FQueues[stream].pop_front();
    return Written(ok);
}

bool TAVIMultiplexer::Written(bool ok) {
    if (!ok) {
        FFailed = true;
        FError = FWriter->LastError();
    }
    return ok;
}

bool TAVIMultiplexer::Drain(bool all) {
    const bool ordered = FMode == imFull && FHasAudio;
    for (;;) {
        std::deque<TQueued>& video = FQueues[0];
        std::deque<TQueued>& audio = FQueues[1];
        int next = -1;
        if (!ordered || all) {
            // Without ordering, and at the end, take the earlier head while both have one.
            if (!video.empty() && !audio.empty()) {
                next = audio.front().Key < video.front().Key ? 1 : 0;
            } else if (!video.empty()) {
                next = 0;
            } else if (!audio.empty()) {
                next = 1;
            }
        } else if (!video.empty() && !audio.empty()) {
            next = audio.front().Key < video.front().Key ? 1 : 0;
        } else if (!video.empty() && (FEnded[1] || video.size() > kMaxQueued)) {
            next = 0;
        } else if (!audio.empty() && (FEnded[0] || audio.size() > kMaxQueued)) {
            next = 1;
        }
        if (next < 0) {
            return true;
        }
        if (!WriteHead(next)) {
            return false;
        }
    }
}

void TAVIMultiplexer::Complete(bool error) {
    TCompletion completion;
    {
        TLock lock(FLock);
        if (FCompleted) {
            return;
        }
        FCompleted = true;
        completion = FCompletion;
    }
    if (completion) {
        completion(error);
    }
}

bool TAVIMultiplexer::Stop() {
    TLock lock(FLock);
    if (!FRunning) {
        return false;
    }
    FRunning = false;
    bool ok = !FFailed && Drain(true);
    if (!FWriter->Close()) {
        if (ok) {
            FError = FWriter->LastError();
        }
        ok = false;
    }
    return ok;
}

uint32_t TAVIMultiplexer::VideoFrames() const {
    TLock lock(FLock);
    return FWriter->VideoFrames();
}

std::string TAVIMultiplexer::LastError() const {
    TLock lock(FLock);
    return FError;
}
