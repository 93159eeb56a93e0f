#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "commands/record_codec.h"

namespace
{

ProductRecord Zeroed()
{
    ProductRecord r;
    memset(&r, 0, sizeof r);
    return r;
}

uint16_t At16(const uint8_t *b, size_t offset)
{
    return (uint16_t)(b[offset] | b[offset + 1] << 8);
}

TEST(RecordCodec, LayoutIsByteExact)
{
    ProductRecord r = Zeroed();
    r.valid = 1;
    r.extra = 0x11223344;
    r.nameCrc = 0xCBF43926;
    r.versionMajor = 3;
    r.versionMinor = 1;
    r.forWho = 1;
    r.customLoc = 0;
    r.individual = -1; // an undefined variable
    strcpy(r.installPath, "C:\\Apps\\Tool");
    strcpy(r.customPath, "C:\\Apps\\Tool\\Data");
    strcpy(r.buyUrl, "http://www.veltrano.com/");
    r.selExecute = 1;
    r.selDesktop = 1;
    uint8_t b[kProductRecordSize + 4];
    memset(b, 0xEE, sizeof b);
    EncodeProductRecord(r, b);
    EXPECT_EQ(b[kProductRecordSize], 0xEE); // nothing written past 806 bytes
    EXPECT_EQ(At16(b, 0), 1);
    EXPECT_EQ(b[2], 0x44);
    EXPECT_EQ(b[5], 0x11);
    EXPECT_EQ(b[6], 0x26);
    EXPECT_EQ(b[9], 0xCB);
    EXPECT_EQ(At16(b, 10), 3);
    EXPECT_EQ(At16(b, 12), 1);
    EXPECT_EQ(At16(b, 14), 1);
    EXPECT_EQ(At16(b, 16), 0);
    EXPECT_EQ(At16(b, 18), 0xFFFF);
    EXPECT_STREQ((const char *)b + 20, "C:\\Apps\\Tool");
    EXPECT_STREQ((const char *)b + 280, "C:\\Apps\\Tool\\Data");
    EXPECT_STREQ((const char *)b + 540, "http://www.veltrano.com/");
    for (size_t i = 20 + strlen(r.installPath); i < 280; i++)
        ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(At16(b, 800), 1);
    EXPECT_EQ(At16(b, 802), 0);
    EXPECT_EQ(At16(b, 804), 1);

    ProductRecord back = Zeroed();
    DecodeProductRecord(b, kProductRecordSize, &back);
    EXPECT_EQ(memcmp(&back, &r, sizeof r), 0);
}

TEST(RecordCodec, ShortAndLongValues)
{
    // Two bytes 1 0: a valid record whose missing tail reads as the caller's zeros.
    const uint8_t shortValue[] = {1, 0, 9, 9};
    ProductRecord r = Zeroed();
    DecodeProductRecord(shortValue, sizeof shortValue, &r);
    EXPECT_EQ(r.valid, 1);
    EXPECT_EQ(r.extra, 0x0909u);
    EXPECT_EQ(r.versionMajor, 0);
    EXPECT_STREQ(r.installPath, "");

    // Longer than 806 bytes: only the first 806 count.
    std::vector<uint8_t> longValue(2000, 0x41);
    r = Zeroed();
    DecodeProductRecord(longValue.data(), longValue.size(), &r);
    EXPECT_EQ(r.selDesktop, 0x4141);
    EXPECT_EQ(strlen(r.installPath), 259u); // an unterminated field is cut within it
}

TEST(RecordCodec, LongTextsAreCutToTheField)
{
    ProductRecord r = Zeroed();
    memset(r.installPath, 'p', sizeof r.installPath); // no terminator at all
    uint8_t b[kProductRecordSize];
    EncodeProductRecord(r, b);
    EXPECT_EQ(b[20 + 259], 0);
    EXPECT_EQ(b[280], 0);
}

TEST(Crc, StandardValues)
{
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32("abc", 3), 0x352441C2u);
    EXPECT_EQ(Crc32("", 0), 0u);
    BuildCrcTable(); // building the table again changes nothing
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
}

TEST(Version, ReadsLikeScanFormat)
{
    struct Case {
        const char *text;
        int major, minor;
    } cases[] = {{"3.1.3", 3, 1}, {"3", 3, 0},
                 {"2.10", 2, 10}, {"", 0, 0},
                 {"x.5", 0, 0},   {" 4. 7", 4, 7},
                 {"4 .7", 4, 0},  {"-1.-2", -1, -2},
                 {"1.x", 1, 0},   {"99999999999.1", 2147483647, 1}};
    for (const Case &c : cases) {
        int major = 0, minor = 0;
        ParseVersion(c.text, &major, &minor);
        EXPECT_EQ(major, c.major) << c.text;
        EXPECT_EQ(minor, c.minor) << c.text;
    }
}

TEST(PreviousVersion, DecisionTable)
{
    // #REMOVE# 2.9 against installed versions.
    EXPECT_TRUE(PreviousVersionDecision(true, true, 2, 9, 2, 9));
    EXPECT_FALSE(PreviousVersionDecision(true, true, 2, 10, 2, 9));
    EXPECT_FALSE(PreviousVersionDecision(false, true, 3, 0, 2, 9));
    EXPECT_TRUE(PreviousVersionDecision(false, true, 1, 99, 2, 9));
    // An uninstall entry without a record; neither.
    EXPECT_TRUE(PreviousVersionDecision(true, false, 0, 0, 2, 9));
    EXPECT_FALSE(PreviousVersionDecision(false, false, 0, 0, 2, 9));
}

TEST(OsCode, VersionClasses)
{
    EXPECT_EQ(OsCodeFor(1, 4, 0), 1);
    EXPECT_EQ(OsCodeFor(1, 4, 10), 2);
    EXPECT_EQ(OsCodeFor(1, 4, 90), 4);
    EXPECT_EQ(OsCodeFor(1, 5, 0), 7);
    EXPECT_EQ(OsCodeFor(2, 4, 0), 8);
    EXPECT_EQ(OsCodeFor(2, 5, 0), 16);
    EXPECT_EQ(OsCodeFor(2, 5, 1), 32);
    EXPECT_EQ(OsCodeFor(2, 5, 2), 64);
    EXPECT_EQ(OsCodeFor(2, 6, 0), 128);
    EXPECT_EQ(OsCodeFor(2, 6, 1), 248);
    EXPECT_EQ(OsCodeFor(2, 10, 0), 248);
    EXPECT_EQ(OsCodeFor(2, 5, 3), 248);
}

} // namespace
