#include "engine/selfremoval.h"

#include <windows.h>

#include <string.h>

#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/files.h"
#include "resources/resource.h"

const char kSelfRemovalBatch[] = "VTAutoDel.bat";

enum { kBatchSize = 1024 };

void StartSelfRemoval(void)
{
    char folder[kPathSize];
    char batch[kPathSize];
    DWORD n = GetTempPathA(sizeof folder, folder);
    if (n == 0 || n >= sizeof folder || !AddBackslash(folder, sizeof folder) ||
        !FormatText(batch, sizeof batch, "%s%s", folder, kSelfRemovalBatch))
        return;
    HANDLE file = Sys.CreateFileA(batch, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    HRSRC found = FindResourceA((HMODULE)Instance, MAKEINTRESOURCEA(IDR_AUTODEL), "TEXT");
    HGLOBAL loaded = found ? LoadResource((HMODULE)Instance, found) : nullptr;
    const char *text = loaded ? (const char *)LockResource(loaded) : nullptr;
    char script[kBatchSize];
    long length = text ? ReplaceAll(text, SizeofResource((HMODULE)Instance, found), "#MODULEFN#",
                                    EngineFilePath, script, sizeof script)
                       : -1;
    DWORD written = 0;
    bool complete = length >= 0 && Sys.WriteFile(file, script, (DWORD)length, &written, nullptr) &&
                    written == (DWORD)length;
    CloseHandle(file);
    if (!complete)
        return;

    // A temporary folder with blanks in its path needs the batch path in quotes.
    char command[kPathSize + 2];
    FormatText(command, sizeof command, strchr(batch, ' ') ? "\"%s\"" : "%s", batch);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | IDLE_PRIORITY_CLASS, nullptr, folder, &startup,
                        &process))
        return;
    SetThreadPriority(process.hThread, THREAD_PRIORITY_IDLE);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    CloseHandle(process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
}

void RestartWindows(void)
{
    if (OsCode >= 8) {
        HANDLE token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
            return;
        TOKEN_PRIVILEGES privileges;
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        bool enabled =
            LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        CloseHandle(token);
        if (!enabled)
            return;
    }
    Sys.ExitWindowsEx(EWX_REBOOT, 0); /* its result is ignored */
}
