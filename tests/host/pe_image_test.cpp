// The PE toolkit on synthetic images: checksums against pefile's, the certificate table and
// the archive's end at a signature, resource lookups, and the resource added in a new section,
// read back by the toolkit and by pefile. Exact-size copies make any read outside an image an
// AddressSanitizer failure.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/pe_image.h"
#include "archive/uninstaller_image.h"
#include "base/bytes.h"
#include "tests/host/fake_pe.h"

namespace
{

const std::string kGroup101(90, '\x65');
const std::string kGroup102 = std::string(6, '\0') + std::string(84, '\x66');

std::vector<FakeResource> EngineLikeResources()
{
    return {{"TEXT", "116", 0x0C07, "licence text"},
            {"3", "1", 0x0C07, std::string(40, '\x01')},
            {"3", "7", 0x0C07, std::string(41, '\x07')},
            {"14", "101", 0x0C07, kGroup101},
            {"14", "102", 0x0C07, kGroup102},
            {"24", "1", 0, "<manifest/>"},
            {"6", "MY STRINGS", 0x0409, "named"}};
}

// Runs a Python snippet over the file with pefile; `path` is sys.argv[1]. Its output.
std::string Pefile(const std::vector<uint8_t> &file, const std::string &snippet)
{
    char path[] = "/tmp/pe-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_EQ(write(fd, file.data(), file.size()), (ssize_t)file.size());
    close(fd);
    std::string command = "/usr/bin/python3 -c 'import pefile, sys\n" + snippet + "' " + path;
    FILE *p = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t n;
    while (p && (n = fread(buffer, 1, sizeof buffer, p)) > 0)
        out.append(buffer, n);
    EXPECT_EQ(p ? pclose(p) : -1, 0) << out;
    unlink(path);
    return out;
}

uint32_t Checksum(const std::vector<uint8_t> &file)
{
    uint32_t checksum = 0;
    EXPECT_TRUE(ComputePeChecksum(file.data(), file.size(), &checksum));
    return checksum;
}

TEST(PeChecksum, AgreesWithPefileAndInPieces)
{
    std::string pe32 = FakeImage(EngineLikeResources(), false);
    std::string plus = FakeImage(EngineLikeResources(), true);
    std::string ones = plus;
    for (size_t i = kFakeHeaderSize; i < ones.size(); i++)
        ones[i] = '\xff'; // carries on every word
    std::string withField = plus;
    PutLe(&withField, kFakePeOffset + 24 + 64, 0xDEADBEEF, 4); // an old value counts as zero
    const std::string images[] = {
        pe32, plus,          plus + "x", pe32 + "odd",
        ones, ones + "\xff", withField,  plus + std::string(70001, '\xa5')};
    for (const std::string &image : images) {
        std::vector<uint8_t> file = Bytes(image);
        uint32_t checksum = Checksum(file);
        std::string expected =
            Pefile(file, "print(pefile.PE(sys.argv[1], fast_load=True).generate_checksum())");
        EXPECT_EQ(std::to_string(checksum) + "\n", expected) << image.size() << " bytes";

        // The sum over pieces at odd and even offsets, the field skipped, is the same.
        size_t field = kFakePeOffset + 24 + 64;
        for (size_t split : {(size_t)1, (size_t)3, (size_t)field, file.size() - 1}) {
            PeSum sum = {0, 0};
            size_t first = split < field ? split : field;
            PeSumAdd(&sum, file.data(), first);
            PeSumAdd(&sum, file.data() + first, field - first);
            PeSumSkip(&sum, 4);
            size_t rest = field + 4;
            size_t middle = split > rest ? split : rest + (file.size() - rest) / 2;
            PeSumAdd(&sum, file.data() + rest, middle - rest);
            PeSumAdd(&sum, file.data() + middle, file.size() - middle);
            EXPECT_EQ(PeSumValue(&sum), checksum) << "split at " << split;
        }

        // Written into the file, it stays what the file sums to.
        ASSERT_TRUE(WritePeChecksum(file.data(), file.size()));
        EXPECT_EQ(ReadLe32(file.data() + field), checksum);
        EXPECT_EQ(Checksum(file), checksum);
    }
    std::vector<uint8_t> notPe = Bytes(FakePe("no optional header"));
    uint32_t checksum;
    EXPECT_FALSE(ComputePeChecksum(notPe.data(), notPe.size(), &checksum));
    EXPECT_FALSE(WritePeChecksum(notPe.data(), notPe.size()));
}

TEST(PeCertificates, TableEntryAndTheArchiveLimit)
{
    for (bool plus : {false, true}) {
        std::string image = FakeImage(EngineLikeResources(), plus);
        std::string archive = std::string(kArchiveHeader) + "a" + std::string("\0\1\0\0\0x", 6);
        std::vector<uint8_t> signedFile = Bytes(FakeSign(image + archive));
        uint32_t offset = 1;
        uint32_t length = 1;
        ASSERT_TRUE(ReadCertificateTable(signedFile.data(), signedFile.size(), &offset, &length));
        EXPECT_EQ(offset, (image.size() + archive.size() + 7) / 8 * 8);
        EXPECT_EQ(offset + length, signedFile.size());
        EXPECT_EQ(ArchiveLimit(signedFile.data(), signedFile.size(), signedFile.size()), offset);
        ASSERT_TRUE(ClearCertificateTable(signedFile.data(), signedFile.size()));
        ASSERT_TRUE(ReadCertificateTable(signedFile.data(), signedFile.size(), &offset, &length));
        EXPECT_EQ(offset | length, 0u);
        EXPECT_EQ(ArchiveLimit(signedFile.data(), signedFile.size(), signedFile.size()),
                  signedFile.size());
    }

    // Only a table that ends the file, after the image, ends the archive.
    std::string image = FakeImage(EngineLikeResources());
    std::string signedFile = FakeSign(image + "archive");
    size_t entry = kFakePeOffset + 24 + 112 + 4 * 8;
    struct Case {
        const char *what;
        uint32_t offset;
        uint32_t length;
        size_t limit;
    } cases[] = {
        {"signed", (uint32_t)image.size() + 8, 24, image.size() + 8},
        {"no table", 0, 0, signedFile.size()},
        {"table shorter than the rest", (uint32_t)image.size() + 8, 23, signedFile.size()},
        {"table longer than the rest", (uint32_t)image.size() + 8, 25, signedFile.size()},
        {"table inside the image", 0x400, (uint32_t)signedFile.size() - 0x400, signedFile.size()},
        {"table of zero bytes at the end", (uint32_t)signedFile.size(), 0, signedFile.size()},
        {"offset past the end", 0xFFFFFFF0u, 0x10, signedFile.size()},
    };
    for (const Case &c : cases) {
        std::string file = signedFile;
        PutLe(&file, entry, c.offset, 4);
        PutLe(&file, entry + 4, c.length, 4);
        const uint8_t *bytes = (const uint8_t *)file.data();
        EXPECT_EQ(ArchiveLimit(bytes, file.size(), file.size()), c.limit) << c.what;
        // The headers alone tell it, as the engine reads them through its first window.
        EXPECT_EQ(ArchiveLimit(bytes, kFakeHeaderSize, file.size()), c.limit) << c.what;
    }
    // An image whose optional header holds only four data directories has no entry.
    std::string few = image;
    PutLe(&few, kFakePeOffset + 24 + 108, 4, 4);
    uint32_t offset;
    uint32_t length;
    EXPECT_FALSE(ReadCertificateTable((const uint8_t *)few.data(), few.size(), &offset, &length));
    EXPECT_FALSE(ClearCertificateTable((uint8_t *)&few[0], few.size()));
}

std::string Resource(const std::vector<uint8_t> &image, uint32_t type, uint32_t id,
                     uint32_t language)
{
    size_t offset;
    uint32_t length;
    if (!FindResourceData(image.data(), image.size(), type, id, language, &offset, &length))
        return "<none>";
    return std::string((const char *)image.data() + offset, length);
}

TEST(PeResources, FindsByTypeIdAndLanguage)
{
    for (bool plus : {false, true}) {
        std::vector<uint8_t> image = Bytes(FakeImage(EngineLikeResources(), plus));
        struct Case {
            uint32_t type;
            uint32_t id;
            uint32_t language;
            std::string data;
        } cases[] = {
            {14, 102, 0x0C07, kGroup102},
            {14, 102, kPeAnyLanguage, kGroup102},
            {14, 101, 0x0C07, kGroup101},
            {14, 101, 0, "<none>"},
            {14, 103, kPeAnyLanguage, "<none>"},
            {24, 1, 0, "<manifest/>"},
            {3, 7, 0x0C07, std::string(41, '\x07')},
            {6, 116, kPeAnyLanguage, "<none>"}, // named entries are not found by ID
            {99, 1, kPeAnyLanguage, "<none>"},
        };
        for (const Case &c : cases)
            EXPECT_EQ(Resource(image, c.type, c.id, c.language), c.data)
                << c.type << "/" << c.id << "/" << c.language;
    }
}

// pefile's view of the resource tree: one line per language entry, in the file's order.
std::string PefileTree(const std::vector<uint8_t> &image)
{
    return Pefile(image, "pe = pefile.PE(sys.argv[1])\n"
                         "for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:\n"
                         "  for n in t.directory.entries:\n"
                         "    for l in n.directory.entries:\n"
                         "      d = l.data.struct\n"
                         "      print(t.name or t.id, n.name or n.id, hex(l.id),\n"
                         "            pe.get_data(d.OffsetToData, d.Size).hex()[:8])\n"
                         "print(pe.OPTIONAL_HEADER.SizeOfImage, len(pe.sections))");
}

TEST(PeResources, AddedInANewSectionAsTheLoaderReadsThem)
{
    for (bool plus : {false, true}) {
        std::vector<uint8_t> image = Bytes(FakeImage(EngineLikeResources(), plus));
        std::string before = PefileTree(image);
        size_t size = image.size();
        size_t offset;
        uint32_t length;
        ASSERT_TRUE(
            FindResourceData(image.data(), size, 14, 102, kPeAnyLanguage, &offset, &length));
        // Too small a buffer: the size needed, and nothing changed.
        std::vector<uint8_t> original = image;
        size_t needed = 0;
        ASSERT_EQ(AddResource(image.data(), size, size, 14, 101, 0, image.data() + offset, length,
                              &needed),
                  kPeNeedsRoom);
        EXPECT_EQ(image, original);
        EXPECT_EQ(needed, size + 0x400); // 618 bytes of tree, names and group, in file blocks
        image.resize(needed);
        size_t newSize = 0;
        ASSERT_EQ(AddResource(image.data(), size, image.size(), 14, 101, 0, image.data() + offset,
                              length, &newSize),
                  kPeEdited);
        EXPECT_EQ(newSize, needed);
        EXPECT_EQ(ImageEndOffset(image.data(), image.size()), newSize);
        EXPECT_EQ(Resource(image, 14, 101, 0), kGroup102);
        EXPECT_EQ(Resource(image, 14, 101, 0x0C07), kGroup101);
        // The new entry goes before the Austrian one; everything else stays as it was.
        std::string expected = before;
        std::string austrian = "14 101 0xc07 65656565\n";
        expected.insert(expected.find(austrian), "14 101 0x0 00000000\n");
        expected.replace(expected.rfind('\n', expected.size() - 2) + 1, std::string::npos,
                         "20480 4\n");
        EXPECT_EQ(PefileTree(image), expected);
        // The added group and the checksum over the whole, as Windows will check them.
        ASSERT_TRUE(WritePeChecksum(image.data(), image.size()));
        EXPECT_EQ(Pefile(image, "pe = pefile.PE(sys.argv[1])\n"
                                "print(pe.verify_checksum(), pe.sections[-1].Name.rstrip(b\"\\0\"),"
                                " hex(pe.sections[-1].Characteristics))"),
                  "True b'.rsrc2' 0x40000040\n");

        // Adding it again replaces the data; a new type and a new ID find their places.
        std::string data = "replaced";
        size = image.size();
        image.resize(size + 0x1000);
        ASSERT_EQ(AddResource(image.data(), size, image.size(), 14, 101, 0,
                              (const uint8_t *)data.data(), (uint32_t)data.size(), &newSize),
                  kPeEdited);
        image.resize(newSize);
        EXPECT_EQ(Resource(image, 14, 101, 0), data);
        for (uint32_t type : {1u, 16u, 30u}) {
            size = image.size();
            image.resize(size + 0x1000);
            ASSERT_EQ(AddResource(image.data(), size, image.size(), type, 5, 7,
                                  (const uint8_t *)data.data(), (uint32_t)data.size(), &newSize),
                      kPeEdited);
            image.resize(newSize);
        }
        std::string tree = PefileTree(image);
        EXPECT_NE(tree.find("TEXT 116 0xc07 6c696365\n1 5 0x7 7265706c\n3 1 0xc07"),
                  std::string::npos)
            << tree;
        EXPECT_NE(tree.find("14 101 0x0 7265706c\n14 101 0xc07"), std::string::npos) << tree;
        EXPECT_NE(tree.find("14 102 0xc07 00000000\n16 5 0x7 7265706c\n24 1 0x0 3c6d616e\n"
                            "30 5 0x7 7265706c\n"),
                  std::string::npos)
            << tree;
        EXPECT_EQ(Resource(image, 6, 116, kPeAnyLanguage), "<none>");
        EXPECT_EQ(Resource(image, 3, 7, 0x0C07), std::string(41, '\x07'));
    }
}

TEST(PeResources, EditRefusals)
{
    std::string image = FakeImage(EngineLikeResources());
    const size_t table = kFakePeOffset + 24 + 240;
    const size_t kResources = 0x600; // the resource section's data, after the headers and .data
    auto edit = [](std::string file, size_t size) {
        file.resize(size + 0x10000);
        size_t newSize = 0;
        return AddResource((uint8_t *)&file[0], size, file.size(), 14, 101, 0, (const uint8_t *)"x",
                           1, &newSize);
    };
    struct Case {
        const char *what;
        size_t at; // a field changed, or 0 for none
        uint64_t value;
        int width;
        size_t size; // the image's size passed in, 0 for the whole
        PeEdit result;
    } cases[] = {
        {"as it is", 0, 0, 0, 0, kPeEdited},
        {"something after the section table", table + 3 * 40 + 5, 1, 1, 0, kPeNoHeaderRoom},
        {"headers end at the table", kFakePeOffset + 24 + 60, table + 3 * 40, 4, 0,
         kPeNoHeaderRoom},
        {"a section's data right after the table", table + 20, table + 3 * 40 + 8, 4, 0,
         kPeNoHeaderRoom},
        {"not the image's whole length", 0, 0, 0, image.size() - 1, kPeNotEditable},
        {"data after the image", 0, 0, 0, image.size() + 1, kPeNotEditable},
        {"file alignment not a power of two", kFakePeOffset + 24 + 36, 0x300, 4, 0, kPeNotEditable},
        {"section alignment below a page", kFakePeOffset + 24 + 32, 0x200, 4, 0, kPeNotEditable},
        {"resource directory outside every section", kFakePeOffset + 24 + 112 + 16, 0x90000, 4, 0,
         kPeNotEditable},
        {"a type entry that leads to data", kResources + 16 + 4, 0x30, 4, 0, kPeNotEditable},
        {"a directory with more entries than fit", kResources + 14, 0xFFFF, 2, 0, kPeNotEditable},
        {"a name past the tree", kResources + 16, 0x8000FFF0u, 4, 0, kPeNotEditable},
        {"no resources yet", kFakePeOffset + 24 + 112 + 16, 0, 8, 0, kPeEdited},
    };
    for (const Case &c : cases) {
        std::string file = image;
        if (c.width > 0)
            PutLe(&file, c.at, c.value, c.width);
        EXPECT_EQ(edit(file, c.size ? c.size : file.size()), c.result) << c.what;
    }
    // A tree made from nothing holds just the new entry.
    std::string bare = image;
    PutLe(&bare, kFakePeOffset + 24 + 112 + 16, 0, 8);
    std::vector<uint8_t> file = Bytes(bare);
    file.resize(bare.size() + 0x200);
    size_t newSize;
    ASSERT_EQ(AddResource(file.data(), bare.size(), file.size(), 14, 101, 0,
                          (const uint8_t *)kGroup102.data(), 90, &newSize),
              kPeEdited);
    EXPECT_EQ(Resource(file, 14, 101, 0), kGroup102);
    EXPECT_EQ(PefileTree(file), "14 101 0x0 00000000\n20480 4\n");
}

TEST(PeResources, CutImagesAreNeverReadOutside)
{
    std::string image = FakeImage(EngineLikeResources(), false);
    for (size_t cut = 0; cut <= image.size(); cut += cut < 0x500 ? 1 : 7) {
        std::vector<uint8_t> part(image.begin(), image.begin() + (long)cut);
        Resource(part, 14, 102, kPeAnyLanguage);
        uint32_t checksum;
        ComputePeChecksum(part.data(), part.size(), &checksum);
        size_t newSize = 0;
        PeEdit result = AddResource(part.data(), part.size(), part.size(), 14, 101, 0,
                                    (const uint8_t *)"x", 1, &newSize);
        EXPECT_TRUE(result == kPeNotEditable || (cut == image.size() && result == kPeNeedsRoom))
            << cut;
    }
}

std::string Entry(const std::string &name, const std::string &data)
{
    std::string size(4, '\0');
    PutLe(&size, 0, data.size(), 4);
    return name + '\0' + size + data;
}

TEST(SignedUninstaller, PreparedOnlyWhenItHoldsTheScript)
{
    std::string image =
        FakeImage(EngineLikeResources(), true, std::string("SetupMode:Unins\0", 16));
    std::string archive = std::string(kArchiveHeader) + Entry("Uninstall.vis", "the script");
    std::string script = "the script";
    struct Case {
        const char *what;
        std::string file;
        bool prepared;
    } cases[] = {
        {"unsigned", image + archive, true},
        {"signed", FakeSign(image + archive), true},
        {"signed, name in other letters",
         FakeSign(image + kArchiveHeader + Entry("UNINSTALL.VIS", script)), true},
        {"another script", FakeSign(image + kArchiveHeader + Entry("Uninstall.vis", "other")),
         false},
        {"no script", FakeSign(image + kArchiveHeader + Entry("Setup.vis", script)), false},
        {"a setup's image",
         FakeImage(EngineLikeResources(), true, std::string("SetupMode:Setup\0", 16)) + archive,
         false},
        {"both markers",
         FakeImage(EngineLikeResources(), true, "SetupMode:UninsSetupMode:Setup") + archive, false},
        {"a cut archive", image + archive.substr(0, archive.size() - 1), false},
        {"a signature not at the end", FakeSign(image + archive) + "x", false},
        {"no archive", FakeSign(image), false},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> bytes = Bytes(c.file);
        EXPECT_EQ(IsPreparedUninstaller(bytes.data(), bytes.size(), (const uint8_t *)script.data(),
                                        script.size()),
                  c.prepared)
            << c.what;
    }
}

TEST(SignedUninstaller, EngineCrcIgnoresChecksumSignatureAndArchive)
{
    std::string image = FakeImage(EngineLikeResources());
    uint32_t base = 0;
    ASSERT_TRUE(EngineImageCrc((const uint8_t *)image.data(), image.size(), &base));
    std::string checksummed = image;
    PutLe(&checksummed, kFakePeOffset + 24 + 64, 0x12345678, 4);
    std::string changed = image;
    changed[0x400 + 3] ^= 1;
    struct Case {
        const char *what;
        std::string file;
        bool same;
    } cases[] = {
        {"checksum written", checksummed, true},
        {"archive appended and signed", FakeSign(checksummed + kArchiveHeader + "abc"), true},
        {"a byte of the image", changed, false},
        {"another build", FakeImage(EngineLikeResources(), false), false},
    };
    for (const Case &c : cases) {
        uint32_t crc = 0;
        ASSERT_TRUE(EngineImageCrc((const uint8_t *)c.file.data(), c.file.size(), &crc)) << c.what;
        EXPECT_EQ(crc == base, c.same) << c.what;
    }
    char name[kSignedUninstallerNameSize];
    SignedUninstallerName(0x0BADF00D, name, sizeof name);
    EXPECT_STREQ(name, "<Signed Uninstaller 0BADF00D>");
    std::string cut = image.substr(0, image.size() - 1);
    uint32_t crc;
    EXPECT_FALSE(EngineImageCrc((const uint8_t *)cut.data(), cut.size(), &crc));
}

} // namespace
