// Bounded text helpers. Every destination travels with its capacity in bytes; the result is
// always NUL-terminated and never written past the capacity. Each helper returns true when the
// whole text fit, false when it was cut.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

// Lets the compiler check printf-style formats: on Windows against the system C library's
// formatter, which FormatText uses (no %zu; %llu and %I64u are fine).
#if defined(__MINGW32__)
#define PRINTF_LIKE(f, a) __attribute__((format(ms_printf, f, a)))
#else
#define PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#endif

bool CopyText(char *dst, size_t capacity, const char *src);
// Copies at most `length` characters of src (stopping early at a NUL).
bool CopyTextN(char *dst, size_t capacity, const char *src, size_t length);
bool AppendText(char *dst, size_t capacity, const char *src);
bool FormatText(char *dst, size_t capacity, const char *format, ...) PRINTF_LIKE(3, 4);
bool FormatTextV(char *dst, size_t capacity, const char *format, va_list args);

// The number at the start of `text` by the rules of strtod (leading blanks, sign, decimal digits
// with point and exponent); 0 when the text does not begin with a number.
double ReadNumber(const char *text);

// ASCII-only case folding: texts are 8-bit in the system code page, and names, keywords and
// archive entries are compared ignoring the case of ASCII letters only.
char LowerAscii(char c);
bool EqualIgnoringCase(const char *a, const char *b);
// True when `text` begins with the first `length` characters of `prefix`, ignoring case.
bool StartsWithIgnoringCase(const char *text, const char *prefix, size_t length);
