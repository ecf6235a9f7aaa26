#include "plugins/ffmpeg/lmFFmpegPacketIndex.h"

#include <algorithm>
#include <limits>

bool TFFmpegPacketIndex::Build(AVFormatContext* context, int videoStream,
                               const std::vector<int>& sideStreams, const TIndexSideSink& sideSink,
                               std::string& reason) {
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const bool wanted = static_cast<int>(i) == videoStream ||
                            std::find(sideStreams.begin(), sideStreams.end(),
                                      static_cast<int>(i)) != sideStreams.end();
        context->streams[i]->discard = wanted ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    TAVPacketPtr packet(av_packet_alloc());
    if (!packet) {
        reason = FFmpegErrorText(AVERROR(ENOMEM));
        return false;
    }
    // A damaged file ends where the demuxer stops making sense of it: what came before is kept.
    int again = 0;
    for (;;) {
        const int error = av_read_frame(context, packet.get());
        if (error == AVERROR(EAGAIN) && ++again < 1000) {
            continue;
        }
        if (error < 0) {
            break;
        }
        again = 0;
        if (packet->stream_index == videoStream) {
            if (FPackets.size() >= kMaxPackets) {
                reason =
                    "the video stream has more than " + std::to_string(kMaxPackets) + " packets";
                return false;
            }
            AddPacket(*packet);
        } else if (sideSink && packet->pts != AV_NOPTS_VALUE &&
                   packet->stream_index < static_cast<int>(context->nb_streams)) {
            const AVStream* stream = context->streams[packet->stream_index];
            sideSink(packet->stream_index,
                     static_cast<double>(packet->pts) * av_q2d(stream->time_base), packet->data,
                     packet->size);
        }
        av_packet_unref(packet.get());
    }
    Finish();
    if (FDisplay.empty()) {
        reason = "the video stream holds no frames";
        return false;
    }
    return true;
}

void TFFmpegPacketIndex::AddPacket(const AVPacket& packet) {
    TIndexedPacket entry;
    entry.RawPts = packet.pts;
    entry.Dts = packet.dts;
    entry.Pos = packet.pos;
    entry.Duration = packet.duration > 0 ? packet.duration : 0;
    entry.Key = (packet.flags & AV_PKT_FLAG_KEY) != 0;
    entry.Shown = (packet.flags & AV_PKT_FLAG_DISCARD) == 0;
    if (packet.pts != AV_NOPTS_VALUE) {
        entry.Pts = packet.pts;
    } else if (packet.dts != AV_NOPTS_VALUE) {
        entry.Pts = packet.dts;
    } else {
        // One tick after the packet before, to keep the decode order.
        const int64_t before = FPackets.empty() ? -1 : FPackets.back().Pts;
        entry.Pts = before < std::numeric_limits<int64_t>::max() ? before + 1 : before;
        FUnstamped += entry.Shown ? 1 : 0;
    }
    FPackets.push_back(entry);
}

int64_t TFFmpegPacketIndex::IdentityOf(int64_t pos, int64_t dts, int64_t pts) const {
    switch (FIdentity) {
        case TIdentity::Pos:
            return pos;
        case TIdentity::Dts:
            return dts;
        case TIdentity::Pts:
            return pts;
    }
    return AV_NOPTS_VALUE;
}

void TFFmpegPacketIndex::Finish() {
    const bool allPos = std::all_of(FPackets.begin(), FPackets.end(),
                                    [](const TIndexedPacket& p) { return p.Pos >= 0; });
    const bool allDts = std::all_of(FPackets.begin(), FPackets.end(), [](const TIndexedPacket& p) {
        return p.Dts != AV_NOPTS_VALUE;
    });
    FIdentity = allPos ? TIdentity::Pos : allDts ? TIdentity::Dts : TIdentity::Pts;
    FIdentities.reserve(FPackets.size());
    for (size_t i = 0; i < FPackets.size(); ++i) {
        const TIndexedPacket& p = FPackets[i];
        const int64_t identity = IdentityOf(p.Pos, p.Dts, p.RawPts);
        if (identity != AV_NOPTS_VALUE) {
            FIdentities.emplace_back(identity, i);
        }
        if (p.Key) {
            FKeys.push_back(i);
        }
        if (p.Shown) {
            FDisplay.push_back(i);
        }
    }
    std::sort(FIdentities.begin(), FIdentities.end());
    // Display order; packets with equal stamps (a damaged file) keep their decode order.
    std::stable_sort(FDisplay.begin(), FDisplay.end(),
                     [this](size_t a, size_t b) { return FPackets[a].Pts < FPackets[b].Pts; });
    FDisplayPts.reserve(FDisplay.size());
    for (const size_t i : FDisplay) {
        FDisplayPts.push_back(FPackets[i].Pts);
    }
}

int32_t TFFmpegPacketIndex::FrameAtPts(int64_t pts) const {
    const auto it = std::lower_bound(FDisplayPts.begin(), FDisplayPts.end(), pts);
    if (it == FDisplayPts.end() || *it != pts) {
        return -1;
    }
    return static_cast<int32_t>(it - FDisplayPts.begin());
}

int32_t TFFmpegPacketIndex::FrameAtOrBefore(int64_t pts) const {
    const auto it = std::upper_bound(FDisplayPts.begin(), FDisplayPts.end(), pts);
    if (it == FDisplayPts.begin()) {
        return 0;
    }
    return static_cast<int32_t>(it - FDisplayPts.begin() - 1);
}

size_t TFFmpegPacketIndex::StartOfFrame(int32_t frame) const {
    const size_t target = FDisplay[frame];
    const int64_t pts = FPackets[target].Pts;
    auto it = std::upper_bound(FKeys.begin(), FKeys.end(), target);
    while (it != FKeys.begin()) {
        --it;
        if (FPackets[*it].Pts <= pts) {
            return *it;
        }
    }
    return 0;
}

int64_t TFFmpegPacketIndex::Find(const AVPacket& packet) const {
    const int64_t identity = IdentityOf(packet.pos, packet.dts, packet.pts);
    if (identity == AV_NOPTS_VALUE || (FIdentity == TIdentity::Pos && identity < 0)) {
        return -1;
    }
    const auto it = std::lower_bound(FIdentities.begin(), FIdentities.end(),
                                     std::pair<int64_t, size_t>(identity, 0));
    if (it == FIdentities.end() || it->first != identity) {
        return -1;
    }
    return static_cast<int64_t>(it->second);
}
