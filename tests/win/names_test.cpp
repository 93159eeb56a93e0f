// Names beyond the system code page, end to end with the shipped engine: silent installations
// into folders of other scripts, a setup run from the Downloads folder of a user named
// Дмитрий, and scripts in UTF-8 (with and without a byte-order mark) and in the code page. The
// suite runs in a prefix of its own whose user is Дмитрий, once under code page 1252 and once
// under 932 (scripts/test); everything here is looked at through the W calls.
#include "tests/win/win_test_util.h"

#include <shlobj.h>

namespace
{

std::wstring Wide(const std::string &utf8)
{
    std::wstring wide(utf8.size() + 1, L'\0');
    wide.resize(
        (size_t)MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], (int)wide.size()) - 1);
    return wide;
}

std::string Utf8(const std::wstring &wide)
{
    std::string text(wide.size() * 3 + 1, '\0');
    text.resize((size_t)WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &text[0],
                                            (int)text.size(), nullptr, nullptr) -
                1);
    return text;
}

// The names in a folder, sorted, as "a|b|"; "<missing>" when it is not there.
std::string NamesIn(const std::string &folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::vector<std::string> names;
    do {
        std::string name = Utf8(found.cFileName);
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string &name : names)
        all += name + "|";
    return all;
}

void RemoveWideTree(const std::string &path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = Utf8(found.cFileName);
            if (name == "." || name == "..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveWideTree(path + "\\" + name);
            else
                DeleteFileW(Wide(path + "\\" + name).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(Wide(path).c_str());
}

// Runs `program` with `arguments` through CreateProcessW, as a deployment tool does.
DWORD RunWide(const std::string &program, const std::string &arguments)
{
    std::wstring command = Wide("\"" + program + "\" " + arguments);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return 0xDEAD;
    CloseHandle(pi.hThread);
    return ExitCodeOf(pi.hProcess, 120000);
}

std::string ReadWideValue(const std::string &key, const std::string &name)
{
    HKEY opened;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(key).c_str(), 0, KEY_READ | kEngineRegistryView,
                      &opened) != ERROR_SUCCESS)
        return "<missing>";
    WCHAR data[512] = {};
    DWORD size = sizeof data - sizeof(WCHAR);
    DWORD type = 0;
    LONG r = RegQueryValueExW(opened, Wide(name).c_str(), nullptr, &type, (BYTE *)data, &size);
    RegCloseKey(opened);
    return r == ERROR_SUCCESS && type == REG_SZ ? Utf8(data) : "<missing>";
}

std::string ReadWideFile(const std::string &path)
{
    HANDLE f = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return "<missing>";
    char buffer[4096];
    DWORD n = 0;
    ReadFile(f, buffer, sizeof buffer, &n, nullptr);
    CloseHandle(f);
    return std::string(buffer, n);
}

std::string CopyWide(const std::string &from, const std::string &to)
{
    return CopyFileW(Wide(from).c_str(), Wide(to).c_str(), FALSE) ? to : "<not copied>";
}

const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tool";
const char kSampleFiles[] = "EULA.txt|Tool.chm|Tool.exe|Uninstall.exe|";
// ö, ß, € in a folder, a file, a registry key, a value's name and its data.
const char kNames[] = "T\xC3\xB6\xC3\xB6l Stra\xC3\x9F"
                      "e \xE2\x82\xAC";
const char kScript[] =
    "PhaseBegin 0\r\n  Set #PROGRAM#, E2E\r\nPhaseEnd\r\nPhaseBegin 1\r\n"
    "  CreateDir \"#INSTALLPATH#\"\r\n"
    "  CopyFile EULA.txt, \"#INSTALLPATH#\\T\xC3\xB6\xC3\xB6l Stra\xC3\x9F"
    "e \xE2\x82\xAC.txt\"\r\n"
    "  CreateRegValSz \"LM\", \"Software\\E2E T\xC3\xB6\xC3\xB6l\", \"Gr\xC3\xB6\xC3\x9F"
    "e "
    "\xE2\x82\xAC\", \"T\xC3\xB6\xC3\xB6l Stra\xC3\x9F"
    "e \xE2\x82\xAC\"\r\nPhaseEnd\r\n";

std::string InCodePage1252(const std::string &utf8)
{
    std::wstring wide = Wide(utf8);
    std::string text(wide.size() * 2 + 1, '\0');
    text.resize((size_t)WideCharToMultiByte(1252, 0, wide.c_str(), -1, &text[0], (int)text.size(),
                                            nullptr, nullptr) -
                1);
    return text;
}

// Not a WindowsTest: its scratch folder lies in the user's temporary folder, which the A calls
// of the tests' helpers cannot name here.
TEST(UnicodeNames, InstallAndRemoveAsWritten)
{
    const std::string work = "C:\\names-work";
    CreateDirectoryA(work.c_str(), nullptr);
    UINT codePage = GetACP();
    ASSERT_TRUE(codePage == 1252 || codePage == 932) << "code page " << codePage;
    WCHAR profile[MAX_PATH] = L"";
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, profile), S_OK);
    std::string downloads = Utf8(profile) + "\\Downloads";
    ASSERT_NE(downloads.find("\xD0\x94\xD0\xBC\xD0\xB8\xD1\x82\xD1\x80\xD0\xB8\xD0\xB9"),
              std::string::npos)
        << "the prefix's user is not Дмитрий: " << downloads;
    CreateDirectoryW(Wide(downloads).c_str(), nullptr);

    std::string bom = "\xEF\xBB\xBF";
    // The run speaks the prefix's language: Japanese under code page 932.
    std::string finished = codePage == 932 ? "\xE3\x82\xBB\xE3\x83\x83\xE3\x83\x88\xE3\x82\xA2"
                                             "\xE3\x83\x83\xE3\x83\x97\xE3\x81\xAF\xE6\xAD\xA3"
                                             "\xE5\xB8\xB8\xE3\x81\xAB\xE5\xAE\x8C\xE4\xBA\x86"
                                             "\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x97\xE3\x81\x9F"
                                             "\xE3\x80\x82\r\n"
                                           : "Setup finished successfully!\r\n";
    struct Case {
        const char *what;
        UINT codePage; // 0: under both
        std::string folder;
        std::string script; // empty: the sample product
    } cases[] = {
        {"Cyrillic folder", 1252,
         "C:\\\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB3\xD1\x80\xD0\xB0\xD0\xBC"
         "\xD0\xBC\xD1\x8B\\Tool",
         ""},
        {"Japanese folder", 1252, "C:\\\xE3\x83\x84\xE3\x83\xBC\xE3\x83\xAB", ""},
        {"Polish folder", 1252, "C:\\\xC5\x81\xC3\xB3\x64\xC5\xBA\\Tool", ""},
        {"a last character ending in 0x5C in code page 932", 932,
         "C:\\\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88\\\xE4\xBA\x88\xE5\xAE\x9A\xE8\xA1\xA8", ""},
        {"UTF-8 script", 0, std::string("C:\\") + kNames, kScript},
        {"UTF-8 script with a byte-order mark", 0, std::string("C:\\") + kNames, bom + kScript},
        {"code-page script", 1252, std::string("C:\\") + kNames, InCodePage1252(kScript)},
    };
    for (const Case &c : cases) {
        if (c.codePage != 0 && c.codePage != codePage)
            continue;
        SCOPED_TRACE(c.what);
        // Run from the Downloads folder of a user whose name the code page lacks.
        std::string setup = downloads + "\\ToolSetup.exe";
        if (c.script.empty()) {
            ASSERT_EQ(CopyWide(BuildPath("samples/ToolSetup.exe"), setup), setup);
        } else {
            ASSERT_EQ(PackSample(work + "\\E2ESetup.exe", c.script), 0u);
            ASSERT_EQ(CopyWide(work + "\\E2ESetup.exe", setup), setup);
        }
        ASSERT_EQ(RunWide(setup, "\"" + c.folder + "\""), 0u) << ReadWideFile(setup + ".log");
        EXPECT_EQ(ReadWideFile(setup + ".log"), bom + finished);
        // Nothing beside the folder (no stray part of its name); each file in exactly it.
        std::string parent = c.folder.substr(0, c.folder.rfind('\\'));
        bool root = parent.size() == 2;
        if (!root) {
            EXPECT_EQ(NamesIn(parent), c.folder.substr(parent.size() + 1) + "|");
        }
        if (c.script.empty()) {
            EXPECT_EQ(NamesIn(c.folder), kSampleFiles);
            EXPECT_EQ(ReadWideValue(kUninstallKey, "InstallLocation"), c.folder);
            EXPECT_EQ(RunWide(c.folder + "\\Uninstall.exe", "\"" + c.folder + "\""), 0u);
            EXPECT_EQ(NamesIn(c.folder), "<missing>");
        } else {
            EXPECT_EQ(NamesIn(c.folder), std::string(kNames) + ".txt|");
            EXPECT_EQ(ReadWideValue(std::string("Software\\E2E T\xC3\xB6\xC3\xB6l"),
                                    "Gr\xC3\xB6\xC3\x9F"
                                    "e \xE2\x82\xAC"),
                      kNames);
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, Wide("Software\\E2E T\xC3\xB6\xC3\xB6l").c_str());
        }
        RemoveWideTree(root ? c.folder : parent);
        DeleteFileW(Wide(setup).c_str());
        DeleteFileW(Wide(setup + ".log").c_str());
        ForgetSampleProducts();
    }
    DeleteFileA((work + "\\E2ESetup.exe").c_str());
    RemoveDirectoryA(work.c_str());
}

} // namespace
