// The pages before the installation starts: welcome (both modes), licence agreement and the
// installation directory.
#include <windows.h>

#include <shlobj.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "archive/archive.h"
#include "base/globals.h"
#include "base/results.h"
#include "base/security.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/files.h"
#include "commands/record.h"
#include "resources/resource.h"
#include "script/variables.h"
#include "ui/language.h"
#include "ui/messages.h"
#include "ui/wizard.h"

enum { kBytesPerMegabyte = 1048576 };

// The minimum free space in MB, read when the directory page opens and used by its Install.
static uint64_t MinimumFreeMegabytes;

// Copies the description and turns each backslash-n pair into a line feed.
static void DescriptionText(char *out, size_t capacity)
{
    const char *description = GetVariableText("#DESCR#");
    CopyText(out, capacity, description ? description : "");
    char *write = out;
    for (const char *read = out; *read; read++) {
        if (read[0] == '\\' && read[1] == 'n') {
            *write++ = '\n';
            read++;
        } else {
            *write++ = *read;
        }
    }
    *write = 0;
}

// The keep-settings box of the uninstall welcome page shows the data folder it would keep.
static void ShowDataFolder(HWND page)
{
    char program[kTextSize] = "";
    GetVariable("#PROGRAM#", program, sizeof program);
    ProductRecord record;
    memset(&record, 0, sizeof record);
    char folder[kPathSize] = "";
    if (ReadProductRecord(program, &record) && ConfigFolderFor(program, folder, sizeof folder))
        SetItemText(page, IDC_DATA_FOLDER, folder);
}

static void WelcomeNext(HWND page)
{
    bool previous = PreviousVersionMustBeRemoved();
    if (previous && RunMode == 0 &&
        ShowMessage(page, IDS_PREVIOUS_VERSION, MB_YESNOCANCEL | MB_ICONHAND) != IDYES) {
        LeaveWizard(kExitCancelled);
        return;
    }
    if (!Sys.IsUserAnAdmin()) {
        ShowMessage(page, IDS_NOT_ADMINISTRATOR, MB_OK | MB_ICONHAND);
        LeaveWizard(kExitFailed);
        return;
    }
    if (RunMode == 1) {
        if (IsDlgButtonChecked(page, IDC_KEEP_SETTINGS) == BST_CHECKED)
            SetVariable("#KEEPCFG#", "1");
        SwitchPage(page, IDD_UNINSTALL_PROGRESS, ProgressPageProc);
    } else {
        SwitchPage(page, IDD_LICENSE, LicensePageProc);
    }
}

INT_PTR CALLBACK WelcomePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    if (message == WM_INITDIALOG) {
        InitPage(page, &WelcomeControls);
        if (RunMode == 1) {
            ShowDataFolder(page);
        } else {
            char description[kTextSize];
            DescriptionText(description, sizeof description);
            SetItemText(page, IDC_DESCRIPTION, description);
        }
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        if (ForwardPressCounts(page))
            WelcomeNext(page);
        break;
    case IDCANCEL:
        LeaveWizard(kExitCancelled);
        break;
    case IDC_KEEP_SETTINGS:
        if (RunMode == 1 && HIWORD(wParam) == BN_CLICKED &&
            IsDlgButtonChecked(page, IDC_KEEP_SETTINGS) == BST_CHECKED)
            ShowMessage(page, IDS_KEEP_SETTINGS_WARNING, MB_OK | MB_ICONEXCLAMATION);
        break;
    }
    return TRUE;
}

// Shows the licence text, or tells that it is missing and leaves the wizard. False then.
static bool ShowLicense(HWND page)
{
    char name[kPathSize];
    if (GetVariable("#EULA#", name, sizeof name) < 0) {
        ShowMessage(page, IDS_CRITICAL_ERROR, MB_OK | MB_ICONHAND);
        LeaveWizard(kExitFailed);
        return false;
    }
    uint32_t length = 0;
    uint8_t *text = LoadFileOrEntry(name, 1, &length);
    if (!text) {
        ShowMessage(page, IDS_CRITICAL_ERROR, MB_OK | MB_ICONHAND);
        LeaveWizard(kExitFailed);
        return false;
    }
    SetItemText(page, IDC_LICENSE_TEXT, (const char *)text);
    free(text);
    return true;
}

INT_PTR CALLBACK LicensePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    if (message == WM_INITDIALOG) {
        // The keyboard focus goes to the licence text, where Space accepts nothing.
        InitPage(page, &LicenseControls, IDC_LICENSE_TEXT);
        ShowLicense(page);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        if (!ForwardPressCounts(page))
            break;
        if (GetVariable("#ASKPATH#", nullptr, 0) >= 0)
            SwitchPage(page, IDD_DIRECTORY, DirectoryPageProc);
        else
            SwitchPage(page, IDD_PROGRESS, ProgressPageProc);
        break;
    case IDCANCEL:
        LeaveIfConfirmed(page);
        break;
    case IDC_BACK:
        SwitchPage(page, IDD_WELCOME, WelcomePageProc);
        break;
    }
    return TRUE;
}

// Sets the edit to the variable's value; a variable that is not defined is reported with
// message 1001 and leaves the edit empty.
static void FillFromVariable(HWND page, int editId, const char *name)
{
    char value[kPathSize];
    if (GetVariable(name, value, sizeof value) < 0) {
        ShowMessage(page, IDS_CRITICAL_ERROR, MB_OK | MB_ICONHAND);
        return;
    }
    SetItemText(page, editId, value);
}

// A switch variable's number, with `missing` for a variable that is not defined.
static int NumberOr(const char *name, int missing)
{
    int value = GetVariableNumber(name);
    return value == -1 ? missing : value;
}

static void EnableCustomFolder(HWND page)
{
    BOOL custom = IsDlgButtonChecked(page, IDC_DATA_CUSTOM) == BST_CHECKED;
    const int ids[] = {IDC_CUSTOM_PATH, IDC_BROWSE_CUSTOM, IDC_SETTINGS_INDIVIDUAL,
                       IDC_SETTINGS_SHARED};
    for (int id : ids)
        EnableWindow(GetDlgItem(page, id), custom);
}

static void InitDirectoryPage(HWND page)
{
    FillFromVariable(page, IDC_INSTALL_PATH, "#INSTALLPATH#");
    FillFromVariable(page, IDC_CUSTOM_PATH, "#CUSTOMPATH#");
    MinimumFreeMegabytes = 0;
    if (GetVariable("#MINFREE#", nullptr, 0) < 0) {
        ShowMessage(page, IDS_CRITICAL_ERROR, MB_OK | MB_ICONHAND);
    } else {
        int minimum = GetVariableNumber("#MINFREE#");
        MinimumFreeMegabytes = minimum > 0 ? (uint64_t)minimum : 0;
    }
    int forWho = NumberOr("#FORWHO#", 0);
    CheckDlgButton(page, IDC_FOR_CURRENT_USER, forWho == 0 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(page, IDC_FOR_ALL_USERS, forWho == 1 ? BST_CHECKED : BST_UNCHECKED);
    int customLoc = NumberOr("#CUSTOMLOC#", 0);
    CheckDlgButton(page, IDC_DATA_DEFAULT, customLoc == 0 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(page, IDC_DATA_CUSTOM, customLoc == 1 ? BST_CHECKED : BST_UNCHECKED);
    if (customLoc == 0)
        EnableCustomFolder(page);
    int individual = NumberOr("#INDIVIDUAL#", 1);
    CheckDlgButton(page, IDC_SETTINGS_INDIVIDUAL, individual == 1 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(page, IDC_SETTINGS_SHARED, individual == 0 ? BST_CHECKED : BST_UNCHECKED);
}

static int CALLBACK BrowseCallback(HWND browser, UINT message, LPARAM, LPARAM path)
{
    if (message == BFFM_INITIALIZED)
        SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, path);
    return 0;
}

// Lets the user pick a folder for the edit, under the title string `titleId`. For the
// installation folder the product name is appended as the last path component.
static void BrowseForFolder(HWND page, int editId, UINT titleId, bool appendProgram)
{
    WCHAR current[kPathSize] = L"";
    GetDlgItemTextW(page, editId, current, kPathSize);
    for (size_t n = wcslen(current); n > 0 && current[n - 1] == L'\\'; n--)
        current[n - 1] = 0;
    WCHAR title[kPathSize];
    LoadLanguageStringW(titleId, title, kPathSize);
    BROWSEINFOW info;
    ZeroMemory(&info, sizeof info);
    info.hwndOwner = page;
    info.lpszTitle = title;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    info.lpfn = BrowseCallback;
    info.lParam = (LPARAM)current;
    LPITEMIDLIST chosen = SHBrowseForFolderW(&info);
    if (!chosen)
        return;
    WCHAR wide[kPathSize] = L"";
    bool found = SHGetPathFromIDListW(chosen, wide) != FALSE;
    CoTaskMemFree(chosen);
    if (!found)
        return;
    char path[kMessageSize];
    FromWide(wide, path, sizeof path);
    if (appendProgram) {
        AddBackslash(path, sizeof path);
        AppendText(path, sizeof path, "#PROGRAM#");
        ExpandVariables(path, sizeof path);
    }
    ToWide(path, wide, kPathSize);
    SetDlgItemTextW(page, editId, wide);
}

static void SetFromAllOrUser(const char *name, const char *allName, const char *userName, bool all)
{
    char value[kTextSize] = "";
    GetVariable(all ? allName : userName, value, sizeof value);
    SetVariable(name, value);
}

// Validates the page and stores its choices; a failing step shows its message and keeps the
// page. True when the installation may start.
static bool DirectoryInstall(HWND page)
{
    char path[kPathSize];
    if (!CheckAbsolutePath(page, IDC_INSTALL_PATH, path))
        return false;
    if (FreeDiskBytes(path) < MinimumFreeMegabytes * kBytesPerMegabyte) {
        ShowMessage(page, IDS_NO_DISK_SPACE, MB_OK | MB_ICONHAND);
        return false;
    }
    // The installation folder is made, or taken, for the administrators: one that a user made
    // is refused before anything is written into it.
    SetVariable("#INSTALLPATH#", path);
    if (AdoptInstallFolder(path) != kFolderTrusted) {
        ShowMessage(page, IDS_FOLDER_NOT_TRUSTED, MB_OK | MB_ICONHAND);
        return false;
    }
    if (CreatePath(path) != 0) {
        ShowMessage(page, IDS_INSTALL_FOLDER_FAILED, MB_OK | MB_ICONHAND);
        return false;
    }
    bool all = IsDlgButtonChecked(page, IDC_FOR_ALL_USERS) == BST_CHECKED;
    SetVariable("#FORWHO#", all ? "1" : "0");
    bool custom = IsDlgButtonChecked(page, IDC_DATA_CUSTOM) == BST_CHECKED;
    SetVariable("#CUSTOMLOC#", custom ? "1" : "0");
    if (custom) {
        char customPath[kPathSize];
        if (!CheckAbsolutePath(page, IDC_CUSTOM_PATH, customPath))
            return false;
        if (CreatePath(customPath) != 0) {
            ShowMessage(page, IDS_CONFIG_FOLDER_FAILED, MB_OK | MB_ICONHAND);
            return false;
        }
        SetVariable("#CUSTOMPATH#", customPath);
        bool individual = IsDlgButtonChecked(page, IDC_SETTINGS_INDIVIDUAL) == BST_CHECKED;
        SetVariable("#INDIVIDUAL#", individual ? "1" : "0");
    }
    SetFromAllOrUser("#STARTUPDIR#", "#STARTUPDIRALL#", "#STARTUPDIRUSR#", all);
    SetFromAllOrUser("#STARTMENU#", "#STARTMENUALL#", "#STARTMENUUSR#", all);
    SetFromAllOrUser("#DESKTOPDIR#", "#DESKTOPDIRALL#", "#DESKTOPDIRUSR#", all);
    return true;
}

INT_PTR CALLBACK DirectoryPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    if (message == WM_INITDIALOG) {
        InitPage(page, &DirectoryControls);
        InitDirectoryPage(page);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        if (ForwardPressCounts(page) && DirectoryInstall(page))
            SwitchPage(page, IDD_PROGRESS, ProgressPageProc);
        break;
    case IDCANCEL:
        LeaveIfConfirmed(page);
        break;
    case IDC_BACK:
        SwitchPage(page, IDD_LICENSE, LicensePageProc);
        break;
    case IDC_BROWSE_INSTALL:
        BrowseForFolder(page, IDC_INSTALL_PATH, IDS_BROWSE_INSTALL_TITLE, true);
        break;
    case IDC_BROWSE_CUSTOM:
        BrowseForFolder(page, IDC_CUSTOM_PATH, IDS_BROWSE_DATA_TITLE, false);
        break;
    case IDC_DATA_DEFAULT:
    case IDC_DATA_CUSTOM:
        EnableCustomFolder(page);
        break;
    }
    return TRUE;
}
