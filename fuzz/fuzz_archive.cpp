// The archive walker over arbitrary engine files (image end, archive start and end, every entry,
// name lookups, and the same through the piecewise reader and its index, which must agree), the
// checksum record, a compressed archive's catalogue, and the patch record walker over the same
// bytes; the input is copied to an
// exact-size buffer so any read past it is caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "archive/format.h"
#include "archive/packed.h"
#include "base/crc32c.h"

struct Input {
    const uint8_t *data;
    size_t size;
};

static bool ReadInputAt(void *context, uint32_t offset, void *buffer, uint32_t count)
{
    const Input *in = (const Input *)context;
    if ((uint64_t)offset + count > in->size)
        abort(); // the reader asked for bytes outside the file
    memcpy(buffer, in->data + offset, count);
    return true;
}

static int CountBytes(void *context, const uint8_t *, uint32_t count)
{
    *(uint32_t *)context += count;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t *file = (uint8_t *)malloc(size ? size : 1);
    memcpy(file, data, size);
    size_t imageEnd = ImageEndOffset(file, size);
    // What is not a PE image counts as carrying something; an image that ends the file never.
    bool appended = HasAppendedData(file, size, size);
    if ((imageEnd == 0 && !appended) || (imageEnd != 0 && imageEnd >= size && appended))
        abort();
    size_t start = LocateArchive(file, size);
    // Walks stop where a signature begins.
    size_t limit = ArchiveLimit(file, size, size);
    if (start > limit)
        abort();
    static uint8_t window[4096];
    Input input = {file, size};
    ArchiveReader reader = {ReadInputAt, &input, (uint32_t)size, window, sizeof window, 0, 0};
    // The reader takes the image headers from its first window only.
    size_t head = size < sizeof window ? size : sizeof window;
    bool headersInWindow =
        ImageEndOffset(file, head) == imageEnd && ArchiveLimit(file, head, size) == limit;
    if (LocateArchiveThrough(&reader) != start && headersInWindow)
        abort();
    if (headersInWindow && start && reader.length != limit)
        abort();
    size = limit;
    ArchiveIndexData index = {};
    if (start)
        BuildArchiveIndex(&reader, (uint32_t)start, &index);
    if (start) {
        size_t cursor = start;
        ArchiveEntry e;
        int count = 0;
        bool compressed = false; // a catalogue or a block among the entries
        while (NextArchiveEntry(file, size, &cursor, &e) == kWalkEntry) {
            if (e.dataOffset + e.size > size || cursor > size)
                abort();
            bool packed = IsPackedBlock(&e) || IsPackedCatalogue(&e);
            compressed = compressed || packed;
            if (count++ < 8) {
                char name[64];
                size_t n = e.nameLength < sizeof name - 1 ? e.nameLength : sizeof name - 1;
                memcpy(name, e.name, n);
                name[n] = 0;
                ArchiveEntry found = {};
                if (!FindArchiveEntry(file, size, start, name, &found) && n == e.nameLength)
                    abort(); // a complete name read by the walk must be found again
                ArchiveIndexEntry indexed;
                // A compressed archive's catalogue and blocks are not entries the index names.
                packed = packed || IsPackedBlock(&found) || IsPackedCatalogue(&found);
                if (headersInWindow && n == e.nameLength && !packed &&
                    (!FindIndexedEntry(&index, name, &indexed) ||
                     indexed.dataOffset != found.dataOffset))
                    abort(); // the index finds the same first entry
            }
        }
        ArchiveEntry found;
        FindArchiveEntry(file, size, start, "Setup.vis", &found);

        // The checksum record: verified in memory, and read by the index alike.
        ArchiveEntry damaged;
        SumCheck sums = VerifyArchiveSums(file, size, start, &damaged);
        if (sums == kSumsDamaged && damaged.dataOffset + damaged.size > size)
            abort();
        // The tools' verdict is the engine's: a record that does not fit, or no end marker,
        // is an archive that the engine's start-up refuses.
        if (headersInWindow && (sums == kSumsMalformed || sums == kSumsUnended) &&
            index.ending == kArchiveEndMarker)
            abort();
        // A catalogue that is damaged or does not hold together makes the archive one the
        // engine refuses, whatever the record says.
        if (headersInWindow && !compressed && (sums == kSumsAbsent || sums == kSumsDamaged) &&
            index.ending != kArchiveEndMarker)
            abort();
        if (sums == kSumsGood && headersInWindow) {
            if (index.ending != kArchiveEndMarker && !compressed)
                abort(); // a record that checks out marks the archive whole
            for (uint32_t i = 0; i < index.count; i++) {
                const ArchiveIndexEntry &ie = index.entries[i];
                const PackedBlockData *b =
                    ie.block == kStoredEntry ? nullptr : &index.blocks[ie.block];
                if (b ? !b->hasSum || b->sum != Crc32c(0, file + b->dataOffset, b->size)
                      : !ie.hasSum || ie.sum != Crc32c(0, file + ie.dataOffset, ie.size))
                    abort(); // the index carries the record's sums
            }
        }
    }
    // Entries the index took from a catalogue lie inside their blocks, and read through the
    // packed reader (for small windows) in small pieces: whole, or not at all.
    static uint8_t buffers[2][4096];
    PackedReader packed = {ReadInputAt,
                           &input,
                           index.blocks,
                           index.blockCount,
                           index.window,
                           nullptr,
                           0,
                           buffers[0],
                           buffers[1],
                           sizeof buffers[0],
                           kStoredEntry,
                           0,
                           0,
                           0,
                           false,
                           0,
                           0,
                           {}};
    if (index.window <= (1u << 20)) {
        packed.workspaceSize = ZstdWorkspaceSize(index.window);
        packed.workspace = malloc(packed.workspaceSize);
    }
    for (uint32_t i = 0; i < index.count; i++) {
        const ArchiveIndexEntry &ie = index.entries[i];
        if (ie.block == kStoredEntry)
            continue;
        if (ie.block >= index.blockCount ||
            (uint64_t)ie.dataOffset + ie.size > index.blocks[ie.block].decodedSize)
            abort();
        uint32_t got = 0;
        if (packed.workspace && i < 8 &&
            ReadPackedBytes(&packed, ie.block, ie.dataOffset, ie.size, CountBytes, &got) == 0 &&
            got != ie.size)
            abort();
    }
    free(packed.workspace);
    FreeArchiveIndex(&index);
    // The catalogue reader on the same bytes: what it accepts, its walk reads again exactly.
    PackedCatalogue catalogue;
    if (ReadPackedCatalogue(file, size, &catalogue)) {
        size_t at = catalogue.entriesAt;
        PackedEntry p;
        uint32_t entries = 0;
        while (NextPackedEntry(&catalogue, &at, &p) == kWalkEntry) {
            if ((uint64_t)p.offset + p.size > PackedBlockSize(&catalogue, p.block) ||
                p.name + p.nameLength >= (const char *)file + size)
                abort();
            entries++;
        }
        if (entries != catalogue.entryCount || at != size)
            abort();
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
