// mksetup pack, list and extract, run as a vendor runs them.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/pe_image.h"
#include "archive/uninstaller_image.h"
#include "base/bytes.h"
#include "base/crc32c.h"
#include "base/text.h"
#include "script/scanner.h"
#include "tests/host/fake_pe.h"
#include "tools/contents.h"
#include "tools/toolfiles.h"
#include "tools/tree.h"

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

// A script saved in a code page is packed as UTF-8 with --script-encoding; one in UTF-8 already,
// and every other file, as it is.
TEST_F(Packer, ScriptEncodingConvertsCodePageScripts)
{
    WriteText(Dir + "/product/Setup.vis", "Set #A#, T\xF6\xF6l \x80\r\n");
    WriteText(Dir + "/product/Uninstall.vis", "Set #A#, T\xC3\xB6\r\n");
    WriteText(Dir + "/product/Tool.exe", "\xF6");
    std::string pack = "pack --engine " + Dir + "/stub.exe --out " + Dir + "/Setup.exe " + Dir +
                       "/product --script-encoding ";
    ASSERT_EQ(Mksetup(pack + "CP1252"), 0) << Err;
    for (const char *entry : {"Setup.vis", "Uninstall.vis", "Tool.exe"})
        ASSERT_EQ(Mksetup("extract " + Dir + "/Setup.exe " + entry + " " + Dir + "/" + entry), 0);
    EXPECT_EQ(ReadText(Dir + "/Setup.vis"), "Set #A#, T\xC3\xB6\xC3\xB6l \xE2\x82\xAC\r\n");
    EXPECT_EQ(ReadText(Dir + "/Uninstall.vis"), "Set #A#, T\xC3\xB6\r\n");
    EXPECT_EQ(ReadText(Dir + "/Tool.exe"), "\xF6");
    EXPECT_EQ(Mksetup(pack + "CP-nonsense"), 1);
    EXPECT_NE(Err.find("not text in the code page CP-nonsense"), std::string::npos) << Err;
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

// One script line of `mksetup files` output, split by the engine's own scanner.
struct ScriptLine {
    int keyword;
    std::vector<std::string> arguments;
};

std::vector<ScriptLine> ScanLines(const std::string &text)
{
    std::vector<ScriptLine> lines;
    const char *p = SkipWhitespace(text.c_str());
    while (*p) {
        const char *argument;
        const char *lineEnd;
        ScriptLine line{ScanLine(p, &argument, &lineEnd), {}};
        char slot[520];
        while (NextArgument(&argument, lineEnd, slot, sizeof slot) == 0)
            line.arguments.push_back(slot);
        lines.push_back(line);
        p = SkipWhitespace(lineEnd);
    }
    return lines;
}

std::string Lower(std::string text)
{
    for (char &c : text)
        c = LowerAscii(c);
    return text;
}

TEST(TreeEntries, NamesAreUniqueIgnoringCaseAndKeepTheirOwnWhenFree)
{
    struct Case {
        std::vector<std::string> relative;
        std::vector<std::string> entries;
    } cases[] = {
        {{"readme.txt", "a\\readme.txt", "b\\README.TXT"},
         {"readme.txt", "readme~2.txt", "README~3.TXT"}},
        // A file literally named like a numbered one keeps its name; the numbering skips it.
        {{"a\\x.txt", "b\\x.txt", "c\\x~2.txt"}, {"x.txt", "x~3.txt", "x~2.txt"}},
        // The extension begins at the last dot that does not begin the name.
        {{"a\\.profile", "b\\.profile", "a\\t.tar.gz", "b\\t.tar.gz", "a\\mk", "b\\mk"},
         {".profile", ".profile~2", "t.tar.gz", "t.tar~2.gz", "mk", "mk~2"}},
        // The engine's own names stay free for the plain arguments of pack.
        {{"setup.VIS", "doc\\Uninstall.vis", "EULA.txt", "SetupLib64.dll", "SetupLib32.dll"},
         {"setup~2.VIS", "Uninstall~2.vis", "EULA~2.txt", "SetupLib64~2.dll", "SetupLib32~2.dll"}},
    };
    for (const Case &c : cases) {
        std::vector<TreeFile> files;
        for (const std::string &r : c.relative)
            files.push_back({"/x", r, ""});
        std::string error;
        ASSERT_TRUE(AssignEntryNames(&files, &error)) << error;
        for (size_t i = 0; i < files.size(); i++)
            EXPECT_EQ(files[i].entry, c.entries[i]) << c.relative[i];
    }
    // A numbered name that would pass 259 characters is refused, not cut.
    std::vector<TreeFile> files = {{"/x", "a\\" + std::string(259, 'n'), ""},
                                   {"/y", "b\\" + std::string(259, 'N'), ""}};
    std::string error;
    EXPECT_FALSE(AssignEntryNames(&files, &error));
    EXPECT_NE(error.find("longer than 259"), std::string::npos) << error;
}

TEST_F(Packer, FilesLinesAndTreePackAgree)
{
    std::string tree = Dir + "/tree";
    std::map<std::string, std::string> content = {
        // relative (Windows form) -> data
        {"readme.txt", "top"},
        {"Docs\\readme.txt", "docs"},
        {"Docs\\sub dir\\README.TXT", "deep"},
        {"Docs\\sub dir\\a, b.txt", "comma"},
        {"Docs\\sub dir\\x y.bin", ""},
        {"bin\\Setup.vis", "not the script"},
        {"bin\\readme~2.txt", "literal"},
    };
    for (const char *folder : {"", "/Docs", "/Docs/sub dir", "/bin", "/empty"})
        mkdir((tree + folder).c_str(), 0755);
    for (const auto &f : content) {
        std::string unix = f.first;
        for (char &c : unix)
            c = c == '\\' ? '/' : c;
        WriteText(tree + "/" + unix, f.second);
    }

    ASSERT_EQ(Mksetup("files '" + tree + "' --prefix 'C:\\Program Files\\Tool\\'"), 0) << Err;
    size_t lineBreaks = 0;
    for (size_t i = 0; i < Out.size(); i++) {
        if (Out[i] == '\n') {
            EXPECT_TRUE(i > 0 && Out[i - 1] == '\r') << "bare line feed at " << i;
            lineBreaks++;
        }
    }
    std::vector<ScriptLine> lines = ScanLines(Out);
    EXPECT_EQ(lineBreaks, lines.size());
    const std::string prefix = "C:\\Program Files\\Tool";
    std::set<std::string> folders;
    std::map<std::string, std::string> entryOf; // relative -> entry
    std::set<std::string> entries;
    for (const ScriptLine &line : lines) {
        if (line.keyword == kKwCreateDir) {
            ASSERT_EQ(line.arguments.size(), 1u);
            const std::string &path = line.arguments[0];
            if (path != prefix) {
                std::string parent = path.substr(0, path.rfind('\\'));
                EXPECT_TRUE(parent == prefix || folders.count(parent)) << path << " before parent";
            }
            EXPECT_TRUE(folders.insert(path).second) << path;
            continue;
        }
        ASSERT_EQ(line.keyword, kKwCopyFile) << "unexpected line in the output";
        ASSERT_EQ(line.arguments.size(), 2u) << line.arguments[0];
        const std::string &destination = line.arguments[1];
        ASSERT_EQ(destination.compare(0, prefix.size() + 1, prefix + "\\"), 0) << destination;
        std::string relative = destination.substr(prefix.size() + 1);
        EXPECT_TRUE(folders.count(destination.substr(0, destination.rfind('\\'))))
            << destination << " copied before its folder is created";
        EXPECT_TRUE(entries.insert(Lower(line.arguments[0])).second) << line.arguments[0];
        entryOf[relative] = line.arguments[0];
    }
    EXPECT_EQ(folders, (std::set<std::string>{prefix, prefix + "\\Docs", prefix + "\\Docs\\sub dir",
                                              prefix + "\\bin", prefix + "\\empty"}));
    ASSERT_EQ(entryOf.size(), content.size());
    EXPECT_EQ(entryOf["readme.txt"], "readme.txt");
    EXPECT_EQ(entryOf["bin\\Setup.vis"], "Setup~2.vis");
    EXPECT_EQ(entryOf["bin\\readme~2.txt"], "readme~2.txt");

    // Packed with the tree, each entry holds the file its CopyFile line installs.
    WriteText(Dir + "/Setup.vis", "PhaseBegin 0\r\nPhaseEnd\r\n");
    ASSERT_EQ(Mksetup("pack --engine " + Dir + "/stub.exe --out " + Dir + "/Setup.exe --tree '" +
                      tree + "' " + Dir + "/Setup.vis"),
              0)
        << Err;
    ASSERT_EQ(Mksetup("list " + Dir + "/Setup.exe"), 0);
    EXPECT_EQ(std::count(Out.begin(), Out.end(), '\n'), (long)content.size() + 1);
    for (const auto &f : content) {
        ASSERT_TRUE(entryOf.count(f.first)) << f.first;
        ASSERT_EQ(
            Mksetup("extract " + Dir + "/Setup.exe '" + entryOf[f.first] + "' " + Dir + "/got"), 0)
            << Err;
        EXPECT_EQ(ReadText(Dir + "/got"), f.second) << f.first;
    }
    ASSERT_EQ(Mksetup("extract " + Dir + "/Setup.exe Setup.vis " + Dir + "/got"), 0);
    EXPECT_EQ(ReadText(Dir + "/got"), "PhaseBegin 0\r\nPhaseEnd\r\n");
}

TEST_F(Packer, TreeRefusals)
{
    struct Case {
        std::vector<std::string> files; // below the tree, '/'-separated
        const char *message;
    } cases[] = {
        {{"C#/a.txt"}, "'#'"},
        {{"say \"hi\".txt"}, "not a name Windows accepts"},
        {{"back\\slash.txt"}, "not a name Windows accepts"},
        {{"dot./a.txt"}, "ends in a dot"},
        {{"Doc/a.txt", "doc/b.txt"}, "same path as another"},
        {{"a/" + std::string(250, 'd') + "/" + std::string(10, 'f')}, "too deep"},
        // A tree's file and a plain argument of pack would share an entry.
        {{"Tool.exe", "plain/Tool.exe"}, nullptr},
    };
    std::string out = Dir + "/Setup.exe";
    for (const Case &c : cases) {
        std::string tree = Dir + "/bad";
        ASSERT_EQ(system(("rm -rf '" + tree + "'").c_str()), 0);
        mkdir(tree.c_str(), 0755);
        for (const std::string &file : c.files) {
            for (size_t slash = 0; (slash = file.find('/', slash + 1)) != std::string::npos;)
                mkdir((tree + "/" + file.substr(0, slash)).c_str(), 0755);
            WriteText(tree + "/" + file, "x");
        }
        std::string pack = "pack --engine " + Dir + "/stub.exe --out " + out + " --tree '" + tree +
                           "'" + (c.message ? "" : " '" + tree + "/plain/Tool.exe'");
        if (c.message) {
            EXPECT_EQ(Mksetup("files '" + tree + "'"), 1) << c.files[0];
            EXPECT_NE(Err.find(c.message), std::string::npos) << Err;
            EXPECT_EQ(Out, "");
        }
        EXPECT_EQ(Mksetup(pack), 1) << c.files[0];
        EXPECT_NE(Err.find(c.message ? c.message : "named alike"), std::string::npos) << Err;
        EXPECT_NE(access(out.c_str(), F_OK), 0) << "output written for " << c.files[0];
    }
    EXPECT_EQ(Mksetup("files " + Dir + "/EULA.txt"), 1);
    EXPECT_NE(Err.find("not a folder"), std::string::npos);
}

TEST_F(Packer, CheckLooksForUnpackedSourcesOnDisk)
{
    WriteText(Dir + "/product/Setup.vis", "PhaseBegin 0\r\nPhaseEnd\r\nPhaseBegin 1\r\n"
                                          "CopyFile Tool.exe, x\r\n"
                                          "CopyFile C:\\gone\\x.exe, y\r\n"
                                          "PhaseEnd\r\n");
    ASSERT_EQ(Mksetup("pack --engine " + Dir + "/stub.exe --out " + Dir + "/Setup.exe " + Dir +
                      "/product/Setup.vis " + Dir + "/product/Tool.exe"),
              0);
    EXPECT_EQ(Mksetup("check " + Dir + "/Setup.exe"), 1);
    EXPECT_EQ(Out, Dir + "/Setup.exe:Setup.vis:5: CopyFile source \"C:\\gone\\x.exe\" is not "
                         "packed and not on this computer's disk\n");
}

TEST_F(Packer, HelpUsageAndExitCodes)
{
    struct Case {
        const char *arguments;
        int status;
        const char *out; // expected in stdout ("" means stdout stays empty)
        const char *err; // expected in stderr ("" means stderr stays empty)
    } cases[] = {
        {"--help", 0, "usage: mksetup COMMAND", ""},
        {"--version", 0, "mksetup ", ""},
        {"", 2, "", "usage: mksetup COMMAND"},
        {"nonsense", 2, "", "unknown command nonsense"},
        {"pack --help", 0, "--tree DIR", ""},
        {"files --help", 0, "name~2.ext", ""},
        {"list --help", 0, "usage: mksetup list", ""},
        {"extract --help", 0, "usage: mksetup extract", ""},
        {"check --help", 0, "usage: mksetup check", ""},
        {"trace --help", 0, "usage: mksetup trace", ""},
        {"record --help", 0, "usage: mksetup record", ""},
        {"pack --out x.exe", 2, "", "usage: mksetup pack"},
        {"pack --engine a --engine b --out x.exe y", 2, "", "repeated value of --engine"},
        {"pack --tree", 2, "", "usage: mksetup pack"},
        {"pack --bogus", 2, "", "unknown option --bogus"},
        {"files", 2, "", "DIR is missing"},
        {"files a b", 2, "", "unexpected argument b"},
        {"files . --prefix '\"x'", 2, "", "without '\"'"},
        {"files /nonexistent-tree", 1, "", "not a folder"},
        {"list", 2, "", "usage: mksetup list"},
        {"list /nonexistent.exe", 1, "", "cannot read"},
        {"extract a b", 2, "", "usage: mksetup extract"},
        {"check", 2, "", "usage: mksetup check"},
        {"check /nonexistent.vis", 1, "", "cannot read"},
        {"record", 2, "", "usage: mksetup record"},
        {"record xyz", 2, "", "not hexadecimal"},
        {"trace", 2, "", "usage: mksetup trace"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Mksetup(c.arguments), c.status) << c.arguments;
        for (auto stream : {std::make_pair(&Out, c.out), std::make_pair(&Err, c.err)}) {
            if (stream.second[0] == 0)
                EXPECT_EQ(*stream.first, "") << c.arguments;
            else
                EXPECT_NE(stream.first->find(stream.second), std::string::npos)
                    << c.arguments << ": " << *stream.first;
        }
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

namespace
{

// A signing command for tests: a Python script that signs as FakeSign does, logs each file it
// signs, and fails on request.
const char kFakeSigner[] = R"(import os, struct, sys
mode, log, source, target = sys.argv[1:5]
assert not os.path.exists(target), "the output must not exist yet"
with open(log, "a") as f:
    f.write(os.path.basename(source) + "\n")
if mode == "fail":
    sys.exit(3)
data = bytearray(open(source, "rb").read())
uninstaller = source.endswith("uninstaller.exe")
if mode == "nothing" or (mode == "cut" and uninstaller):
    data = data[:-1] if mode == "cut" else None
if mode == "damage" and not uninstaller:
    data[len(data) // 2] ^= 1
if data is not None:
    data += bytes(-len(data) % 8)
    table = struct.pack("<IHH", 24, 0x200, 2) + b"FAKE SIGNATURE!!"
    pe = struct.unpack_from("<I", data, 0x3c)[0]
    plus = struct.unpack_from("<H", data, pe + 24)[0] == 0x20b
    struct.pack_into("<II", data, pe + 24 + (112 if plus else 96) + 32, len(data), len(table))
    open(target, "wb").write(data + table)
)";

class SignedPack : public Packer
{
  protected:
    void SetUp() override
    {
        Packer::SetUp();
        Stub = FakeImage({{"14", "101", 0x0C07, std::string(90, 'S')},
                          {"14", "102", 0x0C07, std::string(90, 'U')}},
                         false);
        WriteText(Dir + "/engine.exe", Stub);
        WriteText(Dir + "/signer.py", kFakeSigner);
        // The output folder's name needs quoting in the shell.
        OutDir = Dir + "/it's signed";
        mkdir(OutDir.c_str(), 0755);
    }
    // Packs the product with --sign running the fake signer in `mode`.
    int Pack(const std::string &mode, const std::string &files = "")
    {
        std::string sign =
            "/usr/bin/python3 " + Dir + "/signer.py " + mode + " " + Dir + "/signed.log {in} {out}";
        return Mksetup("pack --engine " + Dir + "/engine.exe --out \"" + OutDir +
                       "/Setup.exe\" --sign '" + sign + "' " +
                       (files.empty() ? Dir + "/product " + Dir + "/EULA.txt" : files));
    }
    std::vector<std::string> OutFiles()
    {
        std::vector<std::string> names;
        ListFilesIn(OutDir, &names);
        return names;
    }
    std::string Stub;
    std::string OutDir;
};

TEST_F(SignedPack, SignsTheUninstallerThenTheSetup)
{
    ASSERT_EQ(Pack("good"), 0) << Err;
    EXPECT_EQ(OutFiles(), (std::vector<std::string>{"Setup.exe"})) << "temporary files left";
    EXPECT_EQ(ReadText(Dir + "/signed.log"), "Setup.exe.uninstaller.exe\nSetup.exe.unsigned.exe\n");

    std::string setup = OutDir + "/Setup.exe";
    std::vector<uint8_t> file;
    ASSERT_TRUE(ReadBinaryFile(setup, &file));
    EXPECT_LT(ArchiveLimit(file.data(), file.size(), file.size()), file.size()) << "not signed";
    uint32_t crc = 0;
    ASSERT_TRUE(EngineImageCrc((const uint8_t *)Stub.data(), Stub.size(), &crc));
    char name[kSignedUninstallerNameSize];
    SignedUninstallerName(crc, name, sizeof name);
    ASSERT_EQ(Mksetup("list \"" + setup + "\""), 0) << Err;
    EXPECT_EQ(Err, "");
    std::string listing = Out;
    EXPECT_EQ(listing.substr(0, 14), "Uninstall.vis\t");
    EXPECT_NE(listing.find(std::string("\n") + name + "\t"), std::string::npos) << listing;

    // The signed uninstaller: the engine's image with the Unins marker and the uninstall icon
    // as language-neutral group 101, the uninstall script, then the signature.
    ASSERT_EQ(Mksetup("extract \"" + setup + "\" '" + name + "' " + Dir + "/un.exe"), 0) << Err;
    std::vector<uint8_t> un;
    ASSERT_TRUE(ReadBinaryFile(Dir + "/un.exe", &un));
    EXPECT_TRUE(IsPreparedUninstaller(un.data(), un.size(), (const uint8_t *)"uninstall", 9));
    size_t offset;
    uint32_t length;
    ASSERT_TRUE(FindResourceData(un.data(), un.size(), 14, 101, 0, &offset, &length));
    EXPECT_EQ(std::string((const char *)un.data() + offset, length), std::string(90, 'U'));
    EXPECT_EQ(std::string(un.end() - 16, un.end()), "FAKE SIGNATURE!!");
    // Its checksum was right before the signer (which does not update it) signed it.
    std::vector<uint8_t> unsignedUn(
        un.begin(), un.begin() + (long)ArchiveLimit(un.data(), un.size(), un.size()));
    while (unsignedUn.back() == 0)
        unsignedUn.pop_back(); // the signer's padding; the script ends in a letter
    ClearCertificateTable(unsignedUn.data(), unsignedUn.size());
    uint32_t checksum = 0;
    ASSERT_TRUE(ComputePeChecksum(unsignedUn.data(), unsignedUn.size(), &checksum));
    PeHeaders headers;
    ASSERT_TRUE(ReadPeHeaders(un.data(), un.size(), &headers));
    EXPECT_EQ(ReadLe32(un.data() + headers.checksumField), checksum);
}

TEST_F(SignedPack, FailuresLeaveNothingBehind)
{
    WriteText(Dir + "/Setup.vis", "x");
    struct Case {
        std::string mode;
        std::string files; // empty: the product and the licence
        int status;
        const char *message;
    } cases[] = {
        {"fail", "", 1, "the signing command failed (exit status 3)"},
        {"nothing", "", 1, "wrote no"},
        {"cut", "", 1, "no longer reads back as the uninstaller"},
        {"damage", "", 1, "does not read back as an archive"},
        {"good", Dir + "/Setup.vis " + Dir + "/EULA.txt", 2, "needs Uninstall.vis"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Pack(c.mode, c.files), c.status) << c.mode;
        EXPECT_NE(Err.find(c.message), std::string::npos) << Err;
        EXPECT_EQ(OutFiles(), std::vector<std::string>()) << c.mode;
    }
    std::string base =
        "pack --engine " + Dir + "/engine.exe --out " + Dir + "/S.exe " + Dir + "/product --sign ";
    EXPECT_EQ(Mksetup(base + "'cp {in} x'"), 2);
    EXPECT_NE(Err.find("needs {in} and {out}"), std::string::npos) << Err;
    EXPECT_EQ(Mksetup(base + "'cp x {out}'"), 2);
}

TEST_F(SignedPack, UnsignedPackWritesTheChecksumAndDropsAnEnginesSignature)
{
    // The engine itself signed: its signature goes, with its entry.
    WriteText(Dir + "/engine.exe", FakeSign(Stub));
    std::string setup = OutDir + "/Setup.exe";
    ASSERT_EQ(
        Mksetup("pack --engine " + Dir + "/engine.exe --out \"" + setup + "\" " + Dir + "/product"),
        0)
        << Err;
    std::vector<uint8_t> file;
    ASSERT_TRUE(ReadBinaryFile(setup, &file));
    EXPECT_EQ(std::string(file.begin(), file.begin() + (long)Stub.size()).substr(0x400),
              Stub.substr(0x400));
    EXPECT_EQ(LocateArchive(file.data(), file.size()), Stub.size() + kArchiveHeaderLength);
    uint32_t offset = 1;
    uint32_t length = 1;
    ASSERT_TRUE(ReadCertificateTable(file.data(), file.size(), &offset, &length));
    EXPECT_EQ(offset | length, 0u);
    uint32_t checksum = 0;
    ASSERT_TRUE(ComputePeChecksum(file.data(), file.size(), &checksum));
    PeHeaders headers;
    ASSERT_TRUE(ReadPeHeaders(file.data(), file.size(), &headers));
    EXPECT_EQ(ReadLe32(file.data() + headers.checksumField), checksum);
    EXPECT_NE(checksum, 0u);
}

} // namespace

namespace
{

bool ReadStringAt(void *context, uint32_t offset, void *buffer, uint32_t count)
{
    const std::string *bytes = (const std::string *)context;
    if ((uint64_t)offset + count > bytes->size())
        return false;
    memcpy(buffer, bytes->data() + offset, count);
    return true;
}

// Whether the engine's start-up takes this setup file: its reader finds the archive and walks it
// to the end marker, with a checksum record that fits if one begins.
bool EngineStarts(const std::string &file)
{
    std::vector<uint8_t> window(4096);
    ArchiveReader reader = {ReadStringAt,
                            (void *)&file,
                            (uint32_t)file.size(),
                            window.data(),
                            (uint32_t)window.size(),
                            0,
                            0};
    uint32_t start = LocateArchiveThrough(&reader);
    ArchiveIndexData index = {};
    bool whole = start != 0 && BuildArchiveIndex(&reader, start, &index) &&
                 index.ending == kArchiveEndMarker;
    FreeArchiveIndex(&index);
    return whole;
}

} // namespace

// A setup cut anywhere from its last entry on: `list` and `check` call it whole exactly when the
// engine starts from it.
TEST_F(Packer, ListAndCheckAgreeWithTheEngine)
{
    ASSERT_EQ(Mksetup("pack --engine " + Dir + "/stub.exe --out " + Dir + "/Setup.exe " + Dir +
                      "/product " + Dir + "/EULA.txt"),
              0)
        << Err;
    std::string good = ReadText(Dir + "/Setup.exe");
    size_t marker = good.rfind(kArchiveEnd);
    size_t tag = marker + kArchiveEndLength;
    // Each cut, and what the tools say of it.
    struct Case {
        size_t length;
        const char *says;
    } cases[] = {
        {good.size(), ""},
        {marker - 3, "does not fit"},
        {marker, "no end marker"},
        {tag, "no checksums"},
        {tag + 1, "checksum record does not fit"},
        {tag + kIntegrityTagLength - 1, "checksum record does not fit"},
        {tag + kIntegrityTagLength, "checksum record does not fit"},
        {tag + kIntegrityTagLength + 3, "checksum record does not fit"},
        {tag + kIntegrityTagLength + 4, "checksum record does not fit"},
        {good.size() - 1, "checksum record does not fit"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(good.size() - c.length) + " bytes cut");
        std::string cut = good.substr(0, c.length);
        WriteText(Dir + "/Cut.exe", cut);
        int expected = EngineStarts(cut) ? 0 : 1;
        EXPECT_EQ(Mksetup("list " + Dir + "/Cut.exe"), expected) << Err;
        EXPECT_NE((Out + Err).find(c.says), std::string::npos) << Out << Err;
        Mksetup("check " + Dir + "/Cut.exe"); // the fixture's scripts have findings of their own
        bool reported = Out.find("does not fit") != std::string::npos ||
                        Out.find("end marker") != std::string::npos;
        EXPECT_EQ(reported, expected != 0) << Out;
    }

    // The uninstaller's archive has no end marker by design: listing it is no failure.
    std::string uninstaller = FakePe(std::string(kArchiveHeader) + "SetupMode:Unins") +
                              kArchiveHeader +
                              std::string("Uninstall.vis\0\x09\0\0\0uninstall", 27);
    WriteText(Dir + "/Uninstall.exe", uninstaller);
    EXPECT_EQ(Mksetup("list " + Dir + "/Uninstall.exe"), 0) << Err;
    EXPECT_EQ(Out, "Uninstall.vis\t9\n");
    EXPECT_EQ(Err, "");
}

// pack --compress: the entries read back through list, extract and the engine's index as they
// were packed, whatever block they landed in; a flipped or cut block is damage.
TEST_F(Packer, CompressedEntriesReadBackAndDamageIsNamed)
{
    std::string text;
    for (int i = 0; text.size() < 3000000; i++)
        text += "line " + std::to_string(i * 7919 % 1000) + " of the manual\n";
    std::string noise;
    for (uint32_t x = 1; noise.size() < 200000;) {
        x = x * 1103515245u + 12345u;
        noise += (char)(x >> 24);
    }
    WriteText(Dir + "/product/Manual.txt", text);
    WriteText(Dir + "/product/Noise.bin", noise);
    ASSERT_EQ(Mksetup("pack --compress=3 --engine " + Dir + "/stub.exe --out " + Dir +
                      "/Setup.exe " + Dir + "/product " + Dir + "/EULA.txt"),
              0)
        << Err;
    std::string packed = ReadText(Dir + "/Setup.exe");
    EXPECT_LT(packed.size(), text.size() / 10);
    EXPECT_TRUE(EngineStarts(packed));
    ASSERT_EQ(Mksetup("list " + Dir + "/Setup.exe"), 0) << Err;
    EXPECT_EQ(Out, "Uninstall.vis\t9\nEmpty.bin\t0\nManual.txt\t" + std::to_string(text.size()) +
                       "\nNoise.bin\t200000\nSetup.vis\t24\nTool.exe\t70000\nEULA.txt\t7\n");
    const std::pair<const char *, std::string> entries[] = {{"Uninstall.vis", "uninstall"},
                                                            {"empty.bin", ""},
                                                            {"Manual.txt", text},
                                                            {"NOISE.bin", noise},
                                                            {"Tool.exe", std::string(70000, 'T')},
                                                            {"EULA.txt", "licence"}};
    for (const auto &e : entries) {
        ASSERT_EQ(Mksetup("extract " + Dir + "/Setup.exe " + e.first + " " + Dir + "/x"), 0)
            << e.first << Err;
        EXPECT_TRUE(ReadText(Dir + "/x") == e.second) << e.first;
    }
    // In one process, as the engine reads them: out of archive order within the solid block
    // (the reader starts it again), then on from there.
    std::vector<uint8_t> file(packed.begin(), packed.end());
    ArchiveContents contents;
    std::string error;
    ASSERT_TRUE(
        ReadArchiveContents(file, LocateArchive(file.data(), file.size()), &contents, &error));
    for (int i : {3, 2, 1, 3, 4, 2}) {
        std::vector<uint8_t> bytes;
        const ContentEntry *e = FindContentEntry(contents, entries[i].first);
        ASSERT_TRUE(e && ReadContentEntry(file, &contents, *e, &bytes, &error)) << error;
        EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == entries[i].second) << i;
    }
    ASSERT_EQ(Mksetup("pack --compress=23 --engine " + Dir + "/stub.exe --out " + Dir + "/No.exe " +
                      Dir + "/product"),
              2);

    // A byte flipped in the solid block, and the file cut inside it.
    std::string bad = packed;
    size_t block = bad.find(kPackedBlockName);
    ASSERT_NE(block, std::string::npos);
    bad[block + 64] ^= 0x10;
    WriteText(Dir + "/Bad.exe", bad);
    EXPECT_EQ(Mksetup("list " + Dir + "/Bad.exe"), 1);
    EXPECT_NE(Err.find("is damaged"), std::string::npos) << Err;
    WriteText(Dir + "/Cut.exe", packed.substr(0, block + 100));
    EXPECT_FALSE(EngineStarts(packed.substr(0, block + 100)));
    EXPECT_EQ(Mksetup("list " + Dir + "/Cut.exe"), 1);
    EXPECT_NE(Err.find("does not fit"), std::string::npos) << Err;
}
