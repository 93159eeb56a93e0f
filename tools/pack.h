// mksetup pack, list and extract. argv holds the arguments after the command word. Exit
// status: 0 done, 1 refused or failed (message on stderr), 2 usage error.
#pragma once

int RunPack(int argc, char **argv);
int RunList(int argc, char **argv);
int RunExtract(int argc, char **argv);

extern const char PackUsage[];
extern const char ListUsage[];
extern const char ExtractUsage[];

// True when `name` can be an archive entry: a bare Windows file name of 1 to 259 characters.
bool IsBareFileName(const char *name);
