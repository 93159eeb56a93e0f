// CRC-32C (Castagnoli), the checksum of the archive's integrity record. Uses the processor's
// CRC instruction where it has one (SSE 4.2), a table otherwise; both give the same values.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Continues `crc` (0 to start) over `length` bytes and returns the new value.
uint32_t Crc32c(uint32_t crc, const void *bytes, size_t length);
// The same with the table alone, whatever the processor has.
uint32_t Crc32cByTable(uint32_t crc, const void *bytes, size_t length);
