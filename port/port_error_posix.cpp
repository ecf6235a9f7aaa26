// The system's error texts.

#include <cerrno>
#include <cstring>

#include "port/port.h"

namespace port {

std::string ErrorText(int code) {
    if (code == 0) {
        return std::string();
    }
    char buffer[256];
    // The GNU strerror_r hands back a pointer that may or may not be `buffer`.
    return strerror_r(code, buffer, sizeof buffer);
}

std::string LastErrorText() {
    return ErrorText(errno);
}

}  // namespace port
