// mksetup pack, list and extract, run as a vendor runs them.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "archive/format.h"
#include "base/crc32c.h"
#include "tests/host/fake_pe.h"

namespace
{

std::string ReadText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

class Packer : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/pack-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
        WriteText(Dir + "/stub.exe", FakePe(kArchiveHeader));
        mkdir((Dir + "/product").c_str(), 0755);
        WriteText(Dir + "/product/Setup.vis", "PhaseBegin 0\r\nPhaseEnd\r\n");
        WriteText(Dir + "/product/Tool.exe", std::string(70000, 'T'));
        WriteText(Dir + "/product/Uninstall.vis", "uninstall");
        WriteText(Dir + "/product/Empty.bin", "");
        mkdir((Dir + "/product/sub").c_str(), 0755);
        WriteText(Dir + "/product/sub/ignored.txt", "x");
        WriteText(Dir + "/EULA.txt", "licence");
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + Dir + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    // Runs mksetup; returns its exit status, with stdout and stderr kept.
    int Mksetup(const std::string &arguments)
    {
        std::string command = std::string(MKSETUP) + " " + arguments + " >'" + Dir +
                              "/out.txt' 2>'" + Dir + "/err.txt'";
        int status = system(command.c_str());
        Out = ReadText(Dir + "/out.txt");
        Err = ReadText(Dir + "/err.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Dir;
    std::string Out;
    std::string Err;
};

TEST_F(Packer, PackedFileReadsBackByteForByte)
{
    ASSERT_EQ(Mksetup("pack --engine " + Dir + "/stub.exe --out " + Dir + "/Setup.exe " + Dir +
                      "/product " + Dir + "/EULA.txt"),
              0)
        << Err;
    std::string expected = FakePe(kArchiveHeader) + kArchiveHeader;
    auto entry = [](const std::string &name, const std::string &data) {
        uint32_t n = (uint32_t)data.size();
        return name + '\0' +
               std::string{(char)n, (char)(n >> 8), (char)(n >> 16), (char)(n >> 24)} + data;
    };
    // Uninstall.vis first, then folder files in name order, then the other paths in order.
    const std::string datas[] = {"uninstall", "", "PhaseBegin 0\r\nPhaseEnd\r\n",
                                 std::string(70000, 'T'), "licence"};
    expected += entry("Uninstall.vis", datas[0]) + entry("Empty.bin", datas[1]) +
                entry("Setup.vis", datas[2]) + entry("Tool.exe", datas[3]) +
                entry("EULA.txt", datas[4]) + kArchiveEnd;
    // The integrity record: tag, count, and each entry's CRC-32C.
    auto le32 = [](uint32_t v) {
        return std::string{(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)};
    };
    expected += std::string(kIntegrityTag) + le32(5);
    for (const std::string &data : datas)
        expected += le32(Crc32c(0, data.data(), data.size()));
    EXPECT_TRUE(ReadText(Dir + "/Setup.exe") == expected);

    ASSERT_EQ(Mksetup("list " + Dir + "/Setup.exe"), 0);
    EXPECT_EQ(Out, "Uninstall.vis\t9\nEmpty.bin\t0\nSetup.vis\t24\nTool.exe\t70000\nEULA.txt\t7\n");

    ASSERT_EQ(Mksetup("extract " + Dir + "/Setup.exe tool.EXE " + Dir + "/t.exe"), 0);
    EXPECT_EQ(ReadText(Dir + "/t.exe"), std::string(70000, 'T'));
    EXPECT_EQ(Mksetup("extract " + Dir + "/Setup.exe Nope " + Dir + "/n"), 1);
    EXPECT_NE(Err.find("no entry named Nope"), std::string::npos);
}

TEST_F(Packer, Refusals)
{
    std::string out = Dir + "/Setup.exe";
    std::string base = "pack --engine " + Dir + "/stub.exe --out " + out + " ";
    WriteText(Dir + "/EULA.TXT.dup", "");
    mkdir((Dir + "/other").c_str(), 0755);
    WriteText(Dir + "/other/eula.txt", "again");
    WriteText(Dir + "/back\\slash", "x");
    WriteText(Dir + "/notpe.exe", "plain text");
    struct Case {
        std::string arguments;
        const char *message;
    } cases[] = {
        {base + Dir + "/EULA.txt " + Dir + "/other", "named alike"},
        {base + Dir + "/back\\\\slash", "not a bare file name"},
        {base + Dir + "/missing.txt", "cannot read"},
        {"pack --engine " + Dir + "/notpe.exe --out " + out + " " + Dir + "/EULA.txt",
         "not a Windows executable"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Mksetup(c.arguments), 1) << c.arguments;
        EXPECT_NE(Err.find(c.message), std::string::npos) << Err;
        EXPECT_NE(access(out.c_str(), F_OK), 0) << "output written for " << c.arguments;
    }

    // A stub that already carries an archive.
    ASSERT_EQ(Mksetup(base + Dir + "/EULA.txt"), 0);
    remove((Dir + "/Old.exe").c_str());
    EXPECT_EQ(Mksetup("pack --engine " + out + " --out " + Dir + "/Twice.exe " + Dir + "/EULA.txt"),
              1);
    EXPECT_NE(Err.find("already carries"), std::string::npos);
    EXPECT_NE(access((Dir + "/Twice.exe").c_str(), F_OK), 0);

    // A file that holds the header text (an engine, a setup) is packed like any other: the
    // archive is found at the end of the image, not by the last header text in the file.
    WriteText(Dir + "/Old.exe", "MZ...<Setup Data Header>...");
    EXPECT_EQ(Mksetup(base + Dir + "/EULA.txt " + Dir + "/Old.exe"), 0) << Err;
    EXPECT_EQ(Mksetup("list " + out), 0);
    EXPECT_EQ(Out, "EULA.txt\t" + std::to_string(ReadText(Dir + "/EULA.txt").size()) +
                       "\nOld.exe\t27\n");

    EXPECT_EQ(Mksetup("pack --out " + out), 2);
    EXPECT_EQ(Mksetup("list " + Dir + "/stub.exe"), 1);
    EXPECT_NE(Err.find("no setup data archive"), std::string::npos);
}

TEST_F(Packer, RefusesMoreThanFourGibibytes)
{
    // A sparse file: its size is refused before any byte is read.
    std::string big = Dir + "/big.bin";
    ASSERT_EQ(truncate((WriteText(big, ""), big.c_str()), 0xFFFFFFFFll), 0);
    EXPECT_EQ(Mksetup("pack --engine " + Dir + "/stub.exe --out " + Dir + "/Setup.exe " + big), 1);
    EXPECT_NE(Err.find("4 GiB"), std::string::npos);
    EXPECT_NE(access((Dir + "/Setup.exe").c_str(), F_OK), 0);
}

TEST_F(Packer, ListReportsADamagedArchive)
{
    ASSERT_EQ(Mksetup("pack --engine " + Dir + "/stub.exe --out " + Dir + "/Setup.exe " + Dir +
                      "/product"),
              0);
    std::string file = ReadText(Dir + "/Setup.exe");
    WriteText(Dir + "/Cut.exe", file.substr(0, file.size() - 70000));
    EXPECT_EQ(Mksetup("list " + Dir + "/Cut.exe"), 1);
    EXPECT_EQ(Out, "Uninstall.vis\t9\nEmpty.bin\t0\nSetup.vis\t24\n");
    EXPECT_NE(Err.find("does not fit"), std::string::npos);
}

} // namespace

namespace
{

TEST(Crc32c, KnownValuesOnEveryPath)
{
    EXPECT_EQ(Crc32c(0, "123456789", 9), 0xE3069283u);
    EXPECT_EQ(Crc32cByTable(0, "123456789", 9), 0xE3069283u);
    EXPECT_EQ(Crc32c(0, "", 0), 0u);
    // Lengths and alignments around the 8- and 4-byte steps, and a sum continued in pieces.
    std::string data;
    for (int i = 0; i < 300; i++)
        data += (char)(i * 7 + 3);
    for (size_t offset = 0; offset < 9; offset++)
        for (size_t length : {0u, 1u, 3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 250u}) {
            const char *p = data.data() + offset;
            uint32_t whole = Crc32c(0, p, length);
            EXPECT_EQ(whole, Crc32cByTable(0, p, length)) << offset << "+" << length;
            EXPECT_EQ(Crc32c(Crc32c(0, p, length / 2), p + length / 2, length - length / 2), whole);
        }
}

TEST_F(Packer, DamagedEntriesAreNamed)
{
    ASSERT_EQ(Mksetup("pack --engine " + Dir + "/stub.exe --out " + Dir + "/Setup.exe " + Dir +
                      "/product " + Dir + "/EULA.txt"),
              0)
        << Err;
    std::string good = ReadText(Dir + "/Setup.exe");
    Mksetup("check " + Dir + "/Setup.exe"); // the fixture's scripts have findings of their own
    EXPECT_EQ(Out.find("damaged"), std::string::npos) << Out;
    EXPECT_EQ(Out.find("checksum"), std::string::npos) << Out;

    // One byte flipped in the middle of Tool.exe.
    std::string bad = good;
    size_t at = bad.find(std::string(70000, 'T')) + 35000;
    bad[at] = 'X';
    WriteText(Dir + "/Bad.exe", bad);
    EXPECT_EQ(Mksetup("list " + Dir + "/Bad.exe"), 1);
    EXPECT_NE(Err.find("entry Tool.exe is damaged"), std::string::npos) << Err;
    EXPECT_EQ(Mksetup("check " + Dir + "/Bad.exe"), 1);
    EXPECT_NE(Out.find("entry Tool.exe is damaged"), std::string::npos) << Out;

    // A record cut short, and a setup packed before the record existed.
    WriteText(Dir + "/Cut.exe", good.substr(0, good.size() - 2));
    EXPECT_EQ(Mksetup("list " + Dir + "/Cut.exe"), 1);
    EXPECT_NE(Err.find("checksum record does not fit"), std::string::npos) << Err;
    size_t marker = good.rfind(kArchiveEnd);
    WriteText(Dir + "/Old.exe", good.substr(0, marker + kArchiveEndLength));
    EXPECT_EQ(Mksetup("list " + Dir + "/Old.exe"), 0);
    EXPECT_NE(Err.find("no checksums"), std::string::npos) << Err;
}

} // namespace
