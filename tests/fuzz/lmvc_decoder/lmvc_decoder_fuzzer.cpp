// Feeds arbitrary bytes to the LMVC decoder. Slice checksums are not verified, so that mutated
// frames reach the plane decoders and the reconstruction behind them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codecs/lmvc/lmvcDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TLmvcFrameInfo info;
    std::string error;
    if (!TLmvcDecoder::ReadFrameInfo(data, size, info, error)) {
        return 0;
    }
    // Keeps each run's memory small; larger frames take the same code paths.
    if (static_cast<int64_t>(info.Width) * info.Height > (1 << 20)) {
        return 0;
    }
    // The output layout varies with the input so both depths and row orders are reached.
    TLmvcFormat out;
    out.Width = info.Width;
    out.Height = info.Height;
    out.BitCount = (size & 1) != 0 ? 24 : 32;
    out.BottomUp = (size & 2) != 0;
    TLmvcDecoder decoder;
    if (!decoder.Configure(out, (size & 4) != 0 ? 2 : 1)) {
        return 0;
    }
    decoder.SetVerifyChecksums(false);
    std::vector<uint8_t> frame(decoder.OutputSize());
    decoder.DecodeFrame(data, size, frame.data(), frame.size());
    return 0;
}
