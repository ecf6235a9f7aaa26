#pragma once

// Ownership of the FFmpeg libraries' objects, their error texts, and the hook that keeps the
// libraries' own explanation of a failure (a demuxer's "moov atom not found") for the caller.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

#include "foundation/kxMutex.h"

struct TAVFormatContextClose {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct TAVCodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct TAVFrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct TAVPacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct TSwsContextFree {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct TSwrContextFree {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

using TAVFormatContextPtr = std::unique_ptr<AVFormatContext, TAVFormatContextClose>;
using TAVCodecContextPtr = std::unique_ptr<AVCodecContext, TAVCodecContextFree>;
using TAVFramePtr = std::unique_ptr<AVFrame, TAVFrameFree>;
using TAVPacketPtr = std::unique_ptr<AVPacket, TAVPacketFree>;
using TSwsContextPtr = std::unique_ptr<SwsContext, TSwsContextFree>;
using TSwrContextPtr = std::unique_ptr<SwrContext, TSwrContextFree>;

// Collects the error messages the libraries log for the contexts it is attached to. The log
// hook finds it through the contexts' `opaque` pointer, so messages from other readers running
// at the same time never mix in.
class TFFmpegLogCapture {
  public:
    // The last error message logged, without its line end.
    std::string LastMessage() const;
    void Clear();
    void Add(const char* message);

  private:
    mutable TMutex FLock;
    std::string FLast GUARDED_BY(FLock);
};

// Installs the log hook (once per process and plug-in; idempotent) and silences everything that
// is not an error of a captured context: an unattended server has no console to print to.
void InstallFFmpegLogHook();

// The text of an FFmpeg error code.
std::string FFmpegErrorText(int error);

// The reason for a failure: the library's logged message when there is one, else the code's text.
std::string FFmpegReason(const TFFmpegLogCapture& capture, int error);

// A format context opened on the local file `path` (the file name's bytes, never a URL) with
// `capture` attached; null with `error` set when the file cannot be opened. With `still` the
// file is read as one image, its name never taken for a numbered sequence. An empty file fails
// with "the file is empty"; a file in a format that opens other files (a playlist, a
// concatenation list, a manifest), or in any format outside the list of single-file containers,
// fails with the reason and nothing else is opened.
TAVFormatContextPtr OpenFFmpegInput(const std::string& path, TFFmpegLogCapture& capture, bool still,
                                    int& error);

// A decoder context for the stream's parameters, opened with one thread; null when there is no
// decoder (the reason in `reason`).
TAVCodecContextPtr OpenFFmpegDecoder(const AVStream* stream, TFFmpegLogCapture& capture,
                                     std::string& reason);
