// The interpreter: runs one phase of the loaded script with If/Else/Endif, result codes, the
// error decision of both modes and the progress protocol.
#pragma once

#include <stdint.h>

#include "base/results.h"
#include "base/text.h"

// Progress protocol messages (WM_APP + n) sent to ProgressWindow.
enum ProgressMessage {
    kMsgStatus = 0x8001,     // wParam 0 first / 1 second status line, lParam the text
    kMsgProgress = 0x8002,   // wParam percentage of the phase
    kMsgPhaseEnd = 0x8003,   // the phase ran to its end
    kMsgErrorQuery = 0x8004, // a command failed (code in LastErrorCode); the reply decides
};

// Replies to kMsgErrorQuery; any other reply goes on with the next line, except kReplyAskAgain:
// the page cannot put the question now (its quit question is open), and the worker sends the
// query again shortly, until the page answers it (or is gone).
enum { kReplyAbort = 2, kReplyRetry = 4, kReplyAskAgain = -1 };

// A command receives the start of its argument list and the end of its line, fetches its own
// arguments and returns a result code.
typedef int (*CommandFunction)(const char *argumentStart, const char *lineEnd);

// Fills a slot of the command table; a code without a command is passed over with result 0.
void SetCommand(int code, CommandFunction command);
CommandFunction GetCommand(int code);

// Runs phase `number` of Script to its end or until aborted; the outcome is in LastErrorCode.
void RunPhase(int number);

// Sends one progress message when ProgressWindow is set; returns the reply (0 when not sent).
intptr_t SendProgress(unsigned message, uintptr_t wParam, intptr_t lParam);

// Formats the first status line into StatusText (cut at 519 characters) and sends it. The
// format is string-table entry `id` in the wizard's language (LanguageText) when it has one
// with the same %s conversions as `format`, the English one, else `format`.
void ShowStatus(unsigned id, const char *format, ...) PRINTF_LIKE(2, 3);

// True when `translated` converts exactly as many arguments as `english`, every one with %s
// (and writes a percent sign only as %%): a translation that does not is never formatted.
bool SameStatusConversions(const char *translated, const char *english);

// Resets the condition stack, the command table's control commands and the shared state of
// the script engine to their start values (process start, and between tests).
void ResetScriptEngine(void);
