#include "commands/record.h"

#include <windows.h>

#include <shlobj.h>
#include <string.h>
#include <time.h>

#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/files.h"
#include "commands/journal.h"
#include "commands/realuser.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

const char kProductKey[] = "Software\\Veltrano";

enum { kOsVista = 128 };

// The record's texts as stored: in the system code page when it holds the text exactly, which
// is what an earlier engine wrote and reads; as UTF-8 only when it does not. Read back, a text
// that is not UTF-8 is the code page's.
static void StoredText(char text[kRecordTextSize])
{
    char stored[kRecordTextSize];
    if (CodePageFromText(text, stored, sizeof stored))
        CopyText(text, kRecordTextSize, stored);
    TextNotConverted = false; /* UTF-8 is kept instead */
}

static void ReadText(char text[kRecordTextSize])
{
    char read[kRecordTextSize];
    TextFromUtf8OrCodePage(text, read, sizeof read); /* cut when longer in UTF-8 */
    CopyText(text, kRecordTextSize, read);
}

bool ReadProductRecord(const char *name, ProductRecord *record)
{
    HKEY key;
    if (RegOpenKeyExU(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ | kEngineRegistryView, &key) !=
        ERROR_SUCCESS)
        return false;
    bool read = false;
    DWORD size = 0;
    uint8_t *data = nullptr;
    if (RegQueryValueExU(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS || size == 0)
        goto done;
    data = (uint8_t *)calloc(size, 1);
    if (!data || RegQueryValueExU(key, name, nullptr, nullptr, data, &size) != ERROR_SUCCESS)
        goto done;
    DecodeProductRecord(data, size, record);
    ReadText(record->installPath);
    ReadText(record->customPath);
    ReadText(record->buyUrl);
    read = true;
done:
    free(data);
    RegCloseKey(key);
    return read && record->valid == 1;
}

bool WriteProductRecord(const char *name, ProductRecord *record)
{
    JournalRegistryValue(HKEY_LOCAL_MACHINE, HKEY_LOCAL_MACHINE, false, kEngineRegistryView,
                         kProductKey, name);
    HKEY key;
    if (Sys.RegCreateKeyExU(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS | kEngineRegistryView, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
        return false;
    record->valid = 1;
    ProductRecord asStored = *record;
    StoredText(asStored.installPath);
    StoredText(asStored.customPath);
    StoredText(asStored.buyUrl);
    uint8_t bytes[kProductRecordSize];
    EncodeProductRecord(asStored, bytes);
    bool stored =
        Sys.RegSetValueExU(key, name, 0, REG_BINARY, bytes, sizeof bytes) == ERROR_SUCCESS;
    RegCloseKey(key);
    return stored;
}

void ShellFolder(int csidl, char *out, size_t capacity)
{
    out[0] = 0;
    LPITEMIDLIST list = nullptr;
    if (SHGetSpecialFolderLocation(nullptr, csidl, &list) != S_OK || !list)
        return;
    char path[MAX_PATH];
    path[0] = 0;
    if (SHGetPathFromIDListU(list, path))
        CopyText(out, capacity, path);
    CoTaskMemFree(list);
    StripBackslashes(out);
}

bool ConfigFolderFor(const char *name, char *out, size_t capacity)
{
    ProductRecord record;
    memset(&record, 0, sizeof record);
    if (!ReadProductRecord(name, &record))
        return false;
    ActAsRealUser(true); /* best effort */
    if (record.customLoc == 0) {
        char appData[kPathSize];
        ShellFolder(CSIDL_APPDATA, appData, sizeof appData);
        FormatText(out, capacity, "%s\\Veltrano\\%s", appData, name);
    } else if (record.customLoc == 1) {
        CopyText(out, capacity, record.customPath);
        if (record.individual != 0) {
            char user[kPathSize];
            DWORD size = sizeof user;
            user[0] = 0;
            if (!GetUserNameU(user, &size))
                user[0] = 0;
            AppendText(out, capacity, "\\");
            AppendText(out, capacity, user);
        }
    }
    if (OsCode >= kOsVista)
        RevertToSelf();
    return true;
}

int CommandCreateSetupInfo(const char *argumentStart, const char *lineEnd)
{
    if (FetchArguments(2, &argumentStart, lineEnd) < 2)
        return kErrMissingArgument;
    const char *name = ArgumentSlots[0];
    ProductRecord record;
    memset(&record, 0, sizeof record);
    record.extra = (uint32_t)time(nullptr);
    record.nameCrc = Crc32(name, strlen(name));
    int major = 0;
    int minor = 0;
    ParseVersion(ArgumentSlots[1], &major, &minor);
    record.versionMajor = (int16_t)major;
    record.versionMinor = (int16_t)minor;
    record.forWho = (int16_t)GetVariableNumber("#FORWHO#");
    record.customLoc = (int16_t)GetVariableNumber("#CUSTOMLOC#");
    record.individual = (int16_t)GetVariableNumber("#INDIVIDUAL#");
    // Values longer than a record field are cut to 259 characters.
    GetVariable("#INSTALLPATH#", record.installPath, sizeof record.installPath);
    GetVariable("#CUSTOMPATH#", record.customPath, sizeof record.customPath);
    GetVariable("#BUYURL#", record.buyUrl, sizeof record.buyUrl);
    WriteProductRecord(name, &record); /* not reported: the install goes on */

    // Without a folder from the rule, #CONFIGPATH# is left as it was.
    char folder[kPathSize] = "";
    if (ConfigFolderFor(GetVariableText("#PROGRAM#"), folder, sizeof folder) && folder[0] != 0)
        SetVariable("#CONFIGPATH#", folder);
    return kOk;
}

bool PreviousVersionMustBeRemoved(void)
{
    char remove[kTextSize];
    if (GetVariable("#REMOVE#", remove, sizeof remove) < 0)
        return false;
    int removeMajor = 0;
    int removeMinor = 0;
    ParseVersion(remove, &removeMajor, &removeMinor);
    // Without #REMAPP# and #PROGRAM# the application name is the empty text, under which
    // nothing can be installed: the uninstall key's own folder is no product's entry.
    char application[kTextSize] = "";
    if (GetVariable("#REMAPP#", application, sizeof application) < 0) {
        GetVariable("#PROGRAM#", application, sizeof application);
        SetVariable("#REMAPP#", application);
    }
    if (application[0] == 0)
        return false;
    char keyPath[kTextSize + 64];
    FormatText(keyPath, sizeof keyPath,
               "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s", application);
    HKEY key;
    bool uninstallEntry = RegOpenKeyExU(HKEY_LOCAL_MACHINE, keyPath, 0,
                                        KEY_READ | kEngineRegistryView, &key) == ERROR_SUCCESS;
    if (uninstallEntry)
        RegCloseKey(key);
    ProductRecord record;
    memset(&record, 0, sizeof record);
    bool recordValid = ReadProductRecord(application, &record);
    return PreviousVersionDecision(uninstallEntry, recordValid, record.versionMajor,
                                   record.versionMinor, removeMajor, removeMinor);
}

// Cuts `path` back to the nearest folder of it that exists: C:\Apps\New\Tool becomes C:\Apps
// when only that exists. A drive's root (C:\, or \ of the current drive) keeps its backslash;
// the cutting stops there, and at \\server of a network path.
static void NearestExistingFolder(char *path)
{
    while (!IsFolder(path)) {
        char *cut = strrchr(path, '\\');
        if (!cut || (cut == path + 1 && path[0] == '\\'))
            return;
        bool root = cut == path || (cut == path + 2 && path[1] == ':');
        if (root && cut[1] == 0)
            return;
        cut[root ? 1 : 0] = 0;
    }
}

uint64_t FreeDiskBytes(const char *path)
{
    if (Sys.GetDiskFreeSpaceExU) {
        // The installation folder usually does not exist yet, and the system answers only for
        // folders that do: ask about the nearest one that exists.
        char folder[kPathSize];
        CopyText(folder, sizeof folder, path);
        NearestExistingFolder(folder);
        ULARGE_INTEGER available;
        if (Sys.GetDiskFreeSpaceExU(folder, &available, nullptr, nullptr))
            return available.QuadPart;
        return UINT64_MAX;
    }
    char root[4];
    CopyTextN(root, sizeof root, path, 3);
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD clusters = 0;
    if (!GetDiskFreeSpaceU(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        return 0;
    return (uint64_t)freeClusters * bytesPerSector * sectorsPerCluster;
}
