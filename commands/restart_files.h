// Files in use: what a program holds open cannot be deleted or replaced now; it is deleted or
// replaced when Windows next starts (MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT on the NT
// family, the [rename] section of WININIT.INI on the 95 family). Each scheduled step is noted
// for the log and sets RestartNeeded, so that the run ends with 3010.
#pragma once

// True when `error`, left by a failed delete or write of the file at `path`, means that a
// program holds the file (a read-only file is not in use: it fails for ever).
bool FileInUse(const char *path, unsigned long error);

// Schedules the deletion of a file, or of a folder that will be empty by then. True when the
// system took it.
bool DeleteAtRestart(const char *path);

// Schedules `source` (a file beside it) to take the place of `destination`. True when taken.
bool ReplaceAtRestart(const char *source, const char *destination);

// True when the folder holds nothing but what this run scheduled to leave it (deleted, or moved
// to its place), and it exists.
bool OnlyScheduledIn(const char *folder);

// The notes of this run's scheduled steps, one line each.
int RestartNoteCount(void);
const char *RestartNote(int index);
