#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/kxByteOrder.h"

// The media types the push source offers and the AVI writer records: the uncompressed video
// format of the video pin and the 16-bit PCM format of the audio pin, in the field layout of
// the Windows structures that AVI files carry (BITMAPINFOHEADER, VIDEOINFOHEADER, WAVEFORMATEX).

struct TBitmapInfoHeader {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;

    void Write(TLEWriter& out) const;  // 40 bytes
};

struct TVideoInfoHeader {
    std::array<int32_t, 4> rcSource{};
    std::array<int32_t, 4> rcTarget{};
    uint32_t dwBitRate = 0;
    uint32_t dwBitErrorRate = 0;
    int64_t AvgTimePerFrame = 0;  // 100 ns units
    TBitmapInfoHeader bmiHeader;

    void Write(TLEWriter& out) const;  // 88 bytes
};

enum class TVideoSubtype { RGB24, RGB32 };

// The video pin's media type: fixed-size uncompressed samples, no temporal compression.
struct TVideoMediaType {
    TVideoInfoHeader Header;
    TVideoSubtype Subtype = TVideoSubtype::RGB32;
    uint32_t SampleSize = 0;
    // The frame-rate entry the type was built from, so that AVI headers can record the exact
    // rational rate beside the rounded frame time.
    uint32_t RateNumerator = 0;
    uint32_t RateDenominator = 0;

    // The 100-byte format block: the VIDEOINFOHEADER and 12 zero bytes.
    std::vector<uint8_t> FormatBlock() const;
};

// Bytes per row of an uncompressed bitmap: width x bit depth / 8 rounded up to a multiple of 4.
int32_t VideoStride(int32_t width, int32_t bitDepth);

// The video type for a frame size, bit depth (24 selects RGB24, anything else RGB32) and
// frame-rate index.
TVideoMediaType MakeVideoMediaType(int32_t width, int32_t height, int32_t bitDepth, int rateIndex);

inline constexpr uint16_t kWaveFormatPCM = 1;
inline constexpr uint16_t kWaveFormatExtensible = 0xFFFE;
inline constexpr uint32_t kAudioSampleRate = 48000;

// WAVEFORMATEX, with the WAVEFORMATEXTENSIBLE tail when cbSize is 22.
struct TWaveFormat {
    uint16_t wFormatTag = kWaveFormatPCM;
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = kAudioSampleRate;
    uint32_t nAvgBytesPerSec = 0;
    uint16_t nBlockAlign = 0;
    uint16_t wBitsPerSample = 16;
    uint16_t cbSize = 0;
    uint16_t wValidBitsPerSample = 0;
    uint32_t dwChannelMask = 0;
    std::array<uint8_t, 16> SubFormat{};

    // cbSize + 18 bytes.
    std::vector<uint8_t> FormatBlock() const;
};

// KSDATAFORMAT_SUBTYPE_PCM in its byte order.
extern const std::array<uint8_t, 16> kSubtypePCM;

// 16-bit PCM at 48 kHz: plain PCM for one or two channels, the extensible form for more.
// Nothing for fewer than one channel or more than the format can describe.
std::optional<TWaveFormat> MakeAudioFormat(int32_t channels);

// Audio bytes to fetch with each video frame: the byte rate divided by the frame rate, rounded
// to the nearest integer and raised to a whole number of sample blocks.
uint32_t AudioBytesPerVideoFrame(const TWaveFormat& format, int rateIndex);
