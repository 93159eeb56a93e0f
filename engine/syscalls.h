// The system calls that tests want to make fail. Code that creates, writes, copies or deletes
// files and folders calls them through Sys; a test replaces an entry to inject a failure and
// calls ResetSystemCalls afterwards.
#pragma once

#include <windows.h>

struct SystemCallTable {
    HANDLE(WINAPI *CreateFileA)
    (LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
     DWORD flags, HANDLE templateFile);
    BOOL(WINAPI *WriteFile)
    (HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
    BOOL(WINAPI *CopyFileA)(LPCSTR source, LPCSTR destination, BOOL failIfExists);
    BOOL(WINAPI *DeleteFileA)(LPCSTR name);
    BOOL(WINAPI *CreateDirectoryA)(LPCSTR name, LPSECURITY_ATTRIBUTES security);
    BOOL(WINAPI *RemoveDirectoryA)(LPCSTR name);
};

extern SystemCallTable Sys;

void ResetSystemCalls(void);

// Small helpers over the table.
bool PathExists(const char *path);
bool IsFolder(const char *path);
// Creates or replaces `path` and writes `count` bytes in one write. 0, or 8 when the file could
// not be created or fewer bytes were written.
int WriteWholeFile(const char *path, const void *bytes, DWORD count);
