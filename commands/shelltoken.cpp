#include "commands/shelltoken.h"

HANDLE OpenShellProcessToken(DWORD access)
{
    HWND shell = FindWindowExA(nullptr, nullptr, "Progman", nullptr);
    if (!shell)
        return nullptr;
    DWORD processId = 0;
    GetWindowThreadProcessId(shell, &processId);
    if (processId == 0)
        return nullptr;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (!process)
        return nullptr;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, access, &token))
        token = nullptr;
    CloseHandle(process);
    return token;
}
