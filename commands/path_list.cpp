#include "commands/path_list.h"

#include <string.h>

#include "base/text.h"

static size_t WithoutBackslashes(const char *text, size_t length)
{
    while (length > 0 && text[length - 1] == '\\')
        length--;
    return length;
}

static bool Names(const char *entry, size_t length, const char *folder)
{
    size_t a = WithoutBackslashes(entry, length);
    size_t b = WithoutBackslashes(folder, strlen(folder));
    if (a != b || a == 0)
        return false;
    for (size_t i = 0; i < a; i++) {
        if (LowerAscii(entry[i]) != LowerAscii(folder[i]))
            return false;
    }
    return true;
}

// The first entry at or after `from` that names the folder: its start in *start, its end
// (the separator after it, or the list's end) as the result; `length` when there is none.
static size_t FindEntry(const char *list, size_t length, size_t from, const char *folder,
                        size_t *start)
{
    size_t at = from;
    while (at <= length) {
        const char *separator = (const char *)memchr(list + at, ';', length - at);
        size_t end = separator ? (size_t)(separator - list) : length;
        if (Names(list + at, end - at, folder)) {
            *start = at;
            return end;
        }
        if (!separator)
            break;
        at = end + 1;
    }
    *start = length;
    return length;
}

bool PathListHas(const char *list, size_t length, const char *folder)
{
    size_t start;
    FindEntry(list, length, 0, folder, &start);
    return start < length;
}

size_t PathListAdd(const char *list, size_t length, const char *folder, char *out)
{
    size_t n = strlen(folder);
    memcpy(out, list, length);
    size_t at = length;
    bool endsInSeparator = length > 0 && list[length - 1] == ';';
    if (length > 0 && !endsInSeparator)
        out[at++] = ';';
    memcpy(out + at, folder, n);
    at += n;
    if (endsInSeparator)
        out[at++] = ';';
    out[at] = 0;
    return at;
}

size_t PathListRemove(const char *list, size_t length, const char *folder, char *out)
{
    memcpy(out, list, length);
    out[length] = 0;
    size_t from = 0;
    for (;;) {
        size_t start;
        size_t end = FindEntry(out, length, from, folder, &start);
        if (start >= length)
            break;
        // The entry goes with the separator before it, or the first one with the one after it.
        size_t cutFrom = start > 0 ? start - 1 : start;
        size_t cutTo = start == 0 && end < length ? end + 1 : end;
        memmove(out + cutFrom, out + cutTo, length - cutTo + 1);
        length -= cutTo - cutFrom;
        from = cutFrom;
    }
    return length;
}
