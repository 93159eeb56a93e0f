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
// The instruction takes three cycles but can start one every cycle: three lanes of kLane bytes
// are summed side by side and then joined. Joining moves a lane's register over the kLane zero
// bytes that follow it, a linear map of the 32 register bits kept in four byte tables.
enum { kLane = 4096 };
static uint32_t Shift[4][256];
static bool ShiftReady;

static void BuildShift(void)
{
    uint32_t basis[32];
    TableCrc(0, nullptr, 0); // makes the table
    for (int bit = 0; bit < 32; bit++) {
        uint32_t moved = 1u << bit;
        for (int i = 0; i < kLane; i++) // over a zero byte
            moved = Table[moved & 0xFF] ^ (moved >> 8);
        basis[bit] = moved;
    }
    for (int part = 0; part < 4; part++)
        for (uint32_t value = 0; value < 256; value++) {
            uint32_t moved = 0;
            for (int bit = 0; bit < 8; bit++)
                if (value & (1u << bit))
                    moved ^= basis[part * 8 + bit];
            Shift[part][value] = moved;
        }
    ShiftReady = true; /* two threads building it at once write the same values */
}

static uint32_t ShiftOverLane(uint32_t crc)
{
    return Shift[0][crc & 0xFF] ^ Shift[1][(crc >> 8) & 0xFF] ^ Shift[2][(crc >> 16) & 0xFF] ^
           Shift[3][crc >> 24];
}

// Sums three lanes of kLane bytes side by side, in the widest steps the processor has.
__attribute__((target("sse4.2"))) static void SumLanes(const uint8_t *p, uint32_t *a, uint32_t *b,
                                                       uint32_t *c)
{
#ifdef __x86_64__
    uint64_t x = *a, y = *b, z = *c;
    for (size_t i = 0; i < kLane; i += 8) {
        uint64_t wx, wy, wz;
        memcpy(&wx, p + i, 8);
        memcpy(&wy, p + kLane + i, 8);
        memcpy(&wz, p + 2 * kLane + i, 8);
        x = _mm_crc32_u64(x, wx);
        y = _mm_crc32_u64(y, wy);
        z = _mm_crc32_u64(z, wz);
    }
#else
    uint32_t x = *a, y = *b, z = *c;
    for (size_t i = 0; i < kLane; i += 4) {
        uint32_t wx, wy, wz;
        memcpy(&wx, p + i, 4);
        memcpy(&wy, p + kLane + i, 4);
        memcpy(&wz, p + 2 * kLane + i, 4);
        x = _mm_crc32_u32(x, wx);
        y = _mm_crc32_u32(y, wy);
        z = _mm_crc32_u32(z, wz);
    }
#endif
    *a = (uint32_t)x;
    *b = (uint32_t)y;
    *c = (uint32_t)z;
}

__attribute__((target("sse4.2"))) static uint32_t InstructionCrc(uint32_t crc, const uint8_t *p,
                                                                 size_t n)
{
    if (n >= 3 * kLane && !ShiftReady)
        BuildShift();
    for (; n >= 3 * kLane; n -= 3 * kLane, p += 3 * kLane) {
        uint32_t a = crc, b = 0, c = 0;
        SumLanes(p, &a, &b, &c);
        crc = ShiftOverLane(ShiftOverLane(a) ^ b) ^ c;
    }
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
