// A test robot for message boxes: a thread watches the desktop for a dialog (class "#32770")
// with a given caption, in this process or any other, reads its text and presses a button.
#pragma once

#include <windows.h>

#include <string>

class MessageBoxRobot
{
  public:
    // Starts watching for up to `seconds`; `button` is the command id to press (IDOK, IDYES...).
    MessageBoxRobot(const char *caption, int button, int seconds = 30)
        : Caption(caption), Button(button), Deadline(GetTickCount() + seconds * 1000u)
    {
        Thread = CreateThread(nullptr, 0, Watch, this, 0, nullptr);
    }

    ~MessageBoxRobot()
    {
        Wait();
    }

    // Waits until the robot pressed the button or gave up; true when it found the box.
    bool Wait()
    {
        if (Thread) {
            WaitForSingleObject(Thread, INFINITE);
            CloseHandle(Thread);
            Thread = nullptr;
        }
        return Found;
    }

    std::string Text; // the message, as the box shows it
    bool Found = false;

  private:
    static BOOL CALLBACK Visit(HWND window, LPARAM self)
    {
        MessageBoxRobot *robot = (MessageBoxRobot *)self;
        char className[64];
        char caption[256];
        GetClassNameA(window, className, sizeof className);
        GetWindowTextA(window, caption, sizeof caption);
        if (strcmp(className, "#32770") != 0 || robot->Caption != caption ||
            !IsWindowVisible(window))
            return TRUE;
        char text[2048];
        text[0] = 0;
        GetDlgItemTextA(window, 0xFFFF, text, sizeof text); // the message box's text control
        robot->Text = text;
        robot->Found = true;
        PostMessageA(window, WM_COMMAND, (WPARAM)robot->Button, 0);
        return FALSE;
    }

    static DWORD WINAPI Watch(LPVOID self)
    {
        MessageBoxRobot *robot = (MessageBoxRobot *)self;
        while (!robot->Found && (int)(robot->Deadline - GetTickCount()) > 0) {
            EnumWindows(Visit, (LPARAM)robot);
            Sleep(50);
        }
        return 0;
    }

    std::string Caption;
    int Button;
    DWORD Deadline;
    HANDLE Thread = nullptr;
};
