#include "base/crc32c.h"

#include <string.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <nmmintrin.h>
#define HAVE_CRC_INSTRUCTION 1
#endif

enum : uint32_t { kPolynomial = 0x82F63B78 }; // reflected Castagnoli polynomial

static uint32_t Table[256];
static bool TableReady;

static uint32_t TableCrc(uint32_t crc, const uint8_t *p, size_t n)
{
    if (!TableReady) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int bit = 0; bit < 8; bit++)
                c = c & 1 ? (c >> 1) ^ kPolynomial : c >> 1;
            Table[i] = c;
        }
        TableReady = true; /* two threads building it at once write the same values */
    }
    while (n--)
        crc = Table[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

#ifdef HAVE_CRC_INSTRUCTION
__attribute__((target("sse4.2"))) static uint32_t InstructionCrc(uint32_t crc, const uint8_t *p,
                                                                 size_t n)
{
#ifdef __x86_64__
    uint64_t wide = crc;
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t word;
        memcpy(&word, p, 8);
        wide = _mm_crc32_u64(wide, word);
    }
    crc = (uint32_t)wide;
#endif
    for (; n >= 4; n -= 4, p += 4) {
        uint32_t word;
        memcpy(&word, p, 4);
        crc = _mm_crc32_u32(crc, word);
    }
    for (; n > 0; n--)
        crc = _mm_crc32_u8(crc, *p++);
    return crc;
}
#endif

uint32_t Crc32c(uint32_t crc, const void *bytes, size_t length)
{
    const uint8_t *p = (const uint8_t *)bytes;
    crc = ~crc;
#ifdef HAVE_CRC_INSTRUCTION
    static int hasInstruction = -1;
    if (hasInstruction < 0) {
        // Asked of the processor directly: the compiler's own feature test brings a
        // kilobytes-large runtime piece into the engine.
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        hasInstruction = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_SSE4_2) ? 1 : 0;
    }
    if (hasInstruction)
        return ~InstructionCrc(crc, p, length);
#endif
    return ~TableCrc(crc, p, length);
}

uint32_t Crc32cByTable(uint32_t crc, const void *bytes, size_t length)
{
    return ~TableCrc(~crc, (const uint8_t *)bytes, length);
}
