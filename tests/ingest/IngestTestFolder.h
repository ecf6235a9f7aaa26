#pragma once

// A fresh folder per test under the system's temporary folder (or under another base, such as
// a second file system), removed again at the end; and small file helpers.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

class TTestFolder {
  public:
    explicit TTestFolder(
        const std::filesystem::path& Base = std::filesystem::temp_directory_path()) {
        std::random_device random;
        FPath = Base / ("lmv-ingest-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(FPath);
    }
    ~TTestFolder() {
        std::error_code error;
        std::filesystem::remove_all(FPath, error);
    }
    TTestFolder(const TTestFolder&) = delete;
    TTestFolder& operator=(const TTestFolder&) = delete;

    // The folder with a trailing "/", as the server keeps folders.
    std::string Path() const { return FPath.string() + "/"; }
    std::string operator/(const std::string& Name) const { return Path() + Name; }

  private:
    std::filesystem::path FPath;
};

inline void WriteFile(const std::string& Path, const std::string& Bytes) {
    std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    out << Bytes;
}

inline std::string ReadFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool Exists(const std::string& Path) {
    return std::filesystem::exists(Path);
}
