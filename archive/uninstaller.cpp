#include "archive/uninstaller.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/pe_image.h"
#include "archive/uninstaller_image.h"
#include "base/bytes.h"
#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "resources/resource.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

// Adds the uninstall icon as the language-neutral main icon. Skipped silently on failure.
static bool AddUninstallIcon(const char *destination)
{
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(IDI_UNINSTALL), (LPCSTR)RT_GROUP_ICON);
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    void *group = loaded ? LockResource(loaded) : nullptr;
    DWORD size = found ? SizeofResource(nullptr, found) : 0;
    if (!group || size == 0)
        return false;
    HANDLE update = BeginUpdateResourceU(destination, FALSE);
    if (!update)
        return false;
    if (!UpdateResourceA(update, (LPCSTR)RT_GROUP_ICON, MAKEINTRESOURCEA(IDI_SETUP),
                         MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), group, size)) {
        EndUpdateResourceA(update, TRUE);
        return false;
    }
    return EndUpdateResourceA(update, FALSE) == TRUE;
}

// Writes the bytes into the existing file at `offset`, where the file is cut first when `cut`.
// 0, or 8.
static int WriteAt(const char *destination, size_t offset, const void *bytes, size_t count,
                   bool cut)
{
    int result = kErrFileNotWritten;
    HANDLE file = Sys.CreateFileU(destination, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return kErrFileNotWritten;
    DWORD written = 0;
    if (SetFilePointer(file, (LONG)offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
        (!cut || SetEndOfFile(file)) &&
        Sys.WriteFile(file, bytes, (DWORD)count, &written, nullptr) && written == count)
        result = kOk;
    CloseHandle(file);
    return result;
}

// Puts the archive tail back after the image the resource update left: the update may rewrite
// the file with a longer image and drop, keep or move the bytes that followed the old one, so
// the file is cut where its image now ends and the tail appended there.
static int RestoreTail(const char *destination, const uint8_t *tail, size_t tailSize)
{
    uint32_t size = 0;
    uint8_t *updated = LoadDiskFile(destination, 0, &size);
    if (!updated)
        return kErrFileNotWritten;
    size_t imageEnd = ImageEndOffset(updated, size);
    free(updated);
    if (imageEnd == 0 || imageEnd > size)
        return kErrFileNotWritten;
    return WriteAt(destination, imageEnd, tail, tailSize, true);
}

// The first `limit` bytes of a file (all of a shorter one), in a buffer the caller frees; null
// when it cannot be read.
static uint8_t *ReadFileStart(const char *path, size_t limit, size_t *size)
{
    HANDLE file = Sys.CreateFileU(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    uint8_t *buffer = nullptr;
    DWORD length = GetFileSize(file, nullptr);
    DWORD read = 0;
    if (length == INVALID_FILE_SIZE)
        goto done;
    if (length > limit)
        length = (DWORD)limit;
    buffer = (uint8_t *)malloc(length ? length : 1);
    if (buffer && !(ReadFile(file, buffer, length, &read, nullptr) && read == length)) {
        free(buffer);
        buffer = nullptr;
    }
    *size = length;
done:
    CloseHandle(file);
    return buffer;
}

// EngineImageCrc of the running engine's file.
static bool OwnImageCrc(uint32_t *crc)
{
    uint32_t size = 0;
    uint8_t *headers = ReadEngineStart(4096, &size);
    size_t imageEnd = headers ? ImageEndOffset(headers, size) : 0;
    free(headers);
    uint8_t *image =
        imageEnd && imageEnd <= UINT32_MAX ? ReadEngineStart((uint32_t)imageEnd, &size) : nullptr;
    bool known = image && size == imageEnd && EngineImageCrc(image, size, crc);
    free(image);
    return known;
}

// Writes the uninstaller that the packer signed for this engine build, when the setup carries
// one that holds its uninstall script. False when there is none that fits; otherwise *result
// is the code of writing it.
static bool WriteSignedUninstaller(const char *destination, int *result)
{
    uint32_t crc;
    if (!OwnImageCrc(&crc))
        return false;
    char name[kSignedUninstallerNameSize];
    SignedUninstallerName(crc, name, sizeof name);
    uint32_t size = 0;
    uint32_t scriptSize = 0;
    uint8_t *prepared = ReadArchiveEntry(name, 0, &size);
    uint8_t *script = prepared ? ReadArchiveEntry("Uninstall.vis", 0, &scriptSize) : nullptr;
    bool fits = false;
    if (script) {
        RewriteModeMarkers(script, scriptSize); /* as the uninstaller's copy of it has them */
        fits = IsPreparedUninstaller(prepared, size, script, scriptSize);
    }
    free(prepared);
    free(script);
    if (!fits)
        return false;
    // Extracting checks the entry's bytes against the archive's checksum once more.
    *result = ExtractArchiveEntry(name, destination) == kOk ? kOk : kErrFileNotWritten;
    return true;
}

// Writes the right checksum into the finished file.
static int WriteChecksum(const char *destination)
{
    size_t size = 0;
    uint8_t *bytes = ReadFileStart(destination, SIZE_MAX, &size);
    PeHeaders headers;
    uint32_t checksum;
    if (!bytes || !ReadPeHeaders(bytes, size, &headers) ||
        !ComputePeChecksum(bytes, size, &checksum)) {
        free(bytes);
        return kErrFileNotWritten;
    }
    free(bytes);
    uint8_t field[4];
    WriteLe32(field, checksum);
    return WriteAt(destination, headers.checksumField, field, sizeof field, false);
}

int WriteUninstaller(const char *destination)
{
    int result = kOk;
    if (WriteSignedUninstaller(destination, &result))
        return result;
    result = WriteImageThroughEntry("Uninstall.vis", destination);
    if (result != kOk)
        return result == kErrEntryDamaged ? result : kErrFileNotWritten;
    uint32_t size = 0;
    uint8_t *bytes = LoadDiskFile(destination, 0, &size);
    if (!bytes)
        return kErrFileNotWritten;
    RewriteModeMarkers(bytes, size);
    // A signed setup's entry points at its own signature, which the uninstaller does not carry.
    ClearCertificateTable(bytes, size);
    result = WriteWholeFile(destination, bytes, size);
    size_t archive = LocateArchive(bytes, size);
    if (result == kOk && archive != 0 && AddUninstallIcon(destination)) {
        size_t header = archive - kArchiveHeaderLength;
        result = RestoreTail(destination, bytes + header, size - header);
    }
    free(bytes);
    return result == kOk ? WriteChecksum(destination) : result;
}

// Applies the patch records to the open target, in order. Returns 0 or 24.
static int ApplyRecords(HANDLE target, const uint8_t *data, size_t size)
{
    size_t cursor = 0;
    PatchRecord record;
    PatchStep step;
    while ((step = NextPatchRecord(data, size, &cursor, &record)) == kPatchRecord) {
        DWORD written = 0;
        if (SetFilePointer(target, (LONG)record.offset, nullptr, FILE_BEGIN) ==
                INVALID_SET_FILE_POINTER ||
            !Sys.WriteFile(target, record.bytes, record.length, &written, nullptr) ||
            written != record.length)
            return kErrNotPatched;
    }
    return step == kPatchEnd ? kOk : kErrNotPatched;
}

int ApplyPatch(const char *source, const char *patchData, const char *target)
{
    int copied = CopyFileOrEntry(source, target);
    if (copied != kOk)
        return copied;
    HANDLE file = Sys.CreateFileU(target, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return kErrNotPatched;
    uint32_t size = 0;
    uint8_t *data = LoadFileOrEntry(patchData, 0, &size);
    int result = kErrNotPatched;
    if (data)
        result = ApplyRecords(file, data, size);
    else if (EntryFoundDamaged(patchData))
        result = kErrEntryDamaged;
    free(data);
    CloseHandle(file);
    return result;
}
