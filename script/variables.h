// The variable table, #NAME# placeholder expansion and the argument fetcher.
//
// A table entry matches a text when the text begins with the entry's name; lookups take the
// first matching entry. Names are case-sensitive and stored cut to 31 characters, values cut to
// 519. The table is shared by the main thread and the phase worker; the lock hooks in
// VariableTableLock guard every function here except GetVariableText.
#pragma once

#include <stddef.h>

// Stores a variable, replacing the record of a matching name in place. Returns its index, or
// -1 when the table cannot grow or the name is empty (an empty name would match every text).
int SetVariable(const char *name, const char *value);

// Index of the first entry matching name, or -1. When buffer is given and an entry was found,
// its value is copied into buffer (cut to capacity).
int GetVariable(const char *name, char *buffer, size_t capacity);

// Value of the first matching entry, or "" when there is none; never null. The pointer stays
// valid until the next SetVariable, so only the thread that sets variables may hold it.
const char *GetVariableText(const char *name);

// Number of the first matching entry truncated toward zero (clamped to the int range; a value
// that is not a number gives 0), or -1 when there is no such entry.
int GetVariableNumber(const char *name);

// Replaces placeholders of defined variables in text, in place. The result never exceeds
// capacity - 1 characters: what would run past the buffer is cut off.
void ExpandVariables(char *text, size_t capacity);

// Clears the argument slots and reads up to count (at most 5) arguments of the current line into
// them, expanding each. Returns how many were read.
int FetchArguments(int count, const char **cursor, const char *lineEnd);

// Releases the table (at process end, and between tests).
void ClearVariables(void);
