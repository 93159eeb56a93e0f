// Silent installations end to end: a packed setup file copied (or packed with a script of the
// test's own and the sample's files) into a scratch folder and run as its own process, then its
// log, files and registry looked at.
#include "tests/win/win_test_util.h"

#include "base/text.h"
#include "commands/record.h"
#include "tests/win/robot.h"

namespace
{

const char kLogSuccess[] = "Setup finished successfully!\r\n";
const char kLogFailure[] = "Setup failed!\r\n";

class Install : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        Setup = Path("ToolSetup.exe");
        ASSERT_TRUE(CopyFileA(BuildPath("samples/ToolSetup.exe").c_str(), Setup.c_str(), FALSE));
        Log = Setup + ".log";
    }
    void TearDown() override
    {
        ForgetSampleProducts();
        WindowsTest::TearDown();
    }

    DWORD Run(const std::string &program, const std::string &arguments)
    {
        return RunProgram(program, arguments, Folder);
    }

    // Installs silently into Folder\Tool with `script` as the install script (empty: the
    // sample's own), packed with the sample's files.
    DWORD InstallWith(const std::string &script, const std::string &extra = "")
    {
        if (!script.empty()) {
            EXPECT_EQ(PackSample(Setup, script), 0u);
        }
        return Run(Setup, extra + "\"" + Path("Tool") + "\"");
    }

    std::string Setup;
    std::string Log;
};

TEST_F(Install, SampleProductInstallsSilently)
{
    EXPECT_EQ(InstallWith(""), 0u);
    EXPECT_EQ(ReadLog(Log), kLogSuccess);
    EXPECT_EQ(ReadFileText(Path("Tool\\EULA.txt")),
              ReadFileText(std::string("Z:") + SOURCE_DIR + "\\samples\\tool\\EULA.txt"));
    EXPECT_TRUE(Exists(Path("Tool\\Tool.exe")));

    ProductRecord r;
    memset(&r, 0, sizeof r);
    ASSERT_TRUE(ReadProductRecord("Tool", &r));
    EXPECT_EQ(r.nameCrc, Crc32("Tool", 4));
    EXPECT_EQ(r.versionMajor, 3);
    EXPECT_EQ(r.versionMinor, 1);
    EXPECT_EQ(r.forWho, 1); // silent runs install for all users
    EXPECT_EQ(r.customLoc, 0);
    EXPECT_STREQ(r.installPath, Path("Tool").c_str());
    EXPECT_STREQ(r.buyUrl, "http://www.veltrano.com/tool/buy");
}

// The log of a stopped run: the message for the code, "Setup failed!", and the line of the
// script that stopped it, as written, with its number and the code it returned.
TEST_F(Install, StoppedRunsLogTheMessageTheFailureAndTheLine)
{
    struct Case {
        const char *line;
        int code;
        std::string message;
    } cases[] = {
        {"CreateDir \"Q:\\Nowhere\\Tool\"", 7, "The specified directory could not be created!"},
        {"CopyFile EULA.txt, \"#INSTALLPATH#\\missing\\EULA.txt\"", 8,
         "A file could not be copied! If E2E is currently running,\nplease close the program "
         "and all related files and then restart Setup."},
        {"Error \"Disk full\"", 29,
         "A critical error (code Disk full) has occurred! Setup can not continue!\nPlease "
         "restart the computer and try again."},
    };
    for (const Case &c : cases) {
        // The failing command is the eighth line as an editor counts them, indented and
        // followed by blanks, after a blank line and a comment line ended by LF only.
        std::string script = std::string("PhaseBegin 0\r\nSet #PROGRAM#, E2E\r\nPhaseEnd\r\n"
                                         "\r\nPhaseBegin 1\r\n; two comment lines,\n; one\r\n  ") +
                             c.line + "  \r\nPhaseEnd\r\nPhaseBegin 2\r\nCreateDir \"" +
                             Path("phase2") + "\"\r\nPhaseEnd\r\n";
        EXPECT_EQ(InstallWith(script), 1603u) << c.line;
        EXPECT_EQ(ReadLog(Log), c.message + "\r\n" + kLogFailure + "Setup.vis line 8: " + c.line +
                                    " -> " + std::to_string(c.code) + "\r\n")
            << c.line;
        EXPECT_FALSE(Exists(Path("phase2"))) << "phase 2 ran after a failed phase 1";
    }
}

TEST_F(Install, TheEngineCarriesItsVersion)
{
    for (const std::string &file : {BuildPath("Setup.exe"), Setup}) {
        EXPECT_EQ(VersionText(file, "FileVersion"), "1.0.0.0") << file;
        EXPECT_EQ(VersionText(file, "ProductName"), "Veltrano Setup Engine") << file;
    }
}

TEST_F(Install, AnOldLogIsReplaced)
{
    WriteFileText(Log, std::string(4000, 'o'));
    EXPECT_EQ(InstallWith("PhaseBegin 0\r\nPhaseEnd\r\nPhaseBegin 1\r\nPhaseEnd\r\n"), 0u);
    EXPECT_EQ(ReadLog(Log), kLogSuccess);
}

TEST_F(Install, ExtraFilesAreCopiedAlsoAfterAFailedRun)
{
    WriteFileText(Path("readme.txt"), "read me");
    WriteFileText(Path("extra"), "no dot");
    std::string failing =
        "PhaseBegin 0\r\nPhaseEnd\r\nPhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\n"
        "Error late\r\nPhaseEnd\r\n";
    EXPECT_EQ(InstallWith(failing, "readme.txt, "), 1603u);
    EXPECT_EQ(ReadLog(Log).substr(0, 22), "A critical error (code");
    EXPECT_EQ(ReadFileText(Path("Tool\\readme.txt")), "read me");

    // After the path every argument is a file, with or without a dot.
    EXPECT_EQ(Run(Setup, "\"" + Path("Tool") + "\", extra"), 1603u);
    EXPECT_EQ(ReadFileText(Path("Tool\\extra")), "no dot");
}

// A script may refuse 64-bit Windows; on 32-bit Windows the same setup installs.
TEST_F(Install, RefusesSixtyFourBitSystemsWhenAsked)
{
    const bool refused = RunsOn64BitWindows();
    EXPECT_EQ(InstallWith("PhaseBegin 0\r\nSet #NOX64#, 1\r\nPhaseEnd\r\nPhaseBegin 1\r\n"
                          "CreateDir \"#INSTALLPATH#\"\r\nPhaseEnd\r\n"),
              refused ? 1u : 0u);
    EXPECT_EQ(Exists(Log), !refused);
    EXPECT_EQ(Exists(Path("Tool")), !refused);

    // With the wizard the refusal shows message 1043 first.
    ASSERT_EQ(PackSample(Setup, "PhaseBegin 0\r\nSet #PROGRAM#, E2E\r\nSet #NOX64#, 1\r\n"
                                "PhaseEnd\r\nPhaseBegin 1\r\nPhaseEnd\r\n"),
              0u);
    if (refused) {
        MessageBoxRobot robot("Setup", IDOK);
        EXPECT_EQ(Run(Setup, ""), 1u);
        ASSERT_TRUE(robot.Wait());
        EXPECT_EQ(robot.Text, "This version of E2E does not support 64 bit platforms.\n"
                              "Please check our website for updates or other versions.");
    } else {
        HANDLE setup = StartProgram(Setup, "", Folder);
        WizardRobot robot("Setup - E2E v#VERSION#", "Setup");
        EXPECT_TRUE(robot.Open());
        EXPECT_TRUE(robot.On(kWelcomePage));
        robot.Press(IDCANCEL);
        EXPECT_EQ(ExitCodeOf(setup, 30000), 1602u);
    }
}

TEST_F(Install, StartUpFailures)
{
    // The engine without an archive finds no script beside it.
    std::string bare = Path("Setup.exe");
    ASSERT_TRUE(CopyFileA(BuildPath("Setup.exe").c_str(), bare.c_str(), FALSE));
    EXPECT_EQ(Run(bare, "\"" + Path("Tool") + "\""), 13u);
    EXPECT_EQ(ReadLog(bare + ".log"),
              "A critical error has occured. Setup can not continue.\nMaybe the Setup file is "
              "corrupt!\r\n" +
                  std::string(kLogFailure));

    // Phase 0 fails; and a script without phase 0.
    EXPECT_EQ(
        InstallWith("PhaseBegin 0\r\nError early\r\nPhaseEnd\r\nPhaseBegin 1\r\nPhaseEnd\r\n"),
        13u);
    EXPECT_EQ(InstallWith("PhaseBegin 1\r\nPhaseEnd\r\n"), 13u);

    // Started without an installation path, a failed start-up is told in a message box.
    MessageBoxRobot robot("Setup", IDOK);
    EXPECT_EQ(Run(bare, ""), 13u);
    ASSERT_TRUE(robot.Wait());
    EXPECT_EQ(robot.Text.substr(0, 29), "A critical error has occured.");
}

// The vendor's loop: a script beside the bare engine runs as it stands, without packing, and
// takes its files from beside it too.
TEST_F(Install, TheBareEngineRunsTheScriptBesideIt)
{
    std::string bare = Path("Setup.exe");
    ASSERT_TRUE(CopyFileA(BuildPath("Setup.exe").c_str(), bare.c_str(), FALSE));
    WriteFileText(Path("Setup.vis"), "PhaseBegin 0\r\nSet #PROGRAM#, E2E\r\nPhaseEnd\r\n"
                                     "PhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\n"
                                     "CopyFile notes.txt, \"#INSTALLPATH#\"\r\nPhaseEnd\r\n");
    WriteFileText(Path("notes.txt"), "from beside the engine");
    EXPECT_EQ(Run(bare, "\"" + Path("Tool") + "\""), 0u);
    EXPECT_EQ(ReadLog(bare + ".log"), kLogSuccess);
    EXPECT_EQ(ReadFileText(Path("Tool\\notes.txt")), "from beside the engine");
}

class BuiltIns : public Install
{
  public:
    DWORD InstallWithPublic(const std::string &script)
    {
        return InstallWith(script);
    }
    const std::string &LogPublic() const
    {
        return Log;
    }
};

// The script writes what it sees into the log through Error's message.
std::string SeenBy(BuiltIns *test, const std::string &phase0, int phase, const std::string &text)
{
    std::string script = "PhaseBegin 0\r\n" + phase0 + "PhaseEnd\r\nPhaseBegin 1\r\n";
    if (phase == 1)
        script += "Error \"" + text + "\"\r\n";
    script += "PhaseEnd\r\nPhaseBegin 2\r\n";
    if (phase == 2)
        script += "Error \"" + text + "\"\r\n";
    script += "PhaseEnd\r\n";
    EXPECT_EQ(test->InstallWithPublic(script), 1603u);
    std::string log = ReadLog(test->LogPublic());
    size_t start = log.find("(code ");
    size_t end = log.find(") has occurred");
    if (start == std::string::npos || end == std::string::npos)
        return "<no error line: " + log + ">";
    return log.substr(start + 6, end - start - 6);
}

TEST_F(BuiltIns, VariablesOfASilentRun)
{
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    EXPECT_EQ(SeenBy(this, "", 1, "#SETUPMODE#|#EULA#|#OS#|#64#|#WINDOWSDIR#"),
              std::string("Setup|EULA.txt|248|") + (RunsOn64BitWindows() ? "1|" : "0|") + windows);
    // Silent: all users, default data place; the path from the command line.
    EXPECT_EQ(SeenBy(this, "", 1, "#FORWHO#|#CUSTOMLOC#|#INSTALLPATH#"), "1|0|" + Path("Tool"));
    EXPECT_EQ(SeenBy(this, "", 1, "#STARTMENU#|#STARTMENUALL#"),
              SeenBy(this, "", 1, "#STARTMENUALL#|#STARTMENU#"));
    EXPECT_EQ(SeenBy(this, "", 1, "#DESKTOPDIR#=#STARTUPDIR#"),
              SeenBy(this, "", 1, "#DESKTOPDIRALL#=#STARTUPDIRALL#"));
    // The record and the defaults are skipped: these keep what phase 0 gave them.
    EXPECT_EQ(SeenBy(this, "Set #SELEXECUTE#, 7\r\n", 1, "#CUSTOMPATH#|#SELEXECUTE#|#CONFIGPATH#"),
              "#CUSTOMPATH#|7|#CONFIGPATH#");
    // Nothing is launched after a silent installation.
    EXPECT_EQ(SeenBy(this, "", 2, "#EXECUTE#|#README#"), "0|0");
}

} // namespace
