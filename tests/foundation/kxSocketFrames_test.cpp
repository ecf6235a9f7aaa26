// The frame reader on its own: what a frame may cost before its bytes have come, and frames cut
// at every byte boundary.

#include "foundation/kxSocketFrames.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/kxByteOrder.h"

namespace {

void Put32(std::string& out, int32_t v) {
    char bytes[4];
    StoreLE32(bytes, static_cast<uint32_t>(v));
    out.append(bytes, sizeof bytes);
}

void Put64(std::string& out, int64_t v) {
    char bytes[8];
    StoreLE64(bytes, static_cast<uint64_t>(v));
    out.append(bytes, sizeof bytes);
}

// A frame with the XML, the attachments and, when given, a file.
std::string Frame(const std::string& xml, const std::vector<std::string>& attachments,
                  const std::string* file = nullptr) {
    std::string body;
    for (const std::string& attachment : attachments) {
        Put32(body, static_cast<int32_t>(attachment.size()));
        body += attachment;
    }
    if (file) {
        Put64(body, static_cast<int64_t>(file->size()));
    }
    std::string frame;
    Put32(frame, static_cast<int32_t>(8 + xml.size() + body.size()));
    Put32(frame, static_cast<int32_t>(xml.size()));
    Put32(frame, file && attachments.empty() ? -1 : static_cast<int32_t>(attachments.size()));
    frame += xml + body;
    if (file) {
        frame += *file;
    }
    return frame;
}

// What a handed-over frame held.
struct TTaken {
    std::string Xml;
    std::vector<std::string> Attachments;
    bool HasFile = false;
    std::string File;
};

TTaken Take(TFrame& frame) {
    TTaken taken{frame.Xml, {}, frame.HasFile, {}};
    for (const auto& attachment : frame.Attachments) {
        taken.Attachments.push_back(attachment->str());
    }
    if (frame.File) {
        taken.File.assign(std::istreambuf_iterator<char>(*frame.File), {});
    }
    return taken;
}

// Bytes the process's heap holds in use now.
size_t HeapInUse() {
    return mallinfo2().uordblks;
}

}  // namespace

// A frame's declared attachments are counted against a bound of their own and against the
// frame's length before any of them costs a stream: a frame of empty attachment headers is
// refused on its 12-byte header, however long it claims to be.
TEST(FrameReader, AttachmentsAreCountedBeforeTheyCostAnything) {
    struct TCase {
        const char* Name;
        int32_t Length;
        int32_t Count;
        int32_t Limit;
    };
    const TCase cases[] = {
        {"16 MiB of empty attachment headers", 16 << 20, ((16 << 20) - 8) / 4, MaxFrameAttachments},
        {"one more than the bound", 8 + 4 * (MaxFrameAttachments + 1), MaxFrameAttachments + 1,
         MaxFrameAttachments},
        {"more than the frame has room for", 8 + 4 * 10, 11, MaxFrameAttachments},
        {"any on a connection that takes none", 8 + 4, 1, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TFrameReader reader;
        reader.MaxAttachments = c.Limit;
        std::string header;
        Put32(header, c.Length);
        Put32(header, 0);
        Put32(header, c.Count);
        bool handed = false;
        EXPECT_FALSE(reader.Feed(header.data(), header.size(), [&](TFrame&) { handed = true; }));
        EXPECT_FALSE(handed);
        EXPECT_EQ(reader.ErrorText(), "Invalid frame: attachment count " + std::to_string(c.Count));
    }

    // As many as the bound allows still arrive, each one's bytes in a stream of its own.
    TFrameReader reader;
    const std::vector<std::string> attachments(MaxFrameAttachments, std::string("ab"));
    const std::string frame = Frame("<packet type=\"many\"/>", attachments);
    std::vector<TTaken> taken;
    ASSERT_TRUE(
        reader.Feed(frame.data(), frame.size(), [&](TFrame& f) { taken.push_back(Take(f)); }));
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].Attachments, attachments);
}

// Memory is spent on the bytes that came, never on what a header declares: a frame that
// announces 200 MiB in one attachment and sends 1 MiB of it holds about 1 MiB.
TEST(FrameReader, AFrameHoldsOnlyTheBytesThatArrived) {
    constexpr int32_t declared = 200 << 20;
    std::string start;
    Put32(start, declared);
    Put32(start, 0);
    Put32(start, 1);
    Put32(start, declared - 12);
    const std::string piece(64 << 10, 'x');
    const size_t before = HeapInUse();
    TFrameReader reader;
    ASSERT_TRUE(reader.Feed(start.data(), start.size(), [](TFrame&) {}));
    for (int i = 0; i < 16; ++i) {
        ASSERT_TRUE(reader.Feed(piece.data(), piece.size(), [](TFrame&) {}));
    }
    EXPECT_EQ(reader.Buffered(), 16 * piece.size());
    const size_t grown = HeapInUse() - std::min(HeapInUse(), before);
    EXPECT_LT(grown, 4u << 20) << "a 1 MiB part of a 200 MiB frame took " << grown << " bytes";
}

// Frames cut at every byte boundary, and several in one piece, come out as they went in.
TEST(FrameReader, FramesCutAnywhereArriveWhole) {
    const std::string file = "file bytes";
    const std::string stream = Frame("<packet type=\"a\"/>", {"one", "", "three"}) + Frame("", {}) +
                               Frame("<packet type=\"f\"/>", {}, &file) +
                               Frame("<packet type=\"g\"/>", {"x"}, &file);
    for (size_t piece = 1; piece <= stream.size(); piece += piece < 16 ? 1 : 7) {
        SCOPED_TRACE(piece);
        TFrameReader reader;
        reader.FileAllowance = 1 << 20;
        std::vector<TTaken> taken;
        for (size_t at = 0; at < stream.size(); at += piece) {
            ASSERT_TRUE(reader.Feed(stream.data() + at, std::min(piece, stream.size() - at),
                                    [&](TFrame& f) { taken.push_back(Take(f)); }))
                << reader.ErrorText();
        }
        ASSERT_EQ(taken.size(), 4u);
        EXPECT_EQ(taken[0].Attachments, (std::vector<std::string>{"one", "", "three"}));
        EXPECT_EQ(taken[1].Xml, "");
        EXPECT_FALSE(taken[1].HasFile);
        EXPECT_TRUE(taken[2].HasFile);
        EXPECT_EQ(taken[2].File, file);
        EXPECT_EQ(taken[3].Attachments, std::vector<std::string>{"x"});
        EXPECT_EQ(taken[3].File, file);
        EXPECT_EQ(reader.Buffered(), 0u);
    }
}
