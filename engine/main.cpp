// The program entry of the engine.
#include <windows.h>

#include "base/syscalls.h"
#include "engine/run.h"

// The arguments after the program's own name, which the system's rules quote when it holds a
// blank (and never escape inside it).
static const char *AfterProgramName(const char *line)
{
    if (*line == '"') {
        for (line++; *line && *line != '"'; line++) {
        }
        if (*line)
            line++;
    } else {
        while (*line && *line != ' ' && *line != '\t')
            line++;
    }
    while (*line == ' ' || *line == '\t')
        line++;
    return line;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // Before any window or shell call can load a library: the engine usually runs from a
    // folder that any program of the user can write, elevated.
    RestrictLibrarySearch();
    // The command line as the system holds it, not in the code page: a folder named in any
    // language reaches the engine whole. (It lives as long as the process.)
    const char *line = CommandLineU();
    return RunEngine(instance, line ? AfterProgramName(line) : "");
}
