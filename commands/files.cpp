#include "commands/files.h"

#include <windows.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "archive/archive.h"
#include "base/globals.h"
#include "base/security.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/journal.h"
#include "commands/realuser.h"
#include "resources/resource.h"
#include "commands/restart_files.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

enum {
    kFolderAttempts = 11,
    kRetryPauseMs = 100,
    kDefaultDeleteAttempts = 50,
};

bool AddBackslash(char *path, size_t capacity)
{
    size_t length = strlen(path);
    if (length == 0 || path[length - 1] == '\\')
        return true;
    return AppendText(path, capacity, "\\");
}

void StripBackslashes(char *path)
{
    size_t length = strlen(path);
    while (length > 0 && path[length - 1] == '\\')
        path[--length] = 0;
}

// True when `inner` is `outer` or lies below it (ignoring case and trailing backslashes).
static bool SameOrBelow(const char *inner, const char *outer)
{
    size_t n = strlen(outer);
    while (n > 0 && outer[n - 1] == '\\')
        n--;
    if (n == 0 || !StartsWithIgnoringCase(inner, outer, n))
        return false;
    while (inner[n] == '\\')
        n++;
    return inner[n] == 0 || inner[n - 1] == '\\';
}

// True when `path` is the installation folder, a folder above it, or one inside it: the folders
// that an elevated installation makes for the system and administrators to change, and for users
// only to read and run. (Other folders, such as the user's own settings folder, are left as they
// come.)
static bool OnInstallLine(const char *path)
{
    const char *install = GetVariableText("#INSTALLPATH#");
    return SameOrBelow(path, install) || SameOrBelow(install, path);
}

// Reparse tags: bit 31 marks the system's own kinds, bit 29 a name surrogate, one that stands
// for another place (a junction, a mount point, a symbolic link). One that is not the system's,
// or cannot be read, counts as a link too.
static bool IsLinkTag(DWORD tag)
{
    return !(tag & 0x80000000u) || (tag & 0x20000000u);
}

// True when `path` is a reparse point that leads somewhere else. Placeholders of files kept in
// the cloud and the like are reparse points too, but stay where they are.
static bool IsLink(const char *path)
{
    DWORD attributes = GetFileAttributesU(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileU(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return true;
    FindClose(search);
    return IsLinkTag(found.dwReserved0);
}

bool PathThroughLink(const char *path)
{
    char level[kPathSize];
    if (!CopyText(level, sizeof level, path)) {
        FormatText(CommandNote, sizeof CommandNote, "%s is too long to look at", path);
        return true;
    }
    // The drive's or share's root is where the path starts, not a level of it.
    size_t start = 0;
    if (level[0] == '\\' && level[1] == '\\') {
        const char *server = strchr(level + 2, '\\');
        const char *share = server ? strchr(server + 1, '\\') : nullptr;
        start = share ? (size_t)(share - level) : strlen(level);
    } else if (level[0] && level[1] == ':') {
        start = 2;
    }
    size_t length = strlen(level);
    for (size_t i = start + 1; i <= length; i++) {
        if (level[i] != '\\' && level[i] != 0)
            continue;
        char kept = level[i];
        level[i] = 0;
        if (IsLink(level)) {
            FormatText(CommandNote, sizeof CommandNote, "not through %s: a link", level);
            return true;
        }
        level[i] = kept;
    }
    return false;
}

int CreateOneFolder(const char *path)
{
    bool protect = OnInstallLine(path);
    for (int attempt = 0; attempt < kFolderAttempts; attempt++) {
        if (protect ? CreateFolderWithAccess(path, kProtectedFolderAccess)
                    : Sys.CreateDirectoryU(path, nullptr) != FALSE) {
            JournalFolderCreated(path);
            return kOk;
        }
        // A name that cannot be given to the system is not worth another try.
        bool unnamed = GetLastError() == ERROR_NO_UNICODE_TRANSLATION;
        if (IsFolder(path))
            return kOk;
        if (unnamed)
            break;
        Sleep(kRetryPauseMs);
    }
    return kErrFolderNotCreated;
}

int CreatePath(const char *path)
{
    if (!path || path[0] == 0)
        return 2;
    if (PathExists(path))
        return 0;
    char work[kPathSize];
    if (!CopyText(work, sizeof work, path))
        return 1;
    // Cut at the last backslash until what remains exists, noting where each cut was.
    size_t cuts[kPathSize];
    int cutCount = 0;
    for (;;) {
        char *slash = strrchr(work, '\\');
        if (!slash)
            break;
        *slash = 0;
        cuts[cutCount++] = (size_t)(slash - work);
        if (work[0] != 0 && PathExists(work))
            break;
    }
    // When nothing of the path exists, its first level is created too.
    if (work[0] != 0 && !PathExists(work) && CreateOneFolder(work) != kOk)
        return 1;
    // Put the backslashes back from the left, creating each longer path, ending with the path.
    while (cutCount > 0) {
        work[cuts[--cutCount]] = '\\';
        if (CreateOneFolder(work) != kOk)
            return 1;
    }
    return 0;
}

static int WriteCreatingFolders(const char *path, const void *bytes, uint32_t count);

int WriteFileCreatingFolders(const char *path, const void *bytes, uint32_t count)
{
    // With the journal the missing folders are made first, so that undoing them comes after
    // the file is gone again.
    char folder[kPathSize];
    char *slash;
    if (JournalRecording() && CopyText(folder, sizeof folder, path) &&
        (slash = strrchr(folder, '\\')) != nullptr) {
        *slash = 0;
        if (folder[0] && !IsFolder(folder))
            CreatePath(folder); /* the write below tells whether it was enough */
    }
    int mark = JournalFileWrite(path);
    int result = WriteCreatingFolders(path, bytes, count);
    if (result != 0)
        JournalWriteFailed(mark);
    return result;
}

static int WriteCreatingFolders(const char *path, const void *bytes, uint32_t count)
{
    HANDLE file = Sys.CreateFileU(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        char folder[kPathSize];
        if (!CopyText(folder, sizeof folder, path))
            return 1;
        char *slash = strrchr(folder, '\\');
        if (slash) {
            *slash = 0;
            CreatePath(folder);
        }
        file = Sys.CreateFileU(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return 1;
    }
    DWORD written = 0;
    BOOL ok = Sys.WriteFile(file, bytes, count, &written, nullptr);
    CloseHandle(file);
    return ok && written == count ? 0 : 2;
}

// The sum of the files below a folder that goes through no link.
static uint64_t FolderTreeSize(const char *path)
{
    char prefix[kPathSize];
    char pattern[kPathSize];
    if (!CopyText(prefix, sizeof prefix, path) || !AddBackslash(prefix, sizeof prefix) ||
        !FormatText(pattern, sizeof pattern, "%s*.*", prefix))
        return 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileU(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    uint64_t total = 0;
    do {
        if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0)
            continue;
        // The listing carries each name's attributes and size: asking the file system again
        // for every file would cost as much as the listing itself.
        char full[kPathSize];
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A link to another folder (or back to this one) is not descended into.
            bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                        IsLinkTag(found.dwReserved0);
            if (!link && FormatText(full, sizeof full, "%s%s", prefix, found.cFileName))
                total += FolderTreeSize(full);
        } else {
            total += (uint64_t)found.nFileSizeHigh << 32 | found.nFileSizeLow;
        }
    } while (FindNextFileU(search, &found));
    FindClose(search);
    return total;
}

uint64_t FolderSize(const char *path)
{
    return PathThroughLink(path) ? 0 : FolderTreeSize(path);
}

void SetInstallSize(void)
{
    uint64_t bytes = FolderSize(GetVariableText("#INSTALLPATH#"));
    char text[32];
    FormatText(text, sizeof text, "%llu", (unsigned long long)(bytes / 1024));
    SetVariable("#INSTALLSIZE#", text);
}

static bool EnoughArguments(int kw, int count)
{
    return count >= KeywordForCode(kw)->minArgs;
}

int CommandCreateDir(const char *argumentStart, const char *lineEnd)
{
    if (!EnoughArguments(kKwCreateDir, FetchArguments(1, &argumentStart, lineEnd)))
        return kErrMissingArgument;
    const char *path = ArgumentSlots[0];
    ShowStatus(IDS_STATUS_CREATE_FOLDER, "Creating folder: %s", path);
    BeginRealUser();
    int result = CreatePath(path) == 0 ? kOk : kErrFolderNotCreated;
    EndRealUser();
    return result;
}

static int CopyToOldPlace(const char *source, char *destination, size_t capacity, bool fits);

// True when the folder a file path names (everything before its last backslash) goes through a
// link: nothing is written or deleted there.
static bool FolderThroughLink(const char *path)
{
    char folder[kPathSize];
    const char *slash = strrchr(path, '\\');
    return slash && (!CopyTextN(folder, sizeof folder, path, (size_t)(slash - path)) ||
                     (folder[0] && PathThroughLink(folder)));
}

// A destination that a program holds open gets the new file beside it, which takes its place
// when Windows next starts. Not while a rollback is recorded: it could not undo that. 0, or 8.
static int ReplaceWhenWindowsRestarts(const char *source, const char *destination)
{
    if (JournalRecording())
        return kErrFileNotWritten;
    HANDLE probe = Sys.CreateFileU(destination, GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    if (probe != INVALID_HANDLE_VALUE)
        CloseHandle(probe);
    char fresh[kPathSize];
    const char *slash = strrchr(destination, '\\');
    if (probe != INVALID_HANDLE_VALUE || !FileInUse(destination, error) || !slash)
        return kErrFileNotWritten;
    DWORD seed = GetTickCount() ^ GetCurrentProcessId();
    for (DWORD attempt = 0;; attempt++) {
        if (attempt == 100 ||
            !FormatText(fresh, sizeof fresh, "%.*s\\~VTnew%08lX.tmp", (int)(slash - destination),
                        destination, (unsigned long)(seed ^ (attempt * 0x9E3779B9u))))
            return kErrFileNotWritten;
        if (!PathExists(fresh))
            break;
    }
    if (CopyFileOrEntry(source, fresh) == kOk && ReplaceAtRestart(fresh, destination))
        return kOk;
    Sys.DeleteFileU(fresh); /* best effort */
    return kErrFileNotWritten;
}

// The journal's mark for the new file CopyEntryToNewFile made.
static int newFileMark;

// CopyEntryToNewFile made the destination: the status line names it, and the journal notes a
// new file, before its bytes are written.
static void NewFileCreated(const char *destination)
{
    ShowStatus(IDS_STATUS_COPY_FILE, "Copying file: %s", destination);
    newFileMark = JournalFileWriteSeen(destination, INVALID_FILE_ATTRIBUTES);
}

int CommandCopyFile(const char *argumentStart, const char *lineEnd)
{
    if (!EnoughArguments(kKwCopyFile, FetchArguments(3, &argumentStart, lineEnd)))
        return kErrMissingArgument;
    const char *source = ArgumentSlots[0];
    const char *option = ArgumentSlots[2];
    char destination[kPathSize];
    BeginRealUser();
    bool fits = CopyText(destination, sizeof destination, ArgumentSlots[1]);
    int result = kNotNew;
    if (fits && FolderThroughLink(destination)) {
        ShowStatus(IDS_STATUS_COPY_FILE, "Copying file: %s", destination);
        result = kErrFileNotWritten;
        goto done;
    }
    result = fits ? CopyEntryToNewFile(source, destination, NewFileCreated) : kNotNew;
    if (result != kNotNew) {
        if (result != kOk)
            JournalWriteFailed(newFileMark);
        goto done;
    }
    result = CopyToOldPlace(source, destination, sizeof destination, fits);
done:
    // A damaged setup file is no file in use: SILENT does not cover it.
    if (result != kOk && result != kErrEntryDamaged && strcmp(option, "SILENT") == 0)
        result = fits && PathExists(destination) ? kOk : kErrFileNotWritten;
    EndRealUser();
    return result;
}

// CopyFile onto a path where something stands (a file to replace, a folder to copy into), or
// from the disk.
static int CopyToOldPlace(const char *source, char *destination, size_t capacity, bool fits)
{
    // A folder destination receives the source under the name it is given by.
    DWORD attributes = fits ? GetFileAttributesU(destination) : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        fits = AddBackslash(destination, capacity) && AppendText(destination, capacity, source);
        attributes =
            fits && JournalRecording() ? GetFileAttributesU(destination) : INVALID_FILE_ATTRIBUTES;
    }
    ShowStatus(IDS_STATUS_COPY_FILE, "Copying file: %s", destination);
    int result = kErrFileNotWritten;
    // Into a folder given as the destination, or onto a file, that is a link: neither is
    // followed.
    if (fits && PathThroughLink(destination))
        fits = false;
    if (fits) {
        int mark = JournalFileWriteSeen(destination, attributes);
        result = CopyFileOrEntry(source, destination);
        if (result == kErrFileNotWritten)
            result = ReplaceWhenWindowsRestarts(source, destination);
        if (result != kOk)
            JournalWriteFailed(mark);
    }
    return result;
}

// Attempts per file for DeleteFile's wait argument: 50 when empty; else the number of seconds
// read like strtol (no digits give 0): 0 gives one attempt, n > 0 gives 10 n, n < 0 none.
static long DeleteAttempts(const char *wait)
{
    if (wait[0] == 0)
        return kDefaultDeleteAttempts;
    long seconds = strtol(wait, nullptr, 10);
    if (seconds < 0)
        return 0;
    if (seconds == 0)
        return 1;
    return seconds > LONG_MAX / 10 ? LONG_MAX : seconds * 10;
}

// Deletes one file with up to `attempts` tries, 100 ms apart. False when it is still there.
static bool DeleteWithRetries(const char *path, long attempts)
{
    long allowed = attempts;
    for (;;) {
        if (attempts == 0)
            return false;
        attempts--;
        // With the journal the file is kept, not deleted: it moves into the backup.
        BOOL deleted = JournalRecording() ? JournalFileDelete(path) : Sys.DeleteFileU(path);
        if (!deleted && allowed > 1)
            Sleep(kRetryPauseMs);
        if (deleted || !PathExists(path))
            return true;
    }
}

// A file still held open after its retries is deleted when Windows next starts; not while a
// rollback is recorded (it could not undo that), nor when the script asked for no attempt.
static bool DeleteWhenWindowsRestarts(const char *path, long attempts)
{
    DWORD error = GetLastError(); /* the last attempt's */
    if (attempts == 0 || JournalRecording())
        return false;
    return FileInUse(path, error) && DeleteAtRestart(path);
}

int CommandDeleteFile(const char *argumentStart, const char *lineEnd)
{
    if (!EnoughArguments(kKwDeleteFile, FetchArguments(2, &argumentStart, lineEnd)))
        return kErrMissingArgument;
    const char *pattern = ArgumentSlots[0];
    long attempts = DeleteAttempts(ArgumentSlots[1]);
    BeginRealUser();
    int result = kOk;
    char folder[kPathSize];
    const char *slash = strrchr(pattern, '\\');
    size_t folderLength = slash ? (size_t)(slash - pattern) + 1 : 0;
    WIN32_FIND_DATAA found;
    HANDLE search = INVALID_HANDLE_VALUE;
    if (strlen(pattern) >= kPathSize || !CopyTextN(folder, sizeof folder, pattern, folderLength)) {
        result = kErrFileNotDeleted;
        goto done;
    }
    // A pattern in a folder reached through a link deletes nothing there.
    if (folderLength > 0 && PathThroughLink(folder))
        goto done;
    search = FindFirstFileU(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        goto done;
    do {
        char full[kPathSize];
        if (!FormatText(full, sizeof full, "%s%s", folder, found.cFileName)) {
            result = kErrFileNotDeleted;
            continue;
        }
        DWORD attributes = GetFileAttributesU(full);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        ShowStatus(IDS_STATUS_DELETE_FILE, "Deleting file: %s", full);
        if (!DeleteWithRetries(full, attempts) && !DeleteWhenWindowsRestarts(full, attempts))
            result = kErrFileNotDeleted;
    } while (FindNextFileU(search, &found));
    FindClose(search);
done:
    EndRealUser();
    return result;
}

// A folder that holds only files deleted at the next start of Windows goes after them.
static int RemoveWhenWindowsRestarts(const char *path)
{
    if (!JournalRecording() && OnlyScheduledIn(path) && DeleteAtRestart(path))
        return kOk;
    return kErrFolderNotRemoved;
}

int CommandRemoveDir(const char *argumentStart, const char *lineEnd)
{
    if (!EnoughArguments(kKwRemoveDir, FetchArguments(1, &argumentStart, lineEnd)))
        return kErrMissingArgument;
    const char *path = ArgumentSlots[0];
    ShowStatus(IDS_STATUS_REMOVE_FOLDER, "Removing directory: %s", path);
    BeginRealUser();
    int result = kOk;
    if (strlen(path) >= kPathSize) {
        result = kErrFolderNotRemoved;
    } else if (PathExists(path) && !PathThroughLink(path)) {
        int mark = JournalFolderRemove(path);
        if (!Sys.RemoveDirectoryU(path)) {
            JournalCancel(mark);
            result = RemoveWhenWindowsRestarts(path);
        }
    }
    EndRealUser();
    return result;
}

void InstallFileCommands(void)
{
    SetCommand(kKwCreateDir, CommandCreateDir);
    SetCommand(kKwCopyFile, CommandCopyFile);
    SetCommand(kKwDeleteFile, CommandDeleteFile);
    SetCommand(kKwRemoveDir, CommandRemoveDir);
}
