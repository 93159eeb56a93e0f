// The program entry of the engine.
#include <windows.h>

#include "engine/run.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    return RunEngine(instance, commandLine);
}
