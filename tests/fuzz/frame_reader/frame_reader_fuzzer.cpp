// Feeds arbitrary bytes to the frame reader in pieces of varying size, as a socket would, and
// loads every frame it hands over as a packet document. Whatever the bytes, a frame never holds
// more than what was fed, nor more attachments than the reader allows.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "foundation/kxSocketFrames.h"
#include "foundation/kxXMLUnicode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte picks the piece size, so split frames are explored too.
    const size_t piece = 1 + data[0] * 37;
    ++data;
    --size;
    TFrameReader reader;
    reader.MaxLength = 1 << 20;      // keeps the fuzzer's memory small; the checks are the same
    reader.FileAllowance = 1 << 20;  // so that frames with files are explored too
    reader.MaxAttachments = 64;      // reached by small inputs too
    const auto onFrame = [&reader](TFrame& frame) {
        if (frame.Attachments.size() > static_cast<size_t>(reader.MaxAttachments)) {
            std::abort();
        }
        TXMLUnicode document;
        document.LoadFromString(frame.Xml);
        for (auto& attachment : frame.Attachments) {
            attachment->seekg(0, std::ios::end);
        }
        if (frame.File) {
            frame.File->seekg(0, std::ios::end);
        }
    };
    for (size_t offset = 0; offset < size; offset += piece) {
        const size_t length = size - offset < piece ? size - offset : piece;
        if (!reader.Feed(reinterpret_cast<const char*>(data) + offset, length, onFrame)) {
            break;
        }
        if (reader.Buffered() > offset + length) {
            std::abort();
        }
    }
    return 0;
}
