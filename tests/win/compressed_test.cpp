// The sample packed with --compress, end to end: installed silently byte for byte as the stored
// sample installs, uninstalled by the uninstaller it wrote; damaged or cut on its way, it
// installs nothing wrong.
#include "tests/win/win_test_util.h"

#include "archive/format.h"

namespace
{

const char kInstalledFiles[][16] = {"Tool.exe", "EULA.txt", "Tool.chm"};

class Compressed : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        Packed = ReadFileText(BuildPath("samples/ToolSetupCompressed.exe"));
        Setup = Path("ToolSetup.exe");
    }
    void TearDown() override
    {
        ForgetSampleProducts();
        WindowsTest::TearDown();
    }

    DWORD Install(const std::string &bytes, const std::string &target)
    {
        WriteFileText(Setup, bytes);
        return RunProgram(Setup, "\"" + target + "\"", Folder);
    }

    // The stored data of the archive's largest packed block: where the programs are.
    void LargestBlock(size_t *at, size_t *size)
    {
        const uint8_t *bytes = (const uint8_t *)Packed.data();
        size_t cursor = LocateArchive(bytes, Packed.size());
        ArchiveEntry e;
        *size = 0;
        while (NextArchiveEntry(bytes, Packed.size(), &cursor, &e) == kWalkEntry) {
            if (IsPackedBlock(&e) && e.size > *size) {
                *at = e.dataOffset;
                *size = e.size;
            }
        }
        ASSERT_GT(*size, 0u);
    }

    std::string Packed;
    std::string Setup;
};

TEST_F(Compressed, InstallsAsTheStoredSetupAndUninstalls)
{
    ASSERT_EQ(Install(ReadFileText(BuildPath("samples/ToolSetup.exe")), Path("Stored")), 0u);
    ForgetSampleProducts();
    std::string installed = Path("Tool");
    ASSERT_EQ(Install(Packed, installed), 0u);
    EXPECT_EQ(ReadLog(Setup + ".log"), "Setup finished successfully!\r\n");
    for (const char *name : kInstalledFiles) {
        std::string file = installed + "\\" + name;
        EXPECT_TRUE(Exists(file)) << name;
        EXPECT_TRUE(ReadFileText(file) == ReadFileText(Path("Stored\\") + name)) << name;
    }
    // The uninstaller carries the uninstall script stored, as every uninstaller does.
    std::string uninstaller = ReadFileText(installed + "\\Uninstall.exe");
    size_t cursor = LocateArchive((const uint8_t *)uninstaller.data(), uninstaller.size());
    ArchiveEntry entry;
    ASSERT_EQ(
        NextArchiveEntry((const uint8_t *)uninstaller.data(), uninstaller.size(), &cursor, &entry),
        kWalkEntry);
    EXPECT_EQ(std::string(entry.name, entry.nameLength), "Uninstall.vis");
    EXPECT_EQ(cursor, uninstaller.size());

    EXPECT_EQ(RunProgram(installed + "\\Uninstall.exe", "\"" + installed + "\"", installed), 0u);
    for (const char *name : kInstalledFiles)
        EXPECT_FALSE(Exists(installed + "\\" + name)) << name;
}

TEST_F(Compressed, DamagedOrCutInstallsNothingWrong)
{
    size_t at = 0;
    size_t size = 0;
    LargestBlock(&at, &size);
    std::string flipped = Packed;
    flipped[at + size / 2] ^= 0x20;
    std::string installed = Path("Tool");
    EXPECT_EQ(Install(flipped, installed), 1603u);
    std::string log = ReadFileText(Setup + ".log");
    EXPECT_NE(log.find("Maybe the Setup file is corrupt!"), std::string::npos) << log;
    EXPECT_NE(log.find("is damaged)"), std::string::npos) << log;
    EXPECT_FALSE(Exists(installed + "\\Tool.exe"));

    RemoveTree(installed);
    EXPECT_EQ(Install(Packed.substr(0, at + size / 2), installed), 13u);
    EXPECT_FALSE(Exists(installed));
}

} // namespace
