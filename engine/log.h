// The end of a run: the install log of a silent run, and copying the files named on the
// command line into the installation folder.
#pragma once

#include <stddef.h>

// Where the log of a silent run goes: the engine's path + ".log" for a setup; for the
// uninstaller, which runs from a folder removed with it, "PRODUCT-Uninstall.log" in the
// temporary folder. False when the path does not fit.
bool InstallLogPath(char *path, size_t capacity);

// Writes the log (InstallLogPath): on failure the message for LastErrorCode, then
// "#SETUPMODE# finished successfully!" or "#SETUPMODE# failed!", each line ended by CR LF. An
// existing log is replaced; a log that cannot be written is passed over.
void WriteInstallLog(void);

// Copies each file of the extra-file list into the folder #INSTALLPATH# names now, under its
// own file name, replacing what is there. Failures are passed over.
void CopyExtraFiles(void);
