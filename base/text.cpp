#include "base/text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/unicode.h"

#if defined(_WIN32)
// The engine formats and reads numbers with the system C library (msvcrt). MinGW's headers send
// vsnprintf and strtod to MinGW's own C99 versions instead, which would bring some 30 KB of
// formatting and conversion code into the engine; msvcrt's strtod is reached by its own symbol.
#if defined(_WIN64)
extern "C" double SystemStrtod(const char *text, char **end) __asm__("strtod");
#else
extern "C" double SystemStrtod(const char *text, char **end) __asm__("_strtod");
#endif
#endif

bool CopyTextN(char *dst, size_t capacity, const char *src, size_t length)
{
    if (capacity == 0)
        return length == 0 || src[0] == 0;
    size_t n = 0;
    while (n < length && src[n] != 0 && n + 1 < capacity) {
        dst[n] = src[n];
        n++;
    }
    bool whole = n == length || src[n] == 0;
    // Cut for want of room: never between the bytes of one character. (The source decides
    // where the character ends: the cut may stand before a character that just fits.)
    if (!whole)
        n = Utf8Boundary(src, n);
    dst[n] = 0;
    return whole;
}

bool CopyText(char *dst, size_t capacity, const char *src)
{
    return CopyTextN(dst, capacity, src, (size_t)-1);
}

bool AppendText(char *dst, size_t capacity, const char *src)
{
    size_t used = strnlen(dst, capacity);
    if (used >= capacity)
        return false;
    return CopyText(dst + used, capacity - used, src);
}

bool FormatTextV(char *dst, size_t capacity, const char *format, va_list args)
{
    if (capacity == 0)
        return false;
#if defined(_WIN32)
    // -1 when the text was cut; a text of exactly `capacity` characters is left without its NUL.
    int n = _vsnprintf(dst, capacity, format, args);
    dst[capacity - 1] = 0;
    bool whole = n >= 0 && (size_t)n < capacity;
#else
    int n = vsnprintf(dst, capacity, format, args);
    dst[capacity - 1] = 0;
    if (n < 0) {
        dst[0] = 0;
        return false;
    }
    bool whole = (size_t)n < capacity;
#endif
    if (!whole)
        dst[Utf8Boundary(dst, strlen(dst))] = 0;
    return whole;
}

double ReadNumber(const char *text)
{
#if defined(_WIN32)
    return SystemStrtod(text, nullptr);
#else
    return strtod(text, nullptr);
#endif
}

bool FormatText(char *dst, size_t capacity, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    bool fit = FormatTextV(dst, capacity, format, args);
    va_end(args);
    return fit;
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(const char *a, const char *b)
{
    while (*a && LowerAscii(*a) == LowerAscii(*b)) {
        a++;
        b++;
    }
    return LowerAscii(*a) == LowerAscii(*b);
}

bool StartsWithIgnoringCase(const char *text, const char *prefix, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        // A NUL in text differs from every character of the prefix, so this stops at the
        // end of text without reading past it.
        if (LowerAscii(text[i]) != LowerAscii(prefix[i]))
            return false;
        if (prefix[i] == 0)
            return true;
    }
    return true;
}
