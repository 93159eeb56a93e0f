// A setup that asks for a rollback (#ROLLBACK# = 1) and fails leaves the computer as it was:
// an upgrade from 1.0 to 2.0 that fails at its last line keeps 1.0 byte for byte, with its
// registry values, its product record and a working uninstaller; a first installation that
// fails leaves nothing at all; what cannot be put back stays kept and the log says where.
#include "tests/win/win_test_util.h"

#include <algorithm>
#include <functional>

#include <sddl.h>

#include "commands/files.h"
#include "commands/journal.h"
#include "tests/win/robot.h"

namespace
{

const char kProductValues[] = "Software\\Veltrano";
const char kUninstallEntry[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Roll";

std::string Phase0(const char *version)
{
    return std::string("PhaseBegin 0\r\nSet #PROGRAM#, Roll\r\nSet #VERSION#, ") + version +
           "\r\nSet #ROLLBACK#, 1\r\nSet #UNINSTALL#, \"" + kUninstallEntry + "\"\r\nPhaseEnd\r\n";
}

// Version 1.0: files, a folder with a file, its uninstaller, values and a key tree.
std::string Version1(void)
{
    return Phase0("1.0") +
           "PhaseBegin 1\r\n"
           "CreateSetupInfo #PROGRAM#, #VERSION#\r\n"
           "CreateDir \"#INSTALLPATH#\\Docs\"\r\n"
           "CopyFile EULA.txt, \"#INSTALLPATH#\\EULA.txt\"\r\n"
           "CopyFile Tool32.exe, \"#INSTALLPATH#\\Roll.exe\"\r\n"
           "CopyFile Tool.chm, \"#INSTALLPATH#\\Docs\\Old.chm\"\r\n"
           "CopyUninstall \"#INSTALLPATH#\\Uninstall.exe\"\r\n"
           "CreateRegValSz \"LM\", \"#UNINSTALL#\", \"DisplayVersion\", \"#VERSION#\"\r\n"
           "CreateRegValSz \"LM\", \"Software\\Veltrano\\Roll\", \"Version\", \"#VERSION#\"\r\n"
           "CreateRegValDW \"LM\", \"Software\\Veltrano\\RollTree\\a\\b\", \"Deep\", 7\r\n"
           "CreateRegValSz \"LM\", \"Software\\Veltrano\\RollTree\", \"Top\", \"kept\"\r\n"
           "PhaseEnd\r\n";
}

const char kUninstallScript[] =
    "PhaseBegin 0\r\nSet #PROGRAM#, Roll\r\nPhaseEnd\r\nPhaseBegin 1\r\n"
    "DeleteFile \"#INSTALLPATH#\\Docs\\*.*\"\r\nRemoveDir \"#INSTALLPATH#\\Docs\"\r\n"
    "DeleteFile \"#INSTALLPATH#\\*.*\"\r\nRemoveDir \"#INSTALLPATH#\"\r\n"
    "DeleteRegKey \"LM\", \"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Roll\"\r\n"
    "DeleteRegKey \"LM\", \"Software\\Veltrano\\Roll\"\r\n"
    "DeleteRegKey \"LM\", \"Software\\Veltrano\\RollTree\"\r\n"
    "DeleteRegVal \"LM\", \"Software\\Veltrano\", Roll\r\nPhaseEnd\r\n";

// Version 2.0 changes every kind of thing, then fails at `failure` (its last line).
std::string Version2(const std::string &beforeFailure, const std::string &failure)
{
    return Phase0("2.0") +
           "PhaseBegin 1\r\n"
           "CreateSetupInfo #PROGRAM#, #VERSION#\r\n"
           "CreateDir \"#INSTALLPATH#\"\r\n"
           "CopyFile Tool64.exe, \"#INSTALLPATH#\\Roll.exe\"\r\n"
           "CopyFile Tool.pat, \"#INSTALLPATH#\\EULA.txt\"\r\n"
           "PatchFile Tool.chm, Tool.pat, \"#INSTALLPATH#\"\r\n"
           "DeleteFile \"#INSTALLPATH#\\Docs\\Old.chm\"\r\n"
           "RemoveDir \"#INSTALLPATH#\\Docs\"\r\n"
           "CreateDir \"#INSTALLPATH#\\New\\Deep\"\r\n"
           "CopyFile EULA.txt, \"#INSTALLPATH#\\New\\Deep\\EULA.txt\"\r\n"
           "CopyUninstall \"#INSTALLPATH#\\Uninstall.exe\"\r\n"
           "CreateLink \"#INSTALLPATH#\\Roll.exe\", \"#INSTALLPATH#\\Start\\Roll\"\r\n"
           "CreateLink \"http://example.com/\", \"#INSTALLPATH#\\Web\"\r\n"
           "CreateRegValSz \"LM\", \"#UNINSTALL#\", \"DisplayVersion\", \"#VERSION#\"\r\n"
           "CreateRegValSz \"LM\", \"#UNINSTALL#\", \"Publisher\", \"Veltrano\"\r\n"
           "CreateRegValDW \"LM\", \"Software\\Veltrano\\Roll\\New\\Key\", \"Added\", 1\r\n"
           "DeleteRegVal \"LM\", \"Software\\Veltrano\\Roll\", \"Version\"\r\n"
           "DeleteRegKey \"LM\", \"Software\\Veltrano\\RollTree\"\r\n" +
           beforeFailure + failure + "\r\nPhaseEnd\r\n";
}

// Every file below `folder`, with its bytes, one per line, in name order.
std::string FilesBelow(const std::string &folder)
{
    std::vector<std::string> lines;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return "";
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        std::string full = folder + "\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            lines.push_back(full + "\\ {" + FilesBelow(full) + "}");
        else
            lines.push_back(full + " = " +
                            std::to_string(std::hash<std::string>()(ReadFileText(full))));
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

// Every key and value below HKLM `path` in the 32-bit view, one per line.
std::string RegistryBelow(const std::string &path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) !=
        ERROR_SUCCESS)
        return "";
    std::string text = path + "\n";
    char name[512];
    BYTE data[4096];
    for (DWORD i = 0;; i++) {
        DWORD nameSize = sizeof name;
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        text += "  " + std::string(name) + " " + std::to_string(type) + " " +
                std::string((const char *)data, size) + "\n";
    }
    std::vector<std::string> children;
    for (DWORD i = 0;; i++) {
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        children.push_back(name);
    }
    RegCloseKey(key);
    std::sort(children.begin(), children.end());
    for (const std::string &child : children)
        text += RegistryBelow(path + "\\" + child);
    return text;
}

class Rollback : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        Setup = Path("RollSetup.exe");
        Target = Path("Roll");
        Forget();
    }
    void TearDown() override
    {
        Forget();
        WindowsTest::TearDown();
    }
    void Forget()
    {
        for (const char *key : {kUninstallEntry, "Software\\Veltrano\\Roll\\New\\Key",
                                "Software\\Veltrano\\Roll\\New", "Software\\Veltrano\\Roll",
                                "Software\\Veltrano\\RollTree\\a\\b",
                                "Software\\Veltrano\\RollTree\\a", "Software\\Veltrano\\RollTree"})
            RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key, KEY_WOW64_32KEY, 0);
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductValues, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                          &key) == ERROR_SUCCESS) {
            RegDeleteValueA(key, "Roll");
            RegCloseKey(key);
        }
    }

    DWORD Install(const std::string &script)
    {
        EXPECT_EQ(PackSample(Setup, script, kUninstallScript), 0u);
        return RunProgram(Setup, "\"" + Target + "\"", Folder);
    }

    // What a run may change: the product's folder, backup folders at the volume's root, the
    // product's registry keys and the product records.
    std::string Snapshot()
    {
        return FilesBelow(Target) + NamesMatching(Folder.substr(0, 3) + "~VTBackup*") +
               RegistryBelow(kProductValues) + RegistryBelow(kUninstallEntry);
    }

    std::string Setup;
    std::string Target;
};

TEST_F(Rollback, AFailedUpgradeLeavesTheEarlierVersionAsItWas)
{
    ASSERT_EQ(Install(Version1()), 0u);
    DeleteFileA((Setup + ".log").c_str());
    std::string before = Snapshot();
    ASSERT_NE(before.find("Roll.exe"), std::string::npos);

    EXPECT_EQ(Install(Version2("", "CopyFile Missing.txt, \"#INSTALLPATH#\\Missing.txt\"")), 1603u);
    std::string log = ReadLog(Setup + ".log");
    EXPECT_NE(log.find("The changes were rolled back.\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Not undone"), std::string::npos) << log;
    EXPECT_EQ(Snapshot(), before);

    // 1.0's own uninstaller still removes it, and cleanly.
    EXPECT_EQ(RunProgram(Target + "\\Uninstall.exe", "\"" + Target + "\"", Folder), 0u);
    EXPECT_FALSE(Exists(Target));
    EXPECT_EQ(RegistryBelow(kUninstallEntry), "");
    EXPECT_EQ(RegistryBelow("Software\\Veltrano\\Roll"), "");
}

// With the wizard: the person cancels at the error of 2.0's last line, or leaves during its
// progress page; either way 1.0 stays as it was.
TEST_F(Rollback, TheWizardRollsBackWhenThePersonCancels)
{
    ASSERT_EQ(Install(Version1()), 0u);
    std::string before = Snapshot();
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string gate = Path("gate.txt");
    WriteFileText(gate, "x");
    // A line that fails with a message that offers Retry and Cancel, and a long wait.
    const std::string failing = "CopyFile EULA.txt, \"#INSTALLPATH#\\No\\Such\\Folder\"";
    const std::string waiting =
        std::string("Call \"") + self + "\", \"--hold " + gate + " 60000\", , Hide\r\n";
    struct Case {
        const char *what;
        std::string beforeFailure;
        std::function<void(WizardRobot &)> leave;
    } cases[] = {
        {"Cancel after an error", "",
         [](WizardRobot &robot) {
             EXPECT_EQ(robot.Answer(IDCANCEL).substr(0, 26), "A file could not be copied");
         }},
        {"Cancel during progress", waiting,
         [&](WizardRobot &robot) {
             ASSERT_TRUE(WaitFor([&] { return Exists(gate + ".held"); }));
             robot.Press(IDCANCEL);
             EXPECT_EQ(robot.Answer(IDYES).substr(0, 22), "Setup is not complete.");
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileA((gate + ".held").c_str());
        ASSERT_EQ(PackSample(Setup, Version2(c.beforeFailure, failing), kUninstallScript), 0u);
        RunningProgram setup(StartProgram(Setup, "", Folder));
        WizardRobot robot("Setup - Roll v2.0", "Setup");
        ASSERT_TRUE(robot.Open());
        ASSERT_TRUE(robot.On(kWelcomePage));
        ASSERT_TRUE(robot.Press(IDOK));
        ASSERT_TRUE(robot.On(kLicensePage));
        ASSERT_TRUE(robot.Press(IDOK));
        ASSERT_TRUE(robot.On(kProgressPage));
        c.leave(robot);
        EXPECT_TRUE(robot.Closed());
        EXPECT_EQ(setup.ExitCode(), 1603u);
        EXPECT_EQ(Snapshot(), before);
    }
}

TEST_F(Rollback, AFailedFirstInstallationLeavesNothing)
{
    std::string before = Snapshot();
    std::string script = Version1();
    script.insert(script.rfind("PhaseEnd"), "Error \"late\"\r\n");
    EXPECT_EQ(Install(script), 1603u);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_FALSE(Exists(Target));

    // Without #ROLLBACK# the same failure keeps what was done, as it always did.
    script.replace(script.find("Set #ROLLBACK#, 1\r\n"), 19, "");
    EXPECT_EQ(Install(script), 1603u);
    EXPECT_TRUE(Exists(Target + "\\Roll.exe"));
    EXPECT_EQ(ReadLog(Setup + ".log").find("rolled back"), std::string::npos);
}

// A file in use when the rollback comes cannot be put back: the rollback goes on with the
// rest, keeps the earlier file in the backup folder until Windows restarts, and the log says
// where.
TEST_F(Rollback, AFileInUseKeepsItsBackupAndTheLogSaysWhere)
{
    ASSERT_EQ(Install(Version1()), 0u);
    std::string eula = ReadFileText(Target + "\\EULA.txt");
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    // After EULA.txt is replaced, a program holds it open; the setup waits a moment for it (a
    // program that holds another file for a second and a half) and then fails.
    std::string hold = std::string("Run \"") + self +
                       "\", \"--hold #INSTALLPATH#\\EULA.txt 6000\"\r\nCall \"" + self +
                       "\", \"--hold #INSTALLPATH#\\Roll.exe 1500\"\r\n";
    EXPECT_EQ(Install(Version2(hold, "Error \"late\"")), 1603u);
    std::string log = ReadLog(Setup + ".log");
    EXPECT_NE(log.find("The changes were rolled back.\r\n"), std::string::npos) << log;
    // It goes back when Windows restarts.
    std::string note =
        "Put back when Windows restarts: " + Target + "\\EULA.txt, kept until then as ";
    size_t at = log.find(note);
    ASSERT_NE(at, std::string::npos) << log;
    std::string kept = log.substr(at + note.size(), log.find("\r\n", at) - at - note.size());
    EXPECT_EQ(ReadFileText(kept), eula);
    // Everything else is as it was.
    EXPECT_EQ(ReadFileText(Target + "\\Roll.exe"),
              ReadFileText(BuildPath("samples/payload/Tool32.exe")));
    EXPECT_TRUE(Exists(Target + "\\Docs\\Old.chm"));
    EXPECT_FALSE(Exists(Target + "\\New"));
    EXPECT_NE(RegistryBelow("Software\\Veltrano\\RollTree").find("Deep"), std::string::npos);
    EXPECT_TRUE(
        WaitFor([&] { return DeleteFileA((Target + "\\EULA.txt").c_str()) != FALSE; }, 20000));
    DeleteFileA(kept.c_str());
    RemoveDirectoryA(kept.substr(0, kept.rfind('\\')).c_str());
}

// The access the engine asked for when it made a backup folder.
std::string backupAccess;

BOOL WINAPI RecordBackupFolder(LPCSTR name, LPSECURITY_ATTRIBUTES security)
{
    if (strstr(name, "~VTBackup"))
        backupAccess = AccessAskedFor(security);
    return CreateDirectoryA(name, security);
}

BOOL WINAPI NotAnAdministrator(void)
{
    return FALSE;
}

class RollbackJournal : public WindowsTest
{
};

// The backup folder at a volume's root would hand every user the right to change it, and to
// rename it and put one of their own in its place, whose files a rollback would then move into
// the computer's own folders. An elevated run makes it for the system and administrators only;
// a run that is not elevated keeps what is handed down, since its files are the user's own.
TEST_F(RollbackJournal, BackupFoldersAdmitOnlyTheSystemAndAdministrators)
{
    std::string file = Path("old.txt");
    WriteFileText(file, "old");
    Sys.CreateDirectoryU = RecordBackupFolder;
    for (bool elevated : {true, false}) {
        backupAccess.clear();
        if (!elevated)
            Sys.IsUserAnAdmin = NotAnAdministrator;
        StartJournal();
        EXPECT_NE(JournalFileWrite(file.c_str()), kNoMark);
        EXPECT_FALSE(Exists(file)) << "kept in the backup";
        EXPECT_EQ(backupAccess, elevated ? "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)" : "inherited");
        RollBack(0);
        EXPECT_EQ(ReadFileText(file), "old");
    }
}

// A folder replaced by a link after the journal noted changes in it (a file replaced, a new
// file, a new folder): the rollback deletes, removes and puts back nothing behind the link, and
// notes each step it passed over.
TEST_F(RollbackJournal, TheRollbackDoesNotGoThroughALinkPlantedSince)
{
    std::string app = Path("app");
    CreateDirectoryA(app.c_str(), nullptr);
    WriteFileText(app + "\\old.dll", "old");
    std::string victim = Path("victim");
    CreatePath((victim + "\\sub").c_str());
    WriteFileText(victim + "\\old.dll", "the victim's");
    WriteFileText(victim + "\\sub\\new.dll", "the victim's");
    StartJournal();
    ASSERT_NE(JournalFileWrite((app + "\\old.dll").c_str()), kNoMark);
    WriteFileText(app + "\\old.dll", "new");
    ASSERT_EQ(CreateOneFolder((app + "\\sub").c_str()), 0);
    ASSERT_NE(JournalFileWrite((app + "\\sub\\new.dll").c_str()), kNoMark);
    WriteFileText(app + "\\sub\\new.dll", "new");
    ASSERT_TRUE(MoveFileA(app.c_str(), Path("moved").c_str()));
    PlantedLink link(app, victim);
    ASSERT_TRUE(link.Planted);
    int count = RollBack(0);
    std::string notes;
    for (int i = 0; i < count; i++)
        notes += RollbackNote(i) + std::string("\n");
    EXPECT_EQ(ReadFileText(victim + "\\old.dll"), "the victim's");
    EXPECT_EQ(ReadFileText(victim + "\\sub\\new.dll"), "the victim's");
    size_t at = notes.find(" is kept as ");
    ASSERT_NE(at, std::string::npos) << notes;
    std::string kept = notes.substr(at + 12, notes.find('\n', at) - at - 12);
    EXPECT_EQ(notes, "Not undone: " + app + "\\sub\\new.dll lies behind a link\n" +
                         "Not undone: the folder " + app + "\\sub lies behind a link\n" +
                         "Not undone: " + app + "\\old.dll could not be put back; the earlier " +
                         "file is kept as " + kept + "\n");
    EXPECT_EQ(ReadFileText(kept), "old");
    DeleteFileA(kept.c_str());
    RemoveDirectoryA(kept.substr(0, kept.rfind('\\')).c_str());
}

} // namespace
