#include "engine/log.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "base/globals.h"
#include "base/security.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/files.h"
#include "commands/journal.h"
#include "commands/restart_files.h"
#include "resources/resource.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"
#include "ui/messages.h"

// A log line holds at most a message (1040 bytes) or one script line's expansion: the keyword
// and five arguments of 519 characters, with the separators and the result.
enum { kLogLineSize = 1040, kDetailLineSize = 3072 };

static HANDLE openLog = INVALID_HANDLE_VALUE; // the log, once this run began writing it
static bool detailWritten;                    // the log holds detail lines

static void WriteText(HANDLE file, const char *text)
{
    DWORD written;
    Sys.WriteFile(file, text, (DWORD)strlen(text), &written, nullptr); /* best effort */
    Sys.WriteFile(file, "\r\n", 2, &written, nullptr);                 /* best effort */
}

static void WriteLine(HANDLE file, UINT id)
{
    char line[kLogLineSize];
    LoadExpandedMessage(id, line, sizeof line);
    WriteText(file, line);
}

static const char *ScriptName(void)
{
    return RunMode == 0 ? "Setup.vis" : "Uninstall.vis";
}

bool InstallLogPath(char *path, size_t capacity)
{
    if (LogFilePath[0])
        return CopyText(path, capacity, LogFilePath);
    if (RunMode == 0)
        return FormatText(path, capacity, "%s.log", EngineFilePath);
    // The uninstaller runs from a folder that is removed with it; its log goes to the temporary
    // folder, named after the product.
    char folder[kPathSize];
    if (!EngineTempFolder(folder, sizeof folder))
        return false;
    char product[kPathSize];
    CopyText(product, sizeof product, GetVariableText("#PROGRAM#"));
    for (char *c = product; *c; c++) {
        if ((unsigned char)*c < 0x20 || strchr("\\/:*?\"<>|", *c))
            *c = '_';
    }
    return FormatText(path, capacity, product[0] ? "%s\\%s-Uninstall.log" : "%s\\Uninstall.log",
                      folder, product);
}

// Creates the log anew. The log lies where any program of the user may write (beside the setup,
// in the temporary folder), and the run is elevated: whatever stands under the log's name, a
// link to some other file above all, must not lead the write elsewhere. The name is deleted
// first, which removes a link and never what it leads to, and the log is created new.
static HANDLE CreateLogFile(const char *path)
{
    Sys.DeleteFileU(path); /* best effort: what stays is looked at below */
    HANDLE file = Sys.CreateFileU(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || OsCode < 8)
        return file; /* the 95 family knows no links */
    // Still there (a viewer holds the old log open): emptied and written only when it is a
    // plain file of one name, opened as itself and not as what a link leads to.
    file = Sys.CreateFileU(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        !SetEndOfFile(file)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// The log file, opened (and an old one replaced) by the first write of this run.
static HANDLE OpenLog(void)
{
    if (openLog != INVALID_HANDLE_VALUE)
        return openLog;
    char path[kPathSize];
    if (InstallLogPath(path, sizeof path))
        openLog = CreateLogFile(path);
    // The log is UTF-8, and says so to the programs that show it.
    DWORD written;
    if (openLog != INVALID_HANDLE_VALUE)
        Sys.WriteFile(openLog, "\xEF\xBB\xBF", 3, &written, nullptr); /* best effort */
    return openLog;
}

void WriteInstallLog(void)
{
    HANDLE file = OpenLog();
    if (file == INVALID_HANDLE_VALUE)
        return;
    int code = LastErrorCode;
    if (code != kOk)
        WriteLine(file, (UINT)ShowErrorMessage(MESSAGE_ID_ONLY, code));
    WriteLine(file, code != kOk ? IDS_LOG_FAILURE : IDS_LOG_SUCCESS);
    // Which line of the script stopped the run (the last that failed, for the uninstaller).
    if (code != kOk && FailedLine.number > 0) {
        char line[kDetailLineSize];
        FormatText(line, sizeof line, "%s line %d: %s -> %d", ScriptName(), FailedLine.number,
                   FailedLine.text, FailedLine.code);
        // A damaged entry is named: the script line may name it only through a variable.
        if (FailedLine.code == kErrEntryDamaged && DamagedEntry[0] != 0) {
            AppendText(line, sizeof line, " (entry ");
            AppendText(line, sizeof line, DamagedEntry);
            AppendText(line, sizeof line, " is damaged)");
        }
        WriteText(file, line);
    }
    if (JournalRolledBack()) {
        WriteText(file, "The changes were rolled back.");
        for (int i = 0; i < RollbackNoteCount(); i++)
            WriteText(file, RollbackNote(i));
    }
    for (int i = 0; i < RestartNoteCount(); i++)
        WriteText(file, RestartNote(i));
}

void WriteRefusalToLog(const char *why)
{
    HANDLE file = OpenLog();
    if (file == INVALID_HANDLE_VALUE)
        return;
    WriteText(file, why);
    WriteLine(file, IDS_LOG_FAILURE);
}

// Detail lines: with #LOGDETAIL# set to 1 by the script, every command the interpreter runs
// is logged, as it ran: its line, its arguments expanded, its result and the time it took.
static bool detailActive;
static DWORD detailStart;
static char detailLine[kDetailLineSize];

static void BeginDetail(int phase, int lineNumber, const char *lineStart, const char *argumentStart,
                        const char *lineEnd)
{
    detailActive = GetVariableNumber("#LOGDETAIL#") == 1;
    CommandNote[0] = 0;
    if (!detailActive)
        return;
    const char *keywordEnd = lineStart;
    while (keywordEnd < lineEnd && !IsScriptWhitespace(*keywordEnd))
        keywordEnd++;
    FormatText(detailLine, sizeof detailLine, "%s line %d, phase %d: %.*s", ScriptName(),
               lineNumber, phase, (int)(keywordEnd - lineStart), lineStart);
    // The arguments as the command will see them: split, then expanded.
    const char *cursor = argumentStart;
    char argument[kTextSize];
    for (int i = 0; NextArgument(&cursor, lineEnd, argument, sizeof argument) == 0; i++) {
        ExpandVariables(argument, sizeof argument);
        AppendText(detailLine, sizeof detailLine, i == 0 ? " \"" : ", \"");
        AppendText(detailLine, sizeof detailLine, argument);
        AppendText(detailLine, sizeof detailLine, "\"");
    }
    detailStart = GetTickCount();
}

static void EndDetail(int result)
{
    if (!detailActive)
        return;
    char tail[48];
    FormatText(tail, sizeof tail, " -> %d (%lu ms)", result,
               (unsigned long)(GetTickCount() - detailStart));
    AppendText(detailLine, sizeof detailLine, tail);
    if (CommandNote[0]) {
        AppendText(detailLine, sizeof detailLine, "; ");
        AppendText(detailLine, sizeof detailLine, CommandNote);
    }
    HANDLE file = OpenLog();
    if (file != INVALID_HANDLE_VALUE) {
        WriteText(file, detailLine);
        detailWritten = true;
    }
    detailActive = false;
}

void InstallCommandLog(void)
{
    CommandObserver.begin = BeginDetail;
    CommandObserver.end = EndDetail;
}

bool CommandLogOpen(void)
{
    return detailWritten;
}

void CloseInstallLog(int exitCode)
{
    if (openLog == INVALID_HANDLE_VALUE)
        return;
    if (detailWritten) {
        char line[48];
        FormatText(line, sizeof line, "Exit code %d", exitCode);
        WriteText(openLog, line);
    }
    CloseHandle(openLog);
    openLog = INVALID_HANDLE_VALUE;
}

// The files named on the command line, opened at start-up (INVALID_HANDLE_VALUE where one did
// not open): what is copied at the end is what was there when the run began, whatever has been
// put under those names since.
static HANDLE *extraFileHandles;

void OpenExtraFiles(void)
{
    if (ExtraFileCount == 0)
        return;
    extraFileHandles = (HANDLE *)malloc(sizeof *extraFileHandles * (size_t)ExtraFileCount);
    for (int i = 0; extraFileHandles && i < ExtraFileCount; i++)
        extraFileHandles[i] = Sys.CreateFileU(ExtraFiles[i], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Copies the open file `source` to `destination`, created or replaced. Best effort.
static void CopyOpenFile(HANDLE source, const char *destination)
{
    static char block[65536];
    HANDLE out = Sys.CreateFileU(destination, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return;
    DWORD got = 0;
    DWORD written = 0;
    SetFilePointer(source, 0, nullptr, FILE_BEGIN);
    while (ReadFile(source, block, sizeof block, &got, nullptr) && got > 0 &&
           Sys.WriteFile(out, block, got, &written, nullptr) && written == got) {
    }
    CloseHandle(out);
}

void CopyExtraFiles(void)
{
    for (int i = 0; extraFileHandles && i < ExtraFileCount; i++) {
        const char *source = ExtraFiles[i];
        const char *slash = strrchr(source, '\\');
        const char *name = slash ? slash + 1 : source;
        char destination[kPathSize];
        // A destination that does not fit the path buffer is skipped.
        if (!FormatText(destination, sizeof destination, "#INSTALLPATH#\\%s", name))
            continue;
        char expanded[kTextSize];
        CopyText(expanded, sizeof expanded, destination);
        ExpandVariables(expanded, sizeof expanded);
        if (strlen(expanded) >= kPathSize)
            continue;
        if (extraFileHandles[i] != INVALID_HANDLE_VALUE)
            CopyOpenFile(extraFileHandles[i], expanded); /* best effort */
    }
}
