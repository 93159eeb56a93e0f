// Sizes and record types shared by the whole engine. No system headers: the portable core
// (scanner, variables, interpreter, archive walker, record codec) is built natively as well.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    kPathSize = 260,     // paths: 259 characters and the terminator
    kTextSize = 520,     // arguments, variable values, status lines: 519 characters
    kNameSize = 32,      // variable names: 31 characters
    kMessageSize = 1024, // message-box texts and captions
    kArgumentCount = 5,  // argument slots of one command line
    kConditionLevels = 31,
};

// One named text variable; the value is also kept read as a number.
struct Variable {
    char name[kNameSize];
    char value[kTextSize];
    double number;
    int32_t nameLength;
    int32_t valueLength;
};

// Ordered array of variables in the order in which their names were first set.
struct VariableTableData {
    Variable *records;
    int count;
    int capacity;
};

// One entry of the archive index: where its name (in the index's name pool) and its data lie.
struct ArchiveIndexEntry {
    const char *name; // in the name pool, NUL-terminated
    uint32_t nameAt;  // offset of the name in the pool
    uint32_t nameLength;
    uint32_t dataOffset;
    uint32_t size;
    uint32_t order; // position in the archive: among entries named alike the first wins
    uint32_t sum;   // CRC-32C of the data, from the integrity record
    uint32_t hasSum;
    uint32_t block; // kStoredEntry, or the packed block that holds the entry: dataOffset is then
                    // its offset in the block's decoded bytes
};
enum { kStoredEntry = 0xFFFFFFFFu };

// One block of a compressed archive: a Zstandard frame stored as an archive entry.
struct PackedBlockData {
    uint32_t dataOffset; // where the frame lies in the file
    uint32_t size;       // the frame's stored bytes
    uint32_t decodedSize;
    uint32_t order; // position in the archive's walk
    uint32_t sum;   // CRC-32C of the stored bytes, from the integrity record
    uint32_t hasSum;
};

// The archive's entries sorted by name ignoring ASCII case, then by order.
// How the walk that built an index ended.
enum ArchiveEnding {
    kArchiveEndMarker = 0, // at the end marker: every entry lies inside the file
    kArchiveNoMarker = 1,  // at the end of the file without a marker (the uninstaller's archive)
    kArchiveCut = 2,       // at an entry that does not fit: the file is cut or damaged
};

struct ArchiveIndexData {
    ArchiveIndexEntry *entries;
    uint32_t count;
    uint32_t capacity;
    char *names; // every name, each closed by a NUL
    uint32_t namesUsed;
    uint32_t namesCapacity;
    int ending;              // an ArchiveEnding
    PackedBlockData *blocks; // a compressed archive's blocks, in archive order
    uint32_t blockCount;
    uint32_t blockCapacity;
    uint32_t window; // the largest window of any block, from the catalogue; 0 when none
};

// Optional lock around the variable table, installed by a platform layer whose threads
// share the table. Null hooks mean no locking.
struct TableLockHooks {
    void (*enter)(void);
    void (*leave)(void);
};

// Delivers one progress-protocol message to the progress window and returns the reply.
typedef intptr_t (*ProgressSendFunction)(void *window, unsigned message, uintptr_t wParam,
                                         intptr_t lParam);

// The text of string-table entry `id` in the wizard's language, as UTF-8 into `buffer`; false
// when that language has none (the caller then uses its English text).
typedef bool (*LanguageTextFunction)(unsigned id, char *buffer, size_t capacity);

// A line of the loaded script as written, for the log.
struct ScriptLine {
    int number;           // 1 for the first line of the text; 0 when there is none
    char text[kTextSize]; // from its keyword to its end, cut at 519 characters
    int code;             // the result its command returned
};

// Told of every command the interpreter runs: `begin` before it, with its line and that line's
// number, `end` after it, with its result. Null hooks mean nobody listens.
struct CommandObserverHooks {
    void (*begin)(int phase, int lineNumber, const char *lineStart, const char *argumentStart,
                  const char *lineEnd);
    void (*end)(int result);
};
