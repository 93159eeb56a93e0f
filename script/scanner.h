// Script syntax: the line scanner, the argument splitter and the keyword table.
#pragma once

#include <stddef.h>

enum KeywordCode {
    kKwNone = -1,
    kKwSet = 0,
    kKwCloseProgram = 1,
    kKwCreateDir = 2,
    kKwCopyFile = 3,
    kKwCreateLink = 4,
    kKwChangeNotify = 5,
    kKwCreateRegValSz = 6,
    kKwCreateRegValDW = 7,
    kKwCopyUninstall = 8,
    kKwCreateSetupInfo = 9,
    kKwDeleteFile = 10,
    kKwRemoveDir = 11,
    kKwDeleteRegKey = 12,
    kKwDeleteRegVal = 13,
    kKwPatchFile = 14,
    kKwIf = 15,
    kKwElse = 16,
    kKwEndif = 17,
    kKwStopService = 18,
    kKwPhaseBegin = 21,
    kKwPhaseEnd = 22,
    kKwRun = 23,
    kKwCall = 24,
    kKwError = 25,
    kKwStatus = 26,
    kKwStatus2 = 27,
    kKwCreateRegValExpandSz = 28,
    kKwAddToPath = 29,
    kKwRemoveFromPath = 30,
    kKeywordCodeLimit = 31, // one past the highest code
};

// A keyword with the argument counts its command accepts: at least minArgs (fewer gives
// result 3), at most maxArgs (further arguments are ignored). If takes 3 or 5.
struct Keyword {
    const char *name;
    int length;
    int code;
    int minArgs;
    int maxArgs;
};

extern const Keyword KeywordTable[];
extern const int KeywordCount;

// The keyword entry of a code, or null for an unassigned code.
const Keyword *KeywordForCode(int code);
// The keyword entry whose name equals `name` ignoring case, or null.
const Keyword *KeywordForName(const char *name);

// A script is UTF-8; a byte-order mark may stand before its first line. The text after it.
const char *AfterByteOrderMark(const char *text);

bool IsScriptWhitespace(char c);
// Skips blanks, tabs, CR and LF; never passes the terminating NUL.
const char *SkipWhitespace(const char *p);

// Examines the line at `position` (which may point at leading whitespace). Returns the keyword
// code or kKwNone. `argumentStart` is where the argument list begins (for a keyword with nothing
// after it, possibly beyond `lineEnd`); `lineEnd` is the CR that ends the line or the NUL.
int ScanLine(const char *position, const char **argumentStart, const char **lineEnd);

// The number of the line of `text` that `position` lies on, counted as an editor counts: CR LF,
// a lone CR and a lone LF each end a line; the first line is 1. `position` lies inside `text`.
int LineNumberAt(const char *text, const char *position);

// The line from `lineStart` to `lineEnd` as written, without the whitespace around it, into
// `out` (cut to fit).
void LineAsWritten(const char *lineStart, const char *lineEnd, char *out, size_t capacity);

// What the splitter saw of one argument, for tools that check scripts.
struct ArgumentInfo {
    bool quoted;
    bool closed;   // a quoted argument met its closing quote before the line end
    size_t length; // characters before any cut
};

// Reads the argument at *cursor into out (at most capacity - 1 characters; a longer argument is
// cut but consumed whole) and advances *cursor past it and its comma. Returns 0, or 5 when no
// argument is left before lineEnd (out is then empty).
int NextArgument(const char **cursor, const char *lineEnd, char *out, size_t capacity,
                 ArgumentInfo *info = nullptr);
