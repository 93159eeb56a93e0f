#include "tools/trace.h"

#include <stdlib.h>
#include <string.h>

#include <utility>

#include "base/globals.h"
#include "base/text.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

const char TraceUsage[] =
    "usage: mksetup trace SCRIPT [--phase N]... [--uninstall] [--progress]\n"
    "                     [--reply retry|abort|go] [--set NAME=VALUE]...\n"
    "                     [--fail KEYWORD=CODE[,COUNT]]...\n"
    "Runs script phases (default: 0) with every system command replaced by a recording stub.\n"
    "In Setup mode a phase that fails stops the phases after it, as in a silent run.\n"
    "Events, one a line, tab-separated: run, status, progress, error, end, result, var.\n"
    "Tabs, CRs and line feeds inside texts are written as \\t, \\r and \\n.\n";

enum { kMaxPhases = 16, kMaxRetries = 1000 };

// What --fail asks of one command: return `result` for the next `remaining` calls (-1: all).
struct FailRule {
    int result;
    long remaining;
};

static FILE *Out;
static FILE *Err;
static FailRule Fails[kKeywordCodeLimit];
static intptr_t ErrorReply;
static int RetriesGiven;

static void PrintEscaped(const char *text)
{
    for (; *text; text++) {
        switch (*text) {
        case '\t':
            fputs("\\t", Out);
            break;
        case '\r':
            fputs("\\r", Out);
            break;
        case '\n':
            fputs("\\n", Out);
            break;
        default:
            fputc(*text, Out);
        }
    }
}

// A system command's stand-in: fetches the arguments the command would fetch, records them and
// answers what --fail asks, else 3 for too few arguments, else 0.
static int RecordCommand(int code, const char *argumentStart, const char *lineEnd)
{
    const Keyword *keyword = KeywordForCode(code);
    int count = FetchArguments(keyword->maxArgs, &argumentStart, lineEnd);
    fprintf(Out, "run\t%s", keyword->name);
    for (int i = 0; i < count; i++) {
        fputc('\t', Out);
        PrintEscaped(ArgumentSlots[i]);
    }
    fputc('\n', Out);
    FailRule &rule = Fails[code];
    if (rule.result != 0 && rule.remaining != 0) {
        if (rule.remaining > 0)
            rule.remaining--;
        return rule.result;
    }
    return count < keyword->minArgs ? kErrMissingArgument : kOk;
}

template <int Code> static int StubCommand(const char *argumentStart, const char *lineEnd)
{
    return RecordCommand(Code, argumentStart, lineEnd);
}

template <int... Codes> static void InstallStubs(std::integer_sequence<int, Codes...>)
{
    (SetCommand(Codes, StubCommand<Codes>), ...);
}

static bool IsSystemCommand(int code)
{
    return (code >= kKwCloseProgram && code <= kKwPatchFile) || code == kKwStopService ||
           code == kKwRun || code == kKwCall || code >= kKwCreateRegValExpandSz;
}

static intptr_t RecordMessage(void *, unsigned message, uintptr_t wParam, intptr_t lParam)
{
    switch (message) {
    case kMsgStatus:
        fprintf(Out, "status\t%u\t", (unsigned)wParam);
        PrintEscaped((const char *)lParam);
        fputc('\n', Out);
        return 0;
    case kMsgProgress:
        fprintf(Out, "progress\t%u\n", (unsigned)wParam);
        return 0;
    case kMsgPhaseEnd:
        fputs("end\n", Out);
        return 0;
    case kMsgErrorQuery:
        fprintf(Out, "error\t%d\n", LastErrorCode);
        if (ErrorReply == kReplyRetry && ++RetriesGiven > kMaxRetries) {
            fprintf(Err, "trace: more than %d retries; answering abort\n", kMaxRetries);
            return kReplyAbort;
        }
        return ErrorReply;
    }
    return 0;
}

static bool ParseInt(const char *text, long *value)
{
    char *end;
    *value = strtol(text, &end, 10);
    return end != text && *end == 0;
}

static bool ParseFail(const char *rule)
{
    const char *equals = strchr(rule, '=');
    if (!equals)
        return false;
    char name[kNameSize];
    if (!CopyTextN(name, sizeof name, rule, (size_t)(equals - rule)))
        return false;
    const Keyword *keyword = KeywordForName(name);
    if (!keyword || !IsSystemCommand(keyword->code))
        return false;
    char *end;
    long result = strtol(equals + 1, &end, 10);
    long count = -1;
    if (end == equals + 1 || result <= 0 || result > 255)
        return false;
    if (*end == ',') {
        if (!ParseInt(end + 1, &count) || count < 0)
            return false;
    } else if (*end != 0) {
        return false;
    }
    Fails[keyword->code].result = (int)result;
    Fails[keyword->code].remaining = count;
    return true;
}

static char *ReadWholeFile(const char *path, size_t *length)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return nullptr;
    char *text = nullptr;
    size_t used = 0;
    size_t capacity = 0;
    for (;;) {
        if (used + 4096 + 1 > capacity) {
            capacity = capacity * 2 + 4096 + 1;
            char *grown = (char *)realloc(text, capacity);
            if (!grown) {
                free(text);
                fclose(f);
                return nullptr;
            }
            text = grown;
        }
        size_t n = fread(text + used, 1, 4096, f);
        used += n;
        if (n < 4096)
            break;
    }
    bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) {
        free(text);
        return nullptr;
    }
    text[used] = 0;
    *length = used;
    return text;
}

// Leaves the script engine as a new process has it, for callers that run in-process.
static void ResetTraceState(void)
{
    ResetScriptEngine();
    RunMode = 0;
}

static int UsageError(const char *message, const char *detail)
{
    fprintf(Err, "trace: %s%s\n%s", message, detail, TraceUsage);
    ResetTraceState();
    return 2;
}

int RunTrace(int argc, char **argv, FILE *out, FILE *err)
{
    Out = out;
    Err = err;
    memset(Fails, 0, sizeof Fails);
    ErrorReply = 0;
    RetriesGiven = 0;
    ResetScriptEngine();
    RunMode = 0;
    InstallStubs(std::integer_sequence<int, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 18, 23,
                                       24, 28, 29, 30>{});

    const char *scriptPath = nullptr;
    int phases[kMaxPhases];
    int phaseCount = 0;
    bool progress = false;
    for (int i = 0; i < argc; i++) {
        const char *a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (strcmp(a, "--uninstall") == 0) {
            RunMode = 1;
        } else if (strcmp(a, "--progress") == 0) {
            progress = true;
        } else if (strcmp(a, "--phase") == 0 || strcmp(a, "--reply") == 0 ||
                   strcmp(a, "--set") == 0 || strcmp(a, "--fail") == 0) {
            if (!value)
                return UsageError("missing value after ", a);
            i++;
            long n;
            if (strcmp(a, "--phase") == 0) {
                if (!ParseInt(value, &n) || n < 0 || n > 1000000)
                    return UsageError("bad phase number: ", value);
                if (phaseCount == kMaxPhases)
                    return UsageError("too many phases", "");
                phases[phaseCount++] = (int)n;
            } else if (strcmp(a, "--reply") == 0) {
                if (strcmp(value, "retry") == 0)
                    ErrorReply = kReplyRetry;
                else if (strcmp(value, "abort") == 0)
                    ErrorReply = kReplyAbort;
                else if (strcmp(value, "go") == 0)
                    ErrorReply = 0;
                else
                    return UsageError("bad reply: ", value);
            } else if (strcmp(a, "--set") == 0) {
                const char *equals = strchr(value, '=');
                char name[kNameSize];
                if (!equals || equals == value)
                    return UsageError("bad --set: ", value);
                CopyTextN(name, sizeof name, value, (size_t)(equals - value));
                if (SetVariable(name, equals + 1) < 0)
                    return UsageError("cannot set ", value);
            } else if (!ParseFail(value)) {
                return UsageError("bad --fail (KEYWORD=CODE[,COUNT] of a system command): ", value);
            }
        } else if (a[0] == '-' && a[1] == '-') {
            return UsageError("unknown option ", a);
        } else if (!scriptPath) {
            scriptPath = a;
        } else {
            return UsageError("more than one script: ", a);
        }
    }
    if (!scriptPath)
        return UsageError("no script given", "");
    if (phaseCount == 0)
        phases[phaseCount++] = 0;

    size_t length = 0;
    char *text = ReadWholeFile(scriptPath, &length);
    if (!text) {
        fprintf(Err, "trace: cannot read %s\n", scriptPath);
        ResetTraceState();
        return 1;
    }
    Script = text;
    ScriptLength = length;
    ProgressSend = RecordMessage;
    ProgressWindow = progress ? (void *)&Fails : nullptr;

    for (int i = 0; i < phaseCount; i++) {
        LastErrorCode = kOk;
        RunPhase(phases[i]);
        if (LastErrorCode != kOk && RunMode == 0)
            break;
    }
    fprintf(Out, "result\t%d\n", LastErrorCode);
    for (int i = 0; i < VariableTable.count; i++) {
        fprintf(Out, "var\t");
        PrintEscaped(VariableTable.records[i].name);
        fputc('\t', Out);
        PrintEscaped(VariableTable.records[i].value);
        fputc('\n', Out);
    }
    fflush(Out);

    Script = nullptr;
    ScriptLength = 0;
    ProgressWindow = nullptr;
    ProgressSend = nullptr;
    free(text);
    ResetTraceState();
    return 0;
}
