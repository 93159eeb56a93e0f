#include "archive/uninstaller_image.h"

#include <string.h>

#include "archive/format.h"
#include "archive/pe_image.h"
#include "base/crc32c.h"
#include "base/text.h"

const char kSetupMarker[] = "SetupMode:Setup";
const char kUninstallMarker[] = "SetupMode:Unins";

size_t RewriteModeMarkers(uint8_t *bytes, size_t size)
{
    size_t count = 0;
    for (size_t i = 0; i + kMarkerLength <= size; i++) {
        if (bytes[i] == 'S' && memcmp(bytes + i, kSetupMarker, kMarkerLength) == 0) {
            memcpy(bytes + i, kUninstallMarker, kMarkerLength);
            count++;
        }
    }
    return count;
}

bool EngineImageCrc(const uint8_t *data, size_t size, uint32_t *crc)
{
    PeHeaders h;
    size_t end = ImageEndOffset(data, size);
    if (end == 0 || end > size || !ReadPeHeaders(data, size, &h))
        return false;
    static const uint8_t zeros[8] = {0};
    // The fields in file order: the checksum comes before the data directories.
    size_t fields[2] = {h.checksumField, 0};
    size_t lengths[2] = {4, 0};
    if (h.directoryCount > kPeDirectoryCertificates) {
        fields[1] = h.directories + kPeDirectoryCertificates * 8;
        lengths[1] = 8;
    }
    uint32_t sum = 0;
    size_t at = 0;
    for (int i = 0; i < 2 && lengths[i] > 0; i++) {
        sum = Crc32c(sum, data + at, fields[i] - at);
        sum = Crc32c(sum, zeros, lengths[i]);
        at = fields[i] + lengths[i];
    }
    *crc = Crc32c(sum, data + at, end - at);
    return true;
}

void SignedUninstallerName(uint32_t engineCrc, char *name, size_t capacity)
{
    FormatText(name, capacity, "<Signed Uninstaller %08X>", (unsigned)engineCrc);
}

static bool Contains(const uint8_t *bytes, size_t size, const char *text, size_t length)
{
    for (size_t i = 0; i + length <= size; i++) {
        if (bytes[i] == (uint8_t)text[0] && memcmp(bytes + i, text, length) == 0)
            return true;
    }
    return false;
}

bool IsUninstallerImage(const uint8_t *file, size_t start)
{
    if (start < kArchiveHeaderLength)
        return false;
    size_t image = start - kArchiveHeaderLength;
    return Contains(file, image, kUninstallMarker, kMarkerLength) &&
           !Contains(file, image, kSetupMarker, kMarkerLength);
}

bool IsPreparedUninstaller(const uint8_t *file, size_t size, const uint8_t *script,
                           size_t scriptSize)
{
    size_t limit = ArchiveLimit(file, size, size);
    size_t start = LocateArchive(file, size);
    if (start == 0 || !IsUninstallerImage(file, start))
        return false;
    size_t cursor = start;
    ArchiveEntry entry;
    ArchiveEntry found = {nullptr, 0, 0, 0};
    WalkStep step;
    while ((step = NextArchiveEntry(file, limit, &cursor, &entry)) == kWalkEntry) {
        if (!found.name && entry.nameLength == 13 &&
            StartsWithIgnoringCase(entry.name, "Uninstall.vis", 13))
            found = entry;
    }
    return step == kWalkEnd && found.name && found.size == scriptSize &&
           memcmp(file + found.dataOffset, script, scriptSize) == 0;
}
