#include "foundation/kxSocketFrames.h"

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
    FBuffer.clear();
    FPosition = 0;
    FPending = -1;
    FFileFrame.reset();
    return false;
}

void TFrameReader::Take(const char* data, size_t size, size_t& offset) {
    // Only what the next frame still needs is kept, so the buffer never holds more than one
    // frame beyond the header.
    size_t want = size - offset;
    if (FPending >= 0) {
        const size_t missing =
            static_cast<size_t>(FPending) - std::min<size_t>(Buffered(), FPending);
        want = std::min(want, std::max<size_t>(missing, 4));
    }
    if (FPosition > 0 && FPosition == FBuffer.size()) {
        FBuffer.clear();
        FPosition = 0;
    }
    FBuffer.append(data + offset, want);
    offset += want;
}

TFrameReader::TStep TFrameReader::ReadHeader() {
    if (FPending < 0) {
        if (Buffered() < 4) {
            return TStep::NeedMore;
        }
        const int32_t length = ReadInt32(FBuffer.data() + FPosition);
        if (length < 0) {
            Fail("Invalid socket size " + std::to_string(length) + " message received.");
            return TStep::Failed;
        }
        if (length > MaxLength) {
            Fail("Frame of " + std::to_string(length) + " bytes refused (limit " +
                 std::to_string(MaxLength) + ")");
            return TStep::Failed;
        }
        if (length < 8) {
            Fail("Invalid frame: length " + std::to_string(length) + " too short");
            return TStep::Failed;
        }
        FPosition += 4;
        FPending = length;
        FHeaderChecked = false;
    }
    if (!FHeaderChecked) {
        // X and N are checked as soon as they are in, before the rest of the frame is kept.
        if (Buffered() < 8) {
            return TStep::NeedMore;
        }
        const int32_t x = ReadInt32(FBuffer.data() + FPosition);
        const int32_t n = ReadInt32(FBuffer.data() + FPosition + 4);
        const int64_t left = static_cast<int64_t>(FPending) - 8;
        if (x < 0 || x > left) {
            Fail("Invalid frame: XML length " + std::to_string(x));
            return TStep::Failed;
        }
        if (n < -1 || (n > 0 && n > (left - x) / 4)) {
            Fail("Invalid frame: attachment count " + std::to_string(n));
            return TStep::Failed;
        }
        if (n == -1 && FileAllowance <= 0) {
            Fail("Frame with a file refused");
            return TStep::Failed;
        }
        FHeaderChecked = true;
    }
    return Buffered() < static_cast<size_t>(FPending) ? TStep::NeedMore : TStep::Ready;
}

bool TFrameReader::ParseFrame(const char* p, int32_t length, TFrame& frame) {
    // X and N were checked with the header; every attachment length is checked against what
    // is left of L before it is used.
    int64_t left = length;
    const int32_t x = ReadInt32(p);
    const int32_t n = ReadInt32(p + 4);
    p += 8;
    left -= 8;
    frame.Xml.assign(p, static_cast<size_t>(x));
    p += x;
    left -= x;
    frame.AttachmentCount = n;
    for (int32_t i = 0; i < n; ++i) {
        if (left < 4) {
            return Fail("Invalid frame: attachment " + std::to_string(i) + " outside the frame");
        }
        const int32_t size = ReadInt32(p);
        p += 4;
        left -= 4;
        if (size < 0 || size > left) {
            return Fail("Invalid frame: attachment length " + std::to_string(size));
        }
        auto stream =
            std::make_unique<std::stringstream>(std::string(p, static_cast<size_t>(size)),
                                                std::ios::in | std::ios::out | std::ios::binary);
        frame.Attachments.push_back(std::move(stream));
        p += size;
        left -= size;
    }
    // What remains is nothing, or exactly the file length.
    if (left == 8) {
        frame.HasFile = true;
        frame.FileLength = ReadInt64(p);
        if (frame.FileLength < 0) {
            return Fail("Invalid frame: file length " + std::to_string(frame.FileLength));
        }
        if (FileAllowance <= 0 || frame.FileLength > FileAllowance) {
            return Fail("Frame with a file of " + std::to_string(frame.FileLength) +
                        " bytes refused");
        }
    } else if (left != 0 || n == -1) {
        return Fail("Invalid frame: " + std::to_string(left) + " bytes left over");
    }
    return true;
}

bool TFrameReader::StartFile(std::unique_ptr<TFrame> frame) {
    if (DiskSink) {
        frame->DiskFile = DiskSink(frame->FileLength);
    }
    if (!frame->DiskFile) {
        frame->File = FileSink ? FileSink(frame->FileLength) : TemporaryFrameFile();
        if (!frame->File) {
            return Fail("Unable to create a file for a frame");
        }
    }
    FFileRemaining = frame->FileLength;
    FFileFrame = std::move(frame);
    const size_t buffered = std::min<size_t>(Buffered(), FFileRemaining);
    if (!WriteFile(FBuffer.data() + FPosition, buffered)) {
        return false;
    }
    FPosition += buffered;
    FFileRemaining -= static_cast<int64_t>(buffered);
    return true;
}

bool TFrameReader::WriteFile(const char* data, size_t size) {
    if (size == 0) {
        return true;
    }
    if (FFileFrame->DiskFile) {
        if (!FFileFrame->DiskFile->Write(data, size)) {
            return Fail("Unable to store the file of a frame (" + port::LastErrorText() + ")");
        }
        return true;
    }
    FFileFrame->File->write(data, static_cast<std::streamsize>(size));
    if (!*FFileFrame->File) {
        return Fail("Unable to store the file of a frame");
    }
    return true;
}

void TFrameReader::FinishFile(const TFrameHandler& onFrame) {
    std::unique_ptr<TFrame> frame = std::move(FFileFrame);
    if (frame->File) {
        frame->File->flush();
        frame->File->seekg(0);
    }
    onFrame(*frame);
}

port::DataFile* TFrameReader::DiskFileUnderWay() const {
    return FFileFrame && FFileRemaining > 0 ? FFileFrame->DiskFile.get() : nullptr;
}

void TFrameReader::DiskFileReceived(int64_t count, const TFrameHandler& onFrame) {
    FFileRemaining -= std::min(count, FFileRemaining);
    if (FFileFrame && FFileRemaining == 0) {
        FinishFile(onFrame);
    }
}

bool TFrameReader::FeedFile(const char* data, size_t size, size_t& offset) {
    // File bytes of a frame under way go straight to its file.
    const size_t take =
        static_cast<size_t>(std::min<int64_t>(FFileRemaining, static_cast<int64_t>(size - offset)));
    if (take > 0) {
        if (!WriteFile(data + offset, take)) {
            return false;
        }
        offset += take;
        FFileRemaining -= static_cast<int64_t>(take);
    }
    return true;
}

bool TFrameReader::Feed(const char* data, size_t size, const TFrameHandler& onFrame) {
    size_t offset = 0;
    for (;;) {
        if (FFileFrame) {
            if (!FeedFile(data, size, offset)) {
                return false;
            }
            if (FFileRemaining > 0) {
                return true;
            }
            FinishFile(onFrame);
            continue;
        }
        if (offset < size) {
            Take(data, size, offset);
        }
        const TStep step = ReadHeader();
        if (step == TStep::Failed) {
            return false;
        }
        if (step == TStep::NeedMore) {
            if (offset >= size) {
                return true;
            }
            continue;
        }
        auto frame = std::make_unique<TFrame>();
        if (!ParseFrame(FBuffer.data() + FPosition, FPending, *frame)) {
            return false;
        }
        FPosition += static_cast<size_t>(FPending);
        FPending = -1;
        if (FPosition == FBuffer.size()) {
            FBuffer.clear();
            FPosition = 0;
        } else if (FPosition > FBuffer.size() / 2) {
            FBuffer.erase(0, FPosition);
            FPosition = 0;
        }
        if (frame->HasFile) {
            if (!StartFile(std::move(frame))) {
                return false;
            }
            continue;
        }
        onFrame(*frame);
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
