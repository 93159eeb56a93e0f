// What an archive held in memory holds, as the engine reads it: its stored entries and, in a
// compressed archive, the entries its catalogue lists, with their original sizes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/packed.h"

struct ContentEntry {
    std::string name;
    uint32_t size;
    uint32_t block; // kStoredEntry, or the block whose decoded bytes hold it
    size_t offset;  // of its first byte: in the file, or in the block's decoded bytes
};

struct ArchiveContents {
    std::vector<ContentEntry> entries; // in archive order
    std::vector<ArchiveEntry> blocks;
    uint32_t window = 0;
    std::vector<PackedBlockData> packed; // the blocks as the engine's reader takes them
    // The reader of the packed entries, made by the first read of one, and what it reads.
    std::vector<uint8_t> buffers;
    PackedReader reader = {};
    const std::vector<uint8_t> *file = nullptr;
};

// Walks the archive at `start` and reads its catalogue. False with *error when the walk meets
// an entry that does not fit (the entries up to it are listed) or the catalogue is damaged.
bool ReadArchiveContents(const std::vector<uint8_t> &file, size_t start, ArchiveContents *contents,
                         std::string *error);

// The first entry named `name` ignoring case, or null.
const ContentEntry *FindContentEntry(const ArchiveContents &contents, const char *name);

// The entry's bytes, decoded when it is packed. False with *error when its block does not
// decode to what the catalogue says.
bool ReadContentEntry(const std::vector<uint8_t> &file, ArchiveContents *contents,
                      const ContentEntry &entry, std::vector<uint8_t> *bytes, std::string *error);

// What list and check say of an entry whose stored bytes do not match its checksum; a damaged
// block is told with the entries it holds.
std::string DamageText(const std::vector<uint8_t> &file, const ArchiveEntry &damaged);
