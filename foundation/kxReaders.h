#pragma once

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

// Byte readers: the layer under the decoding reader and the XML library. Positions and sizes
// are signed 64-bit; a size below 0 means the end is not known.

class EReader : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class EFileReader : public EReader {
  public:
    using EReader::EReader;
};

// The abstract byte reader. The five basic operations are pure; every other operation is
// built on them here, so any reader has them, and concrete readers override the ones they can
// do faster.
class AReader {
  public:
    virtual ~AReader() = default;

    virtual int64_t GetPosition() = 0;
    virtual void SetPosition(int64_t position) = 0;
    virtual int64_t GetSize() = 0;                          // < 0: end unknown
    virtual int64_t Read(void* buffer, int64_t count) = 0;  // bytes read, 0 at the end
    virtual bool Eof() = 0;

    // Up to `count` bytes, shorter at the end, empty for count <= 0.
    virtual std::string ReadString(int64_t count);
    // Up to `count` 16-bit units in native byte order.
    virtual std::u16string ReadWideString(int64_t count);
    // Everything from the position to the end.
    virtual std::string ReadAll();
    virtual std::string ReadAllFromStart();
    // One byte; "Read error" when there is none.
    virtual uint8_t ReadByte();
    // Copies up to count bytes without moving; returns the count copied.
    virtual int64_t Peek(void* buffer, int64_t count);
    virtual std::string PeekString(int64_t count);
    virtual uint8_t PeekByte();
    // Peeks `count` bytes and compares them with `data` (exactly, or ignoring the case of ASCII
    // letters). Returns the bytes peeked on a match, 0 when nothing could be peeked, -1 on a
    // mismatch or when count <= 0.
    virtual int64_t PeekMatch(const void* data, int64_t count, bool exact);
    // True when all of `text` matched, false on a mismatch; "Read error" when only a shorter
    // tail was left and it matched.
    virtual bool MatchString(std::string_view text, bool exact);
    // Moves the position forward; "Skip error" for a negative count.
    virtual void Skip(int64_t count);
    // Offset from the position of the first byte equal to `value` (with `differs`: not equal),
    // looking at most limit + 1 bytes (no limit when limit < 0); -1 when none. The position is
    // kept.
    virtual int64_t FindByte(uint8_t value, bool differs, int64_t limit);
    virtual int64_t FindByteInSet(const std::bitset<256>& set, bool inSet, int64_t limit);
    // Offset of the first occurrence of `data`, trying start offsets 0 to limit (all when
    // limit < 0); -1 when none. The position is kept.
    virtual int64_t FindBytes(const void* data, int64_t count, bool exact, int64_t limit);
    virtual int64_t FindString(std::string_view text, bool exact, int64_t limit);
};

// The base of the concrete readers; the generic operations come from AReader.
class AReaderEx : public AReader {};

// Reads memory it does not own. A negative size means the caller vouches for the memory
// having no end: reads are then never cut short and Eof never comes.
class TMemoryReader : public AReaderEx {
  public:
    TMemoryReader(const void* data, int64_t size);

    int64_t GetPosition() override;
    void SetPosition(int64_t position) override;  // "Seek error" outside 0 to size
    int64_t GetSize() override;
    int64_t Read(void* buffer, int64_t count) override;
    bool Eof() override;
    uint8_t ReadByte() override;
    uint8_t PeekByte() override;
    int64_t PeekMatch(const void* data, int64_t count, bool exact) override;
    void Skip(int64_t count) override;  // "Seek error" past the size; count <= 0 does nothing

  private:
    const uint8_t* Data;
    int64_t Size;
    int64_t Position = 0;
};

// Reads an existing file. `denyWrite` asks that no one else writes the file while it is open;
// `accessHint` is 0 normal, 1 random access, 2 sequential scan. "File open error" when the file
// cannot be opened.
class TFileReader : public AReaderEx {
  public:
    TFileReader(const std::string& fileName, bool denyWrite = false, int accessHint = 0);
    ~TFileReader() override;
    TFileReader(const TFileReader&) = delete;
    TFileReader& operator=(const TFileReader&) = delete;

    int64_t GetPosition() override;               // "File error" on failure
    void SetPosition(int64_t position) override;  // "File seek error" on failure
    int64_t GetSize() override;                   // "File error" on failure
    int64_t Read(void* buffer, int64_t count) override;
    bool Eof() override;

  private:
    std::FILE* File = nullptr;
};
