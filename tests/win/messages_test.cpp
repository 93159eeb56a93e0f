// Messages from the string table, the code-to-message map, and text expansion in dialogs.
#include "tests/win/win_test_util.h"

#include "base/text.h"
#include "resources/resource.h"
#include "tests/win/robot.h"
#include "ui/language.h"
#include "ui/messages.h"

namespace
{

class Messages : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        Instance = GetModuleHandleA(nullptr);
        SetVariable("#SETUPMODE#", "Setup");
        SetVariable("#PROGRAM#", "Tool");
    }
};

TEST_F(Messages, CodeToMessageMap)
{
    struct Case {
        int code;
        int id;
    } cases[] = {{6, 1013},  {7, 1035},  {8, 1015},  {9, 1018},  {11, 1022},
                 {15, 1007}, {16, 1009}, {24, 1015}, {29, 1045}, {3, 1001},
                 {12, 1001}, {13, 1001}, {17, 1001}, {28, 1001}, {0, 1001}};
    for (const Case &c : cases)
        EXPECT_EQ(ShowErrorMessage(MESSAGE_ID_ONLY, c.code), c.id) << c.code;
}

TEST_F(Messages, StringTableHoldsTheTextsAsQuoted)
{
    char text[kMessageSize];
    LoadLanguageString(IDS_CRITICAL_ERROR, text, sizeof text);
    EXPECT_STREQ(text, "A critical error has occured. #SETUPMODE# can not continue.\n"
                       "Maybe the #SETUPMODE# file is corrupt!");
    LoadLanguageString(IDS_MODE_UNINSTALL, text, sizeof text);
    EXPECT_STREQ(text, "Uninstall");
    // The whole English table is in German (Austria).
    HRSRC block = FindResourceExA(nullptr, RT_STRING, MAKEINTRESOURCEA(IDS_CONFIRM_QUIT / 16 + 1),
                                  MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_AUSTRIAN));
    EXPECT_NE(block, nullptr);
}

TEST_F(Messages, IconGroupsHoldTwelveImagesEach)
{
    for (int group : {IDI_SETUP, IDI_UNINSTALL}) {
        HRSRC found = FindResourceExA(nullptr, RT_GROUP_ICON, MAKEINTRESOURCEA(group),
                                      MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_AUSTRIAN));
        ASSERT_NE(found, nullptr) << group;
        ASSERT_EQ(SizeofResource(nullptr, found), 6u + 12 * 14);
        const uint8_t *dir = (const uint8_t *)LockResource(LoadResource(nullptr, found));
        EXPECT_EQ(dir[4], 12);
        // A width of 0 stands for 256.
        const int sizes[12] = {48, 32, 16, 48, 32, 16, 24, 64, 72, 96, 128, 0};
        for (int i = 0; i < 12; i++) {
            const uint8_t *e = dir + 6 + 14 * i;
            EXPECT_EQ(e[0], sizes[i]);
            EXPECT_EQ(e[6] | e[7] << 8, i < 3 ? 8 : 32);
            EXPECT_EQ(e[12] | e[13] << 8, (group == IDI_SETUP ? 1 : 13) + i); // image ids
        }
    }
}

TEST_F(Messages, ShowMessageExpandsTextAndCaption)
{
    for (const char *mode : {"Setup", "Uninstall"}) {
        SetVariable("#SETUPMODE#", mode);
        MessageBoxRobot robot(mode, IDOK);
        EXPECT_EQ(ShowMessage(nullptr, IDS_LINK_NOT_CREATED, MB_OK | MB_ICONHAND), IDOK);
        ASSERT_TRUE(robot.Wait());
        EXPECT_EQ(robot.Text,
                  std::string("A shortcut could not be created! ") + mode + " can not continue!");
    }
    MessageBoxRobot retry("Setup", IDRETRY);
    SetVariable("#SETUPMODE#", "Setup");
    EXPECT_EQ(ShowErrorMessage(nullptr, kErrFileNotWritten), IDRETRY);
    ASSERT_TRUE(retry.Wait());
    EXPECT_EQ(retry.Text.substr(0, 33), "A file could not be copied! If To");
}

class AbsolutePath : public Messages
{
  protected:
    void SetUp() override
    {
        Messages::SetUp();
        Page = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr,
                               nullptr);
        Edit = CreateWindowExA(0, "EDIT", "", WS_CHILD, 0, 0, 90, 20, Page, (HMENU)100, nullptr,
                               nullptr);
    }
    void TearDown() override
    {
        DestroyWindow(Page);
        Messages::TearDown();
    }
    bool Check(const char *text, std::string *result)
    {
        SetWindowTextA(Edit, text);
        char buffer[kPathSize];
        bool ok = CheckAbsolutePath(Page, 100, buffer);
        *result = buffer;
        return ok;
    }
    HWND Page = nullptr;
    HWND Edit = nullptr;
};

TEST_F(AbsolutePath, AcceptsDrivesRootsAndNetworkPaths)
{
    std::string result;
    EXPECT_TRUE(Check("C:\\Apps\\Tool\\\\", &result));
    EXPECT_EQ(result, "C:\\Apps\\Tool");
    EXPECT_TRUE(Check("C:\\", &result));
    EXPECT_EQ(result, "C:");
    EXPECT_TRUE(Check("\\\\server\\share\\Tool", &result));
    EXPECT_TRUE(Check("\\Apps", &result));
}

TEST_F(AbsolutePath, RefusesRelativePathsWithAMessage)
{
    for (const char *text : {"", "Tool", "..\\Tool"}) {
        MessageBoxRobot robot("Setup", IDOK);
        std::string result;
        EXPECT_FALSE(Check(text, &result)) << text;
        ASSERT_TRUE(robot.Wait());
        EXPECT_EQ(robot.Text,
                  "You must use an absolute path (including a drive letter or network drive)!");
        DWORD start = 1, end = 0;
        SendMessageA(Edit, EM_GETSEL, (WPARAM)&start, (LPARAM)&end);
        EXPECT_EQ(start, 0u);
        EXPECT_EQ(end, strlen(text));
    }
}

TEST_F(Messages, ExpandDialogTextsReachesEveryLevel)
{
    HWND dialog = CreateWindowExA(0, "#32770", "#SETUPMODE# - #PROGRAM#", WS_POPUP, 0, 0, 200, 200,
                                  nullptr, nullptr, nullptr, nullptr);
    HWND group = CreateWindowExA(0, "BUTTON", "#PROGRAM# options", WS_CHILD | BS_GROUPBOX, 0, 0,
                                 100, 100, dialog, (HMENU)10, nullptr, nullptr);
    HWND inner = CreateWindowExA(0, "STATIC", "Install #PROGRAM# #UNDEFINED#", WS_CHILD, 0, 0, 50,
                                 20, group, (HMENU)11, nullptr, nullptr);
    HWND next = CreateWindowExA(0, "BUTTON", "Next >", WS_CHILD | BS_DEFPUSHBUTTON, 0, 0, 50, 20,
                                dialog, (HMENU)IDOK, nullptr, nullptr);
    SendMessageA(dialog, DM_SETDEFID, IDOK, 0);
    BoldFont = CreateFontA(14, 0, 0, 0, FW_BOLD, 0, 0, 0, 0, 0, 0, 0, 0, "Arial");
    std::string longText(300, 'x');
    SetWindowTextA(next, ("#PROGRAM#" + longText).c_str());
    ExpandDialogTexts(dialog);
    char text[600];
    GetWindowTextA(dialog, text, sizeof text);
    EXPECT_STREQ(text, "Setup - Tool");
    GetWindowTextA(inner, text, sizeof text);
    EXPECT_STREQ(text, "Install Tool #UNDEFINED#");
    // A text of 260 characters or more is cut to 259 before expansion.
    GetWindowTextA(next, text, sizeof text);
    EXPECT_EQ(std::string(text), "Tool" + std::string(250, 'x'));
    EXPECT_EQ((HFONT)SendMessageA(next, WM_GETFONT, 0, 0), (HFONT)BoldFont);
    EXPECT_NE((HFONT)SendMessageA(inner, WM_GETFONT, 0, 0), (HFONT)BoldFont);
    DestroyWindow(dialog);
    DeleteObject((HFONT)BoldFont);
    BoldFont = nullptr;
}

} // namespace
