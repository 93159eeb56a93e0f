// Scanner and argument splitter over arbitrary text: every line of the input is scanned and
// split into slots with a guard byte after them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "base/types.h"
#include "script/scanner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *text = (char *)malloc(size + 1);
    memcpy(text, data, size);
    text[size] = 0;

    const char *p = text;
    while (*SkipWhitespace(p) != 0) {
        const char *argument;
        const char *lineEnd;
        int code = ScanLine(p, &argument, &lineEnd);
        if (code != kKwNone && !KeywordForCode(code))
            abort();
        if (lineEnd < p || lineEnd > text + size)
            abort();
        char slot[kTextSize + 1];
        slot[kTextSize] = 0x5a;
        char path[kPathSize];
        const char *cursor = argument;
        const char *pathCursor = argument;
        for (int i = 0; i < 64; i++) {
            if (NextArgument(&cursor, lineEnd, slot, kTextSize) != 0)
                break;
            if (slot[kTextSize] != 0x5a || strlen(slot) >= kTextSize)
                abort();
            NextArgument(&pathCursor, lineEnd, path, sizeof path);
        }
        p = SkipWhitespace(lineEnd);
    }
    free(text);
    return 0;
}
