#include "script/scanner.h"

#include <string.h>

#include "base/text.h"
#include "base/unicode.h"

#define KEYWORD(name, code, minArgs, maxArgs)                                                      \
    {                                                                                              \
        name, sizeof(name) - 1, code, minArgs, maxArgs                                             \
    }

// In code order. PhaseBegin reads its number itself; Else, Endif and PhaseEnd take nothing.
const Keyword KeywordTable[] = {
    KEYWORD("Set", kKwSet, 2, 2),
    KEYWORD("CloseProgram", kKwCloseProgram, 1, 1),
    KEYWORD("CreateDir", kKwCreateDir, 1, 1),
    KEYWORD("CopyFile", kKwCopyFile, 2, 3),
    KEYWORD("CreateLink", kKwCreateLink, 2, 4),
    KEYWORD("ChangeNotify", kKwChangeNotify, 1, 1),
    KEYWORD("CreateRegValSz", kKwCreateRegValSz, 4, 5),
    KEYWORD("CreateRegValDW", kKwCreateRegValDW, 4, 5),
    KEYWORD("CopyUninstall", kKwCopyUninstall, 1, 1),
    KEYWORD("CreateSetupInfo", kKwCreateSetupInfo, 2, 2),
    KEYWORD("DeleteFile", kKwDeleteFile, 1, 2),
    KEYWORD("RemoveDir", kKwRemoveDir, 1, 1),
    KEYWORD("DeleteRegKey", kKwDeleteRegKey, 2, 3),
    KEYWORD("DeleteRegVal", kKwDeleteRegVal, 3, 4),
    KEYWORD("PatchFile", kKwPatchFile, 3, 3),
    KEYWORD("If", kKwIf, 3, 5),
    KEYWORD("Else", kKwElse, 0, 0),
    KEYWORD("Endif", kKwEndif, 0, 0),
    KEYWORD("StopService", kKwStopService, 1, 1),
    KEYWORD("PhaseBegin", kKwPhaseBegin, 1, 1),
    KEYWORD("PhaseEnd", kKwPhaseEnd, 0, 0),
    KEYWORD("Run", kKwRun, 1, 3),
    KEYWORD("Call", kKwCall, 1, 4),
    KEYWORD("Error", kKwError, 1, 1),
    KEYWORD("Status", kKwStatus, 1, 1),
    KEYWORD("Status2", kKwStatus2, 1, 1),
    KEYWORD("CreateRegValExpandSz", kKwCreateRegValExpandSz, 4, 5),
    KEYWORD("AddToPath", kKwAddToPath, 1, 2),
    KEYWORD("RemoveFromPath", kKwRemoveFromPath, 1, 2),
};

const int KeywordCount = (int)(sizeof KeywordTable / sizeof KeywordTable[0]);

const Keyword *KeywordForCode(int code)
{
    for (int i = 0; i < KeywordCount; i++) {
        if (KeywordTable[i].code == code)
            return &KeywordTable[i];
    }
    return nullptr;
}

const Keyword *KeywordForName(const char *name)
{
    for (int i = 0; i < KeywordCount; i++) {
        if (EqualIgnoringCase(name, KeywordTable[i].name))
            return &KeywordTable[i];
    }
    return nullptr;
}

bool IsScriptWhitespace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

const char *SkipWhitespace(const char *p)
{
    while (IsScriptWhitespace(*p))
        p++;
    return p;
}

static const char *FindLineEnd(const char *p)
{
    while (*p != 0 && *p != '\r')
        p++;
    return p;
}

int ScanLine(const char *position, const char **argumentStart, const char **lineEnd)
{
    const char *p = SkipWhitespace(position);
    if (*p == 0) {
        *argumentStart = p;
        *lineEnd = p;
        return kKwNone;
    }
    for (int i = 0; i < KeywordCount; i++) {
        const Keyword &k = KeywordTable[i];
        if (StartsWithIgnoringCase(p, k.name, (size_t)k.length) &&
            IsScriptWhitespace(p[k.length])) {
            *argumentStart = SkipWhitespace(p + k.length);
            *lineEnd = FindLineEnd(p + k.length);
            return k.code;
        }
    }
    *argumentStart = p;
    *lineEnd = FindLineEnd(p);
    return kKwNone;
}

const char *AfterByteOrderMark(const char *text)
{
    return strncmp(text, "\xEF\xBB\xBF", 3) == 0 ? text + 3 : text;
}

int NextArgument(const char **cursor, const char *lineEnd, char *out, size_t capacity,
                 ArgumentInfo *info)
{
    out[0] = 0;
    const char *p = SkipWhitespace(*cursor);
    if (p >= lineEnd) {
        *cursor = p;
        return 5;
    }
    bool quoted = false;
    if (*p == '"') {
        quoted = true;
        p++;
    }
    size_t n = 0;
    size_t length = 0;
    size_t trailingBlanks = 0;
    bool closed = false;
    while (p < lineEnd && *p != 0 && *p != '\r') {
        if (quoted && *p == '"') {
            p++;
            closed = true;
            break;
        }
        if (!quoted && *p == ',')
            break;
        if (n + 1 < capacity)
            out[n++] = *p;
        length++;
        trailingBlanks = *p == ' ' ? trailingBlanks + 1 : 0;
        p++;
    }
    // An argument cut to fit is cut between characters.
    if (length > n)
        n = Utf8Boundary(out, n);
    if (!quoted) {
        while (n > 0 && out[n - 1] == ' ')
            n--;
        length -= trailingBlanks;
    }
    out[n] = 0;
    if (info) {
        info->quoted = quoted;
        info->closed = closed;
        info->length = length;
    }
    p = SkipWhitespace(p);
    if (p < lineEnd && *p == ',')
        p++;
    *cursor = p;
    return 0;
}

int LineNumberAt(const char *text, const char *position)
{
    int number = 1;
    for (const char *p = text; p < position && *p; p++) {
        if (*p == '\n' || (*p == '\r' && p[1] != '\n'))
            number++;
    }
    return number;
}

void LineAsWritten(const char *lineStart, const char *lineEnd, char *out, size_t capacity)
{
    const char *start = SkipWhitespace(lineStart);
    const char *end = lineEnd;
    while (end > start && IsScriptWhitespace(end[-1]))
        end--;
    CopyTextN(out, capacity, start, start < end ? (size_t)(end - start) : 0);
}
