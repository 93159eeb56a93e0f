#include "archive/archive.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "archive/format.h"
#include "archive/packed.h"
#include "base/crc32c.h"
#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "script/interpreter.h"

// The engine file is opened, its archive found and its entries indexed by the first access; the
// file then stays open and the index stays true, as nothing writes the engine file during a
// run. Setting ArchiveStart back to 0 (a test pointing EngineFilePath elsewhere) makes the next
// access start over. One lock serialises the accesses: the worker thread and the user-interface
// thread share the handle, the index and the copy block.
//
// Entries are copied in blocks of kCopyBlock bytes, read at their offset, summed and written as
// read. Measured with the 32-bit engine on a tmpfs (20 files of 10 MiB, medians of 31 rounds),
// the copy took 3 ms longer than a plain ReadFile/WriteFile copy in 1 MiB blocks with 256 KiB
// blocks, 4-5 ms with 128 and 512 KiB, 9-10 ms with 64 KiB and 1 MiB (likely as a 256 KiB block
// stays in the processor's cache from the read through the sum to the write); on the disk the
// sizes were alike. Keeping the file open spares every copy an open, a size query and a close
// of the engine file, 50 us measured.
const uint32_t kCopyBlock = 1 << 18;

static uint8_t *copyBlock; // allocated by the first access, kept for the run

// A critical section rather than a slim lock: the shipped engine also runs on systems older
// than the slim locks. It is ready before any code of the engine runs.
static CRITICAL_SECTION archiveLock;
static struct ArchiveLockAtStart {
    ArchiveLockAtStart()
    {
        InitializeCriticalSection(&archiveLock);
    }
} archiveLockAtStart;

// Reads at an offset by moving the file pointer, which the lock keeps to one thread at a time.
// A ReadFile given its offset in an OVERLAPPED costs Wine a round trip to its server on every
// call: 85 us against 1 us for the pointer move and plain read, measured on 4 KiB reads.
static bool ReadEngineAt(void *file, uint32_t offset, void *buffer, uint32_t count)
{
    // The high part makes the offset an unsigned 32-bit value (the file is below 4 GiB).
    LONG high = 0;
    DWORD got = 0;
    if (count == 0)
        return true;
    SetLastError(NO_ERROR);
    if (SetFilePointer((HANDLE)file, (LONG)offset, &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
        return false;
    return ReadFile((HANDLE)file, buffer, count, &got, nullptr) && got == count;
}

// The reader of packed entries. Its workspace (the window and the decoder's tables) and its
// two buffers are allocated by the first packed read and kept for the run; it borrows the copy
// block, which a packed read does not otherwise use.
static PackedReader packedReader;

// What the engine file turned out to carry when it was last looked at.
enum EngineFileKind {
    kEngineUnread,      // not looked at yet, or it could not be opened or read
    kEngineWithArchive, // an archive, found and indexed
    kEngineBare,        // nothing after the image: the vendor's engine, run beside its scripts
    kEngineDamaged,     // bytes after the image that do not hold an archive
    kEngineGone,        // ReleaseEngineFile gave up the held file: nothing is read any more
};
static int engineKind = kEngineUnread;

static bool engineFileHeld; // HoldEngineFile took the file for the whole run
static uint32_t engineLength;

static void CloseArchive(void)
{
    packedReader.block = kStoredEntry;
    if (EngineFile && !engineFileHeld)
        CloseHandle((HANDLE)EngineFile);
    if (!engineFileHeld)
        EngineFile = nullptr;
    FreeArchiveIndex(&ArchiveIndex);
    ArchiveStart = 0;
}

// True unless the system tells that `file` is another file than the one the running image was
// loaded from: the setup's file can be renamed while it runs, and another put under its name
// before the engine opened it. The file the image is mapped from is found by the name the system
// knows it by now, and compared with `file` by volume and file index. Systems without the query
// (before Windows 2000) cannot tell, and are believed.
static bool IsRunningImage(HANDLE file)
{
    typedef DWORD(WINAPI * MappedName)(HANDLE, LPVOID, LPWSTR, DWORD);
    MappedName mappedName = (MappedName)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"),
                                                               "K32GetMappedFileNameW");
    HMODULE psapi = mappedName ? nullptr : LoadSystemLibrary("psapi.dll");
    if (psapi)
        mappedName = (MappedName)(void *)GetProcAddress(psapi, "GetMappedFileNameW");
    if (!mappedName)
        return true;
    // The name comes in the system's device form (\Device\HarddiskVolume1\...), which a prefix
    // makes a path to open; Wine gives the form of a drive's path (\??\C:\...).
    typedef HANDLE(WINAPI * OpenWide)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                      HANDLE);
    OpenWide openWide =
        (OpenWide)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateFileW");
    WCHAR name[2 * kPathSize];
    WCHAR path[2 * kPathSize + 16];
    DWORD n = mappedName(GetCurrentProcess(), Instance ? Instance : GetModuleHandleA(nullptr), name,
                         sizeof name / sizeof *name);
    bool named = openWide && n > 0 && n < sizeof name / sizeof *name;
    if (named) {
        const WCHAR *prefix = L"\\\\?\\GLOBALROOT";
        const WCHAR *rest = name;
        if (memcmp(name, L"\\??\\", 4 * sizeof *name) == 0) {
            prefix = L"\\\\?\\";
            rest = name + 4;
        }
        size_t at = 0;
        for (; prefix[at]; at++)
            path[at] = prefix[at];
        for (size_t i = 0; i <= n - (size_t)(rest - name); i++)
            path[at + i] = rest[i];
    }
    HANDLE image = named ? openWide(path, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr)
                         : INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION mine;
    BY_HANDLE_FILE_INFORMATION loaded;
    bool same = image != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &mine) &&
                GetFileInformationByHandle(image, &loaded) &&
                mine.dwVolumeSerialNumber == loaded.dwVolumeSerialNumber &&
                mine.nFileIndexHigh == loaded.nFileIndexHigh &&
                mine.nFileIndexLow == loaded.nFileIndexLow;
    if (image != INVALID_HANDLE_VALUE)
        CloseHandle(image);
    return same; /* psapi, where it was loaded, stays for the run */
}

bool HoldEngineFile(void)
{
    EnterCriticalSection(&archiveLock);
    CloseArchive();
    engineFileHeld = false;
    // Nobody may write, rename or delete the file while this run reads its archive from it.
    HANDLE file = Sys.CreateFileU(EngineFilePath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE && !IsRunningImage(file)) {
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    }
    if (file != INVALID_HANDLE_VALUE) {
        EngineFile = file;
        engineLength = GetFileSize(file, nullptr);
        engineFileHeld = true;
    }
    engineKind = kEngineUnread;
    LeaveCriticalSection(&archiveLock);
    return engineFileHeld;
}

void ReleaseEngineFile(void)
{
    EnterCriticalSection(&archiveLock);
    engineFileHeld = false;
    CloseArchive();
    engineKind = kEngineGone;
    LeaveCriticalSection(&archiveLock);
}

// Makes the engine file open and its archive indexed. False when the file cannot be read or
// carries no archive; engineKind then tells which. Called under the lock.
static bool OpenArchive(void)
{
    if (ArchiveStart != 0 && EngineFile)
        return true;
    // A held file is looked at once: what it carries does not change during the run, and no
    // other file is ever opened in its stead.
    if (engineFileHeld ? engineKind != kEngineUnread : engineKind == kEngineGone)
        return false;
    CloseArchive();
    engineKind = kEngineUnread;
    if (!copyBlock)
        copyBlock = (uint8_t *)malloc(kCopyBlock);
    if (!copyBlock)
        return false;
    HANDLE file = engineFileHeld ? (HANDLE)EngineFile
                                 : Sys.CreateFileU(EngineFilePath, GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD length = GetFileSize(file, nullptr);
    engineLength = length;
    ArchiveReader reader = {ReadEngineAt, file, length, copyBlock, kCopyBlock, 0, 0};
    uint32_t start = length == INVALID_FILE_SIZE ? 0 : LocateArchiveThrough(&reader);
    if (start == 0) {
        // Without an archive, only an engine that holds nothing after its image (a signature
        // aside) may take its inputs from the disk; anything else is a setup that was cut or
        // damaged on its way.
        uint32_t head = length < kCopyBlock ? length : kCopyBlock;
        if (length != INVALID_FILE_SIZE && ReadEngineAt(file, 0, copyBlock, head)) {
            size_t limit = ArchiveLimit(copyBlock, head, length);
            engineKind = HasAppendedData(copyBlock, head, limit) ? kEngineDamaged : kEngineBare;
        }
        if (!engineFileHeld)
            CloseHandle(file);
        return false;
    }
    BuildArchiveIndex(&reader, start, &ArchiveIndex); /* what was indexed before a failure stays */
    EngineFile = file;
    ArchiveStart = start;
    engineKind = kEngineWithArchive;
    return true;
}

static bool FindEntry(const char *name, ArchiveIndexEntry *entry)
{
    return OpenArchive() && FindIndexedEntry(&ArchiveIndex, name, entry);
}

bool EngineIsBare(void)
{
    EnterCriticalSection(&archiveLock);
    bool bare = !OpenArchive() && engineKind == kEngineBare;
    LeaveCriticalSection(&archiveLock);
    return bare;
}

bool ArchiveIsComplete(void)
{
    EnterCriticalSection(&archiveLock);
    bool complete = OpenArchive() && ArchiveIndex.ending == kArchiveEndMarker;
    LeaveCriticalSection(&archiveLock);
    return complete;
}

// Remembers that the entry `name` does not match its checksum, for the log and the commands.
static void NoteDamagedEntry(const char *name)
{
    CopyText(DamagedEntry, sizeof DamagedEntry, name);
}

bool EntryFoundDamaged(const char *name)
{
    return DamagedEntry[0] != 0 && EqualIgnoringCase(DamagedEntry, name);
}

// ReadPackedBytes of the entry through the engine file, with the reader made ready for the
// archive's window first. Called under the lock.
static int ReadPackedEntry(const ArchiveIndexEntry *entry,
                           int (*take)(void *context, const uint8_t *bytes, uint32_t count),
                           void *context)
{
    PackedReader *r = &packedReader;
    size_t window = ArchiveIndex.window;
    if (!r->workspace || r->window < window) {
        free(r->workspace);
        r->workspaceSize = ZstdWorkspaceSize(window);
        r->workspace = malloc(r->workspaceSize);
        r->window = r->workspace ? window : 0;
        r->block = kStoredEntry;
    }
    if (!r->input)
        r->input = (uint8_t *)malloc(kCopyBlock);
    if (!r->workspace || !r->input)
        return kErrArchive;
    r->readAt = ReadEngineAt;
    r->context = EngineFile;
    r->blocks = ArchiveIndex.blocks;
    r->blockCount = ArchiveIndex.blockCount;
    r->spare = copyBlock;
    r->bufferSize = kCopyBlock;
    return ReadPackedBytes(r, entry->block, entry->dataOffset, entry->size, take, context);
}

// Where a packed entry read into memory has got to.
struct Filling {
    uint8_t *at;
};

static int FillBuffer(void *context, const uint8_t *bytes, uint32_t count)
{
    Filling *filling = (Filling *)context;
    memcpy(filling->at, bytes, count);
    filling->at += count;
    return kOk;
}

uint8_t *ReadArchiveEntry(const char *name, size_t spare, uint32_t *size)
{
    uint8_t *buffer = nullptr;
    ArchiveIndexEntry entry;
    bool read = false;
    EnterCriticalSection(&archiveLock);
    if (FindEntry(name, &entry) && entry.size <= SIZE_MAX - spare - 1)
        buffer = (uint8_t *)malloc((size_t)entry.size + spare + 1);
    if (buffer && entry.block != kStoredEntry) {
        Filling filling = {buffer};
        int result = ReadPackedEntry(&entry, FillBuffer, &filling);
        read = result == kOk;
        if (result == kErrEntryDamaged)
            NoteDamagedEntry(name);
    } else if (buffer && ReadEngineAt(EngineFile, entry.dataOffset, buffer, entry.size)) {
        read = !entry.hasSum || Crc32c(0, buffer, entry.size) == entry.sum;
        if (!read)
            NoteDamagedEntry(name);
    }
    if (read) {
        memset(buffer + entry.size, 0, spare);
        *size = entry.size;
    } else {
        free(buffer);
        buffer = nullptr;
    }
    LeaveCriticalSection(&archiveLock);
    return buffer;
}

// Writes bytes [first, end) of the engine file to a new file at `destination`, a block at a
// time; `entry`'s data, which ends at `end`, is checked against its checksum on the way when
// the archive has one. 0; 8 the destination could not be created or written; 18 the entry's
// bytes are damaged; 17 the engine file read failed. A destination that could not be written
// whole and right is removed: no half or damaged file is left behind.
static int CopyEngineBytesTo(HANDLE out, uint32_t first, uint32_t end,
                             const ArchiveIndexEntry *entry, const char *destination)
{
    int result = kOk;
    uint32_t sum = 0;
    for (uint32_t at = first; at < end;) {
        uint32_t count = end - at < kCopyBlock ? end - at : kCopyBlock;
        DWORD written = 0;
        if (!ReadEngineAt(EngineFile, at, copyBlock, count)) {
            result = kErrArchive;
            goto done;
        }
        if (entry->hasSum && at + count > entry->dataOffset) {
            uint32_t skip = at < entry->dataOffset ? entry->dataOffset - at : 0;
            sum = Crc32c(sum, copyBlock + skip, count - skip);
        }
        if (!Sys.WriteFile(out, copyBlock, count, &written, nullptr) || written != count) {
            result = kErrFileNotWritten;
            goto done;
        }
        at += count;
    }
    if (entry->hasSum && sum != entry->sum)
        result = kErrEntryDamaged;
done:
    CloseHandle(out);
    if (result != kOk)
        Sys.DeleteFileU(destination); /* best effort */
    return result;
}

static int WriteToFile(void *context, const uint8_t *bytes, uint32_t count)
{
    DWORD written = 0;
    return Sys.WriteFile((HANDLE)context, bytes, count, &written, nullptr) && written == count
               ? kOk
               : kErrFileNotWritten;
}

// As CopyEngineBytesTo, for a packed entry: its bytes are written as they are decoded.
static int WritePackedEntryTo(HANDLE out, const ArchiveIndexEntry *entry, const char *destination)
{
    int result = ReadPackedEntry(entry, WriteToFile, out);
    CloseHandle(out);
    if (result != kOk)
        Sys.DeleteFileU(destination); /* best effort */
    return result;
}

// Writes the named entry, or the engine file from its start through that entry, into `out`
// (opened for `destination`, and closed here) or, without one, into `destination` created or
// replaced.
static int WriteEntryBytes(const char *name, const char *destination, bool fromImageStart,
                           HANDLE out)
{
    int result = kErrArchive;
    ArchiveIndexEntry entry;
    EnterCriticalSection(&archiveLock);
    if (FindEntry(name, &entry)) {
        if (out == INVALID_HANDLE_VALUE)
            out = Sys.CreateFileU(destination, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        uint32_t first = fromImageStart ? 0 : entry.dataOffset;
        if (out == INVALID_HANDLE_VALUE)
            result = kErrFileNotWritten;
        else if (entry.block != kStoredEntry)
            result = fromImageStart ? kErrArchive : WritePackedEntryTo(out, &entry, destination);
        else
            result =
                CopyEngineBytesTo(out, first, entry.dataOffset + entry.size, &entry, destination);
        out = INVALID_HANDLE_VALUE;
        if (result == kErrEntryDamaged)
            NoteDamagedEntry(name);
    }
    LeaveCriticalSection(&archiveLock);
    if (out != INVALID_HANDLE_VALUE) {
        // The entry is gone from under an open destination: what was made for it goes again.
        CloseHandle(out);
        Sys.DeleteFileU(destination); /* best effort */
    }
    return result;
}

int ExtractArchiveEntry(const char *name, const char *destination)
{
    return WriteEntryBytes(name, destination, false, INVALID_HANDLE_VALUE);
}

int WriteImageThroughEntry(const char *name, const char *destination)
{
    return WriteEntryBytes(name, destination, true, INVALID_HANDLE_VALUE);
}

// Makes the engine file open, whether or not it carries an archive. Called under the lock.
static bool EngineFileOpen(void)
{
    return OpenArchive() || (engineFileHeld && EngineFile);
}

int WriteEngineFileTo(const char *destination)
{
    int result = kErrArchive;
    ArchiveIndexEntry whole;
    memset(&whole, 0, sizeof whole);
    EnterCriticalSection(&archiveLock);
    if (EngineFileOpen() && engineLength != INVALID_FILE_SIZE) {
        HANDLE out = Sys.CreateFileU(destination, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        result = out == INVALID_HANDLE_VALUE
                     ? kErrFileNotWritten
                     : CopyEngineBytesTo(out, 0, engineLength, &whole, destination);
    }
    LeaveCriticalSection(&archiveLock);
    return result;
}

uint8_t *ReadEngineStart(uint32_t limit, uint32_t *size)
{
    uint8_t *buffer = nullptr;
    EnterCriticalSection(&archiveLock);
    if (EngineFileOpen() && engineLength != INVALID_FILE_SIZE) {
        uint32_t count = engineLength < limit ? engineLength : limit;
        buffer = (uint8_t *)malloc(count ? count : 1);
        if (buffer && ReadEngineAt(EngineFile, 0, buffer, count)) {
            *size = count;
        } else {
            free(buffer);
            buffer = nullptr;
        }
    }
    LeaveCriticalSection(&archiveLock);
    return buffer;
}

bool SameAsEngineFile(void *file)
{
    const uint32_t kCompareBlock = 65536;
    static uint8_t other[kCompareBlock];
    bool same = false;
    EnterCriticalSection(&archiveLock);
    if (EngineFileOpen() && engineLength != INVALID_FILE_SIZE &&
        GetFileSize((HANDLE)file, nullptr) == engineLength) {
        same = true;
        for (uint32_t at = 0; same && at < engineLength;) {
            uint32_t count = engineLength - at < kCompareBlock ? engineLength - at : kCompareBlock;
            same = ReadEngineAt(EngineFile, at, copyBlock, count) &&
                   ReadEngineAt(file, at, other, count) && memcmp(copyBlock, other, count) == 0;
            at += count;
        }
    }
    LeaveCriticalSection(&archiveLock);
    return same;
}

uint8_t *LoadDiskFile(const char *path, size_t spare, uint32_t *size)
{
    HANDLE file = Sys.CreateFileU(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
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

enum Source { kFromNowhere, kFromArchive, kFromDisk };

// Where a named input comes from. An archive entry always wins over a disk file of that name:
// the disk (the current folder for a bare name) is asked only for names the archive does not
// hold, or by an engine that carries no archive at all. An engine file that cannot be read, or
// whose archive is damaged, gives nothing: the disk must not stand in for it.
static Source SourceOf(const char *name)
{
    Source source = kFromNowhere;
    ArchiveIndexEntry entry;
    EnterCriticalSection(&archiveLock);
    if (OpenArchive()) {
        if (FindIndexedEntry(&ArchiveIndex, name, &entry))
            source = kFromArchive;
        else if (ArchiveIndex.ending != kArchiveCut)
            source = kFromDisk;
    } else if (engineKind == kEngineBare) {
        source = kFromDisk;
    }
    LeaveCriticalSection(&archiveLock);
    return source;
}

uint8_t *LoadFileOrEntry(const char *name, size_t spare, uint32_t *size)
{
    switch (SourceOf(name)) {
    case kFromArchive:
        return ReadArchiveEntry(name, spare, size);
    case kFromDisk:
        return LoadDiskFile(name, spare, size);
    default:
        return nullptr;
    }
}

int CopyEntryToNewFile(const char *source, const char *destination,
                       void (*created)(const char *destination))
{
    if (SourceOf(source) != kFromArchive)
        return kNotNew;
    HANDLE out = Sys.CreateFileU(destination, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return kNotNew; /* a file or folder stands there, or the path fails: the usual way */
    created(destination);
    return WriteEntryBytes(source, destination, false, out);
}

int CopyFileOrEntry(const char *source, const char *destination)
{
    switch (SourceOf(source)) {
    case kFromArchive:
        return ExtractArchiveEntry(source, destination);
    case kFromDisk:
        if (!PathExists(source))
            return kErrArchive;
        return Sys.CopyFileU(source, destination, FALSE) ? kOk : kErrFileNotWritten;
    default:
        return kErrArchive;
    }
}
