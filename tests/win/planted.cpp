// A library a stranger would plant beside a setup or in the temporary folder, named like one
// the engine or Windows loads. Whatever loads it or calls its entry leaves a mark next to it,
// "<its file name>.ran", which the planting tests look for.
#include <windows.h>

static HINSTANCE self;

static void LeaveMark(void)
{
    char path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    lstrcatA(path, ".ran");
    HANDLE mark = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (mark != INVALID_HANDLE_VALUE)
        CloseHandle(mark);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
        LeaveMark();
    }
    return TRUE;
}

// The helper library's entry, as rundll32 calls it.
extern "C" __declspec(dllexport) void CALLBACK RunNonElevated(HWND, HINSTANCE, LPSTR, int)
{
    LeaveMark();
}
