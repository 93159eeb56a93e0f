// File commands (CreateDir, CopyFile, DeleteFile, RemoveDir) and the file-system operations
// other parts share. Paths live in 260-byte buffers: a path that would exceed 259 characters
// is refused with the operation's failure code, never overrun.
#pragma once

#include <stddef.h>
#include <stdint.h>

int CommandCreateDir(const char *argumentStart, const char *lineEnd);
int CommandCopyFile(const char *argumentStart, const char *lineEnd);
int CommandDeleteFile(const char *argumentStart, const char *lineEnd);
int CommandRemoveDir(const char *argumentStart, const char *lineEnd);

// Enters the four file commands into the interpreter's command table.
void InstallFileCommands(void);

// 0 the folder exists or was created; 1 a level could not be created (or the path is too
// long); 2 the path is missing or empty.
int CreatePath(const char *path);
// 0, or 7 when the folder neither could be created nor exists after 11 attempts 100 ms apart.
int CreateOneFolder(const char *path);
// Creates or replaces the file, creating its folders when the first try fails. 0 written;
// 1 the file could not be created; 2 fewer bytes written.
int WriteFileCreatingFolders(const char *path, const void *bytes, uint32_t count);
// Total size of the files in the folder and every folder below it. A folder that is a link
// (a junction, a symbolic link, a mount point), or lies behind one, counts nothing.
uint64_t FolderSize(const char *path);
// True when some level of `path`, from the top down and the path itself included, is a link
// to another place (a junction, a symbolic link, a mount point; the drive's or share's root is
// not looked at), or the path is too long to look at. The running command's note (CommandNote)
// then names that level, for its detail line. Commands that write, delete or walk do not go
// through such a level: a link none of the engine's own commands made could lead anywhere.
bool PathThroughLink(const char *path);
// Sets #INSTALLSIZE# to the size of the installation folder in KiB (fraction dropped).
void SetInstallSize(void);
// Appends a backslash to a non-empty path unless it ends in one. False when it does not fit.
bool AddBackslash(char *path, size_t capacity);
// Removes every trailing backslash (C:\ becomes C:).
void StripBackslashes(char *path);
