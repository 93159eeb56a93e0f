#include "tools/sign.h"

#include <stdio.h>

#include "archive/format.h"
#include "archive/pe_image.h"
#include "archive/uninstaller_image.h"
#include "tools/toolfiles.h"

bool RunSignCommand(const std::string &command, const std::string &in, const std::string &out,
                    std::string *error)
{
    remove(out.c_str());
    std::string line;
    for (size_t i = 0; i < command.size();) {
        if (command.compare(i, 4, "{in}") == 0) {
            line += ShellQuote(in);
            i += 4;
        } else if (command.compare(i, 5, "{out}") == 0) {
            line += ShellQuote(out);
            i += 5;
        } else {
            line += command[i++];
        }
    }
    int status = RunShellCommand(line);
    uint64_t size;
    if (status != 0)
        *error = "the signing command failed (exit status " + std::to_string(status) + "): " + line;
    else if (!RegularFileSize(out, &size))
        *error = "the signing command exited with 0 but wrote no " + out + ": " + line;
    else
        return true;
    remove(out.c_str()); /* a half-written output is no signed file */
    return false;
}

static const char *EditFailure(PeEdit result)
{
    switch (result) {
    case kPeNoHeaderRoom:
        return "its headers have no room for one more section";
    case kPeTooManyEntries:
        return "its resources have too many entries";
    default:
        return "its headers or resources are malformed";
    }
}

bool PrepareUninstaller(const std::vector<uint8_t> &image, const std::string &name,
                        const std::vector<uint8_t> &script, std::vector<uint8_t> *uninstaller,
                        std::string *error)
{
    std::vector<uint8_t> bytes = image;
    RewriteModeMarkers(bytes.data(), bytes.size());
    size_t offset;
    uint32_t length;
    if (!FindResourceData(bytes.data(), bytes.size(), kPeResourceGroupIcon, 102, kPeAnyLanguage,
                          &offset, &length)) {
        *error = "the engine has no uninstall icon (icon group 102)";
        return false;
    }
    std::vector<uint8_t> group(bytes.begin() + (long)offset,
                               bytes.begin() + (long)(offset + length));
    size_t size = bytes.size();
    size_t needed = size;
    PeEdit result = kPeNeedsRoom;
    while (result == kPeNeedsRoom) {
        bytes.resize(needed);
        result = AddResource(bytes.data(), size, bytes.size(), kPeResourceGroupIcon, 101, 0,
                             group.data(), length, &needed);
    }
    if (result != kPeEdited) {
        *error = std::string("cannot add the uninstall icon to the engine: ") + EditFailure(result);
        return false;
    }
    bytes.resize(needed);
    std::vector<uint8_t> entry = script;
    RewriteModeMarkers(entry.data(), entry.size());
    uint32_t scriptSize = (uint32_t)entry.size();
    bytes.insert(bytes.end(), kArchiveHeader, kArchiveHeader + kArchiveHeaderLength);
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.push_back(0);
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back((uint8_t)(scriptSize >> shift));
    bytes.insert(bytes.end(), entry.begin(), entry.end());
    WritePeChecksum(bytes.data(), bytes.size());
    uninstaller->swap(bytes);
    return true;
}
