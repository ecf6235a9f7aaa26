#pragma once

// The byte layout of a frame and its reader and writer. A frame is a 12-byte header (L, X, N),
// an XML document of X bytes, N attachments (a 4-byte length and the bytes each) and, when
// the frame has a file, its 8-byte length F followed by the file's bytes. L counts everything
// after itself up to and including F, but not the file bytes. Integers are little-endian.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "port/port.h"

class TqvSocket;

// The largest L a reader accepts (and a writer produces).
inline constexpr int32_t MaxFrameLength = 256 * 1024 * 1024;
// The largest L a peer that has not logged in may send: room for a login, nothing more, so an
// anonymous peer costs the receiver at most this much memory.
inline constexpr int32_t LoginFrameLength = 4096;
// Streams go over the socket in pieces of this size.
inline constexpr size_t FrameChunkSize = 65536;

struct TFrame {
    std::string Xml;
    int32_t AttachmentCount = 0;  // N as sent: -1 for a file without attachments
    std::vector<std::unique_ptr<std::stringstream>> Attachments;
    bool HasFile = false;
    int64_t FileLength = 0;
    // The received file bytes, in a temporary file that disappears with the stream.
    std::unique_ptr<std::iostream> File;
    // Or, when the reader's DiskSink gave one, the file on the disk they went into.
    std::unique_ptr<port::DataFile> DiskFile;
};

// Turns a byte stream into frames. Bytes are fed in as they arrive, in pieces of any size;
// each frame is handed over once, when its last byte (of the file too) has arrived.
class TFrameReader {
  public:
    using TFrameHandler = std::function<void(TFrame& Frame)>;

    // Adds received bytes and hands over every frame they complete, in order. False when the
    // stream breaks the layout (a negative L, inner lengths that do not fit in L), passes the
    // limits below, or carries a file that cannot be stored; ErrorText says why and the
    // connection must be closed. The limits are read at each frame's header, so a handler may
    // change them for the frames after its own.
    bool Feed(const char* data, size_t size, const TFrameHandler& onFrame);

    const std::string& ErrorText() const { return FErrorText; }
    // Bytes held for an incomplete frame.
    size_t Buffered() const { return FBuffer.size() - FPosition; }

    // The largest L taken; a larger one is refused as soon as its 4 bytes are in.
    int32_t MaxLength = MaxFrameLength;
    // The largest file a frame may carry; 0 refuses every frame with a file, one marked by
    // N = -1 as soon as the header is in, before any of its bytes are kept.
    int64_t FileAllowance = 0;
    // Makes the stream a frame's file is received into, once its length is known; none
    // refuses the frame. Unset: an anonymous temporary file (TemporaryFrameFile).
    std::function<std::unique_ptr<std::iostream>(int64_t Length)> FileSink;
    // Asked first: the file on the disk a frame's file goes into, which lets the caller move
    // the bytes from the socket straight into it (DiskFileUnderWay); none falls back to
    // FileSink.
    std::function<std::unique_ptr<port::DataFile>(int64_t Length)> DiskSink;

    // The disk file of a frame whose file bytes are still arriving, none otherwise; the
    // caller may put up to FileRemaining bytes into it and then tell DiskFileReceived.
    port::DataFile* DiskFileUnderWay() const;
    int64_t FileRemaining() const { return FFileFrame ? FFileRemaining : 0; }
    // Counts `count` bytes (at most FileRemaining) the caller put into the disk file; hands
    // the frame over when they were its last.
    void DiskFileReceived(int64_t count, const TFrameHandler& onFrame);

  private:
    enum class TStep { Failed, NeedMore, Ready };

    bool Fail(std::string text);
    void Take(const char* data, size_t size, size_t& offset);
    TStep ReadHeader();
    bool ParseFrame(const char* p, int32_t length, TFrame& frame);
    // Starts the file of a parsed frame with the bytes already buffered beyond it.
    bool StartFile(std::unique_ptr<TFrame> frame);
    bool FeedFile(const char* data, size_t size, size_t& offset);
    bool WriteFile(const char* data, size_t size);
    void FinishFile(const TFrameHandler& onFrame);

    std::string FBuffer;
    size_t FPosition = 0;
    int32_t FPending = -1;        // L of the frame under way, -1 for none
    bool FHeaderChecked = false;  // X and N of the frame under way were checked
    // A frame whose file bytes are still arriving.
    std::unique_ptr<TFrame> FFileFrame;
    int64_t FFileRemaining = 0;
    std::string FErrorText;
};

// A read-write stream on a fresh temporary file whose name is gone at once, so the bytes
// vanish with the stream; none when it cannot be made.
std::unique_ptr<std::iostream> TemporaryFrameFile();

// Writes one frame to the socket: header, XML, attachments from their positions (which are
// put back afterwards) and, when `file` is given, its length from its position and its bytes
// (the position is put back too). Streams go in FrameChunkSize pieces. False when a stream is
// too large for the layout or the socket fails part way.
bool WriteFrame(TqvSocket& socket, const std::string& xml,
                const std::vector<std::iostream*>& attachments, std::istream* file);
// As above with the whole file on the disk, sent from the system's disk cache to the socket
// without passing through this process.
bool WriteFrame(TqvSocket& socket, const std::string& xml,
                const std::vector<std::iostream*>& attachments, port::DataFile& file);

// Appends the bytes of a frame without a file to `out`: header, XML and the attachments from
// their positions (which are put back). False when the frame is too large for the layout.
bool AppendFrame(std::string& out, const std::string& xml,
                 const std::vector<std::iostream*>& attachments);
// A frame whose XML is written straight into `out` behind its header, for a packet put
// together piece by piece: BeginFrame leaves room for the header and returns where the frame
// starts, EndFrame fills the header in once the XML ends `out`. False when it grew too large.
size_t BeginFrame(std::string& out);
bool EndFrame(std::string& out, size_t start);
