// The packed sample setup started as a person starts it, without a folder on its command line,
// and its wizard worked by the robot from outside: every page, the questions on leaving, the
// directory page's checks, and the interactive uninstallation through the temporary copy.
#include "tests/win/win_test_util.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "base/text.h"
#include "commands/record.h"
#include "resources/resource.h"
#include "tests/win/robot.h"
#include "ui/language.h"

namespace
{

const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tool";
const char kQuitQuestion[] = "Setup is not complete. If you quit Setup now, it will not be "
                             "completed.\nAre you sure you want to exit?";

std::string ShellPath(int csidl)
{
    char path[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, csidl, nullptr, 0, path);
    return path;
}

bool KeyExists(HKEY root, const char *path, REGSAM view)
{
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

class WizardWalk : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        Setup = Path("ToolSetup.exe");
        ASSERT_TRUE(CopyFileA(BuildPath("samples/ToolSetup.exe").c_str(), Setup.c_str(), FALSE));
        Installed = Path("Tool");
        DefaultFolder = ShellPath(CSIDL_PROGRAM_FILESX86) + "\\Tool";
        ForgetTheProduct();
    }

    void TearDown() override
    {
        Stop();
        ForgetTheProduct();
        WindowsTest::TearDown();
    }

    // No earlier installation may be seen: it would ask to remove the previous version first.
    void ForgetTheProduct()
    {
        ForgetSampleProducts();
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Veltrano\\Tool");
        DeleteFileA((ShellPath(CSIDL_DESKTOPDIRECTORY) + "\\Tool.lnk").c_str());
        RemoveTree(ShellPath(CSIDL_PROGRAMS) + "\\Tool");
        RemoveTree(DefaultFolder);
    }

    // Starts `program` as a double-click would: no arguments, its own folder as working folder.
    void Start(const std::string &program, const std::string &folder)
    {
        Stop();
        std::string command = "\"" + program + "\"";
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   folder.c_str(), &si, &Process));
    }

    // Starts the setup; with a non-empty `script` as its install script, packed anew with the
    // sample's files.
    void StartSetup(const std::string &script = "")
    {
        if (!script.empty()) {
            ASSERT_EQ(PackSample(Setup, script), 0u);
        }
        Start(Setup, Folder);
    }

    // Waits for the process to end; its exit code, or 0xBAD when it did not end in time.
    DWORD ExitCode(DWORD timeoutMs = 30000)
    {
        DWORD code = 0xBAD;
        if (Process.hProcess && WaitForSingleObject(Process.hProcess, timeoutMs) == WAIT_OBJECT_0)
            GetExitCodeProcess(Process.hProcess, &code);
        Stop();
        return code;
    }

    void Stop()
    {
        if (!Process.hProcess)
            return;
        if (WaitForSingleObject(Process.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(Process.hProcess, 0xBAD);
        CloseHandle(Process.hProcess);
        CloseHandle(Process.hThread);
        Process = PROCESS_INFORMATION();
    }

    // Walks from the welcome page to `page` with the forward button.
    void ForwardTo(WizardRobot &robot, WizardPage page)
    {
        ASSERT_TRUE(robot.Open());
        const WizardPage order[] = {kWelcomePage, kLicensePage, kDirectoryPage};
        for (WizardPage step : order) {
            ASSERT_TRUE(robot.On(step)) << "page " << step;
            if (step == page)
                return;
            ASSERT_TRUE(robot.Press(IDOK));
        }
    }

    // Lets the script photograph the frame now, and waits until it has. The frame is the
    // active window then, as it is for the person who started the setup, and its title bar is
    // drawn so: without a window manager Wine makes a new window the foreground window only
    // after it told it that it is not (WM_NCACTIVATE with FALSE), and tells it nothing more, so
    // the robot tells it what Windows would have.
    void Photograph(WizardRobot &robot, const char *name)
    {
        EXPECT_TRUE(robot.Activate()) << name << ": the frame is not the active window";
        SendMessageA(robot.Frame, WM_NCACTIVATE, TRUE, 0);
        RedrawWindow(robot.Frame, nullptr, nullptr,
                     RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Sleep(300);
        RECT r;
        GetWindowRect(robot.Frame, &r);
        std::string base = BuildPath("screenshots\\") + name;
        DeleteFileA((base + ".done").c_str());
        WriteFileText(base + ".tmp", std::to_string(r.right - r.left) + "x" +
                                         std::to_string(r.bottom - r.top) + "+" +
                                         std::to_string(r.left) + "+" + std::to_string(r.top));
        MoveFileA((base + ".tmp").c_str(), (base + ".ready").c_str());
        EXPECT_TRUE(WaitFor([&] { return Exists(base + ".done"); }, 30000)) << name;
    }

    std::string Setup;
    std::string Installed;
    std::string DefaultFolder;
    PROCESS_INFORMATION Process = {};
};

int CALLBACK NoteFont(const LOGFONTA *, const TEXTMETRICA *, DWORD, LPARAM found)
{
    *(bool *)found = true;
    return 0;
}

// Whether the system has a font of this face.
bool FontInstalled(const char *face)
{
    LOGFONTA font = {};
    font.lfCharSet = DEFAULT_CHARSET;
    CopyText(font.lfFaceName, sizeof font.lfFaceName, face);
    bool found = false;
    HDC screen = GetDC(nullptr);
    EnumFontFamiliesExA(screen, &font, NoteFont, (LPARAM)&found, 0);
    ReleaseDC(nullptr, screen);
    return found;
}

TEST_F(WizardWalk, InstallThenUninstallKeepingTheSettings)
{
    StartSetup();
    WizardRobot robot("Setup - Tool v3.1.3", "Setup");
    ASSERT_TRUE(robot.Open());
    ASSERT_TRUE(robot.On(kWelcomePage));
    EXPECT_EQ(robot.Text(IDC_DESCRIPTION),
              "Tool 3.1.3 keeps your notes and drawings in one place.\nThis wizard installs it, "
              "with its manual, for you or for everyone on this computer.");
    EXPECT_EQ(robot.Control(IDC_BACK), nullptr);
    EXPECT_EQ(robot.Text(IDOK), "Next >");
    ASSERT_TRUE(robot.Press(IDOK));

    ASSERT_TRUE(robot.On(kLicensePage));
    EXPECT_EQ(robot.Text(IDC_LICENSE_TEXT),
              ReadFileText(std::string("Z:") + SOURCE_DIR + "\\samples\\tool\\EULA.txt"));
    EXPECT_EQ(robot.Text(IDC_FOOTER).substr(0, 50),
              "Do you accept the terms of the License Agreement? ");
    ASSERT_TRUE(robot.Press(IDOK));

    ASSERT_TRUE(robot.On(kDirectoryPage));
    EXPECT_EQ(robot.Text(IDC_INSTALL_PATH), DefaultFolder);
    EXPECT_TRUE(robot.Ticked(IDC_FOR_CURRENT_USER));
    EXPECT_TRUE(robot.Ticked(IDC_DATA_DEFAULT));
    EXPECT_FALSE(robot.Enabled(IDC_CUSTOM_PATH));
    robot.Type(IDC_INSTALL_PATH, Installed + "\\");
    ASSERT_TRUE(robot.Press(IDOK));

    // The progress page moves on by itself when phase 1 ends.
    ASSERT_TRUE(robot.On(kFinishPage, 60000));
    EXPECT_TRUE(robot.Ticked(IDC_START_PROGRAM));
    EXPECT_TRUE(robot.Ticked(IDC_SHOW_MANUAL));
    EXPECT_TRUE(robot.Ticked(IDC_DESKTOP_LINK));
    EXPECT_FALSE(robot.Enabled(IDCANCEL));
    robot.Tick(IDC_START_PROGRAM, false);
    robot.Tick(IDC_SHOW_MANUAL, false);
    robot.Tick(IDC_DESKTOP_LINK, true);
    ASSERT_TRUE(robot.Press(IDOK));
    ASSERT_TRUE(robot.Closed());
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_FALSE(Exists(Setup + ".log")) << "only a silent run writes the log";

    // What the person chose: per-user folders, the trailing backslash gone, the desktop link.
    EXPECT_TRUE(Exists(Installed + "\\Tool.exe"));
    EXPECT_TRUE(Exists(Installed + "\\Uninstall.exe"));
    EXPECT_TRUE(Exists(ShellPath(CSIDL_PROGRAMS) + "\\Tool\\Tool.lnk"));
    EXPECT_TRUE(Exists(ShellPath(CSIDL_DESKTOPDIRECTORY) + "\\Tool.lnk"));
    ProductRecord record;
    memset(&record, 0, sizeof record);
    ASSERT_TRUE(ReadProductRecord("Tool", &record));
    EXPECT_STREQ(record.installPath, Installed.c_str());
    EXPECT_EQ(record.forWho, 0);
    EXPECT_EQ(record.selExecute, 0);
    EXPECT_EQ(record.selReadme, 0);
    EXPECT_EQ(record.selDesktop, 1);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | KEY_WOW64_32KEY, &key),
              ERROR_SUCCESS);
    DWORD size = 0;
    DWORD kib = sizeof size;
    RegQueryValueExA(key, "EstimatedSize", nullptr, nullptr, (BYTE *)&size, &kib);
    RegCloseKey(key);
    EXPECT_GT(size, 100u);

    // The uninstaller in the installation folder starts its temporary copy, whose wizard
    // removes the product; the settings stay because the person asked so.
    std::string runs = RunFoldersIn(TempFolder());
    Start(Installed + "\\Uninstall.exe", Installed);
    WizardRobot uninstall("Uninstall - Tool v3.1.3", "Uninstall");
    ASSERT_TRUE(uninstall.Open());
    ASSERT_TRUE(uninstall.On(kUninstallWelcomePage));
    EXPECT_EQ(uninstall.Text(IDC_DATA_FOLDER), ShellPath(CSIDL_APPDATA) + "\\Veltrano\\Tool");
    EXPECT_FALSE(uninstall.Ticked(IDC_KEEP_SETTINGS));
    ASSERT_TRUE(uninstall.Press(IDC_KEEP_SETTINGS));
    EXPECT_EQ(uninstall.Answer(IDOK).substr(0, 45),
              "Please do not keep the settings and data if y");
    ASSERT_TRUE(uninstall.Press(IDOK));
    ASSERT_TRUE(uninstall.On(kUninstallFinishPage, 60000));
    EXPECT_FALSE(uninstall.Shown(IDC_NOT_REMOVED));
    EXPECT_FALSE(uninstall.Shown(IDC_FOLDER_LINK));
    ASSERT_TRUE(uninstall.Press(IDOK));
    ASSERT_TRUE(uninstall.Closed());

    EXPECT_TRUE(WaitFor([&] { return !Exists(Installed); }));
    EXPECT_FALSE(Exists(ShellPath(CSIDL_DESKTOPDIRECTORY) + "\\Tool.lnk"));
    EXPECT_FALSE(Exists(ShellPath(CSIDL_PROGRAMS) + "\\Tool"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_32KEY));
    memset(&record, 0, sizeof record);
    EXPECT_FALSE(ReadProductRecord("Tool", &record));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\Veltrano\\Tool", 0));
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_TRUE(WaitFor([&] { return RunFoldersIn(TempFolder()) == runs; }));
}

TEST_F(WizardWalk, UninstallWithoutKeepingTheSettings)
{
    ASSERT_EQ(RunProgram(Setup, "\"" + Installed + "\"", Folder), 0u);
    ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\Veltrano\\Tool", 0));
    std::string runs = RunFoldersIn(TempFolder());
    Start(Installed + "\\Uninstall.exe", Installed);
    WizardRobot uninstall("Uninstall - Tool v3.1.3", "Uninstall");
    ASSERT_TRUE(uninstall.Open());
    ASSERT_TRUE(uninstall.On(kUninstallWelcomePage));
    ASSERT_TRUE(uninstall.Press(IDOK));
    ASSERT_TRUE(uninstall.On(kUninstallFinishPage, 60000));
    ASSERT_TRUE(uninstall.Press(IDOK));
    ASSERT_TRUE(uninstall.Closed());
    EXPECT_TRUE(WaitFor([&] { return !Exists(Installed); }));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Veltrano\\Tool", 0));
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_TRUE(WaitFor([&] { return RunFoldersIn(TempFolder()) == runs; }));
}

// Cancel on every page before the installation, with each answer to the quit question.
TEST_F(WizardWalk, LeavingBeforeTheInstallation)
{
    WizardRobot robot("Setup - Tool v3.1.3", "Setup");
    // The welcome page leaves at once, by its button and by Escape.
    for (int way = 0; way < 2; way++) {
        StartSetup();
        ASSERT_TRUE(robot.Open());
        ASSERT_TRUE(robot.On(kWelcomePage));
        if (way == 0)
            ASSERT_TRUE(robot.Press(IDCANCEL));
        else
            robot.Key(VK_ESCAPE);
        EXPECT_TRUE(robot.Closed());
        EXPECT_TRUE(robot.NoBox(300));
        EXPECT_EQ(ExitCode(), 1602u);
    }

    // The licence and directory pages ask; only Yes leaves. No, Cancel, Escape and the close
    // box each ask again.
    for (WizardPage page : {kLicensePage, kDirectoryPage}) {
        StartSetup();
        ForwardTo(robot, page);
        ASSERT_TRUE(robot.Press(IDCANCEL));
        EXPECT_EQ(robot.Answer(IDNO), kQuitQuestion);
        ASSERT_TRUE(robot.Press(IDCANCEL));
        EXPECT_EQ(robot.Answer(IDCANCEL), kQuitQuestion);
        robot.Key(VK_ESCAPE);
        EXPECT_EQ(robot.Answer(IDNO), kQuitQuestion);
        EXPECT_TRUE(robot.On(page, 1000));
        robot.Close();
        EXPECT_EQ(robot.Answer(IDYES), kQuitQuestion);
        EXPECT_TRUE(robot.Closed());
        EXPECT_EQ(ExitCode(), 1602u);
    }
    EXPECT_FALSE(Exists(DefaultFolder));
    ProductRecord record;
    memset(&record, 0, sizeof record);
    EXPECT_FALSE(ReadProductRecord("Tool", &record));
}

TEST_F(WizardWalk, DirectoryPageRefusesWhatCannotBeUsed)
{
    StartSetup();
    WizardRobot robot("Setup - Tool v3.1.3", "Setup");
    ForwardTo(robot, kDirectoryPage);

    robot.Type(IDC_INSTALL_PATH, "Apps\\Tool");
    ASSERT_TRUE(robot.Press(IDOK));
    EXPECT_EQ(robot.Answer(IDOK),
              "You must use an absolute path (including a drive letter or network drive)!");
    EXPECT_TRUE(robot.On(kDirectoryPage, 1000));
    DWORD start = 0, end = 0;
    SendMessageA(robot.Control(IDC_INSTALL_PATH), EM_GETSEL, (WPARAM)&start, (LPARAM)&end);
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, 9u) << "the whole text is selected";

    robot.Type(IDC_INSTALL_PATH, "Q:\\Nowhere\\Tool");
    ASSERT_TRUE(robot.Press(IDOK));
    EXPECT_EQ(robot.Answer(IDOK), "The specified installation folder could not be created!");

    // The custom data folder is looked at only when it is chosen.
    robot.Type(IDC_INSTALL_PATH, Installed);
    ASSERT_TRUE(robot.Press(IDC_DATA_CUSTOM));
    EXPECT_TRUE(WaitFor([&] { return robot.Enabled(IDC_CUSTOM_PATH); }, 5000));
    robot.Type(IDC_CUSTOM_PATH, "Q:\\Nowhere\\Data");
    ASSERT_TRUE(robot.Press(IDOK));
    EXPECT_EQ(robot.Answer(IDOK), "The specified configuration data folder could not be created!");
    EXPECT_TRUE(Exists(Installed)) << "the installation folder is created before";

    // Back and forward again: the page shows the variables, which now hold the folder of the
    // Install that stopped at the data folder, and not the edits.
    ASSERT_TRUE(robot.Press(IDC_BACK));
    ASSERT_TRUE(robot.On(kLicensePage));
    ASSERT_TRUE(robot.Press(IDOK));
    ASSERT_TRUE(robot.On(kDirectoryPage));
    EXPECT_EQ(robot.Text(IDC_INSTALL_PATH), Installed);
    EXPECT_TRUE(robot.Ticked(IDC_DATA_CUSTOM));
    EXPECT_EQ(robot.Text(IDC_CUSTOM_PATH), DefaultFolder + "\\Data");

    // The sample asks for a rollback: leaving undoes the folder the page created, and the exit
    // code says that something was undone.
    ASSERT_TRUE(robot.Press(IDCANCEL));
    EXPECT_EQ(robot.Answer(IDYES), kQuitQuestion);
    EXPECT_EQ(ExitCode(), 1603u);
    EXPECT_FALSE(Exists(Installed));

    // Too little free space on the drive.
    StartSetup("PhaseBegin 0\r\nSet #PROGRAM#, Tool\r\nSet #VERSION#, 3.1.3\r\n"
               "Set #ASKPATH#, 1\r\nSet #MINFREE#, 999999999\r\nPhaseEnd\r\n"
               "PhaseBegin 1\r\nPhaseEnd\r\n");
    ForwardTo(robot, kDirectoryPage);
    robot.Type(IDC_INSTALL_PATH, Installed);
    ASSERT_TRUE(robot.Press(IDOK));
    EXPECT_EQ(robot.Answer(IDOK), "Tool requires at least 999999999 MB of disk space.\nThere is "
                                  "not enough free space on the specified drive.\nPlease choose "
                                  "a different location.");
    robot.Close();
    EXPECT_EQ(robot.Answer(IDYES), kQuitQuestion);
    EXPECT_EQ(ExitCode(), 1602u);
}

// Not a test: the walk through every page that scripts/screenshots photographs. The sample as
// shipped is installed as a person installs it, into its default folder, and removed again. At
// each page the robot writes NAME.ready (the frame's place on the screen) into the build tree's
// screenshots folder and waits for NAME.done, which the script writes once it has taken the
// picture. The progress pages are taken while the run waits on what a person may well see it
// wait on: the product's registration while another registration of it runs, and the removal
// of the product's program while that is still in use. It runs only when asked for
// (--gtest_also_run_disabled_tests).
TEST_F(WizardWalk, DISABLED_Screenshots)
{
    CreateDirectoryA(BuildPath("screenshots").c_str(), nullptr);
    // The title bar's close box is a character of the Marlett font.
    ASSERT_TRUE(FontInstalled("Marlett")) << "the close box would show a letter";

    // The wizard speaks the prefix's language (scripts/screenshots also walks in German and
    // Japanese): its captions and status lines are the engine's own texts of that language.
    ChooseLanguage(0);
    auto text = [](unsigned id, const std::string &argument = "") {
        char format[512];
        char line[1024];
        LoadLanguageString(id, format, sizeof format);
        snprintf(line, sizeof line, format, argument.c_str());
        return std::string(argument.empty() ? format : line);
    };
    const std::string setupMode = text(IDS_MODE_SETUP);
    const std::string uninstallMode = text(IDS_MODE_UNINSTALL);

    HANDLE registration = CreateMutexA(nullptr, TRUE, "VeltranoToolRegistration");
    ASSERT_NE(registration, nullptr);
    StartSetup();
    WizardRobot robot((setupMode + " - Tool v3.1.3").c_str(), setupMode.c_str());
    ASSERT_TRUE(robot.Open());
    ASSERT_TRUE(robot.On(kWelcomePage));
    Photograph(robot, "1-welcome");
    robot.Press(IDOK);
    ASSERT_TRUE(robot.On(kLicensePage));
    Photograph(robot, "2-license");
    robot.Press(IDOK);
    ASSERT_TRUE(robot.On(kDirectoryPage));
    EXPECT_EQ(robot.Text(IDC_INSTALL_PATH), DefaultFolder);
    Photograph(robot, "3-directory");
    robot.Press(IDOK);
    ASSERT_TRUE(robot.On(kProgressPage));
    std::string registering =
        text(IDS_STATUS_EXECUTE, "\"" + DefaultFolder + "\\Tool.exe\" /register");
    EXPECT_TRUE(WaitFor([&] { return robot.Text(IDC_STATUS) == registering; }))
        << robot.Text(IDC_STATUS);
    Photograph(robot, "4-progress");
    ReleaseMutex(registration);
    CloseHandle(registration);
    ASSERT_TRUE(robot.On(kFinishPage, 30000));
    robot.Tick(IDC_START_PROGRAM, false);
    robot.Tick(IDC_SHOW_MANUAL, false);
    Photograph(robot, "5-finish");
    robot.Press(IDOK);
    ASSERT_TRUE(robot.Closed());
    EXPECT_EQ(ExitCode(), 0u);

    Start(DefaultFolder + "\\Uninstall.exe", DefaultFolder);
    WizardRobot uninstall((uninstallMode + " - Tool v3.1.3").c_str(), uninstallMode.c_str());
    ASSERT_TRUE(uninstall.Open());
    ASSERT_TRUE(uninstall.On(kUninstallWelcomePage));
    Photograph(uninstall, "6-uninstall-welcome");
    std::string program = DefaultFolder + "\\Tool.exe";
    HANDLE inUse = CreateFileA(program.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(inUse, INVALID_HANDLE_VALUE);
    uninstall.Press(IDOK);
    ASSERT_TRUE(uninstall.On(kUninstallProgressPage));
    EXPECT_TRUE(WaitFor([&] {
        return uninstall.Text(IDC_STATUS) == text(IDS_STATUS_DELETE_FILE, program);
    })) << uninstall.Text(IDC_STATUS);
    Photograph(uninstall, "7-uninstall-progress");
    CloseHandle(inUse);
    ASSERT_TRUE(uninstall.On(kUninstallFinishPage, 30000));
    EXPECT_FALSE(uninstall.Shown(IDC_NOT_REMOVED)) << "the program was in use too long";
    Photograph(uninstall, "8-uninstall-finish");
    uninstall.Press(IDOK);
    ASSERT_TRUE(uninstall.Closed());
    EXPECT_EQ(ExitCode(), 0u);
    WriteFileText(BuildPath("screenshots\\end.ready"), "");
}

} // namespace
