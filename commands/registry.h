// Registry commands: CreateRegValSz, CreateRegValDW, CreateRegValExpandSz, DeleteRegKey,
// DeleteRegVal, AddToPath, RemoveFromPath. Without the
// "x64" option they work in the view the 32-bit engine sees; with it, on 64-bit Windows, in the
// 64-bit view.
#pragma once

#include <windows.h>

int CommandCreateRegValSz(const char *argumentStart, const char *lineEnd);
int CommandCreateRegValDW(const char *argumentStart, const char *lineEnd);
int CommandDeleteRegKey(const char *argumentStart, const char *lineEnd);
int CommandDeleteRegVal(const char *argumentStart, const char *lineEnd);
// As CreateRegValSz, the value written as REG_EXPAND_SZ; 11 for an unknown root.
int CommandCreateRegValExpandSz(const char *argumentStart, const char *lineEnd);
// Enters the registry commands and the PATH commands. A phase that wrote or deleted under a
// Classes key tells the shell at its end that file associations changed.
void InstallRegistryCommands(void);

// AddToPath folder[, User] and RemoveFromPath folder[, User] (commands/environment.cpp).
void InstallEnvironmentCommands(void);

// "CU"/"HKEY_CURRENT_USER", "LM"/"HKEY_LOCAL_MACHINE", "CR"/"HKEY_CLASSES_ROOT" (ignoring
// case), or null.
HKEY RootKeyFromName(const char *name);

// A number text read like strtoul in base 10 and kept in 32 bits: blanks, a sign (minus negates
// modulo 2^32), digits; no digits give 0, more than 4294967295 gives 4294967295.
DWORD RegistryNumber(const char *text);
