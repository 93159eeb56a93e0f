#include "commands/links.h"

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <stdlib.h>
#include <string.h>

#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/files.h"
#include "commands/journal.h"
#include "commands/realuser.h"
#include "resources/resource.h"
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
    HANDLE file = Sys.CreateFileU(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
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

// The shell link's texts for the system: UTF-16 for IShellLinkW on the NT family, the code
// page for IShellLinkA on the 95 family.
struct LinkTexts {
    WCHAR wide[3][kTextSize];
    char narrow[3][kTextSize];
};

static bool LinkTextsFor(const char *const texts[3], LinkTexts *out)
{
    for (int i = 0; i < 3; i++) {
        if (Sys.wide ? !WideFromText(texts[i], out->wide[i], kTextSize)
                     : !CodePageFromText(texts[i], out->narrow[i], kTextSize))
            return false;
    }
    return true;
}

// The shell link's bytes, saved into memory: the .lnk file as the shell would write it. The
// caller frees *bytes. 0 or non-zero.
static int SaveShellLink(const char *target, const char *arguments, const char *iconFile,
                         uint8_t **bytes, uint32_t *size)
{
    const char *texts[3] = {target, arguments, iconFile};
    LinkTexts *converted = (LinkTexts *)malloc(sizeof(LinkTexts));
    if (!converted || !LinkTextsFor(texts, converted)) {
        free(converted);
        return 1;
    }
    // Another owner's COM initialisation of this thread is left alone.
    bool initialised = SUCCEEDED(CoInitialize(nullptr));
    int result = 1;
    IUnknown *link = nullptr;
    IPersistStream *persist = nullptr;
    IStream *stream = nullptr;
    HGLOBAL memory = nullptr;
    const void *saved = nullptr;
    LARGE_INTEGER start;
    ULARGE_INTEGER end;
    *bytes = nullptr;
    start.QuadPart = 0;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                Sys.wide ? IID_IShellLinkW : IID_IShellLinkA, (void **)&link)))
        goto done;
    if (Sys.wide) {
        IShellLinkW *wide = (IShellLinkW *)link;
        wide->SetPath(converted->wide[0]);
        wide->SetArguments(converted->wide[1]);
        wide->SetIconLocation(converted->wide[2], 0);
    } else {
        IShellLinkA *narrow = (IShellLinkA *)link;
        narrow->SetPath(converted->narrow[0]);
        narrow->SetArguments(converted->narrow[1]);
        narrow->SetIconLocation(converted->narrow[2], 0);
    }
    if (FAILED(link->QueryInterface(IID_IPersistStream, (void **)&persist)) ||
        FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)) ||
        FAILED(persist->Save(stream, TRUE)) || FAILED(stream->Seek(start, STREAM_SEEK_CUR, &end)) ||
        end.QuadPart == 0 || end.QuadPart > 0x100000 ||
        FAILED(GetHGlobalFromStream(stream, &memory)) || (saved = GlobalLock(memory)) == nullptr)
        goto done;
    *bytes = (uint8_t *)malloc((size_t)end.QuadPart);
    if (*bytes) {
        memcpy(*bytes, saved, (size_t)end.QuadPart);
        *size = (uint32_t)end.QuadPart;
        result = 0;
    }
    GlobalUnlock(memory);
done:
    if (stream)
        stream->Release();
    if (persist)
        persist->Release();
    if (link)
        link->Release();
    if (initialised)
        CoUninitialize();
    free(converted);
    return result;
}

int MakeShortcut(const char *target, const char *linkPath, const char *arguments,
                 const char *iconFile)
{
    if (StartsWithIgnoringCase(target, "http://", 7))
        return WriteInternetShortcut(target, linkPath);

    // The link is made in memory and written once, to its place: staged in the temporary
    // folder, it could be swapped by any program of the user before the copy.
    char name[kLinkNameSize];
    if (!FormatText(name, sizeof name, "%s.%s", linkPath, "lnk"))
        return 1;
    uint8_t *bytes = nullptr;
    uint32_t size = 0;
    if (SaveShellLink(target, arguments, iconFile, &bytes, &size) != 0)
        return 1;
    int written = WriteFileCreatingFolders(name, bytes, size);
    free(bytes);
    return written != 0 ? 1 : 0;
}

int CommandCreateLink(const char *argumentStart, const char *lineEnd)
{
    if (FetchArguments(4, &argumentStart, lineEnd) < 2)
        return kErrMissingArgument;
    const char *target = ArgumentSlots[0];
    const char *linkPath = ArgumentSlots[1];
    ShowStatus(IDS_STATUS_CREATE_LINK, "Creating link: %s", linkPath);
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
    ShowStatus(IDS_STATUS_NOTIFY_SHELL, "Applying changes: %s", folder);
    BeginRealUser();
    WCHAR wide[kPathSize];
    char narrow[kPathSize];
    if (Sys.wide && WideFromText(folder, wide, kPathSize))
        SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHW, wide, wide);
    else if (!Sys.wide && CodePageFromText(folder, narrow, sizeof narrow))
        SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHA, narrow, narrow);
    EndRealUser();
    return kOk;
}

void InstallLinkCommands(void)
{
    SetCommand(kKwCreateLink, CommandCreateLink);
    SetCommand(kKwChangeNotify, CommandChangeNotify);
}
