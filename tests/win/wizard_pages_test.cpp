// The wizard run inside the test process with a script of the test's own, worked by the robot
// from a second thread: the sequence, what the pages store, the checks at their boundaries
// (free space, administrator, missing texts), the progress page's messages and answers, the
// finish choices, and the geometry of the banner and the link.
#include "tests/win/win_test_util.h"

#include <algorithm>
#include <functional>
#include <thread>

#include "archive/archive.h"
#include "archive/format.h"
#include "base/text.h"
#include "commands/journal.h"
#include "resources/resource.h"
#include "script/phase_thread.h"
#include "tests/win/robot.h"
#include "ui/language.h"
#include "ui/wizard.h"

namespace
{

const char kCaption[] = "Setup - E2E v1.0";

uint64_t FreeBytes;
BOOL WINAPI FakeFreeSpace(LPCSTR, PULARGE_INTEGER available, PULARGE_INTEGER, PULARGE_INTEGER)
{
    available->QuadPart = FreeBytes;
    return TRUE;
}
BOOL WINAPI NotAnAdmin(void)
{
    return FALSE;
}
int FolderFailures;
BOOL WINAPI FailingCreateDirectory(LPCSTR path, LPSECURITY_ATTRIBUTES security)
{
    if (strstr(path, "Made") && FolderFailures > 0) {
        FolderFailures--;
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return CreateDirectoryA(path, security);
}

class WizardPages : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        InstallSystemCommandsForTest();
        ProgressSend = SavedSend; // the real SendMessage: the pages receive the phase's messages
        Instance = GetModuleHandleA(nullptr);
        WriteFileText(Path("EULA.txt"), "Terms.\r\nMore terms.");
        Prepare(0, {});
    }

    void TearDown() override
    {
        if (JournalRecording())
            CommitJournal(); /* a test that stopped early leaves no journal to the next */
        RunMode = 0;
        WizardCancelled = 0;
        RebootRequested = 0;
        RunOutcome = 0;
        // Back to the test program's own file, should a test have pointed the archive elsewhere.
        GetModuleFileNameA(nullptr, EngineFilePath, sizeof EngineFilePath);
        ArchiveStart = 0;
        ArchiveIsComplete();
        WindowsTest::TearDown();
    }

    // A fresh variable table as start-up leaves it for the mode, without the names `omitted`,
    // and a script whose phase 1 only marks that it ran.
    void Prepare(int mode, std::initializer_list<const char *> omitted)
    {
        ClearVariables();
        RunMode = mode;
        WizardCancelled = 0;
        RebootRequested = 0;
        RunOutcome = 0;
        const char *values[][2] = {
            {"#SETUPMODE#", mode == 1 ? "Uninstall" : "Setup"},
            {"#PROGRAM#", "E2E"},
            {"#VERSION#", "1.0"},
            {"#ASKPATH#", "1"},
            {"#MINFREE#", "1"},
            {"#EULA#", nullptr},
            {"#INSTALLPATH#", nullptr},
            {"#CUSTOMPATH#", nullptr},
            {"#STARTMENUALL#", "all-menu"},
            {"#STARTMENUUSR#", "user-menu"},
            {"#DESKTOPDIRALL#", "all-desktop"},
            {"#DESKTOPDIRUSR#", "user-desktop"},
            {"#STARTUPDIRALL#", "all-startup"},
            {"#STARTUPDIRUSR#", "user-startup"},
        };
        for (auto &v : values) {
            bool skip = false;
            for (const char *name : omitted)
                skip = skip || strcmp(name, v[0]) == 0;
            if (skip)
                continue;
            std::string value = v[1] ? v[1] : "";
            if (strcmp(v[0], "#EULA#") == 0)
                value = Path("EULA.txt");
            if (strcmp(v[0], "#INSTALLPATH#") == 0)
                value = Path("E2E");
            if (strcmp(v[0], "#CUSTOMPATH#") == 0)
                value = Path("Data");
            SetVariable(v[0], value.c_str());
        }
        UseScript("PhaseBegin 1\r\nSet #RAN#, 1\r\nPhaseEnd\r\n");
    }

    void UseScript(const std::string &text)
    {
        ScriptText = text;
        Script = ScriptText.c_str();
    }

    // Runs the wizard on this thread while `person` works it from another. A person who stops
    // early leaves the frame open: it is then ended, and the test fails.
    void Walk(const std::function<void(WizardRobot &)> &person)
    {
        char caption[kTextSize] = "#SETUPMODE# - #PROGRAM# v#VERSION#";
        ExpandVariables(caption, sizeof caption);
        const char *box = RunMode == 1 ? "Uninstall" : "Setup";
        std::thread robotThread([&] {
            WizardRobot robot(caption, box);
            if (robot.Open())
                person(robot);
            else
                ADD_FAILURE() << "the wizard did not open";
            if (!robot.Closed(10000)) {
                ADD_FAILURE() << "the wizard is still open";
                for (int attempt = 0; attempt < 5 && !robot.Closed(500); attempt++) {
                    if (robot.CurrentPage() == kFinishPage ||
                        robot.CurrentPage() == kUninstallFinishPage)
                        robot.Press(IDOK);
                    robot.Close();
                    robot.Answer(IDYES, 1000);
                }
            }
        });
        RunWizard();
        robotThread.join();
        EXPECT_TRUE(WaitForPhaseThread(10000)) << "the worker is still running";
        DestroyWizardControls();
    }

    std::string Variable(const char *name)
    {
        char value[kTextSize];
        return GetVariable(name, value, sizeof value) < 0 ? "<undefined>" : value;
    }
};

// Forward from the page shown now to `page`.
void ForwardTo(WizardRobot &robot, WizardPage page)
{
    const WizardPage order[] = {kWelcomePage, kLicensePage, kDirectoryPage, kFinishPage};
    ASSERT_TRUE(WaitFor([&] { return robot.CurrentPage() != kNoPage; }));
    bool reached = false;
    for (WizardPage step : order) {
        reached = reached || robot.CurrentPage() == step;
        if (!reached)
            continue;
        ASSERT_TRUE(robot.On(step)) << "page " << step;
        if (step == page)
            return;
        robot.Press(IDOK);
    }
    FAIL() << "page " << page << " not reached";
}

TEST_F(WizardPages, DirectoryPageFollowsAskPathWhenDefined)
{
    struct Case {
        bool defined;
        const char *value;
        WizardPage afterLicense;
    } cases[] = {{false, "", kFinishPage}, {true, "0", kDirectoryPage}, {true, "", kDirectoryPage}};
    for (const Case &c : cases) {
        if (c.defined) {
            Prepare(0, {});
            SetVariable("#ASKPATH#", c.value);
        } else {
            Prepare(0, {"#ASKPATH#"});
        }
        Walk([&](WizardRobot &robot) {
            ForwardTo(robot, kLicensePage);
            EXPECT_EQ(robot.Text(IDC_LICENSE_TEXT), "Terms.\r\nMore terms.");
            robot.Press(IDOK);
            ASSERT_TRUE(robot.On(c.afterLicense));
            if (c.afterLicense == kDirectoryPage) {
                robot.Press(IDOK);
                ASSERT_TRUE(robot.On(kFinishPage));
            }
            robot.Press(IDOK);
        });
        EXPECT_EQ(WizardCancelled, 0) << c.value;
        EXPECT_EQ(Variable("#RAN#"), "1") << c.value;
    }
}

TEST_F(WizardPages, DirectoryPageStoresTheChoices)
{
    // #FORWHO# 2 checks neither radio; Install stores the current user.
    SetVariable("#FORWHO#", "2");
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kDirectoryPage);
        EXPECT_FALSE(robot.Ticked(IDC_FOR_CURRENT_USER));
        EXPECT_FALSE(robot.Ticked(IDC_FOR_ALL_USERS));
        EXPECT_TRUE(robot.Ticked(IDC_SETTINGS_INDIVIDUAL)) << "undefined counts as individual";
        robot.Type(IDC_INSTALL_PATH, Path("Chosen") + "\\");
        robot.Type(IDC_CUSTOM_PATH, "not looked at");
        ForwardTo(robot, kFinishPage);
        robot.Press(IDOK);
    });
    EXPECT_EQ(Variable("#FORWHO#"), "0");
    EXPECT_EQ(Variable("#INSTALLPATH#"), Path("Chosen"));
    EXPECT_TRUE(IsFolder(Path("Chosen").c_str()));
    EXPECT_EQ(Variable("#CUSTOMLOC#"), "0");
    EXPECT_EQ(Variable("#CUSTOMPATH#"), Path("Data")) << "kept without a custom location";
    EXPECT_EQ(Variable("#INDIVIDUAL#"), "<undefined>");
    EXPECT_EQ(Variable("#STARTMENU#") + Variable("#DESKTOPDIR#") + Variable("#STARTUPDIR#"),
              "user-menuuser-desktopuser-startup");

    // All users, with a custom data folder shared by all.
    Prepare(0, {});
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kDirectoryPage);
        robot.Press(IDC_FOR_ALL_USERS);
        robot.Press(IDC_DATA_CUSTOM);
        EXPECT_TRUE(WaitFor([&] { return robot.Enabled(IDC_SETTINGS_SHARED); }, 5000));
        robot.Press(IDC_SETTINGS_SHARED);
        robot.Type(IDC_CUSTOM_PATH, Path("Shared"));
        ForwardTo(robot, kFinishPage);
        robot.Press(IDOK);
    });
    EXPECT_EQ(Variable("#FORWHO#") + Variable("#CUSTOMLOC#") + Variable("#INDIVIDUAL#"), "110");
    EXPECT_EQ(Variable("#CUSTOMPATH#"), Path("Shared"));
    EXPECT_TRUE(IsFolder(Path("Shared").c_str()));
    EXPECT_EQ(Variable("#STARTMENU#") + Variable("#DESKTOPDIR#") + Variable("#STARTUPDIR#"),
              "all-menuall-desktopall-startup");
}

TEST_F(WizardPages, FreeSpaceOfExactlyTheMinimumIsEnough)
{
    Sys.GetDiskFreeSpaceExU = FakeFreeSpace;
    SetVariable("#MINFREE#", "1.9"); // whole megabytes: 1
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kDirectoryPage);
        FreeBytes = 1048575;
        robot.Press(IDOK);
        EXPECT_EQ(robot.Answer(IDOK).substr(0, 41), "E2E requires at least 1.9 MB of disk spac");
        EXPECT_TRUE(robot.On(kDirectoryPage, 1000));
        FreeBytes = 1048576;
        robot.Press(IDOK);
        ASSERT_TRUE(robot.On(kFinishPage));
        robot.Press(IDOK);
    });
    EXPECT_EQ(Variable("#RAN#"), "1");
}

// The installation folder usually does not exist yet: its drive's free space is checked all the
// same, and nothing is created when it is too little.
TEST_F(WizardPages, FreeSpaceIsCheckedForANewFolder)
{
    SetVariable("#MINFREE#", "999999999");
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kDirectoryPage);
        robot.Type(IDC_INSTALL_PATH, Path("New\\Deeper\\E2E"));
        robot.Press(IDOK);
        EXPECT_EQ(robot.Answer(IDOK, 5000).substr(0, 50),
                  "E2E requires at least 999999999 MB of disk space.\n");
        EXPECT_TRUE(robot.On(kDirectoryPage, 1000));
        EXPECT_FALSE(Exists(Path("New")));
        robot.Press(IDCANCEL);
        robot.Answer(IDYES, 5000);
    });
    EXPECT_EQ(Variable("#RAN#"), "<undefined>");
}

// The licence is accepted only on purpose: the keyboard focus is on its text, where Space
// accepts nothing, and the second click of a double-click on Next does not land on Yes.
TEST_F(WizardPages, LicenseIsAcceptedOnlyOnPurpose)
{
    Walk([&](WizardRobot &robot) {
        ASSERT_TRUE(robot.On(kWelcomePage));
        robot.Press(IDOK);
        ASSERT_TRUE(robot.On(kLicensePage));
        robot.PressAtOnce(IDOK);
        Sleep(GetDoubleClickTime());
        EXPECT_EQ(robot.CurrentPage(), kLicensePage) << "the second click accepted the licence";

        // The suites of other prefixes share the display, and their windows may take the
        // keyboard focus meanwhile: activating the frame gives it back to the page's control.
        EXPECT_TRUE(robot.Activate());
        EXPECT_TRUE(
            WaitFor([&] { return robot.Focused() == robot.Control(IDC_LICENSE_TEXT); }, 2000))
            << "the focus is on control " << GetDlgCtrlID(robot.Focused());
        EXPECT_TRUE(robot.KeyOnFocus(VK_SPACE));
        Sleep(500);
        EXPECT_EQ(robot.CurrentPage(), kLicensePage) << "Space accepted the licence";

        robot.Press(IDOK);
        EXPECT_TRUE(robot.On(kDirectoryPage, 5000));
        robot.Press(IDCANCEL);
        robot.Answer(IDYES, 5000);
    });
    EXPECT_EQ(WizardCancelled, 1);
}

// A script without phase 1 says so and ends the wizard, in both modes.
TEST_F(WizardPages, ScriptWithoutPhaseOneEndsTheWizard)
{
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode == 0 ? "setup" : "uninstall");
        Prepare(mode, {});
        UseScript("PhaseBegin 0\r\nPhaseEnd\r\nPhaseBegin 2\r\nSet #TWO#, 1\r\nPhaseEnd\r\n");
        Walk([&](WizardRobot &robot) {
            if (mode == 0) {
                ForwardTo(robot, kDirectoryPage);
            } else {
                ASSERT_TRUE(robot.On(kUninstallWelcomePage));
            }
            robot.Press(IDOK);
            EXPECT_EQ(robot.Answer(IDOK, 10000).substr(0, 29), "A critical error has occured.");
            EXPECT_EQ(robot.BoxButtons, std::vector<int>{IDOK});
            EXPECT_TRUE(robot.Closed(5000));
        });
        EXPECT_EQ(WizardCancelled, 1);
        EXPECT_EQ(RunOutcome, kExitFailed);
        EXPECT_EQ(Variable("#TWO#"), "<undefined>");
    }
}

// Stands for an earlier worker that has not ended yet.
DWORD WINAPI BusyWorker(LPVOID)
{
    Sleep(3000);
    return 0;
}

// A worker that cannot start (here: an earlier one still runs) is a failure the page shows
// with OK only; the wizard ends instead of waiting for a phase that never runs.
TEST_F(WizardPages, AWorkerThatCannotStartEndsTheWizard)
{
    Prepare(0, {});
    UseScript("PhaseBegin 1\r\nSet #RAN#, 1\r\nPhaseEnd\r\n");
    PhaseThread = CreateThread(nullptr, 0, BusyWorker, nullptr, 0, nullptr);
    ASSERT_NE(PhaseThread, nullptr);
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kDirectoryPage);
        robot.Press(IDOK);
        EXPECT_EQ(robot.Answer(IDOK, 10000).substr(0, 29), "A critical error has occured.");
        EXPECT_EQ(robot.BoxButtons, std::vector<int>{IDOK});
        EXPECT_TRUE(robot.Closed(5000));
    });
    EXPECT_TRUE(WaitForPhaseThread(10000));
    EXPECT_EQ(RunOutcome, kExitFailed);
    EXPECT_EQ(Variable("#RAN#"), "<undefined>");
}

// An entry of the setup file that is damaged is no file in use: the person is told that the
// setup file may be corrupt, with OK only, and the wizard ends.
TEST_F(WizardPages, DamagedEntryIsNotRetried)
{
    std::string setup = ReadFileText(BuildPath("samples/ToolSetup.exe"));
    size_t start = LocateArchive((const uint8_t *)setup.data(), setup.size());
    ASSERT_NE(start, 0u);
    DamageEntry(setup, "EULA.txt", start);
    WriteFileText(Path("Sample.exe"), setup);
    CopyText(EngineFilePath, sizeof EngineFilePath, Path("Sample.exe").c_str());
    ArchiveStart = 0;
    UseScript("PhaseBegin 1\r\nCopyFile EULA.txt, \"" + Path("EULA.copy") +
              "\"\r\nSet #RAN#, 1\r\nPhaseEnd\r\n");
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kDirectoryPage);
        robot.Press(IDOK);
        EXPECT_EQ(robot.Answer(IDOK, 10000),
                  "A critical error has occured. Setup can not continue.\nMaybe the Setup file is "
                  "corrupt!");
        EXPECT_EQ(robot.BoxButtons, std::vector<int>{IDOK});
        EXPECT_TRUE(robot.Closed(5000));
    });
    EXPECT_EQ(WizardCancelled, 1);
    EXPECT_EQ(RunOutcome, kExitFailed);
    EXPECT_EQ(Variable("#RAN#"), "<undefined>");
    EXPECT_FALSE(Exists(Path("EULA.copy")));
}

TEST_F(WizardPages, MissingTextsAndRightsEndTheWizard)
{
    // A user who is not an administrator is told so and the wizard ends.
    Sys.IsUserAnAdmin = NotAnAdmin;
    Walk([&](WizardRobot &robot) {
        ASSERT_TRUE(robot.On(kWelcomePage));
        robot.Press(IDOK);
        EXPECT_EQ(robot.Answer(IDOK), "You must have Administrator Privileges to run this "
                                      "program!\nClick OK to quit Setup.");
    });
    EXPECT_EQ(WizardCancelled, 1);
    ResetSystemCalls();

    // Without the licence text one message, and the wizard ends.
    for (bool defined : {false, true}) {
        Prepare(0, {"#EULA#"});
        if (defined)
            SetVariable("#EULA#", "Missing.txt");
        Walk([&](WizardRobot &robot) {
            ASSERT_TRUE(robot.On(kWelcomePage));
            robot.Press(IDOK);
            EXPECT_EQ(robot.Answer(IDOK).substr(0, 29), "A critical error has occured.");
            EXPECT_TRUE(robot.Closed(5000));
            EXPECT_TRUE(robot.NoBox(500));
        });
        EXPECT_EQ(WizardCancelled, 1);
    }

    // The directory page tells of each missing variable once and opens all the same.
    Prepare(0, {"#INSTALLPATH#", "#CUSTOMPATH#", "#MINFREE#"});
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kLicensePage);
        robot.Press(IDOK);
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(robot.Answer(IDOK).substr(0, 29), "A critical error has occured.");
        ASSERT_TRUE(robot.On(kDirectoryPage));
        EXPECT_EQ(robot.Text(IDC_INSTALL_PATH), "");
        robot.Close();
        EXPECT_EQ(robot.Answer(IDYES).substr(0, 22), "Setup is not complete.");
    });
}

TEST_F(WizardPages, WelcomePageBreaksTheDescriptionAtBackslashN)
{
    SetVariable("#DESCR#", "One\\nTwo\\n\\nThree \\x \\");
    Walk([&](WizardRobot &robot) {
        ASSERT_TRUE(robot.On(kWelcomePage));
        EXPECT_EQ(robot.Text(IDC_DESCRIPTION), "One\nTwo\n\nThree \\x \\");
        EXPECT_EQ(robot.Caption(), kCaption);
        robot.Key(VK_ESCAPE);
    });
    EXPECT_EQ(WizardCancelled, 1);
}

// The progress page: status lines and percentage while phase 1 runs, and the answers to the
// error query.
TEST_F(WizardPages, ProgressPageAnswersTheErrorQuery)
{
    std::string target = Path("Made");
    UseScript("PhaseBegin 1\r\nStatus \"Step one\"\r\nStatus2 \"Detail\"\r\nCreateDir \"" + target +
              "\"\r\nSet #RAN#, 1\r\nPhaseEnd\r\nPhaseBegin 2\r\nSet #TWO#, 1\r\n"
              "PhaseEnd\r\n");
    Sys.CreateDirectoryU = FailingCreateDirectory;

    // Retry once the cause is gone: the command runs again and the run goes on.
    FolderFailures = 11; // every attempt of the first try
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kDirectoryPage);
        robot.Press(IDOK);
        std::string message = robot.Answer(IDRETRY);
        EXPECT_EQ(message, "The specified directory could not be created!");
        ASSERT_TRUE(robot.On(kFinishPage));
        robot.Press(IDOK);
    });
    EXPECT_EQ(WizardCancelled, 0);
    EXPECT_TRUE(IsFolder(target.c_str()));
    EXPECT_EQ(Variable("#RAN#") + Variable("#TWO#"), "11");

    // Cancel ends the worker and the wizard; nothing after the failing line runs.
    Prepare(0, {});
    UseScript("PhaseBegin 1\r\nStatus \"Step one\"\r\nStatus2 \"Detail\"\r\nCreateDir \"" +
              Path("Made2") + "\"\r\nSet #RAN#, 1\r\nPhaseEnd\r\n");
    FolderFailures = 1000;
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kDirectoryPage);
        robot.Press(IDOK);
        ASSERT_TRUE(robot.On(kProgressPage));
        EXPECT_EQ(robot.Answer(IDCANCEL), "The specified directory could not be created!");
    });
    EXPECT_EQ(WizardCancelled, 1);
    EXPECT_EQ(Variable("#RAN#"), "<undefined>");
    EXPECT_EQ(PhaseThread, nullptr);
}

TEST_F(WizardPages, ProgressPageShowsThePhase)
{
    UseScript("PhaseBegin 1\r\nStatus \"Step one\"\r\nStatus2 \"Detail\"\r\n"
              "Error \"stop\"\r\nSet #RAN#, 1\r\nPhaseEnd\r\n");
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kDirectoryPage);
        robot.Press(IDOK);
        ASSERT_TRUE(robot.On(kProgressPage));
        // While the error message is open the worker waits: the page shows where it is.
        HWND box = nullptr;
        ASSERT_TRUE(WaitFor([&] { return (box = FindWindowA("#32770", "Setup")) != nullptr; }));
        EXPECT_EQ(robot.Text(IDC_STATUS), "Step one");
        EXPECT_EQ(robot.Text(IDC_STATUS2), "Detail");
        EXPECT_GT(robot.ProgressPosition(), 0);
        EXPECT_LT(robot.ProgressPosition(), 100);
        EXPECT_FALSE(robot.Enabled(IDOK));
        // A message whose only button is OK ends the wizard once it is read.
        EXPECT_EQ(robot.Answer(IDOK).substr(0, 27), "A critical error (code stop");
    });
    EXPECT_EQ(WizardCancelled, 1);
    EXPECT_EQ(Variable("#RAN#"), "<undefined>");
}

TEST_F(WizardPages, CancelDuringALongPhaseEndsItsProgram)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string held = Path("held.txt");
    WriteFileText(held, "x");
    UseScript(std::string("PhaseBegin 1\r\nCall \"") + self + "\", \"--hold " + held +
              " 60000\", , Hide\r\nSet #RAN#, 1\r\nPhaseEnd\r\n");
    DWORD start = 0;
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kDirectoryPage);
        robot.Press(IDOK);
        ASSERT_TRUE(robot.On(kProgressPage));
        ASSERT_TRUE(WaitFor([&] { return Exists(held + ".held"); }));
        // Enter does nothing while Next is disabled; Cancel asks, No keeps the page.
        robot.Key(VK_RETURN);
        robot.Press(IDCANCEL);
        EXPECT_EQ(robot.Answer(IDNO).substr(0, 22), "Setup is not complete.");
        EXPECT_TRUE(robot.On(kProgressPage, 500));
        robot.Press(IDCANCEL);
        start = GetTickCount();
        EXPECT_EQ(robot.Answer(IDYES).substr(0, 22), "Setup is not complete.");
    });
    EXPECT_EQ(WizardCancelled, 1);
    EXPECT_LT(GetTickCount() - start, 10000u) << "the program held the run";
    EXPECT_EQ(Variable("#RAN#"), "<undefined>");
    // The program was ended: the file it held opens without sharing.
    HANDLE file = CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
}

// With a rollback, leaving the progress page undoes what phase 1 did: the worker stops, the page
// says "Rolling back changes" while its bar moves back, and only then does the wizard end.
// (Each deletion is slowed here, so that the robot sees the page while it undoes.)
BOOL WINAPI SlowDelete(LPCSTR path)
{
    Sleep(150);
    return DeleteFileA(path);
}

TEST_F(WizardPages, LeavingDuringProgressRollsBackWhatPhaseOneDid)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string held = Path("held.txt");
    WriteFileText(held, "x");
    WriteFileText(Path("payload.txt"), "payload");
    std::string made = Path("E2E\\Made");
    std::string copies;
    for (int i = 0; i < 6; i++)
        copies += "CopyFile \"" + Path("payload.txt") + "\", \"" + made + "\\" + std::to_string(i) +
                  ".txt\"\r\n";
    UseScript("PhaseBegin 1\r\nCreateDir \"" + made + "\"\r\n" + copies + "Call \"" + self +
              "\", \"--hold " + held + " 60000\", , Hide\r\nSet #RAN#, 1\r\nPhaseEnd\r\n");
    Sys.DeleteFileU = SlowDelete;
    StartJournal();
    std::vector<int> positions;
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kDirectoryPage);
        robot.Press(IDOK);
        ASSERT_TRUE(robot.On(kProgressPage));
        ASSERT_TRUE(WaitFor([&] { return Exists(held + ".held"); }));
        int before = robot.ProgressPosition();
        EXPECT_GT(before, 0);
        robot.Press(IDCANCEL);
        EXPECT_EQ(robot.Answer(IDYES).substr(0, 22), "Setup is not complete.");
        EXPECT_TRUE(
            WaitFor([&] { return robot.Text(IDC_STATUS) == "Rolling back changes"; }, 5000));
        EXPECT_FALSE(robot.Enabled(IDCANCEL));
        for (int i = 0; i < 8 && robot.CurrentPage() == kProgressPage; i++) {
            positions.push_back(robot.ProgressPosition());
            Sleep(100);
        }
        ASSERT_FALSE(positions.empty());
        EXPECT_LT(positions.back(), before);
    });
    EXPECT_EQ(WizardCancelled, 1);
    EXPECT_EQ(RunOutcome, kExitFailed);
    EXPECT_TRUE(std::is_sorted(positions.rbegin(), positions.rend())) << "the bar moved on";
    EXPECT_FALSE(Exists(made));
    EXPECT_FALSE(Exists(Path("E2E")));
    EXPECT_FALSE(JournalRecording());
}

// The quit question on the progress page runs its own message loop while phase 1 goes on.
// A phase that ends meanwhile is finished normally, whatever the answer: the installation is
// complete. A failure meanwhile is told only once the question is answered, and not at all when
// the person leaves.
TEST_F(WizardPages, PhaseEventsWhileTheQuitQuestionIsOpen)
{
    struct Case {
        const char *what;
        const char *then; // the lines after the gate, before "Set #RAN#, 1"
        int answer;       // to the quit question
        bool failure;     // the lines fail
        int outcome;
    } cases[] = {
        {"phase ends, Yes", "", IDYES, false, 0},
        {"phase ends, No", "", IDNO, false, 0},
        {"failure, No", "Error \"late\"\r\n", IDNO, true, kExitFailed},
        {"failure, Yes", "Error \"late\"\r\n", IDYES, true, kExitCancelled},
    };
    // Phase 1 waits at its first line until the test lets go of the gate file.
    std::string gate = Path("gate");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Prepare(0, {});
        UseScript("PhaseBegin 1\r\nDeleteFile \"" + gate + "\", 20\r\n" + c.then +
                  "Set #RAN#, 1\r\nPhaseEnd\r\nPhaseBegin 2\r\nSet #TWO#, 1\r\nPhaseEnd\r\n");
        WriteFileText(gate, "x");
        HANDLE held = CreateFileA(gate.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        Walk([&](WizardRobot &robot) {
            ForwardTo(robot, kDirectoryPage);
            robot.Press(IDOK);
            ASSERT_TRUE(robot.On(kProgressPage));
            robot.Press(IDCANCEL);
            ASSERT_TRUE(robot.BoxShown(5000));
            CloseHandle(held);
            held = INVALID_HANDLE_VALUE;
            ASSERT_TRUE(WaitFor([&] { return !Exists(gate); }, 10000));
            if (!c.failure) {
                EXPECT_TRUE(WaitFor(
                    [&] { return WaitForSingleObject((HANDLE)PhaseThread, 0) == WAIT_OBJECT_0; },
                    10000));
            }
            Sleep(500);
            EXPECT_EQ(robot.CurrentPage(), kProgressPage) << "a page came up behind the question";
            EXPECT_EQ(robot.BoxCount(), 1) << "a second box came up over the question";
            EXPECT_EQ(robot.Answer(c.answer).substr(0, 22), "Setup is not complete.");
            if (!c.failure) {
                ASSERT_TRUE(robot.On(kFinishPage, 5000));
                robot.Press(IDOK);
            } else if (c.answer == IDNO) {
                EXPECT_EQ(robot.Answer(IDOK, 5000).substr(0, 27), "A critical error (code late");
            } else {
                EXPECT_TRUE(robot.NoBox(1000));
            }
            EXPECT_TRUE(robot.Closed(5000));
        });
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        EXPECT_EQ(WizardCancelled, c.failure ? 1 : 0);
        EXPECT_EQ(RunOutcome, c.outcome);
        EXPECT_EQ(Variable("#RAN#") + Variable("#TWO#"),
                  c.failure ? "<undefined><undefined>" : "11");
    }
}

TEST_F(WizardPages, FinishPageOffersTheDefinedChoices)
{
    SetVariable("#EXECUTE#", "0");
    SetVariable("#README#", "0");
    SetVariable("#SELEXECUTE#", "1");
    SetVariable("#SELREADME#", "0");
    SetVariable("#REBOOT#", "");
    UseScript("PhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\nPhaseEnd\r\nPhaseBegin 2\r\n"
              "Set #SEEN#, \"#EXECUTE##README##DESKTOP#\"\r\nPhaseEnd\r\n");
    CreateDirectoryA(Path("E2E").c_str(), nullptr);
    WriteFileText(Path("E2E\\f"), std::string(1500, 'x'));
    Walk([&](WizardRobot &robot) {
        ForwardTo(robot, kFinishPage);
        EXPECT_TRUE(robot.Shown(IDC_START_PROGRAM));
        EXPECT_TRUE(robot.Ticked(IDC_START_PROGRAM));
        EXPECT_TRUE(robot.Shown(IDC_SHOW_MANUAL));
        EXPECT_FALSE(robot.Ticked(IDC_SHOW_MANUAL));
        EXPECT_FALSE(robot.Shown(IDC_DESKTOP_LINK)) << "#DESKTOP# is not defined";
        // Escape and Cancel do nothing on the finish page.
        robot.Key(VK_ESCAPE);
        EXPECT_TRUE(robot.NoBox(300));
        EXPECT_TRUE(robot.On(kFinishPage, 100));
        robot.Tick(IDC_SHOW_MANUAL, true);
        robot.Press(IDOK);
    });
    EXPECT_EQ(WizardCancelled, 0);
    EXPECT_EQ(RebootRequested, 1);
    EXPECT_EQ(Variable("#SEEN#"), "110");
    EXPECT_EQ(Variable("#INSTALLSIZE#"), "1");
}

TEST_F(WizardPages, UninstallPages)
{
    // Keep-settings asks each time it is ticked and sets #KEEPCFG#; a failing command of the
    // uninstall script leads the person to the folder that is left.
    Prepare(1, {});
    CreateDirectoryA(Path("E2E").c_str(), nullptr);
    UseScript("PhaseBegin 1\r\nError \"left\"\r\nSet #RAN#, 1\r\nPhaseEnd\r\n");
    Walk([&](WizardRobot &robot) {
        ASSERT_TRUE(robot.On(kUninstallWelcomePage));
        EXPECT_EQ(robot.Text(IDC_DATA_FOLDER), "<Unknown>");
        for (int i = 0; i < 2; i++) {
            robot.Press(IDC_KEEP_SETTINGS);
            EXPECT_EQ(robot.Answer(IDOK).substr(0, 30), "Please do not keep the setting");
            robot.Press(IDC_KEEP_SETTINGS);
            EXPECT_TRUE(robot.NoBox(300)) << "unticking asks nothing";
        }
        robot.Press(IDC_KEEP_SETTINGS);
        robot.Answer(IDOK);
        robot.Press(IDOK);
        ASSERT_TRUE(robot.On(kUninstallFinishPage));
        EXPECT_TRUE(robot.Shown(IDC_NOT_REMOVED));
        EXPECT_TRUE(robot.Shown(IDC_CHECK_FOLDER));
        EXPECT_TRUE(robot.Shown(IDC_KEEP_FILES));
        char className[32] = "";
        GetClassNameA(robot.Control(IDC_FOLDER_LINK), className, sizeof className);
        EXPECT_STREQ(className, "CHyperlinkWnd");
        robot.Press(IDOK);
    });
    EXPECT_EQ(Variable("#KEEPCFG#"), "1");
    EXPECT_EQ(Variable("#RAN#"), "1") << "the uninstall script goes on after a failure";

    // Without a failure the page says nothing of leftovers, though the folder is there.
    Prepare(1, {});
    CreateDirectoryA(Path("E2E").c_str(), nullptr);
    Walk([&](WizardRobot &robot) {
        ASSERT_TRUE(robot.On(kUninstallWelcomePage));
        robot.Press(IDOK);
        ASSERT_TRUE(robot.On(kUninstallFinishPage));
        for (int id : {IDC_NOT_REMOVED, IDC_CHECK_FOLDER, IDC_FOLDER_LINK, IDC_KEEP_FILES})
            EXPECT_FALSE(robot.Shown(id)) << id;
        robot.Press(IDOK);
    });
    EXPECT_EQ(Variable("#KEEPCFG#"), "<undefined>");
}

// The link is as large as its text plus 4 by 2 pixels at the placeholder's corner; the banner
// draws the 48 x 48 icon m pixels from the top and from the right edge.
TEST_F(WizardPages, BannerAndLinkGeometry)
{
    Walk([&](WizardRobot &robot) {
        ASSERT_TRUE(robot.On(kWelcomePage));
        HWND page = robot.Page;
        HWND link = robot.Control(IDC_LINK);
        char className[32] = "";
        GetClassNameA(link, className, sizeof className);
        EXPECT_STREQ(className, "CHyperlinkWnd");
        RECT placeholder = {20, 213, 0, 0};
        MapDialogRect(page, &placeholder);
        HWND banner = robot.Control(IDC_BANNER);
        HDC screen = GetDC(banner);
        HDC alone = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, 48, 48);
        HGDIOBJ previous = SelectObject(alone, bitmap);
        RECT square = {0, 0, 48, 48};
        FillRect(alone, &square, (HBRUSH)GetStockObject(WHITE_BRUSH));
        HICON icon = (HICON)LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_SETUP),
                                       IMAGE_ICON, 48, 48, 0);
        DrawIconEx(alone, 0, 0, icon, 48, 48, 0, nullptr, DI_NORMAL);
        // Measured until it holds: on a busy machine the page may still be drawing.
        RECT box, text;
        int differing = 0, compared = 0;
        bool fits = WaitFor(
            [&] {
                GetWindowRect(link, &box);
                MapWindowPoints(nullptr, page, (POINT *)&box, 2);
                HDC dc = GetDC(link);
                HGDIOBJ old = SelectObject(dc, (HFONT)BoldFont);
                text = {0, 0, 0, 0};
                DrawTextA(dc, LinkText, -1, &text, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
                SelectObject(dc, old);
                ReleaseDC(link, dc);
                // The icon's own pixels, drawn alone on white, against the banner's.
                RECT area;
                GetClientRect(banner, &area);
                int m = (area.bottom - 48) / 2;
                RedrawWindow(banner, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
                differing = compared = 0;
                for (int y = 0; y < 48; y += 3)
                    for (int x = 0; x < 48; x += 3) {
                        COLORREF own = GetPixel(alone, x, y);
                        if (own == RGB(255, 255, 255))
                            continue;
                        compared++;
                        if (GetPixel(screen, area.right - m - 48 + x, m + y) != own)
                            differing++;
                    }
                return box.left == placeholder.left && box.top == placeholder.top &&
                       box.right - box.left == text.right + 4 &&
                       box.bottom - box.top == text.bottom + 2 && compared > 20 &&
                       differing <= compared / 10;
            },
            5000);
        EXPECT_TRUE(fits) << "link at " << box.left << "," << box.top << " size "
                          << box.right - box.left << " x " << box.bottom - box.top
                          << ", placeholder at " << placeholder.left << "," << placeholder.top
                          << ", text " << text.right << " x " << text.bottom << "; " << differing
                          << " of " << compared << " icon pixels differ";
        DestroyIcon(icon);
        SelectObject(alone, previous);
        DeleteObject(bitmap);
        DeleteDC(alone);
        ReleaseDC(banner, screen);
        robot.Press(IDCANCEL);
    });
}

} // namespace

namespace
{

// Why a control's text does not fit its rectangle at this scale; empty when it fits. Texts that
// the control cuts on purpose (path and end ellipses) and what the person types are not
// measured; multi-line statics may wrap.
std::string Clipped(HWND control)
{
    char className[32] = "";
    GetClassNameA(control, className, sizeof className);
    LONG style = GetWindowLongA(control, GWL_STYLE);
    bool isStatic = strcmp(className, "Static") == 0;
    bool isButton = strcmp(className, "Button") == 0;
    int kind = style & (isStatic ? SS_TYPEMASK : BS_TYPEMASK);
    if ((!isStatic && !isButton) || !IsWindowVisible(control) ||
        (isStatic && (kind != SS_LEFT || (style & SS_ELLIPSISMASK))))
        return "";
    WCHAR text[1024] = L"";
    int length = GetWindowTextW(control, text, 1024);
    if (length == 0)
        return "";
    RECT box;
    GetClientRect(control, &box);
    unsigned dpi = WindowDpi(control);
    // Push buttons draw inside their edges, boxes and radios beside their mark.
    int room = box.right;
    if (isButton)
        room -= kind <= BS_DEFPUSHBUTTON ? ScalePixels(8, dpi) : ScalePixels(17, dpi);
    HDC dc = GetDC(control);
    HGDIOBJ previous = SelectObject(dc, (HFONT)SendMessageW(control, WM_GETFONT, 0, 0));
    SIZE extent = {0, 0};
    GetTextExtentPoint32W(dc, text, length, &extent);
    RECT wrapped = {0, 0, box.right, 0};
    DrawTextW(dc, text, length, &wrapped, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, previous);
    ReleaseDC(control, dc);
    char utf8[1024 * 3];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    std::string what =
        std::string(className) + " " + std::to_string(GetDlgCtrlID(control)) + " \"" + utf8 + "\" ";
    if (isStatic && extent.cx > room) {
        if (wrapped.bottom > box.bottom || wrapped.right > box.right)
            return what + "wraps to " + std::to_string(wrapped.bottom) + " pixels in " +
                   std::to_string(box.bottom);
        return "";
    }
    if (extent.cx > room || extent.cy > box.bottom)
        return what + std::to_string(extent.cx) + " x " + std::to_string(extent.cy) +
               " pixels in " + std::to_string(room) + " x " + std::to_string(box.bottom);
    return "";
}

// The banner's title and subtitle against their rectangles, in the banner's fonts.
std::string BannerClipped(const CBannerWnd &banner)
{
    std::string found;
    const WCHAR *texts[] = {banner.title, banner.subtitle};
    const RECT *rects[] = {&banner.titleRect, &banner.subtitleRect};
    void *fonts[] = {TitleFont, TextFont};
    HDC dc = GetDC(banner.window);
    for (int i = 0; i < 2; i++) {
        HGDIOBJ previous = SelectObject(dc, (HFONT)fonts[i]);
        SIZE extent = {0, 0};
        GetTextExtentPoint32W(dc, texts[i], (int)wcslen(texts[i]), &extent);
        SelectObject(dc, previous);
        if (extent.cx > rects[i]->right - rects[i]->left ||
            extent.cy > rects[i]->bottom - rects[i]->top)
            found += (i == 0 ? "banner title " : "banner subtitle ") + std::to_string(extent.cx) +
                     " x " + std::to_string(extent.cy) + "; ";
    }
    ReleaseDC(banner.window, dc);
    return found;
}

BOOL CALLBACK CollectClipped(HWND control, LPARAM found)
{
    std::string clipped = Clipped(control);
    if (!clipped.empty())
        *(std::string *)found += clipped + "; ";
    return TRUE;
}

PageControls MeasuredControls;
INT_PTR CALLBACK MeasuredPageProc(HWND page, UINT message, WPARAM, LPARAM)
{
    if (message == WM_INITDIALOG)
        InitPage(page, &MeasuredControls);
    return message == WM_INITDIALOG;
}

} // namespace

// Run by NoTextIsClippedAtAnyScale in a process of its own at each scale (SETUP_TEST_DPI): every
// page of both modes in every language made from its template in a frame, as the wizard makes it,
// and every text measured against its control; the banner's title is drawn 16 pixels high at 96 DPI
// and scales with the display, as does its icon.
TEST_F(WizardPages, DISABLED_PagesFitTheirTexts)
{
    char wanted[16] = "";
    GetEnvironmentVariableA("SETUP_TEST_DPI", wanted, sizeof wanted);
    HWND frame = CreateDialogIndirectParamW((HINSTANCE)Instance, LanguageDialog(IDD_FRAME), nullptr,
                                            MeasuredPageProc, 0);
    ASSERT_NE(frame, nullptr);
    unsigned dpi = WindowDpi(frame);
    if (wanted[0]) {
        EXPECT_EQ(dpi, (unsigned)atoi(wanted)) << "the scale set for this run";
    }
    CreateSharedFonts(dpi);
    LOGFONTW title;
    GetObjectW((HFONT)TitleFont, sizeof title, &title);
    EXPECT_EQ(title.lfHeight, 16 * (int)dpi / 96);
    FrameWindow = frame;
    const int pages[] = {
        IDD_WELCOME, IDD_LICENSE,           IDD_DIRECTORY,          IDD_PROGRESS,
        IDD_FINISH,  IDD_UNINSTALL_WELCOME, IDD_UNINSTALL_PROGRESS, IDD_UNINSTALL_FINISH};
    for (int language :
         {1033, 1031, 1036, 3082, 1040, 1046, 1043, 1045, 1049, 1041, 2052, 1042, 1055}) {
        ASSERT_EQ(ChooseLanguage(language), language);
        for (int id : pages) {
            char mode[kTextSize];
            LoadLanguageString(id >= IDD_UNINSTALL_WELCOME ? IDS_MODE_UNINSTALL : IDS_MODE_SETUP,
                               mode, sizeof mode);
            SetVariable("#SETUPMODE#", mode);
            HWND page = CreateDialogIndirectParamW((HINSTANCE)Instance, LanguageDialog(id), frame,
                                                   MeasuredPageProc, 0);
            ASSERT_NE(page, nullptr) << id;
            std::string found = BannerClipped(MeasuredControls.banner);
            EnumChildWindows(page, CollectClipped, (LPARAM)&found);
            EXPECT_EQ(found, "") << "page " << id << " in " << language << " at " << dpi << " DPI";
            ShowWindow(frame, SW_SHOWNOACTIVATE);
            UpdateWindow(MeasuredControls.banner.window);
            EXPECT_EQ(MeasuredControls.banner.iconSize, 48 * (int)dpi / 96);
            DestroyWindow(page);
        }
    }
    ChooseLanguage(1033);
    MeasuredControls.banner.Destroy();
    MeasuredControls.link.Destroy();
    DestroyWindow(frame);
    FrameWindow = nullptr;
}

// The layout check above at 96, 144 and 192 DPI, each in a process started after the scale was
// set in the registry, where Wine reads it at a process's start.
TEST_F(WizardPages, NoTextIsClippedAtAnyScale)
{
    HKEY desktop;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, &desktop),
              ERROR_SUCCESS);
    DWORD before = 0, size = sizeof before;
    bool had = RegQueryValueExA(desktop, "LogPixels", nullptr, nullptr, (BYTE *)&before, &size) ==
               ERROR_SUCCESS;
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    for (DWORD dpi : {96, 144, 192}) {
        RegSetValueExA(desktop, "LogPixels", 0, REG_DWORD, (const BYTE *)&dpi, sizeof dpi);
        SetEnvironmentVariableA("SETUP_TEST_DPI", std::to_string(dpi).c_str());
        EXPECT_EQ(RunProgram(self,
                             "--gtest_also_run_disabled_tests "
                             "--gtest_filter=WizardPages.DISABLED_PagesFitTheirTexts",
                             Folder),
                  0u)
            << dpi << " DPI";
    }
    SetEnvironmentVariableA("SETUP_TEST_DPI", nullptr);
    if (had)
        RegSetValueExA(desktop, "LogPixels", 0, REG_DWORD, (const BYTE *)&before, sizeof before);
    else
        RegDeleteValueA(desktop, "LogPixels");
    RegCloseKey(desktop);
}

// A product name beyond the system's code page, set by the script in UTF-8, reaches the
// caption, the banner and the page texts exactly, and what the person leaves in an edit comes
// back into the variables exactly.
TEST_F(WizardPages, WideTextsReachTheControls)
{
    SetVariable("#PROGRAM#", "予定表 Łódź");
    std::string folder = Path("ソフト\\予定表");
    SetVariable("#INSTALLPATH#", folder.c_str());
    Walk([&](WizardRobot &robot) {
        ASSERT_TRUE(robot.On(kWelcomePage));
        EXPECT_EQ(robot.Caption(), "Setup - 予定表 Łódź v1.0");
        EXPECT_STREQ(WelcomeControls.banner.title, L"予定表 Łódź v1.0 Setup Wizard");
        robot.Press(IDOK);
        ASSERT_TRUE(robot.On(kLicensePage));
        robot.Press(IDOK);
        ASSERT_TRUE(robot.On(kDirectoryPage));
        EXPECT_EQ(robot.Text(IDC_INFO),
                  "Select the folder where you would like 予定表 Łódź to be installed:");
        EXPECT_EQ(robot.Text(IDC_INSTALL_PATH), folder);
        robot.Type(IDC_INSTALL_PATH, folder + "\\€");
        robot.Press(IDOK);
        ASSERT_TRUE(robot.On(kFinishPage));
        robot.Press(IDOK);
    });
    EXPECT_EQ(Variable("#INSTALLPATH#"), folder + "\\€");
}
