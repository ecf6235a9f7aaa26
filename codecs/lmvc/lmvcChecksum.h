#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32C (Castagnoli polynomial, reflected, initial and final value 0xFFFFFFFF) of a slice's
// bytes; the processor's CRC instruction is used where there is one.
uint32_t LmvcCrc32c(const uint8_t* data, size_t size);
