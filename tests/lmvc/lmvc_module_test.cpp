#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/lmvc/lmvcDecoder.h"
#include "lmvc/lmvcTestFrames.h"
#include "plugins/interface/lmCompressorModule.h"

namespace {

class LmvcModule : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string path = std::string(LMV_STAGE_DIR) + "/codecs/lmvc.so";
        FHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(FHandle, nullptr) << dlerror();
        FVersion = reinterpret_cast<LmCompressorAbiVersionProc>(
            dlsym(FHandle, kLmCompressorAbiVersionExport));
        FFriendly = reinterpret_cast<LmCompressorFriendlyNameProc>(
            dlsym(FHandle, kLmCompressorFriendlyNameExport));
        FDisplay = reinterpret_cast<LmCompressorDisplayNameProc>(
            dlsym(FHandle, kLmCompressorDisplayNameExport));
        FCreate =
            reinterpret_cast<LmCompressorCreateProc>(dlsym(FHandle, kLmCompressorCreateExport));
        ASSERT_TRUE(FVersion && FFriendly && FDisplay && FCreate);
    }
    void TearDown() override {
        if (FHandle != nullptr) {
            dlclose(FHandle);
        }
    }
    void* FHandle = nullptr;
    LmCompressorAbiVersionProc FVersion = nullptr;
    LmCompressorFriendlyNameProc FFriendly = nullptr;
    LmCompressorDisplayNameProc FDisplay = nullptr;
    LmCompressorCreateProc FCreate = nullptr;
};

TEST_F(LmvcModule, NamesItself) {
    EXPECT_EQ(FVersion(), kLmCompressorAbiVersion);
    EXPECT_NE(std::string(FFriendly()).find("Lumenar Video Codec"), std::string::npos);
    EXPECT_NE(std::string(FDisplay()), std::string(FFriendly()));
    EXPECT_EQ(FCreate(0), nullptr);
}

// The video pin's frames: bottom-up bitmap rows, 24-bit rows padded to four bytes.
TEST_F(LmvcModule, CompressesBitmapFramesThatTheDecoderRestores) {
    ICompressor* c = FCreate(2);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->FourCC(), 0x43564D4Cu);  // "LMVC" as a little-endian value
    EXPECT_FALSE(c->SetInputFormat({641, 3, 16, true}));
    EXPECT_NE(std::string(c->LastError()), "");
    size_t size = 0;
    bool key = true;
    uint8_t dummy = 0;
    EXPECT_FALSE(c->Compress(&dummy, 1, &dummy, 1, &size, &key));
    EXPECT_FALSE(key);

    for (int bits : {24, 32}) {
        ASSERT_TRUE(c->SetInputFormat({641, 3, bits, true})) << c->LastError();
        EXPECT_EQ(c->InputSize(), (bits == 24 ? 1924u : 2564u) * 3);
        EXPECT_EQ(c->OutputBitCount(), bits);
        TLmvcFormat f{641, 3, bits, true, 0};
        const auto picture = MakeTestPicture(TTestContent::Alpha, 641, 3);
        const auto frame = LayOut(picture, f);
        ASSERT_EQ(frame.size(), c->InputSize());
        std::vector<uint8_t> out(c->MaxOutputSize());
        ASSERT_TRUE(c->Compress(frame.data(), frame.size(), out.data(), out.size(), &size, &key))
            << c->LastError();
        EXPECT_TRUE(key);
        out.resize(size);

        TLmvcDecoder dec;
        ASSERT_TRUE(dec.Configure(f, 1));
        std::vector<uint8_t> back(dec.OutputSize());
        ASSERT_TRUE(dec.DecodeFrame(out.data(), out.size(), back.data(), back.size()));
        EXPECT_EQ(back, LayOut(picture, f, 0));
    }
    c->Release();
}

}  // namespace
