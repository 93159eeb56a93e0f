// Reading the archive appended to the engine's own file (EngineFilePath). The first access
// opens the file and indexes the archive; later ones read at the entries' offsets through the
// same handle. Returned buffers are malloc'd and belong to the caller, who frees them.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The entry's data followed by `spare` zero bytes; *size gets the data length. Null when the
// name is not found, its bytes do not match the archive's checksum (DamagedEntry then names it),
// the engine file cannot be read, or memory runs out.
uint8_t *ReadArchiveEntry(const char *name, size_t spare, uint32_t *size);

// True when `name` is the entry last found not to match its checksum: asked right after a read
// of it gave nothing, whether the damage was why.
bool EntryFoundDamaged(const char *name);

// Writes the entry to `destination`, replacing it. 0; 8 the destination could not be created
// or written; 18 the entry's bytes do not match the archive's checksum, a damaged setup file
// (DamagedEntry then names it); the destination is removed after either; 17 the engine file
// could not be read or no entry has that name (the destination is then left untouched).
int ExtractArchiveEntry(const char *name, const char *destination);

// Writes the engine file from its first byte through the last data byte of the named entry.
// Codes as for ExtractArchiveEntry.
int WriteImageThroughEntry(const char *name, const char *destination);

// The archive entry of that name when the engine carries an archive that holds it; otherwise
// (a name the archive does not hold, or an engine without any archive) the disk file of that
// name, relative to the current folder, when it exists and opens for reading. Nothing when the
// engine file cannot be read or its archive is damaged. A short read of the disk file gives null.
uint8_t *LoadFileOrEntry(const char *name, size_t spare, uint32_t *size);

// ExtractArchiveEntry when the archive holds `source`; otherwise, by the rule above, the
// platform's file copy of the disk file (0, or 8), or 17 when there is none.
int CopyFileOrEntry(const char *source, const char *destination);

// For a destination where nothing stands yet, the common case of an installation: when the
// archive holds `source`, creates `destination` as a new file, calls `created` with it and then
// writes the entry into it, with the codes of ExtractArchiveEntry. kNotNew when the source is
// no entry, or the destination could not be made new (a file or folder stands there, or its
// folder is missing); nothing was changed then. Creating the file outright spares looking its
// name up first, which costs as much again as the creation on a file system that must read the
// whole folder to find a name that is not there.
enum { kNotNew = -1 };
int CopyEntryToNewFile(const char *source, const char *destination,
                       void (*created)(const char *destination));

// A file on disk, whole, followed by `spare` zero bytes, for files the engine wrote itself and
// reads back. Null when it cannot be opened or read whole.
uint8_t *LoadDiskFile(const char *path, size_t spare, uint32_t *size);

// True when the engine file holds nothing after its image: a bare engine, which takes its
// scripts and files from the disk.
bool EngineIsBare(void);

// True when the engine file carries an archive whose every entry lies inside the file and
// which ends at its end marker: a setup that was cut or damaged on its way fails this. The
// uninstaller's archive has no end marker by design.
bool ArchiveIsComplete(void);

// Opens the engine file once for the rest of the run (until ReleaseEngineFile), shared for
// reading only, so that nobody can change, rename or delete it meanwhile; every archive access
// then reads through that handle and never opens the file by its name again. False when it
// cannot be opened or is not the file the running image was loaded from (the setup's file was
// replaced before this): nothing is then read from the archive at all.
bool HoldEngineFile(void);
// Closes the held engine file (the uninstaller, to move its own file); nothing is read after.
void ReleaseEngineFile(void);

// Writes the whole engine file, as it is, into a new file at `destination` (an existing one is
// not replaced). 0; 8 the destination could not be created or written (and is removed); 17 the
// engine file could not be read.
int WriteEngineFileTo(const char *destination);
// The first `limit` bytes of the engine file (all of a shorter one); null when it cannot be read.
uint8_t *ReadEngineStart(uint32_t limit, uint32_t *size);
// True when the open file `file` holds exactly the engine file's bytes.
bool SameAsEngineFile(void *file);
