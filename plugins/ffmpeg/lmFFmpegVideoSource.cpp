#include "plugins/ffmpeg/lmFFmpegVideoSource.h"

#include "plugins/ffmpeg/lmFFmpegFrameTiming.h"
#include "plugins/interface/lmVideoSourceText.h"

LvsBool LVS_CALL TFFmpegVideoSource::Open(const char16_t* fileName, int32_t /*flags*/) {
    try {
        if (FOpened) {
            FLastError = u"the source is already open";
            return LvsFalse;
        }
        FOpened = true;
        if (!FReader.Open(LvsPathToUtf8(fileName), FOptions.Reader)) {
            FLastError = LvsToUtf16(FReader.ErrorText());
            return LvsFalse;
        }
        FLastError.clear();
        return LvsTrue;
    } catch (...) {
        FLastError = u"unexpected error while opening the file";
        return LvsFalse;
    }
}

LvsResult LVS_CALL TFFmpegVideoSource::QueryInterface(const TLvsIID& iid, void** object) {
    if (object != nullptr && iid == IID_IVideoSourceMetadata) {
        *object = static_cast<IVideoSourceMetadata*>(this);
        AddRef();
        return LVS_S_OK;
    }
    return TVideoSourceObject::QueryInterface(iid, object);
}

LvsBool LVS_CALL TFFmpegVideoSource::GetStartTimeCode(int32_t* length, char16_t* text) {
    try {
        return LvsCopyLastError(LvsToUtf16(FReader.StartTimeCode()), length, text);
    } catch (...) {
        return LvsFalse;
    }
}

int32_t LVS_CALL TFFmpegVideoSource::GetPreferredBufferCount() {
    return PreferredBufferCount(FReader.FrameBytes(), FReader.FrameCount());
}

LvsBool LVS_CALL TFFmpegVideoSource::ReadFrame(int32_t frame, void* buffer, int32_t pitch) {
    try {
        return FReader.ReadFrame(frame, buffer, pitch) ? LvsTrue : LvsFalse;
    } catch (...) {
        FLastError = u"unexpected error while reading a frame";
        return LvsFalse;
    }
}

LvsBool LVS_CALL TFFmpegVideoSource::ReadFrameAudio(int32_t frame, void* buffer, int32_t pitch,
                                                    void* audioBuffer, int32_t audioBufferSize,
                                                    int32_t* audioBytes) {
    try {
        return FReader.ReadFrameAudio(frame, buffer, pitch, audioBuffer, audioBufferSize,
                                      audioBytes)
                   ? LvsTrue
                   : LvsFalse;
    } catch (...) {
        FLastError = u"unexpected error while reading a frame";
        return LvsFalse;
    }
}

LvsBool LVS_CALL TFFmpegVideoSource::GetLastError(int32_t* length, char16_t* text) {
    return LvsCopyLastError(FLastError, length, text);
}

uint32_t LVS_CALL TFFmpegVideoSource::GetCodecFourCC() {
    return FOptions.ReportCodecTag ? FReader.CodecTag() : 0;
}

int32_t LVS_CALL TFFmpegVideoSource::GetCaptionType() {
    return FReader.HasCaptions() ? LvsCaptionCEA608 : LvsCaptionNone;
}

LvsBool LVS_CALL TFFmpegVideoSource::GetCaptionData(int32_t frame, void* buffer, int32_t bufferSize,
                                                    int32_t* byteCount) {
    try {
        if (byteCount != nullptr) {
            *byteCount = 0;
        }
        uint8_t pair[LvsCaptionBytes];
        if (buffer == nullptr || bufferSize < LvsCaptionBytes ||
            !FReader.CaptionPair(frame, pair)) {
            return LvsFalse;
        }
        static_cast<uint8_t*>(buffer)[0] = pair[0];
        static_cast<uint8_t*>(buffer)[1] = pair[1];
        if (byteCount != nullptr) {
            *byteCount = LvsCaptionBytes;
        }
        return LvsTrue;
    } catch (...) {
        return LvsFalse;
    }
}

LvsBool CreateFFmpegVideoSource(const TFFmpegVideoSourceOptions& options, IVideoSource** source) {
    return LvsNewVideoSource<TFFmpegVideoSource>(source, options);
}

LvsBool InitFFmpegPlugin(IVideoSourceHost* host, const char16_t* description,
                         const char16_t* const* extensions, size_t extensionCount) {
    if (host == nullptr) {
        return LvsFalse;
    }
    try {
        InstallFFmpegLogHook();
    } catch (...) {
        return LvsFalse;
    }
    return LvsAnnouncePlugin(host, description, extensions, extensionCount);
}
