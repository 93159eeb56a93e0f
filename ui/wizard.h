// The wizard: one modal frame dialog that shows one page at a time. Every page switch, every
// early exit and the quit question go through the functions here.
#pragma once

#include <windows.h>

#include "ui/controls.h"

// The control objects of one page procedure: they live for the whole process and are reused
// each time a page of that kind is created.
struct PageControls {
    CBannerWnd banner;
    CHyperlinkWnd link;
};

extern PageControls WelcomeControls;
extern PageControls LicenseControls;
extern PageControls DirectoryControls;
extern PageControls ProgressControls;
extern PageControls FinishControls;
extern CHyperlinkWnd FolderLink; // the uninstall finish page's link to the installation folder

// Opens the frame and returns when the wizard has ended. WizardCancelled tells whether it was
// left other than by Finish; RebootRequested whether Finish asked for a restart.
void RunWizard(void);

// Creates page `templateId` with `procedure` in the frame, then ends `page`, which made the
// switch.
void SwitchPage(HWND page, int templateId, DLGPROC procedure);

// Leaves the wizard early: WizardCancelled is set, the run's exit code becomes `outcome`
// (kExitCancelled when the person chose to leave, kExitFailed after a failure), and the frame
// ends.
void LeaveWizard(int outcome);

// Ends the frame after Finish; WizardCancelled stays as it is.
void EndWizard(void);

// Asks message 1000 owned by the page; true when the answer is Yes.
bool ConfirmQuit(HWND page);

// Asks message 1000 owned by the page and leaves the wizard when the answer is Yes.
void LeaveIfConfirmed(HWND page);

// The steps every page takes first on WM_INITDIALOG: it becomes CurrentPage, its texts are
// expanded, the link and the banner replace their placeholders. The control `focusId` starts
// with the keyboard focus once the dialog manager has placed it (an edit with nothing selected).
void InitPage(HWND page, PageControls *controls, int focusId = IDOK);

// True when the page's button `id` exists and is enabled: Enter and Escape reach the page as
// commands even while the button is disabled.
bool ButtonEnabled(HWND page, int id);

// True when a press of the page's forward button counts: the button is enabled, and the press
// came later than the system's double-click time after the page opened. The forward buttons of
// the pages lie at one place, so the second click of a double-click on one page would otherwise
// press the next page's button (accept the licence, start the installation).
bool ForwardPressCounts(HWND page);

// Destroys the windows of every page's banner and links; run once the wizard has ended.
void DestroyWizardControls(void);

INT_PTR CALLBACK WelcomePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK LicensePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DirectoryPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ProgressPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK FinishPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
