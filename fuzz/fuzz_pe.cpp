// The PE toolkit over arbitrary images: headers, the checksum (whole and in pieces), the
// certificate table and the archive limit, resource lookups, and the resource edit, whose result
// must be an image the toolkit reads back with the new resource in it and the old ones as they
// were. The input is copied to an exact-size buffer so any read past it is caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "archive/format.h"
#include "archive/pe_image.h"

static bool Found(const uint8_t *image, size_t size, uint32_t type, uint32_t id, uint32_t language,
                  size_t *offset, uint32_t *length)
{
    if (!FindResourceData(image, size, type, id, language, offset, length))
        return false;
    if (*offset > size || size - *offset < *length)
        abort(); // a resource's bytes outside the image
    return true;
}

static void CheckEdit(const uint8_t *file, size_t size)
{
    const size_t kMostRoom = 1 << 22;
    size_t needed = 0;
    uint8_t *image = (uint8_t *)malloc(size ? size : 1);
    memcpy(image, file, size);
    // The added bytes come from the image itself, as the uninstall icon's group does.
    uint32_t count = size < 90 ? (uint32_t)size : 90;
    PeEdit result = AddResource(image, size, size, 14, 101, 0, image, count, &needed);
    if (result == kPeEdited || (result == kPeNeedsRoom && needed <= size))
        abort(); // nothing can be added without room
    if (result != kPeNeedsRoom || needed > kMostRoom) {
        free(image);
        return;
    }
    if (memcmp(image, file, size) != 0)
        abort(); // a refused edit changed the image
    uint8_t *edited = (uint8_t *)malloc(needed);
    memcpy(edited, file, size);
    size_t newSize = 0;
    if (AddResource(edited, size, needed, 14, 101, 0, edited, count, &newSize) != kPeEdited ||
        newSize != needed)
        abort(); // with the room it asked for, the edit is done
    PeHeaders h;
    size_t offset;
    uint32_t length;
    if (!ReadPeHeaders(edited, newSize, &h) || ImageEndOffset(edited, newSize) != newSize)
        abort();
    if (!Found(edited, newSize, 14, 101, 0, &offset, &length) || length != count ||
        memcmp(edited + offset, file, count) != 0)
        abort(); // the added resource is the first of its key
    // A resource found before is found alike, unless its bytes lay in the headers that changed.
    size_t oldOffset;
    uint32_t oldLength;
    if (Found(file, size, 14, 102, kPeAnyLanguage, &oldOffset, &oldLength) &&
        oldOffset >= h.sizeOfHeaders &&
        (!Found(edited, newSize, 14, 102, kPeAnyLanguage, &offset, &length) ||
         length != oldLength || memcmp(edited + offset, file + oldOffset, length) != 0))
        abort();
    free(edited);
    free(image);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t *file = (uint8_t *)malloc(size ? size : 1);
    memcpy(file, data, size);
    PeHeaders h;
    uint32_t checksum;
    if (ReadPeHeaders(file, size, &h) != ComputePeChecksum(file, size, &checksum))
        abort();
    if (ReadPeHeaders(file, size, &h)) {
        // The same sum over three pieces, the field skipped, split where the data says.
        size_t split = size > h.checksumField + 4 ? h.checksumField + 4 + file[0] % 7 : size;
        if (split > size)
            split = size;
        PeSum sum = {0, 0};
        PeSumAdd(&sum, file, h.checksumField);
        PeSumSkip(&sum, 4);
        PeSumAdd(&sum, file + h.checksumField + 4, split - h.checksumField - 4);
        PeSumAdd(&sum, file + split, size - split);
        if (PeSumValue(&sum) != checksum)
            abort();
    }
    uint32_t offset;
    uint32_t length;
    bool hasTable = ReadCertificateTable(file, size, &offset, &length);
    size_t limit = ArchiveLimit(file, size, size);
    if (limit > size || (limit < size && (!hasTable || (size_t)offset != limit)))
        abort();
    size_t at;
    uint32_t count;
    Found(file, size, 14, 102, kPeAnyLanguage, &at, &count);
    Found(file, size, 3, 1, 0x0C07, &at, &count);
    CheckEdit(file, size);
    free(file);
    return 0;
}
