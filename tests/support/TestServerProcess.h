#pragma once

// The server process under test: a private installation, a configuration the test writes with
// the engine, and the server run from it as an application until the test ends, when it must
// stop cleanly on SIGTERM.

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/core/lmVmConfigStore.h"
#include "server/core/lmVmEngine.h"
#include "support/TestInstallation.h"
#include "support/TestProcess.h"

namespace testing_support {

class TServerProcessTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (Server) {
            EXPECT_EQ(Server->Stop(SIGTERM), 0) << Install.LogText();
        }
    }

    // The installation's "watch" folder, with its trailing "/".
    std::string WatchFolder() const { return (Install.Folder() / "watch").string() + "/"; }

    // A folder target delivering into the installation's "out" folder.
    std::shared_ptr<TVmTarget> AddFolderTarget(TVmEngine& engine) const {
        auto target = engine.Targets().AddNew();
        target->SetType(TVmTarget::FolderType);
        target->SetFolder((Install.Folder() / "out").string() + "/");
        return target;
    }

    // A source on the watch folder that looks every second and takes each file it finds at
    // once, so that a test need not wait for a file to settle.
    std::shared_ptr<TVmSource> AddWatchSource(TVmEngine& engine,
                                              const std::string& extensionFilter) const {
        auto source = engine.Sources().AddNew();
        source->SetWatchFolder(WatchFolder());
        source->SetExtensionFilter(extensionFilter);
        TVmSourceSettings settings = source->Settings();
        settings.UseTimer = true;
        settings.TimerInterval = 1;
        settings.UseSettleTime = false;
        settings.SettleTime = 0;
        source->SetSettings(settings);
        return source;
    }

    // Saves the engine's configuration with the test's control port, creates the watch folder
    // and starts the server.
    void StartServerWith(TVmEngine& engine) {
        TVmEngineSettings settings = engine.Settings();
        settings.Port = Port;
        engine.SetSettings(settings);
        ASSERT_TRUE(TVmConfigStore(engine).SaveConfig((Install.Folder() / "config.dat").string()));
        std::filesystem::create_directories(Install.Folder() / "watch");
        Server = std::make_unique<TChildProcess>(
            std::vector<std::string>{Install.Server(), "-NOSERVICE"},
            (Install.Folder() / "out.txt").string());
    }

    TTestInstallation Install;
    int Port = FreePort();
    std::unique_ptr<TChildProcess> Server;
};

}  // namespace testing_support
