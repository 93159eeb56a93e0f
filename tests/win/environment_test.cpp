// Expandable values and PATH: a product's folders added to the system's and the user's PATH by
// its setup, not added twice by a reinstallation, and taken out by its uninstaller so that the
// value is byte for byte what it was, whatever it held and however long it is.
#include "tests/win/win_test_util.h"

namespace
{

const char kSystemKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// A value as the registry holds it: its type and its bytes; type 0 when it does not exist.
struct RawValue {
    DWORD type = 0;
    std::string bytes;
    bool operator==(const RawValue &other) const
    {
        return type == other.type && bytes == other.bytes;
    }
};

RawValue ReadRaw(HKEY root, const char *key, const wchar_t *name)
{
    RawValue value;
    HKEY opened;
    if (RegOpenKeyExA(root, key, 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return value;
    DWORD size = 0;
    if (RegQueryValueExW(opened, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
        value.bytes.resize(size);
        RegQueryValueExW(opened, name, nullptr, &value.type, (BYTE *)&value.bytes[0], &size);
    }
    RegCloseKey(opened);
    return value;
}

void WriteRaw(HKEY root, const char *key, const wchar_t *name, const RawValue &value)
{
    HKEY opened;
    ASSERT_EQ(RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened, nullptr),
              ERROR_SUCCESS);
    if (value.type == 0)
        RegDeleteValueW(opened, name);
    else
        RegSetValueExW(opened, name, 0, value.type, (const BYTE *)value.bytes.data(),
                       (DWORD)value.bytes.size());
    RegCloseKey(opened);
}

// The UTF-16 bytes of an ASCII text and its terminator, as a string value holds them.
std::string Wide(const std::string &text)
{
    std::string bytes;
    for (char c : text + '\0')
        bytes += std::string{c, '\0'};
    return bytes;
}

class Environment : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        SystemPath = ReadRaw(HKEY_LOCAL_MACHINE, kSystemKey, L"Path");
        UserPath = ReadRaw(HKEY_CURRENT_USER, "Environment", L"Path");
    }
    void TearDown() override
    {
        WriteRaw(HKEY_LOCAL_MACHINE, kSystemKey, L"Path", SystemPath);
        WriteRaw(HKEY_CURRENT_USER, "Environment", L"Path", UserPath);
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\VeltranoTest");
        ForgetSampleProducts();
        WindowsTest::TearDown();
    }
    RawValue SystemPath;
    RawValue UserPath;
};

TEST_F(Environment, ExpandableValuesAreWrittenAsSuch)
{
    InstallSystemCommandsForTest();
    EXPECT_EQ(RunLine("CreateRegValExpandSz CU, Software\\VeltranoTest, Home, "
                      "\"%USERPROFILE%\\Tool\""),
              0);
    EXPECT_EQ(ReadRaw(HKEY_CURRENT_USER, "Software\\VeltranoTest", L"Home"),
              (RawValue{REG_EXPAND_SZ, Wide("%USERPROFILE%\\Tool")}));
    EXPECT_EQ(Statuses.back(), "Creating Registry value: Home=%USERPROFILE%\\Tool");
    EXPECT_EQ(RunLine("CreateRegValExpandSz HKLM, Software\\VeltranoTest, Home, x"), 11);
    EXPECT_EQ(RunLine("CreateRegValExpandSz CU, Software\\VeltranoTest, Home"), 3);
}

// Each start value of the user's PATH: the folder added once (ignoring case and a trailing
// backslash), then removed, leaves every byte as it was, the value's type too.
TEST_F(Environment, TheUsersPathGetsTheFolderOnceAndBackExactly)
{
    InstallSystemCommandsForTest();
    OsCode = 248; /* the NT family, where PATH is in the registry */
    const std::string folder = "C:\\Apps\\Tool Box";
    struct Case {
        const char *what;
        RawValue start;
        std::string added; // the list after AddToPath, as text
    } cases[] = {
        {"no PATH yet", {}, folder},
        {"an expandable PATH ending in a separator",
         {REG_EXPAND_SZ, Wide("%USERPROFILE%\\bin;C:\\x;")},
         "%USERPROFILE%\\bin;C:\\x;" + folder + ";"},
        {"a plain string", {REG_SZ, Wide("C:\\x")}, "C:\\x;" + folder},
        {"longer than any fixed buffer",
         {REG_EXPAND_SZ, Wide(std::string(6000, 'p') + ";C:\\y")},
         std::string(6000, 'p') + ";C:\\y;" + folder},
        {"the folder there already, in other letters",
         {REG_SZ, Wide("c:\\apps\\TOOL BOX\\;C:\\x")},
         "c:\\apps\\TOOL BOX\\;C:\\x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteRaw(HKEY_CURRENT_USER, "Environment", L"Path", c.start);
        EXPECT_EQ(RunLine("AddToPath \"" + folder + "\\\", User"), 0);
        EXPECT_EQ(RunLine("AddToPath \"" + folder + "\", user"), 0) << "added twice";
        RawValue added = ReadRaw(HKEY_CURRENT_USER, "Environment", L"Path");
        EXPECT_EQ(added, (RawValue{c.start.type ? c.start.type : REG_EXPAND_SZ, Wide(c.added)}));
        EXPECT_EQ(ReadRaw(HKEY_LOCAL_MACHINE, kSystemKey, L"Path"), SystemPath);
        if (Wide(c.added) == c.start.bytes)
            continue; /* not ours to remove: a setup of the product would not have added it */
        EXPECT_EQ(RunLine("RemoveFromPath \"" + folder + "\", User"), 0);
        EXPECT_EQ(Statuses.back(), "Removing from the search path: " + folder);
        EXPECT_EQ(ReadRaw(HKEY_CURRENT_USER, "Environment", L"Path"), c.start);
    }
    EXPECT_EQ(RunLine("AddToPath \"\\\\\""), 3) << "no folder";
}

// End to end: the setup adds its folder to the system's PATH and its tools folder to the
// user's; a reinstallation changes neither; the uninstaller gives both back byte for byte.
TEST_F(Environment, InstallReinstallAndUninstallLeavePathsAsTheyWere)
{
    WriteRaw(HKEY_CURRENT_USER, "Environment", L"Path",
             {REG_EXPAND_SZ, Wide("%USERPROFILE%\\bin;")});
    RawValue system = ReadRaw(HKEY_LOCAL_MACHINE, kSystemKey, L"Path");
    RawValue user = ReadRaw(HKEY_CURRENT_USER, "Environment", L"Path");
    const std::string product = "PhaseBegin 0\r\nSet #PROGRAM#, E2E\r\nSet #VERSION#, 1.0\r\n"
                                "PhaseEnd\r\n";
    std::string setup = Path("E2ESetup.exe");
    ASSERT_EQ(PackSample(setup,
                         product + "PhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\n"
                                   "CopyUninstall \"#INSTALLPATH#\\Uninstall.exe\"\r\n"
                                   "AddToPath \"#INSTALLPATH#\"\r\n"
                                   "AddToPath \"#INSTALLPATH#\\tools\", User\r\nPhaseEnd\r\n",
                         product + "PhaseBegin 1\r\nRemoveFromPath \"#INSTALLPATH#\"\r\n"
                                   "RemoveFromPath \"#INSTALLPATH#\\tools\", User\r\n"
                                   "DeleteFile \"#INSTALLPATH#\\Uninstall.exe\"\r\n"
                                   "RemoveDir \"#INSTALLPATH#\"\r\nPhaseEnd\r\n"),
              0u);
    const std::string installed = Path("E2E");
    ASSERT_EQ(RunProgram(setup, "/S /D=" + installed, Folder), 0u);
    RawValue systemAdded = ReadRaw(HKEY_LOCAL_MACHINE, kSystemKey, L"Path");
    RawValue userAdded = ReadRaw(HKEY_CURRENT_USER, "Environment", L"Path");
    std::string systemText = system.bytes.substr(0, system.bytes.size() - 2);
    EXPECT_EQ(systemAdded, (RawValue{system.type, systemText + Wide(";" + installed)}));
    EXPECT_EQ(userAdded,
              (RawValue{REG_EXPAND_SZ, Wide("%USERPROFILE%\\bin;" + installed + "\\tools;")}));
    ASSERT_EQ(RunProgram(setup, "/S /D=" + installed, Folder), 0u);
    EXPECT_EQ(ReadRaw(HKEY_LOCAL_MACHINE, kSystemKey, L"Path"), systemAdded);
    EXPECT_EQ(ReadRaw(HKEY_CURRENT_USER, "Environment", L"Path"), userAdded);
    EXPECT_EQ(RunProgram(installed + "\\Uninstall.exe", "/S", Folder), 0u);
    EXPECT_EQ(ReadRaw(HKEY_LOCAL_MACHINE, kSystemKey, L"Path"), system);
    EXPECT_EQ(ReadRaw(HKEY_CURRENT_USER, "Environment", L"Path"), user);
    EXPECT_TRUE(WaitFor([&] { return !Exists(installed); }));
}

} // namespace
