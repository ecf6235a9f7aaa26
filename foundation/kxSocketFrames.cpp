#include "foundation/kxSocketFrames.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "foundation/kxByteOrder.h"
#include "foundation/kxSocket.h"

namespace {

int32_t ReadInt32(const char* p) {
    return static_cast<int32_t>(LoadLE32(p));
}

int64_t ReadInt64(const char* p) {
    return static_cast<int64_t>(LoadLE64(p));
}

void PutInt32(std::string& out, int32_t value) {
    char bytes[4];
    StoreLE32(bytes, static_cast<uint32_t>(value));
    out.append(bytes, sizeof bytes);
}

void PutInt64(std::string& out, int64_t value) {
    char bytes[8];
    StoreLE64(bytes, static_cast<uint64_t>(value));
    out.append(bytes, sizeof bytes);
}

// Bytes from the stream's position to its end; -1 when the stream cannot seek.
int64_t RemainingBytes(std::istream& stream) {
    stream.clear();
    const std::streampos start = stream.tellg();
    if (start < 0) {
        return -1;
    }
    stream.seekg(0, std::ios::end);
    const std::streampos end = stream.tellg();
    stream.seekg(start);
    return end < start ? -1 : static_cast<int64_t>(end - start);
}

// Sends `length` bytes from the stream's position in chunks, then puts the position back.
bool SendFromStream(TqvSocket& socket, std::istream& stream, int64_t length) {
    const std::streampos start = stream.tellg();
    std::vector<char> chunk(FrameChunkSize);
    bool ok = true;
    while (length > 0) {
        const auto want = static_cast<std::streamsize>(
            std::min<int64_t>(length, static_cast<int64_t>(chunk.size())));
        stream.read(chunk.data(), want);
        if (stream.gcount() != want || !socket.Send(chunk.data(), static_cast<size_t>(want))) {
            ok = false;
            break;
        }
        length -= want;
    }
    stream.clear();
    stream.seekg(start);
    return ok;
}

}  // namespace

std::unique_ptr<std::iostream> TemporaryFrameFile() {
    static std::atomic<uint64_t> counter{0};
    std::random_device random;
    const auto path =
        std::filesystem::temp_directory_path() / ("lmv-frame-" + std::to_string(random()) + "-" +
                                                  std::to_string(counter.fetch_add(1)) + ".tmp");
    auto stream = std::make_unique<std::fstream>(
        path, std::ios::in | std::ios::out | std::ios::trunc | std::ios::binary);
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    if (!stream->is_open()) {
        return nullptr;
    }
    return stream;
}

bool TFrameReader::Fail(std::string text) {
    FErrorText = std::move(text);
    FPart = TPart::Length;
    FFieldSize = 0;
    FFrame.reset();
    FAttachment = std::string();
    FHeld = 0;
    return false;
}

bool TFrameReader::Collect(const char*& data, const char* end, size_t size) {
    const size_t take = std::min(size - FFieldSize, static_cast<size_t>(end - data));
    std::memcpy(FField + FFieldSize, data, take);
    FFieldSize += take;
    data += take;
    if (FFieldSize < size) {
        return false;
    }
    FFieldSize = 0;
    return true;
}

void TFrameReader::TakePiece(const char*& data, const char* end, std::string& piece) {
    const auto take = static_cast<size_t>(std::min<int64_t>(FPieceLeft, end - data));
    piece.append(data, take);
    data += take;
    FPieceLeft -= static_cast<int64_t>(take);
    FHeld += take;
}

bool TFrameReader::StartFrame(int32_t length) {
    if (length < 0) {
        return Fail("Invalid socket size " + std::to_string(length) + " message received.");
    }
    if (length > MaxLength) {
        return Fail("Frame of " + std::to_string(length) + " bytes refused (limit " +
                    std::to_string(MaxLength) + ")");
    }
    if (length < 8) {
        return Fail("Invalid frame: length " + std::to_string(length) + " too short");
    }
    FLeft = length - 8;
    FFrame = std::make_unique<TFrame>();
    FPart = TPart::Counts;
    return true;
}

bool TFrameReader::StartBody(int32_t xmlLength, int32_t count) {
    if (xmlLength < 0 || xmlLength > FLeft) {
        return Fail("Invalid frame: XML length " + std::to_string(xmlLength));
    }
    FLeft -= xmlLength;
    // Each attachment takes at least its 4-byte length out of the frame.
    if (count < -1 || (count > 0 && (count > MaxAttachments || count > FLeft / 4))) {
        return Fail("Invalid frame: attachment count " + std::to_string(count));
    }
    if (count == -1 && FileAllowance <= 0) {
        return Fail("Frame with a file refused");
    }
    FFrame->AttachmentCount = count;
    FAttachmentsLeft = std::max(count, 0);
    FPieceLeft = xmlLength;
    FPart = TPart::Xml;
    return true;
}

bool TFrameReader::StartAttachment(int32_t length) {
    if (length < 0 || length > FLeft) {
        return Fail("Invalid frame: attachment length " + std::to_string(length));
    }
    FLeft -= length;
    --FAttachmentsLeft;
    FPieceLeft = length;
    FPart = TPart::Attachment;
    return true;
}

bool TFrameReader::PieceDone(const TFrameHandler& onFrame) {
    if (FAttachmentsLeft > 0) {
        if (FLeft < 4) {
            return Fail("Invalid frame: attachment " + std::to_string(FFrame->Attachments.size()) +
                        " outside the frame");
        }
        FLeft -= 4;
        FPart = TPart::AttachmentLength;
        return true;
    }
    // What remains is nothing, or exactly the file length.
    if (FLeft == 8) {
        FLeft = 0;
        FPart = TPart::FileLength;
        return true;
    }
    if (FLeft != 0 || FFrame->AttachmentCount == -1) {
        return Fail("Invalid frame: " + std::to_string(FLeft) + " bytes left over");
    }
    FinishFrame(onFrame);
    return true;
}

bool TFrameReader::StartFile(int64_t length, const TFrameHandler& onFrame) {
    if (length < 0) {
        return Fail("Invalid frame: file length " + std::to_string(length));
    }
    if (FileAllowance <= 0 || length > FileAllowance) {
        return Fail("Frame with a file of " + std::to_string(length) + " bytes refused");
    }
    FFrame->HasFile = true;
    FFrame->FileLength = length;
    if (DiskSink) {
        FFrame->DiskFile = DiskSink(length);
    }
    if (!FFrame->DiskFile) {
        FFrame->File = FileSink ? FileSink(length) : TemporaryFrameFile();
        if (!FFrame->File) {
            return Fail("Unable to create a file for a frame");
        }
    }
    FFileRemaining = length;
    FPart = TPart::File;
    if (length == 0) {
        FinishFrame(onFrame);
    }
    return true;
}

bool TFrameReader::WriteFile(const char* data, size_t size) {
    if (size == 0) {
        return true;
    }
    if (FFrame->DiskFile) {
        if (!FFrame->DiskFile->Write(data, size)) {
            return Fail("Unable to store the file of a frame (" + port::LastErrorText() + ")");
        }
        return true;
    }
    FFrame->File->write(data, static_cast<std::streamsize>(size));
    if (!*FFrame->File) {
        return Fail("Unable to store the file of a frame");
    }
    return true;
}

void TFrameReader::FinishFrame(const TFrameHandler& onFrame) {
    std::unique_ptr<TFrame> frame = std::move(FFrame);
    FPart = TPart::Length;
    FHeld = 0;
    if (frame->File) {
        frame->File->flush();
        frame->File->seekg(0);
    }
    onFrame(*frame);
}

port::DataFile* TFrameReader::DiskFileUnderWay() const {
    return FPart == TPart::File && FFileRemaining > 0 ? FFrame->DiskFile.get() : nullptr;
}

void TFrameReader::DiskFileReceived(int64_t count, const TFrameHandler& onFrame) {
    if (FPart != TPart::File) {
        return;
    }
    FFileRemaining -= std::min(count, FFileRemaining);
    if (FFileRemaining == 0) {
        FinishFrame(onFrame);
    }
}

bool TFrameReader::Feed(const char* data, size_t size, const TFrameHandler& onFrame) {
    const char* end = data + size;
    for (;;) {
        switch (FPart) {
            case TPart::Length:
                if (data == end || !Collect(data, end, 4)) {
                    return true;
                }
                if (!StartFrame(ReadInt32(FField))) {
                    return false;
                }
                break;
            case TPart::Counts:
                if (!Collect(data, end, 8)) {
                    return true;
                }
                if (!StartBody(ReadInt32(FField), ReadInt32(FField + 4))) {
                    return false;
                }
                break;
            case TPart::Xml:
            case TPart::Attachment: {
                const bool xml = FPart == TPart::Xml;
                TakePiece(data, end, xml ? FFrame->Xml : FAttachment);
                if (FPieceLeft > 0) {
                    return true;
                }
                if (!xml) {
                    // The buffer moves into its stream: the bytes are never copied twice.
                    FFrame->Attachments.push_back(std::make_unique<std::stringstream>(
                        std::move(FAttachment), std::ios::in | std::ios::out | std::ios::binary));
                    FAttachment = std::string();
                }
                if (!PieceDone(onFrame)) {
                    return false;
                }
                break;
            }
            case TPart::AttachmentLength:
                if (!Collect(data, end, 4)) {
                    return true;
                }
                if (!StartAttachment(ReadInt32(FField))) {
                    return false;
                }
                break;
            case TPart::FileLength:
                if (!Collect(data, end, 8)) {
                    return true;
                }
                if (!StartFile(ReadInt64(FField), onFrame)) {
                    return false;
                }
                break;
            case TPart::File: {
                // File bytes of a frame under way go straight to its file.
                const auto take =
                    static_cast<size_t>(std::min<int64_t>(FFileRemaining, end - data));
                if (!WriteFile(data, take)) {
                    return false;
                }
                data += take;
                FFileRemaining -= static_cast<int64_t>(take);
                if (FFileRemaining > 0) {
                    return true;
                }
                FinishFrame(onFrame);
                break;
            }
        }
    }
}

namespace {

// Everything of a frame up to its file bytes: the header, the XML, the attachments and, when
// `fileLength` >= 0, the file length.
bool WriteFrameHead(TqvSocket& socket, const std::string& xml,
                    const std::vector<std::iostream*>& attachments, int64_t fileLength) {
    const bool hasFile = fileLength >= 0;
    int64_t length = 8 + static_cast<int64_t>(xml.size());
    std::vector<int64_t> sizes;
    for (std::iostream* attachment : attachments) {
        const int64_t size = RemainingBytes(*attachment);
        if (size < 0 || size > INT32_MAX) {
            return false;
        }
        sizes.push_back(size);
        length += 4 + size;
    }
    if (hasFile) {
        length += 8;
    }
    if (length > MaxFrameLength) {
        return false;
    }
    std::string header;
    header.reserve(12);
    PutInt32(header, static_cast<int32_t>(length));
    PutInt32(header, static_cast<int32_t>(xml.size()));
    PutInt32(header,
             hasFile && attachments.empty() ? -1 : static_cast<int32_t>(attachments.size()));
    if (!socket.Send(header.data(), header.size())) {
        return false;
    }
    for (size_t sent = 0; sent < xml.size(); sent += FrameChunkSize) {
        if (!socket.Send(xml.data() + sent, std::min(FrameChunkSize, xml.size() - sent))) {
            return false;
        }
    }
    for (size_t i = 0; i < attachments.size(); ++i) {
        std::string prefix;
        PutInt32(prefix, static_cast<int32_t>(sizes[i]));
        if (!socket.Send(prefix.data(), prefix.size()) ||
            !SendFromStream(socket, *attachments[i], sizes[i])) {
            return false;
        }
    }
    if (hasFile) {
        std::string prefix;
        PutInt64(prefix, fileLength);
        return socket.Send(prefix.data(), prefix.size());
    }
    return true;
}

}  // namespace

bool WriteFrame(TqvSocket& socket, const std::string& xml,
                const std::vector<std::iostream*>& attachments, std::istream* file) {
    int64_t fileLength = -1;
    if (file) {
        fileLength = RemainingBytes(*file);
        if (fileLength < 0) {
            return false;
        }
    }
    return WriteFrameHead(socket, xml, attachments, fileLength) &&
           (!file || SendFromStream(socket, *file, fileLength));
}

bool WriteFrame(TqvSocket& socket, const std::string& xml,
                const std::vector<std::iostream*>& attachments, port::DataFile& file) {
    const int64_t fileLength = file.Size();
    if (fileLength < 0) {
        return false;
    }
    return WriteFrameHead(socket, xml, attachments, fileLength) &&
           socket.SendFile(file, 0, fileLength);
}

bool AppendFrame(std::string& out, const std::string& xml,
                 const std::vector<std::iostream*>& attachments) {
    int64_t length = 8 + static_cast<int64_t>(xml.size());
    std::vector<int64_t> sizes;
    for (std::iostream* attachment : attachments) {
        const int64_t size = RemainingBytes(*attachment);
        if (size < 0 || size > INT32_MAX) {
            return false;
        }
        sizes.push_back(size);
        length += 4 + size;
    }
    if (length > MaxFrameLength) {
        return false;
    }
    out.reserve(out.size() + 4 + static_cast<size_t>(length));
    PutInt32(out, static_cast<int32_t>(length));
    PutInt32(out, static_cast<int32_t>(xml.size()));
    PutInt32(out, static_cast<int32_t>(attachments.size()));
    out += xml;
    for (size_t i = 0; i < attachments.size(); ++i) {
        std::iostream& attachment = *attachments[i];
        const std::streampos start = attachment.tellg();
        PutInt32(out, static_cast<int32_t>(sizes[i]));
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(sizes[i]));
        attachment.read(out.data() + at, static_cast<std::streamsize>(sizes[i]));
        const bool whole = attachment.gcount() == static_cast<std::streamsize>(sizes[i]);
        attachment.clear();
        attachment.seekg(start);
        if (!whole) {
            return false;
        }
    }
    return true;
}

size_t BeginFrame(std::string& out) {
    const size_t start = out.size();
    out.append(12, '\0');
    return start;
}

bool EndFrame(std::string& out, size_t start) {
    const size_t xml = out.size() - start - 12;
    if (xml + 8 > static_cast<size_t>(MaxFrameLength)) {
        return false;
    }
    char* header = out.data() + start;
    StoreLE32(header, static_cast<uint32_t>(xml + 8));
    StoreLE32(header + 4, static_cast<uint32_t>(xml));
    StoreLE32(header + 8, 0);
    return true;
}
