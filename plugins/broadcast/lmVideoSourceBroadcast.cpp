// The broadcast-container plug-in: the FFmpeg reader once more, for the containers that
// facilities receive from cameras, playout and contribution links.

#include <iterator>

#include "plugins/ffmpeg/lmFFmpegVideoSource.h"

namespace {

constexpr const char16_t* kExtensions[] = {u"mxf", u"mts", u"m2ts", u"ts", u"mkv", u"dv", u"mpg"};

}  // namespace

LVS_EXPORT LvsBool LVS_CALL InitVideoSource(IVideoSourceHost* host) {
    return InitFFmpegPlugin(host, u"Broadcast Files", kExtensions, std::size(kExtensions));
}

LVS_EXPORT LvsBool LVS_CALL GetVideoSource(IVideoSource** source) {
    return CreateFFmpegVideoSource({}, source);
}

LVS_EXPORT LvsBool LVS_CALL DeInitVideoSource() {
    return LvsTrue;
}
