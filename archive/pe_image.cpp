#include "archive/pe_image.h"

#include <stdlib.h>
#include <string.h>

#include "base/bytes.h"

enum {
    kDosHeaderSize = 0x40,
    kFileHeaderSize = 20,
    kOptionalInitializedData = 8, // SizeOfInitializedData
    kOptionalSectionAlignment = 32,
    kOptionalFileAlignment = 36,
    kOptionalSizeOfImage = 56,
    kOptionalSizeOfHeaders = 60,
    kOptionalChecksum = 64,
    kResourceDirectorySize = 16, // a directory's header; its 8-byte entries follow
    kResourceEntrySize = 8,
    kResourceDataEntrySize = 16,
};

const uint32_t kHighBit = 0x80000000u; // a named entry, or an entry that leads to a directory

size_t ImageEndOffset(const uint8_t *data, size_t size)
{
    if (size < kDosHeaderSize || data[0] != 'M' || data[1] != 'Z')
        return 0;
    size_t pe = ReadLe32(data + 0x3c);
    if (pe > size || size - pe < 4 + kFileHeaderSize || memcmp(data + pe, "PE\0\0", 4) != 0)
        return 0;
    const uint8_t *fileHeader = data + pe + 4;
    size_t sections = ReadLe16(fileHeader + 2);
    size_t optionalSize = ReadLe16(fileHeader + 16);
    size_t table = pe + 4 + kFileHeaderSize + optionalSize;
    if (table > size || (size - table) / kPeSectionHeaderSize < sections)
        return 0;
    uint64_t end = table + sections * kPeSectionHeaderSize;
    for (size_t i = 0; i < sections; i++) {
        const uint8_t *s = data + table + i * kPeSectionHeaderSize;
        uint64_t rawSize = ReadLe32(s + 16);
        uint64_t rawPointer = ReadLe32(s + 20);
        if (rawSize > 0 && rawPointer + rawSize > end)
            end = rawPointer + rawSize;
    }
    // An end beyond what size_t holds is beyond the data anyway.
    return end > SIZE_MAX ? SIZE_MAX : (size_t)end;
}

bool ReadPeHeaders(const uint8_t *data, size_t size, PeHeaders *h)
{
    if (size < kDosHeaderSize || data[0] != 'M' || data[1] != 'Z')
        return false;
    size_t pe = ReadLe32(data + 0x3c);
    if (pe > size || size - pe < 4 + kFileHeaderSize || memcmp(data + pe, "PE\0\0", 4) != 0)
        return false;
    const uint8_t *fileHeader = data + pe + 4;
    size_t optional = pe + 4 + kFileHeaderSize;
    size_t optionalSize = ReadLe16(fileHeader + 16);
    if (optionalSize < kOptionalChecksum + 4 || size - optional < optionalSize)
        return false;
    uint16_t magic = ReadLe16(data + optional);
    if (magic != 0x10b && magic != 0x20b)
        return false;
    h->plus = magic == 0x20b;
    // The directory count and the directories sit 16 bytes further in PE32+, whose image base
    // and stack and heap sizes are 64 bits wide.
    size_t countField = h->plus ? 108 : 92;
    size_t directories = countField + 4;
    h->directoryCount = 0;
    if (optionalSize >= directories) {
        uint32_t room = (uint32_t)((optionalSize - directories) / 8);
        uint32_t count = ReadLe32(data + optional + countField);
        h->directoryCount = count < room ? count : room;
    }
    h->sectionTable = optional + optionalSize;
    h->sectionCount = ReadLe16(fileHeader + 2);
    if ((size - h->sectionTable) / kPeSectionHeaderSize < h->sectionCount)
        return false;
    h->optionalHeader = optional;
    h->checksumField = optional + kOptionalChecksum;
    h->directories = optional + directories;
    h->sectionAlignment = ReadLe32(data + optional + kOptionalSectionAlignment);
    h->fileAlignment = ReadLe32(data + optional + kOptionalFileAlignment);
    h->sizeOfHeaders = ReadLe32(data + optional + kOptionalSizeOfHeaders);
    return true;
}

void PeSumAdd(PeSum *sum, const void *bytes, size_t count)
{
    const uint8_t *p = (const uint8_t *)bytes;
    uint64_t words = sum->words;
    size_t i = 0;
    // A piece that begins at an odd offset completes the word the last piece began.
    if ((sum->length & 1) && count > 0)
        words += (uint64_t)p[i++] << 8;
    for (; count - i >= 2; i += 2)
        words += (uint32_t)(p[i] | p[i + 1] << 8);
    if (i < count)
        words += p[i];
    // Folding the upper half in keeps the sum the same modulo 0xFFFF (which divides 2^32 - 1)
    // and far from overflowing.
    sum->words = (words & 0xFFFFFFFFu) + (words >> 32);
    sum->length += count;
}

void PeSumSkip(PeSum *sum, size_t count)
{
    sum->length += count;
}

uint32_t PeSumValue(const PeSum *sum)
{
    uint64_t folded = sum->words;
    while (folded >> 16)
        folded = (folded & 0xFFFF) + (folded >> 16);
    return (uint32_t)folded + (uint32_t)sum->length;
}

bool ComputePeChecksum(const uint8_t *data, size_t size, uint32_t *checksum)
{
    PeHeaders h;
    if (!ReadPeHeaders(data, size, &h))
        return false;
    PeSum sum = {0, 0};
    PeSumAdd(&sum, data, h.checksumField);
    PeSumSkip(&sum, 4);
    PeSumAdd(&sum, data + h.checksumField + 4, size - h.checksumField - 4);
    *checksum = PeSumValue(&sum);
    return true;
}

bool WritePeChecksum(uint8_t *data, size_t size)
{
    uint32_t checksum;
    PeHeaders h;
    if (!ComputePeChecksum(data, size, &checksum) || !ReadPeHeaders(data, size, &h))
        return false;
    WriteLe32(data + h.checksumField, checksum);
    return true;
}

// Offset of data directory `index` (8 bytes: address or offset, then size), when the optional
// header holds it.
static bool DirectoryAt(const uint8_t *data, size_t size, uint32_t index, size_t *at)
{
    PeHeaders h;
    if (!ReadPeHeaders(data, size, &h) || index >= h.directoryCount)
        return false;
    *at = h.directories + (size_t)index * 8;
    return true;
}

bool ReadCertificateTable(const uint8_t *data, size_t size, uint32_t *offset, uint32_t *length)
{
    size_t at;
    if (!DirectoryAt(data, size, kPeDirectoryCertificates, &at))
        return false;
    *offset = ReadLe32(data + at);
    *length = ReadLe32(data + at + 4);
    return true;
}

bool ClearCertificateTable(uint8_t *data, size_t size)
{
    size_t at;
    if (!DirectoryAt(data, size, kPeDirectoryCertificates, &at))
        return false;
    memset(data + at, 0, 8);
    return true;
}

// The file offset of an address in memory that lies in a section's file data, and how many
// bytes of that data (inside `size`) follow it.
static bool OffsetOfAddress(const uint8_t *data, size_t size, const PeHeaders &h, uint32_t address,
                            size_t *offset, size_t *available)
{
    for (uint32_t i = 0; i < h.sectionCount; i++) {
        const uint8_t *s = data + h.sectionTable + (size_t)i * kPeSectionHeaderSize;
        uint32_t virtualAddress = ReadLe32(s + 12);
        uint32_t rawSize = ReadLe32(s + 16);
        uint64_t raw = ReadLe32(s + 20);
        if (address < virtualAddress || address - virtualAddress >= rawSize)
            continue;
        uint64_t at = raw + (address - virtualAddress);
        uint64_t end = raw + rawSize < size ? raw + rawSize : size;
        if (at >= end)
            return false;
        *offset = (size_t)at;
        *available = (size_t)(end - at);
        return true;
    }
    return false;
}

// The resource tree as it lies in the file: offsets in it count from its root directory.
struct ResourceView {
    const uint8_t *root;
    size_t size; // bytes from the root to the end of its section's data
};

static bool ResourceViewOf(const uint8_t *data, size_t size, const PeHeaders &h, ResourceView *view)
{
    if (h.directoryCount <= kPeDirectoryResources)
        return false;
    uint32_t address = ReadLe32(data + h.directories + kPeDirectoryResources * 8);
    size_t offset;
    size_t available;
    if (!OffsetOfAddress(data, size, h, address, &offset, &available))
        return false;
    view->root = data + offset;
    view->size = available;
    return true;
}

// The entries of the directory at `at`: where they begin and how many there are.
static bool ReadDirectory(const ResourceView &view, uint32_t at, size_t *entries, uint32_t *count)
{
    if (at > view.size || view.size - at < kResourceDirectorySize)
        return false;
    const uint8_t *d = view.root + at;
    *count = (uint32_t)ReadLe16(d + 12) + ReadLe16(d + 14);
    *entries = (size_t)at + kResourceDirectorySize;
    return (view.size - *entries) / kResourceEntrySize >= *count;
}

// The target of the entry with that ID in the directory at `at` (the first entry with an ID
// for kPeAnyLanguage), which must lead to a directory or not as `directory` says.
static bool FindChild(const ResourceView &view, uint32_t at, uint32_t id, bool directory,
                      uint32_t *target)
{
    size_t entries;
    uint32_t count;
    if (!ReadDirectory(view, at, &entries, &count))
        return false;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *e = view.root + entries + (size_t)i * kResourceEntrySize;
        uint32_t name = ReadLe32(e);
        uint32_t to = ReadLe32(e + 4);
        if ((name & kHighBit) || (id != kPeAnyLanguage && name != id))
            continue;
        if (((to & kHighBit) != 0) != directory)
            return false;
        *target = to & ~kHighBit;
        return true;
    }
    return false;
}

bool FindResourceData(const uint8_t *data, size_t size, uint32_t type, uint32_t id,
                      uint32_t language, size_t *offset, uint32_t *length)
{
    PeHeaders h;
    ResourceView view;
    uint32_t names;
    uint32_t languages;
    uint32_t entry;
    if (!ReadPeHeaders(data, size, &h) || !ResourceViewOf(data, size, h, &view) ||
        !FindChild(view, 0, type, true, &names) || !FindChild(view, names, id, true, &languages) ||
        !FindChild(view, languages, language, false, &entry) || entry > view.size ||
        view.size - entry < kResourceDataEntrySize)
        return false;
    uint32_t address = ReadLe32(view.root + entry);
    uint32_t bytes = ReadLe32(view.root + entry + 4);
    size_t available;
    if (!OffsetOfAddress(data, size, h, address, offset, &available) || available < bytes)
        return false;
    *length = bytes;
    return true;
}

// ---- Writing the resource tree anew ----

// A node of the tree being rewritten: the root, a type, an ID under a type, or a language (a
// leaf, whose target is a data entry). Nodes are kept level by level in the order they are
// written, so the children of each node are consecutive in the next level.
struct ResourceNode {
    uint32_t name;   // an ID, or kHighBit | offset of the name's text in the old tree
    uint32_t target; // offset of its old directory or data entry, or kNoTarget / kNewData
    uint32_t first;  // its children: nodes [first, first + count)
    uint32_t count;
    uint32_t at;     // offset of its directory (or data entry) in the new tree
    uint32_t nameAt; // offset of its name's text in the new tree, for a named node
    bool onPath;     // on the way from the root to the entry being added
};

const uint32_t kNoTarget = 0xFFFFFFFFu; // a directory made for the added entry
const uint32_t kNewData = 0xFFFFFFFEu;  // the added entry's data
const uint32_t kMaxResourceNodes = 1u << 16;

struct ResourceTree {
    ResourceNode *nodes;
    uint32_t used;
    uint32_t capacity;
    uint32_t level[5]; // nodes of level d: [level[d], level[d + 1]); 0 root, 3 languages
};

static bool AddNode(ResourceTree *tree, uint32_t name, uint32_t target, bool onPath)
{
    if (tree->used == tree->capacity) {
        if (tree->capacity == kMaxResourceNodes)
            return false;
        uint32_t grown = tree->capacity ? tree->capacity * 2 : 64;
        ResourceNode *bigger =
            (ResourceNode *)realloc(tree->nodes, (size_t)grown * sizeof(ResourceNode));
        if (!bigger)
            return false;
        tree->nodes = bigger;
        tree->capacity = grown;
    }
    ResourceNode n = {name, target, 0, 0, 0, 0, onPath};
    tree->nodes[tree->used++] = n;
    return true;
}

// Reads the old tree level by level, with the entry keyed by key[0..2] (type, ID, language)
// merged in: an ID entry goes after the named entries and among the IDs in rising order; an
// existing entry with that key gets the new data.
static PeEdit ReadTree(const ResourceView *view, const uint32_t key[3], ResourceTree *tree)
{
    if (!AddNode(tree, 0, view ? 0 : kNoTarget, true))
        return kPeTooManyEntries;
    tree->level[0] = 0;
    tree->level[1] = 1;
    for (int depth = 0; depth < 3; depth++) {
        bool leaves = depth == 2;
        uint32_t newTarget = leaves ? kNewData : kNoTarget;
        for (uint32_t n = tree->level[depth]; n < tree->level[depth + 1]; n++) {
            uint32_t first = tree->used;
            bool placed = !tree->nodes[n].onPath;
            size_t entries = 0;
            uint32_t count = 0;
            uint32_t at = tree->nodes[n].target;
            if (at != kNoTarget && !ReadDirectory(*view, at, &entries, &count))
                return kPeNotEditable;
            // The first entry with the key is the one a lookup finds: it leads on (or, for a
            // language, gets the new data). Without one, the key goes before the first higher
            // ID, where a lookup also meets it first.
            uint32_t match = count;
            for (uint32_t i = 0; i < count && !placed && match == count; i++) {
                if (ReadLe32(view->root + entries + (size_t)i * kResourceEntrySize) == key[depth])
                    match = i;
            }
            for (uint32_t i = 0; i < count; i++) {
                const uint8_t *e = view->root + entries + (size_t)i * kResourceEntrySize;
                uint32_t name = ReadLe32(e);
                uint32_t to = ReadLe32(e + 4);
                if (((to & kHighBit) == 0) != leaves)
                    return kPeNotEditable;
                to &= ~kHighBit;
                if (leaves && (to > view->size || view->size - to < kResourceDataEntrySize))
                    return kPeNotEditable;
                bool onPath = i == match;
                if (!placed && match == count && !(name & kHighBit) && name > key[depth]) {
                    if (!AddNode(tree, key[depth], newTarget, true))
                        return kPeTooManyEntries;
                    placed = true;
                }
                if (onPath) {
                    placed = true;
                    if (leaves)
                        to = kNewData;
                }
                if (!AddNode(tree, name, to, onPath))
                    return kPeTooManyEntries;
            }
            if (!placed && !AddNode(tree, key[depth], newTarget, true))
                return kPeTooManyEntries;
            tree->nodes[n].first = first;
            tree->nodes[n].count = tree->used - first;
        }
        tree->level[depth + 2] = tree->used;
    }
    return kPeEdited;
}

// Bytes of a name's text in the old tree (a 16-bit count of UTF-16 units, then the units), or
// 0 when it does not lie inside the tree.
static size_t NameBytes(const ResourceView *view, uint32_t name)
{
    uint32_t at = name & ~kHighBit;
    if (!view || at > view->size || view->size - at < 2)
        return 0;
    size_t bytes = 2 + (size_t)ReadLe16(view->root + at) * 2;
    return view->size - at >= bytes ? bytes : 0;
}

// Gives every node its place in the new tree: directories level by level, then the data
// entries, then the names' texts; the added data follows at *dataAt. False when a name lies
// outside the old tree.
static bool PlaceTree(const ResourceView *view, ResourceTree *tree, uint64_t *dataAt)
{
    uint64_t at = 0;
    for (uint32_t n = 0; n < tree->used; n++) {
        ResourceNode *node = &tree->nodes[n];
        node->at = (uint32_t)at;
        at += n < tree->level[3] ? kResourceDirectorySize + (uint64_t)node->count * 8
                                 : (uint64_t)kResourceDataEntrySize;
    }
    for (uint32_t n = 0; n < tree->used; n++) {
        ResourceNode *node = &tree->nodes[n];
        if (n == 0 || !(node->name & kHighBit))
            continue;
        size_t bytes = NameBytes(view, node->name);
        if (bytes == 0 || at > 0x7FFFFFFF)
            return false;
        node->nameAt = (uint32_t)at;
        at += bytes;
    }
    *dataAt = (at + 7) & ~(uint64_t)7;
    return true;
}

static void WriteTree(const ResourceView *view, const ResourceTree *tree, uint8_t *out,
                      uint32_t dataAddress, uint32_t count)
{
    for (uint32_t n = 0; n < tree->used; n++) {
        const ResourceNode *node = &tree->nodes[n];
        if (n >= tree->level[3]) {
            uint8_t *entry = out + node->at;
            if (node->target == kNewData) {
                WriteLe32(entry, dataAddress);
                WriteLe32(entry + 4, count);
                memset(entry + 8, 0, 8);
            } else {
                memcpy(entry, view->root + node->target, kResourceDataEntrySize);
            }
            continue;
        }
        uint8_t *directory = out + node->at;
        // Characteristics, time stamp and version stay as they were.
        if (node->target == kNoTarget)
            memset(directory, 0, 12);
        else
            memcpy(directory, view->root + node->target, 12);
        uint16_t named = 0;
        bool leaves = n >= tree->level[2];
        for (uint32_t i = 0; i < node->count; i++) {
            const ResourceNode *child = &tree->nodes[node->first + i];
            uint8_t *entry = directory + kResourceDirectorySize + (size_t)i * 8;
            bool isNamed = (child->name & kHighBit) != 0;
            named += isNamed;
            WriteLe32(entry, isNamed ? kHighBit | child->nameAt : child->name);
            WriteLe32(entry + 4, leaves ? child->at : kHighBit | child->at);
            if (isNamed)
                memcpy(out + child->nameAt, view->root + (child->name & ~kHighBit),
                       NameBytes(view, child->name));
        }
        WriteLe16(directory + 12, named);
        WriteLe16(directory + 14, (uint16_t)(node->count - named));
    }
}

static uint64_t AlignUp(uint64_t value, uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

static bool IsPowerOfTwo(uint32_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// Checks the image's layout for one more section and finds where it goes: *raw in the file,
// *address in memory. The section header goes at h.sectionTable + count * 40.
static PeEdit PlaceSection(const uint8_t *image, size_t size, const PeHeaders &h, uint64_t *raw,
                           uint64_t *address)
{
    if (h.sectionCount == 0xFFFF || !IsPowerOfTwo(h.fileAlignment) || h.fileAlignment < 512 ||
        h.fileAlignment > 65536 || !IsPowerOfTwo(h.sectionAlignment) || h.sectionAlignment < 4096 ||
        h.sectionAlignment < h.fileAlignment || ImageEndOffset(image, size) != size)
        return kPeNotEditable;
    uint64_t headerEnd = h.sectionTable + ((uint64_t)h.sectionCount + 1) * kPeSectionHeaderSize;
    uint64_t firstData = h.sizeOfHeaders;
    uint64_t dataEnd = 0;
    // The loader maps the headers, then each section's virtual size (its file size when that is
    // 0) rounded up to the alignment, and wants each section to begin where the last one ends.
    *address = AlignUp(h.sizeOfHeaders, h.sectionAlignment);
    for (uint32_t i = 0; i < h.sectionCount; i++) {
        const uint8_t *s = image + h.sectionTable + (size_t)i * kPeSectionHeaderSize;
        uint64_t virtualSize = ReadLe32(s + 8);
        uint64_t rawSize = ReadLe32(s + 16);
        uint64_t start = ReadLe32(s + 12);
        uint64_t end = AlignUp(start + (virtualSize ? virtualSize : rawSize), h.sectionAlignment);
        *address = end > *address ? end : *address;
        dataEnd = start + rawSize > dataEnd ? start + rawSize : dataEnd;
        if (rawSize > 0 && ReadLe32(s + 20) < firstData)
            firstData = ReadLe32(s + 20);
    }
    // A section whose file data reaches into the new one's addresses would make readers of the
    // file (rather than of the loaded image) find the new data in it.
    if (dataEnd > *address)
        return kPeNotEditable;
    if (headerEnd > firstData || headerEnd > size)
        return kPeNoHeaderRoom;
    // The header's place must be free: a bound import table, for one, may follow the table.
    for (uint64_t i = headerEnd - kPeSectionHeaderSize; i < headerEnd; i++) {
        if (image[i] != 0)
            return kPeNoHeaderRoom;
    }
    *raw = AlignUp(size, h.fileAlignment);
    return kPeEdited;
}

PeEdit AddResource(uint8_t *image, size_t size, size_t capacity, uint32_t type, uint32_t id,
                   uint16_t language, const uint8_t *bytes, uint32_t count, size_t *newSize)
{
    PeHeaders h;
    if (!ReadPeHeaders(image, size, &h) || h.directoryCount <= kPeDirectoryResources)
        return kPeNotEditable;
    uint64_t raw;
    uint64_t address;
    PeEdit result = PlaceSection(image, size, h, &raw, &address);
    if (result != kPeEdited)
        return result;
    size_t directory = h.directories + kPeDirectoryResources * 8;
    ResourceView old;
    const ResourceView *view = &old;
    if (ReadLe32(image + directory) == 0 && ReadLe32(image + directory + 4) == 0)
        view = nullptr; // no resources yet: the tree is made from the root up
    else if (!ResourceViewOf(image, size, h, &old))
        return kPeNotEditable;

    ResourceTree tree = {nullptr, 0, 0, {0, 0, 0, 0, 0}};
    const uint32_t key[3] = {type, id, language};
    uint64_t dataAt = 0;
    result = ReadTree(view, key, &tree);
    if (result == kPeEdited && !PlaceTree(view, &tree, &dataAt))
        result = kPeNotEditable;
    uint64_t length = dataAt + count;
    uint64_t rawSize = AlignUp(length, h.fileAlignment);
    uint64_t imageSize = address + AlignUp(length, h.sectionAlignment);
    if (result == kPeEdited &&
        (imageSize > 0xFFFFFFFFu || raw + rawSize > SIZE_MAX || raw + rawSize > 0xFFFFFFFFu))
        result = kPeNotEditable;
    if (result == kPeEdited && capacity < raw + rawSize) {
        *newSize = (size_t)(raw + rawSize);
        result = kPeNeedsRoom;
    }
    if (result != kPeEdited) {
        free(tree.nodes);
        return result;
    }

    // The section's content first: `bytes` may lie in the headers that change below.
    uint8_t *section = image + raw;
    memset(image + size, 0, (size_t)(raw + rawSize - size));
    memcpy(section + dataAt, bytes, count);
    WriteTree(view, &tree, section, (uint32_t)(address + dataAt), count);
    free(tree.nodes);

    uint8_t *header = image + h.sectionTable + (size_t)h.sectionCount * kPeSectionHeaderSize;
    memcpy(header, ".rsrc2\0\0", 8);
    WriteLe32(header + 8, (uint32_t)length);
    WriteLe32(header + 12, (uint32_t)address);
    WriteLe32(header + 16, (uint32_t)rawSize);
    WriteLe32(header + 20, (uint32_t)raw);
    WriteLe32(header + 36, 0x40000040u); // initialised data, readable
    WriteLe16(image + h.optionalHeader - kFileHeaderSize + 2, (uint16_t)(h.sectionCount + 1));
    uint8_t *optional = image + h.optionalHeader;
    WriteLe32(optional + kOptionalInitializedData,
              ReadLe32(optional + kOptionalInitializedData) + (uint32_t)rawSize);
    WriteLe32(optional + kOptionalSizeOfImage, (uint32_t)imageSize);
    WriteLe32(image + directory, (uint32_t)address);
    WriteLe32(image + directory + 4, (uint32_t)length);
    *newSize = (size_t)(raw + rawSize);
    return kPeEdited;
}
