#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxMutex.h"
#include "server/media/lmAVIWriter.h"
#include "server/media/lmMediaSample.h"
#include "server/media/lmMediaTypes.h"

enum TInterleavingMode : int32_t {
    imNone = 0,     // chunks are written as they arrive
    imCapture = 1,  // as imNone: samples arrive in capture order
    imFull = 2,     // chunks are ordered by time across the streams
};

// The AVI multiplexer: one video input (stream 0) and an optional audio input (stream 1)
// feeding an AVI writer. Samples may arrive on different threads. With full interleaving,
// chunks are written in time order, audio running ahead of the video by the preroll; a stream
// that gets far ahead of a silent other stream is written anyway, so a gap in one stream never
// stalls the other.
class TAVIMultiplexer {
  public:
    // Called once when every connected input has ended (error false) or writing failed (true).
    using TCompletion = std::function<void(bool error)>;

    explicit TAVIMultiplexer(uint64_t partLimit = TAVIWriter::kDefaultPartLimit);
    ~TAVIMultiplexer();
    TAVIMultiplexer(const TAVIMultiplexer&) = delete;
    TAVIMultiplexer& operator=(const TAVIMultiplexer&) = delete;

    void SetOutputFileName(const std::string& path) { FPath = path; }
    const std::string& OutputFileName() const { return FPath; }

    // The first input not yet connected, or null: video first, then audio.
    IMediaInput* ConnectVideo(const TAVIVideoFormat& format);
    IMediaInput* ConnectAudio(const TWaveFormat& format);
    int32_t ConnectedInputs() const;

    void SetMasterStream(int32_t stream) { FMasterStream = stream; }
    int32_t MasterStream() const { return FMasterStream; }
    void SetOutputCompatibilityIndex(bool value) { FCompatibilityIndex = value; }
    // The clip's length in frames, known before it is written: the file's super indexes are
    // sized for it, and a frame past it is refused. 0 when it is not known.
    void SetExpectedFrames(uint32_t frames) { FExpectedFrames = frames; }
    uint32_t ExpectedFrames() const { return FExpectedFrames; }
    bool OutputCompatibilityIndex() const { return FCompatibilityIndex; }
    // False for a mode that is not one of the above.
    bool SetInterleaving(int32_t mode, int64_t period, int64_t preroll);
    int32_t InterleavingMode() const { return FMode; }
    int64_t InterleavePeriod() const { return FPeriod; }
    int64_t Preroll() const { return FPreroll; }

    void SetCompletion(TCompletion completion) { FCompletion = std::move(completion); }

    // Creates the file; false when it cannot be created or no video input is connected.
    bool Run();
    // Writes what is queued, the indexes and the headers, and closes the file. True when the
    // whole file was written.
    bool Stop();

    uint32_t VideoFrames() const;
    std::string LastError() const;

  private:
    class TInput;
    struct TQueued {
        std::vector<uint8_t> Data;
        int64_t Key;  // ordering time
        bool Sync;
    };

    bool Receive(int stream, const TMediaSample& sample);
    void EndOfStream(int stream);
    bool Drain(bool all) REQUIRES(FLock);
    bool WriteHead(int stream) REQUIRES(FLock);
    // Passes ok on; a failed write marks the multiplexer failed with the writer's reason.
    bool Written(bool ok) REQUIRES(FLock);
    void Complete(bool error);

    std::string FPath;
    std::unique_ptr<TAVIWriter> FWriter;
    std::unique_ptr<TInput> FInputs[2];
    bool FHasVideo = false;
    bool FHasAudio = false;
    TAVIVideoFormat FVideo;
    TWaveFormat FAudio;
    int32_t FMasterStream = 0;
    bool FCompatibilityIndex = false;
    uint32_t FExpectedFrames = 0;
    int32_t FMode = imNone;
    int64_t FPeriod = 0;
    int64_t FPreroll = 0;
    TCompletion FCompletion;

    mutable TMutex FLock;
    std::deque<TQueued> FQueues[2] GUARDED_BY(FLock);
    bool FEnded[2] GUARDED_BY(FLock) = {false, false};
    bool FRunning GUARDED_BY(FLock) = false;
    bool FFailed GUARDED_BY(FLock) = false;
    bool FCompleted GUARDED_BY(FLock) = false;
    std::string FError GUARDED_BY(FLock);
};
