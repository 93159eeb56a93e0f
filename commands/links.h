// Shortcut and shell-notify commands: CreateLink (".lnk" shell links and ".url" internet
// shortcuts) and ChangeNotify.
#pragma once

int CommandCreateLink(const char *argumentStart, const char *lineEnd);
int CommandChangeNotify(const char *argumentStart, const char *lineEnd);
void InstallLinkCommands(void);

// Writes linkPath + ".url" for a target beginning with "http://" (any case), else a shell link
// linkPath + ".lnk" (made in memory, then written to its place, creating folders).
// Returns 0 or non-zero.
int MakeShortcut(const char *target, const char *linkPath, const char *arguments,
                 const char *iconFile);
