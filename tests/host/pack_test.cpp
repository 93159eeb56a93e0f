// mksetup pack, list and extract, run as a vendor runs them.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "archive/format.h"
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
    expected += entry("Uninstall.vis", "uninstall") + entry("Empty.bin", "") +
                entry("Setup.vis", "PhaseBegin 0\r\nPhaseEnd\r\n") +
                entry("Tool.exe", std::string(70000, 'T')) + entry("EULA.txt", "licence") +
                kArchiveEnd;
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
