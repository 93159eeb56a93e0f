// Test robots that act as a person at the desktop, in this process or any other.
// MessageBoxRobot: a thread watches the desktop for a message box with a given caption, reads
// its text and presses a button. WizardRobot: finds a wizard by its caption and works its
// pages: which page is shown, what a control says, type, tick, press, answer the box.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>
#include <vector>

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

// Identifies the wizard's pages by a control only that page has.
enum WizardPage {
    kNoPage = 0,
    kWelcomePage = 104,
    kLicensePage = 105,
    kDirectoryPage = 109,
    kProgressPage = 110,
    kFinishPage = 111,
    kUninstallWelcomePage = 114,
    kUninstallProgressPage = 115,
    kUninstallFinishPage = 117,
};

class WizardRobot
{
  public:
    // `frameCaption` is the wizard's caption ("Setup - Tool v3.1.3"), `boxCaption` the one of
    // its message boxes ("Setup" or "Uninstall").
    WizardRobot(const char *frameCaption, const char *boxCaption)
        : FrameCaption(frameCaption), BoxCaption(boxCaption)
    {
    }

    // Waits for the frame; false when it did not appear in time.
    bool Open(DWORD timeoutMs = 30000)
    {
        return Poll(timeoutMs, [this] {
            Frame = FindTopLevel(FrameCaption.c_str(), false);
            return Frame != nullptr;
        });
    }

    // True once the wizard's frame is gone.
    bool Closed(DWORD timeoutMs = 30000)
    {
        return Poll(timeoutMs, [this] { return !IsWindow(Frame) || !IsWindowVisible(Frame); });
    }

    // Waits until `page` is the visible page; false when another page stayed.
    bool On(WizardPage page, DWORD timeoutMs = 30000)
    {
        return Poll(timeoutMs, [this, page] { return CurrentPage() == page; });
    }

    // The visible page now.
    WizardPage CurrentPage()
    {
        HWND page = VisiblePage();
        if (page != Page)
            PageSeenAt = GetTickCount();
        Page = page;
        if (!Page)
            return kNoPage;
        if (Has(1044))
            return kUninstallWelcomePage;
        if (Has(1007))
            return kWelcomePage;
        if (Has(1014))
            return kDirectoryPage;
        if (Has(1017))
            return Has(1022) ? kProgressPage : kUninstallProgressPage;
        if (Has(1023))
            return kFinishPage;
        if (Has(1034))
            return kUninstallFinishPage;
        if (Has(1008) && ClassOf(GetDlgItem(Page, 1008)) == "Edit")
            return kLicensePage;
        return kNoPage;
    }

    HWND Control(int id)
    {
        return Page ? GetDlgItem(Page, id) : nullptr;
    }
    std::string Text(int id)
    {
        return TextOf(Control(id));
    }
    std::string Caption()
    {
        return TextOf(Frame);
    }
    bool Shown(int id)
    {
        return Control(id) && IsWindowVisible(Control(id));
    }
    bool Enabled(int id)
    {
        return Control(id) && IsWindowEnabled(Control(id));
    }
    bool Ticked(int id)
    {
        return Send(Control(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    int ProgressPosition()
    {
        return (int)Send(Control(1017), PBM_GETPOS, 0, 0);
    }

    void Type(int id, const std::string &text)
    {
        Send(Control(id), WM_SETTEXT, 0, (LPARAM)Wide(text).c_str());
    }

    // Presses a button, or clicks a box or radio, as a person would: only when it is shown
    // and enabled, and a forward button only once the page has been seen for longer than the
    // system's double-click time (a page just opened takes no click there). Does not wait for
    // what the press does. False when it could not be pressed.
    bool Press(int id)
    {
        if (id == IDOK) {
            DWORD settle = GetDoubleClickTime() + 50;
            while (GetTickCount() - PageSeenAt < settle)
                Sleep(20);
        }
        return PressAtOnce(id);
    }

    // Presses at once, as the second click of a double-click lands on whatever is under it.
    // The click reaches the page as the button's notification; a box or radio changes its
    // state first, as its own click would (a click through the mouse messages is lost when
    // the window is not yet active).
    bool PressAtOnce(int id)
    {
        HWND button = Control(id);
        if (!button || !IsWindowVisible(button) || !IsWindowEnabled(button))
            return false;
        LONG kind = GetWindowLongA(button, GWL_STYLE) & BS_TYPEMASK;
        if (kind == BS_AUTOCHECKBOX) {
            Send(button, BM_SETCHECK, Ticked(id) ? BST_UNCHECKED : BST_CHECKED, 0);
        } else if (kind == BS_AUTORADIOBUTTON) {
            for (HWND other = GetNextDlgGroupItem(Page, button, FALSE); other && other != button;
                 other = GetNextDlgGroupItem(Page, other, FALSE))
                if ((GetWindowLongA(other, GWL_STYLE) & BS_TYPEMASK) == BS_AUTORADIOBUTTON)
                    Send(other, BM_SETCHECK, BST_UNCHECKED, 0);
            Send(button, BM_SETCHECK, BST_CHECKED, 0);
        }
        return PostMessageA(Page, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button) != FALSE;
    }

    // Ticks or clears a box.
    void Tick(int id, bool ticked)
    {
        if (Ticked(id) != ticked)
            Press(id);
        Poll(5000, [&] { return Ticked(id) == ticked; });
    }

    // A key pressed while the wizard has the focus (Escape, Enter).
    void Key(WPARAM key)
    {
        HWND target = Control(IDOK) ? Control(IDOK) : Frame;
        PostMessageA(target, WM_KEYDOWN, key, 1);
        PostMessageA(target, WM_KEYUP, key, 0xC0000001);
    }

    // A key pressed where the keyboard focus is; false when the wizard has no focused window.
    bool KeyOnFocus(WPARAM key)
    {
        HWND focus = Focused();
        if (!focus)
            return false;
        PostMessageA(focus, WM_KEYDOWN, key, 1);
        PostMessageA(focus, WM_CHAR, key == VK_SPACE ? ' ' : 0, 1);
        PostMessageA(focus, WM_KEYUP, key, 0xC0000001);
        return true;
    }

    // Makes the frame the foreground and active window, as a person's click on its title bar
    // does; false when it did not become so in time. Activating it gives the keyboard focus
    // back to the control that had it, should another program have taken it meanwhile.
    bool Activate(DWORD timeoutMs = 5000)
    {
        // Asked again while it is not active: a window of another suite on the same display
        // may take the foreground in between.
        return Poll(timeoutMs, [this] {
            GUITHREADINFO info = {};
            info.cbSize = sizeof info;
            bool active = GetForegroundWindow() == Frame &&
                          GetGUIThreadInfo(GetWindowThreadProcessId(Frame, nullptr), &info) &&
                          info.hwndActive == Frame;
            if (!active)
                SetForegroundWindow(Frame);
            return active;
        });
    }

    // The window of the wizard that has the keyboard focus, or null.
    HWND Focused()
    {
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        if (!GetGUIThreadInfo(GetWindowThreadProcessId(Frame, nullptr), &info))
            return nullptr;
        return info.hwndFocus;
    }

    // The wizard's close box.
    void Close()
    {
        PostMessageA(Frame, WM_SYSCOMMAND, SC_CLOSE, 0);
    }

    // Waits for a message box of the wizard, reads it and presses `button`. Returns its text,
    // or "<no box>" when none came.
    std::string Answer(int button, DWORD timeoutMs = 30000)
    {
        HWND box = nullptr;
        if (!Poll(timeoutMs, [&] { return (box = FindTopLevel(BoxCaption.c_str(), true)); }))
            return "<no box>";
        std::string text = TextOf(GetDlgItem(box, 0xFFFF));
        BoxButtons.clear();
        for (int id : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO})
            if (GetDlgItem(box, id))
                BoxButtons.push_back(id);
        PostMessageA(box, WM_COMMAND, (WPARAM)button, 0);
        Poll(5000, [&] { return !IsWindow(box) || !IsWindowVisible(box); });
        return text;
    }

    // Waits for a message box of the wizard without answering it; false when none came.
    bool BoxShown(DWORD timeoutMs = 30000)
    {
        return Poll(timeoutMs, [&] { return FindTopLevel(BoxCaption.c_str(), true) != nullptr; });
    }

    // How many message boxes of the wizard are open.
    int BoxCount()
    {
        Search search = {BoxCaption.c_str(), true, nullptr, 0};
        EnumWindows(VisitTopLevel, (LPARAM)&search);
        return search.count;
    }

    // True when no message box of the wizard shows up within `ms`.
    bool NoBox(DWORD ms = 1000)
    {
        return !Poll(ms, [&] { return FindTopLevel(BoxCaption.c_str(), true) != nullptr; });
    }

    HWND Frame = nullptr;
    HWND Page = nullptr;
    std::vector<int> BoxButtons; // the buttons of the box Answer answered last

  private:
    template <typename Condition> static bool Poll(DWORD timeoutMs, Condition done)
    {
        DWORD start = GetTickCount();
        for (;;) {
            if (done())
                return true;
            if (GetTickCount() - start >= timeoutMs)
                return false;
            Sleep(50);
        }
    }

    static LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        DWORD_PTR result = 0;
        if (!window ||
            !SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 5000, &result))
            return -1;
        return (LRESULT)result;
    }

    // A window's text in UTF-8, whatever the system's code page.
    static std::string TextOf(HWND window)
    {
        WCHAR text[4096];
        text[0] = 0;
        DWORD_PTR result = 0;
        if (!window || !SendMessageTimeoutW(window, WM_GETTEXT, 4096, (LPARAM)text, SMTO_NORMAL,
                                            5000, &result))
            return "<no control>";
        char utf8[4096 * 3];
        utf8[0] = 0;
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
        return utf8;
    }

    // A top-level window's caption in UTF-8, read without sending it a message.
    static std::string CaptionOf(HWND window)
    {
        WCHAR text[512] = L"";
        GetWindowTextW(window, text, 512);
        char utf8[512 * 3] = "";
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
        return utf8;
    }

    // A text as the robot speaks it, UTF-8, as the windows hold it, UTF-16.
    static std::wstring Wide(const std::string &text)
    {
        std::wstring wide(text.size() + 1, L'\0');
        wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], (int)wide.size()));
        return wide.empty() ? wide : wide.substr(0, wide.size() - 1);
    }

    static std::string ClassOf(HWND window)
    {
        char name[64] = "";
        GetClassNameA(window, name, sizeof name);
        return name;
    }

    bool Has(int id)
    {
        return GetDlgItem(Page, id) != nullptr;
    }

    HWND VisiblePage()
    {
        if (!IsWindow(Frame))
            return nullptr;
        for (HWND child = GetWindow(Frame, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            if (IsWindowVisible(child) && ClassOf(child) == "#32770")
                return child;
        return nullptr;
    }

    struct Search {
        const char *caption;
        bool messageBox;
        HWND found; // the first one met
        int count;  // how many there are
    };

    static BOOL CALLBACK VisitTopLevel(HWND window, LPARAM data)
    {
        Search *s = (Search *)data;
        if (!IsWindowVisible(window) || ClassOf(window) != "#32770" ||
            CaptionOf(window) != s->caption)
            return TRUE;
        if (s->messageBox && !GetDlgItem(window, 0xFFFF))
            return TRUE;
        if (!s->found)
            s->found = window;
        s->count++;
        return TRUE;
    }

    // A visible top-level dialog with exactly this caption; a message box when `messageBox`.
    static HWND FindTopLevel(const char *caption, bool messageBox)
    {
        Search search = {caption, messageBox, nullptr, 0};
        EnumWindows(VisitTopLevel, (LPARAM)&search);
        return search.found;
    }

    std::string FrameCaption;
    std::string BoxCaption;
    DWORD PageSeenAt = 0; // when CurrentPage first saw the page it shows now
};
