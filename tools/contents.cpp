#include "tools/contents.h"

#include <string.h>

#include "base/text.h"

bool ReadArchiveContents(const std::vector<uint8_t> &file, size_t start, ArchiveContents *contents,
                         std::string *error)
{
    size_t cursor = start;
    ArchiveEntry e;
    ArchiveEntry catalogue = {};
    WalkStep step;
    while ((step = NextArchiveEntry(file.data(), file.size(), &cursor, &e)) == kWalkEntry) {
        if (IsPackedBlock(&e))
            contents->blocks.push_back(e);
        else if (IsPackedCatalogue(&e) && !catalogue.name)
            catalogue = e;
        else
            contents->entries.push_back(
                {std::string(e.name, e.nameLength), e.size, kStoredEntry, e.dataOffset});
    }
    if (step == kWalkBroken) {
        *error = "the entry at offset " + std::to_string(cursor) +
                 " does not fit in the file: the archive is damaged";
        return false;
    }
    if (!catalogue.name && contents->blocks.empty())
        return true;
    PackedCatalogue c;
    if (!catalogue.name ||
        !ReadPackedCatalogue(file.data() + catalogue.dataOffset, catalogue.size, &c) ||
        c.blockCount != contents->blocks.size()) {
        *error = "the catalogue of the compressed entries is damaged";
        return false;
    }
    contents->window = c.window;
    for (uint32_t i = 0; i < c.blockCount; i++) {
        const ArchiveEntry &b = contents->blocks[i];
        contents->packed.push_back(
            {(uint32_t)b.dataOffset, b.size, PackedBlockSize(&c, i), 0, 0, 0});
    }
    size_t at = c.entriesAt;
    PackedEntry p;
    while (NextPackedEntry(&c, &at, &p) == kWalkEntry)
        contents->entries.push_back({std::string(p.name, p.nameLength), p.size, p.block, p.offset});
    return true;
}

const ContentEntry *FindContentEntry(const ArchiveContents &contents, const char *name)
{
    for (const ContentEntry &e : contents.entries) {
        if (EqualIgnoringCase(e.name.c_str(), name))
            return &e;
    }
    return nullptr;
}

// The pieces the packed reader reads are small, so that the tools' reads cross many of its
// buffer boundaries.
const uint32_t kReaderBuffer = 1 << 16;

static bool ReadFileAt(void *context, uint32_t offset, void *buffer, uint32_t count)
{
    const std::vector<uint8_t> *file = (const std::vector<uint8_t> *)context;
    if (offset > file->size() || file->size() - offset < count)
        return false;
    memcpy(buffer, file->data() + offset, count);
    return true;
}

static int Append(void *context, const uint8_t *bytes, uint32_t count)
{
    std::vector<uint8_t> *out = (std::vector<uint8_t> *)context;
    out->insert(out->end(), bytes, bytes + count);
    return 0;
}

bool ReadContentEntry(const std::vector<uint8_t> &file, ArchiveContents *contents,
                      const ContentEntry &entry, std::vector<uint8_t> *bytes, std::string *error)
{
    bytes->clear();
    if (entry.block == kStoredEntry) {
        bytes->assign(file.begin() + (long)entry.offset,
                      file.begin() + (long)(entry.offset + entry.size));
        return true;
    }
    PackedReader *r = &contents->reader;
    if (contents->file != &file) {
        size_t workspace = ZstdWorkspaceSize(contents->window);
        contents->buffers.assign(workspace + 2 * (size_t)kReaderBuffer, 0);
        uint8_t *at = contents->buffers.data();
        *r = {ReadFileAt,
              (void *)&file,
              contents->packed.data(),
              (uint32_t)contents->packed.size(),
              contents->window,
              at,
              workspace,
              at + workspace,
              at + workspace + kReaderBuffer,
              kReaderBuffer,
              kStoredEntry,
              0,
              0,
              0,
              false,
              0,
              0,
              {}};
        contents->file = &file;
    }
    int status = ReadPackedBytes(r, entry.block, (uint32_t)entry.offset, entry.size, Append, bytes);
    if (status != 0 || bytes->size() != entry.size) {
        *error = "entry " + entry.name + " is damaged: its block does not decode";
        return false;
    }
    return true;
}

std::string DamageText(const std::vector<uint8_t> &file, const ArchiveEntry &damaged)
{
    std::string what = "entry " + std::string(damaged.name, damaged.nameLength);
    ArchiveContents contents;
    std::string error;
    size_t start = LocateArchive(file.data(), file.size());
    if (IsPackedBlock(&damaged) && ReadArchiveContents(file, start, &contents, &error)) {
        std::string names;
        for (const ContentEntry &e : contents.entries) {
            if (e.block != kStoredEntry &&
                contents.blocks[e.block].dataOffset == damaged.dataOffset)
                names += (names.empty() ? "" : ", ") + e.name;
        }
        what = "the compressed block of " + names;
    }
    return what + " is damaged: its bytes do not match its checksum";
}
