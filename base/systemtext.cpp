// The conversions of the system boundary and the calls outside the table (base/syscalls.h).
#include <windows.h>

#include <shlwapi.h>
#include <stdlib.h>
#include <string.h>

#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "base/unicode.h"

// WideCharToMultiByte's flag, which headers for the oldest systems do not declare.
const DWORD kNoBestFit = 0x00000400; // WC_NO_BEST_FIT_CHARS

// Registry value names and key names: at most 16383 characters, 255 for key names.
enum { kRegistryNameUnits = 16384 };

static bool Refuse(void)
{
    TextNotConverted = true;
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return false;
}

static bool Reported(int result)
{
    if (result == kConverted)
        return true;
    if (result == kConvertCut) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return Refuse();
}

bool WideFromText(const char *text, WCHAR *out, size_t capacity)
{
    return Reported(Utf8ToUtf16(text, (uint16_t *)out, capacity));
}

bool TextFromWide(const WCHAR *wide, char *out, size_t capacity)
{
    return Reported(Utf16ToUtf8((const uint16_t *)wide, out, capacity));
}

// Both ways between UTF-16 and the code page, exactly: a character the code page lacks, which
// the system would replace by a default or by a lookalike, fails. The 95 family knows no
// WC_NO_BEST_FIT_CHARS; there the converted text is converted back and must be the same.
static bool CodePageFromWide(const WCHAR *wide, char *out, size_t capacity)
{
    BOOL defaulted = FALSE;
    int n =
        WideCharToMultiByte(CP_ACP, kNoBestFit, wide, -1, out, (int)capacity, nullptr, &defaulted);
    if (n == 0 && GetLastError() == ERROR_INVALID_FLAGS)
        n = WideCharToMultiByte(CP_ACP, 0, wide, -1, out, (int)capacity, nullptr, &defaulted);
    if (n == 0) {
        out[0] = 0;
        if (GetLastError() == ERROR_INSUFFICIENT_BUFFER)
            return false;
        return Refuse();
    }
    size_t units = wcslen(wide) + 1;
    WCHAR *back = (WCHAR *)malloc(units * sizeof(WCHAR));
    bool same = back && !defaulted &&
                MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, out, -1, back, (int)units) ==
                    (int)units &&
                memcmp(back, wide, units * sizeof(WCHAR)) == 0;
    free(back);
    if (same)
        return true;
    out[0] = 0;
    return Refuse();
}

bool CodePageFromText(const char *text, char *out, size_t capacity)
{
    // No character takes fewer UTF-16 units than UTF-8 bytes.
    size_t units = strlen(text) + 1;
    WCHAR *wide = (WCHAR *)malloc(units * sizeof(WCHAR));
    bool done = wide && WideFromText(text, wide, units) && CodePageFromWide(wide, out, capacity);
    if (!done && capacity > 0)
        out[0] = 0;
    free(wide);
    return done;
}

bool TextFromCodePage(const char *text, char *out, size_t capacity)
{
    size_t units = strlen(text) + 1;
    WCHAR *wide = (WCHAR *)malloc(units * sizeof(WCHAR));
    bool done = wide && MultiByteToWideChar(CP_ACP, 0, text, -1, wide, (int)units) > 0 &&
                TextFromWide(wide, out, capacity);
    if (!wide && capacity > 0)
        out[0] = 0;
    free(wide);
    return done;
}

bool TextFromUtf8OrCodePage(const char *text, char *out, size_t capacity)
{
    if (IsValidUtf8(text, strlen(text)))
        return CopyText(out, capacity, text);
    return TextFromCodePage(text, out, capacity);
}

// One text for a call: the UTF-16 form on the NT family, the code page's on the 95 family. As
// long as the engine's longest texts (registry key paths may be longer than file paths); a
// null text stays null.
struct SystemText {
    bool present;
    union {
        WCHAR wide[kTextSize];
        char narrow[kTextSize];
    };
};

static bool ForSystem(const char *text, SystemText *out)
{
    out->present = text != nullptr;
    if (!text)
        return true;
    if (Sys.wide)
        return WideFromText(text, out->wide, kTextSize);
    return CodePageFromText(text, out->narrow, kTextSize);
}

static const WCHAR *W(const SystemText &text)
{
    return text.present ? text.wide : nullptr;
}

static const char *A(const SystemText &text)
{
    return text.present ? text.narrow : nullptr;
}

// What a call gave back, as UTF-8 into the caller's buffer: the length, or (as the A functions
// answer) at least the capacity when it does not fit, or 0 when it does not convert.
static DWORD GiveBack(const void *system, char *out, DWORD capacity)
{
    if (capacity == 0)
        return 1;
    bool converted = Sys.wide ? TextFromWide((const WCHAR *)system, out, capacity)
                              : TextFromCodePage((const char *)system, out, capacity);
    if (converted)
        return (DWORD)strlen(out);
    bool cut = GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    out[0] = 0;
    return cut ? capacity : 0;
}

// A system folder's path: `query` fills a buffer of kPathSize units (WCHAR or char).
static DWORD FolderBack(DWORD written, const void *system, char *out, DWORD capacity)
{
    if (written == 0 || written >= kPathSize)
        return 0;
    return GiveBack(system, out, capacity);
}

static HANDLE WINAPI CreateFileText(LPCSTR name, DWORD access, DWORD share,
                                    LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                    HANDLE templateFile)
{
    SystemText n;
    if (!ForSystem(name, &n))
        return INVALID_HANDLE_VALUE;
    if (Sys.wide)
        return CreateFileW(n.wide, access, share, security, disposition, flags, templateFile);
    return CreateFileA(n.narrow, access, share, security, disposition, flags, templateFile);
}

static BOOL WINAPI CopyFileText(LPCSTR source, LPCSTR destination, BOOL failIfExists)
{
    SystemText s, d;
    if (!ForSystem(source, &s) || !ForSystem(destination, &d))
        return FALSE;
    return Sys.wide ? CopyFileW(s.wide, d.wide, failIfExists)
                    : CopyFileA(s.narrow, d.narrow, failIfExists);
}

static BOOL WINAPI DeleteFileText(LPCSTR name)
{
    SystemText n;
    if (!ForSystem(name, &n))
        return FALSE;
    return Sys.wide ? DeleteFileW(n.wide) : DeleteFileA(n.narrow);
}

static BOOL WINAPI CreateDirectoryText(LPCSTR name, LPSECURITY_ATTRIBUTES security)
{
    SystemText n;
    if (!ForSystem(name, &n))
        return FALSE;
    return Sys.wide ? CreateDirectoryW(n.wide, security) : CreateDirectoryA(n.narrow, security);
}

static BOOL WINAPI RemoveDirectoryText(LPCSTR name)
{
    SystemText n;
    if (!ForSystem(name, &n))
        return FALSE;
    return Sys.wide ? RemoveDirectoryW(n.wide) : RemoveDirectoryA(n.narrow);
}

static LONG WINAPI RegCreateKeyExText(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                                      DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                      PHKEY key, LPDWORD disposition)
{
    (void)keyClass; // the engine gives none
    SystemText k;
    if (!ForSystem(subKey, &k))
        return ERROR_NO_UNICODE_TRANSLATION;
    if (Sys.wide)
        return RegCreateKeyExW(root, W(k), reserved, nullptr, options, access, security, key,
                               disposition);
    return RegCreateKeyExA(root, A(k), reserved, nullptr, options, access, security, key,
                           disposition);
}

static bool IsStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// String data of `size` bytes, each of its NUL-terminated pieces converted (REG_MULTI_SZ holds
// several): into the system's form, allocated, with its size in bytes. Null when it does not
// convert.
static void *StringDataForSystem(const char *data, DWORD size, DWORD *systemSize)
{
    char *text = (char *)malloc((size_t)size + 1);
    size_t unitSize = Sys.wide ? sizeof(WCHAR) : 1;
    char *out = (char *)malloc(((size_t)size + 1) * unitSize);
    size_t used = 0;
    bool ok = text && out;
    if (ok) {
        memcpy(text, data, size);
        text[size] = 0;
    }
    for (size_t at = 0; ok && at < size;) {
        size_t piece = strlen(text + at);
        size_t room = (size_t)size + 1 - used;
        if (Sys.wide) {
            WCHAR *to = (WCHAR *)out + used;
            ok = WideFromText(text + at, to, room);
            used += ok ? wcslen(to) + 1 : 0;
        } else {
            ok = CodePageFromText(text + at, out + used, room);
            used += ok ? strlen(out + used) + 1 : 0;
        }
        at += piece + 1;
    }
    // Data without its terminator keeps none.
    if (ok && size > 0 && data[size - 1] != 0)
        used--;
    free(text);
    if (!ok) {
        free(out);
        return nullptr;
    }
    *systemSize = (DWORD)(used * unitSize);
    return out;
}

// The other way: string data of the system, `size` bytes, into UTF-8 at `out` (`capacity`
// bytes). The UTF-8 size, or the size needed when it does not fit, or (DWORD)-1 when it does not
// convert.
static DWORD StringDataFromSystem(const void *data, DWORD size, BYTE *out, DWORD capacity)
{
    size_t unitSize = Sys.wide ? sizeof(WCHAR) : 1;
    size_t units = size / unitSize;
    char *text = (char *)malloc(units * 3 + 1);
    char *system = (char *)calloc(units + 1, unitSize);
    size_t used = 0;
    bool ok = text && system;
    if (ok)
        memcpy(system, data, units * unitSize);
    for (size_t at = 0; ok && at < units;) {
        size_t piece;
        if (Sys.wide) {
            const WCHAR *from = (const WCHAR *)system + at;
            piece = wcslen(from);
            ok = TextFromWide(from, text + used, units * 3 + 1 - used);
        } else {
            const char *from = system + at;
            piece = strlen(from);
            ok = TextFromCodePage(from, text + used, units * 3 + 1 - used);
        }
        used += ok ? strlen(text + used) + 1 : 0;
        at += piece + 1;
    }
    if (ok && units > 0 && (Sys.wide ? ((const WCHAR *)system)[units - 1] : system[units - 1]) != 0)
        used--;
    free(system);
    DWORD result = (DWORD)-1;
    if (ok) {
        result = (DWORD)used;
        if (out && used <= capacity)
            memcpy(out, text, used);
    }
    free(text);
    return result;
}

static LONG WINAPI RegSetValueExText(HKEY key, LPCSTR name, DWORD reserved, DWORD type,
                                     const BYTE *data, DWORD size)
{
    SystemText n;
    if (!ForSystem(name, &n))
        return ERROR_NO_UNICODE_TRANSLATION;
    DWORD systemSize = size;
    void *converted = nullptr;
    if (IsStringType(type)) {
        converted = StringDataForSystem((const char *)data, size, &systemSize);
        if (!converted)
            return ERROR_NO_UNICODE_TRANSLATION;
        data = (const BYTE *)converted;
    }
    LONG result = Sys.wide ? RegSetValueExW(key, W(n), reserved, type, data, systemSize)
                           : RegSetValueExA(key, A(n), reserved, type, data, systemSize);
    free(converted);
    return result;
}

static SC_HANDLE WINAPI OpenSCManagerText(LPCSTR machine, LPCSTR database, DWORD access)
{
    SystemText m, d;
    if (!ForSystem(machine, &m) || !ForSystem(database, &d))
        return nullptr;
    return Sys.wide ? OpenSCManagerW(W(m), W(d), access) : OpenSCManagerA(A(m), A(d), access);
}

typedef BOOL(WINAPI *FreeSpaceW)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
typedef BOOL(WINAPI *FreeSpaceA)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
static FreeSpaceW freeSpaceW;
static FreeSpaceA freeSpaceA;

static BOOL WINAPI GetDiskFreeSpaceExText(LPCSTR path, PULARGE_INTEGER available,
                                          PULARGE_INTEGER total, PULARGE_INTEGER free)
{
    SystemText p;
    if (!ForSystem(path, &p))
        return FALSE;
    if (Sys.wide)
        return freeSpaceW && freeSpaceW(W(p), available, total, free);
    return freeSpaceA && freeSpaceA(A(p), available, total, free);
}

typedef BOOL(WINAPI *MoveExW)(LPCWSTR, LPCWSTR, DWORD);
static MoveExW moveExW;

static BOOL WINAPI MoveFileExText(LPCSTR from, LPCSTR to, DWORD flags)
{
    SystemText f, t;
    if (!ForSystem(from, &f) || !ForSystem(to, &t))
        return FALSE;
    return moveExW && moveExW(W(f), W(t), flags); /* the NT family only */
}

typedef LONG(WINAPI *DeleteKeyExW)(HKEY, LPCWSTR, REGSAM, DWORD);
static DeleteKeyExW deleteKeyExW;

static LONG WINAPI RegDeleteKeyExText(HKEY root, LPCSTR subKey, REGSAM view, DWORD reserved)
{
    SystemText k;
    if (!ForSystem(subKey, &k))
        return ERROR_NO_UNICODE_TRANSLATION;
    return deleteKeyExW ? deleteKeyExW(root, W(k), view, reserved) : ERROR_CALL_NOT_IMPLEMENTED;
}

static BOOL WINAPI CreateProcessText(LPCSTR application, LPSTR commandLine,
                                     LPSECURITY_ATTRIBUTES processSecurity,
                                     LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit,
                                     DWORD flags, LPVOID environment, LPCSTR folder,
                                     LPSTARTUPINFOA startup, LPPROCESS_INFORMATION process);

void ResetTextCalls(void)
{
    Sys.wide = (GetVersion() & 0x80000000u) == 0;
    Sys.CreateFileU = CreateFileText;
    Sys.CopyFileU = CopyFileText;
    Sys.DeleteFileU = DeleteFileText;
    Sys.CreateDirectoryU = CreateDirectoryText;
    Sys.RemoveDirectoryU = RemoveDirectoryText;
    Sys.RegCreateKeyExU = RegCreateKeyExText;
    Sys.RegSetValueExU = RegSetValueExText;
    Sys.OpenSCManagerU = OpenSCManagerText;
    Sys.CreateProcessU = CreateProcessText;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    freeSpaceW = (FreeSpaceW)(void *)GetProcAddress(kernel, "GetDiskFreeSpaceExW");
    freeSpaceA = (FreeSpaceA)(void *)GetProcAddress(kernel, "GetDiskFreeSpaceExA");
    Sys.GetDiskFreeSpaceExU = freeSpaceA ? GetDiskFreeSpaceExText : nullptr;
    moveExW = Sys.wide ? (MoveExW)(void *)GetProcAddress(kernel, "MoveFileExW") : nullptr;
    Sys.MoveFileExU = moveExW ? MoveFileExText : nullptr;
    deleteKeyExW = (DeleteKeyExW)(void *)GetProcAddress(advapi, "RegDeleteKeyExW");
    Sys.RegDeleteKeyExU = deleteKeyExW && Sys.wide ? RegDeleteKeyExText : nullptr;
}

DWORD GetFileAttributesU(LPCSTR name)
{
    SystemText n;
    if (!ForSystem(name, &n))
        return INVALID_FILE_ATTRIBUTES;
    return Sys.wide ? GetFileAttributesW(n.wide) : GetFileAttributesA(n.narrow);
}

BOOL SetFileAttributesU(LPCSTR name, DWORD attributes)
{
    SystemText n;
    if (!ForSystem(name, &n))
        return FALSE;
    return Sys.wide ? SetFileAttributesW(n.wide, attributes)
                    : SetFileAttributesA(n.narrow, attributes);
}

BOOL MoveFileU(LPCSTR from, LPCSTR to)
{
    SystemText f, t;
    if (!ForSystem(from, &f) || !ForSystem(to, &t))
        return FALSE;
    return Sys.wide ? MoveFileW(f.wide, t.wide) : MoveFileA(f.narrow, t.narrow);
}

BOOL SetCurrentDirectoryU(LPCSTR path)
{
    SystemText p;
    if (!ForSystem(path, &p))
        return FALSE;
    return Sys.wide ? SetCurrentDirectoryW(p.wide) : SetCurrentDirectoryA(p.narrow);
}

BOOL GetDiskFreeSpaceU(LPCSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                       LPDWORD freeClusters, LPDWORD clusters)
{
    SystemText r;
    if (!ForSystem(root, &r))
        return FALSE;
    if (Sys.wide)
        return GetDiskFreeSpaceW(W(r), sectorsPerCluster, bytesPerSector, freeClusters, clusters);
    return GetDiskFreeSpaceA(A(r), sectorsPerCluster, bytesPerSector, freeClusters, clusters);
}

// The found entry's name into `found` as UTF-8; false when it does not fit or convert.
static bool FoundName(const void *name, WIN32_FIND_DATAA *found)
{
    return GiveBack(name, found->cFileName, sizeof found->cFileName) < sizeof found->cFileName;
}

static void FoundFields(const WIN32_FIND_DATAW &wide, WIN32_FIND_DATAA *found)
{
    found->dwFileAttributes = wide.dwFileAttributes;
    found->ftCreationTime = wide.ftCreationTime;
    found->ftLastAccessTime = wide.ftLastAccessTime;
    found->ftLastWriteTime = wide.ftLastWriteTime;
    found->nFileSizeHigh = wide.nFileSizeHigh;
    found->nFileSizeLow = wide.nFileSizeLow;
    found->dwReserved0 = wide.dwReserved0;
    found->dwReserved1 = wide.dwReserved1;
    found->cAlternateFileName[0] = 0;
}

// Steps on from the entry the search stands at until one whose name converts.
static BOOL NextNamed(HANDLE search, WIN32_FIND_DATAA *found, bool first, WIN32_FIND_DATAW *wide)
{
    for (;;) {
        if (!first && !(Sys.wide ? FindNextFileW(search, wide) : FindNextFileA(search, found)))
            return FALSE;
        first = false;
        if (!Sys.wide) {
            char name[MAX_PATH];
            CopyText(name, sizeof name, found->cFileName);
            if (FoundName(name, found))
                return TRUE;
            continue;
        }
        FoundFields(*wide, found);
        if (FoundName(wide->cFileName, found))
            return TRUE;
    }
}

HANDLE FindFirstFileU(LPCSTR pattern, WIN32_FIND_DATAA *found)
{
    SystemText p;
    if (!ForSystem(pattern, &p))
        return INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW wide;
    HANDLE search = Sys.wide ? FindFirstFileW(p.wide, &wide) : FindFirstFileA(p.narrow, found);
    if (search == INVALID_HANDLE_VALUE)
        return search;
    if (!NextNamed(search, found, true, &wide)) {
        FindClose(search);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return search;
}

BOOL FindNextFileU(HANDLE search, WIN32_FIND_DATAA *found)
{
    WIN32_FIND_DATAW wide;
    return NextNamed(search, found, false, &wide);
}

DWORD GetModuleFileNameU(HMODULE module, LPSTR out, DWORD capacity)
{
    SystemText path;
    DWORD n = Sys.wide ? GetModuleFileNameW(module, path.wide, kPathSize)
                       : GetModuleFileNameA(module, path.narrow, kPathSize);
    return FolderBack(n, path.wide, out, capacity);
}

DWORD GetTempPathU(DWORD capacity, LPSTR out)
{
    SystemText path;
    DWORD n = Sys.wide ? GetTempPathW(kPathSize, path.wide) : GetTempPathA(kPathSize, path.narrow);
    return FolderBack(n, path.wide, out, capacity);
}

DWORD GetFullPathNameU(LPCSTR name, DWORD capacity, LPSTR out)
{
    SystemText n, path;
    if (!ForSystem(name, &n))
        return 0;
    DWORD written = Sys.wide ? GetFullPathNameW(n.wide, kPathSize, path.wide, nullptr)
                             : GetFullPathNameA(n.narrow, kPathSize, path.narrow, nullptr);
    return FolderBack(written, path.wide, out, capacity);
}

UINT GetWindowsDirectoryU(LPSTR out, UINT capacity)
{
    SystemText path;
    UINT n = Sys.wide ? GetWindowsDirectoryW(path.wide, kPathSize)
                      : GetWindowsDirectoryA(path.narrow, kPathSize);
    return FolderBack(n, path.wide, out, capacity);
}

UINT GetSystemDirectoryU(LPSTR out, UINT capacity)
{
    SystemText path;
    UINT n = Sys.wide ? GetSystemDirectoryW(path.wide, kPathSize)
                      : GetSystemDirectoryA(path.narrow, kPathSize);
    return FolderBack(n, path.wide, out, capacity);
}

BOOL GetUserNameU(LPSTR out, LPDWORD capacity)
{
    SystemText name;
    DWORD units = kPathSize;
    BOOL got = Sys.wide ? GetUserNameW(name.wide, &units) : GetUserNameA(name.narrow, &units);
    if (!got)
        return FALSE;
    DWORD n = GiveBack(name.wide, out, *capacity);
    if (n == 0 || n >= *capacity) {
        *capacity = n;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    *capacity = n + 1;
    return TRUE;
}

BOOL SHGetPathFromIDListU(LPCITEMIDLIST list, LPSTR out)
{
    SystemText path;
    BOOL got =
        Sys.wide ? SHGetPathFromIDListW(list, path.wide) : SHGetPathFromIDListA(list, path.narrow);
    if (!got) {
        out[0] = 0;
        return FALSE;
    }
    DWORD n = GiveBack(path.wide, out, MAX_PATH);
    return n > 0 && n < MAX_PATH;
}

int LoadStringU(HINSTANCE instance, UINT id, LPSTR out, int capacity)
{
    if (capacity <= 0)
        return 0;
    out[0] = 0;
    WCHAR wide[kMessageSize];
    char narrow[kMessageSize];
    int n = Sys.wide ? LoadStringW(instance, id, wide, kMessageSize)
                     : LoadStringA(instance, id, narrow, kMessageSize);
    if (n <= 0)
        return 0;
    if (Sys.wide ? !TextFromWide(wide, out, (size_t)capacity)
                 : !TextFromCodePage(narrow, out, (size_t)capacity)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            out[0] = 0;
    }
    return (int)strlen(out);
}

char *CommandLineU(void)
{
    const WCHAR *wide = Sys.wide ? GetCommandLineW() : nullptr;
    const char *narrow = Sys.wide ? nullptr : GetCommandLineA();
    size_t length = (wide ? wcslen(wide) : strlen(narrow)) * 3 + 1;
    char *text = (char *)malloc(length);
    if (text &&
        !(wide ? TextFromWide(wide, text, length) : TextFromCodePage(narrow, text, length))) {
        free(text);
        return nullptr;
    }
    return text;
}

HANDLE CreateMutexU(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCSTR name)
{
    SystemText n;
    if (!ForSystem(name, &n))
        return nullptr;
    return Sys.wide ? CreateMutexW(security, owned, W(n)) : CreateMutexA(security, owned, A(n));
}

HANDLE BeginUpdateResourceU(LPCSTR file, BOOL deleteExisting)
{
    SystemText f;
    if (!ForSystem(file, &f))
        return nullptr;
    return Sys.wide ? BeginUpdateResourceW(f.wide, deleteExisting)
                    : BeginUpdateResourceA(f.narrow, deleteExisting);
}

// A command line: longer than a path, and written to by CreateProcessW.
static void *CommandForSystem(const char *command)
{
    if (!command)
        return nullptr;
    size_t size = strlen(command) + 1;
    void *out = malloc(size * (Sys.wide ? sizeof(WCHAR) : 1));
    bool ok = out && (Sys.wide ? WideFromText(command, (WCHAR *)out, size)
                               : CodePageFromText(command, (char *)out, size));
    if (!ok) {
        free(out);
        return nullptr;
    }
    return out;
}

static BOOL WINAPI CreateProcessText(LPCSTR application, LPSTR commandLine,
                                     LPSECURITY_ATTRIBUTES processSecurity,
                                     LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit,
                                     DWORD flags, LPVOID environment, LPCSTR folder,
                                     LPSTARTUPINFOA startup, LPPROCESS_INFORMATION process)
{
    SystemText a, f;
    if (!ForSystem(application, &a) || !ForSystem(folder, &f))
        return FALSE;
    void *command = CommandForSystem(commandLine);
    if (commandLine && !command)
        return FALSE;
    BOOL started;
    if (Sys.wide) {
        STARTUPINFOW wideStartup;
        memset(&wideStartup, 0, sizeof wideStartup);
        wideStartup.cb = sizeof wideStartup;
        wideStartup.dwFlags = startup->dwFlags;
        wideStartup.wShowWindow = startup->wShowWindow;
        started = CreateProcessW(W(a), (WCHAR *)command, processSecurity, threadSecurity, inherit,
                                 flags, environment, W(f), &wideStartup, process);
    } else {
        started = CreateProcessA(A(a), (char *)command, processSecurity, threadSecurity, inherit,
                                 flags, environment, A(f), startup, process);
    }
    DWORD error = GetLastError();
    free(command);
    SetLastError(error);
    return started;
}

HINSTANCE ShellExecuteU(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder,
                        INT show)
{
    SHELLEXECUTEINFOA info;
    memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.hwnd = owner;
    info.lpVerb = verb;
    info.lpFile = file;
    info.lpParameters = parameters;
    info.lpDirectory = folder;
    info.nShow = show;
    if (!ShellExecuteExU(&info) && (INT_PTR)info.hInstApp > 32)
        info.hInstApp = (HINSTANCE)SE_ERR_NOASSOC;
    return info.hInstApp;
}

BOOL ShellExecuteExU(SHELLEXECUTEINFOA *info)
{
    SystemText verb, file, folder;
    if (!ForSystem(info->lpVerb, &verb) || !ForSystem(info->lpFile, &file) ||
        !ForSystem(info->lpDirectory, &folder)) {
        info->hInstApp = (HINSTANCE)SE_ERR_NOASSOC;
        return FALSE;
    }
    void *parameters = CommandForSystem(info->lpParameters);
    if (info->lpParameters && !parameters) {
        info->hInstApp = (HINSTANCE)SE_ERR_NOASSOC;
        return FALSE;
    }
    BOOL done;
    if (Sys.wide) {
        SHELLEXECUTEINFOW wide;
        memset(&wide, 0, sizeof wide);
        wide.cbSize = sizeof wide;
        wide.fMask = info->fMask;
        wide.hwnd = info->hwnd;
        wide.lpVerb = W(verb);
        wide.lpFile = W(file);
        wide.lpParameters = (const WCHAR *)parameters;
        wide.lpDirectory = W(folder);
        wide.nShow = info->nShow;
        done = ShellExecuteExW(&wide);
        info->hInstApp = wide.hInstApp;
        info->hProcess = wide.hProcess;
    } else {
        SHELLEXECUTEINFOA narrow = *info;
        narrow.lpVerb = A(verb);
        narrow.lpFile = A(file);
        narrow.lpParameters = (const char *)parameters;
        narrow.lpDirectory = A(folder);
        done = ShellExecuteExA(&narrow);
        info->hInstApp = narrow.hInstApp;
        info->hProcess = narrow.hProcess;
    }
    DWORD error = GetLastError();
    free(parameters);
    SetLastError(error);
    return done;
}

LONG RegOpenKeyExU(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY key)
{
    SystemText k;
    if (!ForSystem(subKey, &k))
        return ERROR_NO_UNICODE_TRANSLATION;
    return Sys.wide ? RegOpenKeyExW(root, W(k), options, access, key)
                    : RegOpenKeyExA(root, A(k), options, access, key);
}

// Reads value data through `read` (the W or A query or enumeration with the name fixed), string
// data converted to UTF-8.
template <typename Read> static LONG ReadValue(Read read, LPDWORD type, LPBYTE data, LPDWORD size)
{
    DWORD kind = 0;
    DWORD systemSize = 0;
    LONG result = read(&kind, nullptr, &systemSize);
    if (type)
        *type = kind;
    if (result != ERROR_SUCCESS || !size)
        return result;
    if (!IsStringType(kind)) {
        if (!data) {
            *size = systemSize;
            return ERROR_SUCCESS;
        }
        return read(type, data, size);
    }
    if (!data) {
        // Each unit of the system's text takes at most three bytes of UTF-8.
        *size = Sys.wide ? systemSize / 2 * 3 + 1 : systemSize * 3 + 1;
        return ERROR_SUCCESS;
    }
    BYTE *system = (BYTE *)malloc((size_t)systemSize + 2);
    if (!system)
        return ERROR_OUTOFMEMORY;
    result = read(&kind, system, &systemSize);
    if (result == ERROR_SUCCESS) {
        DWORD n = StringDataFromSystem(system, systemSize, data, *size);
        if (n == (DWORD)-1) {
            TextNotConverted = true;
            result = ERROR_NO_UNICODE_TRANSLATION;
        } else {
            result = n <= *size ? ERROR_SUCCESS : ERROR_MORE_DATA;
            *size = n;
        }
    }
    free(system);
    return result;
}

LONG RegQueryValueExU(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size)
{
    SystemText n;
    if (!ForSystem(name, &n))
        return ERROR_NO_UNICODE_TRANSLATION;
    return ReadValue(
        [&](LPDWORD kind, LPBYTE bytes, LPDWORD count) {
            return Sys.wide ? RegQueryValueExW(key, W(n), reserved, kind, bytes, count)
                            : RegQueryValueExA(key, A(n), reserved, kind, bytes, count);
        },
        type, data, size);
}

// A registry name the system gave (a value's or a key's) into `name` as UTF-8.
static LONG NameBack(const void *system, LPSTR name, LPDWORD nameSize)
{
    DWORD n = GiveBack(system, name, *nameSize);
    bool empty = Sys.wide ? ((const WCHAR *)system)[0] == 0 : ((const char *)system)[0] == 0;
    if (n == 0 && !empty)
        return ERROR_NO_UNICODE_TRANSLATION;
    if (n >= *nameSize)
        return ERROR_MORE_DATA;
    *nameSize = n;
    return ERROR_SUCCESS;
}

LONG RegEnumValueU(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD size)
{
    // The name of the value at `index`, then its data by that name.
    void *system = malloc(kRegistryNameUnits * sizeof(WCHAR));
    if (!system)
        return ERROR_OUTOFMEMORY;
    DWORD units = kRegistryNameUnits;
    LONG result = Sys.wide ? RegEnumValueW(key, index, (WCHAR *)system, &units, reserved, nullptr,
                                           nullptr, nullptr)
                           : RegEnumValueA(key, index, (char *)system, &units, reserved, nullptr,
                                           nullptr, nullptr);
    if (result == ERROR_SUCCESS)
        result = NameBack(system, name, nameSize);
    if (result == ERROR_SUCCESS && (type || size)) {
        result = ReadValue(
            [&](LPDWORD kind, LPBYTE bytes, LPDWORD count) {
                return Sys.wide ? RegQueryValueExW(key, (const WCHAR *)system, nullptr, kind, bytes,
                                                   count)
                                : RegQueryValueExA(key, (const char *)system, nullptr, kind, bytes,
                                                   count);
            },
            type, data, size);
    }
    free(system);
    return result;
}

LONG RegEnumKeyExU(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize)
{
    SystemText system;
    DWORD units = kPathSize;
    LONG result =
        Sys.wide
            ? RegEnumKeyExW(key, index, system.wide, &units, nullptr, nullptr, nullptr, nullptr)
            : RegEnumKeyExA(key, index, system.narrow, &units, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    return NameBack(system.wide, name, nameSize);
}

LONG RegDeleteValueU(HKEY key, LPCSTR name)
{
    SystemText n;
    if (!ForSystem(name, &n))
        return ERROR_NO_UNICODE_TRANSLATION;
    return Sys.wide ? RegDeleteValueW(key, W(n)) : RegDeleteValueA(key, A(n));
}

LONG RegDeleteKeyU(HKEY root, LPCSTR subKey)
{
    SystemText k;
    if (!ForSystem(subKey, &k))
        return ERROR_NO_UNICODE_TRANSLATION;
    return Sys.wide ? RegDeleteKeyW(root, W(k)) : RegDeleteKeyA(root, A(k));
}

DWORD SHDeleteKeyU(HKEY root, LPCSTR subKey)
{
    SystemText k;
    if (!ForSystem(subKey, &k))
        return ERROR_NO_UNICODE_TRANSLATION;
    return Sys.wide ? SHDeleteKeyW(root, W(k)) : SHDeleteKeyA(root, A(k));
}

SC_HANDLE OpenServiceU(SC_HANDLE manager, LPCSTR name, DWORD access)
{
    SystemText n;
    if (!ForSystem(name, &n))
        return nullptr;
    return Sys.wide ? OpenServiceW(manager, n.wide, access)
                    : OpenServiceA(manager, n.narrow, access);
}
