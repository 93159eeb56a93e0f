// The last acts of a run: the uninstaller's self-removal and the restart of Windows.
#pragma once

#include <stddef.h>

extern const char kSelfRemovalBatch[]; // "VTAutoDel.bat", in the temporary folder

// Writes the batch from template TEXT 116 with the engine's path in it and starts it hidden at
// idle priority; it deletes the engine's file once the engine has ended, then itself. Failures
// drop the step silently.
void StartSelfRemoval(void);

// Enables the shutdown privilege (on the NT family) and asks Windows to restart.
void RestartWindows(void);
