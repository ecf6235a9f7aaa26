#include "codecs/lmvc/lmvcDecoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "codecs/lmvc/lmvcChecksum.h"
#include "codecs/lmvc/lmvcEntropy.h"
#include "codecs/lmvc/lmvcPlanar.h"
#include "codecs/lmvc/lmvcWorkers.h"

TLmvcDecoder::TLmvcDecoder() = default;
TLmvcDecoder::~TLmvcDecoder() = default;

bool TLmvcDecoder::Configure(const TLmvcFormat& output, int threads) {
    FConfigured = false;
    if (output.Width < 1 || output.Height < 1 || output.Width > kLmvcMaxDimension ||
        output.Height > kLmvcMaxDimension ||
        static_cast<int64_t>(output.Width) * output.Height > kLmvcMaxPixels) {
        FError = "frame size out of range";
        return false;
    }
    if (output.BitCount != 24 && output.BitCount != 32) {
        FError = "only 24 and 32 bits per pixel are supported";
        return false;
    }
    const size_t rowBytes = static_cast<size_t>(output.Width) * (output.BitCount / 8);
    if (output.Stride != 0 && output.Stride < rowBytes) {
        FError = "row stride smaller than a row";
        return false;
    }
    if (threads < 1 || threads > kLmvcMaxThreads) {
        FError = "thread count out of range";
        return false;
    }
    FFormat = output;
    FStride = output.Stride != 0 ? output.Stride : LmvcDibStride(output.Width, output.BitCount);
    if (!FWorkers || FWorkers->Count() != threads) {
        FWorkers = std::make_unique<TLmvcWorkers>(threads);
    }
    FScratch.assign(static_cast<size_t>(threads), {});
    FConfigured = true;
    FError.clear();
    return true;
}

size_t TLmvcDecoder::OutputSize() const {
    return FConfigured ? FStride * static_cast<size_t>(FFormat.Height) : 0;
}

bool TLmvcDecoder::ReadFrameInfo(const uint8_t* data, size_t size, TLmvcFrameInfo& info,
                                 std::string& error) {
    if (data == nullptr || size < kLmvcHeaderSize) {
        error = "frame shorter than its header";
        return false;
    }
    if (std::memcmp(data, kLmvcMagic, 4) != 0) {
        error = "not an LMVC frame";
        return false;
    }
    if (data[4] < kLmvcOldestVersion || data[4] > kLmvcVersion) {
        error = "unsupported LMVC version " + std::to_string(data[4]);
        return false;
    }
    const int bitCount = data[5];
    if ((bitCount != 24 && bitCount != 32) || data[6] != (bitCount == 32 ? 4 : 3) || data[7] != 0 ||
        LoadLE16(data + 18) != 0) {
        error = "unsupported pixel layout";
        return false;
    }
    const uint32_t width = LoadLE32(data + 8);
    const uint32_t height = LoadLE32(data + 12);
    if (width < 1 || height < 1 || width > kLmvcMaxDimension || height > kLmvcMaxDimension ||
        static_cast<int64_t>(width) * height > kLmvcMaxPixels) {
        error = "frame size out of range";
        return false;
    }
    const int slices = LoadLE16(data + 16);
    if (slices < 1 || slices > kLmvcMaxSlices || static_cast<uint32_t>(slices) > height) {
        error = "invalid slice count";
        return false;
    }
    const size_t total = LoadLE32(data + 20);
    const size_t tableEnd = kLmvcHeaderSize + kLmvcSliceEntrySize * static_cast<size_t>(slices);
    if (total > size) {
        error = "frame truncated";
        return false;
    }
    if (total < tableEnd) {
        error = "invalid frame size";
        return false;
    }
    size_t sum = 0;
    for (int s = 0; s < slices; ++s) {
        sum += LoadLE32(data + kLmvcHeaderSize + kLmvcSliceEntrySize * static_cast<size_t>(s));
    }
    if (sum != total - tableEnd) {
        error = "slice table does not match the frame size";
        return false;
    }
    info.Version = data[4];
    info.Width = static_cast<int>(width);
    info.Height = static_cast<int>(height);
    info.BitCount = bitCount;
    info.Slices = slices;
    info.Size = total;
    return true;
}

const char* TLmvcDecoder::DecodeSlice(int slice, int worker, const uint8_t* data, uint8_t* out) {
    const int width = FFrame.Width;
    const int planes = FFrame.BitCount == 32 ? 4 : 3;
    const int y0 = LmvcSliceFirstRow(slice, FFrame.Slices, FFrame.Height);
    const int y1 = LmvcSliceFirstRow(slice + 1, FFrame.Slices, FFrame.Height);
    const size_t count = static_cast<size_t>(y1 - y0) * width;
    std::vector<uint8_t>& scratch = FScratch[static_cast<size_t>(worker)];
    if (scratch.size() < planes * count + width) {
        scratch.resize(planes * count + width);
    }
    uint8_t* plane[4] = {};
    for (int p = 0; p < planes; ++p) {
        plane[p] = scratch.data() + p * count;
    }
    uint8_t* zeroRow = scratch.data() + planes * count;
    std::memset(zeroRow, 0, static_cast<size_t>(width));

    const uint8_t* pos = data + FSliceOffset[static_cast<size_t>(slice)];
    const uint8_t* end = data + FSliceOffset[static_cast<size_t>(slice) + 1];
    if (FVerifyChecksums &&
        LmvcCrc32c(pos, static_cast<size_t>(end - pos)) != FSliceCrc[static_cast<size_t>(slice)]) {
        return "checksum mismatch";
    }
    bool leftOnly[4] = {};
    for (int p = 0; p < planes; ++p) {
        if (static_cast<size_t>(end - pos) < kLmvcPlaneHeaderSize) {
            return "plane header missing";
        }
        const uint8_t method = pos[0] & 15;
        const uint8_t predictor = pos[0] >> 4;
        const size_t size = LoadLE32(pos + 1);
        pos += kLmvcPlaneHeaderSize;
        if (size > static_cast<size_t>(end - pos)) {
            return "plane runs past its slice";
        }
        // The four-stream code came with version 2.
        const auto lastMethod =
            FFrame.Version >= 2 ? TLmvcMethod::HuffmanStreams : TLmvcMethod::HuffmanRuns;
        if (method > static_cast<uint8_t>(lastMethod)) {
            return "unknown plane method";
        }
        if (predictor > static_cast<uint8_t>(TLmvcPredictor::Left)) {
            return "unknown predictor";
        }
        leftOnly[p] = predictor == static_cast<uint8_t>(TLmvcPredictor::Left);
        const char* error =
            LmvcDecodePlane(static_cast<TLmvcMethod>(method), pos, size, plane[p], count);
        if (error != nullptr) {
            return error;
        }
        pos += size;
    }
    if (pos != end) {
        return "unexpected bytes after the last plane";
    }

    const uint8_t* merge[4] = {plane[0], plane[1], plane[2], planes == 4 ? plane[3] : nullptr};
    for (int y = y0; y < y1; ++y) {
        const size_t offset = static_cast<size_t>(y - y0) * width;
        for (int p = 0; p < planes; ++p) {
            uint8_t* row = plane[p] + offset;
            LmvcUnpredictRow(row, y == y0 || leftOnly[p] ? zeroRow : row - width, width);
            merge[p] = row;
        }
        const int memoryRow = FFormat.BottomUp ? FFormat.Height - 1 - y : y;
        uint8_t* dst = out + static_cast<size_t>(memoryRow) * FStride;
        LmvcMergeRow(merge, width, FFormat.BitCount, dst);
        // Row padding carries no pixels; keep it defined.
        const size_t rowBytes = static_cast<size_t>(width) * (FFormat.BitCount / 8);
        if (FStride > rowBytes) {
            std::memset(dst + rowBytes, 0, FStride - rowBytes);
        }
    }
    return nullptr;
}

bool TLmvcDecoder::DecodeFrame(const uint8_t* data, size_t size, uint8_t* out, size_t outSize) {
    if (!FConfigured) {
        FError = "decoder not configured";
        return false;
    }
    if (out == nullptr || outSize < OutputSize()) {
        FError = "output buffer smaller than a frame";
        return false;
    }
    if (!ReadFrameInfo(data, size, FFrame, FError)) {
        return false;
    }
    if (FFrame.Width != FFormat.Width || FFrame.Height != FFormat.Height) {
        FError = "frame is " + std::to_string(FFrame.Width) + "x" + std::to_string(FFrame.Height) +
                 ", decoder expects " + std::to_string(FFormat.Width) + "x" +
                 std::to_string(FFormat.Height);
        return false;
    }
    FSliceOffset.resize(static_cast<size_t>(FFrame.Slices) + 1);
    FSliceCrc.resize(static_cast<size_t>(FFrame.Slices));
    size_t offset = kLmvcHeaderSize + kLmvcSliceEntrySize * static_cast<size_t>(FFrame.Slices);
    for (int s = 0; s < FFrame.Slices; ++s) {
        const uint8_t* entry =
            data + kLmvcHeaderSize + kLmvcSliceEntrySize * static_cast<size_t>(s);
        FSliceOffset[static_cast<size_t>(s)] = offset;
        FSliceCrc[static_cast<size_t>(s)] = LoadLE32(entry + 4);
        offset += LoadLE32(entry);
    }
    FSliceOffset[static_cast<size_t>(FFrame.Slices)] = offset;

    // Larger slices take longer to decode. Handing them out first leaves the small ones for
    // the end of the frame, where they even out the threads' finishing times.
    FSliceOrder.resize(static_cast<size_t>(FFrame.Slices));
    for (int s = 0; s < FFrame.Slices; ++s) {
        FSliceOrder[static_cast<size_t>(s)] = s;
    }
    std::stable_sort(FSliceOrder.begin(), FSliceOrder.end(), [this](int a, int b) {
        const auto size = [this](int s) {
            return FSliceOffset[static_cast<size_t>(s) + 1] - FSliceOffset[static_cast<size_t>(s)];
        };
        return size(a) > size(b);
    });
    FSliceError.assign(static_cast<size_t>(FFrame.Slices), nullptr);
    FWorkers->Run(FFrame.Slices, [&](int item, int worker) {
        const int slice = FSliceOrder[static_cast<size_t>(item)];
        // Exceptions stay on the thread that raised them.
        try {
            FSliceError[static_cast<size_t>(slice)] = DecodeSlice(slice, worker, data, out);
        } catch (const std::bad_alloc&) {
            FSliceError[static_cast<size_t>(slice)] = "out of memory";
        }
    });
    for (int s = 0; s < FFrame.Slices; ++s) {
        if (FSliceError[static_cast<size_t>(s)] != nullptr) {
            FError = "slice " + std::to_string(s) + ": " + FSliceError[static_cast<size_t>(s)];
            return false;
        }
    }
    FError.clear();
    return true;
}
