#include "commands/realuser.h"

#include <windows.h>

#include "base/globals.h"
#include "base/syscalls.h"
#include "commands/shelltoken.h"
#include "script/variables.h"

enum { kOsVista = 128 };

bool ActAsRealUser(bool start)
{
    if (OsCode < kOsVista)
        return true;
    if (!start)
        return RevertToSelf() == TRUE;

    HANDLE token = OpenShellProcessToken(TOKEN_DUPLICATE | TOKEN_QUERY);
    if (!token)
        return false;
    bool acting = Sys.ImpersonateLoggedOnUser && Sys.ImpersonateLoggedOnUser(token) == TRUE;
    CloseHandle(token);
    return acting;
}

bool BeginRealUser(void)
{
    if (GetVariableNumber("#REALUSER#") != 1)
        return false;
    /* best effort: the command runs as the engine otherwise */
    return ActAsRealUser(true) && OsCode >= kOsVista;
}

void EndRealUser(void)
{
    if (GetVariableNumber("#REALUSER#") == 1)
        ActAsRealUser(false); /* best effort */
}
