// The uninstaller of a signed setup: written by CopyUninstall without the setup's certificate
// table entry and with a checksum Windows agrees with; the uninstaller the packer signed taken
// as it stands only when it fits this engine and this setup; and an image with a resource added
// by the portable editor, as the system's loader sees it and runs it.
#include "tests/win/win_test_util.h"

#include <imagehlp.h>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/pe_image.h"
#include "archive/uninstaller.h"
#include "archive/uninstaller_image.h"
#include "base/crc32c.h"
#include "base/text.h"
#include "resources/resource.h"
#include "tests/host/fake_pe.h"

namespace
{

std::string EntryBytes(const std::string &name, const std::string &data)
{
    std::string size(4, '\0');
    PutLe(&size, 0, data.size(), 4);
    return name + '\0' + size + data;
}

// An archive of the entries, with its end marker and its checksum record; `damaged` names an
// entry whose recorded checksum is wrong.
std::string ArchiveBytes(const std::vector<std::pair<std::string, std::string>> &entries,
                         const std::string &damaged = "")
{
    std::string archive = kArchiveHeader;
    std::string record = std::string(kIntegrityTag) + std::string(4, '\0');
    PutLe(&record, kIntegrityTagLength, entries.size(), 4);
    for (const auto &e : entries) {
        archive += EntryBytes(e.first, e.second);
        std::string sum(4, '\0');
        PutLe(&sum, 0, Crc32c(0, e.second.data(), e.second.size()) ^ (e.first == damaged), 4);
        record += sum;
    }
    return archive + kArchiveEnd + record;
}

std::string ImageOf(const std::string &file)
{
    return file.substr(0, ImageEndOffset((const uint8_t *)file.data(), file.size()));
}

// Runs the archive functions on another engine file, as a setup of that content would.
class SignedSetup : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        CopyText(SavedEngine, sizeof SavedEngine, EngineFilePath);
        Sample = ReadFileText(BuildPath("samples/ToolSetup.exe"));
        Script = ReadFileText(std::string("Z:") + SOURCE_DIR + "\\samples\\tool\\Uninstall.vis");
    }
    void TearDown() override
    {
        CopyText(EngineFilePath, sizeof EngineFilePath, SavedEngine);
        ArchiveStart = 0;
        ArchiveIsComplete(); // closes the scratch engine file, so that it can be removed
        WindowsTest::TearDown();
    }
    void UseEngine(const std::string &name, const std::string &content)
    {
        WriteFileText(Path(name), content);
        CopyText(EngineFilePath, sizeof EngineFilePath, Path(name).c_str());
        ArchiveStart = 0;
    }
    char SavedEngine[MAX_PATH];
    std::string Sample;
    std::string Script;
};

TEST_F(SignedSetup, UninstallerLosesTheSignatureEntryAndGetsItsChecksum)
{
    std::string setup = FakeSign(Sample);
    UseEngine("Signed.exe", setup);
    EXPECT_TRUE(ArchiveIsComplete());
    ASSERT_EQ(WriteUninstaller(Path("Uninstall.exe").c_str()), 0);

    std::string written = ReadFileText(Path("Uninstall.exe"));
    const uint8_t *bytes = (const uint8_t *)written.data();
    uint32_t offset = 1;
    uint32_t length = 1;
    ASSERT_TRUE(ReadCertificateTable(bytes, written.size(), &offset, &length));
    EXPECT_EQ(offset | length, 0u);
    DWORD stored = 0;
    DWORD computed = 0;
    ASSERT_NE(CheckSumMappedFile((void *)bytes, (DWORD)written.size(), &stored, &computed),
              nullptr);
    EXPECT_EQ(stored, computed);
    EXPECT_NE(computed, 0u);
    // Its archive is the uninstall script alone; nothing of the setup's signature follows.
    size_t cursor = LocateArchive(bytes, written.size());
    ArchiveEntry entry;
    ASSERT_EQ(NextArchiveEntry(bytes, written.size(), &cursor, &entry), kWalkEntry);
    EXPECT_EQ(std::string((const char *)bytes + entry.dataOffset, entry.size), Script);
    EXPECT_EQ(cursor, written.size());
}

TEST_F(SignedSetup, SignedUninstallerIsTakenOnlyWhenItFits)
{
    // The uninstaller as the engine builds it, then signed: what pack --sign puts in the setup.
    UseEngine("Plain.exe", Sample);
    ASSERT_EQ(WriteUninstaller(Path("Built.exe").c_str()), 0);
    std::string built = ReadFileText(Path("Built.exe"));
    std::string prepared = FakeSign(built);
    std::string otherScript = prepared;
    otherScript[otherScript.rfind(Script) + 3] ^= 1;
    std::string setupImage = prepared;
    setupImage.replace(setupImage.find("SetupMode:Unins"), 15, "SetupMode:Setup");

    std::string image = ImageOf(Sample);
    uint32_t crc = 0;
    ASSERT_TRUE(EngineImageCrc((const uint8_t *)image.data(), image.size(), &crc));
    char name[kSignedUninstallerNameSize];
    SignedUninstallerName(crc, name, sizeof name);
    char otherName[kSignedUninstallerNameSize];
    SignedUninstallerName(crc + 1, otherName, sizeof otherName);
    struct Case {
        const char *what;
        const char *entry;
        std::string content;
        std::string damaged;
        bool taken;
    } cases[] = {
        {"fits", name, prepared, "", true},
        {"made for another engine build", otherName, prepared, "", false},
        {"another uninstall script", name, otherScript, "", false},
        {"a setup's image", name, setupImage, "", false},
        {"damaged on its way", name, prepared, name, false},
    };
    for (const Case &c : cases) {
        UseEngine(std::string("Setup") + c.what + ".exe",
                  image + ArchiveBytes({{"Uninstall.vis", Script},
                                        {"Setup.vis", "PhaseBegin 0\r\nPhaseEnd\r\n"},
                                        {c.entry, c.content}},
                                       c.damaged));
        ASSERT_EQ(WriteUninstaller(Path("Uninstall.exe").c_str()), 0) << c.what;
        std::string written = ReadFileText(Path("Uninstall.exe"));
        EXPECT_EQ(written == c.content, c.taken) << c.what;
        uint32_t offset;
        uint32_t length;
        ASSERT_TRUE(ReadCertificateTable((const uint8_t *)written.data(), written.size(), &offset,
                                         &length));
        EXPECT_EQ(length != 0, c.taken) << c.what;
    }
}

TEST_F(SignedSetup, AddedIconGroupAsTheLoaderSeesItAndTheImageRuns)
{
    std::string engine = ReadFileText(BuildPath("Setup.exe"));
    std::vector<uint8_t> image(engine.begin(), engine.end());
    size_t offset;
    uint32_t length;
    ASSERT_TRUE(FindResourceData(image.data(), image.size(), kPeResourceGroupIcon, IDI_UNINSTALL,
                                 kPeAnyLanguage, &offset, &length));
    std::string uninstallGroup((const char *)image.data() + offset, length);
    size_t size = image.size();
    image.resize(size + 0x10000);
    size_t newSize = 0;
    ASSERT_EQ(AddResource(image.data(), size, image.size(), kPeResourceGroupIcon, IDI_SETUP, 0,
                          (const uint8_t *)uninstallGroup.data(), length, &newSize),
              kPeEdited);
    image.resize(newSize);
    ASSERT_TRUE(WritePeChecksum(image.data(), image.size()));
    auto data = [](const char *file) { return ReadFileText(TestDataPath(file)); };
    std::string edited = std::string(image.begin(), image.end()) +
                         ArchiveBytes({{"Uninstall.vis", data("archive/Uninstall.vis")},
                                       {"Setup.vis", data("archive/Setup.vis")},
                                       {"EULA.txt", data("archive/EULA.txt")}});
    WriteFileText(Path("Edited.exe"), edited);

    WORD austrian = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_AUSTRIAN);
    for (DWORD how : {LOAD_LIBRARY_AS_DATAFILE, LOAD_LIBRARY_AS_IMAGE_RESOURCE}) {
        HMODULE module = LoadLibraryExA(Path("Edited.exe").c_str(), nullptr, how);
        ASSERT_NE(module, nullptr) << how;
        EXPECT_EQ(GroupIcon(module, IDI_SETUP, 0), uninstallGroup) << how;
        EXPECT_EQ(uninstallGroup.size(), 6u + 12 * 14); // twelve images
        EXPECT_EQ(GroupIcon(module, IDI_UNINSTALL, austrian), uninstallGroup) << how;
        EXPECT_NE(GroupIcon(module, IDI_SETUP, austrian), uninstallGroup) << how;
        FreeLibrary(module);
    }
    // The edited engine still starts, finds its archive after the new section and installs.
    ASSERT_EQ(RunProgram(Path("Edited.exe"), "\"" + Path("Installed") + "\"", Folder), 0u);
    EXPECT_EQ(ReadLog(Path("Edited.exe.log")), "Setup finished successfully!\r\n");
    EXPECT_EQ(ReadFileText(Path("Installed\\EULA.txt")), data("archive/EULA.txt"));
}

} // namespace
