#include "commands/journal.h"

#include <stdlib.h>
#include <string.h>

#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "commands/files.h"
#include "commands/realuser.h"
#include "commands/restart_files.h"
#include "resources/resource.h"
#include "script/interpreter.h"

enum StepKind {
    kStepFileWritten,   // a file was created or replaced; `backup` holds what stood there
    kStepFileDeleted,   // a file was deleted: moved to `backup`
    kStepFolderCreated, // a folder was created
    kStepFolderRemoved, // an empty folder was removed
    kStepValue,         // a registry value was written or deleted; the old one is kept
    kStepKeyCreated,    // a registry key was created
    kStepTree,          // a registry key was deleted with its tree, which is kept
};

struct JournalStep {
    int kind;
    char path[kPathSize];   // the file or folder; for the registry the key path
    char backup[kPathSize]; // where the old file is kept; empty when none stood there
    bool copied;            // the old file was copied to the backup, not moved
    HKEY root;              // registry steps: a predefined key...
    bool userHive;          // ...or, for HKEY_CURRENT_USER, the logged-on user's own hive
    REGSAM view;            // the view flags the command used
    char *name;             // the value's name
    bool hadValue;          // the value existed before
    DWORD type;             // its type, size and data
    DWORD size;
    uint8_t *data; // the value's data; for kStepTree the saved tree
};

// A backup folder per volume, made when the first file of that volume is kept.
struct BackupFolder {
    char volume[kPathSize]; // "C:\" or "\\server\share\"
    char folder[kPathSize];
};

enum { kStepGrowth = 64, kBackupFolders = 8, kValueNameSize = 16384, kNotesGrowth = 16 };

static bool recording;
static bool rolledBack;
static JournalStep *steps;
static int stepCount;
static int stepCapacity;
static BackupFolder backups[kBackupFolders];
static int backupCount;
static unsigned backupSerial;
static char (*notes)[2 * kPathSize + 64];
static int noteCount;
static int noteCapacity;

void StartJournal(void)
{
    recording = true;
}

bool JournalRecording(void)
{
    return recording;
}

// A new step at the end of the journal, zeroed; null when the journal cannot grow (the change
// then goes unrecorded, as it would without a journal).
static JournalStep *NewStep(int kind)
{
    if (stepCount == stepCapacity) {
        // Doubling: an installation of many files writes down a step for each.
        int capacity = stepCapacity ? stepCapacity * 2 : kStepGrowth;
        void *grown = realloc(steps, sizeof *steps * (size_t)capacity);
        if (!grown)
            return nullptr;
        steps = (JournalStep *)grown;
        stepCapacity = capacity;
    }
    JournalStep *step = &steps[stepCount++];
    memset(step, 0, sizeof *step);
    step->kind = kind;
    return step;
}

static void FreeStep(JournalStep *step)
{
    free(step->name);
    free(step->data);
}

// The root of the volume a path lies on: "C:\" or "\\server\share\". False for other paths.
static bool VolumeOf(const char *path, char *volume, size_t capacity)
{
    if (((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' && path[2] == '\\')
        return CopyTextN(volume, capacity, path, 3);
    if (path[0] != '\\' || path[1] != '\\')
        return false;
    const char *server = strchr(path + 2, '\\');
    const char *share = server ? strchr(server + 1, '\\') : nullptr;
    return share && CopyTextN(volume, capacity, path, (size_t)(share - path) + 1);
}

// Makes a new hidden folder in `parent` (which ends in a backslash) for this run's backups. It
// is guarded: a backup folder a user could rename and replace would let that user choose what a
// rollback moves into the computer's own folders.
static bool MakeBackupFolder(const char *parent, char *folder, size_t capacity)
{
    if (!CreateNewGuardedFolder(parent, "~VTBackup", folder, capacity))
        return false;
    SetFileAttributesU(folder, FILE_ATTRIBUTE_HIDDEN); /* best effort */
    return true;
}

// Moves (or, where it cannot be moved, copies) the file at `path` into a backup folder on its
// volume; `backup` gets where. A file moves only within its volume: the backup folder lies at
// the volume's root, or, where that cannot be, in the file's own folder.
static bool KeepFile(const char *path, char *backup, bool *copied)
{
    char volume[kPathSize];
    char parent[kPathSize];
    const char *slash = strrchr(path, '\\');
    if (!slash || !CopyTextN(parent, sizeof parent, path, (size_t)(slash - path) + 1) ||
        PathThroughLink(parent))
        return false;
    const char *places[2] = {VolumeOf(path, volume, sizeof volume) ? volume : nullptr, parent};
    for (const char *place : places) {
        if (!place)
            continue;
        BackupFolder *found = nullptr;
        for (int i = 0; i < backupCount && !found; i++) {
            if (EqualIgnoringCase(backups[i].volume, place))
                found = &backups[i];
        }
        if (!found && backupCount < kBackupFolders &&
            MakeBackupFolder(place, backups[backupCount].folder, kPathSize)) {
            found = &backups[backupCount++];
            CopyText(found->volume, sizeof found->volume, place);
        }
        if (!found || !FormatText(backup, kPathSize, "%s\\%u", found->folder, ++backupSerial))
            continue;
        *copied = false;
        if (MoveFileU(path, backup))
            return true;
        // A file that cannot be moved (held open without shared deletion) is copied: it is
        // kept all the same, and the command's own write decides what happens to it.
        if (Sys.CopyFileU(path, backup, TRUE)) {
            *copied = true;
            return true;
        }
    }
    backup[0] = 0;
    return false;
}

int JournalFileWrite(const char *path)
{
    return recording ? JournalFileWriteSeen(path, GetFileAttributesU(path)) : kNoMark;
}

int JournalFileWriteSeen(const char *path, DWORD attributes)
{
    if (!recording)
        return kNoMark;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return kNoMark; /* the write fails on a folder */
    char backup[kPathSize] = "";
    bool copied = false;
    if (attributes != INVALID_FILE_ATTRIBUTES && !KeepFile(path, backup, &copied))
        return kNoMark; /* what cannot be kept cannot be put back: noted when undone */
    JournalStep *step = NewStep(kStepFileWritten);
    if (!step)
        return kNoMark;
    CopyText(step->path, sizeof step->path, path);
    CopyText(step->backup, sizeof step->backup, backup);
    step->copied = copied;
    return stepCount - 1;
}

bool JournalFileDelete(const char *path)
{
    char backup[kPathSize];
    bool copied = false;
    if (!KeepFile(path, backup, &copied))
        return false;
    if (copied) {
        // Held open: it stays where it is, and so does the delete's failure.
        Sys.DeleteFileU(backup); /* best effort */
        return false;
    }
    JournalStep *step = NewStep(kStepFileDeleted);
    if (!step) {
        MoveFileU(backup, path); /* best effort: without a step it must not stay away */
        return false;
    }
    CopyText(step->path, sizeof step->path, path);
    CopyText(step->backup, sizeof step->backup, backup);
    return true;
}

void JournalFolderCreated(const char *path)
{
    JournalStep *step = recording ? NewStep(kStepFolderCreated) : nullptr;
    if (step)
        CopyText(step->path, sizeof step->path, path);
}

int JournalFolderRemove(const char *path)
{
    JournalStep *step = recording ? NewStep(kStepFolderRemoved) : nullptr;
    if (!step)
        return kNoMark;
    CopyText(step->path, sizeof step->path, path);
    return stepCount - 1;
}

// The registry root of a step, with the view flags added to `access`: the logged-on user's hive
// is opened again as that user. *owned says whether CloseStepRoot must close it.
static HKEY OpenStepRoot(const JournalStep *step, bool *owned)
{
    *owned = false;
    if (!step->userHive)
        return step->root;
    HKEY hive = nullptr;
    ActAsRealUser(true); /* best effort */
    if (Sys.RegOpenCurrentUser && Sys.RegOpenCurrentUser(KEY_ALL_ACCESS, &hive) == ERROR_SUCCESS)
        *owned = true;
    ActAsRealUser(false);
    return *owned ? hive : step->root;
}

static void CloseStepRoot(HKEY root, bool owned)
{
    if (owned)
        RegCloseKey(root);
}

static JournalStep *NewRegistryStep(int kind, HKEY root, bool userHive, REGSAM view,
                                    const char *key)
{
    JournalStep *step = NewStep(kind);
    if (!step)
        return nullptr;
    if (!CopyText(step->path, sizeof step->path, key)) {
        stepCount--;
        return nullptr;
    }
    step->root = root;
    step->userHive = userHive;
    step->view = view;
    return step;
}

void JournalRegistryValue(HKEY root, HKEY opened, bool userHive, REGSAM view, const char *key,
                          const char *name)
{
    if (!recording)
        return;
    HKEY base = opened;
    // The levels of the path that do not exist yet, outermost first: a write creates them.
    char level[kPathSize];
    if (CopyText(level, sizeof level, key)) {
        for (char *p = level;; p++) {
            if (*p != '\\' && *p != 0)
                continue;
            char kept = *p;
            *p = 0;
            HKEY existing;
            if (RegOpenKeyExU(base, level, 0, KEY_READ | view, &existing) == ERROR_SUCCESS)
                RegCloseKey(existing);
            else
                NewRegistryStep(kStepKeyCreated, root, userHive, view, level);
            *p = kept;
            if (kept == 0)
                break;
        }
    }
    JournalStep *step = NewRegistryStep(kStepValue, root, userHive, view, key);
    if (step) {
        size_t length = strlen(name) + 1;
        step->name = (char *)malloc(length);
        if (step->name)
            memcpy(step->name, name, length);
        HKEY value;
        if (step->name && RegOpenKeyExU(base, key, 0, KEY_READ | view, &value) == ERROR_SUCCESS) {
            DWORD size = 0;
            if (RegQueryValueExU(value, name, nullptr, &step->type, nullptr, &size) ==
                    ERROR_SUCCESS &&
                (step->data = (uint8_t *)malloc(size ? size : 1)) != nullptr &&
                RegQueryValueExU(value, name, nullptr, &step->type, step->data, &size) ==
                    ERROR_SUCCESS) {
                step->hadValue = true;
                step->size = size;
            }
            RegCloseKey(value);
        }
    }
}

// A growing byte buffer for a saved registry tree: records 'K' path NUL (a key) and 'V' path
// NUL name NUL type size data (a value), paths relative to the deleted key, parents first.
struct Bytes {
    uint8_t *data;
    size_t size;
    size_t capacity;
    bool failed;
};

static void Put(Bytes *b, const void *bytes, size_t count)
{
    if (b->failed)
        return;
    if (b->size + count > b->capacity) {
        size_t capacity = (b->capacity + count) * 2;
        void *grown = realloc(b->data, capacity);
        if (!grown) {
            b->failed = true;
            return;
        }
        b->data = (uint8_t *)grown;
        b->capacity = capacity;
    }
    memcpy(b->data + b->size, bytes, count);
    b->size += count;
}

static void SaveTree(HKEY key, REGSAM view, const char *relative, Bytes *out, char *name,
                     DWORD depth)
{
    Put(out, "K", 1);
    Put(out, relative, strlen(relative) + 1);
    for (DWORD i = 0; !out->failed; i++) {
        DWORD nameSize = kValueNameSize;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueU(key, i, name, &nameSize, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        uint8_t *data = (uint8_t *)malloc(size ? size : 1);
        nameSize = kValueNameSize;
        if (data &&
            RegEnumValueU(key, i, name, &nameSize, nullptr, &type, data, &size) == ERROR_SUCCESS) {
            Put(out, "V", 1);
            Put(out, relative, strlen(relative) + 1);
            Put(out, name, strlen(name) + 1);
            Put(out, &type, sizeof type);
            Put(out, &size, sizeof size);
            Put(out, data, size);
        }
        free(data);
    }
    if (depth > 64)
        return; /* deeper trees are not kept whole */
    for (DWORD i = 0; !out->failed; i++) {
        DWORD nameSize = kValueNameSize;
        if (RegEnumKeyExU(key, i, name, &nameSize) != ERROR_SUCCESS)
            break;
        char *child = (char *)malloc(kValueNameSize * 2);
        HKEY opened;
        if (child &&
            FormatText(child, kValueNameSize * 2, relative[0] ? "%s\\%s" : "%s%s", relative,
                       name) &&
            RegOpenKeyExU(key, name, 0, KEY_READ | view, &opened) == ERROR_SUCCESS) {
            SaveTree(opened, view, child, out, name, depth + 1);
            RegCloseKey(opened);
        }
        free(child);
    }
}

void JournalRegistryTree(HKEY root, HKEY opened, bool userHive, REGSAM view, const char *key)
{
    if (!recording)
        return;
    JournalStep *step = NewRegistryStep(kStepTree, root, userHive, view, key);
    if (!step)
        return;
    HKEY top;
    Bytes tree = {nullptr, 0, 0, false};
    char *name = (char *)malloc(kValueNameSize);
    if (name && RegOpenKeyExU(opened, key, 0, KEY_READ | view, &top) == ERROR_SUCCESS) {
        SaveTree(top, view, "", &tree, name, 0);
        RegCloseKey(top);
        step->hadValue = !tree.failed;
    } else {
        stepCount--; /* nothing to keep: the key is not there */
        free(name);
        return;
    }
    free(name);
    step->data = tree.data;
    step->size = (DWORD)tree.size;
}

// Notes a step that could not be undone, for the log.
static void Note(const char *format, const char *a, const char *b)
{
    if (noteCount == noteCapacity) {
        void *grown = realloc(notes, sizeof *notes * (size_t)(noteCapacity + kNotesGrowth));
        if (!grown)
            return;
        notes = (char(*)[2 * kPathSize + 64]) grown;
        noteCapacity += kNotesGrowth;
    }
    FormatText(notes[noteCount++], sizeof notes[0], format, a, b);
}

// A folder of what is deleted at the next restart goes after its files.
static bool RemoveAtRestart(const char *folder)
{
    return OnlyScheduledIn(folder) && DeleteAtRestart(folder);
}

static bool Gone(const char *path)
{
    return GetFileAttributesU(path) == INVALID_FILE_ATTRIBUTES;
}

// A kept file whose place is held by a program goes back when Windows next starts.
static bool PutBackAtRestart(const JournalStep *step)
{
    if (PathThroughLink(step->path) || !ReplaceAtRestart(step->backup, step->path))
        return false;
    Note("Put back when Windows restarts: %s, kept until then as %s", step->path, step->backup);
    return true;
}

// Puts a kept file back at its place. False when it cannot: it then stays in the backup. A
// place that now lies behind a link is not its place.
static bool PutBack(const JournalStep *step)
{
    if (PathThroughLink(step->path) || (!Gone(step->path) && !Sys.DeleteFileU(step->path)))
        return false;
    return MoveFileU(step->backup, step->path) != FALSE;
}

static void DeleteKey(HKEY root, const char *path, REGSAM view)
{
    if (view != 0 && Sys.RegDeleteKeyExU)
        Sys.RegDeleteKeyExU(root, path, view, 0);
    else
        RegDeleteKeyU(root, path);
}

static bool KeyExists(HKEY root, const char *path, REGSAM view)
{
    HKEY key;
    if (RegOpenKeyExU(root, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

static void RestoreTree(HKEY root, const JournalStep *step)
{
    const uint8_t *p = step->data;
    const uint8_t *end = p ? p + step->size : p;
    char path[kPathSize];
    while (p < end) {
        char kind = (char)*p++;
        const char *relative = (const char *)p;
        p += strlen(relative) + 1;
        bool fits =
            FormatText(path, sizeof path, relative[0] ? "%s\\%s" : "%s%s", step->path, relative);
        HKEY key = nullptr;
        if (fits)
            Sys.RegCreateKeyExU(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS | step->view, nullptr, &key, nullptr);
        if (kind == 'V') {
            const char *name = (const char *)p;
            p += strlen(name) + 1;
            DWORD type;
            DWORD size;
            memcpy(&type, p, sizeof type);
            memcpy(&size, p + sizeof type, sizeof size);
            p += sizeof type + sizeof size;
            if (key)
                Sys.RegSetValueExU(key, name, 0, type, p, size);
            p += size;
        }
        if (key)
            RegCloseKey(key);
    }
}

static void UndoRegistryStep(const JournalStep *step)
{
    bool owned;
    HKEY root = OpenStepRoot(step, &owned);
    HKEY key;
    switch (step->kind) {
    case kStepValue:
        if (step->hadValue) {
            if (Sys.RegCreateKeyExU(root, step->path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS | step->view, nullptr, &key,
                                    nullptr) == ERROR_SUCCESS) {
                Sys.RegSetValueExU(key, step->name, 0, step->type, step->data, step->size);
                RegCloseKey(key);
            }
        } else if (step->name && RegOpenKeyExU(root, step->path, 0, KEY_ALL_ACCESS | step->view,
                                               &key) == ERROR_SUCCESS) {
            RegDeleteValueU(key, step->name);
            RegCloseKey(key);
        }
        break;
    case kStepKeyCreated:
        DeleteKey(root, step->path, step->view);
        if (KeyExists(root, step->path, step->view))
            Note("Not undone: the registry key %s%s stays (something else is in it)", step->path,
                 "");
        break;
    case kStepTree:
        if (step->hadValue)
            RestoreTree(root, step);
        else
            Note("Not undone: the registry key %s%s was not kept whole", step->path, "");
        break;
    }
    CloseStepRoot(root, owned);
}

static void UndoStep(const JournalStep *step)
{
    // What became a link since (a folder replaced by a junction to somewhere else) is not gone
    // through: whatever the undo did there, it would do in the place the link leads to.
    if (step->kind == kStepFileWritten && !step->backup[0] && PathThroughLink(step->path)) {
        Note("Not undone: %s%s lies behind a link", step->path, "");
        return;
    }
    if ((step->kind == kStepFolderCreated || step->kind == kStepFolderRemoved) &&
        PathThroughLink(step->path)) {
        Note("Not undone: the folder %s%s lies behind a link", step->path, "");
        return;
    }
    switch (step->kind) {
    case kStepFileWritten:
        if (step->backup[0]) {
            if (!PutBack(step) && !PutBackAtRestart(step))
                Note("Not undone: %s could not be put back; the earlier file is kept as %s",
                     step->path, step->backup);
        } else if (!Gone(step->path) && !Sys.DeleteFileU(step->path) &&
                   !DeleteAtRestart(step->path)) {
            Note("Not undone: %s%s could not be removed", step->path, "");
        }
        break;
    case kStepFileDeleted:
        if (!PutBack(step) && !PutBackAtRestart(step))
            Note("Not undone: %s could not be put back; it is kept as %s", step->path,
                 step->backup);
        break;
    case kStepFolderCreated:
        if (!Gone(step->path) && !Sys.RemoveDirectoryU(step->path) && !RemoveAtRestart(step->path))
            Note("Not undone: the folder %s%s could not be removed", step->path, "");
        break;
    case kStepFolderRemoved:
        if (Gone(step->path))
            Sys.CreateDirectoryU(step->path, nullptr); /* best effort */
        break;
    default:
        UndoRegistryStep(step);
        break;
    }
}

void JournalCancel(int mark)
{
    if (mark < 0 || mark >= stepCount)
        return;
    // Only the last steps can be cancelled: the change that followed them did not happen.
    while (stepCount > mark) {
        JournalStep *step = &steps[--stepCount];
        if (step->kind == kStepFileWritten && step->backup[0]) {
            if (step->copied)
                Sys.DeleteFileU(step->backup); /* the file never left its place */
            else
                PutBack(step); /* best effort */
        }
        FreeStep(step);
    }
}

void JournalWriteFailed(int mark)
{
    if (mark < 0 || mark >= stepCount)
        return;
    const JournalStep *step = &steps[mark];
    // A kept copy means the file never left its place: whatever stands there is the old file.
    if (!step->copied && !Gone(step->path))
        return;
    JournalCancel(mark);
}

static void RemoveBackupFolders(void)
{
    // A kept file that is still in use keeps its folder until Windows restarts.
    for (int i = 0; i < backupCount; i++) {
        if (!Sys.RemoveDirectoryU(backups[i].folder))
            RemoveAtRestart(backups[i].folder); /* best effort */
    }
    backupCount = 0;
}

static void ForgetSteps(void)
{
    for (int i = 0; i < stepCount; i++)
        FreeStep(&steps[i]);
    stepCount = 0;
    recording = false;
}

int RollBack(int percent)
{
    noteCount = 0;
    recording = false;
    if (ProgressWindow)
        ShowStatus(IDS_STATUS_ROLL_BACK, "Rolling back changes");
    int total = stepCount;
    rolledBack = total > 0;
    for (int i = total - 1; i >= 0; i--) {
        UndoStep(&steps[i]);
        if (ProgressWindow && total > 0)
            SendProgress(kMsgProgress, (uintptr_t)((long long)percent * i / total), 0);
    }
    ForgetSteps();
    RemoveBackupFolders();
    return noteCount;
}

bool JournalRolledBack(void)
{
    return rolledBack;
}

int RollbackNoteCount(void)
{
    return noteCount;
}

const char *RollbackNote(int index)
{
    return index >= 0 && index < noteCount ? notes[index] : "";
}

void CommitJournal(void)
{
    for (int i = 0; i < stepCount; i++) {
        if (steps[i].backup[0] && !Sys.DeleteFileU(steps[i].backup) && !Gone(steps[i].backup))
            DeleteAtRestart(steps[i].backup); /* a kept file in use goes at the restart */
    }
    ForgetSteps();
    RemoveBackupFolders();
}
