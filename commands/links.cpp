#include "commands/links.h"

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <stdlib.h>
#include <string.h>

#include "archive/archive.h"
#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/files.h"
#include "commands/journal.h"
#include "commands/realuser.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

enum { kLinkNameSize = 1040 };

static const char kInternetShortcutHeader[] = "[InternetShortcut]\r\nURL=";

static int WriteInternetShortcut(const char *target, const char *linkPath)
{
    char name[kLinkNameSize];
    if (!FormatText(name, sizeof name, "%s.url", linkPath))
        return 1;
    int mark = JournalFileWrite(name);
    HANDLE file = Sys.CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        JournalWriteFailed(mark);
        return 1;
    }
    DWORD header = sizeof kInternetShortcutHeader - 1;
    DWORD length = (DWORD)strlen(target);
    DWORD written = 0;
    DWORD writtenTarget = 0;
    bool ok = Sys.WriteFile(file, kInternetShortcutHeader, header, &written, nullptr) &&
              written == header && Sys.WriteFile(file, target, length, &writtenTarget, nullptr) &&
              writtenTarget == length;
    CloseHandle(file);
    return ok ? 0 : 1;
}

// Saves the shell link to `temporary`; 0 or non-zero.
static int SaveShellLink(const char *target, const char *arguments, const char *iconFile,
                         const char *temporary)
{
    // Another owner's COM initialisation of this thread is left alone.
    bool initialised = SUCCEEDED(CoInitialize(nullptr));
    int result = 1;
    IShellLinkA *link = nullptr;
    IPersistFile *file = nullptr;
    WCHAR wide[kPathSize];
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                (void **)&link)))
        goto done;
    link->SetPath(target);
    link->SetArguments(arguments);
    link->SetIconLocation(iconFile, 0);
    if (FAILED(link->QueryInterface(IID_IPersistFile, (void **)&file)))
        goto done;
    if (MultiByteToWideChar(CP_ACP, 0, temporary, -1, wide, kPathSize) == 0)
        goto done;
    if (SUCCEEDED(file->Save(wide, TRUE)))
        result = 0;
done:
    if (file)
        file->Release();
    if (link)
        link->Release();
    if (initialised)
        CoUninitialize();
    return result;
}

int MakeShortcut(const char *target, const char *linkPath, const char *arguments,
                 const char *iconFile)
{
    if (StartsWithIgnoringCase(target, "http://", 7))
        return WriteInternetShortcut(target, linkPath);

    char folder[kPathSize];
    char temporary[kPathSize];
    char name[kLinkNameSize];
    DWORD n = GetTempPathA(sizeof folder, folder);
    if (n == 0 || n >= sizeof folder || !AddBackslash(folder, sizeof folder) ||
        !FormatText(temporary, sizeof temporary, "%sTemp.%s", folder, "lnk") ||
        !FormatText(name, sizeof name, "%s.%s", linkPath, "lnk"))
        return 1;
    if (SaveShellLink(target, arguments, iconFile, temporary) != 0)
        return 1;
    uint32_t size = 0;
    uint8_t *bytes = LoadDiskFile(temporary, 0, &size);
    if (!bytes)
        return 1;
    int written = WriteFileCreatingFolders(name, bytes, size);
    free(bytes);
    if (written != 0)
        return 1;
    Sys.DeleteFileA(temporary); /* best effort */
    return 0;
}

int CommandCreateLink(const char *argumentStart, const char *lineEnd)
{
    if (FetchArguments(4, &argumentStart, lineEnd) < 2)
        return kErrMissingArgument;
    const char *target = ArgumentSlots[0];
    const char *linkPath = ArgumentSlots[1];
    ShowStatus("Creating link: %s", linkPath);
    BeginRealUser();
    const char *icon = ArgumentSlots[3][0] ? ArgumentSlots[3] : target;
    int result =
        MakeShortcut(target, linkPath, ArgumentSlots[2], icon) == 0 ? kOk : kErrLinkNotCreated;
    EndRealUser();
    return result;
}

int CommandChangeNotify(const char *argumentStart, const char *lineEnd)
{
    if (FetchArguments(1, &argumentStart, lineEnd) < 1)
        return kErrMissingArgument;
    const char *folder = ArgumentSlots[0];
    ShowStatus("Applying changes: %s", folder);
    BeginRealUser();
    SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHA, folder, folder);
    EndRealUser();
    return kOk;
}

void InstallLinkCommands(void)
{
    SetCommand(kKwCreateLink, CommandCreateLink);
    SetCommand(kKwChangeNotify, CommandChangeNotify);
}
