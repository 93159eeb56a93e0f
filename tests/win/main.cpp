// Test runner for the Windows tests. Besides running the tests it serves as the helper process
// some tests need: "--hold FILE MS" opens FILE without delete sharing, creates FILE.held to say
// so, and keeps the file open for MS milliseconds; "--swap FILE OTHER" tries, as a stranger would,
// to rename FILE away and put a copy of OTHER under its name, and writes what each attempt gave
// into FILE.swap; "--mutex NAME MS" creates the mutex NAME as any program may and holds it for
// MS milliseconds; "--load NAME" and "--load-restricted NAME"
// load the library NAME by its bare name, without and after limiting the library search as the
// engine does, and exit with 1 when it loaded, 0 when it did not; "--tamper FILE" tries what a
// user's program would on a file the engine holds (see Tamper). Planted under the name of a
// system program (regsvr32.exe), it only leaves the mark "<its path>.ran" and exits with 0.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/globals.h"
#include "base/syscalls.h"
#include "base/text.h"
#include "script/phase_thread.h"

static int HoldFile(const char *path, const char *milliseconds)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::string marker = std::string(path) + ".held";
    HANDLE held = CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    CloseHandle(held);
    Sleep((DWORD)atoi(milliseconds));
    CloseHandle(file);
    return 0;
}

static int SwapFile(const char *path, const char *other)
{
    std::string away = std::string(path) + ".old";
    BOOL renamed = MoveFileA(path, away.c_str());
    BOOL replaced = CopyFileA(other, path, FALSE);
    std::string report = std::string("renamed ") + (renamed ? "yes" : "no") + ", replaced " +
                         (replaced ? "yes" : "no");
    HANDLE file = CreateFileA((std::string(path) + ".swap").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, report.data(), (DWORD)report.size(), &written, nullptr);
    CloseHandle(file);
    return 0;
}

// Tries to write FILE, to rename it, to delete it and to rename its folder; the exit code has a
// bit for each that succeeded: 1, 2, 4 and 8.
static int Tamper(const char *path)
{
    int done = 0;
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        done |= 1;
        CloseHandle(file);
    }
    std::string moved = std::string(path) + ".moved";
    if (MoveFileA(path, moved.c_str()))
        done |= 2;
    if (DeleteFileA(path))
        done |= 4;
    std::string folder = path;
    folder.erase(folder.rfind('\\'));
    if (MoveFileA(folder.c_str(), (folder + ".moved").c_str()))
        done |= 8;
    return done;
}

int main(int argc, char **argv)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    const char *name = strrchr(self, '\\');
    if (name && lstrcmpiA(name + 1, "regsvr32.exe") == 0) {
        CloseHandle(CreateFileA((std::string(self) + ".ran").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "--tamper") == 0)
        return Tamper(argv[2]);
    if (argc == 4 && strcmp(argv[1], "--hold") == 0)
        return HoldFile(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "--swap") == 0)
        return SwapFile(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "--mutex") == 0) {
        HANDLE mutex = CreateMutexA(nullptr, TRUE, argv[2]);
        Sleep((DWORD)atoi(argv[3]));
        CloseHandle(mutex);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "--load-restricted") == 0)
        RestrictLibrarySearch();
    if (argc == 3 && strncmp(argv[1], "--load", 6) == 0)
        return LoadLibraryA(argv[2]) ? 1 : 0;
    CopyText(EngineFilePath, sizeof EngineFilePath, self);
    InitScriptThreading();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
