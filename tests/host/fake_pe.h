// PE images for tests. FakePe: the least the archive walker looks at. FakeImage: an image with
// an optional header and resources, as the PE toolkit reads and edits them. FakeSign: what a
// signing tool does to a file.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

inline std::string FakePe(const std::string &content = "")
{
    const size_t sectionData = 0x200;
    const size_t sectionSize = 0x100 + content.size();
    std::string pe(sectionData + sectionSize, '\0');
    pe[0] = 'M';
    pe[1] = 'Z';
    pe[0x3c] = 0x40;
    memcpy(&pe[0x40], "PE\0\0", 4);
    pe[0x44] = (char)0x64; // machine x86-64
    pe[0x45] = (char)0x86;
    pe[0x46] = 1; // one section, no optional header
    char *section = &pe[0x40 + 24];
    section[16] = (char)(sectionSize & 0xff);
    section[17] = (char)(sectionSize >> 8);
    section[20] = (char)(sectionData & 0xff);
    section[21] = (char)(sectionData >> 8);
    memcpy(&pe[sectionData + 0x10], content.data(), content.size());
    return pe;
}

// One resource of a FakeImage. Type and name are numbers ("14") or names ("TEXT").
struct FakeResource {
    std::string type;
    std::string name;
    uint16_t language;
    std::string data;
};

inline std::vector<uint8_t> Bytes(const std::string &s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

enum { kFakePeOffset = 0x80, kFakeHeaderSize = 0x400, kFakeFileAlignment = 0x200 };

inline void PutLe(std::string *bytes, size_t at, uint64_t value, int width)
{
    for (int i = 0; i < width; i++)
        (*bytes)[at + i] = (char)(value >> (8 * i));
}

// The resource section for `resources` at address `address`, laid out plainly: directories
// level by level, data entries, names, data.
inline std::string FakeResourceSection(std::vector<FakeResource> resources, uint32_t address)
{
    auto isId = [](const std::string &s) {
        return !s.empty() &&
               std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    // Named entries first, by name; then IDs rising; languages rising.
    auto before = [&](const std::string &a, const std::string &b) {
        if (isId(a) != isId(b))
            return !isId(a);
        return isId(a) ? std::stoul(a) < std::stoul(b) : a < b;
    };
    std::stable_sort(resources.begin(), resources.end(),
                     [&](const FakeResource &a, const FakeResource &b) {
                         if (a.type != b.type)
                             return before(a.type, b.type);
                         if (a.name != b.name)
                             return before(a.name, b.name);
                         return a.language < b.language;
                     });
    struct Dir {
        std::vector<std::string> names; // entry keys
        std::vector<size_t> targets;    // child directory or resource index
    };
    std::vector<Dir> types(1), names, languages;
    for (size_t i = 0; i < resources.size(); i++) {
        const FakeResource &r = resources[i];
        if (types[0].names.empty() || types[0].names.back() != r.type) {
            types[0].names.push_back(r.type);
            types[0].targets.push_back(names.size());
            names.push_back({});
        }
        Dir &n = names.back();
        if (n.names.empty() || n.names.back() != r.name) {
            n.names.push_back(r.name);
            n.targets.push_back(languages.size());
            languages.push_back({});
        }
        languages.back().names.push_back(std::to_string(r.language));
        languages.back().targets.push_back(i);
    }
    auto dirSize = [](const Dir &d) { return 16 + 8 * d.names.size(); };
    std::vector<size_t> nameAt, languageAt;
    size_t at = dirSize(types[0]);
    for (const Dir &d : names)
        nameAt.push_back(at), at += dirSize(d);
    for (const Dir &d : languages)
        languageAt.push_back(at), at += dirSize(d);
    size_t entriesAt = at;
    at += 16 * resources.size();
    std::string strings;
    std::vector<size_t> dataAt;
    size_t stringsAt = at;
    std::string section(at, '\0');
    auto key = [&](const std::string &k) -> uint32_t {
        if (isId(k))
            return (uint32_t)std::stoul(k);
        size_t offset = stringsAt + strings.size();
        strings += std::string{(char)k.size(), 0};
        for (char c : k)
            strings += std::string{c, 0};
        return 0x80000000u | (uint32_t)offset;
    };
    auto writeDir = [&](size_t dirAt, const Dir &d, const std::vector<size_t> &childAt, bool leaf) {
        size_t named = std::count_if(d.names.begin(), d.names.end(),
                                     [&](const std::string &k) { return !isId(k); });
        PutLe(&section, dirAt + 12, named, 2);
        PutLe(&section, dirAt + 14, d.names.size() - named, 2);
        for (size_t i = 0; i < d.names.size(); i++) {
            PutLe(&section, dirAt + 16 + 8 * i, key(d.names[i]), 4);
            PutLe(&section, dirAt + 20 + 8 * i,
                  leaf ? entriesAt + 16 * d.targets[i] : 0x80000000u | childAt[d.targets[i]], 4);
        }
    };
    writeDir(0, types[0], nameAt, false);
    for (size_t i = 0; i < names.size(); i++)
        writeDir(nameAt[i], names[i], languageAt, false);
    for (size_t i = 0; i < languages.size(); i++)
        writeDir(languageAt[i], languages[i], {}, true);
    section += strings;
    for (size_t i = 0; i < resources.size(); i++) {
        section.resize((section.size() + 3) & ~(size_t)3, '\0');
        PutLe(&section, entriesAt + 16 * i, address + section.size(), 4);
        PutLe(&section, entriesAt + 16 * i + 4, resources[i].data.size(), 4);
        section += resources[i].data;
    }
    return section;
}

// A PE32+ (or PE32) image laid out like the engine's end: a data section holding `data`, the
// resource section, and a relocation section last. No checksum, no signature.
inline std::string FakeImage(const std::vector<FakeResource> &resources, bool plus = true,
                             const std::string &data = std::string("SetupMode:Setup\0", 16))
{
    const size_t optionalSize = plus ? 240 : 224;
    const size_t table = kFakePeOffset + 24 + optionalSize;
    auto align = [](size_t v, size_t a) { return (v + a - 1) / a * a; };
    struct Section {
        const char *name;
        std::string bytes;
    } sections[] = {{".data", data}, {".rsrc", ""}, {".reloc", std::string(0x30, '\x11')}};
    std::string image(kFakeHeaderSize, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    PutLe(&image, 0x3c, kFakePeOffset, 4);
    memcpy(&image[kFakePeOffset], "PE\0\0", 4);
    PutLe(&image, kFakePeOffset + 4, plus ? 0x8664 : 0x14c, 2);
    PutLe(&image, kFakePeOffset + 6, 3, 2);
    PutLe(&image, kFakePeOffset + 20, optionalSize, 2);
    const size_t optional = kFakePeOffset + 24;
    PutLe(&image, optional, plus ? 0x20b : 0x10b, 2);
    PutLe(&image, optional + 32, 0x1000, 4);
    PutLe(&image, optional + 36, kFakeFileAlignment, 4);
    PutLe(&image, optional + 60, kFakeHeaderSize, 4);
    const size_t directories = optional + (plus ? 112 : 96);
    PutLe(&image, directories - 4, 16, 4);
    uint32_t address = 0x1000;
    for (size_t i = 0; i < 3; i++) {
        Section &s = sections[i];
        if (i == 1) {
            s.bytes = FakeResourceSection(resources, address);
            PutLe(&image, directories + 2 * 8, address, 4);
            PutLe(&image, directories + 2 * 8 + 4, s.bytes.size(), 4);
        }
        size_t header = table + 40 * i;
        memcpy(&image[header], s.name, strlen(s.name));
        PutLe(&image, header + 8, s.bytes.size(), 4);
        PutLe(&image, header + 12, address, 4);
        PutLe(&image, header + 16, align(s.bytes.size(), kFakeFileAlignment), 4);
        PutLe(&image, header + 20, image.size(), 4);
        PutLe(&image, header + 36, 0x40000040, 4);
        image += s.bytes;
        image.resize(align(image.size(), kFakeFileAlignment), '\0');
        address += (uint32_t)align(s.bytes.size(), 0x1000);
    }
    PutLe(&image, optional + 56, address, 4); // size of image
    return image;
}

// Signs a PE image as an Authenticode tool does, as far as the file's layout goes: zero bytes
// up to an 8-byte boundary, a certificate table (here a fake one) at the end, and the
// certificate table entry pointing at it.
inline std::string FakeSign(std::string file)
{
    file.resize((file.size() + 7) & ~(size_t)7, '\0');
    std::string table = std::string("\x18\0\0\0\0\x02\x02\0", 8) + "FAKE SIGNATURE!!";
    uint32_t pe = (uint8_t)file[0x3c] | (uint8_t)file[0x3d] << 8;
    bool plus = file[pe + 24] == 0x0b && file[pe + 25] == 0x02;
    size_t entry = pe + 24 + (plus ? 112 : 96) + 4 * 8;
    PutLe(&file, entry, file.size(), 4);
    PutLe(&file, entry + 4, table.size(), 4);
    return file + table;
}
