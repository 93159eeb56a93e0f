// CRC-32C on every path the processor offers, natively and in both Windows builds: the 32-bit
// engine folds with the same code on fewer registers and without the 8-byte CRC instruction.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>

#include "base/crc32c.h"

namespace
{

TEST(Crc32c, KnownValuesOnEveryPath)
{
    EXPECT_EQ(Crc32c(0, "123456789", 9), 0xE3069283u);
    EXPECT_EQ(Crc32cByTable(0, "123456789", 9), 0xE3069283u);
    EXPECT_EQ(Crc32c(0, "", 0), 0u);
    // Lengths and alignments around the 8- and 4-byte steps, the 16 and 64 bytes of folding and
    // its 128-byte threshold, and a sum continued in pieces.
    std::string data;
    for (int i = 0; i < 40000; i++)
        data += (char)(i * 7 + 3 + (i >> 9));
    for (size_t offset = 0; offset < 17; offset++)
        for (size_t length :
             {0u,  1u,   3u,   4u,   7u,   8u,   9u,   15u,  16u,  17u,   63u,    64u,
              65u, 127u, 128u, 129u, 143u, 144u, 191u, 192u, 250u, 4096u, 12289u, 39983u}) {
            const char *p = data.data() + offset;
            uint32_t whole = Crc32c(0, p, length);
            EXPECT_EQ(whole, Crc32cByTable(0, p, length)) << offset << "+" << length;
            EXPECT_EQ(Crc32c(Crc32c(0, p, length / 2), p + length / 2, length - length / 2), whole);
        }
}

} // namespace
