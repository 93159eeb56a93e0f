// Runs as a deployment tool makes them: silent setups and uninstallers whose exit code tells
// what happened (read whole, as Windows reports it), the guard that keeps two runs of one
// product apart, and the logs an administrator or a vendor reads afterwards. The same codes
// with the wizard, as a person ends it.
#include "tests/win/win_test_util.h"

#include "base/security.h"
#include "tests/win/robot.h"

namespace
{

const char kProduct[] = "PhaseBegin 0\r\nSet #PROGRAM#, E2E\r\nSet #VERSION#, 1.0\r\n";

class Unattended : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        Setup = Path("E2ESetup.exe");
        Log = Setup + ".log";
        Target = Path("E2E");
    }
    void TearDown() override
    {
        ForgetSampleProducts();
        WindowsTest::TearDown();
    }

    // Packs `phases` (phase 0 continued, then the others) and installs silently into Target.
    DWORD InstallWith(const std::string &phases)
    {
        EXPECT_EQ(PackSample(Setup, kProduct + phases), 0u);
        return RunProgram(Setup, "\"" + Target + "\"", Folder);
    }

    std::string Setup;
    std::string Log;
    std::string Target;
};

TEST_F(Unattended, SilentRunsTellTheirOutcomeByTheirExitCode)
{
    struct Case {
        const char *what;
        std::string phases;
        DWORD exitCode;
        bool logged;
    } cases[] = {
        {"finished", "PhaseEnd\r\nPhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\nPhaseEnd\r\n", 0,
         true},
        {"a restart asked for, never done by a silent run",
         "PhaseEnd\r\nPhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\nPhaseEnd\r\n"
         "PhaseBegin 2\r\nSet #REBOOT#, 1\r\nPhaseEnd\r\n",
         3010, true},
        {"phase 1 failed", "PhaseEnd\r\nPhaseBegin 1\r\nError broken\r\nPhaseEnd\r\n", 1603, true},
        {"phase 2 failed",
         "PhaseEnd\r\nPhaseBegin 1\r\nPhaseEnd\r\nPhaseBegin 2\r\nError late\r\nPhaseEnd\r\n", 1603,
         true},
        {"a failure after a restart was asked for",
         "Set #REBOOT#, 1\r\nPhaseEnd\r\nPhaseBegin 1\r\nError broken\r\nPhaseEnd\r\n", 1603, true},
        {"start-up failed", "Error early\r\nPhaseEnd\r\nPhaseBegin 1\r\nPhaseEnd\r\n", 13, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileA(Log.c_str());
        EXPECT_EQ(InstallWith(c.phases), c.exitCode);
        EXPECT_EQ(Exists(Log), c.logged);
    }
}

// A named guard per product keeps a second setup or uninstaller of the same product from
// running while one runs: the second exits at once with 1618, writes nothing and leaves the
// first one's log alone; with the wizard it says so first.
TEST_F(Unattended, OnlyOneRunOfAProductAtATime)
{
    const std::string phases = "PhaseEnd\r\nPhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\n"
                               "PhaseEnd\r\n";
    ASSERT_EQ(PackSample(Setup, kProduct + phases), 0u);
    WriteFileText(Log, "the first run's log");
    HANDLE guard = nullptr;
    ASSERT_TRUE(TakeProductGuard("VeltranoSetup-E2E", true, &guard));
    ASSERT_NE(guard, nullptr);
    EXPECT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 1618u);
    EXPECT_FALSE(Exists(Target));
    EXPECT_EQ(ReadFileText(Log), "the first run's log");
    {
        MessageBoxRobot robot("Setup", IDOK);
        EXPECT_EQ(RunProgram(Setup, "", Folder), 1618u);
        ASSERT_TRUE(robot.Wait());
        EXPECT_EQ(robot.Text, "E2E is being installed or removed by another Setup or Uninstall "
                              "right now.\nPlease wait until it has finished, then start Setup "
                              "again.");
    }
    // Another product is not held up.
    ASSERT_EQ(PackSample(Path("Other.exe"), "PhaseBegin 0\r\nSet #PROGRAM#, Other\r\n" + phases),
              0u);
    EXPECT_EQ(RunProgram(Path("Other.exe"), "\"" + Path("Other") + "\"", Folder), 0u);
    CloseHandle(guard);
    EXPECT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 0u);
    EXPECT_TRUE(Exists(Target));
}

// The guard's name is no lock that anyone may take: a program of a user that made a mutex of that
// name before the setup ran holds up no installation.
TEST_F(Unattended, AGuardNameTakenFirstByAnotherProgramDoesNotStopTheSetup)
{
    ASSERT_EQ(PackSample(Setup, std::string(kProduct) +
                                    "PhaseEnd\r\nPhaseBegin 1\r\n"
                                    "CreateDir \"#INSTALLPATH#\"\r\nPhaseEnd\r\n"),
              0u);
    const char name[] = "Global\\VeltranoSetup-E2E";
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    RunningProgram squatter(StartProgram(self, std::string("--mutex ") + name + " 60000", Folder));
    ASSERT_TRUE(WaitFor([&] {
        HANDLE taken = OpenMutexA(SYNCHRONIZE, FALSE, name);
        return taken && CloseHandle(taken);
    }));
    EXPECT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 0u);
    EXPECT_TRUE(Exists(Target));
    EXPECT_EQ(ReadLog(Log), "Setup finished successfully!\r\n");
}

// The uninstaller of a product whose setup runs waits its turn in the same way.
TEST_F(Unattended, TheUninstallerKeepsToTheGuardToo)
{
    std::string setup = Path("ToolSetup.exe");
    std::string installed = Path("Tool");
    ASSERT_TRUE(CopyFileA(BuildPath("samples/ToolSetup.exe").c_str(), setup.c_str(), FALSE));
    ASSERT_EQ(RunProgram(setup, "\"" + installed + "\"", Folder), 0u);
    HANDLE guard = nullptr;
    ASSERT_TRUE(TakeProductGuard("VeltranoSetup-Tool", true, &guard));
    EXPECT_EQ(RunProgram(installed + "\\Uninstall.exe", "\"" + installed + "\"", Folder), 1618u);
    EXPECT_TRUE(Exists(installed + "\\Uninstall.exe")) << "the uninstaller must stay usable";
    CloseHandle(guard);
    EXPECT_EQ(RunProgram(installed + "\\Uninstall.exe", "\"" + installed + "\"", Folder), 0u);
    EXPECT_FALSE(Exists(installed));
}

// With the wizard: a failure answered Cancel gives 1603; a restart the person puts off, 3010.
TEST_F(Unattended, WizardRunsTellTheirOutcomeByTheirExitCode)
{
    WizardRobot robot("Setup - E2E v1.0", "Setup");
    // Welcome, then Yes on the licence: the installation starts.
    auto acceptTheLicence = [&] {
        ASSERT_TRUE(robot.Open());
        ASSERT_TRUE(robot.On(kWelcomePage));
        ASSERT_TRUE(robot.Press(IDOK));
        ASSERT_TRUE(robot.On(kLicensePage));
        ASSERT_TRUE(robot.Press(IDOK));
    };
    ASSERT_EQ(PackSample(Setup, std::string(kProduct) +
                                    "PhaseEnd\r\nPhaseBegin 1\r\nError broken\r\nPhaseEnd\r\n"),
              0u);
    {
        RunningProgram setup(StartProgram(Setup, "", Folder));
        acceptTheLicence();
        EXPECT_EQ(robot.Answer(IDOK).substr(0, 24), "A critical error (code b");
        EXPECT_EQ(setup.ExitCode(), 1603u);
    }

    ASSERT_EQ(PackSample(Setup, std::string(kProduct) +
                                    "PhaseEnd\r\nPhaseBegin 1\r\nPhaseEnd\r\nPhaseBegin 2\r\n"
                                    "Set #REBOOT#, 1\r\nPhaseEnd\r\n"),
              0u);
    RunningProgram setup(StartProgram(Setup, "", Folder));
    acceptTheLicence();
    ASSERT_TRUE(robot.On(kFinishPage));
    MessageBoxRobot restart("Setup", IDCANCEL);
    ASSERT_TRUE(robot.Press(IDOK));
    ASSERT_TRUE(restart.Wait());
    EXPECT_EQ(restart.Text.substr(0, 41), "Your computer must be restarted to comple");
    EXPECT_EQ(setup.ExitCode(), 3010u);
    EXPECT_FALSE(Exists(Log)) << "a run with the wizard writes no log";
}

// With #LOGDETAIL# = 1 every command the interpreter runs is logged with its line, its
// arguments expanded, its result and the time it took; the usual lines and the failing line
// follow, and the exit code last.
TEST_F(Unattended, TheDetailLogNamesEveryCommand)
{
    std::string phases = "Set #LOGDETAIL#, 1\r\nSet #WHERE#, \"#INSTALLPATH#\\sub\"\r\n"
                         "PhaseEnd\r\nPhaseBegin 1\r\nCreateDir \"#WHERE#\"\r\n"
                         "If #VERSION#, =, 1.0\r\n  Status2 \"long " +
                         std::string(500, 'x') +
                         "\"\r\nEndif\r\nCopyFile Missing.txt, \"#WHERE#\"\r\nPhaseEnd\r\n";
    EXPECT_EQ(InstallWith(phases), 1603u);
    std::string log = ReadLog(Log);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(log.substr(at, end - at));
    ASSERT_GE(lines.size(), 9u) << log;
    // Phase 0 runs at start-up and again in the silent run; the line that turns detail on is
    // not itself logged the first time.
    std::string first =
        "Setup.vis line 5, phase 0: Set \"#WHERE#\", \"" + Target + "\\sub\" -> 0 (";
    EXPECT_EQ(lines[0].substr(0, first.size()), first);
    EXPECT_NE(log.find("Setup.vis line 8, phase 1: CreateDir \"" + Target + "\\sub\" -> 0 ("),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Setup.vis line 9, phase 1: If \"1.0\", \"=\", \"1.0\" -> 0 ("),
              std::string::npos);
    // A long argument is logged whole, and only as long as one line's expansion.
    for (const std::string &line : lines)
        EXPECT_LT(line.size(), 3072u);
    EXPECT_NE(log.find("Status2 \"long " + std::string(500, 'x') + "\" -> 0"), std::string::npos);
    EXPECT_NE(log.find("Setup.vis line 12, phase 1: CopyFile \"Missing.txt\", \"" + Target +
                       "\\sub\" -> 17 ("),
              std::string::npos);
    EXPECT_EQ(lines[lines.size() - 4],
              "A critical error has occured. Setup can not continue.\nMaybe the Setup file is "
              "corrupt!");
    EXPECT_EQ(lines[lines.size() - 3], "Setup failed!");
    EXPECT_EQ(lines[lines.size() - 2],
              "Setup.vis line 12: CopyFile Missing.txt, \"#WHERE#\" -> 17");
    EXPECT_EQ(lines.back(), "Exit code 1603");
}

// A log that cannot be written (here: a folder stands where it would go) never stops a run.
TEST_F(Unattended, ALogThatCannotBeWrittenDoesNotStopTheRun)
{
    ASSERT_EQ(PackSample(Setup, std::string(kProduct) +
                                    "Set #LOGDETAIL#, 1\r\nPhaseEnd\r\nPhaseBegin 1\r\n"
                                    "CreateDir \"#INSTALLPATH#\"\r\nPhaseEnd\r\n"),
              0u);
    ASSERT_TRUE(CreateDirectoryA(Log.c_str(), nullptr));
    EXPECT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 0u);
    EXPECT_TRUE(Exists(Target));
    RemoveDirectoryA(Log.c_str());
}

} // namespace
