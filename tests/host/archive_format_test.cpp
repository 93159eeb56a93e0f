// The archive walker on crafted files: every "does not fit" rule, and no read outside the data.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/format.h"
#include "base/crc32c.h"
#include "tests/host/fake_pe.h"

namespace
{

std::string EntryBytes(const std::string &name, const std::string &data)
{
    uint32_t n = (uint32_t)data.size();
    std::string e = name;
    e += '\0';
    e += std::string{(char)n, (char)(n >> 8), (char)(n >> 16), (char)(n >> 24)};
    return e + data;
}

std::string Archive(const std::vector<std::pair<std::string, std::string>> &entries,
                    bool end = true)
{
    std::string a = kArchiveHeader;
    for (const auto &e : entries)
        a += EntryBytes(e.first, e.second);
    return end ? a + kArchiveEnd : a;
}

// The smallest window the piecewise reader takes, so that its pieces meet inside names, size
// fields and the magic.
const uint32_t kTestWindow = 4096;

bool ReadMemoryAt(void *context, uint32_t offset, void *buffer, uint32_t count)
{
    const std::vector<uint8_t> *bytes = (const std::vector<uint8_t> *)context;
    bool inside = (uint64_t)offset + count <= bytes->size();
    EXPECT_TRUE(inside) << "read of " << count << " bytes at " << offset;
    if (inside)
        memcpy(buffer, bytes->data() + offset, count);
    return inside;
}

// Locates and indexes the archive through the reader, as the engine does with its own file.
struct Indexed {
    explicit Indexed(const std::vector<uint8_t> &bytes) : window(kTestWindow)
    {
        ArchiveReader reader = {
            ReadMemoryAt, (void *)&bytes, (uint32_t)bytes.size(), window.data(), kTestWindow, 0, 0};
        start = LocateArchiveThrough(&reader);
        if (start)
            complete = BuildArchiveIndex(&reader, start, &index);
    }
    ~Indexed()
    {
        FreeArchiveIndex(&index);
    }
    std::vector<uint8_t> window;
    uint32_t start = 0;
    bool complete = false;
    ArchiveIndexData index = {};
};

// Runs a lookup over an exact-size heap copy, so reading past the end trips ASan; the indexed
// lookup must agree with the walk.
bool Lookup(const std::string &file, const char *name, std::string *data = nullptr)
{
    std::vector<uint8_t> bytes(file.begin(), file.end());
    size_t start = LocateArchive(bytes.data(), bytes.size());
    ArchiveEntry e;
    bool found = start != 0 && FindArchiveEntry(bytes.data(), bytes.size(), start, name, &e);
    Indexed indexed(bytes);
    EXPECT_EQ(indexed.start, start);
    ArchiveIndexEntry ie;
    bool indexFound = indexed.start != 0 && FindIndexedEntry(&indexed.index, name, &ie);
    EXPECT_EQ(indexFound, found) << name;
    if (found && indexFound) {
        EXPECT_EQ(ie.dataOffset, e.dataOffset) << name;
        EXPECT_EQ(ie.size, e.size) << name;
    }
    if (found && data)
        *data = std::string((const char *)bytes.data() + e.dataOffset, e.size);
    return found;
}

TEST(ArchiveFormat, FindsEntriesIgnoringCaseFirstWins)
{
    std::string file = FakePe() + Archive({{"Uninstall.vis", "u"},
                                           {"Setup.vis", "first"},
                                           {"SETUP.VIS", "second"},
                                           {"Empty", ""}});
    std::string data;
    ASSERT_TRUE(Lookup(file, "setup.vis", &data));
    EXPECT_EQ(data, "first");
    ASSERT_TRUE(Lookup(file, "Empty", &data));
    EXPECT_EQ(data, "");
    EXPECT_FALSE(Lookup(file, "Setup"));
    EXPECT_FALSE(Lookup(file, "Setup.vis2"));
    EXPECT_FALSE(Lookup(file, ""));
}

TEST(ArchiveFormat, TheLastMagicAfterTheImageWins)
{
    // The image holds the magic text itself; an archive after it is found, none is not.
    std::string image = FakePe(kArchiveHeader);
    EXPECT_EQ(LocateArchive((const uint8_t *)image.data(), image.size()), 0u);
    EXPECT_FALSE(Lookup(image, "Setup.vis"));
    std::string file = image + Archive({{"Setup.vis", "x"}});
    EXPECT_EQ(LocateArchive((const uint8_t *)file.data(), file.size()),
              image.size() + kArchiveHeaderLength);
    // Data that is no PE image: any position but 0 counts.
    std::string raw = "x" + Archive({{"a", "b"}});
    EXPECT_EQ(LocateArchive((const uint8_t *)raw.data(), raw.size()), 1u + kArchiveHeaderLength);
    std::string atZero = Archive({{"a", "b"}});
    EXPECT_EQ(LocateArchive((const uint8_t *)atZero.data(), atZero.size()), 0u);
}

TEST(ArchiveFormat, HeaderTextInAnEntryDoesNotHideTheArchive)
{
    // A packed setup inside a setup: its header text lies after the real one.
    std::string inner = "MZ" + std::string(kArchiveHeader) + "x" + std::string(5000, '\0');
    std::string file = FakePe() + Archive({{"Inner.exe", inner}, {"Setup.vis", "s"}});
    std::string data;
    ASSERT_TRUE(Lookup(file, "Setup.vis", &data));
    EXPECT_EQ(data, "s");
    ASSERT_TRUE(Lookup(file, "inner.exe", &data));
    EXPECT_EQ(data, inner);
    // Without the image's own header the scan still takes the last one.
    std::string raw = "x" + Archive({{"a", "b"}}) + std::string(kArchiveHeader) + "c";
    EXPECT_FALSE(Lookup(raw, "a"));
}

TEST(ArchiveFormat, BackwardScanInPiecesFindsTheMagicAnywhere)
{
    // Data that is no PE image has no image end to look at: the magic is found by the scan, which
    // reads the file a window at a time; place it across every kind of piece boundary.
    for (size_t pad = 1; pad < 3 * kTestWindow; pad += pad < 4000 || pad > 8300 ? 397 : 1) {
        std::string file = std::string(pad, 'x') + Archive({{"a", "b"}}) + std::string(50, 'y');
        std::vector<uint8_t> bytes(file.begin(), file.end());
        ASSERT_EQ(Indexed(bytes).start, pad + kArchiveHeaderLength) << pad;
    }
    std::string none(3 * kTestWindow, 'z');
    std::vector<uint8_t> bytes(none.begin(), none.end());
    EXPECT_EQ(Indexed(bytes).start, 0u);
}

TEST(ArchiveFormat, IndexOfManyEntriesAgreesWithTheWalk)
{
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < 3000; i++) {
        std::string name = "File" + std::to_string(i % 2500) + (i % 3 ? ".bin" : ".BIN");
        entries.push_back({name, std::string((size_t)(i * 37 % 700), (char)('a' + i % 26))});
    }
    entries.push_back({std::string(kIndexedNameLimit + 1, 'L'), "long"});
    entries.push_back({std::string(kIndexedNameLimit, 'M'), "limit"});
    entries.push_back({std::string(6000, 'N'), "longer than a window"});
    entries.push_back({"Last", "last"});
    std::string file = FakePe() + Archive(entries);
    for (int i = 0; i < 2500; i += 7)
        EXPECT_TRUE(Lookup(file, ("file" + std::to_string(i) + ".bin").c_str())) << i;
    std::string data;
    EXPECT_TRUE(Lookup(file, "FILE12.BIN", &data));
    EXPECT_EQ(data, entries[12].second); // the first of two entries named alike
    EXPECT_TRUE(Lookup(file, std::string(kIndexedNameLimit, 'm').c_str(), &data));
    EXPECT_EQ(data, "limit");
    EXPECT_TRUE(Lookup(file, "last", &data));
    EXPECT_EQ(data, "last");
    EXPECT_FALSE(Lookup(file, "File2500.bin"));
    // A name longer than any the engine looks up is walked past but not indexed.
    std::vector<uint8_t> bytes(file.begin(), file.end());
    Indexed indexed(bytes);
    EXPECT_TRUE(indexed.complete);
    EXPECT_EQ(indexed.index.count, 3002u);
}

TEST(ArchiveFormat, WalkEndsCleanlyOrAtTheEndMarker)
{
    for (bool end : {true, false}) {
        std::string file = FakePe() + Archive({{"a", "1"}, {"b", "22"}}, end);
        std::vector<uint8_t> bytes(file.begin(), file.end());
        size_t cursor = LocateArchive(bytes.data(), bytes.size());
        ArchiveEntry e;
        std::vector<std::string> names;
        WalkStep step;
        while ((step = NextArchiveEntry(bytes.data(), bytes.size(), &cursor, &e)) == kWalkEntry)
            names.push_back(std::string(e.name, e.nameLength));
        EXPECT_EQ(step, kWalkEnd);
        EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
        EXPECT_FALSE(Lookup(file, "c"));
    }
    // A signature appended after the end marker does not damage the archive.
    std::string signed_ = FakePe() + Archive({{"a", "1"}}) + std::string("\x30\x82\0\x10sig", 8);
    std::vector<uint8_t> bytes(signed_.begin(), signed_.end());
    size_t cursor = LocateArchive(bytes.data(), bytes.size());
    ArchiveEntry e;
    EXPECT_EQ(NextArchiveEntry(bytes.data(), bytes.size(), &cursor, &e), kWalkEntry);
    EXPECT_EQ(NextArchiveEntry(bytes.data(), bytes.size(), &cursor, &e), kWalkEnd);
}

TEST(ArchiveFormat, IndexTellsHowTheArchiveEnds)
{
    std::string whole =
        FakePe() + Archive({{"Uninstall.vis", "uninstall"}, {"Setup.vis", "setup"}});
    struct Case {
        std::string file;
        int ending;
    } cases[] = {
        {whole, kArchiveEndMarker},
        {whole + "signature after the marker", kArchiveEndMarker},
        {FakePe() + Archive({}), kArchiveEndMarker},
        {FakePe() + Archive({{"Uninstall.vis", "uninstall"}}, false), kArchiveNoMarker},
        {FakePe() + Archive({}, false), kArchiveNoMarker},
        {whole.substr(0, whole.size() - 1), kArchiveCut},                     // in the end marker
        {whole.substr(0, whole.size() - kArchiveEndLength - 2), kArchiveCut}, // in an entry
        {whole.substr(0, FakePe().size() + kArchiveHeaderLength + 3), kArchiveCut}, // a name
        {FakePe() + Archive({{"a", "1"}}, false) + "junk", kArchiveCut},
        {whole + std::string(kIntegrityTag, 9), kArchiveCut}, // a record cut in its tag
        {whole + kIntegrityTag + std::string("\2\0\0\0abcdefg", 11), kArchiveCut},
        {whole + kIntegrityTag + std::string("\3\0\0\0abcdefghijkl", 16), kArchiveCut},
        {whole + kIntegrityTag + std::string("\2\0\0\0abcdefgh", 12), kArchiveEndMarker},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> bytes(c.file.begin(), c.file.end());
        Indexed indexed(bytes);
        ASSERT_NE(indexed.start, 0u) << c.file.size();
        EXPECT_EQ(indexed.index.ending, c.ending) << "file of " << c.file.size() << " bytes";
    }
}

std::string Le32(uint32_t value)
{
    std::string bytes(4, '\0');
    PutLe(&bytes, 0, value, 4);
    return bytes;
}

TEST(ArchiveFormat, SignedFilesEndWhereTheSignatureBegins)
{
    std::string image = FakeImage({{"14", "102", 0x0C07, "icon"}});
    size_t start = image.size() + kArchiveHeaderLength;
    // Eight lengths of the last entry: every padding a signing tool may add, 0 to 7 bytes.
    for (size_t extra = 0; extra < 8; extra++) {
        std::string data = "setup" + std::string(extra, 'x');
        std::string archive = std::string(kArchiveHeader) +
                              EntryBytes("Uninstall.vis", "uninstall") +
                              EntryBytes("Setup.vis", data);
        std::string sums = std::string(kArchiveEnd) + kIntegrityTag + Le32(2) +
                           Le32(Crc32c(0, "uninstall", 9)) +
                           Le32(Crc32c(0, data.data(), data.size()));
        // A signed uninstaller (no end marker) and a signed setup.
        for (bool marker : {false, true}) {
            std::vector<uint8_t> bytes = Bytes(FakeSign(image + archive + (marker ? sums : "")));
            size_t limit = ArchiveLimit(bytes.data(), bytes.size(), bytes.size());
            ASSERT_LT(limit, bytes.size());
            size_t cursor = LocateArchive(bytes.data(), bytes.size());
            ASSERT_EQ(cursor, start);
            std::vector<std::string> names;
            ArchiveEntry e;
            WalkStep step;
            while ((step = NextArchiveEntry(bytes.data(), limit, &cursor, &e)) == kWalkEntry)
                names.push_back(std::string(e.name, e.nameLength));
            EXPECT_EQ(step, kWalkEnd) << extra << marker;
            EXPECT_EQ(names, (std::vector<std::string>{"Uninstall.vis", "Setup.vis"}))
                << extra << marker;
            ArchiveEntry damaged;
            EXPECT_EQ(VerifyArchiveSums(bytes.data(), limit, start, &damaged),
                      marker ? kSumsGood : kSumsUnended);

            // The engine's reader indexes exactly these entries, and knows how the walk ended.
            Indexed indexed(bytes);
            ASSERT_EQ(indexed.start, start);
            EXPECT_TRUE(indexed.complete);
            ASSERT_EQ(indexed.index.count, 2u) << extra << marker;
            EXPECT_EQ(indexed.index.ending, marker ? kArchiveEndMarker : kArchiveNoMarker)
                << extra << marker;
            EXPECT_EQ(indexed.index.entries[0].hasSum, marker ? 1u : 0u);
            EXPECT_TRUE(Lookup(FakeSign(image + archive + (marker ? sums : "")), "setup.vis"));
        }
    }
    // Nothing in a signature is taken for an archive or an entry.
    std::string table = std::string("\x18\0\0\0\0\x02\x02\0", 8) + kArchiveHeader;
    std::string file = FakeSign(image);
    file.replace(file.size() - 24, 24, table.substr(0, 24));
    std::vector<uint8_t> bytes = Bytes(file);
    EXPECT_EQ(LocateArchive(bytes.data(), bytes.size()), 0u);
    EXPECT_EQ(Indexed(bytes).start, 0u);
    // Padding is zeros: anything else before the table is a broken entry.
    std::string uninstaller = image + kArchiveHeader + EntryBytes("Uninstall.vis", "u");
    std::string broken = FakeSign(uninstaller + std::string(8 - uninstaller.size() % 8, '!'));
    Indexed brokenIndex(Bytes(broken));
    EXPECT_EQ(brokenIndex.index.ending, kArchiveCut);
    EXPECT_EQ(brokenIndex.index.count, 1u);
}

TEST(ArchiveFormat, TruncationAtEveryByteNeverReadsOutside)
{
    std::string file = FakePe() + Archive({{"Uninstall.vis", "uninstall"}, {"Setup.vis", "setup"}});
    size_t setupEnd = file.size() - kArchiveEndLength;
    for (size_t cut = FakePe().size(); cut <= file.size(); cut++) {
        std::string part = file.substr(0, cut);
        bool found = Lookup(part, "Setup.vis");
        EXPECT_EQ(found, cut >= setupEnd) << "cut at " << cut;
        Lookup(part, "Missing");
    }
}

TEST(ArchiveFormat, SizePastTheEndIsNotFound)
{
    std::string archive = Archive({{"a", "data"}}, false);
    archive[kArchiveHeaderLength + 2 + 3] = (char)0x7f; // size field's top byte
    std::string file = FakePe() + archive;
    EXPECT_FALSE(Lookup(file, "a"));
    std::vector<uint8_t> bytes(file.begin(), file.end());
    size_t cursor = LocateArchive(bytes.data(), bytes.size());
    ArchiveEntry e;
    EXPECT_EQ(NextArchiveEntry(bytes.data(), bytes.size(), &cursor, &e), kWalkBroken);
}

TEST(ArchiveFormat, ImageEndFromPeHeaders)
{
    std::string pe = FakePe();
    EXPECT_EQ(ImageEndOffset((const uint8_t *)pe.data(), pe.size()), pe.size());
    std::string notPe = "MZ" + std::string(100, '\0');
    EXPECT_EQ(ImageEndOffset((const uint8_t *)notPe.data(), notPe.size()), 0u);
    // Headers that point outside the data.
    std::string bad = pe;
    bad[0x3c] = (char)0xff;
    bad[0x3d] = (char)0xff;
    EXPECT_EQ(ImageEndOffset((const uint8_t *)bad.data(), bad.size()), 0u);
    // Headers cut short: exact-size copies, so any read past them is caught.
    for (size_t cut = 0; cut < 0x58 + 40; cut++) {
        std::vector<uint8_t> part(pe.begin(), pe.begin() + (long)cut);
        EXPECT_EQ(ImageEndOffset(part.data(), part.size()), 0u) << cut;
    }
    // A section that claims to end beyond what 32 bits hold lies beyond any data.
    std::string far = pe;
    memcpy(&far[0x58 + 20], "\x00\xff\xff\xff", 4);
    EXPECT_GT(ImageEndOffset((const uint8_t *)far.data(), far.size()), far.size());
}

} // namespace
