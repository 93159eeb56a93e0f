// mksetup trace: runs phases of a script with the real scanner, variables, interpreter and
// control commands while every system command only records what it would do.
#pragma once

#include <stdio.h>

// argv holds the arguments after "trace". Events go to out, complaints to err. Returns the
// exit status: 0 when the script was read, 1 when it could not be read, 2 for a usage error.
int RunTrace(int argc, char **argv, FILE *out, FILE *err);

extern const char TraceUsage[];
