// Little-endian fields in byte buffers: the archive's sizes and sums, the headers of executable
// images. The caller has checked that the bytes are there.
#pragma once

#include <stdint.h>

inline uint16_t ReadLe16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

inline uint32_t ReadLe32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline void WriteLe16(uint8_t *p, uint16_t value)
{
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
}

inline void WriteLe32(uint8_t *p, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(value >> (8 * i));
}
