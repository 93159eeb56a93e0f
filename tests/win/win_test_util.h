// Helpers for the Windows tests: scratch folders, whole-file reads and writes, and running one
// script line as a command with its status lines recorded.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <algorithm>
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

// The engine's log without its byte-order mark; a log without one reads as such, so that the
// comparison fails.
inline std::string ReadLog(const std::string &path)
{
    std::string text = ReadFileText(path);
    if (text.compare(0, 3, "\xEF\xBB\xBF") != 0)
        return "<no byte-order mark> " + text;
    return text.substr(3);
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

// Whether the tests run on 64-bit Windows, whatever their own build: what the engine's
// Is64BitWindows must say, and whether the registry has a 64-bit view apart from the 32-bit one.
inline bool RunsOn64BitWindows(void)
{
#ifdef _WIN64
    return true;
#else
    typedef BOOL(WINAPI * IsWow64)(HANDLE, PBOOL);
    IsWow64 isWow64 =
        (IsWow64)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
#endif
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

// The sample program built for this Windows: 64-bit where Windows is, else 32-bit.
inline std::string SampleProgramPath(void)
{
    return BuildPath(RunsOn64BitWindows() ? "samples/payload/Tool64.exe"
                                          : "samples/payload/Tool32.exe");
}

// Starts a command line (StartCommand) or `program` with `arguments` (StartProgram) in
// `folder`, as a person or a deployment tool does; the process handle, or null when it did not
// start.
inline HANDLE StartCommand(std::string command, const std::string &folder)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

inline HANDLE StartProgram(const std::string &program, const std::string &arguments,
                           const std::string &folder)
{
    return StartCommand("\"" + program + "\" " + arguments, folder);
}

// Waits for a started process and closes its handle; its exit code (0xBAD when it did not end
// within the time and was ended, 0xDEAD when it never started).
inline DWORD ExitCodeOf(HANDLE process, DWORD timeoutMs = 60000)
{
    if (!process)
        return 0xDEAD;
    DWORD code = 0xBAD;
    if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process, &code);
    else
        TerminateProcess(process, 0xBAD);
    CloseHandle(process);
    return code;
}

// A started program that is ended, should it still run, when the test leaves it: a test that
// stops early must not leave a setup running (it would hold its product's guard).
struct RunningProgram {
    explicit RunningProgram(HANDLE started) : Process(started) {}
    ~RunningProgram()
    {
        if (Process) {
            TerminateProcess(Process, 0xBAD);
            CloseHandle(Process);
        }
    }
    DWORD ExitCode(DWORD timeoutMs = 30000)
    {
        HANDLE process = Process;
        Process = nullptr;
        return ExitCodeOf(process, timeoutMs);
    }
    HANDLE Process;
};

// Runs `program` with `arguments` in `folder`; returns its exit code as ExitCodeOf does.
inline DWORD RunProgram(const std::string &program, const std::string &arguments,
                        const std::string &folder, DWORD timeoutMs = 60000)
{
    return ExitCodeOf(StartProgram(program, arguments, folder), timeoutMs);
}

// Packs a setup of this build's engine at `setup` with `script` as its Setup.vis (and
// `uninstallScript` as its Uninstall.vis when not empty) and the sample product's other files, as
// the build packs the sample, through this build's mksetup.exe. Returns mksetup's exit code. A
// script beside a packed setup is never run: the archive's wins.
inline DWORD PackSample(const std::string &setup, const std::string &script,
                        const std::string &uninstallScript = "")
{
    std::string folder = setup + ".d";
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string sample = std::string("Z:") + SOURCE_DIR + "\\samples\\tool\\";
    for (char &c : sample)
        if (c == '/')
            c = '\\';
    std::string vis = folder + "\\Setup.vis";
    std::string uninstallVis = sample + "Uninstall.vis";
    WriteFileText(vis, script);
    if (!uninstallScript.empty()) {
        uninstallVis = folder + "\\Uninstall.vis";
        WriteFileText(uninstallVis, uninstallScript);
    }
    std::string arguments =
        "pack --engine \"" + BuildPath("Setup.exe") + "\" --out \"" + setup + "\"";
    for (const std::string &file :
         {uninstallVis, sample + "Tool.chm", vis, BuildPath("samples/payload/Tool32.exe"),
          BuildPath("samples/payload/Tool64.exe"), sample + "EULA.txt", BuildPath("SetupLib32.dll"),
          BuildPath("SetupLib64.dll"), sample + "Tool.pat"})
        arguments += " \"" + file + "\"";
    DWORD code = RunProgram(BuildPath("mksetup.exe"), arguments, folder);
    DeleteFileA(vis.c_str());
    DeleteFileA((folder + "\\Uninstall.vis").c_str());
    RemoveDirectoryA(folder.c_str());
    return code;
}

// Flips a bit in the middle of the data of the archive entry `name` in a packed setup's bytes,
// as damage on its way would; the entry is looked for from `start`, the archive's start.
inline void DamageEntry(std::string &setup, const std::string &name, size_t start)
{
    size_t at = setup.find(name + '\0', start);
    ASSERT_NE(at, std::string::npos) << name;
    size_t data = at + name.size() + 1 + 4;
    uint32_t size = 0;
    memcpy(&size, &setup[data - 4], 4);
    setup[data + size / 2] ^= 0x20;
}

// The path a shell link points at; "<unreadable>" when it cannot be loaded.
inline std::string ShellLinkPath(const std::string &link)
{
    CoInitialize(nullptr);
    std::string target = "<unreadable>";
    IShellLinkA *shellLink = nullptr;
    IPersistFile *file = nullptr;
    WCHAR wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, link.c_str(), -1, wide, MAX_PATH);
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   (void **)&shellLink)) &&
        SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, (void **)&file)) &&
        SUCCEEDED(file->Load(wide, STGM_READ))) {
        char path[MAX_PATH] = "";
        shellLink->GetPath(path, sizeof path, nullptr, 0);
        target = path;
    }
    if (file)
        file->Release();
    if (shellLink)
        shellLink->Release();
    CoUninitialize();
    return target;
}

// The access list a folder creation asked for, as security descriptor text; "inherited" when it
// asked for none. (Wine keeps no access lists on files, so the request is what can be checked.)
inline std::string AccessAskedFor(const SECURITY_ATTRIBUTES *security)
{
    typedef BOOL(WINAPI * ToText)(PSECURITY_DESCRIPTOR, DWORD, SECURITY_INFORMATION, LPSTR *,
                                  PULONG);
    ToText toText = (ToText)(void *)GetProcAddress(
        GetModuleHandleA("advapi32.dll"), "ConvertSecurityDescriptorToStringSecurityDescriptorA");
    char *text = nullptr;
    if (!security || !security->lpSecurityDescriptor ||
        !toText(security->lpSecurityDescriptor, 1, DACL_SECURITY_INFORMATION, &text, nullptr))
        return "inherited";
    std::string access = text;
    LocalFree(text);
    return access;
}

// The temporary folder, without its trailing backslash.
inline std::string TempFolder(void)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string folder = temp;
    if (!folder.empty() && folder.back() == '\\')
        folder.pop_back();
    return folder;
}

// The names a search pattern finds ("C:\\x\\*.tmp"), sorted, one per line.
inline std::string NamesMatching(const std::string &pattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0)
                names.push_back(found.cFileName);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string &name : names)
        text += name + "\n";
    return text;
}

// The names of the uninstaller's run folders ("VTU...") in `folder`, sorted, one per line.
inline std::string RunFoldersIn(const std::string &folder)
{
    return NamesMatching(folder + "\\VTU*");
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

// The path as Linux sees it, under Wine; empty where there is no such name.
inline std::string UnixPath(const std::string &path)
{
    typedef char *(CDECL * UnixFileName)(LPCWSTR);
    UnixFileName unixFileName = (UnixFileName)(void *)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    WCHAR wide[MAX_PATH];
    if (!unixFileName || !MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH))
        return "";
    char *name = unixFileName(wide);
    std::string text = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return text;
}

// A link at `link` to the folder `target`, planted as any user may, and taken away again when it
// goes out of scope. Under Wine it is a Unix symbolic link in drive_c, which Wine reports as a
// reparse point, made by Linux's own ln: Wine starts it like a Windows program, but gives no
// handle to wait on, so the link is waited for.
struct PlantedLink {
    PlantedLink(const std::string &link, const std::string &target) : Path(link)
    {
        std::string from = UnixPath(link);
        std::string to = UnixPath(target);
        if (!from.empty() && !to.empty())
            CloseHandle(StartProgram("Z:\\bin\\ln", "-s \"" + to + "\" \"" + from + "\"", "C:\\"));
        Planted = WaitFor([&] {
            DWORD attributes = GetFileAttributesA(link.c_str());
            return attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        });
        Unix = Planted ? from : "";
    }
    ~PlantedLink()
    {
        if (Unix.empty())
            return;
        CloseHandle(StartProgram("Z:\\bin\\rm", "-f \"" + Unix + "\"", "C:\\"));
        WaitFor([&] { return GetFileAttributesA(Path.c_str()) == INVALID_FILE_ATTRIBUTES; });
    }
    std::string Path;
    std::string Unix; // where Linux sees it, once planted
    bool Planted;
};

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
