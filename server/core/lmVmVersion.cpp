#include "server/core/lmVmVersion.h"

TVmVersion ProgramVersion() {
    return {LMV_VERSION_MAJOR, LMV_VERSION_MINOR, LMV_VERSION_RELEASE, LMV_VERSION_BUILD};
}

std::string VersionText(const std::string& prefix) {
    const TVmVersion v = ProgramVersion();
    return prefix + std::to_string(v.Major) + "." + std::to_string(v.Minor) + " build " +
           std::to_string(v.Build);
}
