// The Zstandard decoder against the reference library: its frames of text, repeated, binary and
// mixed data at several levels and windows, decoded whole and in pieces of random sizes; frames
// made by hand for the corner cases of the format; damaged and cut frames.
#include <gtest/gtest.h>
#include <zstd.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "archive/zstd.h"

namespace
{

using Bytes = std::vector<uint8_t>;
const size_t kMaxWindow = 8 << 20;

Bytes Compress(const Bytes &src, int level, int windowLog, bool checksum, bool withSize = true)
{
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLog);
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, checksum);
    ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, withSize);
    Bytes out(ZSTD_compressBound(src.size()));
    size_t n;
    if (withSize) {
        n = ZSTD_compress2(c, out.data(), out.size(), src.data(), src.size());
    } else { // streamed: the header then says nothing of the size
        ZSTD_inBuffer in = {src.data(), src.size(), 0};
        ZSTD_outBuffer o = {out.data(), out.size(), 0};
        n = ZSTD_compressStream2(c, &o, &in, ZSTD_e_end);
        n = n == 0 ? o.pos : (size_t)-1;
    }
    ZSTD_freeCCtx(c);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(ZSTD_isError(n) ? 0 : n);
    return out;
}

// One workspace for all the decodes (a fresh one each time would cost more than the decode).
uint8_t *Workspace(size_t maxWindow)
{
    static Bytes work(ZstdWorkspaceSize(32 << 20));
    EXPECT_LE(ZstdWorkspaceSize(maxWindow), work.size());
    return work.data();
}

// Decodes one frame through ZstdDecode with input and output pieces of 1..inMax and 1..outMax
// bytes; returns the last status, the bytes made in *out and the input used in *used.
int DecodeInPieces(const Bytes &frame, Bytes *out, std::mt19937 *rng, size_t inMax, size_t outMax,
                   size_t maxWindow = kMaxWindow, size_t *used = nullptr)
{
    ZstdDecoder d;
    ZstdBegin(&d, Workspace(maxWindow), ZstdWorkspaceSize(maxWindow), maxWindow);
    out->clear();
    Bytes piece(outMax);
    size_t at = 0;
    int status;
    int idle = 0;
    do {
        size_t in = std::min<size_t>(frame.size() - at, 1 + (*rng)() % inMax);
        size_t room = 1 + (*rng)() % outMax;
        size_t inUsed, made;
        status = ZstdDecode(&d, frame.data() + at, in, &inUsed, piece.data(), room, &made);
        at += inUsed;
        out->insert(out->end(), piece.begin(), piece.begin() + made);
        idle = inUsed || made ? 0 : idle + 1;
    } while (status == kZstdNeedMore && idle < 3);
    if (used)
        *used = at;
    return status;
}

int DecodeWhole(const Bytes &frame, Bytes *out, size_t capacity, size_t maxWindow = kMaxWindow)
{
    out->assign(capacity, 0);
    size_t made = 0;
    int status = ZstdDecodeBuffer(frame.data(), frame.size(), out->data(), capacity, &made,
                                  Workspace(maxWindow), ZstdWorkspaceSize(maxWindow), maxWindow);
    out->resize(made);
    return status;
}

// Inputs of each kind, from a fixed seed.
Bytes Text(size_t n, std::mt19937 *rng)
{
    static const char *kWords[] = {"the ", "setup ",  "copies ",   "files ", "into ", "folder ",
                                   "and ", "writes ", "registry ", "keys\n", "of ",   "a "};
    Bytes b;
    while (b.size() < n) {
        const char *w = kWords[(*rng)() % 12];
        b.insert(b.end(), w, w + strlen(w));
    }
    b.resize(n);
    return b;
}
Bytes Binary(size_t n, std::mt19937 *rng)
{
    Bytes b(n);
    for (auto &c : b)
        c = (uint8_t)(*rng)();
    return b;
}
// Few symbols, no repeats: blocks of literals alone.
Bytes Skewed(size_t n, std::mt19937 *rng)
{
    Bytes b(n);
    for (auto &c : b)
        c = (uint8_t)((*rng)() % 64 * ((*rng)() % 4 == 0 ? 3 : 1));
    return b;
}
// Runs of one byte, a rare other byte, and blocks repeated from far back (beyond one block).
Bytes Repeated(size_t n, std::mt19937 *rng)
{
    Bytes b;
    Bytes unit = Binary(300, rng);
    while (b.size() < n) {
        switch ((*rng)() % 4) {
        case 0:
            b.insert(b.end(), 1 + (*rng)() % 3000, 'a');
            break;
        case 1:
            b.push_back('b');
            break;
        case 2:
            b.insert(b.end(), unit.begin(), unit.end());
            break;
        default:
            if (b.size() > 200000) {
                size_t from = b.size() - 150000 - (*rng)() % 50000;
                for (size_t i = 0; i < 5000; i++)
                    b.push_back(b[from + i]);
            }
        }
    }
    b.resize(n);
    return b;
}
// Like code: small words, zeros, tables, some noise.
Bytes Mixed(size_t n, std::mt19937 *rng)
{
    Bytes b;
    while (b.size() < n) {
        unsigned kind = (*rng)() % 5;
        size_t len = 16 + (*rng)() % 400;
        for (size_t i = 0; i < len; i++)
            b.push_back(kind == 0   ? 0
                        : kind == 1 ? (uint8_t)((*rng)() % 16)
                        : kind == 2 ? (uint8_t)(i * 4)
                        : kind == 3 ? (uint8_t) "\x8b\x45\xfc\x89\x04\x24\xe8"[i % 7]
                                    : (uint8_t)(*rng)());
    }
    b.resize(n);
    return b;
}

// The parts of the format a frame uses: block types, literals modes, sequence table modes.
void NoteModes(const Bytes &f, std::set<std::string> *seen)
{
    size_t at = 4;
    unsigned fhd = f[at];
    static const int kFcs[4] = {0, 2, 4, 8}, kDid[4] = {0, 1, 2, 4};
    at +=
        1 + !(fhd & 0x20) + kDid[fhd & 3] + ((fhd >> 6) == 0 ? (fhd & 0x20) >> 5 : kFcs[fhd >> 6]);
    static const char *kBlocks[] = {"raw block", "rle block", "compressed block"};
    static const char *kLiterals[] = {"raw literals", "rle literals", "huffman literals",
                                      "treeless literals"};
    static const char *kTables[] = {"predefined", "rle", "fse", "repeat"};
    for (;;) {
        uint32_t h = f[at] | f[at + 1] << 8 | f[at + 2] << 16;
        size_t size = h >> 3, type = (h >> 1) & 3;
        at += 3;
        seen->insert(kBlocks[type]);
        if (type == 2) {
            const uint8_t *p = &f[at];
            unsigned lt = p[0] & 3, sf = (p[0] >> 2) & 3;
            size_t lh, body;
            if (lt < 2) {
                lh = sf == 1 ? 2 : sf == 3 ? 3 : 1;
                size_t regen = sf == 1   ? (p[0] | p[1] << 8) >> 4
                               : sf == 3 ? (p[0] | p[1] << 8 | p[2] << 16) >> 4
                                         : p[0] >> 3;
                body = lt == 0 ? regen : 1;
            } else {
                lh = sf < 2 ? 3 : sf + 2;
                uint64_t v = 0;
                for (size_t i = 0; i < lh; i++)
                    v |= (uint64_t)p[i] << (8 * i);
                unsigned bits = sf < 2 ? 10 : sf == 2 ? 14 : 18;
                body = (size_t)(v >> (4 + bits)) & ((1u << bits) - 1);
                seen->insert(sf == 0 ? "1 stream" : "4 streams");
            }
            seen->insert(kLiterals[lt]);
            const uint8_t *s = p + lh + body;
            unsigned nb = s[0];
            if (nb == 0) {
                seen->insert("no sequences");
            } else {
                unsigned modes = s[nb < 128 ? 1 : nb < 255 ? 2 : 3];
                for (int shift = 6; shift >= 2; shift -= 2)
                    seen->insert(kTables[(modes >> shift) & 3]);
            }
        }
        at += type == 1 ? 1 : size;
        if (h & 1)
            break;
    }
}

TEST(Zstd, DecodesWhatTheReferenceLibraryMakes)
{
    std::mt19937 rng(20261209);
    struct Kind {
        const char *name;
        Bytes (*make)(size_t, std::mt19937 *);
    } kinds[] = {{"text", Text},
                 {"binary", Binary},
                 {"repeated", Repeated},
                 {"skewed", Skewed},
                 {"mixed", Mixed}};
    struct Case {
        size_t size;
        int level, windowLog;
        bool checksum, withSize;
    } cases[] = {
        {0, 3, 10, true, true},        {1, 1, 10, false, true},      {100, 19, 10, true, false},
        {5000, -5, 12, true, true},    {70000, 1, 17, false, false}, {300000, 3, 10, true, true},
        {300000, 9, 17, false, true},  {600000, 19, 20, true, true}, {600000, 22, 23, true, false},
        {1200000, 12, 18, true, true},
    };
    std::set<std::string> seen;
    for (const Kind &k : kinds) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(k.name) + " size " + std::to_string(c.size) + " level " +
                         std::to_string(c.level) + " window " + std::to_string(c.windowLog));
            Bytes src = k.make(c.size, &rng);
            Bytes frame = Compress(src, c.level, c.windowLog, c.checksum, c.withSize);
            NoteModes(frame, &seen);
            Bytes out;
            ASSERT_EQ(0, DecodeWhole(frame, &out, src.size()));
            ASSERT_TRUE(out == src);
            // Pieces: all at once, tiny, and sizes around a block; the window as small as the
            // frame allows.
            size_t window = (size_t)1 << c.windowLog;
            const size_t limits[][2] = {{1 << 24, 1 << 24}, {7, 5}, {200000, 131072}, {3, 70000}};
            for (const auto &l : limits) {
                if (l[0] < 100 && src.size() > 100000)
                    continue;
                size_t used = 0;
                ASSERT_EQ(kZstdFrameDone,
                          DecodeInPieces(frame, &out, &rng, l[0], l[1], window, &used));
                ASSERT_EQ(frame.size(), used);
                ASSERT_TRUE(out == src);
            }
            if (src.size() > window && !c.withSize) {
                Bytes none;
                EXPECT_EQ(kZstdUnsupported,
                          DecodeInPieces(frame, &none, &rng, 1 << 20, 1 << 20, window / 2));
            }
        }
    }
    const char *kAll[] = {"raw block",
                          "rle block",
                          "compressed block",
                          "raw literals",
                          "huffman literals",
                          "treeless literals",
                          "1 stream",
                          "4 streams",
                          "no sequences",
                          "predefined",
                          "rle",
                          "fse",
                          "repeat"};
    // (RLE literals, which the reference library seldom makes, are in the hand-made frames.)
    for (const char *mode : kAll)
        EXPECT_TRUE(seen.count(mode)) << mode;
}

// A frame made by hand: magic, header descriptor and its fields, then the blocks.
Bytes Frame(std::initializer_list<uint8_t> header, std::initializer_list<uint8_t> rest)
{
    Bytes f = {0x28, 0xB5, 0x2F, 0xFD};
    f.insert(f.end(), header);
    f.insert(f.end(), rest);
    return f;
}

TEST(Zstd, CornerCasesOfTheFormat)
{
    // XXH64 of "" and of "abc" (low 32 bits in the frames): 0xEF46DB3751D8E999, 0x44BC2CF5AD770999.
    ZstdHash h;
    ZstdHashBegin(&h);
    EXPECT_EQ(0xEF46DB3751D8E999ull, ZstdHashEnd(&h));
    ZstdHashAdd(&h, (const uint8_t *)"abc", 3);
    EXPECT_EQ(0x44BC2CF5AD770999ull, ZstdHashEnd(&h));
    struct Case {
        const char *what;
        Bytes frame;
        int status; // of ZstdDecodeBuffer (0 or negative)
        std::string content;
    } cases[] = {
        // Single segment, 1-byte size; one raw last block "abc".
        {"raw block", Frame({0x20, 3}, {0x19, 0, 0, 'a', 'b', 'c'}), 0, "abc"},
        {"rle block", Frame({0x20, 5}, {0x2B, 0, 0, 'x'}), 0, "xxxxx"},
        {"empty frame", Frame({0x20, 0}, {0x01, 0, 0}), 0, ""},
        {"raw then rle, window descriptor, no size",
         Frame({0x00, 0x00}, {0x10, 0, 0, 'a', 'b', 0x13, 0, 0, 'c'}), 0, "abcc"},
        {"checksum", Frame({0x24, 3}, {0x19, 0, 0, 'a', 'b', 'c', 0x99, 0x09, 0x77, 0xAD}), 0,
         "abc"},
        {"wrong checksum", Frame({0x24, 3}, {0x19, 0, 0, 'a', 'b', 'c', 0x98, 0x09, 0x77, 0xAD}),
         kZstdChecksumBad, ""},
        {"2-byte content size", Frame({0x60, 0x00, 0x00}, {0x01, 0, 0}), kZstdCorrupt, ""},
        {"size below the content", Frame({0x20, 2}, {0x19, 0, 0, 'a', 'b', 'c'}), kZstdCorrupt, ""},
        {"size above the content", Frame({0x20, 4}, {0x19, 0, 0, 'a', 'b', 'c'}), kZstdCorrupt, ""},
        {"dictionary", Frame({0x21, 7, 3}, {0x19, 0, 0, 'a', 'b', 'c'}), kZstdUnsupported, ""},
        {"dictionary 0", Frame({0x21, 0, 3}, {0x19, 0, 0, 'a', 'b', 'c'}), 0, "abc"},
        {"window above the limit", Frame({0x00, 0x70}, {0x01, 0, 0}), kZstdUnsupported, ""},
        {"reserved header bit", Frame({0x28, 3}, {0x19, 0, 0, 'a', 'b', 'c'}), kZstdCorrupt, ""},
        {"reserved block type", Frame({0x20, 3}, {0x1F, 0, 0, 'a', 'b', 'c'}), kZstdCorrupt, ""},
        {"reserved bits of the sequences' modes",
         Frame({0x00, 0x00}, {0x4D, 0, 0, 0x10, 0, 0, 1, 0x03, 0x27, 0x2A, 0xC0, 0x02}),
         kZstdCorrupt, ""},
        {"block above the limit", Frame({0x00, 0x00}, {0x0B, 0x00, 0x10, 'a'}), kZstdCorrupt, ""},
        {"bytes after the frame", Frame({0x20, 1}, {0x09, 0, 0, 'a', 0}), kZstdCorrupt, ""},
        {"bad magic", Bytes{0x28, 0xB5, 0x2F, 0xFE, 0x20, 0, 1, 0, 0}, kZstdCorrupt, ""},
        // Compressed blocks: with 0 sequences the literals are all the content (and nothing
        // may follow); a table repeated from a block before needs such a block.
        {"literals only", Frame({0x00, 0x00}, {0x25, 0, 0, 0x10, 'a', 'b', 0}), 0, "ab"},
        {"literals, junk after 0 sequences",
         Frame({0x00, 0x00}, {0x2D, 0, 0, 0x10, 'a', 'b', 0, 0}), kZstdCorrupt, ""},
        {"rle literals", Frame({0x00, 0x00}, {0x1D, 0, 0, 0x21, 'z', 0}), 0, "zzzz"},
        {"treeless literals without a tree", Frame({0x00, 0x00}, {0x2D, 0, 0, 0x43, 0, 0, 0, 0}),
         kZstdCorrupt, ""},
        {"repeated table without one",
         Frame({0x00, 0x00}, {0x35, 0, 0, 0x10, 'a', 'b', 1, 0xFC, 0x80}), kZstdCorrupt, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes out;
        EXPECT_EQ(c.status, DecodeWhole(c.frame, &out, 64));
        if (c.status == 0)
            EXPECT_EQ(c.content, std::string(out.begin(), out.end()));
        std::mt19937 rng(1);
        int streamed = DecodeInPieces(c.frame, &out, &rng, 2, 3);
        if (c.status == 0 || std::string(c.what) == "bytes after the frame")
            EXPECT_EQ(kZstdFrameDone, streamed);
        else
            EXPECT_EQ(c.status, streamed);
    }
    // Skippable frames before the frame are skipped; the bytes after it are left.
    Bytes f = {0x50, 0x2A, 0x4D, 0x18, 2, 0, 0, 0, 9, 9, 0x5F, 0x2A, 0x4D, 0x18, 0, 0, 0, 0};
    Bytes raw = Frame({0x20, 3}, {0x19, 0, 0, 'a', 'b', 'c'});
    f.insert(f.end(), raw.begin(), raw.end());
    Bytes out;
    EXPECT_EQ(0, DecodeWhole(f, &out, 3));
    EXPECT_EQ("abc", std::string(out.begin(), out.end()));
    f.push_back(0x28);
    std::mt19937 rng(2);
    size_t used = 0;
    EXPECT_EQ(kZstdFrameDone, DecodeInPieces(f, &out, &rng, 1, 1, kMaxWindow, &used));
    EXPECT_EQ(f.size() - 1, used);
    EXPECT_EQ("abc", std::string(out.begin(), out.end()));
}

TEST(Zstd, CutOrDamagedFramesAreRefused)
{
    std::mt19937 rng(7);
    Bytes src = Text(40000, &rng);
    Bytes mixed = Mixed(40000, &rng);
    src.insert(src.end(), mixed.begin(), mixed.end());
    Bytes frame = Compress(src, 19, 15, true);
    Bytes out;
    // Every cut: the one-shot call refuses it, the streaming one never ends the frame.
    for (size_t cut = 0; cut < frame.size(); cut += 1 + cut / 64) {
        Bytes part(frame.begin(), frame.begin() + cut);
        ASSERT_LT(DecodeWhole(part, &out, src.size()), 0) << cut;
        ASSERT_NE(kZstdFrameDone, DecodeInPieces(part, &out, &rng, 4096, 4096)) << cut;
    }
    // A smaller output buffer is refused too.
    EXPECT_EQ(kZstdCorrupt, DecodeWhole(frame, &out, src.size() - 1));
    // Every byte changed: never a wrong result with the checksum on (the descriptor's own
    // flags may turn it off: then only no crash).
    for (size_t at = 4; at < frame.size(); at += 1 + at / 256) {
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes bad = frame;
            bad[at] ^= flip;
            int status = DecodeWhole(bad, &out, src.size() + 100);
            if (status == 0 && at > 4)
                EXPECT_TRUE(out == src) << at;
            DecodeInPieces(bad, &out, &rng, 5000, 3000);
        }
    }
}

} // namespace
