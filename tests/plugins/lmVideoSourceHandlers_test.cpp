#include "server/transcode/lmVideoSourceHandlers.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "plugins/interface/lmVideoSourceText.h"
#include "testplugin/lvsTestPluginState.h"

namespace fs = std::filesystem;

namespace {

// A bin folder of its own per test, filled with copies of the test plug-ins under chosen names;
// the name order is the load order.
class HandlersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FFolder = fs::path(LMV_TEST_BINARY_DIR) / "handlers" /
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(FFolder);
        fs::create_directories(FFolder);
    }

    void TearDown() override {
        FHandlers.UnloadPlugins();
        FLibraries.clear();
        fs::remove_all(FFolder);
    }

    // Copies test plug-in `variant` into the folder as `name` and keeps it loaded on the test's
    // side too, so that its state can be read after the host has let go of it.
    TTestPluginState& Install(const std::string& variant, const std::string& name) {
        const fs::path target = FFolder / name;
        fs::copy_file(fs::path(LMV_TEST_PLUGIN_DIR) / ("tp_" + variant + ".lvs"), target);
        port::DynamicLibrary library;
        EXPECT_TRUE(library.Open(target.string())) << library.LastError();
        auto state = reinterpret_cast<TTestPluginStateProc>(library.Symbol("TestPluginState"));
        FLibraries.push_back(std::move(library));
        return *state();
    }

    // The name of the plug-in that served `path`, or "" when none did.
    std::string ServedBy(const std::string& path) {
        TVideoSourceRef source = FHandlers.GetVideoSource(path);
        return source ? source.LastError() : std::string();
    }

    fs::path FFolder;
    std::vector<port::DynamicLibrary> FLibraries;
    TVideoSourceHandlers FHandlers;
};

TEST_F(HandlersTest, AcceptsOnlyPluginsWithAllEntriesThatAgreeToStart) {
    auto& refuser = Install("refuser", "10_refuser.lvs");
    auto& first = Install("first", "20_first.LVS");
    auto& second = Install("second", "30_second.lvs");
    auto& noDeInit = Install("no_deinit", "40_nodeinit.lvs");
    auto& getOnly = Install("get_only", "50_getonly.lvs");
    auto& initFalse = Install("init_false", "60_initfalse.lvs");
    auto& initRaises = Install("init_raises", "70_initraises.lvs");
    auto& backup = Install("first", "first.lvs.bak");
    std::ofstream(FFolder / "80_junk.lvs") << "not a shared object";
    fs::create_directory(FFolder / "90_folder.lvs");

    FHandlers.LoadPlugins(FFolder.string());

    EXPECT_EQ(FHandlers.Descriptions(), (std::vector<std::string>{"Refuser", "First", "Second"}));
    EXPECT_EQ(first.hostType, LvsHostTypeServer);
    EXPECT_EQ(refuser.hostType, LvsHostTypeServer);
    EXPECT_EQ(noDeInit.initCalls, 0);
    EXPECT_EQ(getOnly.initCalls, 0);
    EXPECT_EQ(backup.initCalls, 0);
    EXPECT_EQ(initFalse.initCalls, 1);
    EXPECT_EQ(initRaises.initCalls, 1);

    // "mxf" is announced by the unused plug-ins as well; they must never be asked.
    EXPECT_EQ(ServedBy("/media/clip.mxf"), "Second");
    EXPECT_EQ(noDeInit.getCalls + getOnly.getCalls + initFalse.getCalls + initRaises.getCalls, 0);

    FHandlers.UnloadPlugins();
    EXPECT_EQ(FHandlers.Count(), 0u);
    EXPECT_EQ(refuser.deInitCalls, 1);
    EXPECT_EQ(first.deInitCalls, 1);
    EXPECT_EQ(second.deInitCalls, 1);
    EXPECT_EQ(initFalse.deInitCalls, 0);
    EXPECT_EQ(initRaises.deInitCalls, 0);
}

TEST_F(HandlersTest, PicksThePluginByExtensionInLoadOrder) {
    auto& refuser = Install("refuser", "10_refuser.lvs");
    auto& first = Install("first", "20_first.lvs");
    Install("second", "30_second.lvs");
    FHandlers.LoadPlugins((FFolder / "").string());

    const std::map<std::string, std::string> cases = {
        // The refuser is asked first and delivers nothing, so the next plug-in serves.
        {"/in/clip.mov", "First"},
        {"/in/CLIP.MOV", "First"},
        // Announced as "MP4" by First only.
        {"/in/clip.mp4", "First"},
        // Only Second announced the empty extension.
        {"/in/clip", "Second"},
        {"/in.dir/clip", "Second"},
        {"/in/clip.", "Second"},
        {"/in/clip.avi", ""},
        {"/in/clip.mov.avi", ""},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(ServedBy(path), expected) << path;
    }
    EXPECT_EQ(refuser.getCalls, 2);
    EXPECT_EQ(first.liveSources, 0) << "every source is released by its owner";
}

TEST_F(HandlersTest, MissingOrEmptyFolderLeavesNoPlugins) {
    FHandlers.LoadPlugins((FFolder / "absent").string());
    FHandlers.LoadPlugins(FFolder.string());
    EXPECT_EQ(FHandlers.Count(), 0u);
    EXPECT_EQ(ServedBy("/in/clip.mov"), "");
}

TEST_F(HandlersTest, PluginsCannotChangeTheFloatingPointEnvironment) {
    auto& first = Install("first", "10_first.lvs");
    Install("deinit_raises", "20_deinitraises.lvs");
    auto& second = Install("second", "30_second.lvs");

    std::feclearexcept(FE_ALL_EXCEPT);
    std::feraiseexcept(FE_INVALID);
    FHandlers.LoadPlugins(FFolder.string());
    TVideoSourceRef source = FHandlers.GetVideoSource("clip.mov");
    ASSERT_TRUE(source);
    source.Release();
    // A plug-in that raises in DeInitVideoSource does not stop the others from being released.
    FHandlers.UnloadPlugins();
    const int flagsAfter = std::fetestexcept(FE_ALL_EXCEPT);
    const int roundingAfter = std::fegetround();
    std::feclearexcept(FE_ALL_EXCEPT);

    EXPECT_EQ(second.deInitCalls, 1);
    EXPECT_EQ(roundingAfter, FE_TONEAREST);
    EXPECT_EQ(flagsAfter & FE_OVERFLOW, 0);
    EXPECT_NE(flagsAfter & FE_INVALID, 0) << "the host's own flags come back";
    EXPECT_EQ(first.flagsOnEntry, 0) << "plug-ins are entered with clear flags";
    EXPECT_EQ(first.initCalls, 1);
    EXPECT_EQ(first.getCalls, 1);
    EXPECT_EQ(first.deInitCalls, 1);
}

TEST_F(HandlersTest, ReleasingTheLastReferenceCannotChangeTheFloatingPointEnvironment) {
    auto& first = Install("first", "10_first.lvs");
    FHandlers.LoadPlugins(FFolder.string());
    const struct {
        const char* Name;
        std::function<void(TVideoSourceRef&)> Drop;
    } cases[] = {
        {"release", [](TVideoSourceRef& source) { source.Release(); }},
        {"destruction", [](TVideoSourceRef& source) { TVideoSourceRef(std::move(source)); }},
        {"assignment", [](TVideoSourceRef& source) { source = TVideoSourceRef(); }},
        {"shared, then both released",
         [](TVideoSourceRef& source) {
             TVideoSourceRef other = source.Share();
             source.Release();
             other.Release();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TVideoSourceRef source = FHandlers.GetVideoSource("clip.mov");
        ASSERT_TRUE(source);
        ASSERT_EQ(first.liveSources, 1);
        std::feclearexcept(FE_ALL_EXCEPT);
        c.Drop(source);
        const int flagsAfter = std::fetestexcept(FE_ALL_EXCEPT);
        const int roundingAfter = std::fegetround();
        std::fesetround(FE_TONEAREST);
        std::feclearexcept(FE_ALL_EXCEPT);

        EXPECT_FALSE(source);
        EXPECT_EQ(first.liveSources, 0) << "the source was freed";
        EXPECT_EQ(roundingAfter, FE_TONEAREST);
        EXPECT_EQ(flagsAfter & FE_OVERFLOW, 0);
    }
}

TEST_F(HandlersTest, ConcurrentRequestsReachThePluginOneAtATime) {
    auto& first = Install("first", "10_first.lvs");
    FHandlers.LoadPlugins(FFolder.string());
    std::vector<std::thread> workers;
    std::atomic<int> served{0};
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                if (FHandlers.GetVideoSource("clip.mov")) {
                    ++served;
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(served, 80);
    EXPECT_EQ(first.overlappingGets, 0);
    EXPECT_EQ(first.liveSources, 0);
}

TEST_F(HandlersTest, ServesLvfClipsThroughTheStagedPlugin) {
    FHandlers.LoadPlugins(std::string(LMV_STAGE_DIR) + "/bin");
    const auto names = FHandlers.Descriptions();
    EXPECT_NE(std::find(names.begin(), names.end(), "LVF Files"), names.end());
    TVideoSourceRef source = FHandlers.GetVideoSource("/in/CLIP.LVF");
    ASSERT_TRUE(source);
    EXPECT_FALSE(source.Open("/in/does-not-exist.lvf"));
    EXPECT_EQ(source.LastError(), "File not found: /in/does-not-exist.lvf");
}

TEST(StillImageTest, KnowsTheTenStillImageExtensions) {
    const std::map<std::string, bool> cases = {
        {"a.jpg", true},  {"a.jpeg", true},   {"image.JPEG", true}, {"a.gif", true},
        {"a.tga", true},  {"/x/a.png", true}, {"a.tif", true},      {"a.Tiff", true},
        {"a.psp", true},  {"a.psd", true},    {"a.bmp", true},      {"image.jfif", false},
        {"a.mov", false}, {"png", false},     {"a.png.mov", false}, {"/x.png/a", false},
        {"a.", false},    {"a.pn", false},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(TVideoSourceHandlers::IsStillImage(path), expected) << path;
    }
}

}  // namespace
