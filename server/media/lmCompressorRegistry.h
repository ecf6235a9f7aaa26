#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "port/port_library.h"
#include "server/media/lmAVIWriter.h"
#include "server/media/lmCompressorModule.h"
#include "server/media/lmMediaSample.h"
#include "server/media/lmMediaTypes.h"

// One compressor module found in the codecs folder.
struct TCompressorInfo {
    std::string FriendlyName;
    std::string DisplayName;
    std::string Path;
};

// A compressor created from a module, in the graph between the video pin and the multiplexer:
// its input takes uncompressed samples, compresses each and hands the result on. It keeps its
// module loaded for as long as it lives.
class TCompressor : public IMediaInput {
  public:
    TCompressor(port::DynamicLibrary library, ICompressor* compressor, TCompressorInfo info);
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

    bool Receive(const TMediaSample& sample) override;
    void EndOfStream() override;

    const std::string& LastError() const { return FError; }

  private:
    port::DynamicLibrary FLibrary;
    ICompressor* FCompressor;
    TCompressorInfo FInfo;
    TVideoMediaType FInputType;
    bool FInputConnected = false;
    IMediaInput* FDownstream = nullptr;
    std::vector<uint8_t> FOutput;
    std::string FError;
};

// The compressor modules ("*.so") of a codecs folder.
class TCompressorRegistry {
  public:
    // Lists every module in folder (with a trailing "/") that exports the compressor
    // interface of the expected version; other files are passed over.
    static std::vector<TCompressorInfo> Enumerate(const std::string& folder);

    // Creates the compressor of the first module whose display name equals displayName
    // (compared without regard to case), for the given number of worker threads. Null with
    // error set when there is none or it cannot be created.
    static std::unique_ptr<TCompressor> Create(const std::string& folder,
                                               const std::string& displayName, int threads,
                                               std::string& error);
};
