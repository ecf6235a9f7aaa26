#include "plugins/ffmpeg/lmFFmpegTimeCode.h"

#include <cctype>

bool NormaliseTimeCode(std::string& text) {
    if (text.size() != 11) {
        return false;
    }
    for (const size_t digit : {0, 1, 3, 4, 6, 7, 9, 10}) {
        if (!std::isdigit(static_cast<unsigned char>(text[digit]))) {
            return false;
        }
    }
    if (text[2] != ':' || text[5] != ':') {
        return false;
    }
    const char last = text[8];
    if (last == '.' || last == ',') {
        text[8] = ';';
    }
    return text[8] == ':' || text[8] == ';';
}

namespace {

std::string TimeCodeOf(const AVDictionary* metadata) {
    const AVDictionaryEntry* entry = av_dict_get(metadata, "timecode", nullptr, 0);
    if (entry == nullptr || entry->value == nullptr) {
        return {};
    }
    std::string text = entry->value;
    return NormaliseTimeCode(text) ? text : std::string();
}

}  // namespace

std::string StartTimeCode(const AVFormatContext& context, int videoStream) {
    if (videoStream >= 0 && videoStream < static_cast<int>(context.nb_streams)) {
        std::string text = TimeCodeOf(context.streams[videoStream]->metadata);
        if (!text.empty()) {
            return text;
        }
    }
    std::string text = TimeCodeOf(context.metadata);
    for (unsigned i = 0; text.empty() && i < context.nb_streams; ++i) {
        text = TimeCodeOf(context.streams[i]->metadata);
    }
    return text;
}
