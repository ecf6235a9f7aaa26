// The movie plug-in: registers "Quicktime Files" with "mov", "mp4" and "m4v" and serves them
// through the FFmpeg reader.

#include <iterator>

#include "plugins/ffmpeg/lmFFmpegVideoSource.h"

namespace {

constexpr const char16_t* kExtensions[] = {u"mov", u"mp4", u"m4v"};

}  // namespace

LVS_EXPORT LvsBool LVS_CALL InitVideoSource(IVideoSourceHost* host) {
    return InitFFmpegPlugin(host, u"Quicktime Files", kExtensions, std::size(kExtensions));
}

LVS_EXPORT LvsBool LVS_CALL GetVideoSource(IVideoSource** source) {
    return CreateFFmpegVideoSource({}, source);
}

LVS_EXPORT LvsBool LVS_CALL DeInitVideoSource() {
    return LvsTrue;
}
