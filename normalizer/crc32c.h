// CRC-32C (Castagnoli) of a byte range, at memory speed where the processor
// has the SSE 4.2 instruction for it.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t crc32c(const uint8_t* data, size_t size);
