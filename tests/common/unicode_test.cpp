#include "base/unicode.h"

#include <gtest/gtest.h>
#include <string.h>

// Round trips and refusals of the boundary conversion, and cuts that never split a character.
TEST(Unicode, ConvertsAndRefuses)
{
    struct Case {
        const char *utf8;
        int result;
    } cases[] = {
        {"C:\\Tool", kConverted},
        {"C:\\\xE4\xBA\x88\xE5\xAE\x9A\xE8\xA1\xA8", kConverted}, // 予定表
        {"\xC5\x81\xC3\xB3\x64\xC5\xBA", kConverted},             // Łódź
        {"\xF0\x9F\x98\x80", kConverted},                         // outside the BMP
        {"\xC0\xAF", kConvertInvalid},                            // overlong '/'
        {"\xED\xA0\x80", kConvertInvalid},                        // a surrogate in UTF-8
        {"\xF4\x90\x80\x80", kConvertInvalid},                    // past U+10FFFF
        {"abc\xE4\xBA", kConvertInvalid},                         // cut character
        {"T\xF6\xF6l", kConvertInvalid},                          // code-page text
    };
    for (const Case &c : cases) {
        uint16_t wide[64];
        char back[64];
        EXPECT_EQ(Utf8ToUtf16(c.utf8, wide, 64), c.result) << c.utf8;
        EXPECT_EQ(IsValidUtf8(c.utf8, strlen(c.utf8)), c.result == kConverted) << c.utf8;
        if (c.result != kConverted)
            continue;
        EXPECT_EQ(Utf16ToUtf8(wide, back, sizeof back), kConverted);
        EXPECT_STREQ(back, c.utf8);
    }
    const uint16_t lone[] = {'a', 0xDC00, 0};
    char out[8];
    EXPECT_EQ(Utf16ToUtf8(lone, out, sizeof out), kConvertInvalid);
}

TEST(Unicode, CutsAtCharacterBoundaries)
{
    const char *name = "\xE4\xBA\x88\xE5\xAE\x9A\xE8\xA1\xA8"; // three 3-byte characters
    for (size_t length = 0; length <= 9; length++)
        EXPECT_EQ(Utf8Boundary(name, length), length / 3 * 3) << length;
    EXPECT_EQ(Utf8Boundary("a\xFF"
                           "b",
                           2),
              2u); // a stray byte is a character of its own

    uint16_t wide[3];
    EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80", wide, 2), kConvertCut); // no half surrogate pair
    EXPECT_EQ(wide[0], 0);
    const uint16_t table[] = {0x4E88, 0x5B9A, 0x8868, 0};
    char out[8];
    EXPECT_EQ(Utf16ToUtf8(table, out, sizeof out), kConvertCut);
    EXPECT_STREQ(out, "\xE4\xBA\x88\xE5\xAE\x9A");
}
