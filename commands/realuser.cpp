#include "commands/realuser.h"

#include <windows.h>

#include "engine/globals.h"
#include "script/variables.h"

enum { kOsVista = 128 };

bool ActAsRealUser(bool start)
{
    if (OsCode < kOsVista)
        return true;
    if (!start)
        return RevertToSelf() == TRUE;

    HWND shell = FindWindowExA(nullptr, nullptr, "Progman", nullptr);
    if (!shell)
        return false;
    DWORD processId = 0;
    GetWindowThreadProcessId(shell, &processId);
    if (processId == 0)
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (!process)
        return false;
    HANDLE token = nullptr;
    bool acting = false;
    if (OpenProcessToken(process, TOKEN_DUPLICATE | TOKEN_QUERY, &token)) {
        acting = ImpersonateLoggedOnUser(token) == TRUE;
        CloseHandle(token);
    }
    CloseHandle(process);
    return acting;
}

void BeginRealUser(void)
{
    if (GetVariableNumber("#REALUSER#") == 1)
        ActAsRealUser(true); /* best effort: the command runs as the engine otherwise */
}

void EndRealUser(void)
{
    if (GetVariableNumber("#REALUSER#") == 1)
        ActAsRealUser(false); /* best effort */
}
