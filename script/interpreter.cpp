#include "script/interpreter.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "base/globals.h"
#include "base/text.h"
#include "script/control.h"
#include "script/scanner.h"
#include "script/variables.h"

static int CommandIf(const char *argumentStart, const char *lineEnd);
static int CommandElse(const char *argumentStart, const char *lineEnd);
static int CommandEndif(const char *argumentStart, const char *lineEnd);

// Commands the script engine itself provides; system commands are added with SetCommand.
static void InstallBuiltinCommands(CommandFunction *table)
{
    table[kKwSet] = CommandSet;
    table[kKwIf] = CommandIf;
    table[kKwElse] = CommandElse;
    table[kKwEndif] = CommandEndif;
    table[kKwError] = CommandError;
    table[kKwStatus] = CommandStatus;
    table[kKwStatus2] = CommandStatus2;
}

static CommandFunction *Commands(void)
{
    static CommandFunction table[kKeywordCodeLimit];
    static bool filled = false;
    if (!filled) {
        InstallBuiltinCommands(table);
        filled = true;
    }
    return table;
}

void SetCommand(int code, CommandFunction command)
{
    if (code >= 0 && code < kKeywordCodeLimit)
        Commands()[code] = command;
}

CommandFunction GetCommand(int code)
{
    return (code >= 0 && code < kKeywordCodeLimit) ? Commands()[code] : nullptr;
}

intptr_t SendProgress(unsigned message, uintptr_t wParam, intptr_t lParam)
{
    if (!ProgressWindow || !ProgressSend)
        return 0;
    return ProgressSend(ProgressWindow, message, wParam, lParam);
}

// The number of %s conversions in `format`; -1 when it holds any other conversion.
static int StringConversions(const char *format)
{
    int count = 0;
    for (const char *c = format; *c; c++) {
        if (*c != '%')
            continue;
        c++;
        if (*c == 's')
            count++;
        else if (*c != '%')
            return -1;
    }
    return count;
}

bool SameStatusConversions(const char *translated, const char *english)
{
    int count = StringConversions(translated);
    return count >= 0 && count == StringConversions(english);
}

void ShowStatus(unsigned id, const char *format, ...)
{
    char translated[kTextSize];
    const char *used = format;
    if (LanguageText && LanguageText(id, translated, sizeof translated) &&
        SameStatusConversions(translated, format))
        used = translated;
    va_list args;
    va_start(args, format);
    FormatTextV(StatusText, sizeof StatusText, used, args);
    va_end(args);
    SendProgress(kMsgStatus, 0, (intptr_t)StatusText);
}

// One test of If. Operators are recognised by their first character, and < and > also by
// their second; `recognised` is false for any other operator.
static bool TestCondition(const char *left, const char *op, const char *right, bool *recognised)
{
    *recognised = true;
    double l = ReadNumber(left);
    double r = ReadNumber(right);
    switch (op[0]) {
    case '=':
        return EqualIgnoringCase(left, right);
    case '!':
        return !EqualIgnoringCase(left, right);
    case '<':
        return op[1] == '=' ? l <= r : l < r;
    case '>':
        return op[1] == '=' ? l >= r : l > r;
    default:
        *recognised = false;
        return false;
    }
}

static int CommandIf(const char *argumentStart, const char *lineEnd)
{
    int count = FetchArguments(5, &argumentStart, lineEnd);
    if (count != 3 && count != 5)
        return kErrMissingArgument;
    // Nesting beyond the stack is refused like a malformed If: no level is pushed.
    if (ConditionDepth >= kConditionLevels)
        return kErrMissingArgument;
    bool recognised;
    bool holds = TestCondition(ArgumentSlots[0], ArgumentSlots[1], ArgumentSlots[2], &recognised);
    if (count == 5) {
        bool second =
            TestCondition(ArgumentSlots[0], ArgumentSlots[3], ArgumentSlots[4], &recognised);
        if (recognised)
            holds = holds && second;
    }
    ConditionStack[ConditionDepth++] = holds ? 1 : 2;
    return kOk;
}

static int CommandElse(const char *, const char *)
{
    if (ConditionDepth > 0) {
        unsigned char &top = ConditionStack[ConditionDepth - 1];
        top = top == 1 ? 2 : top == 2 ? 1 : top;
    }
    return kOk;
}

static int CommandEndif(const char *, const char *)
{
    if (ConditionDepth > 0)
        ConditionStack[--ConditionDepth] = 0;
    return kOk;
}

static bool BranchSkipped(void)
{
    for (int i = 0; i < ConditionDepth; i++) {
        if (ConditionStack[i] == 2)
            return true;
    }
    return false;
}

static bool IsConditional(int code)
{
    return code == kKwIf || code == kKwElse || code == kKwEndif;
}

static bool IsDispatched(int code)
{
    return (code >= 0 && code <= kKwStopService) || (code >= kKwCall && code < kKeywordCodeLimit);
}

// Finds the body of phase `number`: its first line and the start of its PhaseEnd line (or the
// end of the text). Returns false when the script has no such phase.
static bool FindPhase(int number, const char **bodyStart, const char **bodyEnd)
{
    const char *argument;
    const char *lineEnd;
    const char *p = Script;
    for (;;) {
        if (*SkipWhitespace(p) == 0)
            return false;
        int code = ScanLine(p, &argument, &lineEnd);
        if (code == kKwPhaseBegin && strtol(argument, nullptr, 10) == number)
            break;
        p = SkipWhitespace(lineEnd);
    }
    *bodyStart = SkipWhitespace(lineEnd);
    p = *bodyStart;
    while (*p != 0 && ScanLine(p, &argument, &lineEnd) != kKwPhaseEnd)
        p = SkipWhitespace(lineEnd);
    *bodyEnd = p;
    return true;
}

static void SendPercent(const char *position, const char *bodyStart, const char *bodyEnd)
{
    if (!ProgressWindow)
        return;
    long long done = position - bodyStart;
    long long total = bodyEnd - bodyStart;
    long long percent = total > 0 ? done * 100 / total : 100;
    if (percent > 100)
        percent = 100;
    SendProgress(kMsgProgress, (uintptr_t)percent, 0);
}

// The line number of `position` in Script, counted on from the last position asked for when
// that lies before it: the interpreter asks in the order it walks.
static int ScriptLineNumber(const char *position)
{
    static const char *countedText;
    static const char *countedTo;
    static int countedNumber;
    if (countedText != Script || !countedTo || countedTo > position) {
        countedText = Script;
        countedTo = Script;
        countedNumber = 1;
    }
    countedNumber += LineNumberAt(countedTo, position) - 1;
    countedTo = position;
    return countedNumber;
}

static void NoteFailedLine(const char *lineStart, const char *lineEnd, int result)
{
    FailedLine.number = ScriptLineNumber(lineStart);
    LineAsWritten(lineStart, lineEnd, FailedLine.text, sizeof FailedLine.text);
    FailedLine.code = result;
}

static void RunPhaseLines(int number);

void RunPhase(int number)
{
    RunPhaseLines(number);
    if (PhaseEndHook)
        PhaseEndHook();
}

static void RunPhaseLines(int number)
{
    const char *bodyStart;
    const char *bodyEnd;
    if (!Script || !FindPhase(number, &bodyStart, &bodyEnd)) {
        if (number == 0 || number == 1)
            LastErrorCode = kErrPhaseMissing;
        return;
    }
    int remembered = kOk;
    const char *position = bodyStart;
    while (position < bodyEnd && *position != 0) {
        // The wizard was left while this phase ran on the worker: no further command runs.
        if (WizardCancelled)
            return;
        const char *argument;
        const char *lineEnd;
        int code = ScanLine(position, &argument, &lineEnd);
        int result = kOk;
        if ((!BranchSkipped() || IsConditional(code)) && (code == kKwRun || IsDispatched(code))) {
            CommandFunction command = GetCommand(code);
            if (CommandObserver.begin)
                CommandObserver.begin(number, ScriptLineNumber(position), position, argument,
                                      lineEnd);
            TextNotConverted = false;
            result = command ? command(argument, lineEnd) : kOk;
            // A name or value that Windows could not be given (on the 95 family, a character
            // its code page lacks) fails the command, even where the command passes over
            // failures of its own.
            if (TextNotConverted)
                result = kErrTextNotConverted;
            if (CommandObserver.end)
                CommandObserver.end(result);
            // Run never fails: whether its program started is not looked at.
            if (code == kKwRun)
                result = kOk;
            LastErrorCode = result;
        }
        if (result != kOk) {
            NoteFailedLine(position, lineEnd, result);
            if (RunMode == 1) {
                remembered = result;
            } else if (!ProgressWindow) {
                return;
            } else {
                intptr_t reply = SendProgress(kMsgErrorQuery, 0, 0);
                if (reply == kReplyAbort)
                    return; // no further command and no phase end; LastErrorCode keeps the code
                LastErrorCode = kOk;
                if (reply == kReplyRetry) {
                    SendPercent(position, bodyStart, bodyEnd);
                    continue;
                }
            }
        }
        position = SkipWhitespace(lineEnd);
        SendPercent(position, bodyStart, bodyEnd);
    }
    if (RunMode == 1)
        LastErrorCode = remembered;
    SendProgress(kMsgPhaseEnd, 0, 0);
}

void ResetScriptEngine(void)
{
    ClearVariables();
    CommandFunction *table = Commands();
    memset(table, 0, sizeof(CommandFunction) * kKeywordCodeLimit);
    InstallBuiltinCommands(table);
    memset(ConditionStack, 0, sizeof ConditionStack);
    ConditionDepth = 0;
    LastErrorCode = kOk;
    ProgressWindow = nullptr;
    PhaseEndHook = nullptr;
    RestartNeeded = false;
    StatusText[0] = 0;
    Status2Text[0] = 0;
    memset(&FailedLine, 0, sizeof FailedLine);
    DamagedEntry[0] = 0;
    for (int i = 0; i < kArgumentCount; i++)
        ArgumentSlots[i][0] = 0;
}
