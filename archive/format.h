// The setup data archive appended to the engine: header magic, entries {name NUL, 32-bit
// little-endian size, bytes}, end marker. The walker works on a bounded byte range and never
// reads outside it; the packer and the engine share it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/pe_image.h"
#include "base/types.h"

extern const char kArchiveHeader[]; // "<Setup Data Header>", stored without NUL
extern const char kArchiveEnd[];    // "<Setup Data End>", stored without NUL
enum { kArchiveHeaderLength = 19, kArchiveEndLength = 16 };

// The integrity record the packer writes after the end marker: the tag "<Setup Data Sums>"
// (without NUL), a 32-bit count of entries, then the CRC-32C of each entry's data in archive
// order, 32 bits each, little-endian. A signature added later goes after it. A setup without
// the record (packed before it existed) is read as before, without checks.
extern const char kIntegrityTag[];
enum { kIntegrityTagLength = 17 };

struct ArchiveEntry {
    const char *name; // points into the data; nameLength bytes, followed by the NUL
    size_t nameLength;
    size_t dataOffset; // offset of the first data byte
    uint32_t size;
};

enum WalkStep {
    kWalkEntry,  // an entry was read and the cursor moved past it
    kWalkEnd,    // the cursor is at the end of the data, or at the end marker
    kWalkBroken, // the entry at the cursor does not fit in the data
};

// Where the bytes of an engine file's archive end: at the certificate table when the file is
// signed (its certificate table lies at the end of the file, after the image), else at the end
// of the file. The first `available` bytes of the file, its headers at least, are at `data`.
// Authenticode tools align the table to 8 bytes with up to 7 zero bytes after the file's last
// byte; the walkers below end their walk at such padding (fewer than 8 zero bytes before an end
// that is a multiple of 8), which no entry can be.
size_t ArchiveLimit(const uint8_t *data, size_t available, size_t fileSize);

// Whether an engine file of `length` bytes, whose first `size` bytes are `data`, holds anything
// after its image: an archive, or the damaged remains of one. The symbol table that an
// unstripped build (a test program) carries after its image does not count; the shipped engine
// is stripped. A file that is not a PE image counts as holding something.
bool HasAppendedData(const uint8_t *data, size_t size, uint64_t length);

// Scans backward for the header magic at positions size-19 down to max(lowest, 1) and returns
// the offset just after the last occurrence, or 0 when there is none. Passing the image end as
// `lowest` keeps the engine's own copy of the magic from being taken for an archive.
size_t FindArchiveStart(const uint8_t *data, size_t size, size_t lowest);

// Reads the entry at *cursor. On kWalkEntry *cursor moves to the next entry. `size` is where
// the archive ends (ArchiveLimit).
WalkStep NextArchiveEntry(const uint8_t *data, size_t size, size_t *cursor, ArchiveEntry *entry);

// Walks from `start` to the first entry whose name equals `name` ignoring ASCII case. False when
// no entry has that name or the walk meets an entry that does not fit.
bool FindArchiveEntry(const uint8_t *data, size_t size, size_t start, const char *name,
                      ArchiveEntry *entry);

enum SumCheck {
    kSumsAbsent,    // no record after the end marker
    kSumsGood,      // every entry matches its checksum
    kSumsDamaged,   // an entry's bytes do not match its checksum
    kSumsMalformed, // a record whose count differs from the entries, or that runs past the file
    kSumsUnended,   // no end marker: the entries run to the end (an uninstaller; a cut setup)
};

// Checks the record of an archive held in memory, walking from `start` (after the header
// magic), by the engine's rule: bytes after the end marker that begin like the record's tag are
// a record, which must fit. On kSumsDamaged *damaged is the first entry that does not match.
SumCheck VerifyArchiveSums(const uint8_t *data, size_t size, size_t start, ArchiveEntry *damaged);

// Archive start of an engine file: where the packer puts it, right after the magic at the end
// of the image; failing that, the last magic after the image end (or anywhere after byte 0 when
// the data is not a PE image), and before a signature. 0 when the file carries no archive.
size_t LocateArchive(const uint8_t *data, size_t size);

// Reading an engine file in pieces, for a process that does not hold it in memory: `readAt`
// fills `buffer` with the `count` bytes at `offset` and returns false unless it read them all.
typedef bool (*ReadAtFunction)(void *context, uint32_t offset, void *buffer, uint32_t count);

struct ArchiveReader {
    ReadAtFunction readAt;
    void *context;
    uint32_t length;   // the file's length; LocateArchiveThrough cuts it to ArchiveLimit
    uint8_t *window;   // a reused buffer of `capacity` bytes (at least 4 KiB)
    uint32_t capacity; //
    uint32_t windowAt; // the file bytes the window holds: [windowAt, windowAt + windowCount)
    uint32_t windowCount;
};

// LocateArchive through the reader: the image headers and the magic at the image end are read,
// and the backward scan, when needed, goes through the window in pieces. Sets reader->length to
// where the archive ends (ArchiveLimit), so that nothing after reads a signature.
uint32_t LocateArchiveThrough(ArchiveReader *reader);

// Walks the archive from `start` once, as FindArchiveEntry would, and indexes every entry up to
// the end marker or the first entry that does not fit; index->ending tells which (an
// ArchiveEnding; an integrity record that begins after the marker but does not fit the file or
// the entries counts as cut). Entries get their checksums from the record. Names longer than
// kIndexedNameLimit are left out (nothing the engine looks up is that long). False when memory ran
// out; the entries indexed until then stay usable. The index is freed with FreeArchiveIndex.
enum { kIndexedNameLimit = 1024 };
bool BuildArchiveIndex(ArchiveReader *reader, uint32_t start, ArchiveIndexData *index);

// The first entry named `name` ignoring ASCII case, in O(log n).
bool FindIndexedEntry(const ArchiveIndexData *index, const char *name, ArchiveIndexEntry *entry);

void FreeArchiveIndex(ArchiveIndexData *index);

// A compressed archive is walked as any other. Its entries are the uninstall script, stored as
// in every archive (the uninstaller keeps it), the catalogue, then the blocks: each block is one
// Zstandard frame (RFC 8878) whose decoded bytes are the data of one or more entries back to
// back. The integrity record sums the stored bytes of each of them, frames included. Catalogue:
//   32-bit window: the largest window of any block's frame, at most kPackedWindowLimit
//   32-bit block count, then each block's decoded size (32 bits)
//   32-bit entry count, then each entry: name, NUL, 32-bit block number, 32-bit offset of its
//   first byte in the block's decoded bytes, 32-bit size
// filling the catalogue exactly. Names begin with '<', which no file name holds, so that no
// script reaches them.
extern const char kPackedCatalogueName[]; // "<Packed Entries>"
extern const char kPackedBlockName[];     // "<Packed Block>"
enum { kPackedWindowLimit = 1 << 25 };

struct PackedCatalogue {
    const uint8_t *data;
    size_t size;
    uint32_t window;
    uint32_t blockCount;
    uint32_t entryCount;
    size_t entriesAt; // offset of the first entry in data
};

struct PackedEntry {
    const char *name; // nameLength bytes, followed by the NUL
    size_t nameLength;
    uint32_t block;
    uint32_t offset;
    uint32_t size;
};

// Checks a whole catalogue: the window, every entry inside its block, the counts, nothing left
// over. False when any of it does not hold.
bool ReadPackedCatalogue(const uint8_t *data, size_t size, PackedCatalogue *catalogue);

// The decoded size of a block of a catalogue ReadPackedCatalogue accepted.
uint32_t PackedBlockSize(const PackedCatalogue *catalogue, uint32_t block);

// The entry at *cursor (start at catalogue->entriesAt); kWalkEnd after the last.
WalkStep NextPackedEntry(const PackedCatalogue *catalogue, size_t *cursor, PackedEntry *entry);

// The stored entry at *cursor is the catalogue, or a block.
bool IsPackedCatalogue(const ArchiveEntry *entry);
bool IsPackedBlock(const ArchiveEntry *entry);

// Patch data: records {32-bit offset, 32-bit length, length bytes} back to back, filling the
// data exactly. Offsets are signed 32-bit distances into the target.
struct PatchRecord {
    uint32_t offset;
    uint32_t length;
    const uint8_t *bytes;
};

enum PatchStep {
    kPatchRecord, // a record was read and the cursor moved past it
    kPatchEnd,    // the cursor is at the end of the data
    kPatchBroken, // the record at the cursor runs past the data, or its offset is 2^31 or more
};

PatchStep NextPatchRecord(const uint8_t *data, size_t size, size_t *cursor, PatchRecord *record);
