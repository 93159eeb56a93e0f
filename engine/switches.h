// The standard switches that deployment tools pass to setups and uninstallers, beside the folder
// path and file names of the engine's own command line:
//   /S          silent run into the folder the wizard would propose
//   /D=PATH     the installation folder: the rest of the command line, blanks included, unquoted
//   /LOG=PATH   where the log goes
//   /NORESTART  never restart Windows (3010 asks for it)
//   /? /HELP    the usage in a message box, exit code 0
// Switches are recognised ignoring case, anywhere before /D=. Any other argument that begins
// with '/' is refused, as is a silent installation folder that is not an absolute path.
#pragma once

#include <stddef.h>

// The exit code of a refused command line (the code deployment tools know for a bad one).
enum { kExitBadCommandLine = 1639 };

// Reads the next argument of the engine's own form (comma-separated, quotes optional, blanks
// inside an argument do not separate) into `argument`, taking in every switch on the way. An
// argument of the engine's form ends where a blank is followed by '/'. False at the end of the
// line.
bool NextCommandLineArgument(const char **cursor, const char *end, char *argument, size_t capacity);

// After the command line was read: /S selects the silent run, /D= then gives its folder.
void ApplySwitches(void);

// Before start-up: shows the usage when asked (exit code 0), or writes into the log why the
// command line is refused (exit code 1639). True when the run ends here, with *exitCode.
bool EndsBeforeStartUp(int *exitCode);

// After start-up: /D= pre-fills the wizard's folder; a silent run's folder must be absolute.
// False (the log says why; exit code 1639) when the silent run is refused.
bool AcceptFolderAfterStartUp(void);

// The command line the uninstaller hands its copy: the switches as read (the log's path made
// absolute), the files, and for /S without a folder the uninstaller's own folder. The text lives
// until the next call.
const char *CommandLineForCopy(const char *commandLine);
