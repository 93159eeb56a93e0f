#include "engine/selfremoval.h"

#include <windows.h>

#include <shellapi.h>
#include <string.h>

#include "archive/archive.h"
#include "base/globals.h"
#include "base/security.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/files.h"
#include "script/interpreter.h"

const char kTemporaryCopy[] = "_VTUItmp.exe";

enum {
    kRemovalTries = 100000, // del attempts of the removal command; it ends at the first success
    kCommandSize = 2048,
};

// The exit codes with which a run of the copy ends that never started the removal: the
// installed uninstaller then goes back where it was.
static bool RemovalRan(DWORD code)
{
    return code == kExitFinished || code == kExitRestartNeeded || code == kExitFailed;
}

// A new folder of this run in `parent`, made for the system and administrators only and held
// open (*held) so that nobody can rename it or put another in its place, after it was checked
// through that handle to be the folder made.
static bool MakeRunFolder(const char *parent, const char *prefix, char *folder, size_t capacity,
                          HANDLE *held)
{
    char within[kPathSize];
    if (!FormatText(within, sizeof within, "%s\\", parent) ||
        !CreateNewGuardedFolder(within, prefix, folder, capacity))
        return false;
    *held = HoldOwnFolder(folder); /* not what was made: somebody else's, left alone */
    return *held != INVALID_HANDLE_VALUE;
}

// Moves the running uninstaller's own file out of the installation folder, so that the uninstall
// script can delete "Uninstall.exe" and remove the folder while this process waits for the copy:
// a running program's file cannot be deleted, but it can be renamed on its volume. It goes into a
// new folder of this run next to the installation folder (on the same volume), which only the
// system and administrators may enter, held open until the removal; never as a plain file into
// the folder above (a volume's root lets every user rename what is there and put a link in its
// place), and never into the temporary folder: a run that removes nothing moves it back.
// `moved` gets the new path and `movedFolder` its folder, or both stay empty when the file could
// not be moved (the uninstaller then stays where it is, and is deleted once this process has
// ended).
static void MoveOutOfTheWay(char *moved, char *movedFolder, size_t capacity, HANDLE *held)
{
    char parent[kPathSize];
    char *slash = nullptr;
    const char *name = strrchr(EngineFilePath, '\\');
    if (name && CopyText(parent, sizeof parent, EngineFilePath) &&
        (slash = strrchr(parent, '\\')) &&
        (*slash = 0, (slash = strrchr(parent, '\\')) != nullptr)) {
        *slash = 0;
        if (MakeRunFolder(parent, "~VTU", movedFolder, capacity, held) &&
            FormatText(moved, capacity, "%s%s", movedFolder, name) &&
            MoveFileU(EngineFilePath, moved))
            return;
        if (*held != INVALID_HANDLE_VALUE) {
            CloseHandle(*held);
            *held = INVALID_HANDLE_VALUE;
            Sys.RemoveDirectoryU(movedFolder); /* best effort */
        }
    }
    moved[0] = 0;
    movedFolder[0] = 0;
}

// Appends ` "path"` to a command. False when it does not fit, or when the path holds a
// character that the command interpreter would read as more than text.
static bool AppendQuoted(char *command, size_t capacity, const char *path)
{
    if (strchr(path, '"') || strchr(path, '%'))
        return false;
    return AppendText(command, capacity, " \"") && AppendText(command, capacity, path) &&
           AppendText(command, capacity, "\"");
}

// Deletes `files` (up to three, null where unused) and then removes the `folders`, once the
// processes that hold them have ended: the system's command interpreter, from the system folder,
// repeats the deletion until it succeeds. No file of ours is read by it: the whole command is on
// its command line (a batch file in the temporary folder could be rewritten by any program of the
// user while the interpreter, which reads it line by line, runs with administrator rights).
// Where that cannot be, the files and folders are removed at the next start of Windows.
static void StartRemoval(const char *const *files, int fileCount, const char *const *folders,
                         int folderCount)
{
    char system[kPathSize];
    char command[kCommandSize];
    UINT n = GetSystemDirectoryU(system, sizeof system);
    bool fits = n > 0 && n < sizeof system &&
                FormatText(command, sizeof command,
                           "\"%s\\cmd.exe\" /d /q /v:off /c for /l %%i in (1,1,%d) do (del /f /q",
                           system, kRemovalTries);
    for (int i = 0; fits && i < fileCount; i++)
        fits = AppendQuoted(command, sizeof command, files[i]);
    fits = fits && AppendText(command, sizeof command, " 2>nul &");
    for (int i = 0; fits && i < fileCount; i++)
        fits = AppendText(command, sizeof command, " if not exist") &&
               AppendQuoted(command, sizeof command, files[i]);
    fits = fits && AppendText(command, sizeof command, " (");
    for (int i = 0; fits && i < folderCount; i++)
        fits = AppendText(command, sizeof command, "rd") &&
               AppendQuoted(command, sizeof command, folders[i]) &&
               AppendText(command, sizeof command, " 2>nul & ");
    fits = fits && AppendText(command, sizeof command, "exit))");

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process;
    if (fits && Sys.CreateProcessU(nullptr, command, nullptr, nullptr, FALSE,
                                   CREATE_NO_WINDOW | IDLE_PRIORITY_CLASS, nullptr, system,
                                   &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return;
    }
    for (int i = 0; Sys.MoveFileExU && i < fileCount; i++)
        Sys.MoveFileExU(files[i], nullptr, MOVEFILE_DELAY_UNTIL_REBOOT); /* best effort */
    for (int i = 0; Sys.MoveFileExU && i < folderCount; i++)
        Sys.MoveFileExU(folders[i], nullptr, MOVEFILE_DELAY_UNTIL_REBOOT); /* best effort */
}

int RelaunchFromTemporaryFolder(const char *arguments, DWORD *exitCode)
{
    char temp[kPathSize];
    char folder[kPathSize];
    char copy[kPathSize];
    char moved[kPathSize] = "";
    char movedFolder[kPathSize] = "";
    HANDLE held = INVALID_HANDLE_VALUE;
    HANDLE heldFolder = INVALID_HANDLE_VALUE;
    HANDLE heldMovedFolder = INVALID_HANDLE_VALUE;
    SHELLEXECUTEINFOA start;
    int result = kRelaunchFailed;
    if (!EngineTempFolder(temp, sizeof temp) ||
        !MakeRunFolder(temp, "VTU", folder, sizeof folder, &heldFolder))
        return kRelaunchFailed;
    // The copy is written from the file this process holds, never read again by its name.
    if (!FormatText(copy, sizeof copy, "%s\\%s", folder, kTemporaryCopy) ||
        WriteEngineFileTo(copy) != kOk)
        goto done;
    // From here until the copy runs, nobody may change or replace it: it is opened without
    // sharing writes or deletion, and only what then reads as this very program is started.
    held = Sys.CreateFileU(copy, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE || !SameAsEngineFile(held))
        goto done;
    // Its own file is read no more: let go of it, so that it can be moved.
    ReleaseEngineFile();
    MoveOutOfTheWay(moved, movedFolder, sizeof moved, &heldMovedFolder);
    // Nor may this process's own working folder keep the installation folder in use.
    SetCurrentDirectoryU(folder); /* best effort */

    memset(&start, 0, sizeof start);
    start.cbSize = sizeof start;
    start.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    start.lpVerb = "open";
    start.lpFile = copy;
    start.lpParameters = arguments;
    // The copy works in its own folder, so that nothing keeps the installation folder in use.
    start.lpDirectory = folder;
    start.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExU(&start) || !start.hProcess) {
        if (moved[0] && MoveFileU(moved, EngineFilePath))
            moved[0] = 0; /* best effort: the uninstaller stays usable */
        goto done;
    }
    CloseHandle(held);
    held = INVALID_HANDLE_VALUE;
    result = kOk;
    WaitForSingleObject(start.hProcess, INFINITE);
    *exitCode = kExitFailed;
    GetExitCodeProcess(start.hProcess, exitCode); /* on failure the run counts as failed */
    CloseHandle(start.hProcess);
    // A run that removed nothing (cancelled, refused, or another one running) leaves the
    // product as it was, its uninstaller included; one that cannot go back is kept, not removed.
    if (moved[0] && !RemovalRan(*exitCode)) {
        MoveFileU(moved, EngineFilePath); /* best effort */
        moved[0] = 0;
    }
done:
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    // The run's folders are let go only now, when nothing of this process is left to read from
    // them; the removal deletes what is in them and then them, names nobody else could have
    // replaced, as only the system and administrators may change them.
    if (heldFolder != INVALID_HANDLE_VALUE)
        CloseHandle(heldFolder);
    if (heldMovedFolder != INVALID_HANDLE_VALUE)
        CloseHandle(heldMovedFolder);
    if (movedFolder[0] && !moved[0])
        Sys.RemoveDirectoryU(movedFolder); /* best effort: the uninstaller went back */
    if (result != kOk) {
        Sys.DeleteFileU(copy);        /* best effort */
        Sys.RemoveDirectoryU(folder); /* best effort */
        return result;
    }
    {
        char installFolder[kPathSize];
        CopyText(installFolder, sizeof installFolder, EngineFilePath);
        char *slash = strrchr(installFolder, '\\');
        if (slash)
            *slash = 0;
        const char *files[2] = {copy, moved[0] ? moved : EngineFilePath};
        // An uninstaller that could not move out of the way held its folder during the run.
        const char *folders[2] = {folder, moved[0] ? movedFolder : installFolder};
        bool stayed = moved[0] == 0 && RemovalRan(*exitCode);
        StartRemoval(files, stayed || moved[0] ? 2 : 1, folders, stayed || moved[0] ? 2 : 1);
    }
    return kOk;
}

bool RestartWindows(void)
{
    if (OsCode >= 8) {
        HANDLE token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
            return false;
        TOKEN_PRIVILEGES privileges;
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        bool enabled =
            LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        CloseHandle(token);
        if (!enabled)
            return false;
    }
    return Sys.ExitWindowsEx(EWX_REBOOT, 0) == TRUE;
}
