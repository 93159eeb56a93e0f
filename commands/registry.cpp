#include "commands/registry.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <string.h>

#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/journal.h"
#include "commands/realuser.h"
#include "resources/resource.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

enum { kSubkeyNameSize = 2600 };

HKEY RootKeyFromName(const char *name)
{
    if (EqualIgnoringCase(name, "CU") || EqualIgnoringCase(name, "HKEY_CURRENT_USER"))
        return HKEY_CURRENT_USER;
    if (EqualIgnoringCase(name, "LM") || EqualIgnoringCase(name, "HKEY_LOCAL_MACHINE"))
        return HKEY_LOCAL_MACHINE;
    if (EqualIgnoringCase(name, "CR") || EqualIgnoringCase(name, "HKEY_CLASSES_ROOT"))
        return HKEY_CLASSES_ROOT;
    return nullptr;
}

DWORD RegistryNumber(const char *text)
{
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    uint64_t n = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        n = n * 10 + (uint64_t)(*p - '0');
        if (n > 0xFFFFFFFFu)
            return 0xFFFFFFFFu;
    }
    return negative ? (DWORD)(0u - (uint32_t)n) : (DWORD)n;
}

// True when the option argument asks for the 64-bit view and the engine runs on 64-bit Windows.
static bool Use64BitView(const char *option)
{
    return Is64BitWindows && EqualIgnoringCase(option, "x64");
}

static REGSAM ViewFor(const char *option)
{
    return Use64BitView(option) ? KEY_WOW64_64KEY : kEngineRegistryView;
}

// The root key to work under. While acting as the logged-on user, "CU" is that user's own hive:
// the predefined HKEY_CURRENT_USER stays bound to the hive the process first used it for.
// *owned says whether the caller must close the key.
static HKEY OpenRoot(const char *name, bool actingAsUser, bool *owned)
{
    *owned = false;
    HKEY root = RootKeyFromName(name);
    HKEY user;
    if (root == HKEY_CURRENT_USER && actingAsUser && Sys.RegOpenCurrentUser &&
        Sys.RegOpenCurrentUser(KEY_ALL_ACCESS, &user) == ERROR_SUCCESS) {
        *owned = true;
        return user;
    }
    return root;
}

static void CloseRoot(HKEY root, bool owned)
{
    if (owned)
        RegCloseKey(root);
}

static bool associationsChanged; // a key under Classes was written or deleted in this phase

// The shell reads file types and their handlers from keys named Classes: when the phase has
// ended, it is told once that they changed.
static void NoteClassesKey(HKEY root, const char *path)
{
    bool classes = root == HKEY_CLASSES_ROOT;
    for (const char *p = path; !classes && *p;) {
        const char *slash = strchr(p, '\\');
        size_t length = slash ? (size_t)(slash - p) : strlen(p);
        classes = length == 7 && StartsWithIgnoringCase(p, "Classes", 7);
        p += length + (slash ? 1 : 0);
    }
    associationsChanged = associationsChanged || classes;
}

static void NotifyAssociations(void)
{
    if (!associationsChanged)
        return;
    associationsChanged = false;
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

// Fetches a registry command's arguments; false (after which the command returns 3) when there
// are fewer than it needs.
static bool FetchFor(int keyword, const char **argumentStart, const char *lineEnd)
{
    const Keyword *k = KeywordForCode(keyword);
    return FetchArguments(k->maxArgs, argumentStart, lineEnd) >= k->minArgs;
}

static int SetValue(const char *argumentStart, const char *lineEnd, int keyword, int badRoot)
{
    if (!FetchFor(keyword, &argumentStart, lineEnd))
        return kErrMissingArgument;
    const char *path = ArgumentSlots[1];
    const char *name = ArgumentSlots[2];
    const char *value = ArgumentSlots[3];
    ShowStatus(IDS_STATUS_REGISTRY_VALUE, "Creating Registry value: %s=%s", name, value);
    bool owned;
    HKEY root = OpenRoot(ArgumentSlots[0], BeginRealUser(), &owned);
    int result = kOk;
    HKEY key;
    if (root) {
        JournalRegistryValue(RootKeyFromName(ArgumentSlots[0]), root, owned,
                             ViewFor(ArgumentSlots[4]), path, name);
        NoteClassesKey(RootKeyFromName(ArgumentSlots[0]), path);
    }
    if (!root) {
        result = badRoot;
    } else if (Sys.RegCreateKeyExU(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS | ViewFor(ArgumentSlots[4]), nullptr, &key,
                                   nullptr) == ERROR_SUCCESS) {
        if (keyword != kKwCreateRegValDW) {
            DWORD type = keyword == kKwCreateRegValSz ? REG_SZ : REG_EXPAND_SZ;
            Sys.RegSetValueExU(key, name, 0, type, (const BYTE *)value,
                               (DWORD)strlen(value) + 1); /* failures are not reported */
        } else {
            DWORD number = RegistryNumber(value);
            Sys.RegSetValueExU(key, name, 0, REG_DWORD, (const BYTE *)&number, sizeof number);
        }
        RegCloseKey(key);
    }
    CloseRoot(root, owned);
    EndRealUser();
    return result;
}

int CommandCreateRegValSz(const char *argumentStart, const char *lineEnd)
{
    return SetValue(argumentStart, lineEnd, kKwCreateRegValSz, kErrRegRootSz);
}

int CommandCreateRegValDW(const char *argumentStart, const char *lineEnd)
{
    return SetValue(argumentStart, lineEnd, kKwCreateRegValDW, kErrRegRootDw);
}

int CommandCreateRegValExpandSz(const char *argumentStart, const char *lineEnd)
{
    return SetValue(argumentStart, lineEnd, kKwCreateRegValExpandSz, kErrRegRootSz);
}

// Deletes the key and everything below it in the given view, deepest keys first. Returns
// whether the key is gone. Each level holds one path buffer, on the heap: trees can be deep.
static bool DeleteTree(HKEY root, const char *path, REGSAM view)
{
    HKEY key;
    if (RegOpenKeyExU(root, path, 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS)
        return false;
    char *child = (char *)malloc(kSubkeyNameSize);
    bool emptied = child && FormatText(child, kSubkeyNameSize, "%s\\", path);
    size_t prefix = emptied ? strlen(child) : 0;
    while (emptied) {
        DWORD size = (DWORD)(kSubkeyNameSize - prefix);
        if (RegEnumKeyExU(key, 0, child + prefix, &size) != ERROR_SUCCESS)
            break;
        // A subkey that stays would be enumerated again and again: give up on this key.
        emptied = DeleteTree(root, child, view);
    }
    free(child);
    RegCloseKey(key);
    return emptied && Sys.RegDeleteKeyExU(root, path, view, 0) == ERROR_SUCCESS;
}

int CommandDeleteRegKey(const char *argumentStart, const char *lineEnd)
{
    if (!FetchFor(kKwDeleteRegKey, &argumentStart, lineEnd))
        return kErrMissingArgument;
    const char *path = ArgumentSlots[1];
    ShowStatus(IDS_STATUS_DELETE_KEY, "Deleting Registry key: %s", path);
    bool owned;
    HKEY root = OpenRoot(ArgumentSlots[0], BeginRealUser(), &owned);
    int result = kOk;
    REGSAM view = ViewFor(ArgumentSlots[2]);
    if (root) {
        JournalRegistryTree(RootKeyFromName(ArgumentSlots[0]), root, owned, view, path);
        NoteClassesKey(RootKeyFromName(ArgumentSlots[0]), path);
    }
    if (!root)
        result = kErrRegRootDeleteKey;
    else if (view == 0 || !Sys.RegDeleteKeyExU)
        SHDeleteKeyU(root, path); /* the view this process sees; failures are not reported */
    else
        DeleteTree(root, path, view); /* failures are not reported */
    CloseRoot(root, owned);
    EndRealUser();
    return result;
}

int CommandDeleteRegVal(const char *argumentStart, const char *lineEnd)
{
    if (!FetchFor(kKwDeleteRegVal, &argumentStart, lineEnd))
        return kErrMissingArgument;
    const char *name = ArgumentSlots[2];
    ShowStatus(IDS_STATUS_DELETE_VALUE, "Deleting Registry value: %s", name);
    bool owned;
    HKEY root = OpenRoot(ArgumentSlots[0], BeginRealUser(), &owned);
    int result = kOk;
    HKEY key;
    if (root) {
        JournalRegistryValue(RootKeyFromName(ArgumentSlots[0]), root, owned,
                             ViewFor(ArgumentSlots[3]), ArgumentSlots[1], name);
        NoteClassesKey(RootKeyFromName(ArgumentSlots[0]), ArgumentSlots[1]);
    }
    if (!root) {
        result = kErrRegRootDeleteValue;
    } else if (RegOpenKeyExU(root, ArgumentSlots[1], 0, KEY_ALL_ACCESS | ViewFor(ArgumentSlots[3]),
                             &key) == ERROR_SUCCESS) {
        RegDeleteValueU(key, name); /* a missing value is not an error */
        RegCloseKey(key);
    }
    CloseRoot(root, owned);
    EndRealUser();
    return result;
}

void InstallRegistryCommands(void)
{
    SetCommand(kKwCreateRegValSz, CommandCreateRegValSz);
    SetCommand(kKwCreateRegValDW, CommandCreateRegValDW);
    SetCommand(kKwDeleteRegKey, CommandDeleteRegKey);
    SetCommand(kKwDeleteRegVal, CommandDeleteRegVal);
    SetCommand(kKwCreateRegValExpandSz, CommandCreateRegValExpandSz);
    InstallEnvironmentCommands();
    PhaseEndHook = NotifyAssociations;
}
