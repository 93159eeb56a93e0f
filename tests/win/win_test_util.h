// Helpers for the Windows tests: scratch folders, whole-file reads and writes, and running one
// script line as a command with its status lines recorded.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/globals.h"
#include "base/syscalls.h"
#include "commands/commands.h"
#include "script/interpreter.h"
#include "script/variables.h"

inline std::string ReadFileText(const std::string &path)
{
    std::string text;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return "<missing>";
    char buffer[65536];
    DWORD n;
    while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0)
        text.append(buffer, n);
    CloseHandle(f);
    return text;
}

inline void WriteFileText(const std::string &path, const std::string &text)
{
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << path;
    DWORD n;
    WriteFile(f, text.data(), (DWORD)text.size(), &n, nullptr);
    CloseHandle(f);
}

inline bool Exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void RemoveTree(const std::string &path)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string full = path + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(full);
            else {
                SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(full.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path.c_str());
}

// Removes what an installation of the sample ("Tool") or of a test script ("E2E") registered:
// the product records and the sample's uninstall entry, in the engine's registry view.
inline void ForgetSampleProducts(void)
{
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE,
                    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tool",
                    kEngineRegistryView, 0);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Veltrano", 0,
                      KEY_ALL_ACCESS | kEngineRegistryView, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "Tool");
        RegDeleteValueA(key, "E2E");
        RegCloseKey(key);
    }
}

// A text of the file's version resource ("FileVersion", "ProductName"...); "<none>" without.
inline std::string VersionText(const std::string &path, const char *name)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    std::vector<char> data(size + 1);
    char *value = nullptr;
    UINT length = 0;
    std::string query = std::string("\\StringFileInfo\\0C0704E4\\") + name;
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueA(data.data(), query.c_str(), (void **)&value, &length) || !value)
        return "<none>";
    return value;
}

// A test with its own scratch folder (Folder, no trailing backslash), a fresh script engine,
// the real system calls, and a recorder for status lines.
class WindowsTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ResetScriptEngine();
        ResetSystemCalls();
        RunMode = 0;
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        static int counter = 0;
        Folder = std::string(temp) + "wt" + std::to_string(GetCurrentProcessId()) + "_" +
                 std::to_string(++counter);
        RemoveTree(Folder);
        CreateDirectoryA(Folder.c_str(), nullptr);
        Current = this;
        SavedSend = ProgressSend;
        ProgressSend = Record;
    }

    void TearDown() override
    {
        ProgressSend = SavedSend;
        ProgressWindow = nullptr;
        Script = nullptr;
        ResetSystemCalls();
        ResetScriptEngine();
        RemoveTree(Folder);
        Current = nullptr;
    }

    // Runs one command line in a phase of its own, with a progress window that records status
    // lines and answers every error query with "go on". Returns the command's result.
    int RunLine(const std::string &line)
    {
        Statuses.clear();
        Errors.clear();
        ScriptText = "PhaseBegin 0\r\n" + line + "\r\nPhaseEnd\r\n";
        Script = ScriptText.c_str();
        ProgressWindow = (void *)this;
        RunPhase(0);
        ProgressWindow = nullptr;
        return Errors.empty() ? 0 : Errors.back();
    }

    static intptr_t Record(void *, unsigned message, uintptr_t, intptr_t lParam)
    {
        if (message == kMsgStatus)
            Current->Statuses.push_back((const char *)lParam);
        if (message == kMsgErrorQuery)
            Current->Errors.push_back(LastErrorCode);
        return 0;
    }

    // The engine's system commands, in the table the script engine reset.
    static void InstallSystemCommandsForTest()
    {
        InstallSystemCommands();
    }

    std::string Path(const std::string &name) const
    {
        return Folder + "\\" + name;
    }

    std::string Folder;
    std::string ScriptText;
    std::vector<std::string> Statuses;
    std::vector<int> Errors;
    ProgressSendFunction SavedSend = nullptr;
    inline static WindowsTest *Current = nullptr;
};

// The repository's tests/data folder as Wine sees it (the Linux root is drive Z:).
inline std::string TestDataPath(const std::string &relative)
{
    std::string path = std::string("Z:") + SOURCE_DIR + "/tests/data/" + relative;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

// The build tree's file as Wine sees it.
inline std::string BuildPath(const std::string &relative)
{
    std::string path = std::string("Z:") + BUILD_DIR + "/" + relative;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

// The bytes of an icon group resource of a loaded module, "<missing>" when it has none.
inline std::string GroupIcon(HMODULE module, int id, WORD language)
{
    HRSRC found = FindResourceExA(module, RT_GROUP_ICON, MAKEINTRESOURCEA(id), language);
    if (!found)
        return "<missing>";
    return std::string((const char *)LockResource(LoadResource(module, found)),
                       SizeofResource(module, found));
}

// Runs `program` with `arguments` in `folder`; returns its exit code (0xBAD when it did not end
// within the time, 0xDEAD when it did not start).
inline DWORD RunProgram(const std::string &program, const std::string &arguments,
                        const std::string &folder, DWORD timeoutMs = 60000)
{
    std::string command = "\"" + program + "\" " + arguments;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &si, &pi))
        return 0xDEAD;
    DWORD code = 0xBAD;
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 0xBAD);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return code;
}

// Polls until `done` holds or the time is up.
template <typename Condition> bool WaitFor(Condition done, DWORD timeoutMs = 15000)
{
    for (DWORD waited = 0; !done(); waited += 100) {
        if (waited >= timeoutMs)
            return false;
        Sleep(100);
    }
    return true;
}

// A stand-in for the desktop shell's window ("Progman"), owned by this process, so that acting
// as the logged-on user has a shell to take the identity from.
inline HWND CreateShellWindow(void)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "Progman";
    RegisterClassA(&wc);
    return CreateWindowExA(0, "Progman", "Program Manager", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                           nullptr, wc.hInstance, nullptr);
}
