// The system boundary. Text inside the engine is UTF-8; every call that hands text to Windows
// or takes text from it goes through this layer, which converts at exactly this one place: to
// UTF-16 and the W function on the NT family, to the ANSI code page and the A function on the
// 95 family. No conversion guesses: a text that does not convert (malformed UTF-8, a character
// the code page lacks) fails the call with ERROR_NO_UNICODE_TRANSLATION and sets
// TextNotConverted, never a best-fit lookalike. The U at the end of a name says that its texts
// are UTF-8; otherwise each takes what its A function takes.
//
// The calls that tests want to make fail are in the table Sys: code that creates, writes,
// copies or deletes files and folders calls them through it; a test replaces an entry to inject
// a failure and calls ResetSystemCalls afterwards.
#pragma once

#include <windows.h>

#include <aclapi.h>
#include <shellapi.h>
#include <shlobj.h>

struct SystemCallTable {
    // True on the NT family, whose W functions take the text as UTF-16; false on the 95 family,
    // where the entries hand it to the A functions in the ANSI code page. A test sets it false
    // to take the 95 family's way on NT.
    bool wide;
    HANDLE(WINAPI *CreateFileU)
    (LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
     DWORD flags, HANDLE templateFile);
    BOOL(WINAPI *WriteFile)
    (HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
    BOOL(WINAPI *CopyFileU)(LPCSTR source, LPCSTR destination, BOOL failIfExists);
    BOOL(WINAPI *DeleteFileU)(LPCSTR name);
    BOOL(WINAPI *CreateDirectoryU)(LPCSTR name, LPSECURITY_ATTRIBUTES security);
    BOOL(WINAPI *RemoveDirectoryU)(LPCSTR name);
    LONG(WINAPI *RegCreateKeyExU)
    (HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM access,
     LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition);
    // REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ data is UTF-8 (`size` bytes with the terminators)
    // and is stored as Unicode; other data as it is.
    LONG(WINAPI *RegSetValueExU)
    (HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size);
    BOOL(WINAPI *ExitWindowsEx)(UINT flags, DWORD reason);
    SC_HANDLE(WINAPI *OpenSCManagerU)(LPCSTR machine, LPCSTR database, DWORD access);
    // Only cb, dwFlags and wShowWindow of `startup` are taken.
    BOOL(WINAPI *CreateProcessU)
    (LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
     LPSECURITY_ATTRIBUTES threadSecurity, BOOL inheritHandles, DWORD flags, LPVOID environment,
     LPCSTR folder, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION process);
    // Looked up at run time, so that the engine still loads on the oldest systems it supports:
    // null on a system without it. (IsUserAnAdmin is never null: see ResetSystemCalls.)
    BOOL(WINAPI *GetDiskFreeSpaceExU)
    (LPCSTR path, PULARGE_INTEGER available, PULARGE_INTEGER total, PULARGE_INTEGER free);
    BOOL(WINAPI *IsUserAnAdmin)(void);
    LONG(WINAPI *RegOpenCurrentUser)(REGSAM access, PHKEY key);     // Windows 2000 and later
    BOOL(WINAPI *ImpersonateLoggedOnUser)(HANDLE token);            // the NT family
    BOOL(WINAPI *MoveFileExU)(LPCSTR from, LPCSTR to, DWORD flags); // the NT family
    LONG(WINAPI *RegDeleteKeyExU)
    (HKEY root, LPCSTR subKey, REGSAM view, DWORD reserved); // XP x64, Vista and later
    DWORD(WINAPI *GetSecurityInfo)
    (HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID *owner, PSID *group,
     PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor); // the NT family
    DWORD(WINAPI *SetSecurityInfo)
    (HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID owner, PSID group,
     PACL dacl, PACL sacl); // the NT family
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

// Creates a guarded folder under a new name in `parent` (which ends in a backslash): `prefix`
// followed by eight hexadecimal digits. A name that is taken, by an earlier run or by anyone
// else, is passed over, never reused. `folder` gets the path; false when none could be made.
bool CreateNewGuardedFolder(const char *parent, const char *prefix, char *folder, size_t capacity);

// Small helpers over the table.
bool PathExists(const char *path);
bool IsFolder(const char *path);
// Creates or replaces `path` and writes `count` bytes in one write. 0, or 8 when the file could
// not be created or fewer bytes were written.
int WriteWholeFile(const char *path, const void *bytes, DWORD count);

// Conversions of the layer, bounded by the destination's capacity (in its units, the
// terminator included). Each returns true when the whole text converted; on false the last
// error says why (ERROR_NO_UNICODE_TRANSLATION, or ERROR_INSUFFICIENT_BUFFER when it did not
// fit: then the destination holds the text cut at a character boundary).
bool WideFromText(const char *text, WCHAR *out, size_t capacity);
bool TextFromWide(const WCHAR *wide, char *out, size_t capacity);
// The 95 family's side: UTF-8 to the ANSI code page without best fit (a character the code
// page lacks fails), and text of the code page to UTF-8.
bool CodePageFromText(const char *text, char *out, size_t capacity);
bool TextFromCodePage(const char *text, char *out, size_t capacity);
// Text that is UTF-8 already stays as it is; other text is taken as the system code page's and
// converted: what an earlier engine or a script saved in that code page wrote.
bool TextFromUtf8OrCodePage(const char *text, char *out, size_t capacity);

// Calls outside the table, each as its A function but with UTF-8 text.
DWORD GetFileAttributesU(LPCSTR name);
BOOL SetFileAttributesU(LPCSTR name, DWORD attributes);
BOOL MoveFileU(LPCSTR from, LPCSTR to);
BOOL SetCurrentDirectoryU(LPCSTR path);
BOOL GetDiskFreeSpaceU(LPCSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                       LPDWORD freeClusters, LPDWORD clusters);
// cFileName is UTF-8; an entry whose name does not fit it is passed over.
HANDLE FindFirstFileU(LPCSTR pattern, WIN32_FIND_DATAA *found);
BOOL FindNextFileU(HANDLE search, WIN32_FIND_DATAA *found);
// As their A functions: the length without the terminator, or the size needed (terminator
// included) when `capacity` is too small, or 0 on failure.
DWORD GetModuleFileNameU(HMODULE module, LPSTR out, DWORD capacity);
DWORD GetTempPathU(DWORD capacity, LPSTR out);
DWORD GetFullPathNameU(LPCSTR name, DWORD capacity, LPSTR out);
UINT GetWindowsDirectoryU(LPSTR out, UINT capacity);
UINT GetSystemDirectoryU(LPSTR out, UINT capacity);
BOOL GetUserNameU(LPSTR out, LPDWORD capacity);
BOOL SHGetPathFromIDListU(LPCITEMIDLIST list, LPSTR out); // out: MAX_PATH bytes
int LoadStringU(HINSTANCE instance, UINT id, LPSTR out, int capacity);
// The process's command line as UTF-8, allocated (free it); null when it does not convert.
char *CommandLineU(void);
HANDLE CreateMutexU(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCSTR name);
HANDLE BeginUpdateResourceU(LPCSTR file, BOOL deleteExisting);
HINSTANCE ShellExecuteU(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder,
                        INT show);
// Takes fMask, hwnd, lpVerb, lpFile, lpParameters, lpDirectory and nShow; gives hInstApp and
// hProcess.
BOOL ShellExecuteExU(SHELLEXECUTEINFOA *info);
LONG RegOpenKeyExU(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY key);
// String data comes back as UTF-8: its size is the UTF-8 size. Asked for the size alone, the
// answer for a string is an upper bound.
LONG RegQueryValueExU(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size);
LONG RegEnumValueU(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD size);
LONG RegEnumKeyExU(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize);
LONG RegDeleteValueU(HKEY key, LPCSTR name);
LONG RegDeleteKeyU(HKEY root, LPCSTR subKey);
DWORD SHDeleteKeyU(HKEY root, LPCSTR subKey);
SC_HANDLE OpenServiceU(SC_HANDLE manager, LPCSTR name, DWORD access);
