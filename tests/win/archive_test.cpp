// The archive reader on the test program's own file. Suites named Packed* run in the copy of
// this program that carries an archive (tests/data/archive packed by mksetup); NoArchive runs in
// the program as built.
#include "tests/win/win_test_util.h"

#include <stdlib.h>

#include "archive/archive.h"
#include "archive/format.h"
#include "base/text.h"

namespace
{

std::string Entry(const char *name, size_t spare = 0)
{
    uint32_t size = 0;
    uint8_t *data = ReadArchiveEntry(name, spare, &size);
    if (!data)
        return "<none>";
    std::string text((const char *)data, size);
    for (size_t i = 0; i < spare; i++)
        EXPECT_EQ(data[size + i], 0) << "spare byte " << i;
    free(data);
    return text;
}

class PackedArchive : public WindowsTest
{
};

TEST_F(PackedArchive, ReadsEntriesByNameIgnoringCase)
{
    std::string setup = ReadFileText(TestDataPath("archive/Setup.vis"));
    EXPECT_EQ(Entry("Setup.vis", 1), setup);
    EXPECT_EQ(Entry("SETUP.VIS"), setup);
    EXPECT_EQ(Entry("setup.vis", 7), setup);
    EXPECT_EQ(Entry("EULA.txt"), ReadFileText(TestDataPath("archive/EULA.txt")));
    EXPECT_EQ(Entry("Setup"), "<none>");
    EXPECT_EQ(Entry("Missing.txt"), "<none>");
}

TEST_F(PackedArchive, EmptyEntry)
{
    uint32_t size = 99;
    uint8_t *data = ReadArchiveEntry("Empty.bin", 3, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(data[0] | data[1] | data[2], 0);
    free(data);
    WriteFileText(Path("empty"), "old content");
    EXPECT_EQ(ExtractArchiveEntry("empty.bin", Path("empty").c_str()), 0);
    EXPECT_EQ(ReadFileText(Path("empty")), "");
}

TEST_F(PackedArchive, ExtractReplacesOrLeavesTheDestination)
{
    std::string eula = ReadFileText(TestDataPath("archive/EULA.txt"));
    WriteFileText(Path("target"), std::string(5000, 'x'));
    EXPECT_EQ(ExtractArchiveEntry("EULA.txt", Path("target").c_str()), 0);
    EXPECT_EQ(ReadFileText(Path("target")), eula);

    EXPECT_EQ(ExtractArchiveEntry("Missing.txt", Path("target").c_str()), kErrArchive);
    EXPECT_EQ(ReadFileText(Path("target")), eula);
    EXPECT_EQ(ExtractArchiveEntry("Missing.txt", Path("new").c_str()), kErrArchive);
    EXPECT_FALSE(Exists(Path("new")));

    EXPECT_EQ(ExtractArchiveEntry("EULA.txt", Path("no\\such\\folder\\x").c_str()),
              kErrFileNotWritten);
}

BOOL WINAPI DiskFull(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

TEST_F(PackedArchive, FailedWriteIsReportedAndLeavesNoHalfFile)
{
    Sys.WriteFile = DiskFull;
    EXPECT_EQ(ExtractArchiveEntry("EULA.txt", Path("full").c_str()), kErrFileNotWritten);
    EXPECT_FALSE(Exists(Path("full")));
    EXPECT_EQ(WriteImageThroughEntry("Uninstall.vis", Path("full").c_str()), kErrFileNotWritten);
    EXPECT_FALSE(Exists(Path("full")));
}

TEST_F(PackedArchive, ImageThroughUninstallScript)
{
    ASSERT_EQ(WriteImageThroughEntry("uninstall.vis", Path("image.exe").c_str()), 0);
    std::string own = ReadFileText(EngineFilePath);
    std::string image = ReadFileText(Path("image.exe"));
    std::string uninstall = ReadFileText(TestDataPath("archive/Uninstall.vis"));
    // The image, the magic and the first entry (the uninstall script), and nothing after it.
    ASSERT_LT(image.size(), own.size());
    EXPECT_EQ(own.compare(0, image.size(), image), 0);
    EXPECT_EQ(image.substr(image.size() - uninstall.size()), uninstall);
    const uint8_t *bytes = (const uint8_t *)image.data();
    size_t start = LocateArchive(bytes, image.size());
    ASSERT_NE(start, 0u);
    size_t cursor = start;
    ArchiveEntry e;
    ASSERT_EQ(NextArchiveEntry(bytes, image.size(), &cursor, &e), kWalkEntry);
    EXPECT_EQ(std::string(e.name, e.nameLength), "Uninstall.vis");
    EXPECT_EQ(NextArchiveEntry(bytes, image.size(), &cursor, &e), kWalkEnd);
    EXPECT_FALSE(FindArchiveEntry(bytes, image.size(), start, "Setup.vis", &e));
}

// An entry of the archive always wins over a file of its name in the current folder, which
// anyone could have put there; the disk is asked only for names the archive does not hold.
TEST_F(PackedArchive, ArchiveEntryWinsOverADiskFileOfItsName)
{
    char saved[MAX_PATH];
    GetCurrentDirectoryA(sizeof saved, saved);
    ASSERT_TRUE(SetCurrentDirectoryA(Folder.c_str()));
    const std::string packed = ReadFileText(TestDataPath("archive/Setup.vis"));
    for (const char *name : {"Setup.vis", "SETUP.VIS"}) {
        WriteFileText(Path(name), "planted");
        uint32_t size = 0;
        uint8_t *data = LoadFileOrEntry(name, 1, &size);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(std::string((const char *)data), packed);
        EXPECT_EQ(size, packed.size());
        free(data);
        EXPECT_EQ(CopyFileOrEntry(name, Path("copy").c_str()), 0);
        EXPECT_EQ(ReadFileText(Path("copy")), packed);
        DeleteFileA(Path(name).c_str());
    }

    WriteFileText(Path("Only.txt"), "only on disk");
    uint32_t size = 0;
    uint8_t *data = LoadFileOrEntry("Only.txt", 1, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string((const char *)data), "only on disk");
    free(data);
    EXPECT_EQ(CopyFileOrEntry("Only.txt", Path("copy").c_str()), 0);
    EXPECT_EQ(ReadFileText(Path("copy")), "only on disk");
    EXPECT_EQ(CopyFileOrEntry("Missing.vis", Path("copy2").c_str()), kErrArchive);
    SetCurrentDirectoryA(saved);
}

TEST_F(PackedArchive, TruncatedEngineFileNeverReadsPastItsEnd)
{
    std::string own = ReadFileText(EngineFilePath);
    std::string eula = ReadFileText(TestDataPath("archive/EULA.txt"));
    size_t eulaAt = own.rfind(eula);
    ASSERT_NE(eulaAt, std::string::npos);
    char saved[MAX_PATH];
    CopyText(saved, sizeof saved, EngineFilePath);
    // Cut in the middle of the licence's data: entries before it stay readable.
    std::string cut = Path("cut.exe");
    WriteFileText(cut, own.substr(0, eulaAt + 10));
    CopyText(EngineFilePath, sizeof EngineFilePath, cut.c_str());
    ArchiveStart = 0;
    EXPECT_EQ(Entry("EULA.txt"), "<none>");
    EXPECT_EQ(Entry("Uninstall.vis"), ReadFileText(TestDataPath("archive/Uninstall.vis")));
    EXPECT_EQ(ExtractArchiveEntry("EULA.txt", Path("e").c_str()), kErrArchive);
    EXPECT_FALSE(Exists(Path("e")));
    // Neither a damaged archive nor an engine file that cannot be opened lets a file beside the
    // engine stand in for an entry.
    char current[MAX_PATH];
    GetCurrentDirectoryA(sizeof current, current);
    ASSERT_TRUE(SetCurrentDirectoryA(Folder.c_str()));
    WriteFileText(Path("EULA.txt"), "planted");
    WriteFileText(Path("Uninstall.vis"), "planted");
    uint32_t size = 0;
    EXPECT_EQ(LoadFileOrEntry("EULA.txt", 0, &size), nullptr);
    EXPECT_EQ(CopyFileOrEntry("EULA.txt", Path("e").c_str()), kErrArchive);
    CopyText(EngineFilePath, sizeof EngineFilePath, Path("missing.exe").c_str());
    ArchiveStart = 0;
    EXPECT_EQ(Entry("Uninstall.vis"), "<none>");
    EXPECT_EQ(LoadFileOrEntry("Uninstall.vis", 0, &size), nullptr);
    EXPECT_EQ(ExtractArchiveEntry("Uninstall.vis", Path("e").c_str()), kErrArchive);
    EXPECT_FALSE(Exists(Path("e")));
    SetCurrentDirectoryA(current);
    CopyText(EngineFilePath, sizeof EngineFilePath, saved);
    ArchiveStart = 0;
}

TEST(NoArchive, OwnCopyOfTheMagicIsNotAnArchive)
{
    // The program holds the magic text in its image, yet nothing is found.
    std::string own = ReadFileText(EngineFilePath);
    EXPECT_NE(own.find(kArchiveHeader), std::string::npos);
    ArchiveStart = 0;
    uint32_t size;
    EXPECT_EQ(ReadArchiveEntry("Setup.vis", 1, &size), nullptr);
    EXPECT_EQ(ReadArchiveEntry("", 1, &size), nullptr);
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string target = std::string(temp) + "noarchive.out";
    DeleteFileA(target.c_str());
    EXPECT_EQ(ExtractArchiveEntry("Setup.vis", target.c_str()), kErrArchive);
    EXPECT_FALSE(Exists(target));
    EXPECT_EQ(LoadFileOrEntry("Z:\\no\\such\\file", 0, &size), nullptr);
}

} // namespace
