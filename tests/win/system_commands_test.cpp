// Registry, process and patch commands, run as script lines.
#include "tests/win/win_test_util.h"

#include <thread>

#include "archive/uninstaller.h"
#include "base/text.h"
#include "commands/image_commands.h"
#include "commands/process.h"
#include "commands/record.h"
#include "commands/registry.h"
#include "engine/selfremoval.h"

namespace
{

const char kScratchKey[] = "Software\\SetupEngineTests";

class SystemCommands : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        InstallSystemCommandsForTest();
        OsCode = 248;
        Is64BitWindows = RunsOn64BitWindows();
    }
    void TearDown() override
    {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
            RegDeleteTreeInView(HKEY_CURRENT_USER, view);
        OsCode = 0;
        Is64BitWindows = false;
        WindowsTest::TearDown();
    }
    static void RegDeleteTreeInView(HKEY root, REGSAM view)
    {
        HKEY key;
        if (RegOpenKeyExA(root, kScratchKey, 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
            RegDeleteTreeA(key, nullptr);
            RegCloseKey(key);
            RegDeleteKeyExA(root, kScratchKey, view, 0);
        }
    }
    static bool KeyExists(const std::string &path, REGSAM view)
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) !=
            ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
    static std::string Value(const char *name, REGSAM view, DWORD *type = nullptr)
    {
        char data[600];
        DWORD size = sizeof data;
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kScratchKey, 0, KEY_READ | view, &key) !=
            ERROR_SUCCESS)
            return "<no key>";
        LONG r = RegQueryValueExA(key, name, nullptr, type, (BYTE *)data, &size);
        RegCloseKey(key);
        return r == ERROR_SUCCESS ? std::string(data, size) : "<missing>";
    }
};

TEST_F(SystemCommands, RegistryRootNamesAndCodes)
{
    for (const char *root : {"lm", "Lm", "HKEY_local_machine", "LM"})
        EXPECT_EQ(RootKeyFromName(root), HKEY_LOCAL_MACHINE) << root;
    EXPECT_EQ(RootKeyFromName("cu"), HKEY_CURRENT_USER);
    EXPECT_EQ(RootKeyFromName("HKEY_CLASSES_ROOT"), HKEY_CLASSES_ROOT);
    EXPECT_EQ(RunLine("CreateRegValSz HKLM, Software\\x, a, b"), kErrRegRootSz);
    EXPECT_EQ(RunLine("CreateRegValDW HKU, Software\\x, a, 1"), kErrRegRootDw);
    EXPECT_EQ(RunLine("DeleteRegKey HKLM, Software\\x"), kErrRegRootDeleteKey);
    EXPECT_EQ(RunLine("DeleteRegVal HKLM, Software\\x, a"), kErrRegRootDeleteValue);
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Deleting Registry value: a"}));
    EXPECT_EQ(RunLine("CreateRegValSz LM, Software\\x, a"), kErrMissingArgument);
    EXPECT_TRUE(Statuses.empty());
}

TEST_F(SystemCommands, RegistryValuesAndViews)
{
    std::string key = std::string("\"LM\", \"") + kScratchKey + "\", ";
    struct Case {
        const char *number;
        DWORD value;
    } numbers[] = {
        {"12abc", 12}, {"", 0}, {"4294967296", 4294967295u}, {"-1", 4294967295u}, {" +7", 7}};
    for (const Case &c : numbers) {
        ASSERT_EQ(RunLine("CreateRegValDW " + key + "n, \"" + c.number + "\""), 0);
        DWORD type = 0;
        std::string v = Value("n", KEY_WOW64_32KEY, &type);
        ASSERT_EQ(v.size(), 4u) << c.number;
        EXPECT_EQ(type, (DWORD)REG_DWORD);
        EXPECT_EQ(*(const DWORD *)v.data(), c.value) << c.number;
    }
    // An empty text is a one-byte REG_SZ; without "x64" the 32-bit view is used. On 32-bit
    // Windows there is one view only, and "x64" changes nothing.
    const bool views = RunsOn64BitWindows();
    EXPECT_EQ(RunLine("CreateRegValSz " + key + "s, \"\""), 0);
    EXPECT_EQ(Value("s", KEY_WOW64_32KEY), std::string(1, '\0'));
    EXPECT_EQ(Value("s", KEY_WOW64_64KEY), views ? "<no key>" : std::string(1, '\0'));
    EXPECT_EQ(RunLine("CreateRegValSz " + key + "s64, text, X64"), 0);
    EXPECT_EQ(Value("s64", KEY_WOW64_64KEY), std::string("text", 5));
    EXPECT_EQ(Value("s64", KEY_WOW64_32KEY), views ? "<missing>" : std::string("text", 5));
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Creating Registry value: s64=text"}));

    EXPECT_EQ(RunLine("DeleteRegVal " + key + "s"), 0);
    EXPECT_EQ(Value("s", KEY_WOW64_32KEY), "<missing>");

    // "CU" while acting as the logged-on user: that user's hive (here the same account).
    HWND shell = CreateShellWindow();
    SetVariable("#REALUSER#", "1");
    EXPECT_EQ(RunLine(std::string("CreateRegValSz CU, \"") + kScratchKey + "\", u, user"), 0);
    SetVariable("#REALUSER#", "0");
    DestroyWindow(shell);
    char user[16] = "";
    DWORD size = sizeof user;
    RegGetValueA(HKEY_CURRENT_USER, kScratchKey, "u", RRF_RT_REG_SZ, nullptr, user, &size);
    EXPECT_STREQ(user, "user");
    EXPECT_EQ(RunLine("DeleteRegVal " + key + "s"), 0); // already gone
}

TEST_F(SystemCommands, DeleteRegKeyRemovesNestedTreesInTheChosenView)
{
    std::string deep = std::string(kScratchKey) + "\\a\\b\\c\\d";
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY k;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, deep.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS | view, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(k);
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kScratchKey) + "\\a\\sibling").c_str(), 0,
                        nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &k, nullptr);
        RegCloseKey(k);
    }
    // With "x64" the 64-bit view's tree goes, and the 32-bit view's stays; on 32-bit Windows
    // the one view's tree goes.
    EXPECT_EQ(RunLine(std::string("DeleteRegKey LM, \"") + kScratchKey + "\\a\", x64"), 0);
    EXPECT_FALSE(KeyExists(std::string(kScratchKey) + "\\a", KEY_WOW64_64KEY));
    EXPECT_EQ(KeyExists(deep, KEY_WOW64_32KEY), RunsOn64BitWindows());
    EXPECT_EQ(RunLine(std::string("DeleteRegKey LM, \"") + kScratchKey + "\\a\""), 0);
    EXPECT_FALSE(KeyExists(std::string(kScratchKey) + "\\a", KEY_WOW64_32KEY));
    EXPECT_EQ(RunLine("DeleteRegKey LM, Software\\NoSuchKeyAnywhere"), 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kScratchKey, KEY_WOW64_32KEY, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kScratchKey, KEY_WOW64_64KEY, 0);
}

// The service manager answers StopService; one that is still starting (it does not answer
// yet) is asked again until it does, one that refuses is not, and a missing service is no
// failure.
static int managerRefusals;
static DWORD managerError;
static SC_HANDLE WINAPI ManagerNotYet(LPCSTR machine, LPCSTR database, DWORD access)
{
    if (managerRefusals > 0) {
        managerRefusals--;
        SetLastError(managerError);
        return nullptr;
    }
    return OpenSCManagerA(machine, database, access);
}

TEST_F(SystemCommands, StopServiceWaitsForAManagerThatIsStarting)
{
    EXPECT_EQ(RunLine("StopService NoSuchService"), 0);
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Stopping service: NoSuchService"}));
    Sys.OpenSCManagerU = ManagerNotYet;
    managerRefusals = 5;
    managerError = RPC_S_SERVER_UNAVAILABLE;
    DWORD start = GetTickCount();
    EXPECT_EQ(RunLine("StopService NoSuchService"), 0);
    EXPECT_EQ(managerRefusals, 0);
    EXPECT_GE(GetTickCount() - start, 400u);
    managerRefusals = 1000;
    EXPECT_EQ(RunLine("StopService NoSuchService"), kErrNoServiceManager); // after 10 s
    managerRefusals = 1;
    managerError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(RunLine("StopService NoSuchService"), kErrNoServiceManager);
    EXPECT_EQ(managerRefusals, 0);
    OsCode = 4; // Windows 98: no service manager at all
    EXPECT_EQ(RunLine("StopService NoSuchService"), kErrNoServiceManager);
    EXPECT_TRUE(Statuses.empty());
}

TEST_F(SystemCommands, CallHandsTheExitCodeToTheScript)
{
    char system[MAX_PATH];
    GetSystemDirectoryA(system, sizeof system);
    std::string cmd = std::string(system) + "\\cmd.exe";
    EXPECT_EQ(RunLine("Call \"" + cmd + "\", \"/c exit 255\", , Hide"), 0);
    EXPECT_STREQ(GetVariableText("#LASTERROR#"), "000000ff");
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Executing: \"" + cmd + "\" /c exit 255"}));
    EXPECT_EQ(RunLine("Call \"" + cmd + "\", \"/c exit 0\", \"" + Folder + "\""), 0);
    EXPECT_STREQ(GetVariableText("#LASTERROR#"), "0");
    EXPECT_EQ(RunLine("Call \"" + Path("missing.exe") + "\""), kErrNotStarted);
    EXPECT_STREQ(GetVariableText("#LASTERROR#"), "0");
    // A bare name is the system folder's program, passed by its full path.
    EXPECT_EQ(RunLine("Call \"cmd.exe\", \"/c exit 3\", , Hide"), 0);
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Executing: \"" + cmd + "\" /c exit 3"}));
    EXPECT_STREQ(GetVariableText("#LASTERROR#"), "00000003");
    // Once the wizard is left while the program runs, the program is ended.
    DWORD start = GetTickCount();
    std::thread leave([] {
        Sleep(500);
        WizardCancelled = 1;
    });
    EXPECT_EQ(RunLine("Call \"" + cmd + "\", \"/c ping -n 30 127.0.0.1\", , Hide"), 0);
    leave.join();
    WizardCancelled = 0;
    EXPECT_LT(GetTickCount() - start, 10000u);
    EXPECT_STREQ(GetVariableText("#LASTERROR#"), "00000103");
}

// A product record named `name` and a running sample program, for CloseProgram and Run.
class Processes : public SystemCommands
{
  protected:
    void SetUp() override
    {
        SystemCommands::SetUp();
        Program = Path("Tool.exe");
        ASSERT_TRUE(CopyFileA(SampleProgramPath().c_str(), Program.c_str(), FALSE));
    }
    void TearDown() override
    {
        HWND w;
        while ((w = FindProductWindow("Tool")) != nullptr)
            SendMessageA(w, WM_QUIT, 0, 0);
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                          &key) == ERROR_SUCCESS) {
            RegDeleteValueA(key, "Tool");
            RegCloseKey(key);
        }
        SystemCommands::TearDown();
    }
    void Register(const char *name)
    {
        ProductRecord r;
        memset(&r, 0, sizeof r);
        ASSERT_TRUE(WriteProductRecord(name, &r));
    }
    std::string Program;
};

TEST_F(Processes, CloseProgramEndsARunningProduct)
{
    EXPECT_EQ(RunLine("CloseProgram Tool"), 0); // no record names it: nothing to look at
    Register("Tool");
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    std::string command = "\"" + Program + "\"";
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &si, &pi));
    ASSERT_TRUE(WaitFor([] { return FindProductWindow("tOOL") != nullptr; }));
    EXPECT_EQ(RunLine("CloseProgram To"), 0);
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Closing program..."}));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(FindProductWindow("Tool"), nullptr);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
}

// What the start of the helper's host saw, and what a user's program could do to the helper
// library while rundll32 loads it.
struct HelperStart {
    std::string library;
    std::string folder;
    DWORD tampered;
};
HelperStart helperStart;

BOOL WINAPI StartAndTamper(LPCSTR application, LPSTR command, LPSECURITY_ATTRIBUTES process,
                           LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                           LPVOID environment, LPCSTR folder, LPSTARTUPINFOA startup,
                           LPPROCESS_INFORMATION started)
{
    BOOL ok = CreateProcessA(application, command, process, thread, inherit, flags, environment,
                             folder, startup, started);
    std::string text = command;
    size_t from = text.find("\" \"") + 3;
    helperStart.library = text.substr(from, text.find('"', from) - from);
    helperStart.folder = folder ? folder : "";
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    helperStart.tampered = RunProgram(self, "--tamper \"" + helperStart.library + "\"", "C:\\");
    return ok;
}

// The helper library lies in a folder of its own that only the system and administrators may
// write, held from its writing until rundll32 has ended: a user's program can neither write,
// rename nor delete it meanwhile, nor rename its folder. rundll32 works in the system folder.
// A document opens with the program its type names, here a stand-in registered for the user.
TEST_F(Processes, RunWithoutElevationHoldsItsHelperUntilRundllEnds)
{
    SetVariable("#INSTALLPATH#", Folder.c_str());
    // The helper comes from a disk file of its name, as from the archive.
    char saved[MAX_PATH];
    GetCurrentDirectoryA(sizeof saved, saved);
    for (const char *helper : {"SetupLib32.dll", "SetupLib64.dll"})
        CopyFileA(BuildPath(helper).c_str(), Path(helper).c_str(), FALSE);
    char system[MAX_PATH];
    GetSystemDirectoryA(system, sizeof system);
    std::string open = std::string("\"") + system + "\\cmd.exe\" /c copy \"%1\" \"%1.opened\"";
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        for (const char *name : {".vttest", "VTTest.Document\\shell\\open\\command"}) {
            std::string value = name[0] == '.' ? "VTTest.Document" : open;
            HKEY key;
            RegCreateKeyExA(HKEY_CLASSES_ROOT, name, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                            &key, nullptr);
            RegSetValueExA(key, nullptr, 0, REG_SZ, (const BYTE *)value.c_str(),
                           (DWORD)value.size() + 1);
            RegCloseKey(key);
        }
    }
    WriteFileText(Path("Manual.vttest"), "the manual");

    SetCurrentDirectoryA(Folder.c_str());
    Sys.CreateProcessU = StartAndTamper;
    for (const std::string &file : {Program, Path("Manual.vttest")}) {
        helperStart = HelperStart{"", "", 0xDEAD};
        EXPECT_EQ(RunLine("Run \"" + file + "\", , NonElevated"), 0);
        EXPECT_EQ(helperStart.tampered, 0u) << "written 1, renamed 2, deleted 4, folder renamed 8";
        EXPECT_EQ(helperStart.library.rfind(TempFolder() + "\\VTL", 0), 0u) << helperStart.library;
        EXPECT_FALSE(Exists(helperStart.library.substr(0, helperStart.library.rfind('\\'))));
        EXPECT_EQ(helperStart.folder, system);
    }
    SetCurrentDirectoryA(saved);
    EXPECT_TRUE(WaitFor([] { return FindProductWindow("Tool") != nullptr; }));
    EXPECT_TRUE(
        WaitFor([&] { return ReadFileText(Path("Manual.vttest.opened")) == "the manual"; }));
    EXPECT_FALSE(Exists(Path("SetupLib.dll")));
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        for (const char *name :
             {"VTTest.Document\\shell\\open\\command", "VTTest.Document\\shell\\open",
              "VTTest.Document\\shell", "VTTest.Document", ".vttest"})
            RegDeleteKeyExA(HKEY_CLASSES_ROOT, name, view, 0);
    }
}

TEST_F(SystemCommands, PatchFile)
{
    WriteFileText(Path("Prog.exe"), "0123456789");
    auto record = [](uint32_t offset, const std::string &data) {
        std::string r(8, '\0');
        uint32_t n = (uint32_t)data.size();
        memcpy(&r[0], &offset, 4);
        memcpy(&r[4], &n, 4);
        return r + data;
    };
    // Source and patch data are names in the current folder (or the archive).
    CreateDirectoryA(Path("out").c_str(), nullptr);
    char saved[MAX_PATH];
    GetCurrentDirectoryA(sizeof saved, saved);
    SetCurrentDirectoryA(Folder.c_str());
    std::string line = "PatchFile Prog.exe, Prog.pat, \"" + Path("out") + "\"";
    // Overlapping records: the later one wins; a record past the end extends the file.
    WriteFileText(Path("Prog.pat"), record(2, "abcd") + record(4, "XY") + record(12, "end"));
    EXPECT_EQ(RunLine(line), 0);
    EXPECT_EQ(ReadFileText(Path("out\\Prog.exe")), std::string("01abXY6789\0\0end", 15));
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Patching file: Prog.exe"}));
    // Empty patch data: an exact copy.
    WriteFileText(Path("Prog.pat"), "");
    EXPECT_EQ(RunLine(line), 0);
    EXPECT_EQ(ReadFileText(Path("out\\Prog.exe")), "0123456789");
    // Bad records leave the records before them applied.
    WriteFileText(Path("Prog.pat"), record(0, "A") + record(0x80000000u, "B"));
    EXPECT_EQ(RunLine(line), kErrNotPatched);
    EXPECT_EQ(ReadFileText(Path("out\\Prog.exe")), "A123456789");
    WriteFileText(Path("Prog.pat"), record(0, "A") + record(1, "BC").substr(0, 9));
    EXPECT_EQ(RunLine(line), kErrNotPatched);
    // Missing patch data leaves the copy; a missing source is 17.
    DeleteFileA(Path("Prog.pat").c_str());
    EXPECT_EQ(RunLine(line), kErrNotPatched);
    EXPECT_EQ(ReadFileText(Path("out\\Prog.exe")), "0123456789");
    EXPECT_EQ(RunLine("PatchFile Nowhere.exe, Prog.pat, \"" + Path("out") + "\""), kErrArchive);
    EXPECT_EQ(RunLine("PatchFile a, b"), kErrMissingArgument);

    // An empty folder still gets its backslash: the target is the name at the root of the
    // current drive, never a file in the current folder.
    WriteFileText(Path("Prog.pat"), record(0, "R"));
    std::string root = Folder.substr(0, 3) + "Prog.exe";
    DeleteFileA(root.c_str());
    EXPECT_EQ(RunLine("PatchFile Prog.exe, Prog.pat, \"\""), 0);
    EXPECT_EQ(ReadFileText(Path("Prog.exe")), "0123456789") << "the source was patched";
    EXPECT_EQ(ReadFileText(root), "R123456789");
    DeleteFileA(root.c_str());
    SetCurrentDirectoryA(saved);
}

TEST_F(SystemCommands, CopyUninstallIntoAMissingFolderFails)
{
    EXPECT_EQ(RunLine("CopyUninstall \"" + Path("missing\\Uninstall.exe") + "\""),
              kErrFileNotWritten);
    EXPECT_FALSE(Exists(Path("missing")));
}

UINT ExitFlags;
DWORD ExitReason;
BOOL WINAPI RecordExit(UINT flags, DWORD reason)
{
    ExitFlags = flags;
    ExitReason = reason;
    return TRUE;
}

TEST_F(SystemCommands, RestartAsksForARebootAfterEnablingThePrivilege)
{
    Sys.ExitWindowsEx = RecordExit;
    ExitFlags = 0xFFFF;
    ExitReason = 0xFFFF;
    RestartWindows();
    EXPECT_EQ(ExitFlags, (UINT)EWX_REBOOT);
    EXPECT_EQ(ExitReason, 0u);
}

} // namespace
