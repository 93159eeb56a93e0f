// The end of a run: the install log of a silent run, and copying the files named on the
// command line into the installation folder.
#pragma once

#include <stddef.h>

// Where the log of a silent run goes: the path /LOG= gave; else the engine's path + ".log" for a
// setup; for the uninstaller, which runs from a folder removed with it, "PRODUCT-Uninstall.log" in
// the temporary folder. False when the path does not fit.
bool InstallLogPath(char *path, size_t capacity);

// Writes the log (InstallLogPath): on failure the message for LastErrorCode, then
// "#SETUPMODE# finished successfully!" or "#SETUPMODE# failed!", and on failure the line of the
// script whose command stopped the run ("Setup.vis line 42: CopyFile ... -> 8"); each line ended
// by CR LF. An existing log is replaced, unless this run's detail lines began it; a log that
// cannot be written is passed over and never stops the run.
void WriteInstallLog(void);

// Writes why the command line was refused, then "#SETUPMODE# failed!".
void WriteRefusalToLog(const char *why);

// Lets the script ask for detail lines: with #LOGDETAIL# = 1, each command the interpreter runs
// adds one line to the log (its script line, its arguments expanded, its result and the time it
// took, and what the command passed over: CommandNote), in either mode.
void InstallCommandLog(void);

// True when this run has written detail lines into its log.
bool CommandLogOpen(void);

// Ends the log this run wrote, if any: after detail lines a last line with the exit code, then
// the file is closed.
void CloseInstallLog(int exitCode);

// Opens each file of the extra-file list, at start-up, for CopyExtraFiles; nobody may then change
// or replace them until the process ends.
void OpenExtraFiles(void);

// Copies each file of the extra-file list, as OpenExtraFiles found it, into the folder
// #INSTALLPATH# names now, under its own file name, replacing what is there. Failures (and files
// that did not open at start-up) are passed over.
void CopyExtraFiles(void);
