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
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        version_ = reinterpret_cast<LmCompressorAbiVersionProc>(
            dlsym(handle_, kLmCompressorAbiVersionExport));
        friendly_ = reinterpret_cast<LmCompressorFriendlyNameProc>(
            dlsym(handle_, kLmCompressorFriendlyNameExport));
        display_ = reinterpret_cast<LmCompressorDisplayNameProc>(
            dlsym(handle_, kLmCompressorDisplayNameExport));
        create_ =
            reinterpret_cast<LmCompressorCreateProc>(dlsym(handle_, kLmCompressorCreateExport));
        ASSERT_TRUE(version_ && friendly_ && display_ && create_);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    void* handle_ = nullptr;
    LmCompressorAbiVersionProc version_ = nullptr;
    LmCompressorFriendlyNameProc friendly_ = nullptr;
    LmCompressorDisplayNameProc display_ = nullptr;
    LmCompressorCreateProc create_ = nullptr;
};

TEST_F(LmvcModule, NamesItself) {
    EXPECT_EQ(version_(), kLmCompressorAbiVersion);
    EXPECT_NE(std::string(friendly_()).find("Lumenar Video Codec"), std::string::npos);
    EXPECT_NE(std::string(display_()), std::string(friendly_()));
    EXPECT_EQ(create_(0), nullptr);
}

// The video pin's frames: bottom-up bitmap rows, 24-bit rows padded to four bytes.
TEST_F(LmvcModule, CompressesBitmapFramesThatTheDecoderRestores) {
    ICompressor* c = create_(2);
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
