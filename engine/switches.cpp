#include "engine/switches.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "base/globals.h"
#include "base/results.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "engine/log.h"
#include "resources/resource.h"
#include "script/scanner.h"
#include "script/variables.h"
#include "ui/messages.h"

enum { kCommandLineSize = 32768 };

static bool silentSwitch;          // /S
static bool helpWanted;            // /? or /HELP
static bool switchSeen;            // any switch at all
static bool folderGiven;           // /D=
static char folder[kPathSize];     // its path
static char refusal[kMessageSize]; // why the command line is refused; empty when it is not
static char *copyLine;             // CommandLineForCopy's text

static bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The first reason is the one the log gives.
static void Refuse(const char *format, const char *what)
{
    if (refusal[0] == 0)
        FormatText(refusal, sizeof refusal, format, what);
}

// A switch begins with '/', or with a quote and '/' ("/LOG=C:\My Logs\setup.log").
static bool SwitchAt(const char *p, const char *end)
{
    return p < end && (*p == '/' || (*p == '"' && p + 1 < end && p[1] == '/'));
}

// Where an argument of the engine's own form ends: at a blank followed by a switch, outside
// quotes. A '/' cannot stand in a Windows file name, so no folder or file is cut by this.
static const char *ArgumentEnd(const char *p, const char *end)
{
    bool quoted = false;
    for (; p < end; p++) {
        if (*p == '"')
            quoted = !quoted;
        else if (!quoted && IsBlank(*p) && SwitchAt(p + 1, end))
            return p;
    }
    return end;
}

// Copies `length` characters at `text` into `out` without the quotes; false when too long.
static bool Unquoted(const char *text, size_t length, char *out, size_t capacity)
{
    size_t n = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] == '"')
            continue;
        if (n + 1 >= capacity)
            return false;
        out[n++] = text[i];
    }
    out[n] = 0;
    return true;
}

// /D=: the rest of the line, blanks included, as NSIS users write it; quotes around it are
// dropped too.
static void ReadFolder(const char *p, const char *end)
{
    const char *stop = end;
    while (stop > p && IsBlank(stop[-1]))
        stop--;
    folderGiven = true;
    if (!Unquoted(p, (size_t)(stop - p), folder, sizeof folder)) {
        folder[0] = 0;
        Refuse("The command line was refused: the folder after /D= is longer than 259 "
               "characters.%s",
               "");
    } else if (folder[0] == 0) {
        Refuse("The command line was refused: /D= names no folder.%s", "");
    }
}

static void ReadLogPath(const char *path)
{
    char full[kPathSize];
    DWORD n = path[0] ? GetFullPathNameU(path, sizeof full, full) : 0;
    if (path[0] == 0)
        Refuse("The command line was refused: /LOG= names no file.%s", "");
    else if (n == 0 || n >= sizeof full)
        Refuse("The command line was refused: the log file %s is not a path of 259 characters "
               "or fewer.",
               path);
    else
        CopyText(LogFilePath, sizeof LogFilePath, full);
}

// Reads the switch at p; returns where the next argument begins.
static const char *ReadSwitch(const char *p, const char *end)
{
    switchSeen = true;
    const char *name = *p == '"' ? p + 1 : p;
    if ((size_t)(end - name) >= 3 && StartsWithIgnoringCase(name, "/D=", 3)) {
        ReadFolder(name + 3, end);
        return end;
    }
    const char *stop = p;
    bool quoted = false;
    for (; stop < end && (quoted || !IsBlank(*stop)); stop++) {
        if (*stop == '"')
            quoted = !quoted;
    }
    char text[kTextSize];
    if (!Unquoted(p, (size_t)(stop - p), text, sizeof text)) {
        Refuse("The command line was refused: a switch is longer than 519 characters.%s", "");
        return stop;
    }
    if (EqualIgnoringCase(text, "/S"))
        silentSwitch = true;
    else if (EqualIgnoringCase(text, "/NORESTART"))
        NoRestart = true;
    else if (EqualIgnoringCase(text, "/?") || EqualIgnoringCase(text, "/HELP"))
        helpWanted = true;
    else if (StartsWithIgnoringCase(text, "/LOG=", 5))
        ReadLogPath(text + 5);
    else
        Refuse("The command line was refused: %s is none of the switches /S, /D=, /LOG=, "
               "/NORESTART, /? and /HELP.",
               text);
    return stop;
}

bool NextCommandLineArgument(const char **cursor, const char *end, char *argument, size_t capacity)
{
    for (;;) {
        const char *p = *cursor;
        while (p < end && (IsBlank(*p) || *p == ','))
            p++;
        if (p >= end) {
            *cursor = end;
            return false;
        }
        if (SwitchAt(p, end)) {
            *cursor = ReadSwitch(p, end);
            continue;
        }
        NextArgument(&p, ArgumentEnd(p, end), argument, capacity);
        *cursor = p;
        return true;
    }
}

void ApplySwitches(void)
{
    if (silentSwitch)
        SilentMode = true;
    if (folderGiven && folder[0] && SilentMode)
        SetVariable("#INSTALLPATH#", folder);
}

// "X:\..." or "\\server\share...": the same folder wherever the engine was started from.
static bool IsAbsoluteFolder(const char *path)
{
    char drive = LowerAscii(path[0]);
    return (drive >= 'a' && drive <= 'z' && path[1] == ':' && path[2] == '\\') ||
           (path[0] == '\\' && path[1] == '\\' && path[2] != 0 && path[2] != '\\');
}

// A silent run goes only into a folder that does not depend on where it was started.
static void CheckSilentFolder(void)
{
    char path[kTextSize];
    if (!SilentMode || GetVariable("#INSTALLPATH#", path, sizeof path) < 0)
        return;
    if (!IsAbsoluteFolder(path))
        Refuse("The command line was refused: the installation folder \"%s\" is not an "
               "absolute path (a drive letter and a backslash, or \\\\server\\share).",
               path);
}

static int RefuseRun(void)
{
    WriteRefusalToLog(refusal);
    CloseInstallLog(kExitBadCommandLine);
    return kExitBadCommandLine;
}

bool EndsBeforeStartUp(int *exitCode)
{
    if (helpWanted) {
        ShowMessage(nullptr, IDS_USAGE, MB_OK | MB_ICONINFORMATION);
        *exitCode = kExitFinished;
        return true;
    }
    CheckSilentFolder();
    if (refusal[0] == 0)
        return false;
    *exitCode = RefuseRun();
    return true;
}

bool AcceptFolderAfterStartUp(void)
{
    if (!SilentMode) {
        if (folderGiven)
            SetVariable("#INSTALLPATH#", folder);
        return true;
    }
    CheckSilentFolder();
    if (refusal[0] == 0)
        return true;
    RefuseRun();
    return false;
}

const char *CommandLineForCopy(const char *commandLine)
{
    if (!switchSeen)
        return commandLine; /* the engine's own form goes on as it came */
    free(copyLine);
    copyLine = (char *)malloc(kCommandLineSize);
    if (!copyLine)
        return commandLine;
    char *line = copyLine;
    FormatText(line, kCommandLineSize, "%s%s", SilentMode ? "/S " : "",
               NoRestart ? "/NORESTART " : "");
    if (LogFilePath[0]) {
        AppendText(line, kCommandLineSize, "/LOG=\"");
        AppendText(line, kCommandLineSize, LogFilePath);
        AppendText(line, kCommandLineSize, "\" ");
    }
    for (int i = 0; i < ExtraFileCount; i++) {
        AppendText(line, kCommandLineSize, "\"");
        AppendText(line, kCommandLineSize, ExtraFiles[i]);
        AppendText(line, kCommandLineSize, "\", ");
    }
    // The folder goes last. The uninstaller's /S removes the product from its own folder.
    char path[kTextSize] = "";
    if (SilentMode && GetVariable("#INSTALLPATH#", path, sizeof path) < 0) {
        CopyText(path, sizeof path, EngineFilePath);
        char *slash = strrchr(path, '\\');
        if (slash)
            *slash = 0;
    } else if (!SilentMode && folderGiven) {
        CopyText(path, sizeof path, folder);
    }
    if (path[0]) {
        AppendText(line, kCommandLineSize, "/D=");
        AppendText(line, kCommandLineSize, path);
    }
    return line;
}
