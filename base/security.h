// Who may change what the elevated engine makes and uses: the access lists it gives its folders,
// the owners it trusts, its temporary folder and the guard of a product's runs. Every security
// function is looked up at run time: systems without access lists (the 95 family) get the plain
// behaviour, as a run that is not elevated does.
#pragma once

#include <windows.h>

#include <stddef.h>

// The access list of the installation's folders, as Program Files has it: the system and
// administrators may do everything, users read and run; handed down to everything inside, and
// nothing taken from the folder above.
extern const char kProtectedFolderAccess[];

// True when the engine runs elevated (an administrator's full rights), the case in which what it
// makes must be kept from the users of the computer.
bool RunsElevated(void);

// Creates a folder with the access list `access` (security descriptor text) when elevated, with
// the usual inherited one otherwise. As CreateDirectoryA: false on failure, error in
// GetLastError.
bool CreateFolderWithAccess(const char *path, const char *access);

// What an existing installation folder may be used for, when elevated: kFolderTrusted (it is
// owned by the system, the administrators or the installer service, and now carries the
// protected access list), kFolderRefused (another owner, or a link to elsewhere: its contents
// could be anybody's). A run that is not elevated, or a folder that does not exist, is not asked.
enum { kFolderTrusted = 0, kFolderRefused = 1 };
int AdoptInstallFolder(const char *path);

// Opens a folder this run has just made, shared without deletion so that nobody can rename or
// replace it while the handle is open, and checks through that handle that it is a folder (no
// link) owned by a trusted owner, which nobody else may change. Not elevated, only that it is a
// folder. INVALID_HANDLE_VALUE when it is not what was made.
HANDLE HoldOwnFolder(const char *path);

// The temporary folder the engine uses, without a trailing backslash. Running as the system, the
// system's own (GetTempPath2W), or where that does not exist a folder of the engine in the Windows
// folder that only the system and administrators may write; never one an environment variable
// chose. Otherwise the user's temporary folder. False when there is none.
bool EngineTempFolder(char *folder, size_t capacity);

// Takes the guard of the product's runs, named `name` ("VeltranoSetup-Tool"). In a private
// namespace bound to the administrators where the system has them, so that no user can hold the
// name first; elsewhere under the name itself (with the prefix of all sessions when `global`),
// where an object that an elevated run did not make (another owner or access list) is passed over.
// False when another run holds it; otherwise *guard is the guard held (null when none could be
// made), which ends with the process or when closed.
bool TakeProductGuard(const char *name, bool global, HANDLE *guard);
