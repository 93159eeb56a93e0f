// Files in use: a file a program holds is replaced or deleted when Windows next starts, the run
// goes on and ends with 3010, and nothing is left that is not scheduled for deletion. Wine keeps
// the steps for the next start where Windows does, in PendingFileRenameOperations.
#include "tests/win/win_test_util.h"

namespace
{

const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";

// The steps scheduled for the next start: pairs of source and destination ("" deletes; a
// destination beginning with '!' replaces what is there).
std::vector<std::string> PendingRenames(void)
{
    std::vector<std::string> entries;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return entries;
    DWORD size = 0;
    std::vector<WCHAR> data;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) ==
        ERROR_SUCCESS) {
        data.resize(size / 2 + 2);
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, (BYTE *)data.data(),
                         &size);
        for (size_t at = 0; at < size / 2 && (entries.size() % 2 == 1 || data[at]);) {
            char text[MAX_PATH * 2] = "";
            WideCharToMultiByte(CP_ACP, 0, &data[at], -1, text, sizeof text, nullptr, nullptr);
            entries.push_back(text);
            at += wcslen(&data[at]) + 1;
        }
    }
    RegCloseKey(key);
    return entries;
}

bool Pending(const std::string &source, const std::string &destination)
{
    std::vector<std::string> entries = PendingRenames();
    for (size_t i = 0; i + 1 < entries.size(); i += 2) {
        if (EqualIgnoringCase(entries[i].c_str(), ("\\??\\" + source).c_str()) &&
            EqualIgnoringCase(entries[i + 1].c_str(), destination.c_str()))
            return true;
    }
    return false;
}

void ForgetPendingRenames(void)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS, &key) ==
        ERROR_SUCCESS) {
        RegDeleteValueA(key, "PendingFileRenameOperations");
        RegCloseKey(key);
    }
}

// A file held open by this test, as a running program holds its own.
HANDLE Hold(const std::string &path)
{
    WriteFileText(path, "old");
    return CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class InUse : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        ForgetPendingRenames();
    }
    void TearDown() override
    {
        ForgetPendingRenames();
        RestartNeeded = false;
        OsCode = 0;
        std::string backups = NamesMatching("C:\\~VTBackup*");
        for (size_t at = 0, end; (end = backups.find('\n', at)) != std::string::npos; at = end + 1)
            RemoveTree("C:\\" + backups.substr(at, end - at));
        ForgetSampleProducts();
        WindowsTest::TearDown();
    }
};

TEST_F(InUse, HeldFilesAreReplacedOrDeletedAtTheRestart)
{
    InstallSystemCommandsForTest();
    OsCode = 248;
    CreateDirectoryA(Path("replace").c_str(), nullptr);
    CreateDirectoryA(Path("delete").c_str(), nullptr);
    WriteFileText(Path("new.txt"), "new");
    HANDLE replaced = Hold(Path("replace\\a.txt"));
    HANDLE deleted = Hold(Path("delete\\b.txt"));
    EXPECT_EQ(RunLine("CopyFile \"" + Path("new.txt") + "\", \"" + Path("replace\\a.txt") + "\""),
              0);
    std::string fresh = NamesMatching(Path("replace\\~VTnew*.tmp"));
    ASSERT_EQ(std::count(fresh.begin(), fresh.end(), '\n'), 1) << fresh;
    fresh = Path("replace\\" + fresh.substr(0, fresh.size() - 1));
    EXPECT_EQ(ReadFileText(fresh), "new");
    EXPECT_TRUE(Pending(fresh, "!\\??\\" + Path("replace\\a.txt")));
    EXPECT_EQ(RunLine("DeleteFile \"" + Path("delete\\*.txt") + "\", 0"), 0);
    EXPECT_EQ(RunLine("RemoveDir \"" + Path("delete") + "\""), 0);
    EXPECT_TRUE(Pending(Path("delete\\b.txt"), ""));
    EXPECT_TRUE(Pending(Path("delete"), ""));
    EXPECT_EQ(RunLine("RemoveDir \"" + Path("replace") + "\""), 20) << "a.txt is not deleted";
    EXPECT_EQ(RunLine("DeleteFile \"" + Path("delete\\*.txt") + "\", -1"), 19) << "no attempt";
    EXPECT_TRUE(RestartNeeded);

    // The 95 family reads the [rename] section of WININIT.INI, in short names.
    OsCode = 1;
    std::string ini = ReadFileText("C:\\windows\\wininit.ini");
    EXPECT_EQ(RunLine("DeleteFile \"" + Path("delete\\b.txt") + "\", 0"), 0);
    char shortName[MAX_PATH];
    GetShortPathNameA(Path("delete\\b.txt").c_str(), shortName, sizeof shortName);
    EXPECT_EQ(ReadFileText("C:\\windows\\wininit.ini"),
              std::string("[rename]\r\nNUL=") + shortName + "\r\n")
        << ini;
    DeleteFileA("C:\\windows\\wininit.ini");
    CloseHandle(replaced);
    CloseHandle(deleted);
}

// A silent uninstall while the product runs (here: it waits for a registration to end) removes
// everything else, schedules the program and its folder, and says so.
TEST_F(InUse, SilentUninstallOfARunningProduct)
{
    std::string setup = Path("ToolSetup.exe");
    const std::string installed = Path("Tool");
    ASSERT_TRUE(CopyFileA(BuildPath("samples/ToolSetup.exe").c_str(), setup.c_str(), FALSE));
    ASSERT_EQ(RunProgram(setup, "/S /D=" + installed, Folder), 0u);
    HANDLE registration = CreateMutexA(nullptr, TRUE, "VeltranoToolRegistration");
    RunningProgram tool(StartProgram(installed + "\\Tool.exe", "/register", Folder));
    Sleep(500);
    EXPECT_EQ(RunProgram(installed + "\\Uninstall.exe", "/S", Folder), 3010u);
    std::string log = ReadFileText(TempFolder() + "\\Tool-Uninstall.log");
    EXPECT_NE(log.find("In use: " + installed + "\\Tool.exe is deleted when Windows restarts"),
              std::string::npos)
        << log;
    EXPECT_TRUE(Pending(installed + "\\Tool.exe", ""));
    EXPECT_TRUE(Pending(installed, ""));
    EXPECT_TRUE(WaitFor([&] { return NamesMatching(installed + "\\*") == "Tool.exe\n"; }))
        << NamesMatching(installed + "\\*");
    HKEY entry;
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tool", 0,
                            KEY_READ | kEngineRegistryView, &entry),
              ERROR_SUCCESS);
    ReleaseMutex(registration);
    CloseHandle(registration);
    EXPECT_EQ(tool.ExitCode(), 0u);
}

// An upgrade with a rollback journal while the old program runs: the running file is kept in
// the backup and the new one put in its place. When the upgrade succeeds, the backup that cannot
// be deleted yet goes at the restart (3010); when it fails, the old program is put back and no
// backup is left.
TEST_F(InUse, UpgradeWithRollbackWhileTheProgramRuns)
{
    const std::string installed = Path("E2E");
    const std::string program = installed + "\\Tool.exe";
    std::string script = "PhaseBegin 0\r\nSet #PROGRAM#, E2E\r\nSet #ROLLBACK#, 1\r\nPhaseEnd\r\n"
                         "PhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\n"
                         "CopyFile Tool32.exe, \"#INSTALLPATH#\\Tool.exe\"\r\n";
    ASSERT_EQ(PackSample(Path("Old.exe"), script + "PhaseEnd\r\n"), 0u);
    ASSERT_EQ(RunProgram(Path("Old.exe"), "/S /D=" + installed, Folder), 0u);
    std::string before = ReadFileText(program);
    RunningProgram tool(StartProgram(program, "", Folder));
    Sleep(500);
    ASSERT_EQ(PackSample(Path("Failing.exe"), script + "Error broken\r\nPhaseEnd\r\n"), 0u);
    EXPECT_EQ(RunProgram(Path("Failing.exe"), "/S /D=" + installed, Folder), 1603u);
    EXPECT_EQ(ReadFileText(program), before);
    EXPECT_EQ(NamesMatching("C:\\~VTBackup*"), "");
    EXPECT_EQ(PendingRenames().size(), 0u);

    ASSERT_EQ(PackSample(Path("New.exe"), script + "PhaseEnd\r\n"), 0u);
    EXPECT_EQ(RunProgram(Path("New.exe"), "/S /D=" + installed, Folder), 3010u);
    std::string backup = NamesMatching("C:\\~VTBackup*");
    ASSERT_NE(backup, "");
    backup = "C:\\" + backup.substr(0, backup.size() - 1);
    EXPECT_EQ(NamesMatching(backup + "\\*"), "1\n");
    EXPECT_TRUE(Pending(backup + "\\1", ""));
    EXPECT_TRUE(Pending(backup, ""));
    EXPECT_NE(ReadFileText(Path("New.exe.log")).find("In use: " + backup + "\\1 is deleted"),
              std::string::npos);
}

} // namespace
