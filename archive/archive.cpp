#include "archive/archive.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "archive/format.h"
#include "engine/globals.h"
#include "engine/syscalls.h"
#include "script/interpreter.h"

// A read-only view of the whole engine file.
struct EngineView {
    HANDLE file;
    HANDLE mapping;
    const uint8_t *data;
    size_t size;
};

static void CloseEngineView(EngineView *view)
{
    if (view->data)
        UnmapViewOfFile(view->data);
    if (view->mapping)
        CloseHandle(view->mapping);
    if (view->file != INVALID_HANDLE_VALUE)
        CloseHandle(view->file);
}

static bool OpenEngineView(EngineView *view)
{
    view->file = INVALID_HANDLE_VALUE;
    view->mapping = nullptr;
    view->data = nullptr;
    view->size = 0;
    view->file = CreateFileA(EngineFilePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (view->file == INVALID_HANDLE_VALUE)
        goto failed;
    view->size = GetFileSize(view->file, nullptr);
    if (view->size == 0 || view->size == INVALID_FILE_SIZE)
        goto failed;
    view->mapping = CreateFileMappingA(view->file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!view->mapping)
        goto failed;
    view->data = (const uint8_t *)MapViewOfFile(view->mapping, FILE_MAP_READ, 0, 0, 0);
    if (!view->data)
        goto failed;
    return true;
failed:
    CloseEngineView(view);
    return false;
}

// Finds the named entry in an open view, computing the archive start on first use.
static bool LocateEntry(const EngineView &view, const char *name, ArchiveEntry *entry)
{
    if (ArchiveStart == 0)
        ArchiveStart = LocateArchive(view.data, view.size);
    return ArchiveStart != 0 && FindArchiveEntry(view.data, view.size, ArchiveStart, name, entry);
}

uint8_t *ReadArchiveEntry(const char *name, size_t spare, uint32_t *size)
{
    EngineView view;
    if (!OpenEngineView(&view))
        return nullptr;
    uint8_t *buffer = nullptr;
    ArchiveEntry entry;
    if (LocateEntry(view, name, &entry) && entry.size <= SIZE_MAX - spare - 1) {
        buffer = (uint8_t *)malloc((size_t)entry.size + spare + 1);
        if (buffer) {
            memcpy(buffer, view.data + entry.dataOffset, entry.size);
            memset(buffer + entry.size, 0, spare);
            *size = entry.size;
        }
    }
    CloseEngineView(&view);
    return buffer;
}

// Writes bytes [first, entry end) of the engine file for the named entry.
static int WriteEntryBytes(const char *name, const char *destination, bool fromImageStart)
{
    EngineView view;
    if (!OpenEngineView(&view))
        return kErrArchive;
    int result = kErrArchive;
    ArchiveEntry entry;
    if (LocateEntry(view, name, &entry)) {
        size_t first = fromImageStart ? 0 : entry.dataOffset;
        size_t end = entry.dataOffset + entry.size;
        result = WriteWholeFile(destination, view.data + first, (DWORD)(end - first));
    }
    CloseEngineView(&view);
    return result;
}

int ExtractArchiveEntry(const char *name, const char *destination)
{
    return WriteEntryBytes(name, destination, false);
}

int WriteImageThroughEntry(const char *name, const char *destination)
{
    return WriteEntryBytes(name, destination, true);
}

uint8_t *LoadFileOrEntry(const char *name, size_t spare, uint32_t *size)
{
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return ReadArchiveEntry(name, spare, size);
    uint8_t *buffer = nullptr;
    DWORD length = GetFileSize(file, nullptr);
    DWORD read = 0;
    if (length != INVALID_FILE_SIZE && length <= SIZE_MAX - spare - 1)
        buffer = (uint8_t *)malloc((size_t)length + spare + 1);
    if (buffer && ReadFile(file, buffer, length, &read, nullptr) && read == length) {
        memset(buffer + length, 0, spare);
        *size = length;
    } else {
        free(buffer);
        buffer = nullptr;
    }
    CloseHandle(file);
    return buffer;
}

int CopyFileOrEntry(const char *source, const char *destination)
{
    if (PathExists(source))
        return Sys.CopyFileA(source, destination, FALSE) ? kOk : kErrFileNotWritten;
    return ExtractArchiveEntry(source, destination);
}
