// UTF-8 inside, UTF-16 at the system boundary. Text inside the engine is UTF-8; these helpers
// convert it without the system's help, so that they are the same on every Windows and can be
// tested natively. A conversion never guesses: malformed input is an error, never a lookalike.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum ConvertResult {
    kConverted = 0,      // the whole text, terminated
    kConvertCut = 1,     // the destination was too small: cut at a character boundary
    kConvertInvalid = 2, // the source is not well-formed; dst holds an empty text
};

// Converts the NUL-terminated UTF-8 text `src` into `dst` (`capacity` 16-bit units, the
// terminator included). Overlong forms, surrogates encoded in UTF-8 and code points past
// U+10FFFF are invalid.
int Utf8ToUtf16(const char *src, uint16_t *dst, size_t capacity);
// Converts the NUL-terminated UTF-16 text `src` into `dst` (`capacity` bytes, the terminator
// included). An unpaired surrogate is invalid.
int Utf16ToUtf8(const uint16_t *src, char *dst, size_t capacity);

// True when the first `length` bytes of `text` are well-formed UTF-8 (ASCII is).
bool IsValidUtf8(const char *text, size_t length);
// The largest cut not above `length` that does not fall inside a UTF-8 character of `text`
// (which holds at least `length` bytes). A byte that is not part of a well-formed character
// counts as a character of its own.
size_t Utf8Boundary(const char *text, size_t length);
