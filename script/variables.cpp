#include "script/variables.h"

#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "base/globals.h"
#include "base/text.h"
#include "base/unicode.h"
#include "script/scanner.h"

enum { kTableGrowth = 16 };

// Characters with which some stored name begins; expansion looks up only at those positions.
static bool NameStarts[256];

static void Lock(void)
{
    if (VariableTableLock.enter)
        VariableTableLock.enter();
}

static void Unlock(void)
{
    if (VariableTableLock.leave)
        VariableTableLock.leave();
}

static int FindMatch(const char *text)
{
    if (!NameStarts[(unsigned char)text[0]])
        return -1;
    for (int i = 0; i < VariableTable.count; i++) {
        const Variable &v = VariableTable.records[i];
        if (strncmp(text, v.name, (size_t)v.nameLength) == 0)
            return i;
    }
    return -1;
}

int SetVariable(const char *name, const char *value)
{
    if (name[0] == 0)
        return -1;
    Lock();
    int index = FindMatch(name);
    if (index < 0) {
        if (VariableTable.count == VariableTable.capacity) {
            int capacity = VariableTable.capacity + kTableGrowth;
            Variable *grown = (Variable *)malloc(sizeof(Variable) * (size_t)capacity);
            if (!grown) {
                Unlock();
                return -1;
            }
            if (VariableTable.count > 0)
                memcpy(grown, VariableTable.records,
                       sizeof(Variable) * (size_t)VariableTable.count);
            free(VariableTable.records);
            VariableTable.records = grown;
            VariableTable.capacity = capacity;
        }
        index = VariableTable.count++;
    }
    Variable &v = VariableTable.records[index];
    memset(&v, 0, sizeof v);
    CopyText(v.name, sizeof v.name, name);
    CopyText(v.value, sizeof v.value, value);
    v.nameLength = (int32_t)strlen(v.name);
    v.valueLength = (int32_t)strlen(v.value);
    v.number = ReadNumber(v.value);
    NameStarts[(unsigned char)v.name[0]] = true;
    Unlock();
    return index;
}

int GetVariable(const char *name, char *buffer, size_t capacity)
{
    Lock();
    int index = FindMatch(name);
    if (index >= 0 && buffer)
        CopyText(buffer, capacity, VariableTable.records[index].value);
    Unlock();
    return index;
}

const char *GetVariableText(const char *name)
{
    int index = FindMatch(name);
    return index < 0 ? "" : VariableTable.records[index].value;
}

int GetVariableNumber(const char *name)
{
    Lock();
    int index = FindMatch(name);
    double number = index < 0 ? -1.0 : VariableTable.records[index].number;
    Unlock();
    if (isnan(number))
        return 0;
    if (number >= (double)INT_MAX)
        return INT_MAX;
    if (number <= (double)INT_MIN)
        return INT_MIN;
    return (int)number;
}

void ExpandVariables(char *text, size_t capacity)
{
    if (capacity == 0)
        return;
    Lock();
    size_t length = strnlen(text, capacity - 1);
    text[length] = 0;
    size_t limit = capacity - 1; // characters the buffer can hold
    bool cut = false;
    for (size_t pos = 0; pos < length; pos++) {
        int index = FindMatch(text + pos);
        if (index < 0)
            continue;
        const Variable &v = VariableTable.records[index];
        size_t nameLength = (size_t)v.nameLength;
        size_t valueLength = (size_t)v.valueLength;
        // The value goes to [pos, pos + valueLength); the rest after the name follows it. Either
        // may be cut where the buffer ends.
        size_t tail = length - pos - nameLength;
        size_t tailStart = pos + valueLength;
        size_t tailKept = tailStart >= limit         ? 0
                          : tail < limit - tailStart ? tail
                                                     : limit - tailStart;
        if (tailKept > 0)
            memmove(text + tailStart, text + pos + nameLength, tailKept);
        size_t valueKept = valueLength < limit - pos ? valueLength : limit - pos;
        memcpy(text + pos, v.value, valueKept);
        cut = cut || valueKept < valueLength || tailKept < tail;
        length = pos + valueKept + tailKept;
        text[length] = 0;
    }
    // What was cut was cut at the end of the buffer: never inside a character.
    if (cut)
        text[Utf8Boundary(text, length)] = 0;
    Unlock();
}

int FetchArguments(int count, const char **cursor, const char *lineEnd)
{
    for (int i = 0; i < kArgumentCount; i++)
        ArgumentSlots[i][0] = 0;
    if (count > kArgumentCount)
        count = kArgumentCount;
    for (int i = 0; i < count; i++) {
        if (NextArgument(cursor, lineEnd, ArgumentSlots[i], kTextSize) != 0)
            return i;
        ExpandVariables(ArgumentSlots[i], kTextSize);
    }
    return count;
}

void ClearVariables(void)
{
    Lock();
    free(VariableTable.records);
    VariableTable.records = nullptr;
    VariableTable.count = 0;
    VariableTable.capacity = 0;
    memset(NameStarts, 0, sizeof NameStarts);
    Unlock();
}
