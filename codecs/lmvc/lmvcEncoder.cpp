#include "codecs/lmvc/lmvcEncoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "codecs/lmvc/lmvcChecksum.h"
#include "codecs/lmvc/lmvcEntropy.h"
#include "codecs/lmvc/lmvcPlanar.h"
#include "codecs/lmvc/lmvcWorkers.h"

namespace {

// A slice buffer of at least size bytes; it keeps its capacity from frame to frame.
uint8_t* GrowTo(std::vector<uint8_t>& buffer, size_t size) {
    if (buffer.size() < size) {
        buffer.resize(size);
    }
    return buffer.data();
}

}  // namespace

TLmvcEncoder::TLmvcEncoder() = default;
TLmvcEncoder::~TLmvcEncoder() = default;

bool TLmvcEncoder::Configure(const TLmvcFormat& format, int threads) {
    FConfigured = false;
    if (format.Width < 1 || format.Height < 1 || format.Width > kLmvcMaxDimension ||
        format.Height > kLmvcMaxDimension ||
        static_cast<int64_t>(format.Width) * format.Height > kLmvcMaxPixels) {
        FError = "frame size out of range";
        return false;
    }
    if (format.BitCount != 24 && format.BitCount != 32) {
        FError = "only 24 and 32 bits per pixel are supported";
        return false;
    }
    const size_t rowBytes = static_cast<size_t>(format.Width) * (format.BitCount / 8);
    if (format.Stride != 0 && format.Stride < rowBytes) {
        FError = "row stride smaller than a row";
        return false;
    }
    if (threads < 1 || threads > kLmvcMaxThreads) {
        FError = "thread count out of range";
        return false;
    }
    FFormat = format;
    FStride = format.Stride != 0 ? format.Stride : LmvcDibStride(format.Width, format.BitCount);
    FPlanes = format.BitCount == 32 ? 4 : 3;
    FSlices = LmvcSliceCountFor(format.Height);
    if (!FWorkers || FWorkers->Count() != threads) {
        FWorkers = std::make_unique<TLmvcWorkers>(threads);
    }
    const size_t maxRows = static_cast<size_t>((format.Height + FSlices - 1) / FSlices);
    const size_t width = static_cast<size_t>(format.Width);
    // Residual planes of one slice, two sets of plane rows (current, above) and a zero row.
    FScratch.assign(static_cast<size_t>(threads),
                    std::vector<uint8_t>(FPlanes * maxRows * width + (2 * FPlanes + 1) * width));
    FSideData.assign(static_cast<size_t>(FSlices), {});
    FResults.assign(static_cast<size_t>(FSlices), {});
    {
        TLock guard(FLayoutLock);
        FLayoutSize.assign(static_cast<size_t>(FSlices), 0);
        FLayoutOffset.assign(static_cast<size_t>(FSlices), 0);
        FLayoutSide.assign(static_cast<size_t>(FSlices), TSide::None);
    }
    FConfigured = true;
    FError.clear();
    return true;
}

size_t TLmvcEncoder::InputSize() const {
    return FConfigured ? FStride * static_cast<size_t>(FFormat.Height) : 0;
}

size_t TLmvcEncoder::MaxCompressedSize() const {
    if (!FConfigured) {
        return 0;
    }
    // Every plane falls back to raw bytes when nothing smaller is found.
    return kLmvcHeaderSize + kLmvcSliceEntrySize * static_cast<size_t>(FSlices) +
           static_cast<size_t>(FSlices) * FPlanes * kLmvcPlaneHeaderSize +
           static_cast<size_t>(FFormat.Width) * FFormat.Height * FPlanes;
}

bool TLmvcEncoder::PublishSize(int slice, size_t size, size_t& offset, int& first, int& last) {
    TLock guard(FLayoutLock);
    FLayoutSize[static_cast<size_t>(slice)] = size;
    first = FLayoutKnown;
    while (FLayoutKnown < FSlices && FLayoutSize[static_cast<size_t>(FLayoutKnown)] != 0) {
        const auto s = static_cast<size_t>(FLayoutKnown);
        FLayoutOffset[s] = FLayoutEnd;
        FLayoutEnd += FLayoutSize[s];
        if (FLayoutSide[s] == TSide::Waiting) {
            FLayoutSide[s] = TSide::Claimed;
        }
        ++FLayoutKnown;
    }
    last = FLayoutKnown;
    offset = FLayoutOffset[static_cast<size_t>(slice)];
    return slice < FLayoutKnown;
}

void TLmvcEncoder::CopyClaimed(int first, int last, uint8_t* out) {
    // The range is this thread's alone: nobody else claims in it, and its slices' side buffers
    // were complete when they were marked as waiting.
    for (int s = first; s < last; ++s) {
        const auto i = static_cast<size_t>(s);
        if (FLayoutSide[i] == TSide::Claimed) {
            std::memcpy(out + FLayoutOffset[i], FSideData[i].data(), FLayoutSize[i]);
        }
    }
}

void TLmvcEncoder::EncodeSlice(int slice, int worker, const uint8_t* frame, uint8_t* out) {
    const int width = FFormat.Width;
    const int y0 = LmvcSliceFirstRow(slice, FSlices, FFormat.Height);
    const int y1 = LmvcSliceFirstRow(slice + 1, FSlices, FFormat.Height);
    const size_t count = static_cast<size_t>(y1 - y0) * width;
    const size_t maxRows = static_cast<size_t>((FFormat.Height + FSlices - 1) / FSlices);
    uint8_t* base = FScratch[static_cast<size_t>(worker)].data();
    uint8_t* residual[4] = {};
    uint8_t* rows[2][4] = {};
    uint8_t* cursor = base;
    for (int p = 0; p < FPlanes; ++p) {
        residual[p] = cursor;
        cursor += maxRows * width;
    }
    for (int set = 0; set < 2; ++set) {
        for (int p = 0; p < FPlanes; ++p) {
            rows[set][p] = cursor;
            cursor += width;
        }
    }
    uint8_t* zeroRow = cursor;
    std::memset(zeroRow, 0, static_cast<size_t>(width));

    // Gradient prediction suits detail; where noise dominates, the left neighbour alone
    // predicts better. Both are measured on every row and the better one is kept per plane.
    uint64_t gradientCost[4] = {}, leftCost[4] = {};
    for (int y = y0; y < y1; ++y) {
        const int memoryRow = FFormat.BottomUp ? FFormat.Height - 1 - y : y;
        const uint8_t* src = frame + static_cast<size_t>(memoryRow) * FStride;
        uint8_t* const* cur = rows[y & 1];
        uint8_t* const* above = rows[(y & 1) ^ 1];
        LmvcSplitRow(src, FFormat.BitCount, width, cur);
        for (int p = 0; p < FPlanes; ++p) {
            uint8_t* res = residual[p] + static_cast<size_t>(y - y0) * width;
            if (y == y0) {
                LmvcPredictRow(cur[p], zeroRow, width, res);
                continue;
            }
            LmvcPredictRowWithCosts(cur[p], above[p], width, res, gradientCost[p], leftCost[p]);
        }
    }
    TLmvcPredictor predictor[4] = {};
    for (int p = 0; p < FPlanes; ++p) {
        if (leftCost[p] < gradientCost[p]) {
            predictor[p] = TLmvcPredictor::Left;
            for (int y = 1; y < y1 - y0; ++y) {
                uint8_t* res = residual[p] + static_cast<size_t>(y) * width;
                LmvcAccumulateRow(res, res - width, width);
            }
        }
    }

    TLmvcPlaneEncoder coders[4];
    size_t total = 0;
    for (int p = 0; p < FPlanes; ++p) {
        total += coders[p].Plan(residual[p], count);
    }
    // Slices are handed out in order and take about the same time, so the slices before this
    // one have usually been sized already: then it is written once, straight into place.
    size_t offset = 0;
    int first = 0, last = 0;
    const bool placed = PublishSize(slice, total, offset, first, last);
    CopyClaimed(first, last, out);
    uint8_t* const begin =
        placed ? out + offset : GrowTo(FSideData[static_cast<size_t>(slice)], total);
    uint8_t* dst = begin;
    for (int p = 0; p < FPlanes; ++p) {
        coders[p].Write(residual[p], count, dst);
        dst[0] = static_cast<uint8_t>(dst[0] | (static_cast<uint8_t>(predictor[p]) << 4));
        dst += kLmvcPlaneHeaderSize + LoadLE32(dst + 1);
    }
    TSliceResult& result = FResults[static_cast<size_t>(slice)];
    result.Size = total;
    result.Crc = LmvcCrc32c(begin, total);
    if (placed) {
        return;
    }
    // Either the place is known by now (the bytes are copied while still in this core's
    // cache), or the thread that completes the sizes before this slice will copy it.
    {
        TLock guard(FLayoutLock);
        if (slice >= FLayoutKnown) {
            FLayoutSide[static_cast<size_t>(slice)] = TSide::Waiting;
            return;
        }
        offset = FLayoutOffset[static_cast<size_t>(slice)];
    }
    std::memcpy(out + offset, begin, total);
}

bool TLmvcEncoder::EncodeFrame(const uint8_t* frame, size_t frameSize, uint8_t* out,
                               size_t capacity, size_t& written) {
    written = 0;
    if (!FConfigured) {
        FError = "encoder not configured";
        return false;
    }
    // The last row needs only its pixels, not its padding.
    const size_t rowBytes = static_cast<size_t>(FFormat.Width) * (FFormat.BitCount / 8);
    const size_t needed = FStride * static_cast<size_t>(FFormat.Height - 1) + rowBytes;
    if (frame == nullptr || frameSize < needed) {
        FError = "input frame too small";
        return false;
    }
    if (out == nullptr || capacity < MaxCompressedSize()) {
        FError = "output buffer smaller than the largest compressed frame";
        return false;
    }
    const size_t tableEnd = kLmvcHeaderSize + kLmvcSliceEntrySize * static_cast<size_t>(FSlices);
    {
        TLock guard(FLayoutLock);
        std::fill(FLayoutSize.begin(), FLayoutSize.end(), 0);
        std::fill(FLayoutSide.begin(), FLayoutSide.end(), TSide::None);
        FLayoutKnown = 0;
        FLayoutEnd = tableEnd;
    }
    // One pass over the frame: each thread codes the slices it takes and puts them in place.
    // Exceptions stay on the thread that raised them; a slice that ran out of memory fails the
    // frame.
    FWorkers->Run(FSlices, [&](int slice, int worker) {
        TSliceResult& result = FResults[static_cast<size_t>(slice)];
        result.Failed = false;
        try {
            EncodeSlice(slice, worker, frame, out);
        } catch (const std::bad_alloc&) {
            result.Failed = true;
        }
    });
    size_t size = tableEnd;
    for (const TSliceResult& result : FResults) {
        if (result.Failed) {
            FError = "out of memory";
            return false;
        }
        size += result.Size;
    }
    std::memcpy(out, kLmvcMagic, 4);
    out[4] = kLmvcVersion;
    out[5] = static_cast<uint8_t>(FFormat.BitCount);
    out[6] = static_cast<uint8_t>(FPlanes);
    out[7] = 0;
    StoreLE32(out + 8, static_cast<uint32_t>(FFormat.Width));
    StoreLE32(out + 12, static_cast<uint32_t>(FFormat.Height));
    StoreLE16(out + 16, static_cast<uint16_t>(FSlices));
    StoreLE16(out + 18, 0);
    StoreLE32(out + 20, static_cast<uint32_t>(size));
    uint8_t* table = out + kLmvcHeaderSize;
    for (int s = 0; s < FSlices; ++s) {
        const TSliceResult& result = FResults[static_cast<size_t>(s)];
        StoreLE32(table + kLmvcSliceEntrySize * s, static_cast<uint32_t>(result.Size));
        StoreLE32(table + kLmvcSliceEntrySize * s + 4, result.Crc);
    }
    written = size;
    FError.clear();
    return true;
}

bool TLmvcEncoder::EncodeFrame(const uint8_t* frame, size_t frameSize, std::vector<uint8_t>& out) {
    out.resize(MaxCompressedSize());
    size_t written = 0;
    bool ok = EncodeFrame(frame, frameSize, out.data(), out.size(), written);
    out.resize(written);
    return ok;
}
