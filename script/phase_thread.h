// Running phases on Windows: the phase 1 worker thread, progress messages by SendMessageA and
// the lock that lets the main thread read the variable table while the worker runs.
#pragma once

// Installs the Windows lock around the variable table and SendMessageA as the progress
// channel. Called once at start-up, before any phase runs.
void InitScriptThreading(void);

// Sets LastErrorCode to 0, then runs RunPhase(number) on a new thread (its handle is kept in
// PhaseThread) or on the calling thread. Returns 0, or 14 when the thread cannot be created.
int StartPhase(int number, bool onWorkerThread);

// Waits until the phase 1 worker has ended, dispatching this thread's messages meanwhile (the
// worker may be sending one). True when no worker runs any more, false after `timeoutMs`.
bool WaitForPhaseThread(unsigned timeoutMs);

// Waits until `object` (a thread or another handle) is signalled, dispatching this thread's
// messages meanwhile. False after `timeoutMs` or when the wait fails.
bool WaitDispatching(void *object, unsigned timeoutMs);
