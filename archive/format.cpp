#include "archive/format.h"

#include <string.h>

#include "engine/text.h"

const char kArchiveHeader[] = "<Setup Data Header>";
const char kArchiveEnd[] = "<Setup Data End>";

static uint16_t Read16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

static uint32_t Read32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

size_t ImageEndOffset(const uint8_t *data, size_t size)
{
    enum { kDosHeader = 0x40, kFileHeader = 20, kSectionHeader = 40 };
    if (size < kDosHeader || data[0] != 'M' || data[1] != 'Z')
        return 0;
    size_t pe = Read32(data + 0x3c);
    if (pe > size || size - pe < 4 + kFileHeader || memcmp(data + pe, "PE\0\0", 4) != 0)
        return 0;
    const uint8_t *fileHeader = data + pe + 4;
    size_t sections = Read16(fileHeader + 2);
    size_t optionalSize = Read16(fileHeader + 16);
    size_t table = pe + 4 + kFileHeader + optionalSize;
    if (table > size || (size - table) / kSectionHeader < sections)
        return 0;
    uint64_t end = table + sections * kSectionHeader;
    for (size_t i = 0; i < sections; i++) {
        const uint8_t *s = data + table + i * kSectionHeader;
        uint64_t rawSize = Read32(s + 16);
        uint64_t rawPointer = Read32(s + 20);
        if (rawSize > 0 && rawPointer + rawSize > end)
            end = rawPointer + rawSize;
    }
    // An end beyond what size_t holds is beyond the data anyway.
    return end > SIZE_MAX ? SIZE_MAX : (size_t)end;
}

size_t FindArchiveStart(const uint8_t *data, size_t size, size_t lowest)
{
    if (size < kArchiveHeaderLength)
        return 0;
    if (lowest < 1)
        lowest = 1;
    for (size_t p = size - kArchiveHeaderLength;; p--) {
        if (p < lowest)
            return 0;
        if (data[p] == '<' && memcmp(data + p, kArchiveHeader, kArchiveHeaderLength) == 0)
            return p + kArchiveHeaderLength;
        if (p == 0)
            return 0;
    }
}

WalkStep NextArchiveEntry(const uint8_t *data, size_t size, size_t *cursor, ArchiveEntry *entry)
{
    size_t q = *cursor;
    if (q >= size)
        return kWalkEnd;
    size_t left = size - q;
    // The end marker ends the walk also when something (a signature) follows it; no entry name
    // can begin with it.
    if (left >= kArchiveEndLength && memcmp(data + q, kArchiveEnd, kArchiveEndLength) == 0)
        return kWalkEnd;
    const uint8_t *nul = (const uint8_t *)memchr(data + q, 0, left);
    if (!nul)
        return kWalkBroken;
    size_t nameLength = (size_t)(nul - (data + q));
    size_t sizeField = q + nameLength + 1;
    if (size - sizeField < 4)
        return kWalkBroken;
    uint32_t entrySize = Read32(data + sizeField);
    size_t dataOffset = sizeField + 4;
    if (size - dataOffset < entrySize)
        return kWalkBroken;
    entry->name = (const char *)(data + q);
    entry->nameLength = nameLength;
    entry->dataOffset = dataOffset;
    entry->size = entrySize;
    *cursor = dataOffset + entrySize;
    return kWalkEntry;
}

bool FindArchiveEntry(const uint8_t *data, size_t size, size_t start, const char *name,
                      ArchiveEntry *entry)
{
    size_t wanted = strlen(name);
    size_t cursor = start;
    ArchiveEntry e;
    while (NextArchiveEntry(data, size, &cursor, &e) == kWalkEntry) {
        if (e.nameLength == wanted && StartsWithIgnoringCase(e.name, name, wanted)) {
            *entry = e;
            return true;
        }
    }
    return false;
}

size_t LocateArchive(const uint8_t *data, size_t size)
{
    return FindArchiveStart(data, size, ImageEndOffset(data, size));
}

PatchStep NextPatchRecord(const uint8_t *data, size_t size, size_t *cursor, PatchRecord *record)
{
    size_t q = *cursor;
    if (q >= size)
        return kPatchEnd;
    if (size - q < 8)
        return kPatchBroken;
    uint32_t offset = Read32(data + q);
    uint32_t length = Read32(data + q + 4);
    if (offset >= 0x80000000u || length > size - q - 8)
        return kPatchBroken;
    record->offset = offset;
    record->length = length;
    record->bytes = data + q + 8;
    *cursor = q + 8 + length;
    return kPatchRecord;
}
