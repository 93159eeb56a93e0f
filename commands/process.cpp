#include "commands/process.h"

#include <shellapi.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "archive/archive.h"
#include "base/globals.h"
#include "base/security.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/realuser.h"
#include "commands/record.h"
#include "resources/resource.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

enum {
    kWaitSteps = 100,      // CloseProgram: 100 x 100 ms for a process to end
    kRetrySeconds = 60,    // CloseProgram: how long one product's windows are asked again
    kHelperWaitSteps = 50, // Run: 50 x 100 ms for deleting the helper
    kHelperEndSteps = 300, // Run: 300 x 100 ms for rundll32 to end
    kStepMs = 100,
    kServiceManagerAttempts = 100, // StopService: 100 x 100 ms for a manager still starting
    kCallStepMs = 50,
    kRunCommandSize = 1300,
    kOsVista = 128,
};

void PumpMessages(void)
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// True when `text` contains `part`, comparing ASCII letters without case.
static bool ContainsIgnoringCase(const char *text, const char *part)
{
    size_t n = strlen(part);
    for (; *text; text++)
        if (StartsWithIgnoringCase(text, part, n))
            return true;
    return n == 0;
}

struct WindowSearch {
    const char *valueName;
    HWND found;
};

static BOOL CALLBACK VisitWindow(HWND window, LPARAM parameter)
{
    WindowSearch *search = (WindowSearch *)parameter;
    char text[kPathSize];
    if (GetClassNameA(window, text, sizeof text) <= 0 || !EqualIgnoringCase(text, "VTCWindow"))
        return TRUE;
    // The title as UTF-8, as the product name it is compared with.
    WCHAR title[kPathSize];
    char narrow[kPathSize];
    bool titled = Sys.wide ? GetWindowTextW(window, title, kPathSize) > 0 &&
                                 TextFromWide(title, text, sizeof text)
                           : GetWindowTextA(window, narrow, sizeof narrow) > 0 &&
                                 TextFromCodePage(narrow, text, sizeof text);
    if (!titled || !ContainsIgnoringCase(text, search->valueName))
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindProductWindow(const char *valueName)
{
    WindowSearch search = {valueName, nullptr};
    EnumWindows(VisitWindow, (LPARAM)&search);
    return search.found;
}

// The name of the product record at `index`, or false when there is none.
static bool ProductNameAt(DWORD index, char *name, DWORD capacity)
{
    HKEY key;
    if (RegOpenKeyExU(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ | kEngineRegistryView, &key) !=
        ERROR_SUCCESS)
        return false;
    DWORD size = capacity;
    bool found =
        RegEnumValueU(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

// Asks the window to quit and waits about ten seconds for its process; true when it ended.
static bool AskToQuit(HWND window)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    // A sent message, as the product expects; a window that does not answer cannot hold the
    // engine up.
    DWORD_PTR answer;
    SendMessageTimeoutA(window, WM_QUIT, 0, 0, SMTO_ABORTIFHUNG, kWaitSteps * kStepMs, &answer);
    DWORD code = STILL_ACTIVE;
    for (int i = 0; i < kWaitSteps; i++) {
        if (process)
            GetExitCodeProcess(process, &code);
        Sleep(kStepMs);
        if (code != STILL_ACTIVE)
            break;
    }
    if (process)
        CloseHandle(process);
    return code != STILL_ACTIVE;
}

bool CloseRunningInstances(const char *name)
{
    bool failed = false;
    char valueName[kPathSize];
    for (DWORD index = 0; ProductNameAt(index, valueName, sizeof valueName); index++) {
        if (!strstr(valueName, name))
            continue;
        time_t start = time(nullptr);
        for (;;) {
            HWND window = FindProductWindow(valueName);
            if (!window)
                break;
            if (!AskToQuit(window))
                failed = true;
            time_t now = time(nullptr);
            if (now >= start && now - start >= kRetrySeconds)
                break;
        }
    }
    return failed;
}

int CommandCloseProgram(const char *argumentStart, const char *lineEnd)
{
    ShowStatus(IDS_STATUS_CLOSE_PROGRAM, "Closing program...");
    if (FetchArguments(1, &argumentStart, lineEnd) < 1)
        return kErrMissingArgument;
    return CloseRunningInstances(ArgumentSlots[0]) ? kErrProgramNotClosed : kOk;
}

// The service manager of this computer. One that does not answer yet (it is still starting:
// early in a session, or while it starts the services of a new one) is asked again, every
// 100 ms for up to 10 seconds; one that refuses is not.
static SC_HANDLE OpenServiceManager(void)
{
    for (int attempt = 0;; attempt++) {
        SC_HANDLE manager = Sys.OpenSCManagerU(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        DWORD error = GetLastError();
        bool starting = error == RPC_S_SERVER_UNAVAILABLE || error == RPC_S_SERVER_TOO_BUSY ||
                        error == ERROR_PIPE_BUSY || error == RPC_S_CALL_FAILED ||
                        error == ERROR_SERVICE_DATABASE_LOCKED;
        if (manager || !starting || attempt >= kServiceManagerAttempts)
            return manager;
        Sleep(kStepMs);
    }
}

int CommandStopService(const char *argumentStart, const char *lineEnd)
{
    if (OsCode <= 7)
        return kErrNoServiceManager;
    if (FetchArguments(1, &argumentStart, lineEnd) < 1)
        return kErrMissingArgument;
    ShowStatus(IDS_STATUS_STOP_SERVICE, "Stopping service: %s", ArgumentSlots[0]);
    SC_HANDLE manager = OpenServiceManager();
    if (!manager)
        return kErrNoServiceManager;
    SC_HANDLE service = OpenServiceU(manager, ArgumentSlots[0], SERVICE_ALL_ACCESS);
    if (service) {
        SERVICE_STATUS status;
        memset(&status, 0, sizeof status);
        ControlService(service, SERVICE_CONTROL_STOP, &status); /* the service stops on its own */
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return kOk;
}

// The system folder, as the engine sees it (on 64-bit Windows the 32-bit engine's view).
static bool SystemFolder(char *folder, size_t capacity)
{
    UINT n = GetSystemDirectoryU(folder, (UINT)capacity);
    return n > 0 && n < capacity;
}

// A program named without any folder ("regsvr32.exe") is the system's: its full path in the
// system folder. The system's own search would try the setup's folder and the current folder
// first, where anyone could have put a program of that name. Anything else is taken as written.
// False when the path does not fit.
static bool ProgramPath(const char *program, char *path, size_t capacity)
{
    char folder[kPathSize];
    if (program[0] == 0 || strpbrk(program, "\\/:"))
        return CopyText(path, capacity, program);
    return SystemFolder(folder, sizeof folder) &&
           FormatText(path, capacity, "%s\\%s", folder, program);
}

// rundll32 of the helper library's bitness, by its full path: a program of that name in the
// setup's own folder must never run instead. A 32-bit engine reaches the 64-bit system folder
// through its "Sysnative" alias.
static bool HelperHost(char *out, size_t capacity)
{
    char folder[kPathSize];
    if (!SystemFolder(folder, sizeof folder))
        return false;
#ifndef _WIN64
    char windows[kPathSize];
    char native[kPathSize];
    UINT w = GetWindowsDirectoryU(windows, sizeof windows);
    if (Is64BitWindows && w > 0 && w < sizeof windows &&
        FormatText(native, sizeof native, "%s\\Sysnative", windows) && IsFolder(native))
        CopyText(folder, sizeof folder, native);
#endif
    return FormatText(out, capacity, "%s\\rundll32.exe", folder);
}

// The helper library, placed for one start: "SetupLib.dll" in a new guarded folder of this run
// in the temporary folder (only the system and administrators may write there), the folder and
// the file held open from their creation until rundll32 has ended. Held, the folder cannot be
// renamed or replaced, and the file, open for reading only, cannot be written, renamed or
// deleted: what rundll32 loads is what the engine wrote and read back.
struct PlacedHelper {
    char folder[kPathSize];
    char library[kPathSize];
    HANDLE heldFolder;
    HANDLE heldLibrary;
};

// True when the open file holds exactly `size` bytes equal to `bytes`.
static bool HoldsBytes(HANDLE file, const uint8_t *bytes, uint32_t size)
{
    if (GetFileSize(file, nullptr) != size)
        return false;
    uint8_t *read = (uint8_t *)malloc(size ? size : 1);
    DWORD got = 0;
    bool same = read && ReadFile(file, read, size, &got, nullptr) && got == size &&
                memcmp(read, bytes, size) == 0;
    free(read);
    return same;
}

// Deletes what PlaceHelper left, once nothing holds it any more.
static void RemoveHelper(PlacedHelper *helper)
{
    if (helper->heldLibrary != INVALID_HANDLE_VALUE)
        CloseHandle(helper->heldLibrary);
    helper->heldLibrary = INVALID_HANDLE_VALUE;
    for (int i = 0; helper->library[0] && PathExists(helper->library) && i < kHelperWaitSteps;
         i++) {
        if (Sys.DeleteFileU(helper->library))
            break;
        PumpMessages();
        Sleep(kStepMs);
    }
    if (helper->heldFolder != INVALID_HANDLE_VALUE)
        CloseHandle(helper->heldFolder);
    helper->heldFolder = INVALID_HANDLE_VALUE;
    if (helper->folder[0])
        Sys.RemoveDirectoryU(helper->folder); /* best effort */
}

// Places the helper library of Windows' bitness. False when it cannot; nothing of it is left
// then.
static bool PlaceHelper(PlacedHelper *helper)
{
    helper->folder[0] = 0;
    helper->library[0] = 0;
    helper->heldFolder = INVALID_HANDLE_VALUE;
    helper->heldLibrary = INVALID_HANDLE_VALUE;
    uint32_t size = 0;
    uint8_t *bytes =
        LoadFileOrEntry(Is64BitWindows ? "SetupLib64.dll" : "SetupLib32.dll", 0, &size);
    char temp[kPathSize];
    bool placed = false;
    if (!bytes || !EngineTempFolder(temp, sizeof temp) || !AppendText(temp, sizeof temp, "\\") ||
        !CreateNewGuardedFolder(temp, "VTL", helper->folder, sizeof helper->folder))
        goto done;
    helper->heldFolder = HoldOwnFolder(helper->folder);
    if (helper->heldFolder == INVALID_HANDLE_VALUE ||
        !FormatText(helper->library, sizeof helper->library, "%s\\SetupLib.dll", helper->folder) ||
        WriteWholeFile(helper->library, bytes, size) != kOk)
        goto done;
    helper->heldLibrary =
        Sys.CreateFileU(helper->library, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    placed =
        helper->heldLibrary != INVALID_HANDLE_VALUE && HoldsBytes(helper->heldLibrary, bytes, size);
done:
    free(bytes);
    if (!placed)
        RemoveHelper(helper);
    return placed;
}

// Waits for rundll32 to end: about 30 seconds, then it is ended, so that the library is never
// let go while rundll32 could still load it.
static void WaitForHelperHost(HANDLE process)
{
    for (int i = 0; i < kHelperEndSteps; i++) {
        if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT)
            return;
        PumpMessages();
        Sleep(kStepMs);
    }
    TerminateProcess(process, STILL_ACTIVE);
    WaitForSingleObject(process, INFINITE);
}

// Starts `file` with `parameters` through rundll32 and SetupLib as the desktop's user, without
// elevation. Returns 0, or 27 when the helper could not be placed or started.
static int RunNonElevated(const char *file, const char *parameters)
{
    PlacedHelper helper;
    if (!PlaceHelper(&helper))
        return kErrNotStarted;
    int result = kErrNotStarted;
    char host[kPathSize];
    char folder[kPathSize];
    char command[kRunCommandSize];
    if (HelperHost(host, sizeof host) && SystemFolder(folder, sizeof folder) &&
        FormatText(command, sizeof command, "\"%s\" \"%s\",RunNonElevated \"%s%s%s\"", host,
                   helper.library, file, parameters[0] ? " " : "", parameters)) {
        STARTUPINFOA startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process;
        // rundll32 works in the system folder: nothing it looks up by a bare name comes from
        // the setup's folder or the engine's current one.
        if (Sys.CreateProcessU(host, command, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                               nullptr, folder, &startup, &process)) {
            result = kOk;
            WaitForHelperHost(process.hProcess);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
    }
    RemoveHelper(&helper);
    return result;
}

int CommandRun(const char *argumentStart, const char *lineEnd)
{
    if (FetchArguments(3, &argumentStart, lineEnd) < 1)
        return kErrMissingArgument;
    char file[kTextSize];
    const char *parameters = ArgumentSlots[1];
    if (!ProgramPath(ArgumentSlots[0], file, sizeof file))
        return kErrNotStarted;
    // The helper is placed by the engine itself, whoever it acts as: what it starts runs as
    // the person at the desktop anyway.
    if (OsCode >= kOsVista && EqualIgnoringCase(ArgumentSlots[2], "NonElevated"))
        return RunNonElevated(file, parameters);
    BeginRealUser();
    int result = kOk;
    HINSTANCE started = ShellExecuteU(nullptr, nullptr, file, parameters[0] ? parameters : nullptr,
                                      nullptr, SW_SHOWNORMAL);
    if ((INT_PTR)started <= 32)
        result = kErrNotStarted;
    EndRealUser();
    return result;
}

// Waits for the program to end without a time limit, terminating it once the wizard has been
// left. Returns its exit code (259 when it was terminated).
static DWORD WaitForProgram(HANDLE process)
{
    DWORD code = STILL_ACTIVE;
    if (WizardCancelled) {
        TerminateProcess(process, STILL_ACTIVE);
        return code;
    }
    for (;;) {
        if (!GetExitCodeProcess(process, &code)) {
            if (code == STILL_ACTIVE)
                TerminateProcess(process, STILL_ACTIVE);
            return code;
        }
        if (code != STILL_ACTIVE)
            return code;
        PumpMessages();
        Sleep(kCallStepMs);
        if (WizardCancelled) {
            TerminateProcess(process, STILL_ACTIVE);
            return STILL_ACTIVE;
        }
    }
}

int CommandCall(const char *argumentStart, const char *lineEnd)
{
    if (FetchArguments(4, &argumentStart, lineEnd) < 1)
        return kErrMissingArgument;
    const char *folder = ArgumentSlots[2];
    char program[kTextSize];
    char command[kTextSize] = "";
    // A command line cut short would run something else: one that does not fit is refused.
    bool fits = ProgramPath(ArgumentSlots[0], program, sizeof program) &&
                FormatText(command, sizeof command, "\"%s\" %s", program, ArgumentSlots[1]);
    ShowStatus(IDS_STATUS_EXECUTE, "Executing: %s", command);
    BeginRealUser();
    int result = kErrNotStarted;
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (ArgumentSlots[3][0] == 'H' || ArgumentSlots[3][0] == 'h') {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    }
    PROCESS_INFORMATION process;
    if (fits && Sys.CreateProcessU(nullptr, command, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                                   nullptr, folder[0] ? folder : nullptr, &startup, &process)) {
        DWORD code = WaitForProgram(process.hProcess);
        char text[16];
        if (code == 0)
            CopyText(text, sizeof text, "0");
        else
            FormatText(text, sizeof text, "%08lx", (unsigned long)code);
        SetVariable("#LASTERROR#", text);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        result = kOk;
    }
    EndRealUser();
    return result;
}

void InstallProcessCommands(void)
{
    SetCommand(kKwCloseProgram, CommandCloseProgram);
    SetCommand(kKwStopService, CommandStopService);
    SetCommand(kKwRun, CommandRun);
    SetCommand(kKwCall, CommandCall);
}
