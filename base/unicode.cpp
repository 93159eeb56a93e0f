#include "base/unicode.h"

// The length of the well-formed UTF-8 character at `s` (at most `left` bytes readable, a NUL
// stops it), with its code point in `*code`; 0 when the bytes there do not form one.
static size_t DecodeUtf8(const unsigned char *s, size_t left, uint32_t *code)
{
    unsigned char c = s[0];
    if (c < 0x80) {
        *code = c;
        return 1;
    }
    size_t length;
    uint32_t value, least;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        value = c & 0x1F;
        least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        value = c & 0x0F;
        least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        value = c & 0x07;
        least = 0x10000;
    } else {
        return 0;
    }
    if (length > left)
        return 0;
    for (size_t i = 1; i < length; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (s[i] & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code = value;
    return length;
}

static size_t TextLength(const char *text)
{
    size_t n = 0;
    while (text[n])
        n++;
    return n;
}

int Utf8ToUtf16(const char *src, uint16_t *dst, size_t capacity)
{
    if (capacity == 0)
        return kConvertCut;
    const unsigned char *s = (const unsigned char *)src;
    size_t left = TextLength(src);
    size_t used = 0;
    int result = kConverted;
    while (left > 0) {
        uint32_t code;
        size_t length = DecodeUtf8(s, left, &code);
        if (length == 0) {
            dst[0] = 0;
            return kConvertInvalid;
        }
        size_t units = code >= 0x10000 ? 2 : 1;
        if (result == kConverted) {
            if (used + units + 1 > capacity) {
                // Checked to the end all the same: a cut text is still well-formed input.
                result = kConvertCut;
            } else if (units == 2) {
                dst[used++] = (uint16_t)(0xD800 + ((code - 0x10000) >> 10));
                dst[used++] = (uint16_t)(0xDC00 + ((code - 0x10000) & 0x3FF));
            } else {
                dst[used++] = (uint16_t)code;
            }
        }
        s += length;
        left -= length;
    }
    dst[used] = 0;
    return result;
}

int Utf16ToUtf8(const uint16_t *src, char *dst, size_t capacity)
{
    if (capacity == 0)
        return kConvertCut;
    size_t used = 0;
    int result = kConverted;
    for (size_t i = 0; src[i]; i++) {
        uint32_t code = src[i];
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (src[i + 1] < 0xDC00 || src[i + 1] > 0xDFFF) {
                dst[0] = 0;
                return kConvertInvalid;
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (src[i + 1] - 0xDC00);
            i++;
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            dst[0] = 0;
            return kConvertInvalid;
        }
        if (result != kConverted)
            continue;
        unsigned char bytes[4];
        size_t length;
        if (code < 0x80) {
            bytes[0] = (unsigned char)code;
            length = 1;
        } else if (code < 0x800) {
            bytes[0] = (unsigned char)(0xC0 | (code >> 6));
            bytes[1] = (unsigned char)(0x80 | (code & 0x3F));
            length = 2;
        } else if (code < 0x10000) {
            bytes[0] = (unsigned char)(0xE0 | (code >> 12));
            bytes[1] = (unsigned char)(0x80 | ((code >> 6) & 0x3F));
            bytes[2] = (unsigned char)(0x80 | (code & 0x3F));
            length = 3;
        } else {
            bytes[0] = (unsigned char)(0xF0 | (code >> 18));
            bytes[1] = (unsigned char)(0x80 | ((code >> 12) & 0x3F));
            bytes[2] = (unsigned char)(0x80 | ((code >> 6) & 0x3F));
            bytes[3] = (unsigned char)(0x80 | (code & 0x3F));
            length = 4;
        }
        if (used + length + 1 > capacity) {
            result = kConvertCut;
            continue;
        }
        for (size_t k = 0; k < length; k++)
            dst[used++] = (char)bytes[k];
    }
    dst[used] = 0;
    return result;
}

bool IsValidUtf8(const char *text, size_t length)
{
    const unsigned char *s = (const unsigned char *)text;
    size_t at = 0;
    while (at < length) {
        uint32_t code;
        size_t n = DecodeUtf8(s + at, length - at, &code);
        if (n == 0)
            return false;
        at += n;
    }
    return true;
}

size_t Utf8Boundary(const char *text, size_t length)
{
    const unsigned char *s = (const unsigned char *)text;
    size_t at = 0;
    while (at < length) {
        uint32_t code;
        size_t n = DecodeUtf8(s + at, length - at, &code);
        if (n == 0) {
            // A lead byte followed only by continuation bytes up to `length` starts a character
            // that the cut would split.
            unsigned char c = s[at];
            size_t expected = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            bool lead = c >= 0xC2 && c <= 0xF4;
            size_t k = at + 1;
            while (k < length && (s[k] & 0xC0) == 0x80)
                k++;
            if (lead && k == length && length - at < expected)
                break;
            n = 1;
        }
        at += n;
    }
    return at;
}
