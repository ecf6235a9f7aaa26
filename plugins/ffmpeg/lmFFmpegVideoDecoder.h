#pragma once

// Frame-exact decoding of a video stream at any frame number: the decoder starts at the key
// frame the packet index names for the frame (seeking the demuxer there and checking that it
// landed where the index says) and decodes forward. Reading the frames one after the other only
// decodes forward and never seeks; long GOPs with B-frames and open GOPs come out in display
// order with the right pictures.

#include <cstdint>
#include <functional>
#include <string>

#include "plugins/ffmpeg/lmFFmpegLibrary.h"
#include "plugins/ffmpeg/lmFFmpegPacketIndex.h"

class TFFmpegVideoDecoder {
  public:
    // Packets the decoder may take past the wanted frame's own before the frame counts as lost
    // (a damaged stream): more than any decoder holds back for reordering.
    static constexpr size_t kReorderSlack = 64;

    // `context` is the demuxer of the file (its other streams are left alone); the index must
    // outlive the decoder.
    TFFmpegVideoDecoder(AVFormatContext* context, int stream, const TFFmpegPacketIndex& index,
                        TFFmpegLogCapture& capture);

    bool Open(std::string& reason);

    // The picture of `frame` (display order), or null when it does not decode. Valid until the
    // next call.
    const AVFrame* Decode(int32_t frame);

    // Called for every picture the decoder puts out, with its frame number.
    std::function<void(int32_t frame, const AVFrame& picture)> OnPicture;

    // How often the demuxer was repositioned (sequential reading leaves it at one).
    int SeekCount() const { return FSeeks; }

  private:
    bool CanDecodeForward(int32_t frame, size_t start) const;
    bool PositionAt(size_t start);
    bool TrySeek(int64_t timestamp, int flags, size_t start);
    // The next packet of the video stream; false at the end of the file or on a read error.
    bool ReadVideoPacket();
    // Feeds the held packet (or the end of the stream) to the decoder.
    bool FeedDecoder();
    void Reset();

    AVFormatContext* FContext;
    int FStream;
    const TFFmpegPacketIndex& FIndex;
    TFFmpegLogCapture& FCapture;
    TAVCodecContextPtr FDecoder;
    TAVPacketPtr FPacket;
    TAVFramePtr FPicture;
    bool FHavePacket = false;   // FPacket holds a packet not yet fed
    int64_t FFedFrom = -1;      // the key packet decoding started at; -1: position unknown
    int64_t FNextPacket = 0;    // decode index of the next packet to feed
    int32_t FLastShown = -1;    // the last frame the decoder put out since the position was set
    bool FPictureHeld = false;  // FPicture holds a frame beyond the one asked for
    bool FStreamEnded = false;  // the end of the stream was fed
    bool FDrained = false;      // the decoder has put out everything
    int FSeeks = 0;
};
