#include "ui/messages.h"

#include <shlwapi.h>

#include "base/globals.h"
#include "base/text.h"
#include "commands/files.h"
#include "resources/resource.h"
#include "script/interpreter.h"
#include "script/variables.h"
#include "ui/language.h"
#include "ui/controls.h"

void LoadExpandedMessage(UINT id, char *buffer, size_t capacity)
{
    LoadLanguageString(id, buffer, capacity);
    ExpandVariables(buffer, capacity);
}

int ShowMessage(HWND owner, UINT id, UINT type)
{
    char text[kMessageSize];
    char caption[kMessageSize] = "#SETUPMODE#";
    LoadExpandedMessage(id, text, sizeof text);
    ExpandVariables(caption, sizeof caption);
    WCHAR wideText[kMessageSize];
    WCHAR wideCaption[kMessageSize];
    ToWide(text, wideText, kMessageSize);
    ToWide(caption, wideCaption, kMessageSize);
    if (owner)
        SetForegroundWindow(owner);
    return MessageBoxW(owner, wideText, wideCaption, type);
}

int ShowErrorMessage(HWND owner, int code)
{
    UINT id = IDS_CRITICAL_ERROR;
    UINT buttons = MB_OK;
    switch (code) {
    case kErrProgramNotClosed:
        id = IDS_PROGRAM_RUNNING;
        buttons = MB_RETRYCANCEL;
        break;
    case kErrFolderNotCreated:
        id = IDS_FOLDER_NOT_CREATED;
        buttons = MB_RETRYCANCEL;
        break;
    case kErrFileNotWritten:
    case kErrNotPatched:
        id = IDS_FILE_NOT_COPIED;
        buttons = MB_RETRYCANCEL;
        break;
    case kErrLinkNotCreated:
        id = IDS_LINK_NOT_CREATED;
        break;
    case kErrRegRootSz:
        id = IDS_REGISTRY_NOT_WRITTEN;
        break;
    case kErrPreviousVersion:
        id = IDS_PREVIOUS_VERSION;
        buttons = MB_YESNOCANCEL;
        break;
    case kErrNotAdministrator:
        id = IDS_NOT_ADMINISTRATOR;
        break;
    case kErrScriptError:
        id = IDS_SCRIPT_ERROR;
        break;
    case kErrFolderNotTrusted:
        id = IDS_FOLDER_NOT_TRUSTED;
        break;
    }
    if (owner == MESSAGE_ID_ONLY)
        return (int)id;
    return ShowMessage(owner, id, buttons | MB_ICONHAND);
}

// A control's text (at most 259 characters) expanded. In UTF-8 each of them may take three
// bytes, so the text is expanded in a message-sized buffer.
static void ExpandWindowText(HWND window)
{
    WCHAR wide[kMessageSize];
    wide[0] = 0;
    GetWindowTextW(window, wide, kPathSize);
    char text[kMessageSize];
    FromWide(wide, text, sizeof text);
    ExpandVariables(text, sizeof text);
    ToWide(text, wide, kMessageSize);
    SetWindowTextW(window, wide);
}

static BOOL CALLBACK ExpandChild(HWND child, LPARAM defaultId)
{
    ExpandWindowText(child);
    if (defaultId >= 0 && GetDlgCtrlID(child) == (int)defaultId)
        SendMessageA(child, WM_SETFONT, (WPARAM)BoldFont, FALSE);
    return TRUE;
}

void ExpandDialogTexts(HWND dialog)
{
    ExpandWindowText(dialog);
    LRESULT answer = SendMessageA(dialog, DM_GETDEFID, 0, 0);
    LPARAM defaultId = HIWORD(answer) == DC_HASDEFID ? (LPARAM)LOWORD(answer) : -1;
    EnumChildWindows(dialog, ExpandChild, defaultId);
}

bool CheckAbsolutePath(HWND page, int editId, char *buffer)
{
    GetItemText(page, editId, buffer, kPathSize);
    StripBackslashes(buffer);
    if (!PathIsRelativeA(buffer) || PathIsNetworkPathA(buffer))
        return true;
    ShowMessage(page, IDS_ABSOLUTE_PATH, MB_OK | MB_ICONHAND);
    SendDlgItemMessageA(page, editId, EM_SETSEL, 0, -1);
    SetFocus(GetDlgItem(page, editId));
    return false;
}
