#include "script/phase_thread.h"

#include <windows.h>

#include "engine/globals.h"
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

static intptr_t SendToWindow(void *window, unsigned message, uintptr_t wParam, intptr_t lParam)
{
    return (intptr_t)SendMessageA((HWND)window, message, (WPARAM)wParam, (LPARAM)lParam);
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
    RunPhase((int)(intptr_t)parameter);
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
