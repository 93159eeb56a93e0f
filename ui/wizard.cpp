#include "ui/wizard.h"

#include <commctrl.h>
#include <objbase.h>

#include "base/globals.h"
#include "base/results.h"
#include "base/syscalls.h"
#include "resources/resource.h"
#include "ui/language.h"
#include "ui/messages.h"

PageControls WelcomeControls;
PageControls LicenseControls;
PageControls DirectoryControls;
PageControls ProgressControls;
PageControls FinishControls;
CHyperlinkWnd FolderLink;

// Creates page `templateId` of the wizard's language in the frame.
static void CreatePage(HWND frame, int templateId, DLGPROC procedure)
{
    const DLGTEMPLATE *page = LanguageDialog(templateId);
    if (page)
        CreateDialogIndirectParamW((HINSTANCE)Instance, page, frame, procedure, 0);
}

static INT_PTR CALLBACK FrameDialogProc(HWND frame, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        FrameWindow = frame;
        ExpandDialogTexts(frame);
        SetClassLongPtrA(frame, GCLP_HICON,
                         (LONG_PTR)LoadIconA((HINSTANCE)Instance, MAKEINTRESOURCEA(IDI_SETUP)));
        CreatePage(frame, RunMode == 1 ? IDD_UNINSTALL_WELCOME : IDD_WELCOME, WelcomePageProc);
        return TRUE;
    case WM_COMMAND:
        // Enter, Escape and the close box arrive here; the page decides what they do.
        if (CurrentPage)
            PostMessageA((HWND)CurrentPage, WM_COMMAND, wParam, lParam);
        return TRUE;
    }
    return FALSE;
}

void RunWizard(void)
{
    WizardCancelled = 0;
    RebootRequested = 0;
    // The common controls library is loaded only now: a silent run does not need it, and
    // loading it costs start-up time. The progress bar's class comes from it.
    typedef BOOL(WINAPI * InitControls)(const INITCOMMONCONTROLSEX *);
    InitControls initControls = (InitControls)(void *)GetProcAddress(
        LoadSystemLibrary("comctl32.dll"), "InitCommonControlsEx");
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    if (initControls)
        initControls(&controls);
    // The folder browser and the shell calls of phase 2 want COM on this thread.
    bool com = SUCCEEDED(CoInitialize(nullptr)); /* an apartment, as on every system */
    const DLGTEMPLATE *frame = LanguageDialog(IDD_FRAME);
    if (frame)
        DialogBoxIndirectParamW((HINSTANCE)Instance, frame, nullptr, FrameDialogProc, 0);
    FrameWindow = nullptr;
    CurrentPage = nullptr;
    ProgressWindow = nullptr;
    if (com)
        CoUninitialize();
}

void SwitchPage(HWND page, int templateId, DLGPROC procedure)
{
    CreatePage((HWND)FrameWindow, templateId, procedure);
    EndDialog(page, 1);
}

void EndWizard(void)
{
    if (FrameWindow)
        EndDialog((HWND)FrameWindow, 1);
}

void LeaveWizard(int outcome)
{
    WizardCancelled = 1;
    RunOutcome = outcome;
    EndWizard();
}

bool ConfirmQuit(HWND page)
{
    return ShowMessage(page, IDS_CONFIRM_QUIT, MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2) ==
           IDYES;
}

void LeaveIfConfirmed(HWND page)
{
    if (ConfirmQuit(page))
        LeaveWizard(kExitCancelled);
}

bool ButtonEnabled(HWND page, int id)
{
    HWND button = GetDlgItem(page, id);
    return button && IsWindowEnabled(button);
}

// When the page shown now was opened (GetTickCount).
static DWORD pageOpenedAt;

bool ForwardPressCounts(HWND page)
{
    // Message times count on the tick count's clock; a press from before the page opened (still
    // queued while it opened) is negative here and does not count either.
    LONG sinceOpened = (LONG)((DWORD)GetMessageTime() - pageOpenedAt);
    return ButtonEnabled(page, IDOK) && sinceOpened >= (LONG)GetDoubleClickTime();
}

void InitPage(HWND page, PageControls *controls, int focusId)
{
    CurrentPage = page;
    pageOpenedAt = GetTickCount();
    ExpandDialogTexts(page);
    SetDlgItemTextA(page, IDC_LINK, LinkText);
    controls->link.Create(page, IDC_LINK, LinkTarget, 0);
    controls->banner.Create(page, IDC_BANNER, IDC_TITLE, IDC_SUBTITLE,
                            RunMode == 1 ? IDI_UNINSTALL : IDI_SETUP);
    // The dialog manager places the focus after this initialisation; a message posted now
    // moves it afterwards. Moving it selects an edit's whole text, which the second message
    // clears again.
    HWND focus = GetDlgItem(page, focusId);
    if (focus && IsWindowEnabled(focus)) {
        PostMessageA((HWND)FrameWindow, WM_NEXTDLGCTL, (WPARAM)focus, TRUE);
        if (SendMessageA(focus, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL)
            PostMessageA(focus, EM_SETSEL, 0, 0);
    }
}

void DestroyWizardControls(void)
{
    PageControls *all[] = {&WelcomeControls, &LicenseControls, &DirectoryControls,
                           &ProgressControls, &FinishControls};
    for (PageControls *controls : all) {
        controls->banner.Destroy();
        controls->link.Destroy();
    }
    FolderLink.Destroy();
}
