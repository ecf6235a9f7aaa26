// The job side of a processor: preparing a clip, its technical metadata, frame reads with
// preview sampling, the thumbnail, still and native imports and the caption side file. Sources
// with particular properties are small in-test video sources; the path through a real plug-in
// uses LVF clips read by the staged LVF plug-in.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/lmVmVideoModes.h"
#include "plugins/interface/lmVideoSourceText.h"
#include "plugins/lvf/lvfWriter.h"
#include "server/ingest/lmVmSource.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/transcode/lmVmPNGImage.h"
#include "server/transcode/lmVmProcessor.h"

namespace fs = std::filesystem;

namespace {

using TBytes = std::vector<uint8_t>;

// Every pixel of frame i carries i in its blue and green bytes (blue the low byte), so a
// preview image (a scaled uniform frame stays uniform) tells which frame it shows.
void PaintFrame(int32_t index, uint8_t* pixels, int32_t width, int32_t height, int32_t pitch) {
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = pixels + static_cast<size_t>(y) * pitch;
        for (int32_t x = 0; x < width; ++x) {
            row[x * 4 + 0] = static_cast<uint8_t>(index & 0xFF);
            row[x * 4 + 1] = static_cast<uint8_t>(index >> 8);
            row[x * 4 + 2] = 0x40;
            row[x * 4 + 3] = 0xFF;
        }
    }
}

// The frame index a PNG made from a painted frame shows, or -1 when it is not one.
int32_t FrameShown(const TBytes& png, int32_t* width = nullptr, int32_t* height = nullptr) {
    auto image = TPNGImage::LoadFromStream(png.data(), png.size());
    if (!image) {
        return -1;
    }
    if (width) {
        *width = image->Width();
    }
    if (height) {
        *height = image->Height();
    }
    const uint8_t* p = image->Pixels();  // red, green, blue, alpha
    return p[3] == 0xFF && p[0] == 0x40 ? p[2] | p[1] << 8 : -1;
}

std::vector<int32_t> FlipBookFrames(const TMetaItems& meta) {
    std::vector<int32_t> frames;
    for (int32_t i = 0; i < meta.FlipBook()->Count(); ++i) {
        frames.push_back(FrameShown(meta.FlipBook()->Frame(i)));
    }
    return frames;
}

struct TClipShape {
    int32_t Frames = 10;
    int32_t Width = 48;
    int32_t Height = 27;
    float Rate = 25.0f;
    int32_t FieldOrder = LvsFieldUnknownOrProgressive;
    bool Interlaced = false;
    int32_t BitDepth = 24;
    int32_t AudioChannels = 0;
    int32_t CaptionType = LvsCaptionNone;
};

// A reference-counted video source that paints its frames and records what it was asked for.
class TFakeSource final : public IVideoSource {
  public:
    explicit TFakeSource(const TClipShape& shape) : Shape(shape) {}

    LvsResult LVS_CALL QueryInterface(const TLvsIID&, void** object) override {
        *object = nullptr;
        return LVS_E_NOINTERFACE;
    }
    int32_t LVS_CALL AddRef() override { return ++Refs; }
    int32_t LVS_CALL Release() override {
        const int32_t left = --Refs;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    LvsBool LVS_CALL Open(const char16_t*, int32_t) override { return LvsTrue; }
    int32_t LVS_CALL GetHeight() override { return Shape.Height; }
    int32_t LVS_CALL GetWidth() override { return Shape.Width; }
    int32_t LVS_CALL GetFrameCount() override { return Shape.Frames; }
    int32_t LVS_CALL GetPreferredBufferCount() override { return 1; }
    float LVS_CALL GetFrameRate() override { return Shape.Rate; }
    LvsBool LVS_CALL IsInterlaced() override { return Shape.Interlaced ? LvsTrue : LvsFalse; }
    int32_t LVS_CALL GetFieldOrder() override { return Shape.FieldOrder; }
    LvsBool LVS_CALL IsOpaque() override { return LvsTrue; }
    int32_t LVS_CALL GetOutputBitDepth() override { return LvsOutputBitDepth; }
    int32_t LVS_CALL GetBitDepth() override { return Shape.BitDepth; }
    int32_t LVS_CALL GetAudioChannels() override { return Shape.AudioChannels; }

    LvsBool LVS_CALL ReadFrame(int32_t frame, void* buffer, int32_t pitch) override {
        Reads.push_back(frame);
        if (ThrowOn.count(frame)) {
            throw std::runtime_error("decoder broke");
        }
        if (FailOn.count(frame) || frame < 0 || frame >= Shape.Frames) {
            return LvsFalse;
        }
        PaintFrame(frame, static_cast<uint8_t*>(buffer), Shape.Width, Shape.Height, pitch);
        return LvsTrue;
    }
    LvsBool LVS_CALL ReadFrameAudio(int32_t frame, void* buffer, int32_t pitch, void* audio,
                                    int32_t audioSize, int32_t* audioBytes) override {
        if (!ReadFrame(frame, buffer, pitch)) {
            return LvsFalse;
        }
        std::fill_n(static_cast<uint8_t*>(audio), std::min(audioSize, AudioToReport), 0xA5);
        *audioBytes = AudioToReport;
        return LvsTrue;
    }
    LvsBool LVS_CALL GetLastError(int32_t* length, char16_t*) override {
        if (length) {
            *length = 0;
        }
        return LvsFalse;
    }
    uint32_t LVS_CALL GetCodecFourCC() override { return 0; }
    int32_t LVS_CALL GetCaptionType() override { return Shape.CaptionType; }
    // Frames ending in 7 have no captions; the others carry (index, 0x80 | index / 256).
    LvsBool LVS_CALL GetCaptionData(int32_t frame, void* buffer, int32_t size,
                                    int32_t* count) override {
        CaptionCalls.push_back(frame);
        if (frame % 10 == 7 || size < LvsCaptionBytes) {
            *count = 0;
            return LvsFalse;
        }
        static_cast<uint8_t*>(buffer)[0] = static_cast<uint8_t>(frame & 0xFF);
        static_cast<uint8_t*>(buffer)[1] = static_cast<uint8_t>(0x80 | frame >> 8);
        *count = LvsCaptionBytes;
        return LvsTrue;
    }

    TClipShape Shape;
    std::atomic<int32_t> Refs{1};
    std::vector<int32_t> Reads;
    std::vector<int32_t> CaptionCalls;
    std::set<int32_t> FailOn;
    std::set<int32_t> ThrowOn;
    int32_t AudioToReport = 0;

  private:
    ~TFakeSource() = default;
};

struct TFakeRef {
    void operator()(TFakeSource* source) const { source->Release(); }
};
using TFakeSourceRef = std::unique_ptr<TFakeSource, TFakeRef>;

TFakeSourceRef MakeSource(const TClipShape& shape) {
    return TFakeSourceRef(new TFakeSource(shape));
}

TBytes ReadAll(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(file), {});
}

// A job's processor copy with its task and a private folder.
class ProcessorTest : public testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        Folder = fs::temp_directory_path() / ("lmv-processor-" + std::to_string(random()));
        fs::create_directories(Folder);
        Tasks.ChangeEvents().Add([this](int32_t, TTaskItem* task, int32_t) {
            const std::string message = task->Message();
            if (Messages.empty() || Messages.back() != message) {
                Messages.push_back(message);
            }
        });
        Processor.SetMeta(&Item.Meta);
    }
    void TearDown() override {
        Processor.ReleaseVideoSource();
        std::error_code ignored;
        fs::remove_all(Folder, ignored);
    }

    TMetaItems& Meta() { return Item.Meta; }

    // Prepares the processor on a new source and starts sampling as the job does.
    TFakeSource& Start(const TClipShape& shape) {
        Source = MakeSource(shape);
        EXPECT_TRUE(Processor.Prepare(TVideoSourceRef::Share(Source.get()), DefaultFrameRateIndex))
            << Processor.PrepareError();
        Processor.StartSampling();
        return *Source;
    }

    // A source file for the imports and the output path beside it.
    TBytes PlaceSourceFile() {
        TBytes bytes(70000);
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(i * 31 + 7);
        }
        std::ofstream((Folder / "clip.avi"), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        Processor.SetSourcePath((Folder / "clip.avi").string());
        Processor.SetOutputPath((Folder / "{OUTPUT}").string());
        return bytes;
    }

    fs::path Folder;
    std::vector<std::string> Messages;
    TVmTaskList Tasks;
    TTaskItem Task{&Tasks, true};
    TSourceFileItem Item;  // the task's file item, whose metadata the job fills
    TFakeSourceRef Source;
    TVmProcessor Processor{nullptr, true, false};
};

const std::vector<int32_t> Sampled100 = {0,  5,  10, 16, 21, 26, 31, 36, 42, 47,
                                         52, 57, 63, 68, 73, 78, 83, 89, 94, 99};

TEST(PreviewSamplePositionTest, SpreadsTwentyPositionsAndRoundsTiesToEven) {
    for (int32_t k = 0; k < 20; ++k) {
        EXPECT_EQ(PreviewSamplePosition(k, 100), Sampled100[k]) << k;
    }
    // 1 / 2 * 1 = 0.5 lies exactly between frames 0 and 1.
    EXPECT_EQ(PreviewSamplePosition(1, 2), 0);
    EXPECT_EQ(PreviewSamplePosition(3, 2), 2);  // 1.5
    EXPECT_EQ(PreviewSamplePosition(5, 1), 0);
    EXPECT_EQ(PreviewSamplePosition(3, 0), 0);
}

// The renderer reads every frame once, in order: sampling ends at the first repeated position.
TEST_F(ProcessorTest, SequentialReadsSampleTheSpreadFrames) {
    const struct {
        int32_t Frames;
        std::vector<int32_t> Sampled;
    } cases[] = {
        {100, Sampled100}, {5, {0, 1, 2}}, {19, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}}, {2, {0}}, {1, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Frames);
        Meta().FlipBook()->Clear();
        TClipShape shape;
        shape.Frames = c.Frames;
        Start(shape);
        for (int32_t i = 0; i < c.Frames; ++i) {
            ASSERT_TRUE(Processor.FetchFrame(i));
        }
        EXPECT_EQ(FlipBookFrames(Meta()), c.Sampled);
    }
}

TEST_F(ProcessorTest, SamplingOnlyWhileSwitchedOnAndRestartsFromTheFirstPosition) {
    TClipShape shape;
    shape.Frames = 100;
    Start(shape);
    Processor.StopSampling();
    for (int32_t i = 0; i < 30; ++i) {
        Processor.FetchFrame(i);
    }
    EXPECT_EQ(Meta().FlipBook()->Count(), 0);
    Processor.StartSampling();
    for (int32_t i = 0; i < 12; ++i) {
        Processor.FetchFrame(i);
    }
    EXPECT_EQ(FlipBookFrames(Meta()), (std::vector<int32_t>{0, 5, 10}));
    EXPECT_EQ(Processor.NextSample(), 16);
}

// A failed read at a sample position is not sampled; the position waits for a good read.
TEST_F(ProcessorTest, FailedOrRaisingReadsAreFalseAndNotSampled) {
    TClipShape shape;
    shape.Frames = 100;
    TFakeSource& source = Start(shape);
    source.FailOn = {5};
    source.ThrowOn = {10};
    EXPECT_TRUE(Processor.FetchFrame(0));
    EXPECT_FALSE(Processor.FetchFrame(5));
    EXPECT_FALSE(Processor.FetchFrame(10));
    source.FailOn.clear();
    EXPECT_TRUE(Processor.FetchFrame(5));
    EXPECT_EQ(FlipBookFrames(Meta()), (std::vector<int32_t>{0, 5}));
}

TEST_F(ProcessorTest, AudioReadReportsNoMoreBytesThanTheBufferOffered) {
    TClipShape shape;
    shape.AudioChannels = 2;
    TFakeSource& source = Start(shape);
    TBytes audio(1000);
    int32_t bytes = -1;
    source.AudioToReport = 640;
    ASSERT_TRUE(Processor.FetchFrame(0, audio.data(), 1000, bytes));
    EXPECT_EQ(bytes, 640);
    EXPECT_EQ(audio[639], 0xA5);
    source.AudioToReport = 5000;
    ASSERT_TRUE(Processor.FetchFrame(1, audio.data(), 1000, bytes));
    EXPECT_EQ(bytes, 1000);
    source.FailOn = {2};
    EXPECT_FALSE(Processor.FetchFrame(2, audio.data(), 1000, bytes));
    EXPECT_EQ(bytes, 0);
    EXPECT_EQ(FrameShown(Meta().FlipBook()->Frame(0)), 0);
}

// A frame read again and again (a one-frame clip has every position at frame 0) never grows
// the flipbook beyond its twenty images.
TEST_F(ProcessorTest, FlipBookStopsAtTwentyImages) {
    TClipShape shape;
    shape.Frames = 1;
    Start(shape);
    for (int32_t i = 0; i < 30; ++i) {
        ASSERT_TRUE(Processor.FetchFrame(0));
    }
    EXPECT_EQ(Meta().FlipBook()->Count(), MaxPreviewSamples);
}

TEST_F(ProcessorTest, PrepareRefusesWhatCannotBeProcessed) {
    const struct {
        const char* Name;
        int32_t Frames, Width, Height;
        float Rate;
        const char* Error;
    } cases[] = {
        {"48 fps", 100, 48, 27, 48.0f, "Frame rate not supported."},
        {"24.5 fps", 100, 48, 27, 24.5f, "Frame rate not supported."},
        {"no frames", 0, 48, 27, 25.0f, "Source has no video frames."},
        {"negative frames", -3, 48, 27, 25.0f, "Source has no video frames."},
        {"no width", 10, 0, 27, 25.0f, "Source has an invalid frame size."},
        {"negative height", 10, 48, -2, 25.0f, "Source has an invalid frame size."},
        {"pitch beyond 32 bits", 10, 600000000, 1, 25.0f, "Source has an invalid frame size."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(
            Processor.Prepare(TVideoSourceRef::Share(MakeSource({}).get()), DefaultFrameRateIndex));
        ASSERT_GT(Processor.FrameBufferSize(), 0u);
        TClipShape shape;
        shape.Frames = c.Frames;
        shape.Width = c.Width;
        shape.Height = c.Height;
        shape.Rate = c.Rate;
        EXPECT_FALSE(Processor.Prepare(TVideoSourceRef::Share(MakeSource(shape).get()),
                                       DefaultFrameRateIndex));
        EXPECT_EQ(Processor.PrepareError(), c.Error);
        EXPECT_EQ(Processor.FrameBufferSize(), 0u);
        EXPECT_FALSE(Processor.FetchFrame(0));
        EXPECT_FALSE(Processor.TakeThumbnail());
    }
}

TEST_F(ProcessorTest, PrepareReadsTheClipAndHoldsOneReferenceUntilReleased) {
    TClipShape shape;
    shape.Frames = 42;
    shape.Width = 101;
    shape.Height = 30;
    shape.Rate = -1.0f;  // no rate of its own: the source's default index decides
    shape.BitDepth = 32;
    shape.AudioChannels = 6;
    shape.FieldOrder = LvsFieldBottomStoredTopDisplayed;
    Source = MakeSource(shape);
    ASSERT_TRUE(Processor.Prepare(TVideoSourceRef::Share(Source.get()), 5));
    EXPECT_TRUE(Processor.PrepareError().empty());
    EXPECT_EQ(Source->Refs, 2);
    EXPECT_EQ(Processor.Duration(), 42);
    EXPECT_EQ(Processor.Width(), 101);
    EXPECT_EQ(Processor.Height(), 30);
    EXPECT_EQ(Processor.Pitch(), 404);
    EXPECT_EQ(Processor.BitDepth(), 32);
    EXPECT_EQ(Processor.AudioChannels(), 6);
    EXPECT_EQ(Processor.FrameRateIndex(), 5);
    EXPECT_EQ(Processor.FieldMode(), fmLowerFieldFirst);
    // One frame with ten percent headroom: 404 * 110 / 100 = 444 bytes per row.
    EXPECT_EQ(Processor.FrameBufferSize(), 444u * 30);

    auto other = MakeSource({});
    ASSERT_TRUE(Processor.Prepare(TVideoSourceRef::Share(other.get()), 3));
    EXPECT_EQ(Source->Refs, 1);
    EXPECT_EQ(other->Refs, 2);
    ASSERT_TRUE(Processor.Prepare(TVideoSourceRef(), 3));
    EXPECT_EQ(other->Refs, 1);
    EXPECT_EQ(Processor.FrameBufferSize(), 0u);
    EXPECT_FALSE(Processor.HasVideoSource());
    {
        TVmProcessor copy(nullptr, true, false);
        ASSERT_TRUE(copy.Prepare(TVideoSourceRef::Share(other.get()), 3));
        EXPECT_EQ(other->Refs, 2);
    }
    EXPECT_EQ(other->Refs, 1);
}

TEST_F(ProcessorTest, TechnicalMetadata) {
    const struct {
        const char* Name;
        int32_t Frames;
        float Rate;
        bool Still;
        const char *FrameRate, *FrameDiv, *ThumbFrame, *HoldLast;
    } cases[] = {
        {"one frame", 1, 25.0f, false, "25", "1", "0", "1"},
        {"60 frames at 29.97", 60, 29.97f, false, "30000", "1001", "25", ""},
        {"30 frames at 23.976", 30, 23.976f, false, "24000", "1001", "15", ""},
        {"two frames at 59.94", 2, 59.94f, false, "60000", "1001", "1", ""},
        {"still image", 1, -1.0f, true, "0", "0", "0", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TMetaItems meta;
        Processor.SetMeta(&meta);
        TClipShape shape;
        shape.Frames = c.Frames;
        shape.Rate = c.Rate;
        shape.BitDepth = 24;
        shape.AudioChannels = 2;
        ASSERT_TRUE(Processor.Prepare(TVideoSourceRef::Share(MakeSource(shape).get()),
                                      DefaultFrameRateIndex));
        Processor.WriteTechnicalMeta(meta, c.Still);
        EXPECT_EQ(meta.Item(MetaDuration).Value(), std::to_string(c.Frames));
        EXPECT_EQ(meta.Item(MetaWidth).Value(), "48");
        EXPECT_EQ(meta.Item(MetaHeight).Value(), "27");
        EXPECT_EQ(meta.Item(MetaBitDepth).Value(), "24");
        EXPECT_EQ(meta.Item(MetaAudioChannels).Value(), "2");
        EXPECT_EQ(meta.Item(MetaFrameRate).Value(), c.FrameRate);
        EXPECT_EQ(meta.Item(MetaFrameDiv).Value(), c.FrameDiv);
        EXPECT_EQ(meta.Item(MetaThumbFrame).Value(), c.ThumbFrame);
        EXPECT_EQ(meta.Item(MetaHoldLast).Value(), c.HoldLast);
        EXPECT_EQ(meta.Item(MetaFieldMode).Value(), "0");
    }
    Processor.SetMeta(&Meta());
}

// The metadata keeps a field mode from the file name; the renderer still gets the source's.
TEST_F(ProcessorTest, FieldModeFromTheFileNameWins) {
    TVmSource source(nullptr, true);
    for (const char* name : {"{LFF}Interview.mov", "Interview.mov"}) {
        SCOPED_TRACE(name);
        TSourceFileItem item;
        item.SetFileName(name);
        source.ParseFileName(item);
        Processor.SetMeta(&item.Meta);
        TClipShape shape;
        shape.Width = 1920;
        shape.Height = 1080;
        shape.Interlaced = true;
        shape.FieldOrder = LvsFieldTopFirst;
        ASSERT_TRUE(Processor.Prepare(TVideoSourceRef::Share(MakeSource(shape).get()),
                                      DefaultFrameRateIndex));
        Processor.WriteTechnicalMeta(item.Meta, false);
        EXPECT_EQ(Processor.FieldMode(), fmUpperFieldFirst);
        EXPECT_EQ(item.Meta.Item(MetaFieldMode).Value(), name[0] == '{' ? "2" : "1");
        Processor.ReleaseVideoSource();
    }
    Processor.SetMeta(&Meta());
}

TEST_F(ProcessorTest, ThumbnailIsTheThumbFrameAndIsNotSampled) {
    const struct {
        int32_t Frames, Width, Height;
        int32_t Frame, ThumbWidth, ThumbHeight;
    } cases[] = {
        {100, 96, 54, 25, 32, 18},
        {9, 96, 54, 4, 32, 18},
        {1, 96, 54, 0, 32, 18},
        {3, 900, 2, 1, 300, 1},  // too flat for a proportional height: one row
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Frames);
        Meta().Streams().clear();
        Meta().FlipBook()->Clear();
        TClipShape shape;
        shape.Frames = c.Frames;
        shape.Width = c.Width;
        shape.Height = c.Height;
        TFakeSource& source = Start(shape);
        ASSERT_TRUE(Processor.TakeThumbnail());
        EXPECT_EQ(source.Reads, std::vector<int32_t>{c.Frame});
        ASSERT_EQ(Meta().Streams().size(), 1u);
        int32_t width = 0, height = 0;
        EXPECT_EQ(FrameShown(Meta().Streams()[0], &width, &height), c.Frame);
        EXPECT_EQ(width, c.ThumbWidth);
        EXPECT_EQ(height, c.ThumbHeight);
        EXPECT_EQ(Meta().FlipBook()->Count(), 0);
    }
    Source->FailOn = {ThumbFrameIndex(Source->Shape.Frames)};
    EXPECT_FALSE(Processor.TakeThumbnail());
    EXPECT_EQ(Meta().Streams().size(), 1u);
}

TEST_F(ProcessorTest, ImportNativeCopiesTheClipAndReadsOnlyTheSamplePositions) {
    const struct {
        int32_t Frames;
        std::vector<int32_t> Sampled;
    } cases[] = {
        {100, std::vector<int32_t>(Sampled100.begin(), Sampled100.end() - 1)},
        {5, {0, 1, 2, 2, 3}},
        {2, {0, 0}},
        {1, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Frames);
        Meta().FlipBook()->Clear();
        Messages.clear();
        const TBytes bytes = PlaceSourceFile();
        TClipShape shape;
        shape.Frames = c.Frames;
        TFakeSource& source = Start(shape);
        ASSERT_TRUE(Processor.ImportNative(Task));
        EXPECT_EQ(ReadAll(Folder / "{OUTPUT}"), bytes);
        EXPECT_EQ(source.Reads, c.Sampled);
        EXPECT_EQ(FlipBookFrames(Meta()), c.Sampled);
        EXPECT_EQ(Task.Progress(), 100.0f);
        EXPECT_EQ(Messages, (std::vector<std::string>{"Importing Lumenar Codec video...",
                                                      "Generating flipbook...",
                                                      "Flipbook generation complete."}));
    }
}

TEST_F(ProcessorTest, ImportStillCopiesTheImageAndSamplesFrameZeroOnce) {
    const TBytes bytes = PlaceSourceFile();
    TClipShape shape;
    shape.Frames = 1;
    shape.Rate = -1.0f;
    TFakeSource& source = Start(shape);
    ASSERT_TRUE(Processor.ImportStill(Task));
    EXPECT_EQ(ReadAll(Folder / "{OUTPUT}"), bytes);
    EXPECT_EQ(source.Reads, std::vector<int32_t>{0});
    EXPECT_EQ(FlipBookFrames(Meta()), std::vector<int32_t>{0});
    EXPECT_EQ(Task.Progress(), 100.0f);
    EXPECT_EQ(Messages,
              (std::vector<std::string>{"Importing still image...", "Generating flipbook...",
                                        "Flipbook generation complete."}));
}

TEST_F(ProcessorTest, ImportsFailWhenTheCopyFails) {
    PlaceSourceFile();
    Processor.SetSourcePath((Folder / "missing.avi").string());
    TFakeSource& source = Start({});
    EXPECT_FALSE(Processor.ImportStill(Task));
    EXPECT_FALSE(Processor.ImportNative(Task));
    EXPECT_TRUE(source.Reads.empty());
    EXPECT_FALSE(fs::exists(Folder / "{OUTPUT}"));
}

TEST_F(ProcessorTest, CaptionsGoIntoTheSideFile) {
    PlaceSourceFile();
    TClipShape shape;
    shape.Frames = 100;
    shape.CaptionType = LvsCaptionCEA608;
    TFakeSource& source = Start(shape);
    ASSERT_TRUE(Processor.ExtractCaptions(Task));
    EXPECT_EQ(Task.Progress(), 100.0f);
    EXPECT_EQ(source.CaptionCalls.size(), 100u);
    const TBytes file = ReadAll(Folder / "{OUTPUT}.xmd");
    ASSERT_EQ(file.size(), 752u);
    const TBytes header(file.begin(), file.begin() + 20);
    EXPECT_EQ(header, (TBytes{'a', 'v', 'i', 'm', 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0}));
    EXPECT_EQ(TBytes(file.begin() + 20, file.begin() + 52), TBytes(32, 0));
    EXPECT_EQ(TBytes(file.begin() + 745, file.end()), (TBytes{99, 0, 0, 0, 1, 99, 0x80}));
    // Frame 7 had no captions: flag clear, zero payload.
    EXPECT_EQ(TBytes(file.begin() + 52 + 7 * 7, file.begin() + 52 + 8 * 7),
              (TBytes{7, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ProcessorTest, CaptionsFailWithoutCaptionsOrWithoutAWritableFile) {
    PlaceSourceFile();
    TFakeSource& plain = Start({});
    EXPECT_FALSE(Processor.ExtractCaptions(Task));
    EXPECT_TRUE(plain.CaptionCalls.empty());
    EXPECT_FALSE(fs::exists(Folder / "{OUTPUT}.xmd"));

    TClipShape shape;
    shape.CaptionType = LvsCaptionCEA608;
    Start(shape);
    Processor.SetOutputPath((Folder / "no-such-folder" / "{OUTPUT}").string());
    EXPECT_FALSE(Processor.ExtractCaptions(Task));
}

// The whole path through the staged LVF plug-in: an LVF clip of 30 frames at 25 per second.
TEST_F(ProcessorTest, LVFClipThroughThePlugIn) {
    constexpr int32_t Frames = 30, Width = 64, Height = 36;
    const std::string clip = (Folder / "clip.lvf").string();
    {
        TLVFWriter writer;
        ASSERT_TRUE(writer.Create(clip, Width, Height)) << writer.ErrorText();
        TBytes frame(static_cast<size_t>(Width) * Height * 4);
        for (int32_t i = 0; i < Frames; ++i) {
            PaintFrame(i, frame.data(), Width, Height, Width * 4);
            ASSERT_TRUE(writer.WriteFrame(frame.data()));
        }
        ASSERT_TRUE(writer.Finish()) << writer.ErrorText();
    }
    TVideoSourceHandlers handlers;
    handlers.LoadPlugins(std::string(LMV_STAGE_DIR) + "/bin");
    TVideoSourceRef source = handlers.GetVideoSource(clip);
    ASSERT_TRUE(source);
    ASSERT_TRUE(source.Open(clip));

    // Declared after the plug-ins, so its reference goes before they are unloaded.
    TVmProcessor processor(nullptr, true, false);
    processor.SetMeta(&Meta());
    ASSERT_TRUE(processor.Prepare(source.Share(), DefaultFrameRateIndex));
    processor.WriteTechnicalMeta(Meta(), false);
    EXPECT_EQ(Meta().Item(MetaFrameRate).Value(), "25");
    EXPECT_EQ(Meta().Item(MetaThumbFrame).Value(), "15");
    processor.StartSampling();
    for (int32_t i = 0; i < Frames; ++i) {
        ASSERT_TRUE(processor.FetchFrame(i));
    }
    processor.StopSampling();
    EXPECT_EQ(FlipBookFrames(Meta()),
              (std::vector<int32_t>{0,  2,  3,  5,  6,  8,  9,  11, 12, 14,
                                    15, 17, 18, 20, 21, 23, 24, 26, 27, 29}));
    ASSERT_TRUE(processor.TakeThumbnail());
    EXPECT_EQ(FrameShown(Meta().Streams().at(0)), 15);
}

}  // namespace
