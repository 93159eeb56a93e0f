// The program entry of the engine.
#include <windows.h>

#include "base/syscalls.h"
#include "engine/run.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    // Before any window or shell call can load a library: the engine usually runs from a
    // folder that any program of the user can write, elevated.
    RestrictLibrarySearch();
    return RunEngine(instance, commandLine);
}
