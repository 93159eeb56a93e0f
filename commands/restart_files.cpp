#include "commands/restart_files.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"

enum { kListGrowth = 16, kNoteSize = 2 * kPathSize + 64 };

static char (*deletions)[kPathSize]; // what this run scheduled to leave its folder
static int deletionCount;
static int deletionCapacity;
static char (*notes)[kNoteSize];
static int noteCount;
static int noteCapacity;

// Grows a list by 16 entries when it is full; false when it cannot grow.
static bool Room(void **list, int count, int *capacity, size_t entrySize)
{
    if (count < *capacity)
        return true;
    void *grown = realloc(*list, entrySize * (size_t)(*capacity + kListGrowth));
    if (!grown)
        return false;
    *list = grown;
    *capacity += kListGrowth;
    return true;
}

static void Note(const char *format, const char *path)
{
    void *list = notes;
    if (!Room(&list, noteCount, &noteCapacity, sizeof *notes))
        return;
    notes = (char(*)[kNoteSize])list;
    FormatText(notes[noteCount++], kNoteSize, format, path);
    RestartNeeded = true;
}

bool FileInUse(const char *path, unsigned long error)
{
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
        return true;
    // A running program's file refuses deletion as access denied; so does a read-only one.
    DWORD attributes = GetFileAttributesU(path);
    return error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
}

// The 95 family reads "destination=source" lines (NUL as the destination deletes) from the
// [rename] section of WININIT.INI, in short names, when it next starts. Our line goes right
// after the section's header, which is added when there is none.
static bool AddRenameLine(const char *source, const char *destination)
{
    // WININIT.INI is read in the code page.
    char narrow[kPathSize];
    char shortSource[kPathSize];
    char shortDestination[kPathSize] = "NUL";
    if (!CodePageFromText(source, narrow, sizeof narrow))
        return false;
    DWORD n = GetShortPathNameA(narrow, shortSource, sizeof shortSource);
    if (n == 0 || n >= sizeof shortSource)
        CopyText(shortSource, sizeof shortSource, narrow);
    if (destination) {
        if (!CodePageFromText(destination, narrow, sizeof narrow))
            return false;
        n = GetShortPathNameA(narrow, shortDestination, sizeof shortDestination);
        if (n == 0 || n >= sizeof shortDestination)
            CopyText(shortDestination, sizeof shortDestination, narrow);
    }
    char file[kPathSize];
    UINT length = GetWindowsDirectoryU(file, sizeof file);
    if (length == 0 || length >= sizeof file || !AppendText(file, sizeof file, "\\WININIT.INI"))
        return false;
    char line[2 * kPathSize + 4];
    FormatText(line, sizeof line, "%s=%s\r\n", shortDestination, shortSource);
    HANDLE old = Sys.CreateFileU(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD size = old == INVALID_HANDLE_VALUE ? 0 : GetFileSize(old, nullptr);
    size_t capacity = (size == INVALID_FILE_SIZE ? 0 : size) + sizeof line + 16;
    char *text = (char *)malloc(capacity);
    DWORD got = 0;
    if (text && old != INVALID_HANDLE_VALUE && size != INVALID_FILE_SIZE)
        ReadFile(old, text, size, &got, nullptr); /* what cannot be read is begun anew */
    if (old != INVALID_HANDLE_VALUE)
        CloseHandle(old);
    if (!text)
        return false;
    text[got] = 0;
    size_t at = got;
    bool found = false;
    for (const char *p = text; *p && !found; p++) {
        if ((p == text || p[-1] == '\n') && StartsWithIgnoringCase(p, "[rename]", 8)) {
            const char *end = strchr(p, '\n');
            at = end ? (size_t)(end + 1 - text) : got;
            found = true;
        }
    }
    const char *header = found                              ? ""
                         : got > 0 && text[got - 1] != '\n' ? "\r\n[rename]\r\n"
                                                            : "[rename]\r\n";
    size_t insert = strlen(header) + strlen(line);
    memmove(text + at + insert, text + at, got - at + 1);
    memcpy(text + at, header, strlen(header));
    memcpy(text + at + strlen(header), line, strlen(line));
    int written = WriteWholeFile(file, text, (DWORD)(got + insert));
    free(text);
    return written == 0;
}

// One step for the next start of Windows; `destination` null deletes `source`.
static bool Schedule(const char *source, const char *destination)
{
    if (OsCode != 0 && OsCode < 8)
        return AddRenameLine(source, destination);
    if (!Sys.MoveFileExU)
        return false;
    DWORD flags = MOVEFILE_DELAY_UNTIL_REBOOT | (destination ? MOVEFILE_REPLACE_EXISTING : 0);
    return Sys.MoveFileExU(source, destination, flags) != FALSE;
}

// Schedules the step, keeps `leaving` (the file that leaves its folder then) and notes the step
// about `named`.
static bool ScheduleAndNote(const char *source, const char *destination, const char *leaving,
                            const char *format, const char *named)
{
    void *list = deletions;
    if (!Room(&list, deletionCount, &deletionCapacity, sizeof *deletions))
        return false;
    deletions = (char(*)[kPathSize])list;
    if (!Schedule(source, destination))
        return false;
    CopyText(deletions[deletionCount++], kPathSize, leaving);
    Note(format, named);
    return true;
}

bool DeleteAtRestart(const char *path)
{
    return ScheduleAndNote(path, nullptr, path, "In use: %s is deleted when Windows restarts",
                           path);
}

bool ReplaceAtRestart(const char *source, const char *destination)
{
    return ScheduleAndNote(source, destination, source,
                           "In use: %s is replaced when Windows restarts", destination);
}

static bool Scheduled(const char *path)
{
    for (int i = 0; i < deletionCount; i++) {
        if (EqualIgnoringCase(deletions[i], path))
            return true;
    }
    return false;
}

bool OnlyScheduledIn(const char *folder)
{
    char pattern[kPathSize];
    if (!FormatText(pattern, sizeof pattern, "%s\\*", folder))
        return false;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileU(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    bool only = true;
    do {
        char full[kPathSize];
        if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0)
            continue;
        only = FormatText(full, sizeof full, "%s\\%s", folder, found.cFileName) && Scheduled(full);
    } while (only && FindNextFileU(search, &found));
    FindClose(search);
    return only;
}

int RestartNoteCount(void)
{
    return noteCount;
}

const char *RestartNote(int index)
{
    return index >= 0 && index < noteCount ? notes[index] : "";
}
