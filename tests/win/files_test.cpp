// The file commands, run as script lines with their status lines recorded.
#include "tests/win/win_test_util.h"

#include "commands/files.h"
#include "commands/links.h"
#include "commands/realuser.h"

namespace
{

class FileCommands : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        InstallFileCommands();
    }
};

// Suites that need the packed archive.
class PackedFileCommands : public FileCommands
{
};

TEST_F(FileCommands, CreateDirCreatesEveryLevel)
{
    std::string deep = Path("a\\b\\c\\d");
    EXPECT_EQ(RunLine("CreateDir \"" + deep + "\""), 0);
    EXPECT_TRUE(Exists(deep));
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Creating folder: " + deep}));
    EXPECT_EQ(RunLine("CreateDir \"" + deep + "\\\""), 0); // trailing backslash, existing
    EXPECT_EQ(RunLine("CreateDir \"" + Path("e\\f\\") + "\""), 0);
    EXPECT_TRUE(Exists(Path("e\\f")));
    EXPECT_EQ(RunLine("CreateDir \"\""), kErrFolderNotCreated);
    EXPECT_EQ(RunLine("CreateDir"), kErrMissingArgument);
    EXPECT_TRUE(Statuses.empty());
}

TEST_F(FileCommands, CreatePathRelativeToTheCurrentFolder)
{
    char saved[MAX_PATH];
    GetCurrentDirectoryA(sizeof saved, saved);
    SetCurrentDirectoryA(Folder.c_str());
    EXPECT_EQ(CreatePath("one"), 0);
    EXPECT_EQ(CreatePath("two\\levels"), 0);
    SetCurrentDirectoryA(saved);
    EXPECT_TRUE(IsFolder(Path("one").c_str()));
    EXPECT_TRUE(IsFolder(Path("two\\levels").c_str()));
    EXPECT_EQ(CreatePath(""), 2);
}

TEST_F(FileCommands, CreateDirRefusesTooLongPaths)
{
    std::string longPath = Path(std::string(200, 'x') + "\\" + std::string(100, 'y'));
    EXPECT_EQ(RunLine("CreateDir \"" + longPath + "\""), kErrFolderNotCreated);
    EXPECT_FALSE(Exists(Path(std::string(200, 'x'))));
}

TEST_F(FileCommands, CreateDirOnAMissingDriveGivesUpAfterElevenAttempts)
{
    DWORD start = GetTickCount();
    EXPECT_EQ(RunLine("CreateDir Q:\\Apps\\Tool"), kErrFolderNotCreated);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 1000u);
    EXPECT_LT(elapsed, 5000u);
}

int CreateCalls;
BOOL WINAPI RefuseCreate(LPCSTR, LPSECURITY_ATTRIBUTES)
{
    CreateCalls++;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(FileCommands, FolderCreationRetries)
{
    CreateCalls = 0;
    Sys.CreateDirectoryU = RefuseCreate;
    EXPECT_EQ(CreateOneFolder(Path("denied").c_str()), kErrFolderNotCreated);
    EXPECT_EQ(CreateCalls, 11);
    // Someone else made it meanwhile: that counts as success.
    CreateDirectoryA(Path("there").c_str(), nullptr);
    EXPECT_EQ(CreateOneFolder(Path("there").c_str()), 0);
}

TEST_F(FileCommands, CopyFileFromDisk)
{
    WriteFileText(Path("src.txt"), "payload");
    CreateDirectoryA(Path("dest").c_str(), nullptr);
    EXPECT_EQ(RunLine("CopyFile \"" + Path("src.txt") + "\", \"" + Path("out.txt") + "\""), 0);
    EXPECT_EQ(ReadFileText(Path("out.txt")), "payload");
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Copying file: " + Path("out.txt")}));
    EXPECT_EQ(RunLine("CopyFile \"" + Path("src.txt") + "\", \"" + Path("missing\\x") + "\""),
              kErrFileNotWritten);
    EXPECT_EQ(RunLine("CopyFile only-one"), kErrMissingArgument);
    EXPECT_TRUE(Statuses.empty());
}

TEST_F(FileCommands, CopyFileOfANameThatIsNowhere)
{
    std::string dest = Path("d.txt");
    EXPECT_EQ(RunLine("CopyFile Nowhere.txt, \"" + dest + "\""), kErrArchive);
    EXPECT_EQ(RunLine("CopyFile Nowhere.txt, \"" + dest + "\", SILENT"), kErrFileNotWritten);
    WriteFileText(dest, "already here");
    EXPECT_EQ(RunLine("CopyFile Nowhere.txt, \"" + dest + "\", SILENT"), 0);
    EXPECT_EQ(RunLine("CopyFile Nowhere.txt, \"" + dest + "\", silent"), kErrArchive);
    EXPECT_EQ(ReadFileText(dest), "already here");
}

TEST_F(FileCommands, CopyFileRefusesADestinationPastThePathBuffer)
{
    std::string folder = Path(std::string(230, 'f'));
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr) || Exists(folder));
    WriteFileText(Path("src.txt"), "x");
    std::string longName = std::string(40, 'n') + ".txt";
    WriteFileText(Path(longName), "x");
    char saved[MAX_PATH];
    GetCurrentDirectoryA(sizeof saved, saved);
    SetCurrentDirectoryA(Folder.c_str());
    EXPECT_EQ(RunLine("CopyFile " + longName + ", \"" + folder + "\""), kErrFileNotWritten);
    SetCurrentDirectoryA(saved);
}

TEST_F(PackedFileCommands, CopyFileIntoAFolderUsesTheEntryName)
{
    EXPECT_EQ(RunLine("CopyFile EULA.txt, \"" + Folder + "\""), 0);
    EXPECT_EQ(ReadFileText(Path("EULA.txt")), ReadFileText(TestDataPath("archive/EULA.txt")));
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Copying file: " + Path("EULA.txt")}));
    EXPECT_EQ(RunLine("CopyFile eula.txt, \"" + Path("licence.txt") + "\""), 0);
    EXPECT_EQ(ReadFileText(Path("licence.txt")), ReadFileText(TestDataPath("archive/EULA.txt")));
}

TEST_F(FileCommands, DeleteFileByPattern)
{
    WriteFileText(Path("a.log"), "1");
    WriteFileText(Path("b.log"), "2");
    WriteFileText(Path("keep.txt"), "3");
    CreateDirectoryA(Path("dir.log").c_str(), nullptr);
    EXPECT_EQ(RunLine("DeleteFile \"" + Path("*.log") + "\""), 0);
    EXPECT_FALSE(Exists(Path("a.log")));
    EXPECT_FALSE(Exists(Path("b.log")));
    EXPECT_TRUE(Exists(Path("keep.txt")));
    EXPECT_TRUE(Exists(Path("dir.log"))); // folders are skipped
    EXPECT_EQ(Statuses.size(), 2u);

    EXPECT_EQ(RunLine("DeleteFile \"" + Path("*.none") + "\""), 0);
    EXPECT_TRUE(Statuses.empty());
    EXPECT_EQ(RunLine("DeleteFile"), kErrMissingArgument);
}

TEST_F(FileCommands, DeleteFileWithoutFolderPartUsesTheCurrentFolder)
{
    WriteFileText(Path("here.tmp"), "1");
    char saved[MAX_PATH];
    GetCurrentDirectoryA(sizeof saved, saved);
    SetCurrentDirectoryA(Folder.c_str());
    EXPECT_EQ(RunLine("DeleteFile *.tmp"), 0);
    SetCurrentDirectoryA(saved);
    EXPECT_FALSE(Exists(Path("here.tmp")));
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Deleting file: here.tmp"}));
}

int DeleteCalls;
BOOL WINAPI RefuseDelete(LPCSTR)
{
    DeleteCalls++;
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
}

TEST_F(FileCommands, DeleteFileAttemptsFollowTheWait)
{
    WriteFileText(Path("stuck.dat"), "x");
    Sys.DeleteFileU = RefuseDelete;
    // After its attempts, a file in use is deleted at the next restart; without any, it stays.
    struct Case {
        const char *wait;
        int attempts;
        int result;
    } cases[] = {{"0", 1, 0}, {"-1", 0, kErrFileNotDeleted}, {"abc", 1, 0}, {"1", 10, 0}};
    for (const Case &c : cases) {
        DeleteCalls = 0;
        EXPECT_EQ(RunLine("DeleteFile \"" + Path("stuck.dat") + "\", " + c.wait), c.result)
            << c.wait;
        EXPECT_EQ(DeleteCalls, c.attempts) << c.wait;
    }
}

TEST_F(FileCommands, DeleteFileWaitsForAFileHeldByAnotherProcess)
{
    WriteFileText(Path("held.dat"), "x");
    WriteFileText(Path("free1.dat"), "x");
    WriteFileText(Path("free2.dat"), "x");
    std::string command =
        std::string("\"") + EngineFilePath + "\" --hold \"" + Path("held.dat") + "\" 8000";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &si, &pi));
    for (int i = 0; i < 100 && !Exists(Path("held.dat.held")); i++)
        Sleep(50);
    ASSERT_TRUE(Exists(Path("held.dat.held")));
    DeleteFileA(Path("held.dat.held").c_str());

    DWORD start = GetTickCount();
    // The held file is tried for 5 seconds, then deleted when Windows restarts.
    EXPECT_EQ(RunLine("DeleteFile \"" + Path("*.dat") + "\""), 0);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 4500u);
    EXPECT_TRUE(Exists(Path("held.dat")));
    EXPECT_FALSE(Exists(Path("free1.dat")));
    EXPECT_FALSE(Exists(Path("free2.dat")));

    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
}

TEST_F(FileCommands, RemoveDir)
{
    CreateDirectoryA(Path("full").c_str(), nullptr);
    WriteFileText(Path("full\\x"), "x");
    EXPECT_EQ(RunLine("RemoveDir \"" + Path("full") + "\""), kErrFolderNotRemoved);
    EXPECT_TRUE(Exists(Path("full\\x")));
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Removing directory: " + Path("full")}));
    EXPECT_EQ(RunLine("RemoveDir \"" + Path("missing") + "\""), 0);
    CreateDirectoryA(Path("empty").c_str(), nullptr);
    EXPECT_EQ(RunLine("RemoveDir \"" + Path("empty") + "\""), 0);
    EXPECT_FALSE(Exists(Path("empty")));
}

TEST_F(FileCommands, FolderSizeCountsEveryFileOnce)
{
    CreatePath(Path("t\\a\\b\\c").c_str());
    WriteFileText(Path("t\\one"), std::string(1000, 'x'));
    WriteFileText(Path("t\\a\\two"), std::string(2000, 'x'));
    WriteFileText(Path("t\\a\\b\\c\\three"), std::string(3000, 'x'));
    WriteFileText(Path("t\\a\\b\\empty"), "");
    EXPECT_EQ(FolderSize(Path("t").c_str()), 6000u);
    EXPECT_EQ(FolderSize((Path("t") + "\\").c_str()), 6000u);
    EXPECT_EQ(FolderSize(Path("none").c_str()), 0u);
}

// A user may put links in a folder the user may write, also back into the folder itself. The
// commands that delete, remove, copy into or walk a folder do not go through one: the
// installed size counts every file once, and what lies behind a link stays as it was.
TEST_F(FileCommands, NoCommandGoesThroughALink)
{
    CreatePath(Path("t\\a\\empty").c_str());
    WriteFileText(Path("t\\one.dcf"), std::string(3000, 'x'));
    WriteFileText(Path("t\\a\\two"), std::string(2144, 'x'));
    PlantedLink back(Path("t\\a\\back"), Path("t"));
    PlantedLink again(Path("t\\again"), Path("t"));
    ASSERT_TRUE(back.Planted && again.Planted);
    EXPECT_EQ(FolderSize(Path("t").c_str()), 5144u);
    EXPECT_EQ(FolderSize(Path("t\\again\\a").c_str()), 0u);
    SetVariable("#INSTALLPATH#", Path("t").c_str());
    SetInstallSize();
    EXPECT_STREQ(GetVariableText("#INSTALLSIZE#"), "5");

    std::string linked = Path("t\\again");
    struct {
        std::string line;
        int code;
    } cases[] = {
        {"DeleteFile \"" + linked + "\\*.dcf\"", 0},
        {"DeleteFile \"" + Path("t\\a\\back\\a") + "\\*.*\", 0", 0},
        {"RemoveDir \"" + linked + "\\a\\empty\"", 0},
        {"CopyFile \"" + Path("t\\a\\two") + "\", \"" + linked + "\\copy\"", kErrFileNotWritten},
        {"CopyFile \"" + Path("t\\a\\two") + "\", \"" + linked + "\"", kErrFileNotWritten},
    };
    for (const auto &c : cases) {
        CommandNote[0] = 0;
        EXPECT_EQ(RunLine(c.line), c.code) << c.line;
        EXPECT_NE(std::string(CommandNote).find(": a link"), std::string::npos) << c.line;
    }
    EXPECT_EQ(NamesMatching(Path("t\\*")), "a\nagain\none.dcf\n");
    EXPECT_EQ(NamesMatching(Path("t\\a\\*")), "back\nempty\ntwo\n");
    EXPECT_STREQ(CommandNote, ("not through " + linked + ": a link").c_str());
}

BOOL WINAPI ShortWrite(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED o)
{
    return WriteFile(file, bytes, count / 2, written, o);
}

TEST_F(FileCommands, WriteFileCreatingFolders)
{
    std::string target = Path("new\\deeper\\file.lnk");
    EXPECT_EQ(WriteFileCreatingFolders(target.c_str(), "bytes", 5), 0);
    EXPECT_EQ(ReadFileText(target), "bytes");
    Sys.WriteFile = ShortWrite;
    EXPECT_EQ(WriteFileCreatingFolders(target.c_str(), "bytes", 5), 2);
    ResetSystemCalls();
    EXPECT_EQ(WriteFileCreatingFolders("Q:\\nowhere\\x", "b", 1), 1);
}

// A shell link made in memory and written to a folder that does not exist yet: the target,
// arguments and icon read back as given.
TEST_F(FileCommands, MakeShortcutWritesTheWholeLink)
{
    std::string link = Path("menu\\Tool");
    std::string target = Path("Tool.exe");
    std::string icon = Path("Tool.ico");
    ASSERT_EQ(MakeShortcut(target.c_str(), link.c_str(), "/start \"a b\"", icon.c_str()), 0);
    EXPECT_EQ(ShellLinkPath(link + ".lnk"), target);

    CoInitialize(nullptr);
    IShellLinkA *shellLink = nullptr;
    IPersistFile *file = nullptr;
    WCHAR wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, (link + ".lnk").c_str(), -1, wide, MAX_PATH);
    ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IShellLinkA, (void **)&shellLink)));
    ASSERT_TRUE(SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, (void **)&file)));
    ASSERT_TRUE(SUCCEEDED(file->Load(wide, STGM_READ)));
    char arguments[MAX_PATH] = "";
    char iconPath[MAX_PATH] = "";
    int index = -1;
    shellLink->GetArguments(arguments, sizeof arguments);
    shellLink->GetIconLocation(iconPath, sizeof iconPath, &index);
    EXPECT_STREQ(arguments, "/start \"a b\"");
    EXPECT_EQ(iconPath, icon);
    EXPECT_EQ(index, 0);
    file->Release();
    shellLink->Release();
    CoUninitialize();

    // A folder in the link's place: nothing written, a failure.
    ASSERT_TRUE(CreateDirectoryA(Path("menu\\Busy.lnk").c_str(), nullptr));
    EXPECT_NE(MakeShortcut(target.c_str(), Path("menu\\Busy").c_str(), "", icon.c_str()), 0);
}

TEST_F(FileCommands, BackslashHelpers)
{
    char path[kPathSize] = "C:\\Apps";
    EXPECT_TRUE(AddBackslash(path, sizeof path));
    EXPECT_STREQ(path, "C:\\Apps\\");
    EXPECT_TRUE(AddBackslash(path, sizeof path));
    EXPECT_STREQ(path, "C:\\Apps\\");
    char full[4] = "abc";
    EXPECT_FALSE(AddBackslash(full, sizeof full));
    EXPECT_STREQ(full, "abc");
    char root[] = "C:\\\\\\";
    StripBackslashes(root);
    EXPECT_STREQ(root, "C:");
    char empty[] = "";
    StripBackslashes(empty);
    EXPECT_STREQ(empty, "");
}

// The command acts as the logged-on user while it works, and only then.
bool ImpersonatingDuringCreate;
BOOL WINAPI NoteIdentity(LPCSTR name, LPSECURITY_ATTRIBUTES security)
{
    HANDLE token;
    ImpersonatingDuringCreate = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    if (ImpersonatingDuringCreate)
        CloseHandle(token);
    return CreateDirectoryA(name, security);
}

TEST_F(FileCommands, HonoursRealUser)
{
    HWND shell = CreateShellWindow();
    OsCode = 248;
    Sys.CreateDirectoryU = NoteIdentity;
    SetVariable("#REALUSER#", "1");
    EXPECT_EQ(RunLine("CreateDir \"" + Path("as-user") + "\""), 0);
    EXPECT_TRUE(ImpersonatingDuringCreate);
    HANDLE token;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    SetVariable("#REALUSER#", "0");
    EXPECT_EQ(RunLine("CreateDir \"" + Path("as-engine") + "\""), 0);
    EXPECT_FALSE(ImpersonatingDuringCreate);
    OsCode = 0;
    DestroyWindow(shell);
}

} // namespace
