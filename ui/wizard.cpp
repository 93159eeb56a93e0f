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

enum { kMsgDpiChanged = 0x02E0 }; // WM_DPICHANGED, sent when the wizard moves to another scale

// The shared fonts of before and the ones made for the new scale, in the same order.
struct FontSwap {
    void *before[4];
    void *after[4];
};

static BOOL CALLBACK SwapFont(HWND child, LPARAM swap)
{
    FontSwap *fonts = (FontSwap *)swap;
    HFONT font = (HFONT)SendMessageW(child, WM_GETFONT, 0, 0);
    for (int i = 0; i < 4; i++)
        if (font && font == (HFONT)fonts->before[i])
            SendMessageW(child, WM_SETFONT, (WPARAM)fonts->after[i], FALSE);
    return TRUE;
}

// Follows the wizard onto a monitor of another scale: the shared fonts are made anew for its
// DPI and every control that had one of them gets its new one. The dialog manager scales the
// windows themselves; the banner and the link then size themselves.
static void FollowDpi(HWND frame, unsigned dpi)
{
    FontSwap fonts = {{TitleFont, TextFont, BoldFont, LinkFont}, {}};
    TitleFont = TextFont = BoldFont = LinkFont = nullptr;
    CreateSharedFonts(dpi);
    void *made[4] = {TitleFont, TextFont, BoldFont, LinkFont};
    CopyMemory(fonts.after, made, sizeof made);
    EnumChildWindows(frame, SwapFont, (LPARAM)&fonts);
    for (void *font : fonts.before)
        if (font)
            DeleteObject((HGDIOBJ)font);
    RedrawWindow(frame, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

static INT_PTR CALLBACK FrameDialogProc(HWND frame, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        FrameWindow = frame;
        // The fonts of start-up fit the system's scale; the wizard's monitor may have another.
        if (!SharedFontsFit(WindowDpi(frame)))
            FollowDpi(frame, WindowDpi(frame));
        ExpandDialogTexts(frame);
        SetClassLongPtrW(frame, GCLP_HICON,
                         (LONG_PTR)LoadIconW((HINSTANCE)Instance, MAKEINTRESOURCEW(IDI_SETUP)));
        CreatePage(frame, RunMode == 1 ? IDD_UNINSTALL_WELCOME : IDD_WELCOME, WelcomePageProc);
        return TRUE;
    case WM_COMMAND:
        // Enter, Escape and the close box arrive here; the page decides what they do.
        if (CurrentPage)
            PostMessageA((HWND)CurrentPage, WM_COMMAND, wParam, lParam);
        return TRUE;
    case kMsgDpiChanged:
        FollowDpi(frame, HIWORD(wParam));
        return FALSE; /* the dialog manager moves and scales the windows */
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
    WCHAR linkText[kPathSize];
    ToWide(LinkText, linkText, kPathSize);
    SetDlgItemTextW(page, IDC_LINK, linkText);
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
