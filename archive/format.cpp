#include "archive/format.h"

#include "base/crc32c.h"

#include <stdlib.h>
#include <string.h>

#include "base/bytes.h"
#include "base/text.h"

const char kArchiveHeader[] = "<Setup Data Header>";
const char kArchiveEnd[] = "<Setup Data End>";
const char kIntegrityTag[] = "<Setup Data Sums>";
const char kPackedCatalogueName[] = "<Packed Entries>";
const char kPackedBlockName[] = "<Packed Block>";

bool HasAppendedData(const uint8_t *data, size_t size, uint64_t length)
{
    size_t end = ImageEndOffset(data, size);
    if (end == 0)
        return true;
    uint32_t symbols = ReadLe32(data + ReadLe32(data + 0x3c) + 4 + 8);
    return symbols == 0 && length > end;
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

size_t ArchiveLimit(const uint8_t *data, size_t available, size_t fileSize)
{
    uint32_t offset;
    uint32_t length;
    if (!ReadCertificateTable(data, available, &offset, &length) || length == 0 ||
        offset > fileSize || fileSize - offset != length ||
        offset < ImageEndOffset(data, available))
        return fileSize;
    return offset;
}

// True when the `count` bytes before the archive's `end` are the zero bytes a signing tool puts
// before its certificate table to align it.
static bool IsSignaturePadding(const uint8_t *bytes, size_t count, size_t end)
{
    if (count >= 8 || end % 8 != 0)
        return false;
    for (size_t i = 0; i < count; i++) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

WalkStep NextArchiveEntry(const uint8_t *data, size_t size, size_t *cursor, ArchiveEntry *entry)
{
    size_t q = *cursor;
    if (q >= size)
        return kWalkEnd;
    size_t left = size - q;
    if (IsSignaturePadding(data + q, left, size))
        return kWalkEnd;
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
    uint32_t entrySize = ReadLe32(data + sizeField);
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

static bool NamedAs(const char *name, size_t length, const char *wanted)
{
    return length == strlen(wanted) && memcmp(name, wanted, length) == 0;
}

bool IsPackedCatalogue(const ArchiveEntry *entry)
{
    return NamedAs(entry->name, entry->nameLength, kPackedCatalogueName);
}

bool IsPackedBlock(const ArchiveEntry *entry)
{
    return NamedAs(entry->name, entry->nameLength, kPackedBlockName);
}

uint32_t PackedBlockSize(const PackedCatalogue *c, uint32_t block)
{
    return ReadLe32(c->data + 8 + (size_t)block * 4);
}

// Reads the entry at *cursor without checking it against the blocks.
static WalkStep ReadPackedEntry(const PackedCatalogue *c, size_t *cursor, PackedEntry *entry)
{
    size_t q = *cursor;
    if (q >= c->size)
        return kWalkEnd;
    const uint8_t *nul = (const uint8_t *)memchr(c->data + q, 0, c->size - q);
    if (!nul || nul == c->data + q || (size_t)(c->data + c->size - nul) - 1 < 12)
        return kWalkBroken;
    entry->name = (const char *)(c->data + q);
    entry->nameLength = (size_t)(nul - (c->data + q));
    entry->block = ReadLe32(nul + 1);
    entry->offset = ReadLe32(nul + 5);
    entry->size = ReadLe32(nul + 9);
    *cursor = (size_t)(nul + 13 - c->data);
    return kWalkEntry;
}

WalkStep NextPackedEntry(const PackedCatalogue *c, size_t *cursor, PackedEntry *entry)
{
    WalkStep step = ReadPackedEntry(c, cursor, entry);
    if (step == kWalkEntry &&
        (entry->block >= c->blockCount || entry->offset > PackedBlockSize(c, entry->block) ||
         entry->size > PackedBlockSize(c, entry->block) - entry->offset))
        return kWalkBroken;
    return step;
}

bool ReadPackedCatalogue(const uint8_t *data, size_t size, PackedCatalogue *c)
{
    if (size < 12)
        return false;
    c->data = data;
    c->size = size;
    c->window = ReadLe32(data);
    c->blockCount = ReadLe32(data + 4);
    if (c->window == 0 || c->window > kPackedWindowLimit || c->blockCount > (size - 12) / 4)
        return false;
    c->entriesAt = 8 + (size_t)c->blockCount * 4 + 4;
    c->entryCount = ReadLe32(data + c->entriesAt - 4);
    size_t cursor = c->entriesAt;
    PackedEntry entry;
    uint32_t count = 0;
    WalkStep step;
    while ((step = NextPackedEntry(c, &cursor, &entry)) == kWalkEntry)
        count++;
    return step == kWalkEnd && count == c->entryCount;
}

static bool HeaderAt(const uint8_t *data, size_t size, size_t offset)
{
    return offset <= size && size - offset >= kArchiveHeaderLength &&
           memcmp(data + offset, kArchiveHeader, kArchiveHeaderLength) == 0;
}

size_t LocateArchive(const uint8_t *data, size_t size)
{
    size_t imageEnd = ImageEndOffset(data, size);
    size = ArchiveLimit(data, size, size);
    if (imageEnd > 0 && HeaderAt(data, size, imageEnd))
        return imageEnd + kArchiveHeaderLength;
    return FindArchiveStart(data, size, imageEnd);
}

// How much the walk reads ahead of an entry's start: its name, size field, and often the
// entries that follow.
const uint32_t kWalkAhead = 4096;

// Points at the `count` bytes at `offset` (which the caller keeps inside the file and the
// window's capacity), reading them, and up to `ahead` bytes in all, when the window does not
// hold them. Null when the read failed.
static const uint8_t *ReaderBytes(ArchiveReader *r, uint32_t offset, uint32_t count, uint32_t ahead)
{
    if (offset >= r->windowAt && offset - r->windowAt <= r->windowCount &&
        r->windowCount - (offset - r->windowAt) >= count)
        return r->window + (offset - r->windowAt);
    uint32_t n = count > ahead ? count : ahead;
    if (n > r->capacity)
        n = r->capacity;
    if (n > r->length - offset)
        n = r->length - offset;
    r->windowCount = 0;
    if (!r->readAt(r->context, offset, r->window, n))
        return nullptr;
    r->windowAt = offset;
    r->windowCount = n;
    return r->window;
}

uint32_t LocateArchiveThrough(ArchiveReader *r)
{
    // The image headers lie at the start of the file, well inside the first window.
    uint32_t head = r->length < r->capacity ? r->length : r->capacity;
    const uint8_t *first = ReaderBytes(r, 0, head, 0);
    if (!first)
        return 0;
    size_t imageEnd = ImageEndOffset(first, head);
    r->length = (uint32_t)ArchiveLimit(first, head, r->length);
    if (r->windowCount > r->length)
        r->windowCount = r->length; /* the window began at 0 */
    if (imageEnd > 0 && imageEnd <= r->length && r->length - imageEnd >= kArchiveHeaderLength) {
        const uint8_t *at = ReaderBytes(r, (uint32_t)imageEnd, kArchiveHeaderLength, 0);
        if (at && memcmp(at, kArchiveHeader, kArchiveHeaderLength) == 0)
            return (uint32_t)imageEnd + kArchiveHeaderLength;
    }
    // The backward scan, a window at a time. Positions [low, high] are tested in a piece that
    // starts one byte early, as FindArchiveStart never tests a piece's first byte.
    uint32_t lowest = imageEnd < 1 ? 1 : (uint32_t)imageEnd;
    if (imageEnd > r->length || r->length < kArchiveHeaderLength ||
        lowest > r->length - kArchiveHeaderLength)
        return 0;
    uint32_t span = r->capacity - kArchiveHeaderLength - 1;
    uint32_t high = r->length - kArchiveHeaderLength;
    for (;;) {
        uint32_t low = high - lowest > span ? high - span : lowest;
        uint32_t count = high - low + kArchiveHeaderLength + 1;
        const uint8_t *piece = ReaderBytes(r, low - 1, count, 0);
        if (!piece)
            return 0;
        size_t found = FindArchiveStart(piece, count, 1);
        if (found)
            return low - 1 + (uint32_t)found;
        if (low == lowest)
            return 0;
        high = low - 1;
    }
}

// Orders names ignoring ASCII case; a name before every longer name it begins.
static int CompareNames(const char *a, uint32_t aLength, const char *b, uint32_t bLength)
{
    uint32_t n = aLength < bLength ? aLength : bLength;
    for (uint32_t i = 0; i < n; i++) {
        unsigned char ca = (unsigned char)LowerAscii(a[i]);
        unsigned char cb = (unsigned char)LowerAscii(b[i]);
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return aLength < bLength ? -1 : aLength > bLength ? 1 : 0;
}

static int CompareIndexEntries(const void *left, const void *right)
{
    const ArchiveIndexEntry *a = (const ArchiveIndexEntry *)left;
    const ArchiveIndexEntry *b = (const ArchiveIndexEntry *)right;
    int byName = CompareNames(a->name, a->nameLength, b->name, b->nameLength);
    if (byName != 0)
        return byName;
    return a->order < b->order ? -1 : a->order > b->order ? 1 : 0;
}

// Grows a buffer of `*capacity` elements so that it holds `needed`; false when memory or the
// 32-bit count runs out.
static bool Reserve(void **buffer, uint32_t *capacity, uint64_t needed, size_t elementSize)
{
    if (needed <= *capacity)
        return true;
    uint64_t grown = (uint64_t)*capacity * 2;
    if (grown < needed)
        grown = needed < 64 ? 64 : needed;
    if (grown > UINT32_MAX || grown > SIZE_MAX / elementSize)
        return false;
    void *bigger = realloc(*buffer, (size_t)grown * elementSize);
    if (!bigger)
        return false;
    *buffer = bigger;
    *capacity = (uint32_t)grown;
    return true;
}

static bool AddIndexEntry(ArchiveIndexData *index, const char *name, uint32_t nameLength,
                          uint32_t dataOffset, uint32_t size, uint32_t order, uint32_t block)
{
    if (!Reserve((void **)&index->entries, &index->capacity, (uint64_t)index->count + 1,
                 sizeof(ArchiveIndexEntry)) ||
        !Reserve((void **)&index->names, &index->namesCapacity,
                 (uint64_t)index->namesUsed + nameLength + 1, 1))
        return false;
    ArchiveIndexEntry *e = &index->entries[index->count];
    e->name = nullptr;
    e->nameAt = index->namesUsed;
    e->nameLength = nameLength;
    e->dataOffset = dataOffset;
    e->size = size;
    e->order = order;
    e->sum = 0;
    e->hasSum = 0;
    e->block = block;
    index->count++;
    memcpy(index->names + index->namesUsed, name, nameLength);
    index->names[index->namesUsed + nameLength] = 0;
    index->namesUsed += nameLength + 1;
    return true;
}

static bool AddPackedBlock(ArchiveIndexData *index, uint32_t dataOffset, uint32_t size,
                           uint32_t order)
{
    if (!Reserve((void **)&index->blocks, &index->blockCapacity, (uint64_t)index->blockCount + 1,
                 sizeof(PackedBlockData)))
        return false;
    PackedBlockData *b = &index->blocks[index->blockCount++];
    memset(b, 0, sizeof *b);
    b->dataOffset = dataOffset;
    b->size = size;
    b->order = order;
    return true;
}

// Where the record after the end marker keeps its sums, when it is there and fits the file and
// the archive's `entries`; 0 otherwise.
static size_t SumsOffset(const uint8_t *tagAndCount, size_t recordAt, size_t size, uint32_t entries)
{
    if (memcmp(tagAndCount, kIntegrityTag, kIntegrityTagLength) != 0 ||
        ReadLe32(tagAndCount + kIntegrityTagLength) != entries)
        return 0;
    size_t sums = recordAt + kIntegrityTagLength + 4;
    return (size - sums) / 4 >= entries ? sums : 0;
}

// Reads the sum of the walk's entry number `order` into *sum and sets *hasSum.
static bool ReadSumOf(ArchiveReader *r, size_t sums, uint32_t order, uint32_t *sum,
                      uint32_t *hasSum)
{
    const uint8_t *at = ReaderBytes(r, (uint32_t)(sums + (size_t)order * 4), 4, kWalkAhead);
    if (!at)
        return false;
    *sum = ReadLe32(at);
    *hasSum = 1;
    return true;
}

// Gives each indexed entry and block, and the catalogue, its checksum from the record at
// `recordAt`, when there is a record that fits the `walked` entries.
// A record that begins but does not fit (the file was cut inside it) marks the archive cut.
static void ReadSums(ArchiveReader *r, uint32_t recordAt, uint32_t walked, ArchiveIndexData *index,
                     PackedBlockData *catalogue)
{
    uint32_t left = r->length - recordAt;
    uint32_t tagPart = left < kIntegrityTagLength ? left : (uint32_t)kIntegrityTagLength;
    const uint8_t *head = tagPart ? ReaderBytes(r, recordAt, tagPart, kWalkAhead) : nullptr;
    if (!head || memcmp(head, kIntegrityTag, tagPart) != 0)
        return; /* no record: a setup packed before it existed, perhaps signed */
    head = left >= kIntegrityTagLength + 4
               ? ReaderBytes(r, recordAt, kIntegrityTagLength + 4, kWalkAhead)
               : nullptr;
    size_t sums = head ? SumsOffset(head, recordAt, r->length, walked) : 0;
    if (sums == 0) {
        index->ending = kArchiveCut;
        return;
    }
    for (uint32_t i = 0; i < index->count; i++) {
        ArchiveIndexEntry *e = &index->entries[i];
        if (!ReadSumOf(r, sums, e->order, &e->sum, &e->hasSum))
            return;
    }
    for (uint32_t i = 0; i < index->blockCount; i++) {
        PackedBlockData *b = &index->blocks[i];
        if (!ReadSumOf(r, sums, b->order, &b->sum, &b->hasSum))
            return;
    }
    if (catalogue->size != 0)
        ReadSumOf(r, sums, catalogue->order, &catalogue->sum, &catalogue->hasSum);
}

// Indexes the entries of the catalogue stored at `at`. A catalogue that does not match its
// checksum, does not hold together or names other blocks than the walk found makes the archive
// a damaged one. False when memory ran out.
static bool IndexCatalogue(ArchiveReader *r, const PackedBlockData *at, uint32_t walked,
                           ArchiveIndexData *index)
{
    uint8_t *bytes = (uint8_t *)malloc(at->size ? at->size : 1);
    if (!bytes)
        return false;
    PackedCatalogue c;
    bool good = r->readAt(r->context, at->dataOffset, bytes, at->size) &&
                (!at->hasSum || Crc32c(0, bytes, at->size) == at->sum) &&
                ReadPackedCatalogue(bytes, at->size, &c) && c.blockCount == index->blockCount;
    bool complete = true;
    if (good) {
        index->window = c.window;
        for (uint32_t i = 0; i < c.blockCount; i++)
            index->blocks[i].decodedSize = PackedBlockSize(&c, i);
        size_t cursor = c.entriesAt;
        PackedEntry e;
        for (uint32_t i = 0; complete && NextPackedEntry(&c, &cursor, &e) == kWalkEntry; i++) {
            if (e.nameLength <= kIndexedNameLimit)
                complete = AddIndexEntry(index, e.name, (uint32_t)e.nameLength, e.offset, e.size,
                                         walked + i, e.block);
        }
    } else {
        index->ending = kArchiveCut;
    }
    free(bytes);
    return complete;
}

SumCheck VerifyArchiveSums(const uint8_t *data, size_t size, size_t start, ArchiveEntry *damaged)
{
    size_t cursor = start;
    ArchiveEntry entry;
    uint32_t entries = 0;
    WalkStep step;
    while ((step = NextArchiveEntry(data, size, &cursor, &entry)) == kWalkEntry)
        entries++;
    if (step == kWalkBroken)
        return kSumsMalformed;
    if (size - cursor < kArchiveEndLength ||
        memcmp(data + cursor, kArchiveEnd, kArchiveEndLength) != 0)
        return kSumsUnended;
    // As ReadSums: a record begins with the first byte of its tag, even when the file ends
    // before the tag does.
    size_t recordAt = cursor + kArchiveEndLength;
    size_t left = size - recordAt;
    size_t tagPart = left < kIntegrityTagLength ? left : (size_t)kIntegrityTagLength;
    if (tagPart == 0 || memcmp(data + recordAt, kIntegrityTag, tagPart) != 0)
        return kSumsAbsent;
    size_t sums =
        left >= kIntegrityTagLength + 4 ? SumsOffset(data + recordAt, recordAt, size, entries) : 0;
    if (sums == 0)
        return kSumsMalformed;
    cursor = start;
    for (uint32_t i = 0; NextArchiveEntry(data, size, &cursor, &entry) == kWalkEntry; i++) {
        if (Crc32c(0, data + entry.dataOffset, entry.size) != ReadLe32(data + sums + 4 * i)) {
            *damaged = entry;
            return kSumsDamaged;
        }
    }
    return kSumsGood;
}

bool BuildArchiveIndex(ArchiveReader *r, uint32_t start, ArchiveIndexData *index)
{
    memset(index, 0, sizeof *index);
    index->ending = kArchiveCut;
    char name[kIndexedNameLimit + 1];
    bool complete = true;
    uint32_t q = start;
    uint32_t walked = 0;
    PackedBlockData catalogue = {};
    bool twoCatalogues = false;
    if (q >= r->length)
        index->ending = kArchiveNoMarker;
    while (q < r->length) {
        const uint8_t *at;
        if (r->length - q < 8) {
            at = ReaderBytes(r, q, r->length - q, kWalkAhead);
            if (at && IsSignaturePadding(at, r->length - q, r->length)) {
                index->ending = kArchiveNoMarker;
                break;
            }
        }
        if (r->length - q >= kArchiveEndLength) {
            at = ReaderBytes(r, q, kArchiveEndLength, kWalkAhead);
            if (!at) {
                complete = false;
                break;
            }
            if (memcmp(at, kArchiveEnd, kArchiveEndLength) == 0) {
                index->ending = kArchiveEndMarker;
                break;
            }
        }
        // The name runs to the first NUL, read a piece at a time; only its start is kept.
        uint32_t p = q;
        uint32_t kept = 0;
        bool closed = false;
        while (p < r->length && !closed) {
            uint32_t n = r->length - p < kWalkAhead ? r->length - p : kWalkAhead;
            at = ReaderBytes(r, p, n, kWalkAhead);
            if (!at)
                break;
            const uint8_t *nul = (const uint8_t *)memchr(at, 0, n);
            uint32_t part = nul ? (uint32_t)(nul - at) : n;
            uint32_t room = (uint32_t)sizeof name - kept;
            uint32_t keep = part < room ? part : room;
            memcpy(name + kept, at, keep);
            kept += keep;
            p += part;
            closed = nul != nullptr;
        }
        // p is at the NUL: the size field follows it, then the data.
        if (!closed || r->length - p - 1 < 4 || !(at = ReaderBytes(r, p + 1, 4, kWalkAhead)))
            break;
        uint32_t size = ReadLe32(at);
        uint32_t dataOffset = p + 5;
        if (r->length - dataOffset < size)
            break;
        uint32_t nameLength = p - q;
        ArchiveEntry seen = {name, nameLength, dataOffset, size};
        if (IsPackedBlock(&seen)) {
            if (!AddPackedBlock(index, dataOffset, size, walked)) {
                complete = false;
                break;
            }
        } else if (IsPackedCatalogue(&seen)) {
            twoCatalogues = twoCatalogues || catalogue.size != 0;
            if (!twoCatalogues) {
                catalogue.dataOffset = dataOffset;
                catalogue.size = size;
                catalogue.order = walked;
            }
        } else if (nameLength <= kIndexedNameLimit &&
                   !AddIndexEntry(index, name, nameLength, dataOffset, size, walked,
                                  kStoredEntry)) {
            complete = false;
            break;
        }
        q = dataOffset + size;
        walked++;
        if (q == r->length)
            index->ending = kArchiveNoMarker;
    }
    if (index->ending == kArchiveEndMarker)
        ReadSums(r, q + kArchiveEndLength, walked, index, &catalogue);
    if (catalogue.size != 0 && complete)
        complete = IndexCatalogue(r, &catalogue, walked, index);
    if (twoCatalogues || (catalogue.size == 0 && index->blockCount != 0))
        index->ending = kArchiveCut; /* blocks that no one catalogue describes */
    for (uint32_t i = 0; i < index->count; i++)
        index->entries[i].name = index->names + index->entries[i].nameAt;
    if (index->count > 1)
        qsort(index->entries, index->count, sizeof(ArchiveIndexEntry), CompareIndexEntries);
    return complete;
}

bool FindIndexedEntry(const ArchiveIndexData *index, const char *name, ArchiveIndexEntry *entry)
{
    size_t wanted = strlen(name);
    if (wanted > kIndexedNameLimit)
        return false;
    uint32_t low = 0;
    uint32_t high = index->count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        const ArchiveIndexEntry *e = &index->entries[middle];
        if (CompareNames(e->name, e->nameLength, name, (uint32_t)wanted) < 0)
            low = middle + 1;
        else
            high = middle;
    }
    if (low == index->count)
        return false;
    const ArchiveIndexEntry *e = &index->entries[low];
    if (CompareNames(e->name, e->nameLength, name, (uint32_t)wanted) != 0)
        return false;
    *entry = *e;
    return true;
}

void FreeArchiveIndex(ArchiveIndexData *index)
{
    free(index->entries);
    free(index->names);
    free(index->blocks);
    memset(index, 0, sizeof *index);
}

PatchStep NextPatchRecord(const uint8_t *data, size_t size, size_t *cursor, PatchRecord *record)
{
    size_t q = *cursor;
    if (q >= size)
        return kPatchEnd;
    if (size - q < 8)
        return kPatchBroken;
    uint32_t offset = ReadLe32(data + q);
    uint32_t length = ReadLe32(data + q + 4);
    if (offset >= 0x80000000u || length > size - q - 8)
        return kPatchBroken;
    record->offset = offset;
    record->length = length;
    record->bytes = data + q + 8;
    *cursor = q + 8 + length;
    return kPatchRecord;
}
