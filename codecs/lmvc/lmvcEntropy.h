#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/lmvc/lmvcFormat.h"

// Entropy coding of one plane of one slice: the encoder side picks the cheapest method for the
// residual bytes (constant, raw, Huffman in one or four streams,
// Huffman with zero runs), the decoder side turns a
// stored plane back into residual bytes. Every plane is stored as one method byte, a 32-bit
// little-endian payload size and the payload.

constexpr size_t kLmvcPlaneHeaderSize = 5;

class TLmvcPlaneEncoder {
  public:
    // Looks at the residuals and chooses a method; answers the bytes Write will produce,
    // plane header included.
    size_t Plan(const uint8_t* residuals, size_t count);
    // Writes the plane chosen by the last Plan for the same residuals.
    void Write(const uint8_t* residuals, size_t count, uint8_t* out) const;
    TLmvcMethod Method() const { return FMethod; }

  private:
    TLmvcMethod FMethod = TLmvcMethod::Raw;
    int FSymbols = 0;
    size_t FPayload = 0;
    size_t FTableBytes = 0;
    uint8_t FConstant = 0;
    uint8_t FLengths[kLmvcRunSymbols] = {};
    uint16_t FCodes[kLmvcRunSymbols] = {};
    size_t FStreamBytes[kLmvcStreams] = {};
};

// Decodes one plane's payload (after the plane header) into count residual bytes. Answers null
// on success, otherwise a short description of the damage.
const char* LmvcDecodePlane(TLmvcMethod method, const uint8_t* payload, size_t size, uint8_t* out,
                            size_t count);

// Code-length helpers, exposed for tests: length-limited Huffman lengths for a histogram, and
// the canonical codes that belong to them (at most kLmvcRunSymbols symbols).
void LmvcBuildCodeLengths(const uint32_t* freq, int symbols, uint8_t* lengths);
void LmvcAssignCanonicalCodes(const uint8_t* lengths, int symbols, uint16_t* codes);
