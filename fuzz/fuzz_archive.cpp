// The archive walker over arbitrary engine files (image end, archive start, every entry, name
// lookups) and the patch record walker over the same bytes; the input is copied to an
// exact-size buffer so any read past it is caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "archive/format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t *file = (uint8_t *)malloc(size ? size : 1);
    memcpy(file, data, size);
    size_t imageEnd = ImageEndOffset(file, size);
    (void)imageEnd;
    size_t start = LocateArchive(file, size);
    if (start > size)
        abort();
    if (start) {
        size_t cursor = start;
        ArchiveEntry e;
        int count = 0;
        while (NextArchiveEntry(file, size, &cursor, &e) == kWalkEntry) {
            if (e.dataOffset + e.size > size || cursor > size)
                abort();
            if (count++ < 8) {
                char name[64];
                size_t n = e.nameLength < sizeof name - 1 ? e.nameLength : sizeof name - 1;
                memcpy(name, e.name, n);
                name[n] = 0;
                ArchiveEntry found;
                if (!FindArchiveEntry(file, size, start, name, &found) && n == e.nameLength)
                    abort(); // a complete name read by the walk must be found again
            }
        }
        ArchiveEntry found;
        FindArchiveEntry(file, size, start, "Setup.vis", &found);
    }
    size_t cursor = 0;
    PatchRecord record;
    while (NextPatchRecord(file, size, &cursor, &record) == kPatchRecord) {
        if (record.bytes + record.length > file + size || record.offset >= 0x80000000u)
            abort();
    }
    free(file);
    return 0;
}
