// Result codes shared by every layer: commands, run control and the archive report with them.
#pragma once

// Result codes of commands and of run control; 0 is success.
enum ResultCode {
    kOk = 0,
    kErrNoServiceManager = 1,
    kErrMissingArgument = 3,
    kErrTableFull = 4,
    kErrProgramNotClosed = 6,
    kErrFolderNotCreated = 7,
    kErrFileNotWritten = 8,
    kErrLinkNotCreated = 9,
    kErrRegRootSz = 11,
    kErrRegRootDw = 12,
    kErrStartup = 13,
    kErrThreadNotStarted = 14,
    kErrPreviousVersion = 15,
    kErrNotAdministrator = 16,
    kErrArchive = 17,
    kErrEntryDamaged =
        18, // an archive entry does not match its checksum: the setup file is damaged
    kErrFileNotDeleted = 19,
    kErrFolderNotRemoved = 20,
    kErrRegRootDeleteKey = 21,
    kErrRegRootDeleteValue = 22,
    kErrNotPatched = 24,
    kErrNotStarted = 27,
    kErrPhaseMissing = 28,
    kErrScriptError = 29,
    kErrFolderNotTrusted = 30, // the installation folder exists, and is not the administrators'
    // A name or value cannot be handed to Windows: on the 95 family a character the ANSI code
    // page lacks, anywhere a text that is not well-formed.
    kErrTextNotConverted = 31,
};

// Exit codes of the process, as deployment tools read them.
enum ExitCode {
    kExitFinished = 0,          // the installation or removal finished
    kExitRefused64Bit = 1,      // the script refuses 64-bit Windows
    kExitStartupFailed = 13,    // start-up failed: nothing was done
    kExitCancelled = 1602,      // the person at the desktop cancelled
    kExitFailed = 1603,         // a phase failed
    kExitAlreadyRunning = 1618, // another run of a setup or uninstaller of the product is on
    kExitRestartNeeded = 3010,  // finished; the script asked for a restart that was not done
};
