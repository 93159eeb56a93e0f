#include "script/control.h"

#include "base/globals.h"
#include "base/text.h"
#include "resources/resource.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

int CommandSet(const char *argumentStart, const char *lineEnd)
{
    ShowStatus(IDS_STATUS_SET_VARIABLE, "Setting variable...");
    const char *cursor = argumentStart;
    char *name = ArgumentSlots[0];
    char *value = ArgumentSlots[1];
    if (NextArgument(&cursor, lineEnd, name, kTextSize) != 0 ||
        NextArgument(&cursor, lineEnd, value, kTextSize) != 0)
        return kErrMissingArgument;
    // An empty name would match every text and shadow every variable: treat it as missing.
    if (name[0] == 0)
        return kErrMissingArgument;
    // The name is stored as written; only the value is expanded.
    ExpandVariables(value, kTextSize);
    return SetVariable(name, value) < 0 ? kErrTableFull : kOk;
}

int CommandError(const char *argumentStart, const char *lineEnd)
{
    if (FetchArguments(1, &argumentStart, lineEnd) < 1)
        return kErrMissingArgument;
    SetVariable("#LASTERROR#", ArgumentSlots[0]); /* best effort: the error stands either way */
    return kErrScriptError;
}

int CommandStatus(const char *argumentStart, const char *lineEnd)
{
    if (FetchArguments(1, &argumentStart, lineEnd) < 1)
        return kErrMissingArgument;
    CopyText(StatusText, sizeof StatusText, ArgumentSlots[0]);
    SendProgress(kMsgStatus, 0, (intptr_t)StatusText);
    return kOk;
}

int CommandStatus2(const char *argumentStart, const char *lineEnd)
{
    if (FetchArguments(1, &argumentStart, lineEnd) < 1)
        return kErrMissingArgument;
    // Backslash followed by a small n becomes one line feed.
    const char *in = ArgumentSlots[0];
    size_t n = 0;
    while (*in && n + 1 < sizeof Status2Text) {
        if (in[0] == '\\' && in[1] == 'n') {
            Status2Text[n++] = '\n';
            in += 2;
        } else {
            Status2Text[n++] = *in++;
        }
    }
    Status2Text[n] = 0;
    SendProgress(kMsgStatus, 1, (intptr_t)Status2Text);
    return kOk;
}
