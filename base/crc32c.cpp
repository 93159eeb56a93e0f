#include "base/crc32c.h"

#include <string.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <nmmintrin.h>
#include <wmmintrin.h>
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
// The CRC instruction a word at a time: for pieces too short to fold, and for processors
// without the carry-less multiplication.
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

// Folding. The message is a polynomial whose first bit is its highest term, and the CRC is
// that polynomial (times x^32) modulo the Castagnoli polynomial P, so any part of the message
// may be replaced by a value equal to it modulo P. Sixteen bytes stand for a polynomial of
// degree below 128, their first eight bytes the upper half H and the last eight the lower half
// L. Carried `bits` further on, H x^64 + L becomes H x^(bits+64) + L x^bits, and each half
// times a 32-bit remainder of such a power of x is at most 96 bits long: one carry-less
// multiplication (PCLMULQDQ) each. Four such 16-byte accumulators move forward over the message
// 64 bytes at a time, then fold into one, whose 16 bytes the CRC instruction finishes.
//
// The multiplication of two 64-bit operands in this bit order yields the product times x,
// hence the powers one lower. The constants are the remainders in the register's bit order,
// in the upper half of a 64-bit operand.
static constexpr uint64_t FoldConstant(unsigned power)
{
    uint32_t remainder = 0x80000000; // x^0
    for (unsigned i = 0; i < power - 1; i++)
        remainder = remainder & 1 ? (remainder >> 1) ^ kPolynomial : remainder >> 1;
    return (uint64_t)remainder << 32;
}

enum { kFoldBytes = 64 };

// Moving 64 and 16 bytes on: the upper half's constant, then the lower half's.
static constexpr uint64_t kBy64[2] = {FoldConstant(512 + 64), FoldConstant(512)};
static constexpr uint64_t kBy16[2] = {FoldConstant(128 + 64), FoldConstant(128)};

// Moves `x` forward by the distance of `k` and adds `next` there.
__attribute__((target("sse4.2,pclmul"))) static inline __m128i Fold(__m128i x, __m128i k,
                                                                    __m128i next)
{
    __m128i upper = _mm_clmulepi64_si128(x, k, 0x00);
    __m128i lower = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(upper, lower), next);
}

__attribute__((target("sse4.2,pclmul"))) static uint32_t FoldingCrc(uint32_t crc, const uint8_t *p,
                                                                    size_t n)
{
    if (n < 2 * kFoldBytes)
        return InstructionCrc(crc, p, n);
    // The register starts the sum as if it were added to the message's first four bytes.
    __m128i a = _mm_xor_si128(_mm_loadu_si128((const __m128i *)p), _mm_cvtsi32_si128((int)crc));
    __m128i b = _mm_loadu_si128((const __m128i *)(p + 16));
    __m128i c = _mm_loadu_si128((const __m128i *)(p + 32));
    __m128i d = _mm_loadu_si128((const __m128i *)(p + 48));
    const __m128i by64 = _mm_loadu_si128((const __m128i *)kBy64);
    for (p += kFoldBytes, n -= kFoldBytes; n >= kFoldBytes; p += kFoldBytes, n -= kFoldBytes) {
        a = Fold(a, by64, _mm_loadu_si128((const __m128i *)p));
        b = Fold(b, by64, _mm_loadu_si128((const __m128i *)(p + 16)));
        c = Fold(c, by64, _mm_loadu_si128((const __m128i *)(p + 32)));
        d = Fold(d, by64, _mm_loadu_si128((const __m128i *)(p + 48)));
    }
    const __m128i by16 = _mm_loadu_si128((const __m128i *)kBy16);
    a = Fold(Fold(Fold(a, by16, b), by16, c), by16, d);
    uint8_t folded[16];
    _mm_storeu_si128((__m128i *)folded, a);
    return InstructionCrc(InstructionCrc(0, folded, sizeof folded), p, n);
}
#endif

uint32_t Crc32c(uint32_t crc, const void *bytes, size_t length)
{
    const uint8_t *p = (const uint8_t *)bytes;
    crc = ~crc;
#ifdef HAVE_CRC_INSTRUCTION
    // 0 neither, 1 the CRC instruction, 2 also the carry-less multiplication. Asked of the
    // processor directly: the compiler's own feature test brings a kilobytes-large runtime
    // piece into the engine.
    static int support = -1;
    if (support < 0) {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        bool asked = __get_cpuid(1, &eax, &ebx, &ecx, &edx);
        support = !asked || !(ecx & bit_SSE4_2) ? 0 : ecx & bit_PCLMUL ? 2 : 1;
    }
    if (support == 2)
        return ~FoldingCrc(crc, p, length);
    if (support == 1)
        return ~InstructionCrc(crc, p, length);
#endif
    return ~TableCrc(crc, p, length);
}

uint32_t Crc32cByTable(uint32_t crc, const void *bytes, size_t length)
{
    return ~TableCrc(~crc, (const uint8_t *)bytes, length);
}
