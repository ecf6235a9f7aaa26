#pragma once

// Secrets an installation sets for itself: random text from the system's secure source, made
// only of letters and digits so that it survives a shell, a file and an XML element as it is.

#include <cstddef>
#include <string>

// The length of a new secret; 32 characters of 62 carry about 190 bits.
inline constexpr size_t RandomSecretLength = 32;

// A new secret, or empty when the system's random source cannot be read.
std::string RandomSecret(size_t length = RandomSecretLength);
