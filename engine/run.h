// The engine's entry: command line, mode, the uninstaller's relaunch, start-up, the silent run
// and the end of the run. Returns the process exit code: 0 after a run, 13 when start-up
// failed, 1 when the engine refused to run on a 64-bit system.
#pragma once

int RunEngine(void *instance, const char *commandLine);

// Splits the command line: an argument whose last path component has no dot is the
// installation path and selects silent mode; every other argument (and all after the path) is
// a file for the extra-file list. Empty arguments are passed over; the standard switches
// (engine/switches.h) are taken in on the way.
void ParseCommandLine(const char *commandLine);
