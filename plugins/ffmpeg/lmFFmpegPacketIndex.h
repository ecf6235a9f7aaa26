#pragma once

// The index of a file's video packets, made once when the file is opened: every packet in
// decode order with its time stamps, position and key flag, the frames in display order, and
// the lookups that frame-exact reading needs (which key frame to start decoding from, which
// packet a demuxer handed back after a seek).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plugins/ffmpeg/lmFFmpegLibrary.h"

struct TIndexedPacket {
    int64_t Pts = 0;  // display time stamp (the decode stamp, or a count, where a file has none)
    int64_t Dts = AV_NOPTS_VALUE;
    int64_t Pos = -1;
    int64_t RawPts = AV_NOPTS_VALUE;  // as the demuxer gave it
    int64_t Duration = 0;
    bool Key = false;
    bool Shown = true;  // false for packets an edit list cuts away
};

// A packet of another stream met while indexing: its stream, time in seconds and payload.
using TIndexSideSink =
    std::function<void(int stream, double seconds, const uint8_t* data, int size)>;

class TFFmpegPacketIndex {
  public:
    // Files with more video packets than this are refused (a day of 30 frames per second fits).
    static constexpr size_t kMaxPackets = 3000000;

    // Reads the whole file once. Packets of `sideStreams` go to `sideSink`; every other stream
    // is skipped. False with `reason` set when the file has no video packets or too many.
    bool Build(AVFormatContext* context, int videoStream, const std::vector<int>& sideStreams,
               const TIndexSideSink& sideSink, std::string& reason);

    // What Build does with each video packet and at the end, for packets from elsewhere: up to
    // kMaxPackets calls of AddPacket (with whatever stamps the packets carry), then Finish once.
    void AddPacket(const AVPacket& packet);
    void Finish();

    size_t PacketCount() const { return FPackets.size(); }
    int32_t FrameCount() const { return static_cast<int32_t>(FDisplay.size()); }
    const TIndexedPacket& Packet(size_t decodeIndex) const { return FPackets[decodeIndex]; }
    // The decode index of the frame shown `frame`-th.
    size_t DecodeIndexOfFrame(int32_t frame) const { return FDisplay[frame]; }
    int64_t FramePts(int32_t frame) const { return FPackets[FDisplay[frame]].Pts; }
    // The frame shown at `pts`, or -1 when no frame has that time stamp.
    int32_t FrameAtPts(int64_t pts) const;
    // The frame shown at or just before `pts` (0 when `pts` is before the first frame).
    int32_t FrameAtOrBefore(int64_t pts) const;
    // The key packet to start decoding from to show `frame`: the last key packet before it in
    // decode order that is not shown after it (an open GOP's leading pictures need the key frame
    // before their own). 0 when there is none.
    size_t StartOfFrame(int32_t frame) const;
    // The decode index of a packet the demuxer handed back, or -1 when it is not indexed.
    int64_t Find(const AVPacket& packet) const;
    // The duration the packet of `frame` declares, in stream ticks (0 when it declares none).
    int64_t FrameDuration(int32_t frame) const { return FPackets[FDisplay[frame]].Duration; }
    // Every frame came with a time stamp of its own (a display or a decode stamp).
    bool Stamped() const { return FUnstamped == 0; }

  private:
    // What tells packets apart: the file position where every packet has one, else a stamp.
    enum class TIdentity { Pos, Dts, Pts };
    int64_t IdentityOf(int64_t pos, int64_t dts, int64_t pts) const;

    std::vector<TIndexedPacket> FPackets;
    std::vector<size_t> FDisplay;
    std::vector<int64_t> FDisplayPts;                     // sorted, for FrameAtPts
    std::vector<size_t> FKeys;                            // decode indices of key packets
    std::vector<std::pair<int64_t, size_t>> FIdentities;  // sorted (identity, decode index)
    TIdentity FIdentity = TIdentity::Pos;
    size_t FUnstamped = 0;
};
