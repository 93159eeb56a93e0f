#include "tools/contents.h"

#include <string.h>

#include "archive/zstd.h"
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
    for (uint32_t i = 0; i < c.blockCount; i++)
        contents->decodedSizes.push_back(PackedBlockSize(&c, i));
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

bool ReadContentEntry(const std::vector<uint8_t> &file, ArchiveContents *contents,
                      const ContentEntry &entry, std::vector<uint8_t> *bytes, std::string *error)
{
    if (entry.block == kStoredEntry) {
        bytes->assign(file.begin() + (long)entry.offset,
                      file.begin() + (long)(entry.offset + entry.size));
        return true;
    }
    if (contents->decodedBlock != entry.block) {
        const ArchiveEntry &frame = contents->blocks[entry.block];
        std::vector<uint8_t> workspace(ZstdWorkspaceSize(contents->window));
        contents->decodedBlock = kStoredEntry;
        contents->decoded.resize(contents->decodedSizes[entry.block]);
        size_t made = 0;
        int status = ZstdDecodeBuffer(file.data() + frame.dataOffset, frame.size,
                                      contents->decoded.data(), contents->decoded.size(), &made,
                                      workspace.data(), workspace.size(), contents->window);
        if (status != 0 || made != contents->decoded.size()) {
            *error = "entry " + entry.name + " is damaged: its block does not decode (" +
                     std::to_string(status) + ")";
            return false;
        }
        contents->decodedBlock = entry.block;
    }
    bytes->assign(contents->decoded.begin() + (long)entry.offset,
                  contents->decoded.begin() + (long)(entry.offset + entry.size));
    return true;
}
