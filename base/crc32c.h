// CRC-32C (Castagnoli), the checksum of the archive's integrity record. Folds the data with the
// processor's carry-less multiplication and CRC instruction where it has both (PCLMULQDQ, SSE
// 4.2), uses the CRC instruction alone where it has only that, a table otherwise; all give the
// same values.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Continues `crc` (0 to start) over `length` bytes and returns the new value.
uint32_t Crc32c(uint32_t crc, const void *bytes, size_t length);
// The same with the table alone, whatever the processor has.
uint32_t Crc32cByTable(uint32_t crc, const void *bytes, size_t length);
