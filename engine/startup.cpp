#include "engine/startup.h"

#include <windows.h>

#include <shlobj.h>
#include <stdio.h>
#include <string.h>

#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/files.h"
#include "commands/realuser.h"
#include "commands/record.h"
#include "resources/resource.h"
#include "script/interpreter.h"
#include "script/variables.h"
#include "ui/language.h"

const char kMakerUrl[] = "http://www.veltrano.com/";

void ProbeSystem(void)
{
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    OsCode = OsCodeFor(version.dwPlatformId, version.dwMajorVersion, version.dwMinorVersion);
    Is64BitWindows = false;
    if (OsCode < 32)
        return;
#ifdef _WIN64
    Is64BitWindows = true;
#else
    typedef BOOL(WINAPI * IsWow64ProcessFunction)(HANDLE, PBOOL);
    IsWow64ProcessFunction isWow64 = (IsWow64ProcessFunction)(void *)GetProcAddress(
        GetModuleHandleA("kernel32"), "IsWow64Process");
    BOOL wow64 = FALSE;
    if (isWow64 && isWow64(GetCurrentProcess(), &wow64))
        Is64BitWindows = wow64 == TRUE;
#endif
}

static void SetFolderVariable(const char *name, int csidl)
{
    char path[kPathSize];
    ShellFolder(csidl, path, sizeof path);
    SetVariable(name, path);
}

// Chooses the wizard's language (`requested`, else the person's) and publishes it with the mode
// word in that language.
static void SetLanguageVariables(int requested)
{
    char text[kPathSize];
    FormatText(text, sizeof text, "%d", ChooseLanguage(requested));
    SetVariable("#LANGUAGE#", text);
    LoadLanguageString(RunMode == 0 ? IDS_MODE_SETUP : IDS_MODE_UNINSTALL, text, sizeof text);
    SetVariable("#SETUPMODE#", text);
}

void FollowScriptLanguage(void)
{
    int language = GetVariableNumber("#LANGUAGE#");
    if (language != ChosenLanguage())
        SetLanguageVariables(language);
}

void SetStartupVariables(void)
{
    char text[kPathSize];
    SetLanguageVariables(0);
    SetVariable("#EULA#", "EULA.txt");
    FormatText(text, sizeof text, "%d", OsCode);
    SetVariable("#OS#", text);
    SetVariable("#64#", Is64BitWindows ? "1" : "0");

    char folder[kPathSize];
    UINT n = GetWindowsDirectoryU(folder, sizeof folder);
    if (n == 0 || n >= sizeof folder)
        folder[0] = 0;
    StripBackslashes(folder);
    SetVariable("#WINDOWSDIR#", folder);
    n = GetSystemDirectoryU(folder, sizeof folder);
    if (n == 0 || n >= sizeof folder)
        folder[0] = 0;
    StripBackslashes(folder);
    if (OsCode >= 8)
        AppendText(folder, sizeof folder, "\\Drivers");
    SetVariable("#DRIVERSDIR#", folder);

    // The per-user folders are those of the person at the desktop, not of the elevated account.
    ActAsRealUser(true); /* best effort */
    SetFolderVariable("#STARTUPDIRUSR#", CSIDL_STARTUP);
    SetFolderVariable("#STARTUPDIR#", CSIDL_STARTUP);
    SetFolderVariable("#STARTUPDIRALL#", CSIDL_COMMON_STARTUP);
    SetFolderVariable("#STARTMENUUSR#", CSIDL_PROGRAMS);
    SetFolderVariable("#STARTMENU#", CSIDL_PROGRAMS);
    SetFolderVariable("#STARTMENUALL#", CSIDL_COMMON_PROGRAMS);
    SetFolderVariable("#DESKTOPDIRUSR#", CSIDL_DESKTOPDIRECTORY);
    SetFolderVariable("#DESKTOPDIR#", CSIDL_DESKTOPDIRECTORY);
    SetFolderVariable("#DESKTOPDIRALL#", CSIDL_COMMON_DESKTOPDIRECTORY);
    ActAsRealUser(false); /* best effort */

    SetVariable("#BUYURL#", kMakerUrl);
    // A double quote, which a script cannot write inside a quoted argument: for values that
    // hold one, such as a quoted command line.
    SetVariable("#QUOTE#", "\"");
}

void UseAllUsersFolders(void)
{
    char value[kTextSize];
    GetVariable("#STARTUPDIRALL#", value, sizeof value);
    SetVariable("#STARTUPDIR#", value);
    GetVariable("#STARTMENUALL#", value, sizeof value);
    SetVariable("#STARTMENU#", value);
    GetVariable("#DESKTOPDIRALL#", value, sizeof value);
    SetVariable("#DESKTOPDIR#", value);
}

static void SetNumber(const char *name, int value)
{
    char text[16];
    FormatText(text, sizeof text, "%d", value);
    SetVariable(name, text);
}

// The Program Files folder, from the shell or else from the registry; for the 64-bit build the
// one the 32-bit engine gets on 64-bit Windows.
static void ProgramFilesFolder(char *out, size_t capacity)
{
#ifdef _WIN64
    ShellFolder(CSIDL_PROGRAM_FILESX86, out, capacity);
#else
    ShellFolder(CSIDL_PROGRAM_FILES, out, capacity);
#endif
    if (out[0] != 0)
        return;
    HKEY key;
    if (RegOpenKeyExU(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", 0,
                      KEY_READ | kEngineRegistryView, &key) != ERROR_SUCCESS)
        return;
    DWORD type = 0;
    DWORD size = (DWORD)capacity - 1;
    if (RegQueryValueExU(key, "ProgramFilesDir", nullptr, &type, (BYTE *)out, &size) ==
            ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && size < capacity)
        out[size] = 0;
    else
        out[0] = 0;
    RegCloseKey(key);
}

int SetInstallVariables(void)
{
    LastErrorCode = kOk;
    RunPhase(0);
    if (LastErrorCode != kOk)
        return LastErrorCode;
    FollowScriptLanguage();

    if (GetVariable("#INSTALLPATH#", nullptr, 0) < 0) {
        ProductRecord record;
        memset(&record, 0, sizeof record);
        const char *program = GetVariableText("#PROGRAM#");
        char value[kTextSize];
        if (ReadProductRecord(program, &record)) {
            SetNumber("#FORWHO#", record.forWho);
            SetNumber("#CUSTOMLOC#", record.customLoc);
            SetNumber("#INDIVIDUAL#", record.individual);
            if (record.forWho == 1)
                UseAllUsersFolders();
            SetVariable("#INSTALLPATH#", record.installPath);
            SetVariable("#CUSTOMPATH#", record.customPath);
            char folder[kPathSize] = "";
            if (ConfigFolderFor(GetVariableText("#PROGRAM#"), folder, sizeof folder) &&
                folder[0] != 0)
                SetVariable("#CONFIGPATH#", folder);
            SetNumber("#SELEXECUTE#", record.selExecute);
            SetNumber("#SELREADME#", record.selReadme);
            SetNumber("#SELDESKTOP#", record.selDesktop);
        } else {
            char base[kPathSize];
            ProgramFilesFolder(base, sizeof base);
            CopyText(value, sizeof value, base);
            if (value[0] == 0 || value[strlen(value) - 1] != '\\')
                AppendText(value, sizeof value, "\\");
            AppendText(value, sizeof value, GetVariableText("#PROGRAM#"));
            SetVariable("#INSTALLPATH#", value);
            char custom[kTextSize];
            FormatText(custom, sizeof custom, "%s\\Data", value);
            SetVariable("#CUSTOMPATH#", custom);
            SetVariable("#SELEXECUTE#", "1");
            SetVariable("#SELREADME#", "1");
            SetVariable("#SELDESKTOP#", "1");
        }
    }
    GetVariable("#URLTEXT#", LinkText, sizeof LinkText);
    GetVariable("#URLLINK#", LinkTarget, sizeof LinkTarget);
    return kOk;
}
