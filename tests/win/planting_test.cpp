// Files planted where a stranger could put them, beside a setup in a Downloads folder or in the
// temporary folder, named like what the engine reads, copies, loads or runs: none of them may
// reach the computer. Each case plants, runs the packed sample as a person or a deployment tool
// would, and looks at what was installed, what ran and what the registry holds.
#include "tests/win/win_test_util.h"

#include "archive/format.h"
#include "tests/win/robot.h"

namespace
{

const char kPlantedScript[] = "PhaseBegin 0\r\nSet #PROGRAM#, Tool\r\nPhaseEnd\r\n"
                              "PhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\\Planted\"\r\n"
                              "CreateRegValSz \"LM\", \"Software\\Planted\", \"Ran\", \"yes\"\r\n"
                              "PhaseEnd\r\n";

// Patch data that would stamp "PLANTED" over the start of the manual.
const char kPlantedPatch[] = "\0\0\0\0\7\0\0\0PLANTED";

bool PlantedKeyExists(void)
{
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Planted", 0, KEY_READ | view, &key) ==
            ERROR_SUCCESS) {
            RegCloseKey(key);
            return true;
        }
    }
    return false;
}

// Every mark a planted library left in `folder`, by name, one per line.
std::string MarksIn(const std::string &folder)
{
    return NamesMatching(folder + "\\*.ran");
}

class Planting : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        Setup = Path("ToolSetup.exe");
        ASSERT_TRUE(CopyFileA(BuildPath("samples/ToolSetup.exe").c_str(), Setup.c_str(), FALSE));
        Target = Path("Tool");
    }
    void TearDown() override
    {
        ForgetSampleProducts();
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
            RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\Planted", view, 0);
        for (const std::string &name : Planted) {
            SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(name.c_str());
        }
        WindowsTest::TearDown();
    }

    void Plant(const std::string &path, const std::string &bytes)
    {
        WriteFileText(path, bytes);
        Planted.push_back(path);
    }
    void PlantLibrary(const std::string &path)
    {
        ASSERT_TRUE(
            CopyFileA(BuildPath(sizeof(void *) == 8 ? "Planted64.dll" : "Planted32.dll").c_str(),
                      path.c_str(), FALSE));
        Planted.push_back(path);
        Planted.push_back(path + ".ran");
    }

    // A program planted under `path`, which only leaves its mark when it runs.
    void PlantProgram(const std::string &path)
    {
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, sizeof self);
        ASSERT_TRUE(CopyFileA(self, path.c_str(), FALSE));
        Planted.push_back(path);
        Planted.push_back(path + ".ran");
    }

    std::string Setup;
    std::string Target;
    std::vector<std::string> Planted;
};

// Everything the archive holds, planted beside the setup: the script, the product's programs,
// its licence, manual and patch data, the helper library. The setup installs its own.
TEST_F(Planting, FilesBesideTheSetupAreNotTakenForItsOwn)
{
    Plant(Path("Setup.vis"), kPlantedScript);
    Plant(Path("Uninstall.vis"), kPlantedScript);
    for (const char *name : {"Tool32.exe", "Tool64.exe", "Tool.chm", "EULA.txt"})
        Plant(Path(name), std::string("planted ") + name);
    Plant(Path("Tool.pat"), std::string(kPlantedPatch, sizeof kPlantedPatch - 1));
    PlantLibrary(Path("SetupLib32.dll"));
    PlantLibrary(Path("SetupLib64.dll"));

    ASSERT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 0u);
    EXPECT_EQ(ReadLog(Setup + ".log"), "Setup finished successfully!\r\n");
    EXPECT_FALSE(Exists(Target + "\\Planted"));
    EXPECT_FALSE(PlantedKeyExists());
    std::string program = ReadFileText(Target + "\\Tool.exe");
    EXPECT_TRUE(program == ReadFileText(BuildPath("samples/payload/Tool64.exe")) ||
                program == ReadFileText(BuildPath("samples/payload/Tool32.exe")));
    std::string sample = std::string("Z:") + SOURCE_DIR + "\\samples\\tool\\";
    EXPECT_EQ(ReadFileText(Target + "\\EULA.txt"), ReadFileText(sample + "EULA.txt"));
    std::string manual = ReadFileText(Target + "\\Tool.chm");
    EXPECT_NE(manual.find("Version 3.1.3"), std::string::npos);
    EXPECT_EQ(manual.find("PLANTED"), std::string::npos);
    EXPECT_EQ(manual.find("planted"), std::string::npos);
    std::string uninstaller = ReadFileText(Target + "\\Uninstall.exe");
    EXPECT_EQ(uninstaller.find("Planted"), std::string::npos) << "the planted uninstall script";
    EXPECT_EQ(MarksIn(Folder), "");
}

// The helper library that starts a program for the person at the desktop is the setup's own,
// also when one of its name lies beside the setup.
TEST_F(Planting, TheHelperLibraryIsTheSetupsOwn)
{
    ASSERT_EQ(PackSample(Setup, "PhaseBegin 0\r\nSet #PROGRAM#, Tool\r\nPhaseEnd\r\n"
                                "PhaseBegin 1\r\nCreateDir \"#INSTALLPATH#\"\r\n"
                                "CopyFile Tool32.exe, \"#INSTALLPATH#\\Tool.exe\"\r\n"
                                "Run \"#INSTALLPATH#\\Tool.exe\", /register, NonElevated\r\n"
                                "PhaseEnd\r\n"),
              0u);
    PlantLibrary(Path("SetupLib32.dll"));
    PlantLibrary(Path("SetupLib64.dll"));
    ASSERT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 0u);
    EXPECT_EQ(ReadLog(Setup + ".log"), "Setup finished successfully!\r\n");
    EXPECT_EQ(MarksIn(Folder), "");
    EXPECT_EQ(MarksIn(Target), "");
}

// A program named without a folder is the system's, also when one of its name lies beside the
// setup and in the folder the setup is started from. (The system's regsvr32 cannot register a
// library that is not there; a planted one would say it did.)
TEST_F(Planting, ABareProgramNameIsTheSystems)
{
    ASSERT_EQ(PackSample(Setup, "PhaseBegin 0\r\nSet #PROGRAM#, Tool\r\nPhaseEnd\r\n"
                                "PhaseBegin 1\r\nSet #LASTERROR#, 0\r\n"
                                "Call \"regsvr32.exe\", \"/s Missing.dll\", , Hide\r\n"
                                "If #LASTERROR#, =, 0\r\nError \"not the system's regsvr32\"\r\n"
                                "Endif\r\nPhaseEnd\r\n"),
              0u);
    std::string current = Path("current");
    CreateDirectoryA(current.c_str(), nullptr);
    PlantProgram(Path("regsvr32.exe"));
    PlantProgram(current + "\\regsvr32.exe");
    ASSERT_EQ(RunProgram(Setup, "\"" + Target + "\"", current), 0u);
    EXPECT_EQ(ReadLog(Setup + ".log"), "Setup finished successfully!\r\n");
    EXPECT_EQ(MarksIn(Folder), "");
    EXPECT_EQ(MarksIn(current), "");
}

// The settings folder is the user's: a user may put a link in its place, to a folder of
// someone else's settings. The uninstaller deletes nothing there, goes on, and says so in its
// detail lines.
TEST_F(Planting, TheUninstallerDeletesNothingBehindALinkedSettingsFolder)
{
    std::string sample = std::string("Z:") + SOURCE_DIR + "\\samples\\tool\\";
    char data[MAX_PATH];
    SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, 0, data);
    std::string config = std::string(data) + "\\Veltrano\\Tool";
    // As the uninstaller's wizard has it (a silent removal does not look the folder up).
    std::string uninstall = ReadFileText(sample + "Uninstall.vis");
    std::string program = "Set #PROGRAM#, Tool\r\n";
    uninstall.insert(uninstall.find(program) + program.size(),
                     "Set #LOGDETAIL#, 1\r\nSet #CONFIGPATH#, \"" + config + "\"\r\n");
    ASSERT_EQ(PackSample(Setup, ReadFileText(sample + "Setup.vis"), uninstall), 0u);
    ASSERT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 0u);
    ASSERT_TRUE(RemoveDirectoryA(config.c_str()));
    std::string victim = Path("Victim");
    CreateDirectoryA(victim.c_str(), nullptr);
    WriteFileText(victim + "\\drawing.dcf", "someone else's drawing");
    PlantedLink link(config, victim);
    ASSERT_TRUE(link.Planted);
    EXPECT_EQ(RunProgram(Target + "\\Uninstall.exe", "\"" + Target + "\"", Folder), 0u);
    EXPECT_EQ(ReadFileText(victim + "\\drawing.dcf"), "someone else's drawing");
    std::string log = ReadFileText(TempFolder() + "\\Tool-Uninstall.log");
    EXPECT_NE(log.find("DeleteFile \"" + config + "\\*.dcf\" -> 0 ("), std::string::npos) << log;
    EXPECT_NE(log.find("; not through " + config + ": a link\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Uninstall finished successfully!"), std::string::npos) << log;
    EXPECT_FALSE(Exists(Target));
}

// Libraries that Windows loads on demand for windows, themes, dialogs and the shell, planted
// beside the setup: the engine looks for libraries in the system folder only.
TEST_F(Planting, LibrariesBesideTheSetupAreNotLoaded)
{
    for (const char *name :
         {"uxtheme.dll", "dwmapi.dll", "version.dll", "comctl32.dll", "propsys.dll",
          "cryptbase.dll", "profapi.dll", "userenv.dll", "wintrust.dll", "msimg32.dll",
          "oleaut32.dll", "rpcrt4.dll", "secur32.dll", "shfolder.dll", "winmm.dll"})
        PlantLibrary(Path(name));
    {
        // The wizard, as a person opens it; left on its first page.
        HANDLE setup = StartProgram(Setup, "", Folder);
        WizardRobot robot("Setup - Tool v3.1.3", "Setup");
        EXPECT_TRUE(robot.Open());
        EXPECT_TRUE(robot.On(kWelcomePage));
        robot.Press(IDCANCEL);
        EXPECT_EQ(ExitCodeOf(setup, 30000), 1602u);
    }
    ASSERT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 0u);
    EXPECT_EQ(MarksIn(Folder), "");
}

// The engine's first act limits the library search to the system folder: a library that a
// bare name would find in the current folder or beside the program is no longer loaded. (Wine
// prefers its own libraries for the names of system ones, so the case above cannot show a
// planted one loading; this one can.)
TEST_F(Planting, TheLibrarySearchLeavesTheProgramsAndTheCurrentFolder)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string program = Path("tests.exe");
    ASSERT_TRUE(CopyFileA(self, program.c_str(), FALSE));
    Planted.push_back(program);
    PlantLibrary(Path("plantlib.dll"));
    EXPECT_EQ(RunProgram(program, "--load plantlib.dll", Folder), 1u) << "nothing to prove";
    DeleteFileA(Path("plantlib.dll.ran").c_str());
    EXPECT_EQ(RunProgram(program, "--load-restricted plantlib.dll", Folder), 0u);
    EXPECT_EQ(MarksIn(Folder), "");
    // The system's own libraries still load by name.
    EXPECT_EQ(RunProgram(program, "--load-restricted comctl32.dll", Folder), 1u);
}

// Shortcuts are made in memory and written once, to their place. Nothing is staged in the
// temporary folder, where a program of the user could swap a link for one of its own before the
// engine copies it into the all-users Start menu.
TEST_F(Planting, ShortcutsAreNotStagedInTheTemporaryFolder)
{
    std::string staged = TempFolder() + "\\Temp.lnk";
    Plant(staged, "planted link");
    ASSERT_TRUE(SetFileAttributesA(staged.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 0u);
    SetFileAttributesA(staged.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadLog(Setup + ".log"), "Setup finished successfully!\r\n");
    EXPECT_EQ(ReadFileText(staged), "planted link");
    char programs[MAX_PATH];
    SHGetFolderPathA(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, 0, programs);
    EXPECT_EQ(ShellLinkPath(std::string(programs) + "\\Tool\\Tool.lnk"), Target + "\\Tool.exe");
}

// A link planted under the log's name, beside the setup or in the temporary folder where the
// uninstaller writes its log, leads to a file the user may not change (here a stand-in). The
// elevated run writes its log as a new file and leaves the other one alone. A log a viewer
// holds open is still written.
TEST_F(Planting, LogsAreNotWrittenThroughALinkInTheirPlace)
{
    std::string protectedFile = Path("protected.txt");
    WriteFileText(protectedFile, "not the user's to change");
    ASSERT_TRUE(CreateHardLinkA((Setup + ".log").c_str(), protectedFile.c_str(), nullptr));
    ASSERT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 0u);
    EXPECT_EQ(ReadLog(Setup + ".log"), "Setup finished successfully!\r\n");
    EXPECT_EQ(ReadFileText(protectedFile), "not the user's to change");

    std::string uninstallLog = TempFolder() + "\\Tool-Uninstall.log";
    DeleteFileA(uninstallLog.c_str());
    ASSERT_TRUE(CreateHardLinkA(uninstallLog.c_str(), protectedFile.c_str(), nullptr));
    Planted.push_back(uninstallLog);
    ASSERT_EQ(RunProgram(Target + "\\Uninstall.exe", "\"" + Target + "\"", Folder), 0u);
    EXPECT_EQ(ReadLog(uninstallLog), "Uninstall finished successfully!\r\n");
    EXPECT_EQ(ReadFileText(protectedFile), "not the user's to change");

    // An old log held open by a viewer, which lets others write but not delete it.
    WriteFileText(Setup + ".log", "an old log, longer than the new one will be");
    HANDLE viewer =
        CreateFileA((Setup + ".log").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 0u);
    CloseHandle(viewer);
    EXPECT_EQ(ReadLog(Setup + ".log"), "Setup finished successfully!\r\n");
}

// The uninstaller runs from a copy of itself in a new folder of its own; an uninstall script
// planted in the temporary folder, or beside a copy of the uninstaller, is never its script.
TEST_F(Planting, TheUninstallerRunsItsOwnScript)
{
    ASSERT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 0u);
    std::string temp = TempFolder();
    Plant(temp + "\\Uninstall.vis", kPlantedScript);
    PlantLibrary(temp + "\\uxtheme.dll");
    PlantLibrary(temp + "\\version.dll");
    ASSERT_EQ(RunProgram(Target + "\\Uninstall.exe", "\"" + Target + "\"", Target), 0u);
    EXPECT_FALSE(Exists(Target));
    EXPECT_FALSE(PlantedKeyExists());
    EXPECT_EQ(MarksIn(temp), "");

    // A copy run by hand from a folder that holds a planted script.
    ASSERT_EQ(RunProgram(Setup, "\"" + Target + "\"", Folder), 0u);
    std::string copy = Path("_VTUItmp.exe");
    ASSERT_TRUE(CopyFileA((Target + "\\Uninstall.exe").c_str(), copy.c_str(), FALSE));
    Planted.push_back(copy);
    Plant(Path("Uninstall.vis"), kPlantedScript);
    EXPECT_EQ(RunProgram(copy, "\"" + Target + "\"", Folder), 0u);
    EXPECT_EQ(ReadLog(temp + "\\Tool-Uninstall.log"), "Uninstall finished successfully!\r\n");
    EXPECT_FALSE(Exists(Target));
    EXPECT_FALSE(PlantedKeyExists());
}

} // namespace
