// SetupLib: the helper library the engine runs through rundll32 to start a program for the
// person at the desktop, without the engine's administrator rights:
//   rundll32.exe "...\SetupLib.dll",RunNonElevated "C:\Program Files\Tool\Tool.exe -a"
// It starts the program with the token of the desktop shell's process and returns at once; the
// started program does not load this library, so nothing keeps it in use afterwards.
#include <windows.h>

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

static void StartProgram(const char *program, const char *parameters, int show)
{
    char command[kCommandSize];
    char folder[MAX_PATH];
    if (!FormatText(command, sizeof command, "\"%s\" %s", program, parameters) ||
        !CopyText(folder, sizeof folder, program))
        return;
    char *slash = strrchr(folder, '\\');
    if (slash)
        *slash = 0;
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
    if (token) {
        started = CreateProcessWithTokenW(token, 0, nullptr, wideCommand, 0, nullptr,
                                          slash ? wideFolder : nullptr, &startup, &process);
        CloseHandle(token);
    } else {
        // No desktop shell: there is no other user to start it for.
        started = CreateProcessW(nullptr, wideCommand, nullptr, nullptr, FALSE, 0, nullptr,
                                 slash ? wideFolder : nullptr, &startup, &process);
    }
    if (started) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
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
