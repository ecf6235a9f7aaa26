#include "server/media/lmCompressorRegistry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "foundation/kxLogFile.h"

namespace fs = std::filesystem;

namespace {

const fs::path kStage = LMV_STAGE_DIR;

std::string ReadLogs(const fs::path& folder) {
    std::string text;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream file(entry.path());
        text.append(std::istreambuf_iterator<char>(file), {});
    }
    return text;
}

// A codecs folder with the staged LMVC module among files that are no modules: the LMVC module
// is loaded once and stays usable after its file is gone, every other library is logged.
TEST(CompressorRegistry, LoadsEachModuleOnceAndLogsWhatItCannotUse) {
    const fs::path work = fs::path(LMV_TEST_BINARY_DIR) / "compressor-registry";
    const fs::path codecs = work / "codecs";
    const fs::path logs = work / "logs";
    fs::remove_all(work);
    fs::create_directories(codecs);
    fs::create_directories(logs);
    fs::copy_file(kStage / "codecs/lmvc.so", codecs / "20_lmvc.so");
    fs::copy_file(kStage / "bin/kxSIMDLib.so", codecs / "10_pixels.so");
    std::ofstream(codecs / "30_junk.so") << "not a shared object";
    fs::copy_file(kStage / "codecs/lmvc.so", codecs / "40_lmvc.so.bak");

    ASSERT_TRUE(LogOpen(logs.string(), "registry", "1", 0, false));
    TCompressorRegistry registry;
    registry.Load(codecs.string() + "/");
    LogClose();
    const std::string log = ReadLogs(logs);
    EXPECT_NE(log.find("Compressor module 10_pixels.so is not used: it lacks one of "
                       "LmCompressorAbiVersion"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Compressor module 30_junk.so could not be loaded: "), std::string::npos)
        << log;
    EXPECT_NE(log.find("Compressor module 20_lmvc.so loaded: \"Lumenar Video Codec"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("40_lmvc"), std::string::npos) << log;

    const std::vector<TCompressorInfo> modules = registry.Modules();
    ASSERT_EQ(modules.size(), 1u);
    EXPECT_EQ(modules[0].Path, codecs.string() + "/20_lmvc.so");
    fs::remove_all(codecs);

    std::string error;
    std::unique_ptr<TCompressor> compressor = registry.Create(modules[0].DisplayName, 1, error);
    ASSERT_NE(compressor, nullptr) << error;
    EXPECT_EQ(compressor->Info().FriendlyName, modules[0].FriendlyName);
    EXPECT_EQ(registry.Create("no such codec", 1, error), nullptr);
    EXPECT_EQ(error, "no compressor named no such codec");
    fs::remove_all(work);
}

}  // namespace
