// The product record in the registry, CreateSetupInfo, the configuration folder rule and the
// previous-version check. Products are named per test and their values removed afterwards.
#include "tests/win/win_test_util.h"

#include <shlobj.h>

#include "base/text.h"
#include "commands/record.h"

namespace
{

const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

class Record : public WindowsTest
{
  protected:
    void TearDown() override
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS | kEngineRegistryView,
                          &key) == ERROR_SUCCESS) {
            for (const std::string &name : Products)
                RegDeleteValueA(key, name.c_str());
            RegCloseKey(key);
        }
        for (const std::string &name : Products)
            RegDeleteKeyExA(HKEY_LOCAL_MACHINE, (kUninstallKey + name).c_str(), kEngineRegistryView,
                            0);
        WindowsTest::TearDown();
    }

    // Stores raw bytes as the product's value.
    void StoreRaw(const std::string &name, const std::vector<uint8_t> &bytes)
    {
        Products.push_back(name);
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0,
                                  KEY_ALL_ACCESS | kEngineRegistryView, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, name.c_str(), 0, REG_BINARY, bytes.data(), (DWORD)bytes.size());
        RegCloseKey(key);
    }

    void StoreRecord(const std::string &name, int major, int minor)
    {
        Products.push_back(name);
        ProductRecord r;
        memset(&r, 0, sizeof r);
        r.versionMajor = (int16_t)major;
        r.versionMinor = (int16_t)minor;
        ASSERT_TRUE(WriteProductRecord(name.c_str(), &r));
    }

    void AddUninstallEntry(const std::string &name)
    {
        Products.push_back(name);
        HKEY key;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kUninstallKey + name).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS | kEngineRegistryView, nullptr, &key, nullptr);
        RegCloseKey(key);
    }

    std::vector<std::string> Products;
};

TEST_F(Record, LivesInTheThirtyTwoBitView)
{
    // On 64-bit Windows the 32-bit view keeps its keys apart, under Wow6432Node; on 32-bit
    // Windows there is one view.
    StoreRecord("RecView", 1, 2);
    HKEY key;
    const char *place =
        RunsOn64BitWindows() ? "Software\\Wow6432Node\\Veltrano" : "Software\\Veltrano";
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, place, 0, KEY_READ | KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "RecView", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    EXPECT_EQ(size, 806u);
    RegCloseKey(key);
}

// The texts as stored: in the code page where it holds them (what an earlier engine wrote and
// reads), else in UTF-8; read back, code-page text comes out as UTF-8. (The suites run under code
// page 1252.)
TEST_F(Record, TextsInTheCodePageOrUtf8)
{
    ASSERT_EQ(GetACP(), 1252u);
    struct Case {
        const char *text;   // UTF-8
        const char *stored; // the record's bytes
    } cases[] = {
        {"C:\\Tool", "C:\\Tool"},
        {"C:\\Caf\xC3\xA9", "C:\\Caf\xE9"},
        {"C:\\\xC5\x81\xC3\xB3\x64\xC5\xBA", "C:\\\xC5\x81\xC3\xB3\x64\xC5\xBA"}, // Łódź
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ProductRecord r;
        memset(&r, 0, sizeof r);
        CopyText(r.installPath, sizeof r.installPath, c.text);
        Products.push_back("RecText");
        ASSERT_TRUE(WriteProductRecord("RecText", &r));
        HKEY key;
        ASSERT_EQ(
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ | kEngineRegistryView, &key),
            ERROR_SUCCESS);
        uint8_t bytes[kProductRecordSize] = {};
        DWORD size = sizeof bytes;
        RegQueryValueExA(key, "RecText", nullptr, nullptr, bytes, &size);
        RegCloseKey(key);
        EXPECT_STREQ((const char *)bytes + 20, c.stored);
        memset(&r, 0, sizeof r);
        ASSERT_TRUE(ReadProductRecord("RecText", &r));
        EXPECT_STREQ(r.installPath, c.text);
    }
}

TEST_F(Record, ShortLongAndInvalidValues)
{
    ProductRecord r;
    StoreRaw("RecShort", {1, 0});
    memset(&r, 0, sizeof r);
    EXPECT_TRUE(ReadProductRecord("RecShort", &r));
    EXPECT_STREQ(r.installPath, "");

    std::vector<uint8_t> longValue(900, 0);
    longValue[0] = 1;
    longValue[10] = 7;
    StoreRaw("RecLong", longValue);
    memset(&r, 0, sizeof r);
    EXPECT_TRUE(ReadProductRecord("RecLong", &r));
    EXPECT_EQ(r.versionMajor, 7);

    StoreRaw("RecInvalid", {2, 0, 0, 0});
    memset(&r, 0, sizeof r);
    EXPECT_FALSE(ReadProductRecord("RecInvalid", &r));
    EXPECT_FALSE(ReadProductRecord("RecMissing", &r));
}

TEST_F(Record, CreateSetupInfoWritesTheRecordAndConfigPath)
{
    InstallSystemCommandsForTest();
    Products.push_back("RecTool");
    SetVariable("#PROGRAM#", "RecTool");
    SetVariable("#FORWHO#", "1");
    SetVariable("#CUSTOMLOC#", "0");
    SetVariable("#INSTALLPATH#", "C:\\Apps\\RecTool");
    SetVariable("#BUYURL#", "http://www.veltrano.com/buy");
    EXPECT_EQ(RunLine("CreateSetupInfo #PROGRAM#, 3.1.3"), 0);
    ProductRecord r;
    memset(&r, 0, sizeof r);
    ASSERT_TRUE(ReadProductRecord("RecTool", &r));
    EXPECT_EQ(r.nameCrc, Crc32("RecTool", 7));
    EXPECT_EQ(r.versionMajor, 3);
    EXPECT_EQ(r.versionMinor, 1);
    EXPECT_EQ(r.forWho, 1);
    EXPECT_EQ(r.customLoc, 0);
    EXPECT_EQ(r.individual, -1);
    EXPECT_STREQ(r.installPath, "C:\\Apps\\RecTool");
    EXPECT_STREQ(r.customPath, "");
    EXPECT_STREQ(r.buyUrl, "http://www.veltrano.com/buy");
    EXPECT_EQ(r.selExecute | r.selReadme | r.selDesktop, 0);
    char appData[MAX_PATH];
    SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, 0, appData);
    EXPECT_EQ(std::string(GetVariableText("#CONFIGPATH#")),
              std::string(appData) + "\\Veltrano\\RecTool");
    EXPECT_EQ(RunLine("CreateSetupInfo RecTool"), kErrMissingArgument);

    // Without #CUSTOMLOC# the record names no folder rule: #CONFIGPATH# keeps its value.
    ResetScriptEngine();
    InstallSystemCommandsForTest();
    SetVariable("#PROGRAM#", "RecTool");
    SetVariable("#CONFIGPATH#", "kept");
    EXPECT_EQ(RunLine("CreateSetupInfo #PROGRAM#, 3.2"), 0);
    EXPECT_STREQ(GetVariableText("#CONFIGPATH#"), "kept");
}

LONG WINAPI RefuseValue(HKEY, LPCSTR, DWORD, DWORD, const BYTE *, DWORD)
{
    return ERROR_ACCESS_DENIED;
}

TEST_F(Record, UnwritableRecordIsNotReported)
{
    InstallSystemCommandsForTest();
    Sys.RegSetValueExU = RefuseValue;
    SetVariable("#PROGRAM#", "RecDenied");
    SetVariable("#CONFIGPATH#", "unchanged");
    EXPECT_EQ(RunLine("CreateSetupInfo RecDenied, 1.0"), 0);
    EXPECT_STREQ(GetVariableText("#CONFIGPATH#"), "unchanged");
}

TEST_F(Record, ConfigFolderInAChosenLocation)
{
    Products.push_back("RecCustom");
    ProductRecord r;
    memset(&r, 0, sizeof r);
    r.customLoc = 1;
    r.individual = 1;
    strcpy(r.customPath, "D:\\Data");
    ASSERT_TRUE(WriteProductRecord("RecCustom", &r));
    char user[256];
    DWORD size = sizeof user;
    GetUserNameA(user, &size);
    char folder[kPathSize] = "untouched";
    ASSERT_TRUE(ConfigFolderFor("RecCustom", folder, sizeof folder));
    EXPECT_EQ(std::string(folder), std::string("D:\\Data\\") + user);

    r.individual = 0;
    ASSERT_TRUE(WriteProductRecord("RecCustom", &r));
    ASSERT_TRUE(ConfigFolderFor("RecCustom", folder, sizeof folder));
    EXPECT_STREQ(folder, "D:\\Data");

    r.customLoc = 5; // neither rule: the output is left alone
    ASSERT_TRUE(WriteProductRecord("RecCustom", &r));
    strcpy(folder, "untouched");
    EXPECT_TRUE(ConfigFolderFor("RecCustom", folder, sizeof folder));
    EXPECT_STREQ(folder, "untouched");
    EXPECT_FALSE(ConfigFolderFor("RecNone", folder, sizeof folder));
}

TEST_F(Record, PreviousVersionCheck)
{
    SetVariable("#PROGRAM#", "RecPrev");
    EXPECT_FALSE(PreviousVersionMustBeRemoved()); // no #REMOVE#
    SetVariable("#REMOVE#", "2.9");
    EXPECT_FALSE(PreviousVersionMustBeRemoved()); // nothing installed
    EXPECT_STREQ(GetVariableText("#REMAPP#"), "RecPrev");
    AddUninstallEntry("RecPrev");
    EXPECT_TRUE(PreviousVersionMustBeRemoved()); // entry without record
    struct Case {
        int major, minor;
        bool remove;
    } cases[] = {{2, 9, true}, {2, 10, false}, {3, 0, false}, {1, 99, true}};
    for (const Case &c : cases) {
        StoreRecord("RecPrev", c.major, c.minor);
        EXPECT_EQ(PreviousVersionMustBeRemoved(), c.remove) << c.major << "." << c.minor;
    }
    // #REMAPP# names another application.
    SetVariable("#REMAPP#", "RecOther");
    EXPECT_FALSE(PreviousVersionMustBeRemoved());
}

// Fills the stack below the caller with text that has no end, as an earlier call may leave it.
__attribute__((noinline)) void ScribbleOnTheStack(void)
{
    volatile char junk[8192];
    for (size_t i = 0; i < sizeof junk; i++)
        junk[i] = 'J';
}

TEST_F(Record, PreviousVersionCheckWithoutAnyName)
{
    // Neither #REMAPP# nor #PROGRAM#: the application name is the empty text, and nothing
    // installed can carry it.
    SetVariable("#REMOVE#", "2.9");
    ScribbleOnTheStack();
    EXPECT_FALSE(PreviousVersionMustBeRemoved());
    ASSERT_GE(GetVariable("#REMAPP#", nullptr, 0), 0);
    EXPECT_STREQ(GetVariableText("#REMAPP#"), "");
}

TEST_F(Record, FreeDiskSpace)
{
    EXPECT_GT(FreeDiskBytes("C:\\"), 0u);
    EXPECT_EQ(FreeDiskBytes("Q:\\nowhere"), UINT64_MAX);
    // A folder that does not exist yet is on the volume of the nearest folder above it that
    // does: its free space is that folder's, not "unlimited".
    uint64_t here = FreeDiskBytes(Folder.c_str());
    ASSERT_NE(here, UINT64_MAX);
    const uint64_t slack = 64ull << 20; // other programs write meanwhile
    for (const std::string &path :
         {Path("New"), Path("New\\"), Path("New\\Deeper\\Tool"), Folder + "\\"}) {
        uint64_t free = FreeDiskBytes(path.c_str());
        EXPECT_NE(free, UINT64_MAX) << path;
        EXPECT_LT(free > here ? free - here : here - free, slack) << path;
    }
    EXPECT_FALSE(Exists(Path("New"))) << "asking created nothing";
    EXPECT_EQ(FreeDiskBytes("Q:\\New\\Tool"), UINT64_MAX) << "no such drive: not known";
}

} // namespace
