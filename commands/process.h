// Process and service commands: CloseProgram, StopService, Run, Call.
#pragma once

#include <windows.h>

int CommandCloseProgram(const char *argumentStart, const char *lineEnd);
int CommandStopService(const char *argumentStart, const char *lineEnd);
int CommandRun(const char *argumentStart, const char *lineEnd);
int CommandCall(const char *argumentStart, const char *lineEnd);
void InstallProcessCommands(void);

// Asks every product window of each product whose record name contains `name` to quit; true
// when some product process did not end.
bool CloseRunningInstances(const char *name);
// The first top-level window of class "VTCWindow" whose title contains valueName (both ignoring
// case), or null.
HWND FindProductWindow(const char *valueName);
// Dispatches every message waiting in the calling thread's queue; never waits.
void PumpMessages(void);
