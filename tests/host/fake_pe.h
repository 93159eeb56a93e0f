// A minimal PE image for tests: DOS header, PE signature, file header, one section whose raw
// data (holding `content`) ends the image.
#pragma once

#include <cstring>
#include <string>

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
