#include "server/media/lmMediaTypes.h"

#include <cstring>

#include "foundation/lmVmVideoModes.h"

void TBitmapInfoHeader::Write(TLEWriter& out) const {
    out.U32(biSize);
    out.U32(static_cast<uint32_t>(biWidth));
    out.U32(static_cast<uint32_t>(biHeight));
    out.U16(biPlanes);
    out.U16(biBitCount);
    out.U32(biCompression);
    out.U32(biSizeImage);
    out.U32(static_cast<uint32_t>(biXPelsPerMeter));
    out.U32(static_cast<uint32_t>(biYPelsPerMeter));
    out.U32(biClrUsed);
    out.U32(biClrImportant);
}

void TVideoInfoHeader::Write(TLEWriter& out) const {
    for (int32_t v : rcSource) {
        out.U32(static_cast<uint32_t>(v));
    }
    for (int32_t v : rcTarget) {
        out.U32(static_cast<uint32_t>(v));
    }
    out.U32(dwBitRate);
    out.U32(dwBitErrorRate);
    out.U64(static_cast<uint64_t>(AvgTimePerFrame));
    bmiHeader.Write(out);
}

std::vector<uint8_t> TVideoMediaType::FormatBlock() const {
    std::vector<uint8_t> block;
    TLEWriter out(block);
    Header.Write(out);
    out.Zeros(12);
    return block;
}

int32_t VideoStride(int32_t width, int32_t bitDepth) {
    const int64_t bits = static_cast<int64_t>(width) * bitDepth;
    return static_cast<int32_t>((bits + 31) / 32 * 4);
}

TVideoMediaType MakeVideoMediaType(int32_t width, int32_t height, int32_t bitDepth, int rateIndex) {
    TVideoMediaType type;
    TBitmapInfoHeader& bmi = type.Header.bmiHeader;
    bmi.biWidth = width;
    bmi.biHeight = height;
    bmi.biBitCount = static_cast<uint16_t>(bitDepth);
    bmi.biSizeImage =
        static_cast<uint32_t>(static_cast<int64_t>(VideoStride(width, bitDepth)) * height);
    type.Header.AvgTimePerFrame = FrameDuration100ns(rateIndex);
    type.Header.dwBitRate = static_cast<uint32_t>(VideoDataRate(rateIndex, bmi.biSizeImage));
    type.Subtype = bitDepth == 24 ? TVideoSubtype::RGB24 : TVideoSubtype::RGB32;
    type.SampleSize = bmi.biSizeImage;
    const TFrameRateEntry& entry = FrameRateEntry(rateIndex);
    type.RateNumerator = entry.Numerator;
    type.RateDenominator = entry.Denominator;
    return type;
}

const std::array<uint8_t, 16> kSubtypePCM{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                          0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::vector<uint8_t> TWaveFormat::FormatBlock() const {
    std::vector<uint8_t> block;
    TLEWriter out(block);
    out.U16(wFormatTag);
    out.U16(nChannels);
    out.U32(nSamplesPerSec);
    out.U32(nAvgBytesPerSec);
    out.U16(nBlockAlign);
    out.U16(wBitsPerSample);
    out.U16(cbSize);
    if (cbSize >= 22) {
        out.U16(wValidBitsPerSample);
        out.U32(dwChannelMask);
        out.Bytes(SubFormat.data(), SubFormat.size());
        out.Zeros(cbSize - 22u);
    } else {
        out.Zeros(cbSize);
    }
    return block;
}

std::optional<TWaveFormat> MakeAudioFormat(int32_t channels) {
    // nBlockAlign is 16 bits wide.
    if (channels < 1 || channels > 32767) {
        return std::nullopt;
    }
    TWaveFormat format;
    format.nChannels = static_cast<uint16_t>(channels);
    format.nBlockAlign = static_cast<uint16_t>(channels * 16 / 8);
    format.nAvgBytesPerSec = static_cast<uint32_t>(format.nBlockAlign) * kAudioSampleRate;
    if (channels >= 3) {
        format.wFormatTag = kWaveFormatExtensible;
        format.cbSize = 22;
        format.wValidBitsPerSample = 16;
        format.dwChannelMask = 0;
        format.SubFormat = kSubtypePCM;
    }
    return format;
}

uint32_t AudioBytesPerVideoFrame(const TWaveFormat& format, int rateIndex) {
    uint64_t bytes = static_cast<uint64_t>(AudioBytesPerFrame(rateIndex, format.nAvgBytesPerSec));
    const uint64_t block = format.nBlockAlign == 0 ? 1 : format.nBlockAlign;
    if (bytes % block != 0) {
        bytes += block - bytes % block;
    }
    return static_cast<uint32_t>(bytes);
}
