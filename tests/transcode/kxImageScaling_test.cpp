#include "server/transcode/kxImageScaling.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <thread>

#include "server/transcode/lmVmPNGImage.h"

namespace {

std::vector<uint32_t> RandomImage(int width, int height, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
    for (uint32_t& pixel : pixels)
        pixel = random();
    return pixels;
}

int WeightSum(const TCluster& cluster) {
    int sum = 0;
    for (const TClusterEntry& entry : cluster)
        sum += entry.Weight;
    return sum;
}

TEST(ImageScaling, KernelIsLanczos3) {
    const TLanczosKernel kernel;
    EXPECT_TRUE(kernel.NeedsRangeClamp());
    EXPECT_EQ(kernel.SupportRadius(), 3.0f);
    EXPECT_EQ(kernel.Evaluate(0.0f), 1.0f);
    EXPECT_EQ(kernel.Evaluate(3.0f), 0.0f);
    EXPECT_EQ(kernel.Evaluate(-7.5f), 0.0f);
    EXPECT_NEAR(kernel.Evaluate(1.0f), 0.0f, 1e-6f);
    EXPECT_NEAR(kernel.Evaluate(0.5f), 0.6079271f, 1e-6f);  // sinc(.5) * sinc(1/6)
    EXPECT_EQ(kernel.Evaluate(-0.5f), kernel.Evaluate(0.5f));
    EXPECT_EQ(ClampInt(-4, 0, 9), 0);
    EXPECT_EQ(ClampInt(12, 0, 9), 9);
}

TEST(ImageScaling, EveryClusterWeighs256AndStaysInsideTheSource) {
    const TLanczosKernel kernel;
    const int sizes[] = {1, 2, 3, 5, 7, 16, 33, 100, 180, 320, 719, 1080, 1920, 3000};
    for (int src : sizes)
        for (int dst : sizes) {
            SCOPED_TRACE(testing::Message() << src << " -> " << dst);
            const TMappingTable table = MakeMappingTable(0, dst, 0, dst, 0, src, kernel);
            ASSERT_EQ(table.size(), static_cast<size_t>(dst));
            for (const TCluster& cluster : table) {
                ASSERT_FALSE(cluster.empty());
                ASSERT_EQ(WeightSum(cluster), 256);
                for (const TClusterEntry& entry : cluster) {
                    ASSERT_GE(entry.SourcePos, 0);
                    ASSERT_LT(entry.SourcePos, src);
                }
            }
        }
    // An offset source span keeps its taps inside that span.
    const TMappingTable offset = MakeMappingTable(0, 7, 2, 5, 40, 61, kernel);
    ASSERT_EQ(offset.size(), 3u);
    for (const TCluster& cluster : offset) {
        EXPECT_EQ(WeightSum(cluster), 256);
        for (const TClusterEntry& entry : cluster) {
            EXPECT_GE(entry.SourcePos, 40);
            EXPECT_LT(entry.SourcePos, 61);
        }
    }
}

TEST(ImageScaling, DegenerateSpans) {
    const TLanczosKernel kernel;
    EXPECT_TRUE(MakeMappingTable(0, 10, 0, 10, 0, 0, kernel).empty());
    EXPECT_TRUE(MakeMappingTable(0, 10, 0, 10, 5, 3, kernel).empty());
    EXPECT_TRUE(MakeMappingTable(0, 10, 4, 4, 0, 8, kernel).empty());

    // One source pixel: every destination takes it whole.
    const TMappingTable single = MakeMappingTable(0, 6, 0, 6, 0, 1, kernel);
    ASSERT_EQ(single.size(), 6u);
    for (const TCluster& cluster : single) {
        ASSERT_EQ(cluster.size(), 1u);
        EXPECT_EQ(cluster[0].SourcePos, 0);
        EXPECT_EQ(cluster[0].Weight, 256);
    }

    // One destination pixel takes the middle source pixel.
    const TMappingTable middle = MakeMappingTable(0, 1, 0, 1, 3, 10, kernel);
    ASSERT_EQ(middle.size(), 1u);
    ASSERT_EQ(middle[0].size(), 1u);
    EXPECT_EQ(middle[0][0].SourcePos, 6);
    EXPECT_EQ(middle[0][0].Weight, 256);

    // Equal sizes: every cluster sits on its own source pixel.
    const TMappingTable same = MakeMappingTable(0, 9, 0, 9, 0, 9, kernel);
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(same[i].size(), 1u);
        EXPECT_EQ(same[i][0].SourcePos, i);
    }
}

TEST(ImageScaling, EnlargingTwoPixelsToThreeUsesTheRoundedLanczosTaps) {
    // Centre 0.5 between the two pixels: taps at distances 2.5, 1.5, 0.5 on either side weigh
    // 6, -35, 156 (rounded from 256 x the kernel), which add up to 254; the middle tap of the
    // six (index 2) takes the missing 2. Taps left of the source repeat pixel 0, right of it
    // pixel 1.
    const TMappingTable table = MakeMappingTable(0, 3, 0, 3, 0, 2, TLanczosKernel());
    ASSERT_EQ(table.size(), 3u);
    ASSERT_EQ(table[0].size(), 1u);
    EXPECT_EQ(table[0][0].SourcePos, 0);
    EXPECT_EQ(table[0][0].Weight, 256);
    const std::vector<std::pair<int, int>> expected = {{0, 6},   {0, -35}, {0, 158},
                                                       {1, 156}, {1, -35}, {1, 6}};
    ASSERT_EQ(table[1].size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(table[1][k].SourcePos, expected[k].first) << k;
        EXPECT_EQ(table[1][k].Weight, expected[k].second) << k;
    }
    ASSERT_EQ(table[2].size(), 1u);
    EXPECT_EQ(table[2][0].SourcePos, 1);
}

TEST(ImageScaling, EmptySourceWritesNothing) {
    std::vector<uint32_t> dst(16, 0xDEADBEEF);
    const std::vector<uint32_t> src(16, 0xFF102030);
    LanczosScale(src.data(), dst.data(), 0, 4, 4, 4);
    LanczosScale(src.data(), dst.data(), 4, 0, 4, 4);
    for (uint32_t pixel : dst)
        EXPECT_EQ(pixel, 0xDEADBEEF);
}

TEST(ImageScaling, UniformImageStaysUniform) {
    const uint32_t colours[] = {0xFF000000, 0xFFFFFFFF, 0xFF7F3A11, 0x80C0C0C0, 0x00000000};
    const struct {
        int sw, sh, dw, dh;
    } sizes[] = {{1920, 1080, 320, 180}, {37, 23, 100, 61}, {640, 480, 213, 159},
                 {3000, 2, 320, 1},      {5, 5, 2, 2},      {1, 9, 4, 3}};
    for (uint32_t colour : colours)
        for (const auto& s : sizes) {
            SCOPED_TRACE(testing::Message() << std::hex << colour << std::dec << " " << s.sw << "x"
                                            << s.sh << " -> " << s.dw << "x" << s.dh);
            const std::vector<uint32_t> src(static_cast<size_t>(s.sw) * s.sh, colour);
            std::vector<uint32_t> dst(static_cast<size_t>(s.dw) * s.dh, 0x12345678);
            LanczosScale(src.data(), dst.data(), s.sw, s.sh, s.dw, s.dh);
            for (uint32_t pixel : dst)
                ASSERT_EQ(pixel, colour);
        }
}

TEST(ImageScaling, EqualSizesReproduceTheImage) {
    for (TResamplePath path : {TResamplePath::Scalar, TResamplePath::AVX2, TResamplePath::AVX512}) {
        const std::vector<uint32_t> src = RandomImage(57, 31, 3);
        std::vector<uint32_t> dst(src.size());
        LanczosScale(src.data(), dst.data(), 57, 31, 57, 31, path);
        EXPECT_EQ(dst, src);
    }
}

TEST(ImageScaling, RingingAtAnEdgeClampsToBlackAndWhite) {
    // A hard black-to-white step, enlarged: Lanczos overshoots on both sides, and the
    // overshoot must saturate instead of wrapping into bright or dark garbage.
    const int sw = 8, dw = 29;
    std::vector<uint32_t> src(sw);
    for (int x = 0; x < sw; ++x)
        src[x] = x < sw / 2 ? 0xFF000000 : 0xFFFFFFFF;
    std::vector<uint32_t> dst(dw);
    LanczosScale(src.data(), dst.data(), sw, 1, dw, 1);
    for (int x = 0; x < dw; ++x) {
        const uint32_t blue = dst[x] & 0xFF;
        // left half never brighter than the ringing allows, right half never dark
        if (x < dw / 2 - 3) {
            EXPECT_LT(blue, 0x20u) << x;
        }
        if (x > dw / 2 + 3) {
            EXPECT_GT(blue, 0xE0u) << x;
        }
        EXPECT_EQ(dst[x] >> 24, 0xFFu) << x;
    }
    EXPECT_EQ(dst.front(), 0xFF000000u);
    EXPECT_EQ(dst.back(), 0xFFFFFFFFu);
}

// The SIMD paths this processor runs; each must give the scalar path's pixels bit for bit.
std::vector<TResamplePath> SIMDPaths() {
    std::vector<TResamplePath> paths;
    for (TResamplePath path : {TResamplePath::AVX2, TResamplePath::AVX512})
        if (ResamplePathAvailable(path))
            paths.push_back(path);
    return paths;
}

const char* PathName(TResamplePath path) {
    return path == TResamplePath::AVX512 ? "AVX512" : "AVX2";
}

TEST(ImageScaling, SIMDMatchesScalarBitForBit) {
    if (SIMDPaths().empty())
        GTEST_SKIP() << "no SIMD path on this processor";
    // Thumbnail reductions (8-bit weights), reductions near 2 (weights just above and below
    // 8 bits), enlargements and equal sizes (16-bit weights), odd widths that leave short SIMD
    // steps, and images of one or two pixels.
    const struct {
        int sw, sh, dw, dh;
    } sizes[] = {
        {1920, 1080, 320, 180}, {720, 576, 240, 192}, {720, 486, 240, 162}, {640, 480, 213, 159},
        {1283, 723, 427, 241},  {101, 67, 37, 13},    {40, 41, 21, 20},     {64, 33, 31, 17},
        {13, 11, 50, 40},       {33, 47, 35, 49},     {9, 3, 9, 3},         {3000, 2, 320, 1},
        {7, 500, 2, 400},       {17, 1, 5, 1},        {1, 17, 2, 5},        {1, 1, 2, 2},
        {2, 2, 1, 1},           {3, 5, 2, 2},         {1001, 3, 17, 3},     {19, 300, 7, 250}};
    unsigned seed = 10;
    for (const auto& s : sizes) {
        const std::vector<uint32_t> src = RandomImage(s.sw, s.sh, ++seed);
        std::vector<uint32_t> scalar(static_cast<size_t>(s.dw) * s.dh, 1);
        LanczosScale(src.data(), scalar.data(), s.sw, s.sh, s.dw, s.dh, TResamplePath::Scalar);
        for (TResamplePath path : SIMDPaths()) {
            SCOPED_TRACE(testing::Message() << PathName(path) << " " << s.sw << "x" << s.sh
                                            << " -> " << s.dw << "x" << s.dh);
            std::vector<uint32_t> simd(scalar.size(), 2);
            LanczosScale(src.data(), simd.data(), s.sw, s.sh, s.dw, s.dh, path);
            ASSERT_EQ(simd, scalar);
        }
    }
}

TEST(ImageScaling, SIMDMatchesScalarOnOffsetRectanglesAndClips) {
    if (SIMDPaths().empty())
        GTEST_SKIP() << "no SIMD path on this processor";
    // Source and destination rectangles away from the origin, clips inside and across the
    // destination: the SIMD paths read from and write to the same places as the scalar path.
    const TLanczosKernel kernel;
    const struct {
        TPixelRect src, dst, clip;
    } cases[] = {
        {{10, 5, 410, 305}, {3, 2, 103, 77}, {3, 2, 103, 77}},
        {{10, 5, 410, 305}, {3, 2, 103, 77}, {20, 30, 90, 31}},
        {{-4, -7, 93, 50}, {0, 0, 33, 19}, {-5, 4, 100, 12}},
        {{0, 0, 57, 31}, {5, 5, 200, 90}, {17, 9, 150, 70}},
    };
    for (const auto& c : cases) {
        const std::vector<uint32_t> src = RandomImage(c.src.Width(), c.src.Height(), 77);
        std::vector<uint32_t> scalar(static_cast<size_t>(c.dst.Width()) * c.dst.Height(), 3);
        ResampleBitmap(scalar.data(), c.dst, c.clip, src.data(), c.src, kernel,
                       TResamplePath::Scalar);
        for (TResamplePath path : SIMDPaths()) {
            SCOPED_TRACE(testing::Message()
                         << PathName(path) << " clip " << c.clip.Left << "," << c.clip.Top << " "
                         << c.clip.Right << "," << c.clip.Bottom);
            std::vector<uint32_t> simd(scalar.size(), 3);
            ResampleBitmap(simd.data(), c.dst, c.clip, src.data(), c.src, kernel, path);
            ASSERT_EQ(simd, scalar);
        }
    }
}

TEST(ImageScaling, KeptTablesMatchFreshOnes) {
    // More sizes than are kept, twice over and interleaved: every scaling must use the tables
    // of its own size, built afresh or not.
    const TLanczosKernel kernel;
    std::vector<std::array<int, 4>> sizes;
    for (int i = 0; i < 12; ++i)
        sizes.push_back({30 + i * 7, 20 + i * 3, 10 + i, 7 + (i * 5) % 11});
    sizes.push_back({20, 30, 7, 10});  // width and height of an earlier size swapped
    for (int pass = 0; pass < 2; ++pass)
        for (const auto& s : sizes) {
            SCOPED_TRACE(testing::Message()
                         << s[0] << "x" << s[1] << " -> " << s[2] << "x" << s[3]);
            const std::vector<uint32_t> src = RandomImage(s[0], s[1], 5 + pass);
            std::vector<uint32_t> kept(static_cast<size_t>(s[2]) * s[3]), fresh(kept.size());
            LanczosScale(src.data(), kept.data(), s[0], s[1], s[2], s[3]);
            const TPixelRect dstRect{0, 0, s[2], s[3]};
            ResampleBitmap(fresh.data(), dstRect, dstRect, src.data(), TPixelRect{0, 0, s[0], s[1]},
                           kernel, TResamplePath::Scalar);
            ASSERT_EQ(kept, fresh);
        }
}

// Kernels unlike Lanczos: one with negative lobes but no clamping (sums wrap into the packed
// bits), one whose weights leave 16 bits (the SIMD paths must fall back for them), and one
// that is 0 everywhere.
class TTestKernel : public TCustomKernel {
  public:
    TTestKernel(float peak, float lobe) : FPeak(peak), FLobe(lobe) {}
    float Evaluate(float x) const override {
        x = x < 0 ? -x : x;
        return x < 1.0f ? FPeak * (1.0f - x) : (x < 2.0f ? FLobe : 0.0f);
    }
    float SupportRadius() const override { return 2.0f; }

  private:
    float FPeak, FLobe;
};

TEST(ImageScaling, SIMDMatchesScalarForOtherKernels) {
    if (SIMDPaths().empty())
        GTEST_SKIP() << "no SIMD path on this processor";
    // The last kernel is 0 everywhere: every cluster falls back to the nearest pixel.
    const TTestKernel kernels[] = {TTestKernel(1.0f, -0.25f), TTestKernel(300.0f, -90.0f),
                                   TTestKernel(0.0f, 0.0f)};
    const struct {
        int sw, sh, dw, dh;
    } sizes[] = {{97, 61, 40, 23}, {20, 16, 45, 33}, {97, 16, 40, 33}};
    for (const TTestKernel& kernel : kernels)
        for (const auto& s : sizes) {
            const std::vector<uint32_t> src = RandomImage(s.sw, s.sh, 21);
            const TPixelRect dstRect{0, 0, s.dw, s.dh}, srcRect{0, 0, s.sw, s.sh};
            std::vector<uint32_t> scalar(static_cast<size_t>(s.dw) * s.dh);
            ResampleBitmap(scalar.data(), dstRect, dstRect, src.data(), srcRect, kernel,
                           TResamplePath::Scalar);
            for (TResamplePath path : SIMDPaths()) {
                SCOPED_TRACE(PathName(path));
                std::vector<uint32_t> simd(scalar.size());
                ResampleBitmap(simd.data(), dstRect, dstRect, src.data(), srcRect, kernel, path);
                ASSERT_EQ(simd, scalar);
            }
        }
}

TEST(ImageScaling, ConcurrentThumbnailsAreIndependent) {
    const std::vector<uint32_t> frame = RandomImage(400, 300, 31);
    std::vector<uint8_t> alone;
    ASSERT_TRUE(MakeThumbnailPNG(frame.data(), 400, 300, alone));
    std::vector<std::vector<uint8_t>> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results)
        threads.emplace_back(
            [&frame, &result] { MakeThumbnailPNG(frame.data(), 400, 300, result); });
    for (std::thread& thread : threads)
        thread.join();
    for (const auto& result : results)
        EXPECT_EQ(result, alone);
}

TEST(ImageScaling, ConcurrentScalingsShareKeptTablesSafely) {
    // Threads scale to more sizes than are kept, each in its own order, so that tables are
    // built, kept and dropped while others use them.
    const std::vector<uint32_t> frame = RandomImage(300, 200, 41);
    const TLanczosKernel kernel;
    std::vector<std::array<int, 2>> sizes;
    std::vector<std::vector<uint32_t>> expected;
    for (int i = 0; i < 14; ++i) {
        sizes.push_back({23 + 11 * i, 9 + 5 * i});
        expected.emplace_back(static_cast<size_t>(sizes.back()[0]) * sizes.back()[1]);
        const TPixelRect dstRect{0, 0, sizes.back()[0], sizes.back()[1]};
        ResampleBitmap(expected.back().data(), dstRect, dstRect, frame.data(),
                       TPixelRect{0, 0, 300, 200}, kernel, TResamplePath::Scalar);
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round)
                for (size_t k = 0; k < sizes.size(); ++k) {
                    const size_t i = (k * (t + 1) + static_cast<size_t>(round)) % sizes.size();
                    std::vector<uint32_t> dst(expected[i].size());
                    LanczosScale(frame.data(), dst.data(), 300, 200, sizes[i][0], sizes[i][1]);
                    mismatches[t] += dst != expected[i];
                }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int count : mismatches)
        EXPECT_EQ(count, 0);
}

TEST(ImageScaling, ClipWritesOnlyItsRectangle) {
    const TLanczosKernel kernel;
    const std::vector<uint32_t> src = RandomImage(40, 30, 5);
    std::vector<uint32_t> whole(20 * 15), part(20 * 15, 0xABABABAB);
    const TPixelRect dstRect{0, 0, 20, 15}, srcRect{0, 0, 40, 30};
    ResampleBitmap(whole.data(), dstRect, dstRect, src.data(), srcRect, kernel);
    // The clip reaches past the bitmap; only its overlap is written.
    ResampleBitmap(part.data(), dstRect, TPixelRect{5, 4, 30, 9}, src.data(), srcRect, kernel);
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool inside = x >= 5 && y >= 4 && y < 9;
            ASSERT_EQ(part[y * 20 + x], inside ? whole[y * 20 + x] : 0xABABABABu) << x << "," << y;
        }
}

TEST(ImageScaling, ThumbnailSizes) {
    const struct {
        int w, h, tw, th;
    } cases[] = {
        {1920, 1080, 320, 180}, {720, 576, 240, 192}, {720, 486, 240, 162}, {640, 480, 213, 159},
        {1, 1, 2, 2},           {2, 7, 2, 7},         {3, 3, 2, 2},         {4, 2, 2, 1},
        {5, 10, 2, 4},          {3000, 2, 320, 1},    {6, 4, 2, 1},         {0, 10, 0, 0},
        {10, 0, 0, 0},          {-5, 10, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        const TThumbnailSize size = ThumbnailSize(c.w, c.h);
        EXPECT_EQ(size.Width, c.tw);
        EXPECT_EQ(size.Height, c.th);
    }
}

TEST(ImageScaling, ThumbnailIsThePNGOfTheScaledFrame) {
    const struct { int w, h; } frames[] = {{720, 576}, {3000, 2}};
    for (const auto& f : frames) {
        SCOPED_TRACE(testing::Message() << f.w << "x" << f.h);
        const std::vector<uint32_t> frame = RandomImage(f.w, f.h, 9);
        std::vector<uint8_t> stream = {1, 2, 3};
        ASSERT_TRUE(MakeThumbnailPNG(frame.data(), f.w, f.h, stream));
        const TThumbnailSize size = ThumbnailSize(f.w, f.h);
        std::vector<uint32_t> expected(static_cast<size_t>(size.Width) * size.Height);
        LanczosScale(frame.data(), expected.data(), f.w, f.h, size.Width, size.Height);

        const std::unique_ptr<TPNGImage> png =
            TPNGImage::LoadFromStream(stream.data(), stream.size());
        ASSERT_NE(png, nullptr);
        ASSERT_EQ(png->Width(), size.Width);
        ASSERT_EQ(png->Height(), size.Height);
        for (size_t i = 0; i < expected.size(); ++i) {
            const uint8_t* rgba = png->Pixels() + i * 4;
            const uint32_t pixel =
                static_cast<uint32_t>(rgba[3]) << 24 | rgba[0] << 16 | rgba[1] << 8 | rgba[2];
            ASSERT_EQ(pixel, expected[i]) << i;
        }
    }
    std::vector<uint8_t> stream = {1};
    const uint32_t pixel = 0;
    EXPECT_FALSE(MakeThumbnailPNG(&pixel, 0, 1, stream));
    EXPECT_TRUE(stream.empty());
    EXPECT_FALSE(MakeThumbnailPNG(nullptr, 10, 10, stream));
}

}  // namespace
