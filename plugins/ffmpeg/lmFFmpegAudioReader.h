#pragma once

// The sound of a file as one 48 kHz signed 16-bit interleaved stream: every audio stream in
// stream order, each resampled on its own, its channels placed after those of the streams
// before it (eight mono tracks give eight channels). Sample 0 is the time of the first video
// frame, and each stream's sound sits where its own time stamps put it: a stream that starts
// later is preceded by silence, a hole in its stamps longer than a frame is silence, and where
// a stream has ended (or its data is missing) the block is filled with silence. Blocks read one
// after the other continue the decoding without repositioning.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugins/ffmpeg/lmFFmpegLibrary.h"

class TFFmpegAudioReader {
  public:
    // The most channels and the furthest one stream may run ahead of the others (the rest of
    // its data stays in the file until the others catch up).
    static constexpr int kMaxChannels = 64;
    static constexpr int64_t kMaxQueuedSamples = 30 * 48000;

    // Opens its own demuxer on `path`; `videoStart` is the first video frame's time in seconds.
    // False (no sound) when the file has no audio stream that decodes.
    bool Open(const std::string& path, double videoStart);
    TFFmpegAudioReader();
    ~TFFmpegAudioReader();
    TFFmpegAudioReader(const TFFmpegAudioReader&) = delete;
    TFFmpegAudioReader& operator=(const TFFmpegAudioReader&) = delete;

    int32_t Channels() const { return FChannels; }

    // Fills `samples` sample frames starting at 48 kHz sample `position` into `target`
    // (samples x channels values).
    void Read(int64_t position, int32_t samples, int16_t* target);

    // How often the demuxer was repositioned.
    int SeekCount() const { return FSeeks; }

  private:
    struct TRun;
    struct TStream;

    void Seek(int64_t position);
    // Reads and decodes one packet; false at the end of the file.
    bool Pump();
    // Resamples a decoded frame into the stream's runs, where its stamp puts it.
    void Queue(TStream& stream, const AVFrame& frame);
    // Sets where the frame's sound goes: after the sound before it, or after a hole.
    void Place(TStream& stream, const AVFrame& frame);
    // Ends the sound before a hole with what the resampler still holds.
    void Flush(TStream& stream);
    bool PrepareResampler(TStream& stream, const AVFrame& frame);
    bool Covered(int64_t end) const;
    // Copies the stream's sound in [position, end) into `target` and lets go of what came before
    // `end`.
    void CopyOut(TStream& stream, int64_t position, int64_t end, int16_t* target);

    TFFmpegLogCapture FCapture;
    TAVFormatContextPtr FContext;
    std::vector<std::unique_ptr<TStream>> FStreams;
    TAVPacketPtr FPacket;
    TAVFramePtr FFrame;
    std::vector<int16_t> FConverted;  // the resampler's output before it joins a run
    int32_t FChannels = 0;
    double FVideoStart = 0.0;
    int64_t FReadEnd = 0;  // where the last read ended
    bool FEnded = false;
    int FSeeks = 0;
};
