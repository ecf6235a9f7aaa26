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
// The most attachments a frame may carry. Each costs the reader a stream of its own however
// short it is, so their number is bounded apart from the frame's length; the clips this
// system sends carry a few images and a flipbook.
inline constexpr int32_t MaxFrameAttachments = 1024;
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
// each frame is handed over once, when its last byte (of the file too) has arrived. Every
// length is checked as soon as its bytes are in, before anything is kept for it, and the
// bytes of the XML and of each attachment go straight into their own buffers as they arrive:
// a frame never holds more memory than the bytes of it that have come (plus one small stream
// per attachment, whose number is bounded).
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
    // Bytes held for the frame under way (its XML and attachments so far).
    size_t Buffered() const { return FHeld; }

    // The largest L taken; a larger one is refused as soon as its 4 bytes are in.
    int32_t MaxLength = MaxFrameLength;
    // The most attachments a frame may declare; more are refused with the header.
    int32_t MaxAttachments = MaxFrameAttachments;
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
    int64_t FileRemaining() const { return FPart == TPart::File ? FFileRemaining : 0; }
    // Counts `count` bytes (at most FileRemaining) the caller put into the disk file; hands
    // the frame over when they were its last.
    void DiskFileReceived(int64_t count, const TFrameHandler& onFrame);

  private:
    // The part of a frame the next bytes belong to.
    enum class TPart { Length, Counts, Xml, AttachmentLength, Attachment, FileLength, File };

    bool Fail(std::string text);
    // Gathers the bytes of a fixed-size field across pieces; true once all `size` are in.
    bool Collect(const char*& data, const char* end, size_t size);
    // Moves the bytes of the XML or attachment under way from the input into its buffer.
    void TakePiece(const char*& data, const char* end, std::string& piece);
    bool StartFrame(int32_t length);
    bool StartBody(int32_t xmlLength, int32_t count);
    bool StartAttachment(int32_t length);
    // After the XML and after each attachment: the next attachment, the file or the end.
    bool PieceDone(const TFrameHandler& onFrame);
    bool StartFile(int64_t length, const TFrameHandler& onFrame);
    bool WriteFile(const char* data, size_t size);
    void FinishFrame(const TFrameHandler& onFrame);

    TPart FPart = TPart::Length;
    char FField[8] = {};
    size_t FFieldSize = 0;         // bytes of the field under way gathered so far
    int64_t FLeft = 0;             // bytes of L not yet taken by a part
    int64_t FPieceLeft = 0;        // bytes of the XML or attachment under way still to come
    int32_t FAttachmentsLeft = 0;  // attachments still to come
    std::unique_ptr<TFrame> FFrame;
    std::string FAttachment;  // the attachment under way
    size_t FHeld = 0;
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
