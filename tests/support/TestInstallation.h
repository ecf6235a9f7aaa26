#pragma once

// A throw-away installation of the server: the staged executable with its bin/ and codecs/
// folders in a fresh temporary folder, so that logs, "config.dat" and watch folders stay
// private to one test. The staged files are hard-linked, not copied (a copy only where the
// temporary folder lies on another file system): the server finds its folder through
// /proc/self/exe, which a symbolic link would lead back to the stage. No test writes into them.

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace testing_support {

// The whole file's bytes; empty when it cannot be read.
inline std::string ReadFileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

class TTestInstallation {
  public:
    // Installs the server, every file of the staged bin/ folder unless told to leave the pixel
    // library out, the compressor modules and the mail templates.
    explicit TTestInstallation(bool withPixelLibrary = true) {
        namespace fs = std::filesystem;
        std::random_device random;
        FFolder = fs::temp_directory_path() / ("lmv-install-" + std::to_string(random()));
        fs::create_directories(FFolder / "bin");
        const fs::path stage = LMV_STAGE_DIR;
        Install(stage / "lmVidmill", FFolder / "lmVidmill");
        for (const auto& entry : fs::directory_iterator(stage / "bin")) {
            if (!withPixelLibrary && entry.path().filename() == "kxSIMDLib.so")
                continue;
            Install(entry.path(), FFolder / "bin" / entry.path().filename());
        }
        for (const char* folder : {"codecs", "EmailTemplates"}) {
            if (!fs::exists(stage / folder))
                continue;
            fs::create_directories(FFolder / folder);
            for (const auto& entry : fs::directory_iterator(stage / folder))
                Install(entry.path(), FFolder / folder / entry.path().filename());
        }
    }
    ~TTestInstallation() {
        std::error_code ignored;
        std::filesystem::remove_all(FFolder, ignored);
    }
    TTestInstallation(const TTestInstallation&) = delete;
    TTestInstallation& operator=(const TTestInstallation&) = delete;

    std::filesystem::path Folder() const { return FFolder; }
    std::string Server() const { return (FFolder / "lmVidmill").string(); }

    // Every log file's text, oldest name first.
    std::string LogText() const {
        namespace fs = std::filesystem;
        std::string text;
        if (!fs::exists(FFolder / "logs"))
            return text;
        for (const auto& entry : fs::directory_iterator(FFolder / "logs"))
            text += ReadFileText(entry.path());
        return text;
    }

    // Installs one more plug-in (or library) into bin/, for example one built only for tests.
    void AddToBin(const std::filesystem::path& file) const {
        Install(file, FFolder / "bin" / file.filename());
    }

    void WriteFile(const std::string& relativePath, const std::string& content) const {
        const auto path = FFolder / relativePath;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

  private:
    static void Install(const std::filesystem::path& from, const std::filesystem::path& to) {
        std::error_code notLinked;
        std::filesystem::create_hard_link(from, to, notLinked);
        if (notLinked)
            std::filesystem::copy_file(from, to);
    }

    std::filesystem::path FFolder;
};

}  // namespace testing_support
