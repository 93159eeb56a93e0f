// The sample product's whole life under Wine: the full install script run silently, everything
// it leaves checked, then the uninstaller it wrote: its relaunch from the temporary folder, a
// silent uninstallation, and the batch that deletes the temporary copy afterwards.
#include "tests/win/win_test_util.h"

#include "archive/format.h"
#include "commands/record.h"
#include "resources/resource.h"
#include "tests/win/robot.h"

namespace
{

const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tool";

// A value of the key in the given view, as bytes; "<missing>" when there is none.
std::string ReadValue(HKEY root, const char *path, const char *name, REGSAM view)
{
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return "<missing>";
    char data[1024];
    DWORD size = sizeof data;
    LONG r = RegQueryValueExA(key, name, nullptr, nullptr, (BYTE *)data, &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS ? std::string(data, size) : "<missing>";
}

std::string ReadString(HKEY root, const char *path, const char *name, REGSAM view)
{
    std::string value = ReadValue(root, path, name, view);
    return value == "<missing>" ? value : std::string(value.c_str());
}

DWORD ReadNumber(HKEY root, const char *path, const char *name)
{
    std::string value = ReadValue(root, path, name, KEY_WOW64_32KEY);
    return value.size() == 4 ? *(const DWORD *)value.data() : 0xFFFFFFFF;
}

class Lifecycle : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        Setup = Path("ToolSetup.exe");
        ASSERT_TRUE(CopyFileA(BuildPath("samples/ToolSetup.exe").c_str(), Setup.c_str(), FALSE));
        Installed = Path("Tool");
    }
    void TearDown() override
    {
        ForgetSampleProducts();
        WindowsTest::TearDown();
    }
    std::string Setup;
    std::string Installed;
};

TEST_F(Lifecycle, InstallAndUninstallTheSampleProduct)
{
    ASSERT_EQ(RunProgram(Setup, "\"" + Installed + "\"", Folder), 0u);
    ASSERT_EQ(ReadLog(Setup + ".log"), "Setup finished successfully!\r\n");

    // Files, with the manual's version stamped in by PatchFile.
    EXPECT_NE(ReadFileText(Installed + "\\Tool.chm").find("Version 3.1.3"), std::string::npos);
    EXPECT_TRUE(Exists(Installed + "\\Tool.exe"));
    EXPECT_FALSE(Exists(Installed + "\\SetupLib.dll"));

    // Registry values, in the view the 32-bit engine uses.
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName", KEY_WOW64_32KEY),
              "Tool 3.1.3");
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString", KEY_WOW64_32KEY),
              "\"" + Installed + "\\Uninstall.exe\"");
    EXPECT_EQ(
        ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "QuietUninstallString", KEY_WOW64_32KEY),
        "\"" + Installed + "\\Uninstall.exe\" \"" + Installed + "\"");
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "Publisher", KEY_WOW64_32KEY),
              "Veltrano");
    EXPECT_EQ(ReadNumber(HKEY_LOCAL_MACHINE, kUninstallKey, "NoModify"), 1u);
    DWORD kib = ReadNumber(HKEY_LOCAL_MACHINE, kUninstallKey, "EstimatedSize");
    EXPECT_GT(kib, 100u);
    EXPECT_LT(kib, 1000u);
    char config[MAX_PATH];
    SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, 0, config);
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, "Software\\Veltrano\\Tool", "ConfigPath", 0),
              std::string(config) + "\\Veltrano\\Tool");

    // Shortcuts in the all-users Start menu: links resolve, the web shortcut is exact.
    char programs[MAX_PATH];
    SHGetFolderPathA(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, 0, programs);
    std::string menu = std::string(programs) + "\\Tool\\";
    EXPECT_EQ(ShellLinkPath(menu + "Tool.lnk"), Installed + "\\Tool.exe");
    EXPECT_EQ(ShellLinkPath(menu + "Uninstall Tool.lnk"), Installed + "\\Uninstall.exe");
    EXPECT_EQ(ReadFileText(menu + "Buy Tool.url"),
              "[InternetShortcut]\r\nURL=http://www.veltrano.com/tool/buy");

    // The uninstaller: Unins marker only, one entry equal to the uninstall script, no end
    // marker, and the uninstall icon as language-neutral main icon.
    std::string uninstaller = ReadFileText(Installed + "\\Uninstall.exe");
    EXPECT_NE(uninstaller.find("SetupMode:Unins"), std::string::npos);
    EXPECT_EQ(uninstaller.find("SetupMode:Setup"), std::string::npos);
    const uint8_t *bytes = (const uint8_t *)uninstaller.data();
    size_t cursor = LocateArchive(bytes, uninstaller.size());
    ASSERT_NE(cursor, 0u);
    ArchiveEntry entry;
    ASSERT_EQ(NextArchiveEntry(bytes, uninstaller.size(), &cursor, &entry), kWalkEntry);
    EXPECT_EQ(std::string(entry.name, entry.nameLength), "Uninstall.vis");
    EXPECT_EQ(std::string((const char *)bytes + entry.dataOffset, entry.size),
              ReadFileText(std::string("Z:") + SOURCE_DIR + "\\samples\\tool\\Uninstall.vis"));
    EXPECT_EQ(cursor, uninstaller.size());
    HMODULE image =
        LoadLibraryExA((Installed + "\\Uninstall.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    WORD austrian = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_AUSTRIAN);
    EXPECT_EQ(GroupIcon(image, IDI_SETUP, 0), GroupIcon(image, IDI_UNINSTALL, austrian));
    EXPECT_EQ(GroupIcon(image, IDI_SETUP, 0).size(), 6u + 12 * 14); // twelve images
    EXPECT_NE(GroupIcon(image, IDI_SETUP, austrian), GroupIcon(image, IDI_UNINSTALL, austrian));
    FreeLibrary(image);
    EXPECT_EQ(VersionText(Installed + "\\Uninstall.exe", "FileVersion"), "1.0.0.0");

    // Started from the installation folder as a person starts it, the uninstaller runs a copy
    // of itself from a new folder in the temporary folder and waits for it. Left at once, the
    // copy removes nothing, and the uninstaller is where it was; the copy and its folder go.
    std::string temp = TempFolder();
    std::string before = RunFoldersIn(temp);
    {
        HANDLE uninstaller = StartProgram(Installed + "\\Uninstall.exe", "", Installed);
        WizardRobot robot("Uninstall - Tool v3.1.3", "Uninstall");
        ASSERT_TRUE(robot.Open());
        ASSERT_TRUE(robot.On(kUninstallWelcomePage));
        // The run folder holds the copy alone. The installed uninstaller, which goes back when
        // nothing is removed, waits next to the installation folder, where the user cannot
        // put another file in its place, never in the user's temporary folder.
        std::string runs = RunFoldersIn(temp);
        ASSERT_NE(runs, before);
        for (size_t at = 0, end; (end = runs.find('\n', at)) != std::string::npos; at = end + 1) {
            std::string run = runs.substr(at, end - at);
            if (before.find(run + "\n") == std::string::npos) {
                EXPECT_EQ(NamesMatching(temp + "\\" + run + "\\*"), "_VTUItmp.exe\n");
            }
        }
        // Next to the installation folder (as for C:\Tool the volume's root, where every user
        // may make and rename entries) there is no file of the uninstaller's: it waits in a
        // folder of its own that only the system and administrators may enter.
        std::string waiting = NamesMatching(Folder + "\\~VTU*");
        ASSERT_EQ(waiting.size(), strlen("~VTU12345678\n"));
        waiting.pop_back();
        EXPECT_TRUE(IsFolder((Folder + "\\" + waiting).c_str()));
        EXPECT_EQ(NamesMatching(Folder + "\\" + waiting + "\\*"), "Uninstall.exe\n");
        EXPECT_FALSE(Exists(Installed + "\\Uninstall.exe"));
        ASSERT_TRUE(robot.Press(IDCANCEL));
        EXPECT_TRUE(robot.Closed());
        EXPECT_EQ(ExitCodeOf(uninstaller, 30000), 1602u);
    }
    EXPECT_TRUE(Exists(Installed + "\\Uninstall.exe"));
    EXPECT_EQ(NamesMatching(Folder + "\\~VTU*"), "");
    EXPECT_TRUE(WaitFor([&] { return RunFoldersIn(temp) == before; }));

    // The quiet uninstall command that the product registered, run as a deployment tool runs
    // it: the product is removed without a window, and the command returns once it is done.
    // Nothing is left of the product or, once it has ended, of the uninstaller's run.
    DeleteFileA((temp + "\\Tool-Uninstall.log").c_str());
    std::string quiet =
        ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "QuietUninstallString", KEY_WOW64_32KEY);
    EXPECT_EQ(ExitCodeOf(StartCommand(quiet, Folder)), 0u);
    EXPECT_EQ(ReadLog(temp + "\\Tool-Uninstall.log"), "Uninstall finished successfully!\r\n");
    EXPECT_FALSE(Exists(Installed));
    EXPECT_FALSE(Exists(menu));
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName", KEY_WOW64_32KEY),
              "<missing>");
    ProductRecord record;
    memset(&record, 0, sizeof record);
    EXPECT_FALSE(ReadProductRecord("Tool", &record));
    EXPECT_TRUE(WaitFor([&] { return RunFoldersIn(temp) == before; }));
}

} // namespace
