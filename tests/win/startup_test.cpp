// Start-up: the command line, probing, and the built-in variables of both groups.
#include "tests/win/win_test_util.h"

#include <shlobj.h>

#include "base/text.h"
#include "commands/record.h"
#include "engine/run.h"
#include "engine/startup.h"

namespace
{

std::string ShellPath(int csidl)
{
    char path[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, csidl, nullptr, 0, path);
    return path;
}

class Startup : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        Instance = GetModuleHandleA(nullptr);
        SilentMode = false;
        free(ExtraFiles);
        ExtraFiles = nullptr;
        ExtraFileCount = ExtraFileCapacity = 0;
    }
    void TearDown() override
    {
        SilentMode = false;
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS | kEngineRegistryView,
                          &key) == ERROR_SUCCESS) {
            RegDeleteValueA(key, "StartRestore");
            RegCloseKey(key);
        }
        WindowsTest::TearDown();
    }
    std::vector<std::string> Extras() const
    {
        std::vector<std::string> list;
        for (int i = 0; i < ExtraFileCount; i++)
            list.push_back(ExtraFiles[i]);
        return list;
    }
    std::string Var(const char *name) const
    {
        return GetVariable(name, nullptr, 0) < 0 ? "<undefined>" : GetVariableText(name);
    }
};

TEST_F(Startup, CommandLineSplitting)
{
    using V = std::vector<std::string>;
    ParseCommandLine("");
    EXPECT_FALSE(SilentMode);
    EXPECT_EQ(Extras(), V{});

    ParseCommandLine("C:\\Apps\\Tool.new");
    EXPECT_FALSE(SilentMode);
    EXPECT_EQ(Extras(), V{"C:\\Apps\\Tool.new"});

    ParseCommandLine("readme.txt, C:\\Apps\\Tool, extra");
    EXPECT_TRUE(SilentMode);
    EXPECT_EQ(Var("#INSTALLPATH#"), "C:\\Apps\\Tool");
    EXPECT_EQ(Extras(), (V{"C:\\Apps\\Tool.new", "readme.txt", "extra"}));
}

TEST_F(Startup, QuotedPathsAndManyFiles)
{
    ParseCommandLine("\"C:\\My Apps\\Tool\"");
    EXPECT_TRUE(SilentMode);
    EXPECT_EQ(Var("#INSTALLPATH#"), "C:\\My Apps\\Tool");

    SilentMode = false;
    std::string line;
    for (int i = 0; i < 40; i++)
        line += "file" + std::to_string(i) + ".txt,";
    ParseCommandLine(line.c_str());
    EXPECT_EQ(ExtraFileCount, 40);
    EXPECT_EQ(ExtraFileCapacity, 48);
    EXPECT_STREQ(ExtraFiles[39], "file39.txt");
}

TEST_F(Startup, ProbeReportsWhatTheThirtyTwoBitEngineWould)
{
    ProbeSystem();
    OSVERSIONINFOA v = {};
    v.dwOSVersionInfoSize = sizeof v;
    GetVersionExA(&v);
    EXPECT_EQ(OsCode, OsCodeFor(v.dwPlatformId, v.dwMajorVersion, v.dwMinorVersion));
    EXPECT_GE(OsCode, 128);
    EXPECT_EQ(Is64BitWindows, RunsOn64BitWindows());
}

TEST_F(Startup, FirstGroupOfVariables)
{
    ProbeSystem();
    RunMode = 0;
    SetStartupVariables();
    EXPECT_EQ(Var("#SETUPMODE#"), "Setup");
    EXPECT_EQ(Var("#EULA#"), "EULA.txt");
    EXPECT_EQ(Var("#OS#"), std::to_string(OsCode));
    EXPECT_EQ(Var("#64#"), RunsOn64BitWindows() ? "1" : "0");
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    EXPECT_EQ(Var("#WINDOWSDIR#"), windows);
    char system[MAX_PATH];
    GetSystemDirectoryA(system, sizeof system);
    EXPECT_EQ(Var("#DRIVERSDIR#"), std::string(system) + "\\Drivers");
    EXPECT_EQ(Var("#STARTMENU#"), ShellPath(CSIDL_PROGRAMS));
    EXPECT_EQ(Var("#STARTMENUUSR#"), ShellPath(CSIDL_PROGRAMS));
    EXPECT_EQ(Var("#STARTMENUALL#"), ShellPath(CSIDL_COMMON_PROGRAMS));
    EXPECT_EQ(Var("#STARTUPDIR#"), ShellPath(CSIDL_STARTUP));
    EXPECT_EQ(Var("#STARTUPDIRALL#"), ShellPath(CSIDL_COMMON_STARTUP));
    EXPECT_EQ(Var("#DESKTOPDIR#"), ShellPath(CSIDL_DESKTOPDIRECTORY));
    EXPECT_EQ(Var("#DESKTOPDIRALL#"), ShellPath(CSIDL_COMMON_DESKTOPDIRECTORY));
    EXPECT_EQ(Var("#BUYURL#"), kMakerUrl);
    EXPECT_NE(Var("#STARTMENU#"), "");

    ResetScriptEngine();
    RunMode = 1;
    SetStartupVariables();
    EXPECT_EQ(Var("#SETUPMODE#"), "Uninstall");
    RunMode = 0;
}

TEST_F(Startup, FirstInstallationGetsDefaults)
{
    ProbeSystem();
    SetStartupVariables();
    ScriptText = "PhaseBegin 0\r\nSet #PROGRAM#, StartDefault\r\nPhaseEnd\r\n";
    Script = ScriptText.c_str();
    EXPECT_EQ(SetInstallVariables(), 0);
    std::string base = ShellPath(CSIDL_PROGRAM_FILESX86);
    EXPECT_EQ(Var("#INSTALLPATH#"), base + "\\StartDefault");
    EXPECT_EQ(Var("#CUSTOMPATH#"), base + "\\StartDefault\\Data");
    EXPECT_EQ(Var("#SELEXECUTE#"), "1");
    EXPECT_EQ(Var("#SELREADME#"), "1");
    EXPECT_EQ(Var("#SELDESKTOP#"), "1");
    EXPECT_EQ(Var("#FORWHO#"), "<undefined>");
    EXPECT_EQ(Var("#CONFIGPATH#"), "<undefined>");
}

TEST_F(Startup, SecondInstallationRestoresTheRecordedChoices)
{
    ProductRecord r;
    memset(&r, 0, sizeof r);
    r.forWho = 1;
    r.customLoc = 1;
    r.individual = 0;
    strcpy(r.installPath, "D:\\Tools\\Restore");
    strcpy(r.customPath, "D:\\ToolData");
    r.selExecute = 0;
    r.selReadme = 1;
    r.selDesktop = 0;
    ASSERT_TRUE(WriteProductRecord("StartRestore", &r));

    ProbeSystem();
    SetStartupVariables();
    ScriptText = "PhaseBegin 0\r\nSet #PROGRAM#, StartRestore\r\n"
                 "Set #URLTEXT#, Tool home\r\nSet #URLLINK#, http://tool.example/\r\nPhaseEnd\r\n";
    Script = ScriptText.c_str();
    EXPECT_EQ(SetInstallVariables(), 0);
    EXPECT_EQ(Var("#FORWHO#"), "1");
    EXPECT_EQ(Var("#CUSTOMLOC#"), "1");
    EXPECT_EQ(Var("#INDIVIDUAL#"), "0");
    EXPECT_EQ(Var("#INSTALLPATH#"), "D:\\Tools\\Restore");
    EXPECT_EQ(Var("#CUSTOMPATH#"), "D:\\ToolData");
    EXPECT_EQ(Var("#CONFIGPATH#"), "D:\\ToolData");
    EXPECT_EQ(Var("#SELEXECUTE#"), "0");
    EXPECT_EQ(Var("#SELREADME#"), "1");
    EXPECT_EQ(Var("#SELDESKTOP#"), "0");
    // Installed for all users: the folders are the all-users ones before any page opens.
    EXPECT_EQ(Var("#DESKTOPDIR#"), Var("#DESKTOPDIRALL#"));
    EXPECT_EQ(Var("#STARTMENU#"), Var("#STARTMENUALL#"));
    EXPECT_STREQ(LinkText, "Tool home");
    EXPECT_STREQ(LinkTarget, "http://tool.example/");
    CopyText(LinkText, sizeof LinkText, "www.veltrano.com");
    CopyText(LinkTarget, sizeof LinkTarget, kMakerUrl);
}

TEST_F(Startup, InstallPathFromPhaseZeroSkipsTheRecord)
{
    ScriptText = "PhaseBegin 0\r\nSet #PROGRAM#, StartRestore\r\nSet #INSTALLPATH#, C:\\Given\r\n"
                 "PhaseEnd\r\n";
    Script = ScriptText.c_str();
    EXPECT_EQ(SetInstallVariables(), 0);
    EXPECT_EQ(Var("#INSTALLPATH#"), "C:\\Given");
    EXPECT_EQ(Var("#CUSTOMPATH#"), "<undefined>");
    EXPECT_EQ(Var("#SELEXECUTE#"), "<undefined>");
}

TEST_F(Startup, FailingPhaseZeroEndsTheSecondGroup)
{
    ScriptText = "PhaseBegin 0\r\nError stop\r\nPhaseEnd\r\n";
    Script = ScriptText.c_str();
    EXPECT_EQ(SetInstallVariables(), kErrScriptError);
    EXPECT_EQ(Var("#INSTALLPATH#"), "<undefined>");
    ScriptText = "PhaseBegin 1\r\nPhaseEnd\r\n";
    Script = ScriptText.c_str();
    EXPECT_EQ(SetInstallVariables(), kErrPhaseMissing);
}

} // namespace
