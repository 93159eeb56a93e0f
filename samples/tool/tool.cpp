// Tool: the sample product. A top-level window of class "VTCWindow" whose title holds the
// product's name; the installer asks it to quit by sending it message 0x0012. Started with
// /register it only registers itself (nothing to do here) and ends with exit code 0; one
// registration runs at a time, so it first waits (up to a minute) while another one holds the
// mutex "VeltranoToolRegistration".
#include <windows.h>

#include <string.h>

static LRESULT CALLBACK ToolWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_QUIT: // sent, not posted: the installer's request to quit
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT client;
        GetClientRect(window, &client);
        DrawTextA(dc, "Tool 3.1.3 - the sample product", -1, &client,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        EndPaint(window, &paint);
        return 0;
    }
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int show)
{
    if (strstr(commandLine, "/register")) {
        HANDLE registration = CreateMutexA(nullptr, FALSE, "VeltranoToolRegistration");
        if (registration) {
            DWORD waited = WaitForSingleObject(registration, 60000);
            if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
                ReleaseMutex(registration);
            CloseHandle(registration);
        }
        return 0;
    }
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = ToolWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    windowClass.lpszClassName = "VTCWindow";
    if (!RegisterClassA(&windowClass))
        return 1;
    HWND window = CreateWindowExA(0, "VTCWindow", "Tool", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 360, 160, nullptr, nullptr, instance, nullptr);
    if (!window)
        return 1;
    ShowWindow(window, show);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
