#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "foundation/kxReaders.h"

// A reader over a string that hands out at most `Step` bytes per Read and may hide its size,
// so that the generic reader operations and the decoding reader meet short reads.
class TTrickleReader : public AReaderEx {
  public:
    TTrickleReader(std::string data, int64_t step, bool sizeKnown = true)
        : Data(std::move(data)), Step(step), SizeKnown(sizeKnown) {}

    int64_t GetPosition() override { return Position; }
    void SetPosition(int64_t position) override {
        if (position < 0 || position > static_cast<int64_t>(Data.size())) {
            throw EReader("Seek error");
        }
        Position = position;
    }
    int64_t GetSize() override { return SizeKnown ? static_cast<int64_t>(Data.size()) : -1; }
    int64_t Read(void* buffer, int64_t count) override {
        const int64_t n = std::min({count, Step, static_cast<int64_t>(Data.size()) - Position});
        if (n <= 0) {
            return 0;
        }
        std::memcpy(buffer, Data.data() + Position, static_cast<size_t>(n));
        Position += n;
        return n;
    }
    bool Eof() override { return Position >= static_cast<int64_t>(Data.size()); }

  private:
    std::string Data;
    int64_t Step;
    bool SizeKnown;
    int64_t Position = 0;
};
