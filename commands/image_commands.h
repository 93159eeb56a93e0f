// The script commands that build files from the engine's own file: CopyUninstall writes the
// uninstaller, PatchFile a patched copy.
#pragma once

int CommandCopyUninstall(const char *argumentStart, const char *lineEnd);
int CommandPatchFile(const char *argumentStart, const char *lineEnd);
void InstallUninstallerCommands(void);
