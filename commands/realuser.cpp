#include "commands/realuser.h"

#include <windows.h>

#include "commands/shelltoken.h"
#include "engine/globals.h"
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
    bool acting = ImpersonateLoggedOnUser(token) == TRUE;
    CloseHandle(token);
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
