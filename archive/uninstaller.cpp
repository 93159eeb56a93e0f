#include "archive/uninstaller.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/uninstaller_image.h"
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
    HANDLE update = BeginUpdateResourceA(destination, FALSE);
    if (!update)
        return false;
    if (!UpdateResourceA(update, (LPCSTR)RT_GROUP_ICON, MAKEINTRESOURCEA(IDI_SETUP),
                         MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), group, size)) {
        EndUpdateResourceA(update, TRUE);
        return false;
    }
    return EndUpdateResourceA(update, FALSE) == TRUE;
}

// Puts the archive tail back after the image the resource update left: the update may rewrite
// the file with a longer image and drop, keep or move the bytes that followed the old one, so
// the file is cut where its image now ends and the tail appended there.
static int RestoreTail(const char *destination, const uint8_t *tail, size_t tailSize)
{
    uint32_t size = 0;
    uint8_t *updated = LoadFileOrEntry(destination, 0, &size);
    if (!updated)
        return kErrFileNotWritten;
    size_t imageEnd = ImageEndOffset(updated, size);
    free(updated);
    if (imageEnd == 0 || imageEnd > size)
        return kErrFileNotWritten;
    int result = kErrFileNotWritten;
    HANDLE file = Sys.CreateFileA(destination, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return kErrFileNotWritten;
    DWORD written = 0;
    if (SetFilePointer(file, (LONG)imageEnd, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
        SetEndOfFile(file) && Sys.WriteFile(file, tail, (DWORD)tailSize, &written, nullptr) &&
        written == tailSize)
        result = kOk;
    CloseHandle(file);
    return result;
}

int WriteUninstaller(const char *destination)
{
    if (WriteImageThroughEntry("Uninstall.vis", destination) != kOk)
        return kErrFileNotWritten;
    uint32_t size = 0;
    uint8_t *bytes = LoadFileOrEntry(destination, 0, &size);
    if (!bytes)
        return kErrFileNotWritten;
    RewriteModeMarkers(bytes, size);
    int result = WriteWholeFile(destination, bytes, size);
    size_t archive = LocateArchive(bytes, size);
    if (result == kOk && archive != 0 && AddUninstallIcon(destination)) {
        size_t header = archive - kArchiveHeaderLength;
        result = RestoreTail(destination, bytes + header, size - header);
    }
    free(bytes);
    return result;
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
    HANDLE file = Sys.CreateFileA(target, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return kErrNotPatched;
    uint32_t size = 0;
    uint8_t *data = LoadFileOrEntry(patchData, 0, &size);
    int result = data ? ApplyRecords(file, data, size) : kErrNotPatched;
    free(data);
    CloseHandle(file);
    return result;
}
