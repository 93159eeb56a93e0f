#include "script/phase_thread.h"

#include <windows.h>

#include <objbase.h>

#include "base/globals.h"
#include "script/interpreter.h"

static CRITICAL_SECTION TableSection;

static void EnterTable(void)
{
    EnterCriticalSection(&TableSection);
}

static void LeaveTable(void)
{
    LeaveCriticalSection(&TableSection);
}

// How long the worker waits before it asks a page again that could not answer yet.
enum { kAskAgainMs = 50 };

static intptr_t SendToWindow(void *window, unsigned message, uintptr_t wParam, intptr_t lParam)
{
    for (;;) {
        intptr_t reply =
            (intptr_t)SendMessageA((HWND)window, message, (WPARAM)wParam, (LPARAM)lParam);
        if (message != kMsgErrorQuery || reply != kReplyAskAgain)
            return reply;
        Sleep(kAskAgainMs);
    }
}

void InitScriptThreading(void)
{
    static bool initialised = false;
    if (initialised)
        return;
    InitializeCriticalSection(&TableSection);
    VariableTableLock.enter = EnterTable;
    VariableTableLock.leave = LeaveTable;
    ProgressSend = SendToWindow;
    initialised = true;
}

static DWORD WINAPI PhaseThreadMain(LPVOID parameter)
{
    // Shell calls of the commands (opening documents, shortcuts) want COM on their thread.
    bool com = SUCCEEDED(CoInitialize(nullptr)); /* an apartment, as on every system */
    RunPhase((int)(intptr_t)parameter);
    // A phase the script lacks ends without a word to the page, which would wait for its end
    // for ever: the worker puts the code to it as the failure it is.
    if (LastErrorCode == kErrPhaseMissing)
        SendProgress(kMsgErrorQuery, 0, 0);
    if (com)
        CoUninitialize();
    return 0;
}

int StartPhase(int number, bool onWorkerThread)
{
    LastErrorCode = kOk;
    if (!onWorkerThread) {
        RunPhase(number);
        return kOk;
    }
    if (PhaseThread) {
        // Two interpreters must never share the script engine's state.
        if (WaitForSingleObject((HANDLE)PhaseThread, 0) == WAIT_TIMEOUT)
            return kErrThreadNotStarted;
        CloseHandle((HANDLE)PhaseThread);
        PhaseThread = nullptr;
    }
    DWORD id;
    HANDLE thread = CreateThread(nullptr, 0, PhaseThreadMain, (LPVOID)(intptr_t)number, 0, &id);
    if (!thread)
        return kErrThreadNotStarted;
    PhaseThread = thread;
    return kOk;
}

bool WaitForPhaseThread(unsigned timeoutMs)
{
    if (!PhaseThread)
        return true;
    if (!WaitDispatching(PhaseThread, timeoutMs))
        return false;
    CloseHandle((HANDLE)PhaseThread);
    PhaseThread = nullptr;
    return true;
}

bool WaitDispatching(void *object, unsigned timeoutMs)
{
    HANDLE thread = (HANDLE)object;
    DWORD start = GetTickCount();
    for (;;) {
        DWORD waited = GetTickCount() - start;
        if (waited >= timeoutMs)
            return false;
        DWORD result =
            MsgWaitForMultipleObjects(1, &thread, FALSE, timeoutMs - waited, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0)
            break;
        if (result != WAIT_OBJECT_0 + 1)
            return false;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return true;
}
