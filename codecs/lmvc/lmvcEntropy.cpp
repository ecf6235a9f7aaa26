#include "codecs/lmvc/lmvcEntropy.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr int kTableBits = kLmvcMaxCodeLength;
constexpr int kTableSize = 1 << kTableBits;

// Nibble codes of the stored code-length table: 0..12 are lengths, 13 k is a run of k+2 unused
// symbols, 14 h l is a run of 18 + (h*16+l) unused symbols.
constexpr uint8_t kShortZeroRun = 13;
constexpr uint8_t kLongZeroRun = 14;

int TableNibbles(const uint8_t* lengths, int symbols, uint8_t* nibbles) {
    int count = 0;
    int i = 0;
    while (i < symbols) {
        if (lengths[i] != 0) {
            nibbles[count++] = lengths[i++];
            continue;
        }
        int run = 1;
        while (i + run < symbols && lengths[i + run] == 0) {
            ++run;
        }
        if (run >= 18) {
            run = std::min(run, 18 + 255);
            nibbles[count++] = kLongZeroRun;
            nibbles[count++] = static_cast<uint8_t>((run - 18) >> 4);
            nibbles[count++] = static_cast<uint8_t>((run - 18) & 15);
        } else if (run >= 2) {
            nibbles[count++] = kShortZeroRun;
            nibbles[count++] = static_cast<uint8_t>(run - 2);
        } else {
            nibbles[count++] = 0;
        }
        i += run;
    }
    return count;
}

size_t TableBytes(const uint8_t* lengths, int symbols) {
    uint8_t nibbles[kLmvcRunSymbols * 2];
    return (static_cast<size_t>(TableNibbles(lengths, symbols, nibbles)) + 1) / 2;
}

size_t WriteTable(const uint8_t* lengths, int symbols, uint8_t* out) {
    uint8_t nibbles[kLmvcRunSymbols * 2 + 1];
    int count = TableNibbles(lengths, symbols, nibbles);
    nibbles[count] = 0;
    size_t bytes = (static_cast<size_t>(count) + 1) / 2;
    for (size_t b = 0; b < bytes; ++b) {
        out[b] = static_cast<uint8_t>((nibbles[2 * b] << 4) | nibbles[2 * b + 1]);
    }
    return bytes;
}

// Answers the bytes the table took, or 0 when it is damaged.
size_t ReadTable(const uint8_t* in, size_t size, int symbols, uint8_t* lengths) {
    size_t nibble = 0;
    auto next = [&](uint8_t& value) {
        if (nibble / 2 >= size) {
            return false;
        }
        uint8_t byte = in[nibble / 2];
        value =
            (nibble % 2 == 0) ? static_cast<uint8_t>(byte >> 4) : static_cast<uint8_t>(byte & 15);
        ++nibble;
        return true;
    };
    int i = 0;
    while (i < symbols) {
        uint8_t v;
        if (!next(v)) {
            return 0;
        }
        if (v <= kLmvcMaxCodeLength) {
            lengths[i++] = v;
            continue;
        }
        int run;
        uint8_t hi, lo;
        if (v == kShortZeroRun) {
            if (!next(lo)) {
                return 0;
            }
            run = lo + 2;
        } else if (v == kLongZeroRun) {
            if (!next(hi) || !next(lo)) {
                return 0;
            }
            run = 18 + hi * 16 + lo;
        } else {
            return 0;
        }
        if (run > symbols - i) {
            return 0;
        }
        std::memset(lengths + i, 0, static_cast<size_t>(run));
        i += run;
    }
    return (nibble + 1) / 2;
}

// Fills the 12-bit lookup table: entry = symbol << 4 | length, 0 for bit patterns that no code
// starts with. Fails when the lengths overfill the code space.
bool BuildDecodeTable(const uint8_t* lengths, int symbols, uint16_t* table) {
    uint32_t space = 0;
    for (int s = 0; s < symbols; ++s) {
        if (lengths[s] != 0) {
            space += 1u << (kTableBits - lengths[s]);
        }
    }
    if (space == 0 || space > static_cast<uint32_t>(kTableSize)) {
        return false;
    }
    uint16_t codes[kLmvcRunSymbols];
    LmvcAssignCanonicalCodes(lengths, symbols, codes);
    std::memset(table, 0, sizeof(uint16_t) * kTableSize);
    for (int s = 0; s < symbols; ++s) {
        int len = lengths[s];
        if (len == 0) {
            continue;
        }
        uint32_t first = static_cast<uint32_t>(codes[s]) << (kTableBits - len);
        uint32_t count = 1u << (kTableBits - len);
        uint16_t entry = static_cast<uint16_t>((s << 4) | len);
        std::fill(table + first, table + first + count, entry);
    }
    return true;
}

// Calls literal(value) and run(length) for the tokens of the zero-run coding: every maximal
// run of two or more zero bytes is one run token, all other bytes are literals.
template <class Literal, class Run>
void ScanTokens(const uint8_t* r, size_t n, Literal literal, Run run) {
    size_t i = 0;
    while (i < n) {
        if (r[i] != 0) {
            literal(r[i]);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool found = false;
        while (!found && j + 8 <= n) {
            uint64_t w;
            std::memcpy(&w, r + j, 8);
            if (w == 0) {
                j += 8;
                continue;
            }
            if constexpr (std::endian::native == std::endian::little) {
                j += static_cast<size_t>(std::countr_zero(w)) / 8;
            } else {
                j += static_cast<size_t>(std::countl_zero(w)) / 8;
            }
            found = true;
        }
        while (!found && j < n && r[j] == 0) {
            ++j;
        }
        size_t len = j - i;
        if (len == 1) {
            literal(0);
        } else {
            run(len);
        }
        i = j;
    }
}

// Run length L >= 2 is sent as class c = floor(log2(L-1)) and the c low bits of L-1.
inline int RunClass(size_t len) {
    return std::bit_width(static_cast<uint64_t>(len - 1)) - 1;
}

// Most-significant-bit-first writer into [out, end). Codes are shifted in at the bottom of a
// 64-bit accumulator and Flush stores eight bytes at once, keeping the whole ones: no branch
// per code. Up to 56 bits may be put between flushes. Near the end only the bytes before end
// are stored, so the writer never touches what follows its stream.
class TBitWriter {
  public:
    TBitWriter(uint8_t* out, uint8_t* end) : FCursor(out), FEnd(end) {}
    // code < 2^len.
    void Put(uint32_t code, unsigned len) {
        FAcc = (FAcc << len) | code;
        FBits += len;
    }
    // Without the bound: for callers that know at least 64 more bits follow.
    void FlushInside() {
        uint64_t w = (FAcc << 1) << (63 - FBits);
        if constexpr (std::endian::native == std::endian::little) {
            w = __builtin_bswap64(w);
        }
        std::memcpy(FCursor, &w, 8);
        FCursor += FBits >> 3;
        FBits &= 7;
    }
    void Flush() {
        // The pending bits to the top; bits that left earlier fall off. Two shifts, because
        // FBits may be 0.
        const uint64_t top = (FAcc << 1) << (63 - FBits);
        if (FEnd - FCursor >= 8) {
            uint64_t w = top;
            if constexpr (std::endian::native == std::endian::little) {
                w = __builtin_bswap64(w);
            }
            std::memcpy(FCursor, &w, 8);
        } else {
            for (ptrdiff_t b = 0; b < FEnd - FCursor; ++b) {
                FCursor[b] = static_cast<uint8_t>(top >> (56 - 8 * b));
            }
        }
        FCursor += FBits >> 3;
        FBits &= 7;
    }
    // Pads the last byte with zero bits.
    uint8_t* Finish() {
        Flush();
        if (FBits > 0) {
            ++FCursor;
            FAcc = 0;
            FBits = 0;
        }
        return FCursor;
    }

  private:
    uint8_t* FCursor;
    uint8_t* FEnd;
    uint64_t FAcc = 0;
    unsigned FBits = 0;
};

// Most-significant-bit-first reader that never reads past its end: missing bytes read as zero
// and are counted, so a stream that needed them is recognised as truncated. After Refill at
// least 56 bits are available.
class TBitReader {
  public:
    TBitReader(const uint8_t* p, const uint8_t* end) : FCursor(p), FEnd(end) {}
    void Refill() {
        if (FEnd - FCursor >= 8) {
            // Whole bytes that fit go in; the bits of a partly fitting byte are stream bits too
            // and are put in again, at the same place, by the next refill.
            uint64_t w;
            std::memcpy(&w, FCursor, 8);
            if constexpr (std::endian::native == std::endian::little) {
                w = __builtin_bswap64(w);
            }
            FBits |= w >> FAvail;
            FCursor += (63 - FAvail) >> 3;
            FAvail |= 56;
            return;
        }
        while (FAvail <= 56) {
            if (FCursor < FEnd) {
                FBits |= static_cast<uint64_t>(*FCursor++) << (56 - FAvail);
            } else {
                ++FMissing;
            }
            FAvail += 8;
        }
    }
    uint32_t Peek12() const { return static_cast<uint32_t>(FBits >> (64 - kTableBits)); }
    uint32_t Take(unsigned len) {
        uint32_t v = len == 0 ? 0 : static_cast<uint32_t>(FBits >> (64 - len));
        Skip(len);
        return v;
    }
    void Skip(unsigned len) {
        FBits <<= len;
        FAvail -= len;
    }
    // True while no bit beyond the real end has been consumed.
    bool WithinEnd() const { return FMissing * 8 <= FAvail; }
    bool Exhausted() const { return FMissing > 8; }

  private:
    const uint8_t* FCursor;
    const uint8_t* FEnd;
    uint64_t FBits = 0;
    unsigned FAvail = 0;
    size_t FMissing = 0;
};

// One symbol of a literal-only code.
#define LMVC_DECODE_LITERAL(index)                 \
    do {                                           \
        const uint16_t e = table[in.Peek12()];     \
        if ((e & 15) == 0) {                       \
            return "invalid Huffman code";         \
        }                                          \
        out[index] = static_cast<uint8_t>(e >> 4); \
        in.Skip(e & 15);                           \
    } while (false)

const char* DecodeLiterals(TBitReader& in, const uint16_t* table, uint8_t* out, size_t count) {
    size_t i = 0;
    // Four codes of at most 12 bits fit in the 56 bits a refill guarantees.
    while (i + 4 <= count) {
        in.Refill();
        LMVC_DECODE_LITERAL(i);
        LMVC_DECODE_LITERAL(i + 1);
        LMVC_DECODE_LITERAL(i + 2);
        LMVC_DECODE_LITERAL(i + 3);
        i += 4;
        if (in.Exhausted()) {
            return "Huffman data truncated";
        }
    }
    in.Refill();
    for (; i < count; ++i) {
        LMVC_DECODE_LITERAL(i);
    }
    return nullptr;
}

#undef LMVC_DECODE_LITERAL

// One symbol of a literal-only code without a branch: an invalid code marks bad and consumes
// nothing; the caller looks at bad once per block.
inline void DecodeOne(TBitReader& in, const uint16_t* table, uint8_t* out, unsigned& bad) {
    const uint16_t e = table[in.Peek12()];
    bad |= static_cast<unsigned>((e & 15) == 0);
    *out = static_cast<uint8_t>(e >> 4);
    in.Skip(e & 15u);
}

// Sample i comes from stream i % 4. The four streams are independent chains of lookups, which
// the processor works on side by side.
[[gnu::always_inline]] inline const char* DecodeStreamsBody(TBitReader (&in)[kLmvcStreams],
                                                            const uint16_t* table, uint8_t* out,
                                                            size_t count) {
    TBitReader s0 = in[0], s1 = in[1], s2 = in[2], s3 = in[3];
    unsigned bad = 0;
    size_t i = 0;
    // Four codes of at most 12 bits per stream fit in the 56 bits a refill guarantees.
    for (; i + 16 <= count; i += 16) {
        s0.Refill();
        s1.Refill();
        s2.Refill();
        s3.Refill();
        for (size_t j = i; j < i + 16; j += 4) {
            DecodeOne(s0, table, out + j, bad);
            DecodeOne(s1, table, out + j + 1, bad);
            DecodeOne(s2, table, out + j + 2, bad);
            DecodeOne(s3, table, out + j + 3, bad);
        }
        if (bad != 0) {
            return "invalid Huffman code";
        }
        if (s0.Exhausted() || s1.Exhausted() || s2.Exhausted() || s3.Exhausted()) {
            return "Huffman data truncated";
        }
    }
    in[0] = s0;
    in[1] = s1;
    in[2] = s2;
    in[3] = s3;
    for (; i < count; ++i) {
        TBitReader& s = in[i % kLmvcStreams];
        s.Refill();
        DecodeOne(s, table, out + i, bad);
    }
    return bad != 0 ? "invalid Huffman code" : nullptr;
}

// The same loops built for processors with BMI2, whose shifts by a register count are one
// instruction: the bit readers and writers shift by a code length at every symbol.
#if defined(__x86_64__)
#define LMVC_BMI2 1
bool HasBmi2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("bmi2") != 0;
    }();
    return has;
}

__attribute__((target("bmi2"))) const char* DecodeStreamsBmi2(TBitReader (&in)[kLmvcStreams],
                                                              const uint16_t* table, uint8_t* out,
                                                              size_t count) {
    return DecodeStreamsBody(in, table, out, count);
}
#endif

const char* DecodeStreams(TBitReader (&in)[kLmvcStreams], const uint16_t* table, uint8_t* out,
                          size_t count) {
#ifdef LMVC_BMI2
    if (HasBmi2()) {
        return DecodeStreamsBmi2(in, table, out, count);
    }
#endif
    return DecodeStreamsBody(in, table, out, count);
}

const char* DecodeWithRuns(TBitReader& in, const uint16_t* table, uint8_t* out, size_t count) {
    size_t i = 0;
    while (i < count) {
        in.Refill();
        uint16_t e = table[in.Peek12()];
        if ((e & 15) == 0) {
            return "invalid Huffman code";
        }
        in.Skip(e & 15);
        unsigned symbol = e >> 4;
        if (symbol < kLmvcLiteralSymbols) {
            out[i++] = static_cast<uint8_t>(symbol);
            continue;
        }
        unsigned cls = symbol - kLmvcLiteralSymbols;
        uint64_t len = ((uint64_t{1} << cls) | in.Take(cls)) + 1;
        if (len > count - i) {
            return "zero run past the end of the plane";
        }
        std::memset(out + i, 0, static_cast<size_t>(len));
        i += static_cast<size_t>(len);
        if (in.Exhausted()) {
            return "Huffman data truncated";
        }
    }
    return nullptr;
}

// Four independent writers side by side, as the decoder reads them.
[[gnu::always_inline]] inline void WriteStreamsBody(const uint16_t* codes, const uint8_t* lengths,
                                                    const uint8_t* r, size_t n,
                                                    TBitWriter (&w)[kLmvcStreams]) {
    const auto put = [codes, lengths](TBitWriter& bw, unsigned symbol) {
        bw.Put(codes[symbol], lengths[symbol]);
    };
    TBitWriter w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3];
    size_t i = 0;
    // While every stream has at least 64 more codes to come, so at least 64 more bits, an
    // eight-byte store stays inside the stream.
    for (; i + 16 + 64 * kLmvcStreams <= n; i += 16) {
        for (size_t j = i; j < i + 16; j += 4) {
            put(w0, r[j]);
            put(w1, r[j + 1]);
            put(w2, r[j + 2]);
            put(w3, r[j + 3]);
        }
        w0.FlushInside();
        w1.FlushInside();
        w2.FlushInside();
        w3.FlushInside();
    }
    for (; i + 16 <= n; i += 16) {
        for (size_t j = i; j < i + 16; j += 4) {
            put(w0, r[j]);
            put(w1, r[j + 1]);
            put(w2, r[j + 2]);
            put(w3, r[j + 3]);
        }
        w0.Flush();
        w1.Flush();
        w2.Flush();
        w3.Flush();
    }
    w[0] = w0;
    w[1] = w1;
    w[2] = w2;
    w[3] = w3;
    for (; i < n; ++i) {
        put(w[i % kLmvcStreams], r[i]);
    }
    for (TBitWriter& s : w) {
        s.Finish();
    }
}

#ifdef LMVC_BMI2
__attribute__((target("bmi2"))) void WriteStreamsBmi2(const uint16_t* codes, const uint8_t* lengths,
                                                      const uint8_t* r, size_t n,
                                                      TBitWriter (&w)[kLmvcStreams]) {
    WriteStreamsBody(codes, lengths, r, n, w);
}
#endif

void WriteStreams(const uint16_t* codes, const uint8_t* lengths, const uint8_t* r, size_t n,
                  TBitWriter (&w)[kLmvcStreams]) {
#ifdef LMVC_BMI2
    if (HasBmi2()) {
        WriteStreamsBmi2(codes, lengths, r, n, w);
        return;
    }
#endif
    WriteStreamsBody(codes, lengths, r, n, w);
}

}  // namespace

void LmvcBuildCodeLengths(const uint32_t* freq, int symbols, uint8_t* lengths) {
    std::memset(lengths, 0, static_cast<size_t>(symbols));
    // Fixed arrays: this runs for every plane of every slice.
    std::pair<uint32_t, int> used[kLmvcRunSymbols];
    size_t n = 0;
    for (int s = 0; s < symbols; ++s) {
        if (freq[s] != 0) {
            used[n++] = {freq[s], s};
        }
    }
    if (n == 0) {
        return;
    }
    if (n == 1) {
        lengths[used[0].second] = 1;
        return;
    }
    std::sort(used, used + n);
    // Two-queue Huffman: leaves in ascending weight, internal nodes are created in ascending
    // weight too, so the two smallest are always at the front of one of the queues.
    uint64_t weight[2 * kLmvcRunSymbols];
    size_t parent[2 * kLmvcRunSymbols] = {};
    for (size_t i = 0; i < n; ++i) {
        weight[i] = used[i].first;
    }
    size_t leaf = 0, inner = n, next = n;
    auto takeSmallest = [&]() {
        if (leaf < n && (inner >= next || weight[leaf] <= weight[inner])) {
            return leaf++;
        }
        return inner++;
    };
    while (next < 2 * n - 1) {
        size_t a = takeSmallest();
        size_t b = takeSmallest();
        weight[next] = weight[a] + weight[b];
        parent[a] = next;
        parent[b] = next;
        ++next;
    }
    int depth[2 * kLmvcRunSymbols] = {};
    int count[64] = {};
    for (size_t i = 2 * n - 1; i-- > 0;) {
        if (i != 2 * n - 2) {
            depth[i] = depth[parent[i]] + 1;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        count[std::min(depth[i], kLmvcMaxCodeLength)]++;
    }
    // Limit the lengths: codes cut down to the maximum overfill the code space; lengthen
    // shorter codes one at a time until it fits exactly again.
    uint32_t total = 0;
    for (int len = 1; len <= kLmvcMaxCodeLength; ++len) {
        total += static_cast<uint32_t>(count[len]) << (kLmvcMaxCodeLength - len);
    }
    while (total > (1u << kLmvcMaxCodeLength)) {
        count[kLmvcMaxCodeLength]--;
        for (int len = kLmvcMaxCodeLength - 1; len > 0; --len) {
            if (count[len] != 0) {
                count[len]--;
                count[len + 1] += 2;
                break;
            }
        }
        total--;
    }
    // Most frequent symbols (at the end of the sorted list) get the shortest codes.
    size_t pos = n;
    for (int len = 1; len <= kLmvcMaxCodeLength; ++len) {
        for (int k = 0; k < count[len]; ++k) {
            lengths[used[--pos].second] = static_cast<uint8_t>(len);
        }
    }
}

void LmvcAssignCanonicalCodes(const uint8_t* lengths, int symbols, uint16_t* codes) {
    int count[kLmvcMaxCodeLength + 1] = {};
    for (int s = 0; s < symbols; ++s) {
        count[lengths[s]]++;
    }
    count[0] = 0;
    uint32_t next[kLmvcMaxCodeLength + 2] = {};
    uint32_t code = 0;
    for (int len = 1; len <= kLmvcMaxCodeLength; ++len) {
        code = (code + static_cast<uint32_t>(count[len - 1])) << 1;
        next[len] = code;
    }
    for (int s = 0; s < symbols; ++s) {
        codes[s] = lengths[s] == 0 ? 0 : static_cast<uint16_t>(next[lengths[s]]++);
    }
}

size_t TLmvcPlaneEncoder::Plan(const uint8_t* r, size_t n) {
    // Histogram k counts the samples of stream k of the four-stream code (sample i % 4 == k).
    // Blocks of zeros, common in flat graphics and constant planes, are counted at once; one
    // counter incremented byte by byte would make every step wait for the previous one.
    uint32_t h[kLmvcStreams][kLmvcLiteralSymbols] = {};
    uint32_t zeroBlocks = 0;
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        uint64_t a, b;
        std::memcpy(&a, r + i, 8);
        std::memcpy(&b, r + i + 8, 8);
        if ((a | b) == 0) {
            ++zeroBlocks;
            continue;
        }
        for (size_t j = i; j < i + 16; j += 4) {
            h[0][r[j]]++;
            h[1][r[j + 1]]++;
            h[2][r[j + 2]]++;
            h[3][r[j + 3]]++;
        }
    }
    for (auto& streamHist : h) {
        streamHist[0] += 4 * zeroBlocks;
    }
    for (; i < n; ++i) {
        h[i % kLmvcStreams][r[i]]++;
    }
    uint32_t hist[kLmvcRunSymbols] = {};
    for (int s = 0; s < kLmvcLiteralSymbols; ++s) {
        hist[s] = h[0][s] + h[1][s] + h[2][s] + h[3][s];
    }

    if (n > 0 && (hist[0] == n || (hist[0] == n - 1 && r[0] != 0))) {
        FMethod = TLmvcMethod::Constant;
        FConstant = r[0];
        FPayload = 1;
        return kLmvcPlaneHeaderSize + FPayload;
    }
    FMethod = TLmvcMethod::Raw;
    FPayload = n;

    uint8_t lengths[kLmvcRunSymbols];
    LmvcBuildCodeLengths(hist, kLmvcLiteralSymbols, lengths);
    size_t table = TableBytes(lengths, kLmvcLiteralSymbols);
    size_t bytes = table;
    TLmvcMethod huffman = TLmvcMethod::Huffman;
    uint64_t bits = 0;
    if (n >= kLmvcMinStreamedCount) {
        // Each stream ends on a whole byte; the sizes of all but the last are stored.
        huffman = TLmvcMethod::HuffmanStreams;
        bytes += 4 * (kLmvcStreams - 1);
        for (int k = 0; k < kLmvcStreams; ++k) {
            uint64_t streamBits = 0;
            for (int s = 0; s < kLmvcLiteralSymbols; ++s) {
                streamBits += static_cast<uint64_t>(h[k][s]) * lengths[s];
            }
            FStreamBytes[k] = static_cast<size_t>((streamBits + 7) / 8);
            bytes += FStreamBytes[k];
        }
    } else {
        for (int s = 0; s < kLmvcLiteralSymbols; ++s) {
            bits += static_cast<uint64_t>(hist[s]) * lengths[s];
        }
        bytes += static_cast<size_t>((bits + 7) / 8);
    }
    if (bytes < FPayload) {
        FMethod = huffman;
        FPayload = bytes;
        FTableBytes = table;
        FSymbols = kLmvcLiteralSymbols;
        std::memcpy(FLengths, lengths, kLmvcLiteralSymbols);
    }

    // Zero runs only pay where zeros are common: flat graphics, constant alpha, still areas.
    if (hist[0] >= n / 8) {
        uint32_t runHist[kLmvcRunSymbols] = {};
        uint64_t extraBits = 0;
        ScanTokens(
            r, n, [&](uint8_t v) { runHist[v]++; },
            [&](size_t len) {
                int cls = RunClass(len);
                runHist[kLmvcLiteralSymbols + cls]++;
                extraBits += static_cast<uint64_t>(cls);
            });
        LmvcBuildCodeLengths(runHist, kLmvcRunSymbols, lengths);
        bits = extraBits;
        for (int s = 0; s < kLmvcRunSymbols; ++s) {
            bits += static_cast<uint64_t>(runHist[s]) * lengths[s];
        }
        table = TableBytes(lengths, kLmvcRunSymbols);
        bytes = table + static_cast<size_t>((bits + 7) / 8);
        if (bytes < FPayload) {
            FMethod = TLmvcMethod::HuffmanRuns;
            FPayload = bytes;
            FTableBytes = table;
            FSymbols = kLmvcRunSymbols;
            std::memcpy(FLengths, lengths, kLmvcRunSymbols);
        }
    }
    if (FMethod != TLmvcMethod::Raw) {
        LmvcAssignCanonicalCodes(FLengths, FSymbols, FCodes);
    }
    return kLmvcPlaneHeaderSize + FPayload;
}

void TLmvcPlaneEncoder::Write(const uint8_t* r, size_t n, uint8_t* out) const {
    out[0] = static_cast<uint8_t>(FMethod);
    StoreLE32(out + 1, static_cast<uint32_t>(FPayload));
    uint8_t* p = out + kLmvcPlaneHeaderSize;
    uint8_t* const end = p + FPayload;
    const auto Put = [this](TBitWriter& bw, unsigned symbol) {
        bw.Put(FCodes[symbol], FLengths[symbol]);
    };
    switch (FMethod) {
        case TLmvcMethod::Raw:
            std::memcpy(p, r, n);
            return;
        case TLmvcMethod::Constant:
            p[0] = FConstant;
            return;
        case TLmvcMethod::Huffman: {
            p += WriteTable(FLengths, FSymbols, p);
            TBitWriter bw(p, end);
            size_t i = 0;
            for (; i + 4 <= n; i += 4) {
                Put(bw, r[i]);
                Put(bw, r[i + 1]);
                Put(bw, r[i + 2]);
                Put(bw, r[i + 3]);
                bw.Flush();
            }
            for (; i < n; ++i) {
                Put(bw, r[i]);
            }
            bw.Finish();
            return;
        }
        case TLmvcMethod::HuffmanStreams: {
            p += WriteTable(FLengths, FSymbols, p);
            for (int k = 0; k + 1 < kLmvcStreams; ++k) {
                StoreLE32(p + 4 * k, static_cast<uint32_t>(FStreamBytes[k]));
            }
            p += 4 * (kLmvcStreams - 1);
            uint8_t* const p1 = p + FStreamBytes[0];
            uint8_t* const p2 = p1 + FStreamBytes[1];
            uint8_t* const p3 = p2 + FStreamBytes[2];
            TBitWriter w[kLmvcStreams] = {{p, p1}, {p1, p2}, {p2, p3}, {p3, end}};
            WriteStreams(FCodes, FLengths, r, n, w);
            return;
        }
        case TLmvcMethod::HuffmanRuns: {
            p += WriteTable(FLengths, FSymbols, p);
            TBitWriter bw(p, end);
            ScanTokens(
                r, n,
                [&](uint8_t v) {
                    Put(bw, v);
                    bw.Flush();
                },
                [&](size_t len) {
                    const int cls = RunClass(len);
                    Put(bw, static_cast<unsigned>(kLmvcLiteralSymbols + cls));
                    if (cls > 0) {
                        uint64_t extra = static_cast<uint64_t>(len - 1) - (uint64_t{1} << cls);
                        bw.Put(static_cast<uint32_t>(extra), static_cast<unsigned>(cls));
                    }
                    bw.Flush();
                });
            bw.Finish();
            return;
        }
    }
}

const char* LmvcDecodePlane(TLmvcMethod method, const uint8_t* payload, size_t size, uint8_t* out,
                            size_t count) {
    switch (method) {
        case TLmvcMethod::Raw:
            if (size != count) {
                return "raw plane has the wrong size";
            }
            std::memcpy(out, payload, count);
            return nullptr;
        case TLmvcMethod::Constant:
            if (size != 1) {
                return "constant plane has the wrong size";
            }
            if (count > 0) {
                out[0] = payload[0];
                std::memset(out + 1, 0, count - 1);
            }
            return nullptr;
        case TLmvcMethod::Huffman:
        case TLmvcMethod::HuffmanRuns: {
            const int symbols =
                method == TLmvcMethod::Huffman ? kLmvcLiteralSymbols : kLmvcRunSymbols;
            uint8_t lengths[kLmvcRunSymbols];
            size_t table = ReadTable(payload, size, symbols, lengths);
            if (table == 0) {
                return "damaged code table";
            }
            uint16_t decode[kTableSize];
            if (!BuildDecodeTable(lengths, symbols, decode)) {
                return "invalid code lengths";
            }
            TBitReader in(payload + table, payload + size);
            const char* error = method == TLmvcMethod::Huffman
                                    ? DecodeLiterals(in, decode, out, count)
                                    : DecodeWithRuns(in, decode, out, count);
            if (error == nullptr && !in.WithinEnd()) {
                error = "Huffman data truncated";
            }
            return error;
        }
        case TLmvcMethod::HuffmanStreams: {
            uint8_t lengths[kLmvcLiteralSymbols];
            const size_t table = ReadTable(payload, size, kLmvcLiteralSymbols, lengths);
            if (table == 0) {
                return "damaged code table";
            }
            uint16_t decode[kTableSize];
            if (!BuildDecodeTable(lengths, kLmvcLiteralSymbols, decode)) {
                return "invalid code lengths";
            }
            const size_t sizesBytes = 4 * (kLmvcStreams - 1);
            if (size - table < sizesBytes) {
                return "stream sizes missing";
            }
            const uint8_t* data = payload + table + sizesBytes;
            size_t left = size - table - sizesBytes;
            const uint8_t* bounds[kLmvcStreams + 1];
            bounds[0] = data;
            for (int k = 0; k + 1 < kLmvcStreams; ++k) {
                const size_t bytes = LoadLE32(payload + table + 4 * k);
                if (bytes > left) {
                    return "stream runs past its plane";
                }
                left -= bytes;
                bounds[k + 1] = bounds[k] + bytes;
            }
            bounds[kLmvcStreams] = payload + size;
            TBitReader in[kLmvcStreams] = {{bounds[0], bounds[1]},
                                           {bounds[1], bounds[2]},
                                           {bounds[2], bounds[3]},
                                           {bounds[3], bounds[4]}};
            const char* error = DecodeStreams(in, decode, out, count);
            for (const TBitReader& s : in) {
                if (error == nullptr && !s.WithinEnd()) {
                    error = "Huffman data truncated";
                }
            }
            return error;
        }
    }
    return "unknown plane method";
}
