#include "server/media/lmMediaTypes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "server/media/lmAudioVideoFramePusher.h"

namespace {

struct TStrideCase {
    int32_t Width, Height, Depth;
    int32_t Stride;
    uint32_t Image;
};

TEST(VideoMediaType, StrideAndImageSize) {
    const TStrideCase cases[] = {
        {720, 486, 24, 2160, 1049760},
        {720, 486, 32, 2880, 1399680},
        {641, 3, 24, 1924, 5772},
        {641, 3, 32, 2564, 7692},
        {1, 1, 24, 4, 4},
    };
    for (const TStrideCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Width << "x" << c.Height << "@" << c.Depth);
        const TVideoMediaType type = MakeVideoMediaType(c.Width, c.Height, c.Depth, 2);
        EXPECT_EQ(VideoStride(c.Width, c.Depth), c.Stride);
        EXPECT_EQ(type.Header.bmiHeader.biSizeImage, c.Image);
        EXPECT_EQ(type.SampleSize, c.Image);
        EXPECT_EQ(type.Subtype, c.Depth == 24 ? TVideoSubtype::RGB24 : TVideoSubtype::RGB32);
    }
}

TEST(VideoMediaType, TimingBitRateAndFormatBlock) {
    const TVideoMediaType pal = MakeVideoMediaType(720, 576, 32, 2);
    EXPECT_EQ(pal.Header.AvgTimePerFrame, 400000);
    EXPECT_EQ(pal.Header.dwBitRate, 720u * 576 * 4 * 25 * 8);
    const TVideoMediaType ntsc = MakeVideoMediaType(720, 486, 24, 3);
    EXPECT_EQ(ntsc.Header.AvgTimePerFrame, 333667);
    const std::vector<uint8_t> block = ntsc.FormatBlock();
    ASSERT_EQ(block.size(), 100u);
    // biSize at 48, biWidth at 52, biHeight at 56, biBitCount at 62, AvgTimePerFrame at 40.
    EXPECT_EQ(block[48], 40);
    EXPECT_EQ(block[52] | (block[53] << 8), 720);
    EXPECT_EQ(block[56] | (block[57] << 8), 486);
    EXPECT_EQ(block[62], 24);
    EXPECT_EQ(block[40] | (block[41] << 8) | (block[42] << 16), 333667);
    for (size_t i = 88; i < 100; ++i) {
        EXPECT_EQ(block[i], 0) << i;
    }
}

TEST(AudioFormat, PlainForTwoChannelsExtensibleForSix) {
    EXPECT_FALSE(MakeAudioFormat(0).has_value());
    const TWaveFormat stereo = *MakeAudioFormat(2);
    EXPECT_EQ(stereo.wFormatTag, kWaveFormatPCM);
    EXPECT_EQ(stereo.nBlockAlign, 4);
    EXPECT_EQ(stereo.nAvgBytesPerSec, 192000u);
    EXPECT_EQ(stereo.FormatBlock().size(), 18u);

    const TWaveFormat six = *MakeAudioFormat(6);
    EXPECT_EQ(six.wFormatTag, kWaveFormatExtensible);
    EXPECT_EQ(six.cbSize, 22);
    const std::vector<uint8_t> block = six.FormatBlock();
    ASSERT_EQ(block.size(), 40u);
    EXPECT_EQ(block[18], 16);                                     // valid bits
    EXPECT_EQ(block[20] | block[21] | block[22] | block[23], 0);  // channel mask
    EXPECT_TRUE(std::equal(kSubtypePCM.begin(), kSubtypePCM.end(), block.begin() + 24));
}

TEST(AudioFormat, BytesPerFrameRaisedToWholeBlocks) {
    const struct {
        int Channels, Rate;
        uint32_t Bytes;
    } cases[] = {{2, 3, 6408}, {2, 2, 7680}, {1, 3, 3204}, {6, 3, 19224}, {2, 0, 8008}};
    for (const auto& c : cases) {
        EXPECT_EQ(AudioBytesPerVideoFrame(*MakeAudioFormat(c.Channels), c.Rate), c.Bytes)
            << c.Channels << " channels, rate " << c.Rate;
    }
}

// Collects what a pin delivers.
class TRecordingInput : public IMediaInput {
  public:
    bool Receive(const TMediaSample& s) override {
        Samples.push_back(s);
        Sizes.push_back(s.Length);
        return true;
    }
    void EndOfStream() override { Ended = true; }
    std::vector<TMediaSample> Samples;
    std::vector<size_t> Sizes;
    bool Ended = false;
};

TEST(PushPins, VideoSampleTimesAreExactMultiples) {
    for (int rate : {2, 3}) {
        const TVideoMediaType type = MakeVideoMediaType(8, 2, 32, rate);
        int filled = 0;
        TVideoPushPin pin(type, [&](uint8_t*, size_t) { return filled++ < 100; });
        TRecordingInput input;
        ASSERT_TRUE(pin.Connect(&input));
        EXPECT_EQ(pin.Allocated().Buffers, 1);
        EXPECT_EQ(pin.Allocated().BufferSize, 64);
        pin.Run();
        pin.Join();
        ASSERT_EQ(input.Samples.size(), 100u);
        EXPECT_TRUE(input.Ended);
        const int64_t frame = rate == 2 ? 400000 : 333667;
        for (int64_t i = 0; i < 100; ++i) {
            EXPECT_EQ(input.Samples[i].Start, i * frame);
            EXPECT_EQ(input.Samples[i].Stop, (i + 1) * frame);
            EXPECT_EQ(input.Samples[i].MediaStart, i);
            EXPECT_TRUE(input.Samples[i].SyncPoint);
        }
        EXPECT_EQ(input.Samples.back().Start, rate == 2 ? 39600000 : 99 * 333667);
    }
}

TEST(PushPins, AudioSamplesTimedByTheirLength) {
    const TWaveFormat format = *MakeAudioFormat(2);
    int calls = 0;
    TAudioPushPin pin(format, 6408, [&](uint8_t*, size_t size, size_t& written) {
        EXPECT_EQ(size, 6408u);
        written = calls == 0 ? 6408 : 1920;  // 1602 samples, then 480 samples (10 ms)
        return calls++ < 2;
    });
    TRecordingInput input;
    ASSERT_TRUE(pin.Connect(&input));
    EXPECT_EQ(pin.Allocated().Buffers, 2);
    EXPECT_EQ(pin.Allocated().Align, 4);
    pin.Run();
    pin.Join();
    ASSERT_EQ(input.Samples.size(), 2u);
    EXPECT_EQ(input.Samples[0].Start, 0);
    EXPECT_EQ(input.Samples[0].Stop, 333750);
    EXPECT_EQ(input.Samples[0].MediaStop, 1602);
    EXPECT_EQ(input.Samples[1].Start, 333750);
    EXPECT_EQ(input.Samples[1].Stop, 333750 + 100000);
    EXPECT_EQ(input.Samples[1].MediaStart, 1602);
    EXPECT_EQ(input.Sizes[1], 1920u);
    EXPECT_TRUE(input.Ended);
}

// An input whose allocator needs replace the audio pin's own, and one granted too little.
class TCarryingInput : public TRecordingInput {
  public:
    void GetAllocatorRequirements(TAllocatorProperties& p) const override {
        p.Buffers = 3;
        p.BufferSize = 4096;
        p.Align = 8;
    }
};

TEST(PushPins, CarriedAllocatorValuesReplaceTheAudioPins) {
    TAudioPushPin pin(*MakeAudioFormat(2), 6408, [](uint8_t*, size_t, size_t&) { return false; });
    TCarryingInput input;
    ASSERT_TRUE(pin.Connect(&input));
    EXPECT_EQ(pin.Allocated().Buffers, 3);
    EXPECT_EQ(pin.Allocated().BufferSize, 4096);
    EXPECT_EQ(pin.Allocated().Align, 8);
}

TEST(SampleAllocator, ABufferReturnsWithItsLastHold) {
    TSampleAllocator allocator;
    TAllocatorProperties granted;
    ASSERT_TRUE(allocator.SetProperties({1, 64, 16, 0}, granted));
    TMediaSample* sample = allocator.Get();
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(sample->Allocator, &allocator);
    const TMediaSample copy = *sample;
    EXPECT_FALSE(allocator.AddRef(&copy));  // not a buffer of this allocator
    ASSERT_TRUE(allocator.AddRef(sample));  // an input keeps it past Receive
    allocator.Release(sample);
    TAllocatorProperties again;
    EXPECT_FALSE(allocator.SetProperties({1, 64, 16, 0}, again)) << "the held buffer is still out";

    auto next = std::async(std::launch::async, [&] { return allocator.Get(); });
    EXPECT_EQ(next.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    allocator.Release(sample);
    EXPECT_EQ(next.get(), sample);
    allocator.Release(sample);
}

}  // namespace
