// The pages on which the scripts run: progress (phase 1 on the worker thread) and finish
// (the final choices, the record update and phase 2), for both modes.
#include <windows.h>

#include <commctrl.h>
#include <string.h>

#include "base/globals.h"
#include "base/results.h"
#include "base/syscalls.h"
#include "commands/files.h"
#include "commands/journal.h"
#include "commands/record.h"
#include "resources/resource.h"
#include "script/interpreter.h"
#include "script/phase_thread.h"
#include "script/variables.h"
#include "ui/language.h"
#include "ui/messages.h"
#include "ui/wizard.h"

// Finish runs phase 2 on this thread, and waiting commands dispatch messages meanwhile: a
// second click on Finish must not start it again.
static bool Finishing;

// The progress page's quit question runs its own message loop while the worker goes on, so the
// worker's messages arrive while it is open. A phase that ends meanwhile is finished once the
// question is answered, whatever the answer: the installation is complete. A failure waits
// for the answer: the worker asks again until the question is closed, and a person who leaves
// is not asked about it.
static bool askingToQuit;
static bool phaseEndedWhileAsking;

// A setup that asked for a rollback undoes what phase 1 did when it is left before its end: the
// worker is stopped first, then the page plays the journal backwards, its bar moving back from
// where it stood, and only then is the wizard left.
enum { kMsgRollBack = WM_APP + 16, kWorkerStopMs = 10000 };
static int shownPercent;
static int outcomeAfterRollback;

// Phase 1 has run to its end: the page moves on to the finish page.
static void PhaseEnded(HWND page)
{
    // The uninstaller's phase goes on past failures; they still make the run a failed one.
    if (LastErrorCode != kOk)
        RunOutcome = kExitFailed;
    WCHAR finished[kPathSize];
    LoadLanguageStringW(IDS_STATUS_FINISHED, finished, kPathSize);
    SetDlgItemTextW(page, IDC_STATUS, finished);
    EnableWindow(GetDlgItem(page, IDOK), TRUE);
    SendMessageA(page, WM_COMMAND, IDOK, 0);
}

// Leaves the wizard with `outcome`; with a rollback, once the worker has stopped (WizardCancelled
// stops it at its next command) and what it did has been undone.
static void LeaveProgress(HWND page, int outcome)
{
    if (!JournalRecording()) {
        LeaveWizard(outcome);
        return;
    }
    WizardCancelled = 1;
    outcomeAfterRollback = outcome;
    EnableWindow(GetDlgItem(page, IDCANCEL), FALSE);
    PostMessageA(page, kMsgRollBack, 0, 0);
}

// The rollback runs on a thread of its own, as the phase did: the page goes on painting and
// answering while it undoes, and shows its status lines and bar.
static DWORD WINAPI RollBackThread(LPVOID)
{
    RollBack(shownPercent);
    return 0;
}

static void RollBackAndLeave(void)
{
    // The worker may be inside a command: it stops at the next one (a program Call waits for is
    // ended), and nothing is undone while it still runs. One that does not stop is left to the
    // end of the run, which rolls back once it has.
    if (WaitForPhaseThread(kWorkerStopMs)) {
        DWORD id;
        HANDLE thread = CreateThread(nullptr, 0, RollBackThread, nullptr, 0, &id);
        if (thread) {
            WaitDispatching(thread, INFINITE);
            CloseHandle(thread);
        } else {
            RollBack(shownPercent);
        }
        if (JournalRolledBack())
            outcomeAfterRollback = kExitFailed;
    }
    LeaveWizard(outcomeAfterRollback);
}

// The reply to an error query: the button the person pressed on the message for the code
// (Retry runs the line again, Cancel ends the worker, the others go on); kReplyAskAgain while
// the quit question is open; kReplyAbort once the wizard has been left.
static int AnswerErrorQuery(HWND page)
{
    if (WizardCancelled)
        return kReplyAbort; /* the wizard was left: nothing more is asked */
    if (askingToQuit)
        return kReplyAskAgain;
    int answer = ShowErrorMessage(page, LastErrorCode);
    if (answer == IDOK || answer == IDCANCEL || answer == IDNO) {
        LeaveProgress(page, kExitFailed);
        // With a rollback the worker must stop here, before its next command.
        if (WizardCancelled)
            return kReplyAbort;
    }
    return answer;
}

// Handles the interpreter's messages; true when `message` was one of them.
static bool HandlePhaseMessage(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case kMsgStatus: {
        WCHAR text[kTextSize];
        ToWide((const char *)lParam, text, kTextSize);
        SetDlgItemTextW(page, wParam == 0 ? IDC_STATUS : IDC_STATUS2, text);
        return true;
    }
    case kMsgProgress:
        shownPercent = (int)wParam;
        SendDlgItemMessageA(page, IDC_PROGRESS_BAR, PBM_SETPOS, wParam, 0);
        return true;
    case kMsgPhaseEnd:
        if (askingToQuit)
            phaseEndedWhileAsking = true;
        else
            PhaseEnded(page);
        return true;
    case kMsgErrorQuery:
        SetWindowLongPtrA(page, DWLP_MSGRESULT, AnswerErrorQuery(page));
        return true;
    }
    return false;
}

// Cancel on the progress page: the quit question, with what phase 1 did while it was open.
static void CancelProgress(HWND page)
{
    if (askingToQuit || WizardCancelled)
        return; /* a second Cancel while the question is open, or while rolling back */
    askingToQuit = true;
    bool leave = ConfirmQuit(page);
    askingToQuit = false;
    if (phaseEndedWhileAsking)
        PhaseEnded(page);
    else if (leave)
        LeaveProgress(page, kExitCancelled);
}

INT_PTR CALLBACK ProgressPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        InitPage(page, &ProgressControls);
        askingToQuit = false;
        phaseEndedWhileAsking = false;
        shownPercent = 0;
        SendDlgItemMessageA(page, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        ProgressWindow = page;
        // A worker that cannot start would leave the page waiting for an end that never comes:
        // the failure is put to the page as the worker would put it.
        if (StartPhase(1, true) != kOk) {
            LastErrorCode = kErrThreadNotStarted;
            PostMessageA(page, kMsgErrorQuery, 0, 0);
        }
        return TRUE;
    }
    if (HandlePhaseMessage(page, message, wParam, lParam))
        return TRUE;
    if (message == kMsgRollBack) {
        RollBackAndLeave();
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        if (!ButtonEnabled(page, IDOK))
            break;
        ProgressWindow = nullptr;
        SwitchPage(page, RunMode == 1 ? IDD_UNINSTALL_FINISH : IDD_FINISH, FinishPageProc);
        break;
    case IDCANCEL:
        CancelProgress(page);
        break;
    }
    return TRUE;
}

// Offers a finish box when its switch is defined, ticked as the earlier choice says; hides it
// otherwise.
static void OfferChoice(HWND page, int id, const char *offered, const char *selected)
{
    if (GetVariable(offered, nullptr, 0) < 0) {
        ShowWindow(GetDlgItem(page, id), SW_HIDE);
        return;
    }
    CheckDlgButton(page, id, GetVariableNumber(selected) == 1 ? BST_CHECKED : BST_UNCHECKED);
}

// After an uninstallation with failures whose folder is still there, the page points the user
// at the folder; otherwise those lines are hidden.
static void ShowLeftovers(HWND page)
{
    char path[kPathSize] = "";
    GetItemText(page, IDC_FOLDER_LINK, path, sizeof path);
    if (LastErrorCode != kOk && PathExists(path)) {
        SendDlgItemMessageA(page, IDC_NOT_REMOVED, WM_SETFONT, (WPARAM)BoldFont, FALSE);
        FolderLink.Create(page, IDC_FOLDER_LINK, nullptr, 0);
        return;
    }
    const int ids[] = {IDC_NOT_REMOVED, IDC_FOLDER_LINK, IDC_CHECK_FOLDER, IDC_KEEP_FILES};
    for (int id : ids)
        ShowWindow(GetDlgItem(page, id), SW_HIDE);
}

static bool Ticked(HWND page, int id)
{
    HWND box = GetDlgItem(page, id);
    return box && IsWindowVisible(box) && IsDlgButtonChecked(page, id) == BST_CHECKED;
}

static void Finish(HWND page)
{
    bool execute = Ticked(page, IDC_START_PROGRAM);
    bool readme = Ticked(page, IDC_SHOW_MANUAL);
    bool desktop = Ticked(page, IDC_DESKTOP_LINK);
    SetVariable("#EXECUTE#", execute ? "1" : "0");
    SetVariable("#README#", readme ? "1" : "0");
    SetVariable("#DESKTOP#", desktop ? "1" : "0");

    char program[kTextSize] = "";
    GetVariable("#PROGRAM#", program, sizeof program);
    ProductRecord record;
    memset(&record, 0, sizeof record);
    if (ReadProductRecord(program, &record)) {
        record.selExecute = execute;
        record.selReadme = readme;
        record.selDesktop = desktop;
        WriteProductRecord(program, &record); /* best effort */
    }
    SetInstallSize();
    StartPhase(2, false);
    if (LastErrorCode != kOk)
        RunOutcome = kExitFailed;
    if (GetVariable("#REBOOT#", nullptr, 0) >= 0)
        RebootRequested = 1;
    EndWizard();
}

INT_PTR CALLBACK FinishPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    if (message == WM_INITDIALOG) {
        Finishing = false;
        InitPage(page, &FinishControls);
        if (RunMode == 1) {
            ShowLeftovers(page);
        } else {
            OfferChoice(page, IDC_START_PROGRAM, "#EXECUTE#", "#SELEXECUTE#");
            OfferChoice(page, IDC_DESKTOP_LINK, "#DESKTOP#", "#SELDESKTOP#");
            OfferChoice(page, IDC_SHOW_MANUAL, "#README#", "#SELREADME#");
        }
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    if (LOWORD(wParam) == IDOK && !Finishing && ForwardPressCounts(page)) {
        Finishing = true;
        Finish(page);
    }
    return TRUE;
}
