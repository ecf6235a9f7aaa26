#include "foundation/kxReaders.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <vector>

#include "foundation/kxUnicode.h"

namespace {

// The size of the stack buffers for comparing and searching.
constexpr int64_t kStackBufferSize = 2048;
// Reads of unknown or large length go in steps of this many bytes, so memory follows the input.
constexpr int64_t kReadChunk = 65536;

bool SameBytes(const uint8_t* a, const uint8_t* b, int64_t count, bool exact) {
    if (exact) {
        return std::memcmp(a, b, static_cast<size_t>(count)) == 0;
    }
    for (int64_t i = 0; i < count; ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

[[noreturn]] void ReadError() {
    throw EReader("Read error");
}

// Scans forward from the position for the first byte that `hit` accepts and puts the
// position back.
template <typename Hit>
int64_t ScanBytes(AReader& reader, int64_t limit, Hit hit) {
    const int64_t start = reader.GetPosition();
    std::array<uint8_t, kStackBufferSize> buffer;
    int64_t offset = 0;
    int64_t found = -1;
    while (found < 0 && (limit < 0 || offset <= limit)) {
        int64_t want = static_cast<int64_t>(buffer.size());
        if (limit >= 0) {
            want = std::min(want, limit - offset + 1);
        }
        const int64_t got = reader.Read(buffer.data(), want);
        if (got <= 0) {
            break;
        }
        for (int64_t i = 0; i < got; ++i) {
            if (hit(buffer[i])) {
                found = offset + i;
                break;
            }
        }
        offset += got;
    }
    reader.SetPosition(start);
    return found;
}

}  // namespace

std::string AReader::ReadString(int64_t count) {
    std::string result;
    while (count > 0) {
        const int64_t step = std::min(count, kReadChunk);
        const size_t old = result.size();
        result.resize(old + static_cast<size_t>(step));
        const int64_t got = Read(result.data() + old, step);
        result.resize(old + static_cast<size_t>(std::max<int64_t>(got, 0)));
        if (got <= 0) {
            break;
        }
        count -= got;
    }
    return result;
}

std::u16string AReader::ReadWideString(int64_t count) {
    if (count <= 0) {
        return {};
    }
    const std::string bytes =
        ReadString(count > std::numeric_limits<int64_t>::max() / 2 ? count : count * 2);
    std::u16string result(bytes.size() / 2, u'\0');
    std::memcpy(result.data(), bytes.data(), result.size() * 2);
    return result;
}

std::string AReader::ReadAll() {
    const int64_t size = GetSize();
    if (size >= 0) {
        return ReadString(size - GetPosition());
    }
    std::string result;
    std::array<char, 2048> chunk;
    while (!Eof()) {
        const int64_t got = Read(chunk.data(), static_cast<int64_t>(chunk.size()));
        if (got <= 0) {
            ReadError();
        }
        result.append(chunk.data(), static_cast<size_t>(got));
    }
    return result;
}

std::string AReader::ReadAllFromStart() {
    SetPosition(0);
    return ReadAll();
}

uint8_t AReader::ReadByte() {
    uint8_t byte;
    if (Read(&byte, 1) != 1) {
        ReadError();
    }
    return byte;
}

int64_t AReader::Peek(void* buffer, int64_t count) {
    if (count <= 0) {
        return 0;
    }
    const int64_t start = GetPosition();
    // A reader may hand out fewer bytes than asked before its end: keep reading.
    auto* bytes = static_cast<uint8_t*>(buffer);
    int64_t got = 0;
    while (got < count) {
        const int64_t step = Read(bytes + got, count - got);
        if (step <= 0) {
            break;
        }
        got += step;
    }
    if (got > 0) {
        SetPosition(start);
    }
    return got;
}

std::string AReader::PeekString(int64_t count) {
    if (count <= 0) {
        return {};
    }
    const int64_t start = GetPosition();
    std::string result = ReadString(count);
    if (!result.empty()) {
        SetPosition(start);
    }
    return result;
}

uint8_t AReader::PeekByte() {
    uint8_t byte;
    if (Peek(&byte, 1) != 1) {
        ReadError();
    }
    return byte;
}

int64_t AReader::PeekMatch(const void* data, int64_t count, bool exact) {
    if (count <= 0) {
        return -1;
    }
    std::array<uint8_t, kStackBufferSize> stackBuffer;
    std::unique_ptr<uint8_t[]> heapBuffer;
    uint8_t* buffer = stackBuffer.data();
    if (count > kStackBufferSize) {
        heapBuffer = std::make_unique<uint8_t[]>(static_cast<size_t>(count));
        buffer = heapBuffer.get();
    }
    const int64_t got = Peek(buffer, count);
    if (got == 0) {
        return 0;
    }
    return SameBytes(buffer, static_cast<const uint8_t*>(data), got, exact) ? got : -1;
}

bool AReader::MatchString(std::string_view text, bool exact) {
    const int64_t count = static_cast<int64_t>(text.size());
    const int64_t matched = PeekMatch(text.data(), count, exact);
    if (matched < 0) {
        return false;
    }
    if (matched < count) {
        ReadError();
    }
    return true;
}

void AReader::Skip(int64_t count) {
    if (count < 0) {
        throw EReader("Skip error");
    }
    SetPosition(GetPosition() + count);
}

int64_t AReader::FindByte(uint8_t value, bool differs, int64_t limit) {
    return ScanBytes(*this, limit, [&](uint8_t byte) { return (byte == value) != differs; });
}

int64_t AReader::FindByteInSet(const std::bitset<256>& set, bool inSet, int64_t limit) {
    return ScanBytes(*this, limit, [&](uint8_t byte) { return set.test(byte) == inSet; });
}

int64_t AReader::FindBytes(const void* data, int64_t count, bool exact, int64_t limit) {
    if (count <= 0) {
        return -1;
    }
    const auto* pattern = static_cast<const uint8_t*>(data);
    const int64_t start = GetPosition();
    // A window over the bytes read so far: `window` holds the bytes from offset `base` on.
    std::vector<uint8_t> window;
    int64_t base = 0;
    int64_t found = -1;
    for (int64_t offset = 0; limit < 0 || offset <= limit; ++offset) {
        if (offset - base > std::max(count, kReadChunk)) {
            window.erase(window.begin(), window.begin() + (offset - base));
            base = offset;
        }
        bool ended = false;
        while (static_cast<int64_t>(window.size()) < offset - base + count) {
            const size_t old = window.size();
            window.resize(old + static_cast<size_t>(std::max(count, kStackBufferSize)));
            const int64_t got =
                Read(window.data() + old, static_cast<int64_t>(window.size() - old));
            window.resize(old + static_cast<size_t>(std::max<int64_t>(got, 0)));
            if (got <= 0) {
                if (!Eof()) {
                    SetPosition(start);
                    ReadError();
                }
                ended = true;
                break;
            }
        }
        if (ended) {
            break;
        }
        if (SameBytes(window.data() + (offset - base), pattern, count, exact)) {
            found = offset;
            break;
        }
    }
    SetPosition(start);
    return found;
}

int64_t AReader::FindString(std::string_view text, bool exact, int64_t limit) {
    return FindBytes(text.data(), static_cast<int64_t>(text.size()), exact, limit);
}

TMemoryReader::TMemoryReader(const void* data, int64_t size)
    : Data(static_cast<const uint8_t*>(data)), Size(size) {}

int64_t TMemoryReader::GetPosition() {
    return Position;
}

void TMemoryReader::SetPosition(int64_t position) {
    if (position < 0 || (Size >= 0 && position > Size)) {
        throw EReader("Seek error");
    }
    Position = position;
}

int64_t TMemoryReader::GetSize() {
    return Size;
}

int64_t TMemoryReader::Read(void* buffer, int64_t count) {
    if (Size >= 0) {
        count = std::min(count, Size - Position);
    }
    if (count <= 0) {
        return 0;
    }
    std::memcpy(buffer, Data + Position, static_cast<size_t>(count));
    Position += count;
    return count;
}

bool TMemoryReader::Eof() {
    return Size >= 0 && Position >= Size;
}

uint8_t TMemoryReader::ReadByte() {
    if (Eof()) {
        ReadError();
    }
    return Data[Position++];
}

uint8_t TMemoryReader::PeekByte() {
    if (Eof()) {
        ReadError();
    }
    return Data[Position];
}

int64_t TMemoryReader::PeekMatch(const void* data, int64_t count, bool exact) {
    if (count <= 0) {
        return -1;
    }
    if (Size >= 0) {
        count = std::min(count, Size - Position);
        if (count <= 0) {
            return 0;
        }
    }
    return SameBytes(Data + Position, static_cast<const uint8_t*>(data), count, exact) ? count : -1;
}

void TMemoryReader::Skip(int64_t count) {
    if (count <= 0) {
        return;
    }
    const int64_t room =
        Size >= 0 ? Size - Position : std::numeric_limits<int64_t>::max() - Position;
    if (count > room) {
        throw EReader("Seek error");
    }
    Position += count;
}

// Positions go through std::fseek and std::ftell, whose `long` is 64 bits on this platform; a
// platform with a 32-bit long needs the 64-bit calls of its own C library here.
static_assert(sizeof(long) >= sizeof(int64_t), "64-bit file positions need a 64-bit long");

TFileReader::TFileReader(const std::string& fileName, bool /*denyWrite*/, int /*accessHint*/) {
    // A folder opens for reading here but fails every read: refuse it as the open error it is.
    std::error_code error;
    if (std::filesystem::is_directory(std::filesystem::path(fileName), error)) {
        throw EFileReader("File open error");
    }
    File = std::fopen(fileName.c_str(), "rb");
    if (File == nullptr) {
        throw EFileReader("File open error");
    }
}

TFileReader::~TFileReader() {
    std::fclose(File);
}

int64_t TFileReader::GetPosition() {
    const long position = std::ftell(File);
    if (position < 0) {
        throw EFileReader("File error");
    }
    return position;
}

void TFileReader::SetPosition(int64_t position) {
    if (position < 0 || std::fseek(File, static_cast<long>(position), SEEK_SET) != 0) {
        throw EFileReader("File seek error");
    }
}

int64_t TFileReader::GetSize() {
    const int64_t position = GetPosition();
    if (std::fseek(File, 0, SEEK_END) != 0) {
        throw EFileReader("File error");
    }
    const long size = std::ftell(File);
    if (std::fseek(File, static_cast<long>(position), SEEK_SET) != 0 || size < 0) {
        throw EFileReader("File error");
    }
    return size;
}

int64_t TFileReader::Read(void* buffer, int64_t count) {
    if (count <= 0) {
        return 0;
    }
    const size_t got = std::fread(buffer, 1, static_cast<size_t>(count), File);
    if (got == 0) {
        std::clearerr(File);
    }
    return static_cast<int64_t>(got);
}

bool TFileReader::Eof() {
    return GetPosition() >= GetSize();
}
