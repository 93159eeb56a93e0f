#include "base/syscalls.h"

#include "base/results.h"
#include "base/security.h"
#include "base/text.h"

SystemCallTable Sys;

enum { kIsUserAnAdminOrdinal = 680 };

static BOOL WINAPI EveryoneIsAnAdministrator(void)
{
    return TRUE;
}

// The entries that convert text, in systemtext.cpp.
void ResetTextCalls(void);

void ResetSystemCalls(void)
{
    ResetTextCalls();
    Sys.WriteFile = ::WriteFile;
    Sys.ExitWindowsEx = ::ExitWindowsEx;
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    Sys.RegOpenCurrentUser =
        (LONG(WINAPI *)(REGSAM, PHKEY))(void *)GetProcAddress(advapi, "RegOpenCurrentUser");
    Sys.ImpersonateLoggedOnUser =
        (BOOL(WINAPI *)(HANDLE))(void *)GetProcAddress(advapi, "ImpersonateLoggedOnUser");
    Sys.GetSecurityInfo = (DWORD(WINAPI *)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *,
                                           PSID *, PACL *, PACL *, PSECURITY_DESCRIPTOR *))(
        void *)GetProcAddress(advapi, "GetSecurityInfo");
    Sys.SetSecurityInfo =
        (DWORD(WINAPI *)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL))(
            void *)GetProcAddress(advapi, "SetSecurityInfo");
    // By ordinal: older shell libraries export it under no name; without it, as on systems
    // that have no administrators, everyone counts as one.
    Sys.IsUserAnAdmin = (BOOL(WINAPI *)(void))(void *)GetProcAddress(
        GetModuleHandleA("shell32.dll"), MAKEINTRESOURCEA(kIsUserAnAdminOrdinal));
    if (!Sys.IsUserAnAdmin)
        Sys.IsUserAnAdmin = EveryoneIsAnAdministrator;
}

// The table points at the real functions before any code runs.
static struct SystemCallsAtStart {
    SystemCallsAtStart()
    {
        ResetSystemCalls();
    }
} systemCallsAtStart;

// The search flag of SetDefaultDllDirectories, which older headers do not declare.
const DWORD kSearchSystemFolder = 0x00000800; // LOAD_LIBRARY_SEARCH_SYSTEM32

static bool systemFolderOnly; // the library search is limited to the system folder

void RestrictLibrarySearch(void)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    typedef BOOL(WINAPI * SetDefaultDirectories)(DWORD);
    typedef BOOL(WINAPI * SetDirectory)(LPCSTR);
    SetDefaultDirectories setDefault =
        (SetDefaultDirectories)(void *)GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (setDefault && setDefault(kSearchSystemFolder)) {
        systemFolderOnly = true;
        return;
    }
    // Older systems: at least the current folder leaves the search.
    SetDirectory setDirectory = (SetDirectory)(void *)GetProcAddress(kernel, "SetDllDirectoryA");
    if (setDirectory)
        setDirectory(""); /* best effort */
}

HMODULE LoadSystemLibrary(const char *name)
{
    // With the search limited to the system folder a bare name is safe, and it lets the
    // manifest's side-by-side version of a library (the common controls 6) take effect, which a
    // full path would bypass.
    if (systemFolderOnly)
        return LoadLibraryExA(name, nullptr, kSearchSystemFolder);
    char path[MAX_PATH];
    UINT n = GetSystemDirectoryU(path, sizeof path);
    if (n == 0 || n >= sizeof path || !AppendText(path, sizeof path, "\\") ||
        !AppendText(path, sizeof path, name))
        return nullptr;
    return LoadLibraryA(path);
}

bool CreateGuardedFolder(const char *path)
{
    // P: nothing handed down from above; full access for the system and administrators, handed
    // down to what is made inside.
    return CreateFolderWithAccess(path, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
}

bool CreateNewGuardedFolder(const char *parent, const char *prefix, char *folder, size_t capacity)
{
    DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 12);
    for (DWORD attempt = 0; attempt < 100; attempt++) {
        if (!FormatText(folder, capacity, "%s%s%08lX", parent, prefix,
                        (unsigned long)(seed ^ (attempt * 0x9E3779B9u))))
            return false;
        if (CreateGuardedFolder(folder))
            return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

bool PathExists(const char *path)
{
    return GetFileAttributesU(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const char *path)
{
    DWORD attributes = GetFileAttributesU(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int WriteWholeFile(const char *path, const void *bytes, DWORD count)
{
    HANDLE file = Sys.CreateFileU(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return kErrFileNotWritten;
    DWORD written = 0;
    BOOL ok = Sys.WriteFile(file, bytes, count, &written, nullptr);
    CloseHandle(file);
    return ok && written == count ? kOk : kErrFileNotWritten;
}
