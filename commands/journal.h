// The journal of an installation that can be undone. With `Set #ROLLBACK#, 1` in phase 0 of a
// setup, every change the engine's own commands make from then on is written down before it is
// made: a file created or replaced, a file deleted, a folder created or removed, a registry
// value or key written or deleted. A file that is replaced or deleted is kept by moving it into
// a hidden backup folder on its volume. When the installation fails, RollBack plays the journal
// backwards; when it succeeds, CommitJournal removes the backups. Programs the script started,
// services it stopped and the like are not undone.
#pragma once

#include <windows.h>

// Starts writing the journal; run control calls it when a setup asks for a rollback.
void StartJournal(void);
bool JournalRecording(void);

// A mark for JournalCancel; kNoMark when nothing was written down.
enum { kNoMark = -1 };

// Before a file is written (created, or replaced whole): an existing file is moved into the
// backup. Returns a mark: the caller cancels it when the write then fails.
int JournalFileWrite(const char *path);
// The same, for a caller that has just read the path's attributes (INVALID_FILE_ATTRIBUTES when
// nothing is there): looking a name up again costs as much as the journal itself.
int JournalFileWriteSeen(const char *path, DWORD attributes);

// Instead of deleting a file: moves it into the backup. True when the file is gone; false when
// it could not be moved (in use), and then nothing is written down.
bool JournalFileDelete(const char *path);

// After a folder was created where none stood.
void JournalFolderCreated(const char *path);

// Before an empty folder is removed. The caller cancels the mark when the removal failed.
int JournalFolderRemove(const char *path);

// Before a registry value is written or deleted: its old content, and the keys of its path
// that do not exist yet (a write creates them). `root` is the predefined key the command names;
// `opened` the key it works under now: the same, or, for HKEY_CURRENT_USER while the command
// acts as the logged-on user, that user's own hive (`userHive`), which an undo opens again.
// `view` holds the view flags the command opens keys with.
void JournalRegistryValue(HKEY root, HKEY opened, bool userHive, REGSAM view, const char *key,
                          const char *name);

// Before a registry key is deleted with everything below it: its whole tree.
void JournalRegistryTree(HKEY root, HKEY opened, bool userHive, REGSAM view, const char *key);

// The change a mark was taken for did not happen: what was written down for it is undone at
// once (a file moved into the backup goes back) and forgotten.
void JournalCancel(int mark);

// The write a JournalFileWrite mark was taken for failed. When it left a file behind (a part of
// one), the step stays, and a rollback removes it or puts the kept file back; when it left
// nothing, the step is cancelled.
void JournalWriteFailed(int mark);

// Undoes every change written down, the last first, and stops the journal. A step that cannot
// be undone (a file in use) is passed over and noted; a kept file that cannot be put back
// stays in the backup folder, and the note says where. While a progress window is set, the
// first status line says "Rolling back changes" and the bar moves back from `percent` to 0.
// Returns the number of notes.
int RollBack(int percent);

// True when a RollBack undid at least one change.
bool JournalRolledBack(void);

// The notes of the last RollBack, one line each.
int RollbackNoteCount(void);
const char *RollbackNote(int index);

// The installation succeeded: the backups are removed and the journal stops.
void CommitJournal(void);
