// The faults a setup meets on a real computer, one table: each case damages the packed sample or
// its target, or injects the failure through the system-call table, runs the installation and
// looks at its result code, the log's lines and what is left on disk.
#include "tests/win/win_test_util.h"

#include <functional>

#include "archive/archive.h"
#include "archive/format.h"

namespace
{

const char kCorrupt[] = "A critical error has occured. Setup can not continue.\nMaybe the Setup "
                        "file is corrupt!\r\nSetup failed!\r\n";

BOOL WINAPI DiskFull(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// A read-only target refuses to open for writing. (Under Wine run as root a read-only file
// opens all the same, so the refusal is injected.)
HANDLE WINAPI ReadOnlyTarget(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

class FaultMatrix : public WindowsTest
{
  protected:
    void TearDown() override
    {
        ForgetSampleProducts();
        // Back to the test program's own file; the access lets go of the sample's.
        GetModuleFileNameA(nullptr, EngineFilePath, sizeof EngineFilePath);
        ArchiveStart = 0;
        ArchiveIsComplete();
        WindowsTest::TearDown();
    }

    std::string SampleFile(const char *name)
    {
        return ReadFileText(std::string("Z:") + SOURCE_DIR + "\\samples\\tool\\" + name);
    }
};

struct Fault {
    const char *name;
    // Damages the packed setup's bytes; may be empty.
    std::function<void(std::string &setup, size_t archiveStart)> damage;
    // The install script packed with the sample's files ("" keeps the sample's own).
    std::string script;
    // Prepares the target folder; returns what must stand there afterwards.
    std::function<void(const std::string &target)> prepare;
    DWORD exitCode;
    std::string log;
    std::function<void(const std::string &target)> check;
};

TEST_F(FaultMatrix, EveryFaultEndsWithItsCodeAndNoDamagedFile)
{
    const std::string copyEula =
        "PhaseBegin 0\r\nSet #PROGRAM#, Tool\r\nPhaseEnd\r\nPhaseBegin 1\r\n"
        "CreateDir \"#INSTALLPATH#\"\r\n"
        "CopyFile EULA.txt, \"#INSTALLPATH#\\EULA.txt\"\r\n"
        "CreateDir \"#INSTALLPATH#\\after\"\r\nPhaseEnd\r\n";
    const std::string eula = SampleFile("EULA.txt");
    HANDLE holder = nullptr;
    auto nothing = [](const std::string &) {};
    auto nothingInstalled = [](const std::string &target) {
        EXPECT_FALSE(Exists(target)) << "the target was written";
    };
    // A held file is replaced when Windows restarts; the run goes on.
    auto replacedAtRestart = [](const std::string &target) {
        EXPECT_EQ(ReadFileText(target + "\\EULA.txt"), "old");
        EXPECT_TRUE(Exists(target + "\\after")) << "the run goes on";
    };
    // Phase 1 of copyEula with `line` in place of its copy.
    auto withLine = [&](const std::string &line) {
        std::string script = copyEula;
        size_t at = script.find("CopyFile");
        return script.replace(at, script.find("\r\n", at) - at, line);
    };
    const std::string silentEula = "CopyFile EULA.txt, \"#INSTALLPATH#\\EULA.txt\", SILENT";
    const std::string patch = "PatchFile Tool.chm, Tool.pat, \"#INSTALLPATH#\"";
    const std::string uninstaller = "CopyUninstall \"#INSTALLPATH#\\Uninstall.exe\"";
    auto flip = [](const std::string &name) {
        return [name](std::string &setup, size_t start) { DamageEntry(setup, name, start); };
    };
    auto cutAt = [](double where) {
        return [where](std::string &setup, size_t start) {
            size_t marker = setup.rfind(kArchiveEnd);
            size_t cut = where < 0 ? marker + 5 : start + (size_t)(where * (marker - start));
            setup.resize(cut);
        };
    };
    Fault faults[] = {
        {"target held open by another process", nullptr, copyEula,
         [&](const std::string &target) {
             CreateDirectoryA(target.c_str(), nullptr);
             WriteFileText(target + "\\EULA.txt", "old");
             char self[MAX_PATH];
             GetModuleFileNameA(nullptr, self, sizeof self);
             std::string command =
                 std::string("\"") + self + "\" --hold \"" + target + "\\EULA.txt\" 60000";
             STARTUPINFOA si = {};
             si.cb = sizeof si;
             PROCESS_INFORMATION pi;
             ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &si, &pi));
             CloseHandle(pi.hThread);
             holder = pi.hProcess;
             ASSERT_TRUE(WaitFor([&] { return Exists(target + "\\EULA.txt.held"); }));
         },
         // It is replaced when Windows restarts.
         3010,
         "Setup finished successfully!\r\nIn use: " + Path("Tool") +
             "\\EULA.txt is replaced when Windows restarts\r\n",
         replacedAtRestart},
        {"entry missing from the archive", nullptr,
         "PhaseBegin 0\r\nPhaseEnd\r\nPhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\n"
         "CopyFile Missing.txt, \"#INSTALLPATH#\\Missing.txt\"\r\nPhaseEnd\r\n",
         nothing, 1603,
         std::string(kCorrupt) + "Setup.vis line 5: CopyFile Missing.txt, "
                                 "\"#INSTALLPATH#\\Missing.txt\" -> 17\r\n",
         [](const std::string &target) { EXPECT_FALSE(Exists(target + "\\Missing.txt")); }},
        {"setup cut in the header", [](std::string &s, size_t start) { s.resize(start - 5); }, "",
         nothing, 13, kCorrupt, nothingInstalled},
        {"setup cut in the first entry", cutAt(0.001), "", nothing, 13, kCorrupt, nothingInstalled},
        {"setup cut in the middle", cutAt(0.5), "", nothing, 13, kCorrupt, nothingInstalled},
        {"setup cut in the end marker", cutAt(-1), "", nothing, 13, kCorrupt, nothingInstalled},
        {"setup cut in its checksums", [](std::string &s, size_t) { s.resize(s.size() - 3); }, "",
         nothing, 13, kCorrupt, nothingInstalled},
        // A damaged setup file is no file in use: the message says the setup file may be
        // corrupt, and the log names the entry.
        {"a byte flipped in the middle entry", flip("EULA.txt"), copyEula, nothing, 1603,
         std::string(kCorrupt) + "Setup.vis line 6: CopyFile EULA.txt, \"#INSTALLPATH#\\EULA.txt\" "
                                 "-> 18 (entry EULA.txt is damaged)\r\n",
         [](const std::string &target) {
             EXPECT_FALSE(Exists(target + "\\EULA.txt")) << "a damaged file was left";
             EXPECT_FALSE(Exists(target + "\\after"));
         }},
        {"a damaged entry copied with SILENT", flip("EULA.txt"), withLine(silentEula), nothing,
         1603,
         std::string(kCorrupt) + "Setup.vis line 6: " + silentEula +
             " -> 18 (entry EULA.txt is damaged)\r\n",
         [](const std::string &target) { EXPECT_FALSE(Exists(target + "\\EULA.txt")); }},
        {"damaged patch data", flip("Tool.pat"), withLine(patch), nothing, 1603,
         std::string(kCorrupt) + "Setup.vis line 6: " + patch +
             " -> 18 (entry Tool.pat is damaged)\r\n",
         nothing},
        {"a damaged uninstall script", flip("Uninstall.vis"), withLine(uninstaller), nothing, 1603,
         std::string(kCorrupt) + "Setup.vis line 6: " + uninstaller +
             " -> 18 (entry Uninstall.vis is damaged)\r\n",
         [](const std::string &target) { EXPECT_FALSE(Exists(target + "\\Uninstall.exe")); }},
    };

    std::string packed = ReadFileText(BuildPath("samples/ToolSetup.exe"));
    size_t start = LocateArchive((const uint8_t *)packed.data(), packed.size());
    ASSERT_NE(start, 0u);
    std::string setup = Path("ToolSetup.exe");
    std::string target = Path("Tool");
    for (const Fault &f : faults) {
        SCOPED_TRACE(f.name);
        RemoveTree(target);
        DeleteFileA((setup + ".log").c_str());
        std::string bytes = packed;
        size_t at = start;
        if (!f.script.empty()) {
            ASSERT_EQ(PackSample(setup, f.script), 0u);
            bytes = ReadFileText(setup);
            at = LocateArchive((const uint8_t *)bytes.data(), bytes.size());
        }
        if (f.damage)
            f.damage(bytes, at);
        WriteFileText(setup, bytes);
        f.prepare(target);
        EXPECT_EQ(RunProgram(setup, "\"" + target + "\"", Folder), f.exitCode);
        EXPECT_EQ(ReadLog(setup + ".log"), f.log);
        f.check(target);
        if (holder) {
            TerminateProcess(holder, 0);
            WaitForSingleObject(holder, 5000);
            CloseHandle(holder);
            holder = nullptr;
        }
        SetFileAttributesA((target + "\\EULA.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    }

    // Faults injected through the system-call table, with the engine's archive access reading
    // the packed sample here.
    std::string sample = Path("Sample.exe");
    WriteFileText(sample, packed);
    CopyText(EngineFilePath, sizeof EngineFilePath, sample.c_str());
    ArchiveStart = 0;
    struct Injected {
        const char *name;
        void (*inject)(void);
    } injected[] = {
        {"full disk", [] { Sys.WriteFile = DiskFull; }},
        {"read-only target", [] { Sys.CreateFileU = ReadOnlyTarget; }},
    };
    for (const Injected &i : injected) {
        SCOPED_TRACE(i.name);
        WriteFileText(Path("EULA.copy"), "old");
        i.inject();
        EXPECT_EQ(ExtractArchiveEntry("EULA.txt", Path("EULA.copy").c_str()), kErrFileNotWritten);
        EXPECT_NE(ReadFileText(Path("EULA.copy")), eula) << "a damaged file was left";
        ResetSystemCalls();
    }
    EXPECT_EQ(ExtractArchiveEntry("EULA.txt", Path("EULA.copy").c_str()), kOk);
    EXPECT_EQ(ReadFileText(Path("EULA.copy")), eula);
}

// The sum runs over every block of an entry, in both builds: the shipped 32-bit engine (run
// under WoW64) folds it with narrower code than the 64-bit one. A byte damaged in the first,
// a middle or the last block leaves nothing installed; the entry intact installs byte for byte.
TEST_F(FaultMatrix, DamageInAnyBlockOfALargeEntryInstallsNothingInEitherBuild)
{
    std::string big;
    uint32_t state = 20261208;
    for (size_t i = 0; i < (5u << 19) + 4099; i++) { // several copy blocks of any size up to 1 MiB
        state = state * 1103515245u + 12345u;
        big += (char)(state >> 24);
    }
    WriteFileText(Path("Big.bin"), big);
    WriteFileText(Path("Setup.vis"),
                  "PhaseBegin 0\r\nSet #PROGRAM#, Tool\r\nPhaseEnd\r\n"
                  "PhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\n"
                  "CopyFile Big.bin, \"#INSTALLPATH#\\Big.bin\"\r\nPhaseEnd\r\n");
    // The setups run from a folder of their own: the script and the file beside them would
    // otherwise stand in for the archive's.
    CreateDirectoryA(Path("dist").c_str(), nullptr);
    std::string setup = Path("dist\\Setup.exe");
    std::string target = Path("Installed");
    for (const char *engine : {"Setup.exe", "..\\win32\\Setup.exe"}) {
        SCOPED_TRACE(engine);
        ASSERT_TRUE(Exists(BuildPath(engine))) << "the win32 tree is not built";
        ASSERT_EQ(RunProgram(BuildPath("mksetup.exe"),
                             "pack --engine \"" + BuildPath(engine) +
                                 "\" --out Packed.exe Setup.vis Big.bin",
                             Folder),
                  0u);
        const std::string packed = ReadFileText(Path("Packed.exe"));
        size_t data = packed.find(big.substr(0, 64));
        ASSERT_NE(data, std::string::npos);
        const size_t intact = std::string::npos;
        for (size_t damaged : {intact, (size_t)100, big.size() / 2, big.size() - 5}) {
            SCOPED_TRACE(damaged);
            std::string bytes = packed;
            if (damaged != intact)
                bytes[data + damaged] ^= 0x01;
            WriteFileText(setup, bytes);
            DeleteFileA((setup + ".log").c_str());
            RemoveTree(target);
            EXPECT_EQ(RunProgram(setup, "\"" + target + "\"", Path("dist")),
                      damaged == intact ? 0u : 1603u);
            if (damaged == intact) {
                EXPECT_EQ(ReadLog(setup + ".log"), "Setup finished successfully!\r\n");
                EXPECT_TRUE(ReadFileText(target + "\\Big.bin") == big) << "bytes differ";
            } else {
                EXPECT_EQ(ReadLog(setup + ".log"), std::string(kCorrupt) +
                                                       "Setup.vis line 6: CopyFile Big.bin, "
                                                       "\"#INSTALLPATH#\\Big.bin\" -> 18 (entry "
                                                       "Big.bin is damaged)\r\n");
                EXPECT_FALSE(Exists(target + "\\Big.bin")) << "a damaged file was left";
            }
        }
    }
}

} // namespace
