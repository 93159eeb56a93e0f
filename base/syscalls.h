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
    LONG(WINAPI *RegCreateKeyExA)
    (HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM access,
     LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition);
    LONG(WINAPI *RegSetValueExA)
    (HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size);
    BOOL(WINAPI *ExitWindowsEx)(UINT flags, DWORD reason);
    SC_HANDLE(WINAPI *OpenSCManagerA)(LPCSTR machine, LPCSTR database, DWORD access);
    // Looked up at run time, so that the engine still loads on the oldest systems it supports:
    // null on a system without it. (IsUserAnAdmin is never null: see ResetSystemCalls.)
    BOOL(WINAPI *GetDiskFreeSpaceExA)
    (LPCSTR path, PULARGE_INTEGER available, PULARGE_INTEGER total, PULARGE_INTEGER free);
    BOOL(WINAPI *IsUserAnAdmin)(void);
    LONG(WINAPI *RegOpenCurrentUser)(REGSAM access, PHKEY key);       // Windows 2000 and later
    BOOL(WINAPI *ImpersonateLoggedOnUser)(HANDLE token);              // the NT family
    BOOL(WINAPI *MoveFileExA)(LPCSTR from, LPCSTR to, DWORD flags);   // the NT family
    BOOL(WINAPI *MoveFileExW)(LPCWSTR from, LPCWSTR to, DWORD flags); // the NT family
    LONG(WINAPI *RegDeleteKeyExA)
    (HKEY root, LPCSTR subKey, REGSAM view, DWORD reserved); // XP x64, Vista and later
};

extern SystemCallTable Sys;

// The registry view the shipped 32-bit engine uses implicitly on 64-bit Windows: the 64-bit build
// asks for it explicitly, so both builds read and write the same keys.
#ifdef _WIN64
const REGSAM kEngineRegistryView = KEY_WOW64_32KEY;
#else
const REGSAM kEngineRegistryView = 0;
#endif

void ResetSystemCalls(void);

// Limits where the process looks for libraries to the system folder (SetDefaultDllDirectories
// where the system has it; else at least the current folder is dropped from the search). Called
// first thing in the process: the engine often runs from a folder where anyone could have put
// a library named like a system one.
void RestrictLibrarySearch(void);

// Loads a library of the system folder, never one from anywhere else. Null when it cannot.
HMODULE LoadSystemLibrary(const char *name);

// Creates a folder for this run's own files (backups, the uninstaller's copy). In an elevated
// run it admits only the system and administrators, whatever the folder it lies in hands down:
// the temporary folder and a volume's root let the user change, rename and replace what is made
// in them, and what the run later takes back from there would then be the user's choice. A run
// that is not elevated, or a system without access lists, gets the usual folder. As
// CreateDirectoryA: false on failure, with the error to be read from GetLastError.
bool CreateGuardedFolder(const char *path);

// Small helpers over the table.
bool PathExists(const char *path);
bool IsFolder(const char *path);
// Creates or replaces `path` and writes `count` bytes in one write. 0, or 8 when the file could
// not be created or fewer bytes were written.
int WriteWholeFile(const char *path, const void *bytes, DWORD count);
