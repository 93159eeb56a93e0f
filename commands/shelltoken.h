// The access token of the process that owns the desktop shell's window ("Progman"): the person
// at the desktop, whatever account the engine runs under.
#pragma once

#include <windows.h>

// Opens that process's token with `access`; null when there is no shell window or it cannot be
// opened. The caller closes the token.
HANDLE OpenShellProcessToken(DWORD access);
