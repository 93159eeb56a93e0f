// The system boundary: UTF-8 names reach the W calls whole; the 95 family's way (the A calls in
// the code page, taken here on NT) refuses a character the code page lacks instead of putting a
// lookalike in its place, and a command that meets one fails with result 31.
#include "tests/win/win_test_util.h"

#include "base/results.h"

namespace
{

class SystemText : public WindowsTest
{
};

TEST_F(SystemText, WideCallsAndTheCodePage)
{
    ASSERT_EQ(GetACP(), 1252u);
    InstallSystemCommandsForTest();
    struct Case {
        const char *name;
        bool wide;   // the NT family's way
        int created; // CreateDir's result
    } cases[] = {
        {"Caf\xC3\xA9", true, kOk},
        {"Caf\xC3\xA9", false, kOk},
        {"\xC5\x81\xC3\xB3\x64\xC5\xBA", true, kOk},                   // Łódź
        {"\xC5\x81\xC3\xB3\x64\xC5\xBA", false, kErrTextNotConverted}, // never "Lodz"
        {"T\xF6l", true, kErrTextNotConverted},                        // not UTF-8
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.wide ? " (W)" : " (A)"));
        Sys.wide = c.wide;
        std::string folder = Path(c.name);
        EXPECT_EQ(RunLine("CreateDir \"" + folder + "\""), c.created);
        EXPECT_EQ(IsFolder(folder.c_str()), c.created == kOk);
        // What was made carries the name as written, looked at through the W call.
        WCHAR wide[MAX_PATH];
        ASSERT_TRUE(WideFromText(Path("*").c_str(), wide, MAX_PATH));
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW(wide, &found);
        std::string names;
        do {
            char name[MAX_PATH];
            if (search != INVALID_HANDLE_VALUE && TextFromWide(found.cFileName, name, sizeof name))
                names += std::string(name) + "|";
        } while (search != INVALID_HANDLE_VALUE && FindNextFileW(search, &found));
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
        EXPECT_EQ(names, c.created == kOk ? std::string(".|..|") + c.name + "|" : ".|..|");
        Sys.RemoveDirectoryU(folder.c_str());
        ResetSystemCalls();
    }
    // Conversions cut at a character boundary and say so.
    char cut[6];
    WCHAR polish[] = {0x141, 0xF3, 'd', 0x17A, 0};
    EXPECT_FALSE(TextFromWide(polish, cut, sizeof cut));
    EXPECT_STREQ(cut, "\xC5\x81\xC3\xB3\x64");
    EXPECT_FALSE(CodePageFromText("\xC5\x81", cut, sizeof cut));
    EXPECT_TRUE(CodePageFromText("\xE2\x82\xAC", cut, sizeof cut));
    EXPECT_STREQ(cut, "\x80");
}

} // namespace
