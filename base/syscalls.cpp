#include "base/syscalls.h"

#include "base/results.h"

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
    Sys.GetDiskFreeSpaceExA =
        (BOOL(WINAPI *)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER))(
            void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetDiskFreeSpaceExA");
    // By ordinal: older shell libraries export it under no name; without it, as on systems
    // that have no administrators, everyone counts as one.
    Sys.IsUserAnAdmin = (BOOL(WINAPI *)(void))(void *)GetProcAddress(
        LoadLibraryA("shell32.dll"), MAKEINTRESOURCEA(kIsUserAnAdminOrdinal));
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
