// AddToPath and RemoveFromPath: the system's PATH, or with "User" the logged-on user's, edited
// entry by entry. The value is read whole, as long as it is, in UTF-16, and written back with its
// own type; every byte but the entry's stays as it was.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "base/unicode.h"
#include "commands/files.h"
#include "commands/journal.h"
#include "commands/path_list.h"
#include "commands/realuser.h"
#include "commands/registry.h"
#include "resources/resource.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

static const char kSystemEnvironment[] =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
static const char kUserEnvironment[] = "Environment";
static const WCHAR kPathName[] = L"Path";

enum { kBroadcastMs = 2000, kReadAttempts = 4 };

// The UTF-16 registry calls, looked up at run time: the 95 family has no PATH in the registry
// (it comes from AUTOEXEC.BAT there), and the commands leave it alone.
struct WideRegistry {
    LONG(WINAPI *query)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LONG(WINAPI *set)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE *, DWORD);
    LONG(WINAPI *remove)(HKEY, LPCWSTR);
};

static bool LookUpWideRegistry(WideRegistry *w)
{
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    w->query = (LONG(WINAPI *)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD))(
        void *)GetProcAddress(advapi, "RegQueryValueExW");
    w->set = (LONG(WINAPI *)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE *, DWORD))(
        void *)GetProcAddress(advapi, "RegSetValueExW");
    w->remove = (LONG(WINAPI *)(HKEY, LPCWSTR))(void *)GetProcAddress(advapi, "RegDeleteValueW");
    return OsCode >= 8 && w->query && w->set && w->remove;
}

struct PathValue {
    char *text;    // UTF-8, NUL-terminated; null when the value does not exist
    size_t length; // without the NULs that ended the data
    DWORD type;
};

// Reads the value into a buffer of its own size; false when it exists but cannot be read.
static bool ReadPath(HKEY key, const WideRegistry *w, PathValue *value)
{
    value->text = nullptr;
    value->length = 0;
    value->type = REG_EXPAND_SZ; /* what Windows gives a new PATH */
    for (int attempt = 0; attempt < kReadAttempts; attempt++) {
        DWORD size = 0;
        LONG status = w->query(key, kPathName, nullptr, &value->type, nullptr, &size);
        if (status == ERROR_FILE_NOT_FOUND) {
            value->type = REG_EXPAND_SZ;
            return true;
        }
        if (status != ERROR_SUCCESS)
            return false;
        size_t units = size / 2 + 1;
        uint16_t *wide = (uint16_t *)calloc(units, 2);
        DWORD got = size;
        status = wide ? w->query(key, kPathName, nullptr, &value->type, (BYTE *)wide, &got)
                      : ERROR_OUTOFMEMORY;
        if (status == ERROR_SUCCESS && got <= size) {
            size_t n = got / 2;
            while (n > 0 && wide[n - 1] == 0)
                n--;
            wide[n] = 0;
            size_t capacity = n * 3 + 1;
            value->text = (char *)malloc(capacity);
            bool converted = value->text && Utf16ToUtf8(wide, value->text, capacity) == kConverted;
            free(wide);
            if (!converted) {
                free(value->text);
                value->text = nullptr;
                return false; /* not text that can be written back as it was */
            }
            value->length = strlen(value->text);
            return value->type == REG_SZ || value->type == REG_EXPAND_SZ;
        }
        free(wide);
        if (status != ERROR_MORE_DATA)
            return false; /* ERROR_MORE_DATA: it grew meanwhile, read again */
    }
    return false;
}

// Writes the text back with its type; an empty list is removed, as no PATH at all.
static bool WritePath(HKEY key, const WideRegistry *w, DWORD type, const char *text, size_t length)
{
    if (length == 0)
        return w->remove(key, kPathName) == ERROR_SUCCESS;
    uint16_t *wide = (uint16_t *)malloc((length + 1) * 2);
    bool written = wide && Utf8ToUtf16(text, wide, length + 1) == kConverted;
    size_t units = 0;
    while (written && wide[units])
        units++;
    written = written && w->set(key, kPathName, 0, type, (const BYTE *)wide,
                                (DWORD)((units + 1) * 2)) == ERROR_SUCCESS;
    free(wide);
    return written;
}

// The folder argument without its trailing backslashes; false when nothing is left or it holds
// the separator.
static bool FolderAsUtf8(const char *argument, char *out, size_t capacity)
{
    if (!CopyText(out, capacity, argument))
        return false;
    StripBackslashes(out);
    return out[0] != 0 && !strchr(out, ';');
}

// Tells the programs that watch for it (the shell above all) that the environment changed,
// waiting for none of them longer than a moment.
static void BroadcastEnvironment(void)
{
    DWORD_PTR ignored;
    SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, (LPARAM) "Environment",
                        SMTO_ABORTIFHUNG, kBroadcastMs, &ignored); /* best effort */
}

// The work of both commands. The result is 0, or 11 when the PATH could not be read or written
// (nothing is then changed).
static int EditPath(bool add)
{
    const char *folderArgument = ArgumentSlots[0];
    bool user = EqualIgnoringCase(ArgumentSlots[1], "User");
    if (add)
        ShowStatus(IDS_STATUS_ADD_PATH, "Adding to the search path: %s", folderArgument);
    else
        ShowStatus(IDS_STATUS_REMOVE_PATH, "Removing from the search path: %s", folderArgument);
    char folder[kTextSize * 3];
    if (!FolderAsUtf8(folderArgument, folder, sizeof folder))
        return kErrMissingArgument;
    WideRegistry w;
    if (!LookUpWideRegistry(&w))
        return kOk;
    // The user's PATH is the logged-on user's, whatever #REALUSER# says.
    bool acting = user && ActAsRealUser(true);
    HKEY root = HKEY_LOCAL_MACHINE;
    bool owned = false;
    if (acting && Sys.RegOpenCurrentUser &&
        Sys.RegOpenCurrentUser(KEY_ALL_ACCESS, &root) == ERROR_SUCCESS)
        owned = true;
    else if (user)
        root = HKEY_CURRENT_USER;
    const char *path = user ? kUserEnvironment : kSystemEnvironment;
    int result = kErrRegRootSz;
    HKEY key = nullptr;
    PathValue value = {nullptr, 0, REG_EXPAND_SZ};
    char *edited = nullptr;
    if (Sys.RegCreateKeyExU(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_SUCCESS ||
        !ReadPath(key, &w, &value))
        goto done;
    result = kOk;
    if (PathListHas(value.text ? value.text : "", value.length, folder) == add)
        goto done; /* already as asked */
    edited = (char *)malloc(value.length + strlen(folder) + 2);
    if (!edited) {
        result = kErrRegRootSz;
        goto done;
    }
    {
        const char *list = value.text ? value.text : "";
        size_t length = add ? PathListAdd(list, value.length, folder, edited)
                            : PathListRemove(list, value.length, folder, edited);
        JournalRegistryValue(user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, root, owned, 0, path,
                             "Path");
        if (!WritePath(key, &w, value.type, edited, length))
            result = kErrRegRootSz;
    }
    BroadcastEnvironment();
done:
    if (key)
        RegCloseKey(key);
    if (owned)
        RegCloseKey(root);
    if (acting)
        ActAsRealUser(false);
    free(value.text);
    free(edited);
    return result;
}

static int PathCommand(int keyword, const char *argumentStart, const char *lineEnd)
{
    const Keyword *k = KeywordForCode(keyword);
    if (FetchArguments(k->maxArgs, &argumentStart, lineEnd) < k->minArgs)
        return kErrMissingArgument;
    return EditPath(keyword == kKwAddToPath);
}

static int CommandAddToPath(const char *argumentStart, const char *lineEnd)
{
    return PathCommand(kKwAddToPath, argumentStart, lineEnd);
}

static int CommandRemoveFromPath(const char *argumentStart, const char *lineEnd)
{
    return PathCommand(kKwRemoveFromPath, argumentStart, lineEnd);
}

void InstallEnvironmentCommands(void)
{
    SetCommand(kKwAddToPath, CommandAddToPath);
    SetCommand(kKwRemoveFromPath, CommandRemoveFromPath);
}
