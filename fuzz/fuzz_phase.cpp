// Whole-phase interpretation of arbitrary script text in both modes, with and without a
// progress window whose replies come from the input, and a stand-in system command that fetches
// its arguments like the real ones.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "base/globals.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

static const uint8_t *Replies;
static size_t ReplyCount;
static size_t ReplyIndex;
static int Retries;

static intptr_t Answer(void *, unsigned message, uintptr_t, intptr_t lParam)
{
    if (message == kMsgStatus && strlen((const char *)lParam) >= kTextSize)
        abort();
    if (message != kMsgErrorQuery)
        return 0;
    intptr_t reply = ReplyCount ? Replies[ReplyIndex++ % ReplyCount] % 5 : 0;
    // A retried command that keeps failing would loop for ever; give up after a few.
    if (reply == kReplyRetry && ++Retries > 16)
        reply = kReplyAbort;
    return reply;
}

static int Command(const char *argumentStart, const char *lineEnd)
{
    int n = FetchArguments(5, &argumentStart, lineEnd);
    for (int i = 0; i < kArgumentCount; i++) {
        if (strlen(ArgumentSlots[i]) >= kTextSize)
            abort();
    }
    // Fails when its first argument says so, like a command whose work failed.
    return n > 0 && ArgumentSlots[0][0] == '!' ? 8 : n == 0 ? 3 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    uint8_t flags = data[0];
    size_t replyCount = data[1] % 8;
    if (size < 2 + replyCount)
        return 0;
    Replies = data + 2;
    ReplyCount = replyCount;
    ReplyIndex = 0;
    Retries = 0;
    size_t length = size - 2 - replyCount;
    char *text = (char *)malloc(length + 1);
    memcpy(text, data + 2 + replyCount, length);
    text[length] = 0;

    ResetScriptEngine();
    for (int code = 0; code < kKeywordCodeLimit; code++) {
        if (!GetCommand(code))
            SetCommand(code, Command);
    }
    SetVariable("#PROGRAM#", "Tool");
    SetVariable("#SELF#", "x#SELF#y");
    Script = text;
    ScriptLength = length;
    RunMode = flags & 1;
    ProgressSend = Answer;
    ProgressWindow = (flags & 2) ? (void *)&Replies : nullptr;
    for (int phase = 0; phase < 3; phase++)
        RunPhase(phase);

    for (int i = 0; i < VariableTable.count; i++) {
        const Variable &v = VariableTable.records[i];
        if (strlen(v.name) != (size_t)v.nameLength || strlen(v.value) != (size_t)v.valueLength)
            abort();
    }
    if (ConditionDepth < 0 || ConditionDepth > kConditionLevels)
        abort();
    Script = nullptr;
    ProgressWindow = nullptr;
    free(text);
    return 0;
}
