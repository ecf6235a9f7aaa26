#pragma once

#include <string>

// The program's version, compiled in by the build: major.minor.release.build.
struct TVmVersion {
    int Major;
    int Minor;
    int Release;
    int Build;
};

TVmVersion ProgramVersion();

// The prefix, then major "." minor " build " build: VersionText("v") gives "v1.0 build 1".
std::string VersionText(const std::string& prefix);
