#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxMutex.h"
#include "plugins/interface/lmCompressorModule.h"
#include "port/port.h"
#include "server/media/lmAVIWriter.h"
#include "server/media/lmMediaSample.h"
#include "server/media/lmMediaTypes.h"

// One compressor module loaded from the codecs folder.
struct TCompressorInfo {
    std::string FriendlyName;
    std::string DisplayName;
    std::string Path;
};

// A compressor created from a module, in the graph between the video pin and the multiplexer:
// its input takes uncompressed samples, compresses each and hands the result on. By default it
// compresses on the thread that delivers the sample. On a thread of its own ("VideoCodec") it
// holds each sample until it is done with it, so that the pin fills the next frame meanwhile on
// another processor; it then asks the pin for three buffers. It keeps its module loaded for as
// long as it lives.
class TCompressor : public IMediaInput {
  public:
    TCompressor(std::shared_ptr<const port::DynamicLibrary> module, ICompressor* compressor,
                TCompressorInfo info);
    ~TCompressor() override;
    TCompressor(const TCompressor&) = delete;
    TCompressor& operator=(const TCompressor&) = delete;

    const TCompressorInfo& Info() const { return FInfo; }

    // Negotiates the uncompressed input: the compressor must accept the frame size and bit
    // depth of the type (bottom-up rows).
    bool ConnectInput(const TVideoMediaType& type);
    bool InputConnected() const { return FInputConnected; }
    // The compressed stream for the multiplexer; valid once the input is connected.
    TAVIVideoFormat OutputFormat() const;
    void ConnectOutput(IMediaInput* downstream) { FDownstream = downstream; }
    IMediaInput* Downstream() const { return FDownstream; }

    // Compress on a thread of the compressor's own; set before the video pin connects, since
    // the buffers the pin is granted depend on it.
    void SetOwnThread(bool ownThread) { FOwnThread = ownThread; }

    void GetAllocatorRequirements(TAllocatorProperties& props) const override;
    // Compresses and delivers the sample, or on the compressor's own thread holds it and queues
    // it; false once compressing or delivering has failed, after the end of the stream, or (own
    // thread) for a sample no allocator handed out.
    bool Receive(const TMediaSample& sample) override;
    // Waits until every queued sample is compressed and delivered, then ends the stream
    // downstream.
    void EndOfStream() override;
    // Ends the compressor's thread, dropping what is still queued: for a stream that stops
    // without its end (a refused sample). Called before the buffers' allocator goes.
    void Stop();
    // Called on the compressor's own thread when a frame cannot be compressed or delivered.
    std::function<void()> OnFailed;

    std::string LastError() const;

  private:
    bool CompressAndDeliver(const TMediaSample& sample);
    void Stream();
    void SetError(const std::string& error);
    // Gives the held samples back to their allocators.
    static void ReleaseAll(std::deque<const TMediaSample*>& samples);

    std::shared_ptr<const port::DynamicLibrary> FModule;
    ICompressor* FCompressor;
    TCompressorInfo FInfo;
    TVideoMediaType FInputType;
    bool FInputConnected = false;
    IMediaInput* FDownstream = nullptr;
    std::vector<uint8_t> FOutput;
    bool FOwnThread = false;

    mutable TMutex FLock;
    TConditionVariable FChanged;
    std::deque<const TMediaSample*> FQueue GUARDED_BY(FLock);
    // No further samples come: the thread ends once the queue is empty.
    bool FEnding GUARDED_BY(FLock) = false;
    bool FStopping GUARDED_BY(FLock) = false;  // the thread ends at once
    bool FFailed GUARDED_BY(FLock) = false;
    std::string FError GUARDED_BY(FLock);
    std::thread FThread;
};
