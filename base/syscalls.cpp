#include "base/syscalls.h"

#include "base/results.h"
#include "base/text.h"

SystemCallTable Sys;

enum { kIsUserAnAdminOrdinal = 680 };

static BOOL WINAPI EveryoneIsAnAdministrator(void)
{
    return TRUE;
}

void ResetSystemCalls(void)
{
    Sys.CreateFileA = ::CreateFileA;
    Sys.WriteFile = ::WriteFile;
    Sys.CopyFileA = ::CopyFileA;
    Sys.DeleteFileA = ::DeleteFileA;
    Sys.CreateDirectoryA = ::CreateDirectoryA;
    Sys.RemoveDirectoryA = ::RemoveDirectoryA;
    Sys.RegCreateKeyExA = ::RegCreateKeyExA;
    Sys.RegSetValueExA = ::RegSetValueExA;
    Sys.ExitWindowsEx = ::ExitWindowsEx;
    Sys.OpenSCManagerA = ::OpenSCManagerA;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    Sys.GetDiskFreeSpaceExA =
        (BOOL(WINAPI *)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER))(
            void *)GetProcAddress(kernel, "GetDiskFreeSpaceExA");
    Sys.RegOpenCurrentUser =
        (LONG(WINAPI *)(REGSAM, PHKEY))(void *)GetProcAddress(advapi, "RegOpenCurrentUser");
    Sys.ImpersonateLoggedOnUser =
        (BOOL(WINAPI *)(HANDLE))(void *)GetProcAddress(advapi, "ImpersonateLoggedOnUser");
    Sys.MoveFileExA =
        (BOOL(WINAPI *)(LPCSTR, LPCSTR, DWORD))(void *)GetProcAddress(kernel, "MoveFileExA");
    Sys.MoveFileExW =
        (BOOL(WINAPI *)(LPCWSTR, LPCWSTR, DWORD))(void *)GetProcAddress(kernel, "MoveFileExW");
    Sys.RegDeleteKeyExA = (LONG(WINAPI *)(HKEY, LPCSTR, REGSAM, DWORD))(void *)GetProcAddress(
        advapi, "RegDeleteKeyExA");
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
    UINT n = GetSystemDirectoryA(path, sizeof path);
    if (n == 0 || n >= sizeof path || !AppendText(path, sizeof path, "\\") ||
        !AppendText(path, sizeof path, name))
        return nullptr;
    return LoadLibraryA(path);
}

bool CreateGuardedFolder(const char *path)
{
    typedef BOOL(WINAPI * FromText)(LPCSTR, DWORD, PSECURITY_DESCRIPTOR *, PULONG);
    FromText fromText = (FromText)(void *)GetProcAddress(
        GetModuleHandleA("advapi32.dll"), "ConvertStringSecurityDescriptorToSecurityDescriptorA");
    SECURITY_ATTRIBUTES security;
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = FALSE;
    // P: nothing handed down from above; full access for the system and administrators, handed
    // down to what is made inside.
    if (fromText && Sys.IsUserAnAdmin() &&
        !fromText("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 1 /* SDDL_REVISION_1 */,
                  &security.lpSecurityDescriptor, nullptr))
        security.lpSecurityDescriptor = nullptr;
    BOOL made = Sys.CreateDirectoryA(path, security.lpSecurityDescriptor ? &security : nullptr);
    DWORD error = GetLastError();
    if (security.lpSecurityDescriptor)
        LocalFree(security.lpSecurityDescriptor);
    SetLastError(error);
    return made != FALSE;
}

bool PathExists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int WriteWholeFile(const char *path, const void *bytes, DWORD count)
{
    HANDLE file = Sys.CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return kErrFileNotWritten;
    DWORD written = 0;
    BOOL ok = Sys.WriteFile(file, bytes, count, &written, nullptr);
    CloseHandle(file);
    return ok && written == count ? kOk : kErrFileNotWritten;
}
