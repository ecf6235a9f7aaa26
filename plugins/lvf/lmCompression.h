#pragma once

#include <cstddef>
#include <cstdint>

// A pixel codec: compresses rows of pixels into a byte stream and back.
class TBaseCodec {
  public:
    explicit TBaseCodec(int pixelBits) : FPixelBits(pixelBits) {}
    virtual ~TBaseCodec() = default;
    TBaseCodec(const TBaseCodec&) = delete;
    TBaseCodec& operator=(const TBaseCodec&) = delete;

    // Compresses `sourceBytes` bytes of pixels into `destination`, which must hold
    // MaxEncodedSize(sourceBytes) bytes; `encodedSize` receives the number of bytes written.
    virtual void Encode(const void* source, void* destination, size_t& encodedSize,
                        size_t sourceBytes) = 0;
    // Produces exactly `decodedBytes` bytes into `destination` from at most `encodedSize`
    // bytes of `source`. False when the stream is damaged; `destination` may then be partly
    // written, but never beyond `decodedBytes`.
    virtual bool Decode(const void* source, void* destination, size_t decodedBytes,
                        size_t encodedSize) = 0;

    int PixelBits() const { return FPixelBits; }

  private:
    int FPixelBits;
};

// Run-length coding of 32-bit pixels. Each packet starts with a control byte c: 0 to 127 is a
// literal packet of c + 1 pixels that follow; 128 to 255 is one pixel repeated (c & 127) + 1
// times.
class TRLECodec : public TBaseCodec {
  public:
    TRLECodec() : TBaseCodec(32) {}

    // The largest stream Encode can produce for `sourceBytes` bytes of pixels.
    static size_t MaxEncodedSize(size_t sourceBytes);

    // Any bytes beyond the last whole pixel are ignored.
    void Encode(const void* source, void* destination, size_t& encodedSize,
                size_t sourceBytes) override;
    bool Decode(const void* source, void* destination, size_t decodedBytes,
                size_t encodedSize) override;

    // Decodes the whole packets among the `available` bytes of `source` into `destination`, a
    // frame of `pixels` pixels of which `done` are decoded already (advanced on return), so a
    // stream can be decoded piece by piece. `consumed` receives the bytes used: a packet cut
    // off at the end is left for the next piece. False when a packet would run past the frame.
    static bool DecodePart(const uint8_t* source, size_t available, uint8_t* destination,
                           size_t pixels, size_t& done, size_t& consumed);
    // The most bytes one packet takes.
    static constexpr size_t kMaxPacketBytes = 1 + 128 * 4;
};
