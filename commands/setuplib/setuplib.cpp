// SetupLib: the helper library the engine runs through rundll32 to start a program, or open a
// document, for the person at the desktop, without the engine's administrator rights:
//   rundll32.exe "...\SetupLib.dll",RunNonElevated "C:\Program Files\Tool\Tool.exe -a"
//   rundll32.exe "...\SetupLib.dll",RunNonElevated "C:\Program Files\Tool\Tool.chm"
// It starts the program (for a document, the program its type opens with) with the token of the
// desktop shell's process and returns at once; the started program does not load this library,
// so nothing keeps it in use afterwards.
#include <windows.h>

#include <shlwapi.h>
#include <string.h>

#include "base/text.h"
#include "base/unicode.h"
#include "commands/shelltoken.h"

enum { kCommandSize = 1300 };

// Splits "program parameters": the program is the shortest prefix ending before a blank that
// names an existing file, or the whole text.
static void SplitCommand(char *text, const char **program, const char **parameters)
{
    *program = text;
    *parameters = "";
    for (char *p = text; *p; p++) {
        if (*p != ' ')
            continue;
        *p = 0;
        WCHAR wide[MAX_PATH];
        DWORD attributes = Utf8ToUtf16(text, (uint16_t *)wide, MAX_PATH) == kConverted
                               ? GetFileAttributesW(wide)
                               : INVALID_FILE_ATTRIBUTES;
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            *parameters = p + 1;
            return;
        }
        *p = ' ';
    }
}

// A primary token of the person at the desktop, or null.
static HANDLE ShellUserToken(void)
{
    HANDLE token = OpenShellProcessToken(TOKEN_DUPLICATE | TOKEN_QUERY);
    HANDLE primary = nullptr;
    if (token) {
        if (!DuplicateTokenEx(token, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                              &primary))
            primary = nullptr;
        CloseHandle(token);
    }
    return primary;
}

// Starts the command line as the person at the desktop, in `folder` (none: this process's).
static void StartAsDesktopUser(const char *command, const char *folder, int show)
{
    WCHAR wideCommand[kCommandSize];
    WCHAR wideFolder[MAX_PATH];
    if (Utf8ToUtf16(command, (uint16_t *)wideCommand, kCommandSize) != kConverted ||
        Utf8ToUtf16(folder, (uint16_t *)wideFolder, MAX_PATH) != kConverted)
        return;
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = (WORD)show;
    PROCESS_INFORMATION process;
    HANDLE token = ShellUserToken();
    BOOL started;
    const WCHAR *workIn = folder[0] ? wideFolder : nullptr;
    if (token) {
        started = CreateProcessWithTokenW(token, 0, nullptr, wideCommand, 0, nullptr, workIn,
                                          &startup, &process);
        CloseHandle(token);
    } else {
        // No desktop shell: there is no other user to start it for.
        started = CreateProcessW(nullptr, wideCommand, nullptr, nullptr, FALSE, 0, nullptr, workIn,
                                 &startup, &process);
    }
    if (started) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
}

// True when `path` names what CreateProcess starts itself: a program, a command script, or a
// name without extension (which it completes with ".exe").
static bool IsProgram(const char *path)
{
    const char *dot = strrchr(path, '.');
    const char *slash = strrchr(path, '\\');
    if (!dot || (slash && dot < slash))
        return true;
    static const char *const programs[] = {".exe", ".com", ".bat", ".cmd"};
    for (const char *extension : programs)
        if (EqualIgnoringCase(dot, extension))
            return true;
    return false;
}

// The command line that opens the document `file` as the desktop's shell would: the "open"
// command of its type, with the file in place of %1 (%L, %V) and the parameters in place of %*;
// the file is added at the end of a command that has no place for it. False when its type has
// no such command or the line does not fit.
static bool DocumentCommand(const char *file, const char *parameters, char *command,
                            size_t capacity)
{
    const char *dot = strrchr(file, '.');
    WCHAR extension[MAX_PATH];
    WCHAR pattern[kCommandSize];
    WCHAR wideExpanded[kCommandSize];
    char expanded[kCommandSize * 3];
    DWORD n = kCommandSize;
    if (!dot || Utf8ToUtf16(dot, (uint16_t *)extension, MAX_PATH) != kConverted ||
        FAILED(AssocQueryStringW(ASSOCF_NOTRUNCATE, ASSOCSTR_COMMAND, extension, L"open", pattern,
                                 &n)))
        return false;
    DWORD length = ExpandEnvironmentStringsW(pattern, wideExpanded, kCommandSize);
    if (length == 0 || length > kCommandSize ||
        Utf16ToUtf8((const uint16_t *)wideExpanded, expanded, sizeof expanded) != kConverted)
        return false;
    command[0] = 0;
    bool fits = true;
    bool placed = false;
    for (const char *p = expanded; *p && fits; p++) {
        char c = *p == '%' && p[1] ? *++p : 0;
        if (c == '1' || c == 'L' || c == 'l' || c == 'V' || c == 'v') {
            fits = AppendText(command, capacity, file);
            placed = true;
        } else if (c == '*') {
            fits = AppendText(command, capacity, parameters);
        } else if (c == 0 || c == '%') {
            char one[2] = {c ? c : *p, 0};
            fits = AppendText(command, capacity, one);
        }
    }
    if (!placed)
        fits = fits && AppendText(command, capacity, " \"") &&
               AppendText(command, capacity, file) && AppendText(command, capacity, "\"");
    return fits;
}

// Starts the program, or opens the document with its type's program, for the person at the
// desktop; the folder the file lies in is the started program's working folder.
static void StartProgram(const char *program, const char *parameters, int show)
{
    char command[kCommandSize];
    char folder[MAX_PATH];
    if (!CopyText(folder, sizeof folder, program))
        return;
    char *slash = strrchr(folder, '\\');
    if (slash)
        *slash = 0;
    else
        folder[0] = 0;
    bool fits = IsProgram(program)
                    ? FormatText(command, sizeof command, "\"%s\" %s", program, parameters)
                    : DocumentCommand(program, parameters, command, sizeof command);
    if (fits)
        StartAsDesktopUser(command, folder, show);
}

// rundll32 calls the W form of an entry point where there is one: the command line reaches it
// whole, in any language. Inside, the text is UTF-8.
extern "C" __declspec(dllexport) void CALLBACK
    RunNonElevatedW(HWND, HINSTANCE, LPWSTR commandLine, int show)
{
    char text[kCommandSize * 3];
    if (Utf16ToUtf8((const uint16_t *)commandLine, text, sizeof text) != kConverted)
        return;
    const char *p = text;
    while (*p == ' ')
        p++;
    bool quoted = *p == '"';
    if (quoted)
        p++;
    memmove(text, p, strlen(p) + 1);
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == ' ')
        text[--n] = 0;
    if (quoted && n > 0 && text[n - 1] == '"')
        text[--n] = 0;
    const char *program;
    const char *parameters;
    SplitCommand(text, &program, &parameters);
    StartProgram(program, parameters, show ? show : SW_SHOWNORMAL);
}
