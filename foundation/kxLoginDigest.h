#pragma once

// The login digest both sides of a login compute: MD5 of the UTF-16LE bytes of a shared
// secret followed by a challenge text, as 32 upper-case hexadecimal digits. The shared secrets
// are kept in the executables only in scrambled form.

#include <string>
#include <string_view>

std::string LoginDigest(std::string_view secret, std::string_view challenge);

// The 8-character secret shared by the server and the manager.
std::string ControlSecret();
// The 7-character secret shared with Reelbank clip servers.
std::string ReelbankSecret();
