// The uninstaller's run from a copy of itself, the removal of what that run leaves of the
// uninstaller, and the restart of Windows.
#pragma once

#include <windows.h>

extern const char kTemporaryCopy[]; // "_VTUItmp.exe": the name the uninstaller runs under

// The installed uninstaller's part of a removal. It copies itself into a new folder of its own in
// the temporary folder, checks the copy while nobody can change it, moves its own file out of the
// installation folder, starts the copy with `arguments`, and waits for it. Afterwards it puts its
// own file back when the copy removed nothing, and starts the removal of the copy, of the folder
// and of its own moved file, which completes once this process has ended. 0 with the copy's exit
// code in *exitCode, or kRelaunchFailed when the copy could not be made or started (nothing is
// then left of it).
enum { kRelaunchFailed = 23 };
int RelaunchFromTemporaryFolder(const char *arguments, DWORD *exitCode);

// Enables the shutdown privilege (on the NT family) and asks Windows to restart. True when
// Windows took the request.
bool RestartWindows(void);
