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
    configured_ = false;
    if (format.Width < 1 || format.Height < 1 || format.Width > kLmvcMaxDimension ||
        format.Height > kLmvcMaxDimension ||
        static_cast<int64_t>(format.Width) * format.Height > kLmvcMaxPixels) {
        error_ = "frame size out of range";
        return false;
    }
    if (format.BitCount != 24 && format.BitCount != 32) {
        error_ = "only 24 and 32 bits per pixel are supported";
        return false;
    }
    const size_t rowBytes = static_cast<size_t>(format.Width) * (format.BitCount / 8);
    if (format.Stride != 0 && format.Stride < rowBytes) {
        error_ = "row stride smaller than a row";
        return false;
    }
    if (threads < 1 || threads > kLmvcMaxThreads) {
        error_ = "thread count out of range";
        return false;
    }
    format_ = format;
    stride_ = format.Stride != 0 ? format.Stride : LmvcDibStride(format.Width, format.BitCount);
    planes_ = format.BitCount == 32 ? 4 : 3;
    slices_ = LmvcSliceCountFor(format.Height);
    if (!workers_ || workers_->Count() != threads) {
        workers_ = std::make_unique<TLmvcWorkers>(threads);
    }
    const size_t maxRows = static_cast<size_t>((format.Height + slices_ - 1) / slices_);
    const size_t width = static_cast<size_t>(format.Width);
    // Residual planes of one slice, two sets of plane rows (current, above) and a zero row.
    scratch_.assign(static_cast<size_t>(threads),
                    std::vector<uint8_t>(planes_ * maxRows * width + (2 * planes_ + 1) * width));
    sideData_.assign(static_cast<size_t>(slices_), {});
    results_.assign(static_cast<size_t>(slices_), {});
    {
        TLock guard(layoutLock_);
        layoutSize_.assign(static_cast<size_t>(slices_), 0);
        layoutOffset_.assign(static_cast<size_t>(slices_), 0);
        layoutSide_.assign(static_cast<size_t>(slices_), TSide::None);
    }
    configured_ = true;
    error_.clear();
    return true;
}

size_t TLmvcEncoder::InputSize() const {
    return configured_ ? stride_ * static_cast<size_t>(format_.Height) : 0;
}

size_t TLmvcEncoder::MaxCompressedSize() const {
    if (!configured_) {
        return 0;
    }
    // Every plane falls back to raw bytes when nothing smaller is found.
    return kLmvcHeaderSize + kLmvcSliceEntrySize * static_cast<size_t>(slices_) +
           static_cast<size_t>(slices_) * planes_ * kLmvcPlaneHeaderSize +
           static_cast<size_t>(format_.Width) * format_.Height * planes_;
}

bool TLmvcEncoder::PublishSize(int slice, size_t size, size_t& offset, int& first, int& last) {
    TLock guard(layoutLock_);
    layoutSize_[static_cast<size_t>(slice)] = size;
    first = layoutKnown_;
    while (layoutKnown_ < slices_ && layoutSize_[static_cast<size_t>(layoutKnown_)] != 0) {
        const auto s = static_cast<size_t>(layoutKnown_);
        layoutOffset_[s] = layoutEnd_;
        layoutEnd_ += layoutSize_[s];
        if (layoutSide_[s] == TSide::Waiting) {
            layoutSide_[s] = TSide::Claimed;
        }
        ++layoutKnown_;
    }
    last = layoutKnown_;
    offset = layoutOffset_[static_cast<size_t>(slice)];
    return slice < layoutKnown_;
}

void TLmvcEncoder::CopyClaimed(int first, int last, uint8_t* out) {
    // The range is this thread's alone: nobody else claims in it, and its slices' side buffers
    // were complete when they were marked as waiting.
    for (int s = first; s < last; ++s) {
        const auto i = static_cast<size_t>(s);
        if (layoutSide_[i] == TSide::Claimed) {
            std::memcpy(out + layoutOffset_[i], sideData_[i].data(), layoutSize_[i]);
        }
    }
}

void TLmvcEncoder::EncodeSlice(int slice, int worker, const uint8_t* frame, uint8_t* out) {
    const int width = format_.Width;
    const int y0 = LmvcSliceFirstRow(slice, slices_, format_.Height);
    const int y1 = LmvcSliceFirstRow(slice + 1, slices_, format_.Height);
    const size_t count = static_cast<size_t>(y1 - y0) * width;
    const size_t maxRows = static_cast<size_t>((format_.Height + slices_ - 1) / slices_);
    uint8_t* base = scratch_[static_cast<size_t>(worker)].data();
    uint8_t* residual[4] = {};
    uint8_t* rows[2][4] = {};
    uint8_t* cursor = base;
    for (int p = 0; p < planes_; ++p) {
        residual[p] = cursor;
        cursor += maxRows * width;
    }
    for (int set = 0; set < 2; ++set) {
        for (int p = 0; p < planes_; ++p) {
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
        const int memoryRow = format_.BottomUp ? format_.Height - 1 - y : y;
        const uint8_t* src = frame + static_cast<size_t>(memoryRow) * stride_;
        uint8_t* const* cur = rows[y & 1];
        uint8_t* const* above = rows[(y & 1) ^ 1];
        LmvcSplitRow(src, format_.BitCount, width, cur);
        for (int p = 0; p < planes_; ++p) {
            uint8_t* res = residual[p] + static_cast<size_t>(y - y0) * width;
            if (y == y0) {
                LmvcPredictRow(cur[p], zeroRow, width, res);
                continue;
            }
            LmvcPredictRowWithCosts(cur[p], above[p], width, res, gradientCost[p], leftCost[p]);
        }
    }
    TLmvcPredictor predictor[4] = {};
    for (int p = 0; p < planes_; ++p) {
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
    for (int p = 0; p < planes_; ++p) {
        total += coders[p].Plan(residual[p], count);
    }
    // Slices are handed out in order and take about the same time, so the slices before this
    // one have usually been sized already: then it is written once, straight into place.
    size_t offset = 0;
    int first = 0, last = 0;
    const bool placed = PublishSize(slice, total, offset, first, last);
    CopyClaimed(first, last, out);
    uint8_t* const begin =
        placed ? out + offset : GrowTo(sideData_[static_cast<size_t>(slice)], total);
    uint8_t* dst = begin;
    for (int p = 0; p < planes_; ++p) {
        coders[p].Write(residual[p], count, dst);
        dst[0] = static_cast<uint8_t>(dst[0] | (static_cast<uint8_t>(predictor[p]) << 4));
        dst += kLmvcPlaneHeaderSize + LoadLE32(dst + 1);
    }
    TSliceResult& result = results_[static_cast<size_t>(slice)];
    result.Size = total;
    result.Crc = LmvcCrc32c(begin, total);
    if (placed) {
        return;
    }
    // Either the place is known by now (the bytes are copied while still in this core's
    // cache), or the thread that completes the sizes before this slice will copy it.
    {
        TLock guard(layoutLock_);
        if (slice >= layoutKnown_) {
            layoutSide_[static_cast<size_t>(slice)] = TSide::Waiting;
            return;
        }
        offset = layoutOffset_[static_cast<size_t>(slice)];
    }
    std::memcpy(out + offset, begin, total);
}

bool TLmvcEncoder::EncodeFrame(const uint8_t* frame, size_t frameSize, uint8_t* out,
                               size_t capacity, size_t& written) {
    written = 0;
    if (!configured_) {
        error_ = "encoder not configured";
        return false;
    }
    // The last row needs only its pixels, not its padding.
    const size_t rowBytes = static_cast<size_t>(format_.Width) * (format_.BitCount / 8);
    const size_t needed = stride_ * static_cast<size_t>(format_.Height - 1) + rowBytes;
    if (frame == nullptr || frameSize < needed) {
        error_ = "input frame too small";
        return false;
    }
    if (out == nullptr || capacity < MaxCompressedSize()) {
        error_ = "output buffer smaller than the largest compressed frame";
        return false;
    }
    const size_t tableEnd = kLmvcHeaderSize + kLmvcSliceEntrySize * static_cast<size_t>(slices_);
    {
        TLock guard(layoutLock_);
        std::fill(layoutSize_.begin(), layoutSize_.end(), 0);
        std::fill(layoutSide_.begin(), layoutSide_.end(), TSide::None);
        layoutKnown_ = 0;
        layoutEnd_ = tableEnd;
    }
    // One pass over the frame: each thread codes the slices it takes and puts them in place.
    // Exceptions stay on the thread that raised them; a slice that ran out of memory fails the
    // frame.
    workers_->Run(slices_, [&](int slice, int worker) {
        TSliceResult& result = results_[static_cast<size_t>(slice)];
        result.Failed = false;
        try {
            EncodeSlice(slice, worker, frame, out);
        } catch (const std::bad_alloc&) {
            result.Failed = true;
        }
    });
    size_t size = tableEnd;
    for (const TSliceResult& result : results_) {
        if (result.Failed) {
            error_ = "out of memory";
            return false;
        }
        size += result.Size;
    }
    std::memcpy(out, kLmvcMagic, 4);
    out[4] = kLmvcVersion;
    out[5] = static_cast<uint8_t>(format_.BitCount);
    out[6] = static_cast<uint8_t>(planes_);
    out[7] = 0;
    StoreLE32(out + 8, static_cast<uint32_t>(format_.Width));
    StoreLE32(out + 12, static_cast<uint32_t>(format_.Height));
    StoreLE16(out + 16, static_cast<uint16_t>(slices_));
    StoreLE16(out + 18, 0);
    StoreLE32(out + 20, static_cast<uint32_t>(size));
    uint8_t* table = out + kLmvcHeaderSize;
    for (int s = 0; s < slices_; ++s) {
        const TSliceResult& result = results_[static_cast<size_t>(s)];
        StoreLE32(table + kLmvcSliceEntrySize * s, static_cast<uint32_t>(result.Size));
        StoreLE32(table + kLmvcSliceEntrySize * s + 4, result.Crc);
    }
    written = size;
    error_.clear();
    return true;
}

bool TLmvcEncoder::EncodeFrame(const uint8_t* frame, size_t frameSize, std::vector<uint8_t>& out) {
    out.resize(MaxCompressedSize());
    size_t written = 0;
    bool ok = EncodeFrame(frame, frameSize, out.data(), out.size(), written);
    out.resize(written);
    return ok;
}
