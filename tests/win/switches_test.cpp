// The standard switches, as deployment tools (winget, Intune, Chocolatey) pass them to a setup
// and to its uninstaller: each accepted form installs where it says, each refused one exits
// with 1639, says why in the log, and leaves nothing anywhere, least of all in a folder named
// after the switch.
#include "tests/win/win_test_util.h"

#include "resources/resource.h"
#include "tests/win/robot.h"

namespace
{

class Switches : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        Setup = Path("E2ESetup.exe");
        char folder[MAX_PATH] = "";
#ifdef _WIN64
        SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, folder);
#else
        SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, folder);
#endif
        Proposed = std::string(folder) + "\\E2E";
        RemoveTree(Proposed);
    }
    void TearDown() override
    {
        RemoveTree(Proposed);
        ForgetSampleProducts();
        WindowsTest::TearDown();
    }

    std::string Setup;
    std::string Proposed; // the folder the wizard proposes for a first installation
};

// Phase 1 installs one file; phase 2 asks for a restart when the folder is C:\Restart.
const char kScript[] = "PhaseBegin 0\r\nSet #PROGRAM#, E2E\r\nSet #VERSION#, 1.0\r\nPhaseEnd\r\n"
                       "PhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\n"
                       "CopyFile EULA.txt, \"#INSTALLPATH#\"\r\nPhaseEnd\r\n"
                       "PhaseBegin 2\r\n"
                       "If \"#INSTALLPATH#\", =, \"C:\\Restart\"\r\nSet #REBOOT#, 1\r\nEndif\r\n"
                       "PhaseEnd\r\n";

TEST_F(Switches, EachSwitchInstallsWhereItSaysAndEveryOtherIsRefused)
{
    ASSERT_EQ(PackSample(Setup, kScript), 0u);
    const std::string blanks = Path("With Blanks\\Tool X");
    const std::string log = Path("logs\\setup log.txt");
    CreateDirectoryA(Path("logs").c_str(), nullptr);
    struct Case {
        std::string arguments;
        DWORD exitCode;
        std::string installedIn; // empty: nothing may be installed anywhere
        std::string logPath;
        std::string logSays;
    } cases[] = {
        {"/S", 0, Proposed, Setup + ".log", "Setup finished successfully!"},
        {"/s /D=" + blanks, 0, blanks, Setup + ".log", "Setup finished successfully!"},
        {"/S /D=\"" + blanks + "\"", 0, blanks, Setup + ".log", "finished successfully"},
        {"/S /LOG=\"" + log + "\" /D=" + blanks, 0, blanks, log, "finished successfully"},
        {"/LOG=\"logs\\setup log.txt\" /S /D=" + blanks, 0, blanks, log, "finished successfully"},
        {"\"" + blanks + "\"", 0, blanks, Setup + ".log", "finished successfully"},
        {"/S \"" + blanks + "\"", 0, blanks, Setup + ".log", "finished successfully"},
        {"/NORESTART /S /D=C:\\Restart", 3010, "C:\\Restart", Setup + ".log", "successfully"},
        {"/S /D=C:\\Restart", 3010, "C:\\Restart", Setup + ".log", "successfully"},
        {"/VERYSILENT", 1639, "", Setup + ".log", "/VERYSILENT is none of the switches"},
        {"/quiet", 1639, "", Setup + ".log", "/quiet is none of the switches"},
        {"/S /x /D=" + blanks, 1639, "", Setup + ".log", "/x is none of the switches"},
        {"/LOG", 1639, "", Setup + ".log", "/LOG is none of the switches"},
        {"--help", 1639, "", Setup + ".log", "\"--help\" is not an absolute path"},
        {"\\S", 1639, "", Setup + ".log", "\"\\S\" is not an absolute path"},
        {"/S /D=Tool", 1639, "", Setup + ".log", "\"Tool\" is not an absolute path"},
        {"/S /D=..\\x", 1639, "", Setup + ".log", "\"..\\x\" is not an absolute path"},
        {"/S /D=", 1639, "", Setup + ".log", "/D= names no folder"},
        {"/LOG=\"" + log + "\" /S /D=Tool", 1639, "", log, "is not an absolute path"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments);
        DeleteFileA((Setup + ".log").c_str());
        DeleteFileA(log.c_str());
        EXPECT_EQ(RunProgram(Setup, c.arguments, Folder), c.exitCode);
        EXPECT_EQ(Exists(c.installedIn + "\\EULA.txt"), !c.installedIn.empty());
        std::string text = ReadFileText(c.logPath);
        EXPECT_NE(text.find(c.logSays), std::string::npos) << text;
        EXPECT_EQ(text.find("Setup failed!") != std::string::npos, c.exitCode == 1639) << text;
        for (const std::string &named :
             {std::string("C:\\S"), std::string("C:\\VERYSILENT"), std::string("C:\\quiet"),
              std::string("C:\\x"), Path("--help"), Path("Tool"), Path("x"), Path("S"),
              Path("D=Tool"), std::string("C:\\--help")})
            EXPECT_FALSE(Exists(named)) << named;
        EXPECT_EQ(Exists(Proposed), c.installedIn == Proposed);
        EXPECT_EQ(Exists(blanks), c.installedIn == blanks);
        RemoveTree(Proposed);
        RemoveTree(Path("With Blanks"));
        RemoveTree("C:\\Restart");
    }
}

TEST_F(Switches, HelpShowsTheUsageAndDirectoryPrefillsTheWizard)
{
    ASSERT_EQ(
        PackSample(Setup, std::string(kScript).replace(strlen("PhaseBegin 0\r\n"), 0,
                                                       "Set #ASKPATH#, 1\r\nSet #MINFREE#, 1\r\n")),
        0u);
    for (const char *help : {"/?", "/HELP", "/S /help /D=C:\\Nowhere"}) {
        SCOPED_TRACE(help);
        MessageBoxRobot robot("Setup", IDOK);
        EXPECT_EQ(RunProgram(Setup, help, Folder), 0u);
        ASSERT_TRUE(robot.Wait());
        EXPECT_EQ(robot.Text.substr(0, 48), "Setup [/S] [/NORESTART] [/LOG=file] [/D=folder]\n");
        EXPECT_FALSE(Exists("C:\\Nowhere"));
    }
    // Without /S, /D= only proposes the folder: the person still chooses.
    WizardRobot robot("Setup - E2E v1.0", "Setup");
    RunningProgram setup(StartProgram(Setup, "/D=" + Path("Pre Filled"), Folder));
    ASSERT_TRUE(robot.Open());
    ASSERT_TRUE(robot.On(kWelcomePage));
    ASSERT_TRUE(robot.Press(IDOK));
    ASSERT_TRUE(robot.On(kLicensePage));
    ASSERT_TRUE(robot.Press(IDOK));
    ASSERT_TRUE(robot.On(kDirectoryPage)) << robot.CurrentPage();
    EXPECT_EQ(robot.Text(IDC_INSTALL_PATH), Path("Pre Filled"));
    ASSERT_TRUE(robot.Press(IDCANCEL));
    robot.Answer(IDYES);
    EXPECT_EQ(setup.ExitCode(), 1602u);
    EXPECT_FALSE(Exists(Path("Pre Filled")));
}

// The sample, as a fleet administrator deploys it: installed and removed with switches alone.
// The uninstaller's /S removes the product from the uninstaller's own folder.
TEST_F(Switches, TheSampleInstallsAndUninstallsWithSwitchesAlone)
{
    std::string setup = Path("ToolSetup.exe");
    ASSERT_TRUE(CopyFileA(BuildPath("samples/ToolSetup.exe").c_str(), setup.c_str(), FALSE));
    const std::string installed = Path("Apps\\Tool Box");
    const std::string log = Path("uninstall.log");
    EXPECT_EQ(RunProgram(setup, "/S /D=" + installed, Folder), 0u);
    ASSERT_TRUE(Exists(installed + "\\Uninstall.exe"));
    EXPECT_EQ(RunProgram(installed + "\\Uninstall.exe", "/x", Folder), 1639u);
    EXPECT_TRUE(Exists(installed + "\\Uninstall.exe")) << "a refused removal removes nothing";
    EXPECT_EQ(RunProgram(installed + "\\Uninstall.exe", "/S /LOG=" + log, Folder), 0u);
    EXPECT_TRUE(WaitFor([&] { return !Exists(installed); })) << NamesMatching(installed + "\\*");
    EXPECT_EQ(ReadLog(log), "Uninstall finished successfully!\r\n");
}

} // namespace
