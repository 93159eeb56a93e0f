#include "archive/zstd.h"

#include <string.h>

namespace
{

enum {
    kMagic = 0xFD2FB528u,
    kSkippableMagic = 0x184D2A50u, // the low 4 bits are free
    kBlockLimit = 128 << 10,       // no block holds more content
    kSlack = 32,                   // bytes the fast copies may write past their end
    kHuffMaxBits = 11,
};

enum Stage {
    kStageMagic,
    kStageSkipSize,
    kStageSkip,
    kStageHeader,
    kStageBlockHeader,
    kStageBlock,
    kStageChecksum,
    kStageFlush,
    kStageDone,
};

enum BlockType { kBlockRaw = 0, kBlockRle = 1, kBlockCompressed = 2 };

// The targets are all little-endian: the loads are plain copies.
inline uint32_t Load16(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}
inline uint32_t Load32(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
inline uint64_t Load64(const uint8_t *p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}
inline unsigned HighBit(uint32_t v) // v != 0
{
    return 31 - (unsigned)__builtin_clz(v);
}

size_t AlignUp(size_t n)
{
    return (n + 15) & ~(size_t)15;
}

// ---------------------------------------------------------------------------------------------
// XXH64

const uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
const uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
const uint64_t kPrime3 = 0x165667B19E3779F9ull;
const uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
const uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

inline uint64_t Rotl(uint64_t v, int r)
{
    return (v << r) | (v >> (64 - r));
}
inline uint64_t HashRound(uint64_t acc, uint64_t lane)
{
    acc += lane * kPrime2;
    return Rotl(acc, 31) * kPrime1;
}
inline uint64_t HashMerge(uint64_t acc, uint64_t v)
{
    acc ^= HashRound(0, v);
    return acc * kPrime1 + kPrime4;
}

// ---------------------------------------------------------------------------------------------
// The backward bitstream of the entropy-coded parts: the last byte's highest set bit marks the
// end; bits are read from there towards the first byte. `bits` holds the machine word at `p`
// (on a 32-bit target a 64-bit shift costs several instructions), `used` counts the bits
// already read from its top. Reading past the first byte yields zeros and shows as
// used > kWordBits with p == start.

#ifdef ZSTD_WORD32 // the 32-bit targets' reader, for testing it on a 64-bit host
typedef uint32_t BitWord;
#else
typedef size_t BitWord;
#endif
enum {
    kWordBytes = sizeof(BitWord),
    kWordBits = kWordBytes * 8,
    kRefilled = kWordBits - 7, // bits a refill leaves at least, away from the stream's start
};

inline BitWord LoadWord(const uint8_t *p)
{
    BitWord v;
    memcpy(&v, p, sizeof v);
    return v;
}

struct BackBits {
    const uint8_t *start;
    const uint8_t *p;
    BitWord bits;
    unsigned used;
};

bool BackBegin(BackBits *b, const uint8_t *src, size_t size)
{
    if (size == 0 || src[size - 1] == 0)
        return false;
    unsigned pad = 8 - HighBit(src[size - 1]);
    b->start = src;
    if (size >= kWordBytes) {
        b->p = src + size - kWordBytes;
        b->bits = LoadWord(b->p);
        b->used = pad;
    } else {
        BitWord v = 0;
        for (size_t i = 0; i < size; i++)
            v |= (BitWord)src[i] << (8 * i);
        b->p = src;
        b->bits = v; // as if zero bytes, already read, came before the stream's end
        b->used = pad + 8 * (unsigned)(kWordBytes - size);
    }
    return true;
}

// After a refill at least kRefilled bits are available unless the stream is near its first
// byte.
inline void BackRefill(BackBits *b)
{
    size_t step = b->used >> 3;
    size_t room = (size_t)(b->p - b->start);
    if (room == 0) // a stream shorter than a word is in `bits` from the start
        return;
    if (step <= room) {
        b->p -= step;
        b->used &= 7;
    } else {
        b->p = b->start;
        b->used -= (unsigned)room * 8;
    }
    b->bits = LoadWord(b->p);
}

inline uint32_t BackPeek(const BackBits *b, unsigned n) // n < kWordBits
{
    return (uint32_t)(((b->bits << (b->used & (kWordBits - 1))) >> 1) >> (kWordBits - 1 - n));
}
inline uint32_t BackRead(BackBits *b, unsigned n)
{
    uint32_t v = BackPeek(b, n);
    b->used += n;
    return v;
}
inline bool BackOverflowed(const BackBits *b)
{
    return b->p == b->start && b->used > kWordBits;
}
inline bool BackFinished(const BackBits *b)
{
    return b->p == b->start && b->used == kWordBits;
}

// ---------------------------------------------------------------------------------------------
// FSE tables

struct FseCell {
    uint16_t nextBase;
    uint8_t bits;
    uint8_t symbol;
};

// Reads `bits` bits at bit `pos` of src[0..size), least significant first; zeros past the end.
uint32_t ForwardBits(const uint8_t *src, size_t size, size_t pos, unsigned bits)
{
    size_t at = pos >> 3;
    uint32_t v = 0;
    for (unsigned i = 0; i < 4 && at + i < size; i++)
        v |= (uint32_t)src[at + i] << (8 * i);
    return (v >> (pos & 7)) & ((1u << bits) - 1);
}

// Reads a table description (the accuracy log and the normalised counts); returns the bytes it
// takes, 0 if it is malformed. Counts of symbols it does not reach are 0.
size_t ReadFseCounts(const uint8_t *src, size_t size, int16_t *counts, unsigned maxSymbol,
                     unsigned maxLog, unsigned *logOut)
{
    if (size == 0)
        return 0;
    unsigned log = (src[0] & 15) + 5;
    if (log > maxLog)
        return 0;
    size_t pos = 4;
    int remaining = (1 << log) + 1;
    int threshold = 1 << log;
    unsigned bits = log + 1;
    unsigned symbol = 0;
    while (remaining > 1) {
        if (symbol > maxSymbol || pos > size * 8)
            return 0;
        int max = 2 * threshold - 1 - remaining;
        int value = (int)ForwardBits(src, size, pos, bits - 1);
        if (value < max) {
            pos += bits - 1;
        } else {
            value = (int)ForwardBits(src, size, pos, bits);
            if (value >= threshold)
                value -= max;
            pos += bits;
        }
        int count = value - 1;
        counts[symbol++] = (int16_t)count;
        remaining -= count < 0 ? -count : count;
        if (count == 0) {
            for (;;) {
                unsigned repeat = ForwardBits(src, size, pos, 2);
                pos += 2;
                if (symbol + repeat > maxSymbol + 1 || pos > size * 8)
                    return 0;
                for (unsigned i = 0; i < repeat; i++)
                    counts[symbol++] = 0;
                if (repeat != 3)
                    break;
            }
        }
        while (remaining < threshold) {
            bits--;
            threshold >>= 1;
        }
    }
    size_t used = (pos + 7) >> 3;
    if (remaining != 1 || used > size)
        return 0;
    while (symbol <= maxSymbol)
        counts[symbol++] = 0;
    *logOut = log;
    return used;
}

// Spreads the symbols over the 1 << log states; false if the counts do not fill the table.
bool BuildFse(FseCell *cells, const int16_t *counts, unsigned symbols, unsigned log)
{
    uint32_t size = 1u << log;
    uint32_t high = size - 1;
    uint16_t next[256];
    for (unsigned s = 0; s < symbols; s++) {
        if (counts[s] == -1) {
            cells[high--].symbol = (uint8_t)s;
            next[s] = 1;
        } else {
            next[s] = (uint16_t)counts[s];
        }
    }
    uint32_t step = (size >> 1) + (size >> 3) + 3;
    uint32_t mask = size - 1;
    uint32_t pos = 0;
    for (unsigned s = 0; s < symbols; s++) {
        for (int i = 0; i < counts[s]; i++) {
            cells[pos].symbol = (uint8_t)s;
            do
                pos = (pos + step) & mask;
            while (pos > high);
        }
    }
    if (pos != 0)
        return false;
    for (uint32_t u = 0; u < size; u++) {
        uint32_t n = next[cells[u].symbol]++;
        unsigned bits = log - HighBit(n);
        cells[u].bits = (uint8_t)bits;
        cells[u].nextBase = (uint16_t)((n << bits) - size);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Sequence codes

const uint32_t kLiteralBase[36] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,   9,   10,  11,   12,   13,   14,   15,    16,    18,
    20, 22, 24, 28, 32, 40, 48, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 65536};
const uint8_t kLiteralBits[36] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  1,  1,
                                  1, 1, 2, 2, 3, 3, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint32_t kMatchBase[53] = {
    3,  4,  5,  6,  7,  8,  9,  10,  11,  12,  13,   14,   15,   16,   17,    18,    19,   20,
    21, 22, 23, 24, 25, 26, 27, 28,  29,  30,  31,   32,   33,   34,   35,    37,    39,   41,
    43, 47, 51, 59, 67, 83, 99, 131, 259, 515, 1027, 2051, 4099, 8195, 16387, 32771, 65539};
const uint8_t kMatchBits[53] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  0,  0, 0,
                                0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  1,  1,  1, 1,
                                2, 2, 3, 3, 4, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const int16_t kLiteralDefault[36] = {4, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1,  1,  2,  2,
                                     2, 2, 2, 2, 2, 2, 2, 3, 2, 1, 1, 1, 1, 1, -1, -1, -1, -1};
const int16_t kMatchDefault[53] = {1, 4, 3, 2, 2, 2, 2, 2, 2, 1, 1,  1,  1,  1,  1,  1,  1, 1,
                                   1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  1,  1,  1,  1,  1,  1, 1,
                                   1, 1, 1, 1, 1, 1, 1, 1, 1, 1, -1, -1, -1, -1, -1, -1, -1};
const int16_t kOffsetDefault[29] = {1, 1, 1, 1, 1, 1, 2, 2, 2, 1,  1,  1,  1,  1, 1,
                                    1, 1, 1, 1, 1, 1, 1, 1, 1, -1, -1, -1, -1, -1};

struct SeqKind {
    unsigned maxSymbol;
    unsigned maxLog;
    const int16_t *defaults;
    unsigned defaultSymbols;
    unsigned defaultLog;
    const uint32_t *base; // null for offsets: the base is 1 << code
    const uint8_t *extra;
};

const SeqKind kSeqKinds[3] = {
    {35, 9, kLiteralDefault, 36, 6, kLiteralBase, kLiteralBits},
    {31, 8, kOffsetDefault, 29, 5, nullptr, nullptr},
    {52, 9, kMatchDefault, 53, 6, kMatchBase, kMatchBits},
};

void SetSeqCell(ZstdSeqCell *c, const SeqKind *k, unsigned symbol, uint16_t nextBase,
                uint8_t stateBits)
{
    c->nextBase = nextBase;
    c->stateBits = stateBits;
    if (k->base) {
        c->baseValue = k->base[symbol];
        c->extraBits = k->extra[symbol];
    } else {
        c->baseValue = 1u << symbol;
        c->extraBits = (uint8_t)symbol;
    }
}

// Builds the table of one kind (0 literal lengths, 1 offsets, 2 match lengths) for the mode the
// block names; returns the bytes of src it takes, or (size_t)-1 if malformed.
size_t SetupSeqTable(ZstdDecoder *d, int kind, unsigned mode, const uint8_t *src, size_t size)
{
    const SeqKind *k = &kSeqKinds[kind];
    ZstdSeqCell *table = kind == 0 ? d->llTable : kind == 1 ? d->ofTable : d->mlTable;
    uint8_t *logOut = kind == 0 ? &d->llLog : kind == 1 ? &d->ofLog : &d->mlLog;
    unsigned bit = 1u << kind;
    if (mode == 3)
        return (d->tablesValid & bit) ? 0 : (size_t)-1;
    if (mode == 1) {
        if (size < 1 || src[0] > k->maxSymbol)
            return (size_t)-1;
        SetSeqCell(&table[0], k, src[0], 0, 0);
        *logOut = 0;
        d->tablesValid |= bit;
        return 1;
    }
    int16_t counts[53];
    const int16_t *use = k->defaults;
    unsigned symbols = k->defaultSymbols;
    unsigned log = k->defaultLog;
    size_t used = 0;
    if (mode == 2) {
        used = ReadFseCounts(src, size, counts, k->maxSymbol, k->maxLog, &log);
        if (used == 0)
            return (size_t)-1;
        use = counts;
        symbols = k->maxSymbol + 1;
    }
    FseCell cells[512];
    if (!BuildFse(cells, use, symbols, log))
        return (size_t)-1;
    for (uint32_t u = 0; u < (1u << log); u++)
        SetSeqCell(&table[u], k, cells[u].symbol, cells[u].nextBase, cells[u].bits);
    *logOut = (uint8_t)log;
    d->tablesValid |= bit;
    return used;
}

// ---------------------------------------------------------------------------------------------
// Literals

// Decodes the weights that FSE compressed (two states over one stream); returns their number,
// or -1.
int DecodeFseWeights(const uint8_t *src, size_t size, uint8_t *weights)
{
    int16_t counts[256];
    unsigned log;
    size_t used = ReadFseCounts(src, size, counts, 255, 6, &log);
    if (used == 0)
        return -1;
    FseCell cells[64];
    if (!BuildFse(cells, counts, 256, log))
        return -1;
    BackBits b;
    if (!BackBegin(&b, src + used, size - used))
        return -1;
    uint32_t s1 = BackRead(&b, log);
    BackRefill(&b);
    uint32_t s2 = BackRead(&b, log);
    // The states take turns; when one's update runs past the stream's start, the other state
    // gives the last weight.
    uint32_t state[2] = {s1, s2};
    int n = 0;
    for (int turn = 0;; turn ^= 1) {
        if (n > 253)
            return -1;
        BackRefill(&b);
        const FseCell *c = &cells[state[turn]];
        weights[n++] = c->symbol;
        state[turn] = c->nextBase + BackRead(&b, c->bits);
        if (BackOverflowed(&b)) {
            weights[n++] = cells[state[turn ^ 1]].symbol;
            return n;
        }
    }
}

// Reads a Huffman tree description into d->huffTable; returns the bytes it takes, 0 if bad.
size_t ReadHuffmanTree(ZstdDecoder *d, const uint8_t *src, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t weights[256];
    unsigned header = src[0];
    size_t used;
    int n;
    if (header < 128) {
        used = 1 + header;
        if (used > size)
            return 0;
        n = DecodeFseWeights(src + 1, header, weights);
        if (n < 0)
            return 0;
    } else {
        n = (int)header - 127;
        used = 1 + ((size_t)n + 1) / 2;
        if (used > size)
            return 0;
        for (int i = 0; i < n; i++)
            weights[i] = (uint8_t)(i & 1 ? src[1 + i / 2] & 15 : src[1 + i / 2] >> 4);
    }
    uint32_t sum = 0;
    uint32_t perWeight[kHuffMaxBits + 2] = {0};
    for (int i = 0; i < n; i++) {
        if (weights[i] > kHuffMaxBits)
            return 0;
        if (weights[i])
            sum += 1u << (weights[i] - 1);
    }
    if (sum == 0)
        return 0;
    unsigned maxBits = HighBit(sum) + 1;
    if (maxBits > kHuffMaxBits)
        return 0;
    uint32_t rest = (1u << maxBits) - sum;
    if (rest & (rest - 1))
        return 0;
    weights[n++] = (uint8_t)(HighBit(rest) + 1);
    for (int i = 0; i < n; i++)
        perWeight[weights[i]]++;
    // Codes go to the lightest weights first, in symbol order within a weight.
    uint32_t start[kHuffMaxBits + 2];
    uint32_t at = 0;
    for (unsigned w = 1; w <= kHuffMaxBits; w++) {
        start[w] = at;
        at += perWeight[w] << (w - 1);
    }
    for (int s = 0; s < n; s++) {
        unsigned w = weights[s];
        if (w == 0)
            continue;
        uint16_t entry = (uint16_t)(s | (maxBits + 1 - w) << 8);
        uint32_t length = 1u << (w - 1);
        uint16_t *cell = d->huffTable + start[w];
        for (uint32_t i = 0; i < length; i++)
            cell[i] = entry;
        start[w] += length;
    }
    d->huffBits = maxBits;
    return used;
}

const int kHuffPerRefill = kRefilled / kHuffMaxBits; // symbols a refill leaves room for

// Decodes from b until out reaches end; true if the stream ends exactly there.
bool FinishHuffmanStream(const uint16_t *table, unsigned maxBits, BackBits *b, uint8_t *op,
                         uint8_t *end)
{
    unsigned shift = kWordBits - maxBits;
    while (end - op >= kHuffPerRefill) {
        BackRefill(b);
        if (b->used > kWordBits - kHuffPerRefill * kHuffMaxBits)
            break;
        BitWord bits = b->bits;
        unsigned used = b->used;
        for (int i = 0; i < kHuffPerRefill; i++) {
            uint16_t e = table[(bits << used) >> shift];
            op[i] = (uint8_t)e;
            used += e >> 8;
        }
        b->used = used;
        op += kHuffPerRefill;
    }
    while (op < end) {
        BackRefill(b);
        uint16_t e = table[BackPeek(b, maxBits)];
        *op++ = (uint8_t)e;
        b->used += e >> 8;
    }
    return BackFinished(b);
}

bool DecodeHuffmanStream(const uint16_t *table, unsigned maxBits, const uint8_t *src, size_t size,
                         uint8_t *out, size_t count)
{
    BackBits b;
    return BackBegin(&b, src, size) && FinishHuffmanStream(table, maxBits, &b, out, out + count);
}

// The four streams of a literals section side by side, so that their lookups overlap, while
// each has room; then each to its end. The streams' output is out[segment * i ...], the last
// up to out + count.
bool DecodeHuffmanStreams4(const uint16_t *table, unsigned maxBits, const uint8_t *const src[4],
                           const size_t size[4], uint8_t *out, size_t segment, size_t count)
{
    BackBits b[4];
    uint8_t *op[4], *end[4];
    for (int s = 0; s < 4; s++) {
        if (!BackBegin(&b[s], src[s], size[s]))
            return false;
        op[s] = out + segment * s;
        end[s] = s < 3 ? op[s] + segment : out + count;
    }
    unsigned shift = kWordBits - maxBits;
    for (;;) {
        bool room = end[3] - op[3] >= kHuffPerRefill; // the last segment is the shortest
        for (int s = 0; s < 4; s++) {
            BackRefill(&b[s]);
            room = room && b[s].used <= kWordBits - kHuffPerRefill * kHuffMaxBits;
        }
        if (!room)
            break;
#pragma GCC unroll 8
        for (int i = 0; i < kHuffPerRefill; i++) {
#pragma GCC unroll 4
            for (int s = 0; s < 4; s++) {
                uint16_t e = table[(b[s].bits << b[s].used) >> shift];
                op[s][i] = (uint8_t)e;
                b[s].used += e >> 8;
            }
        }
        for (int s = 0; s < 4; s++)
            op[s] += kHuffPerRefill;
    }
    for (int s = 0; s < 4; s++) {
        if (!FinishHuffmanStream(table, maxBits, &b[s], op[s], end[s]))
            return false;
    }
    return true;
}

// Decodes the literals section into d->literals; returns the bytes it takes, 0 if bad.
size_t DecodeLiterals(ZstdDecoder *d, const uint8_t *src, size_t size, size_t *count)
{
    if (size < 1)
        return 0;
    unsigned type = src[0] & 3;
    unsigned format = (src[0] >> 2) & 3;
    size_t regenerated, compressed = 0, headerLength;
    int streams = 1;
    if (type <= 1) {
        if (format == 0 || format == 2) {
            headerLength = 1;
            regenerated = src[0] >> 3;
        } else if (format == 1) {
            headerLength = 2;
            if (size < 2)
                return 0;
            regenerated = Load16(src) >> 4;
        } else {
            headerLength = 3;
            if (size < 3)
                return 0;
            regenerated = (Load16(src) | (uint32_t)src[2] << 16) >> 4;
        }
    } else {
        static const uint8_t kLengths[4] = {3, 3, 4, 5};
        static const uint8_t kBits[4] = {10, 10, 14, 18};
        headerLength = kLengths[format];
        if (size < headerLength)
            return 0;
        uint64_t v = 0;
        for (size_t i = 0; i < headerLength; i++)
            v |= (uint64_t)src[i] << (8 * i);
        unsigned bits = kBits[format];
        regenerated = (size_t)(v >> 4) & ((1u << bits) - 1);
        compressed = (size_t)(v >> (4 + bits)) & ((1u << bits) - 1);
        streams = format == 0 ? 1 : 4;
    }
    if (regenerated > d->blockMax)
        return 0;
    *count = regenerated;
    const uint8_t *body = src + headerLength;
    size_t left = size - headerLength;
    if (type == 0) {
        if (regenerated > left)
            return 0;
        memcpy(d->literals, body, regenerated);
        return headerLength + regenerated;
    }
    if (type == 1) {
        if (left < 1)
            return 0;
        memset(d->literals, body[0], regenerated);
        return headerLength + 1;
    }
    if (compressed > left)
        return 0;
    size_t treeLength = 0;
    if (type == 2) {
        treeLength = ReadHuffmanTree(d, body, compressed);
        if (treeLength == 0)
            return 0;
    } else if (d->huffBits == 0) {
        return 0;
    }
    const uint8_t *data = body + treeLength;
    size_t dataLength = compressed - treeLength;
    if (streams == 1) {
        if (!DecodeHuffmanStream(d->huffTable, d->huffBits, data, dataLength, d->literals,
                                 regenerated))
            return 0;
        return headerLength + compressed;
    }
    if (dataLength < 6)
        return 0;
    size_t lengths[4];
    lengths[0] = Load16(data);
    lengths[1] = Load16(data + 2);
    lengths[2] = Load16(data + 4);
    size_t firstThree = lengths[0] + lengths[1] + lengths[2];
    if (firstThree > dataLength - 6)
        return 0;
    lengths[3] = dataLength - 6 - firstThree;
    size_t segment = (regenerated + 3) / 4;
    if (segment * 3 > regenerated)
        return 0;
    const uint8_t *starts[4] = {data + 6, starts[0] + lengths[0], starts[1] + lengths[1],
                                starts[2] + lengths[2]};
    if (!DecodeHuffmanStreams4(d->huffTable, d->huffBits, starts, lengths, d->literals, segment,
                               regenerated))
        return 0;
    return headerLength + compressed;
}

// ---------------------------------------------------------------------------------------------
// Sequences

// Where a block's output goes: bytes before op are contiguous back to segStart; once the window
// wrapped, older ones end at tailEnd (tailLength of them).
struct Out {
    uint8_t *segStart;
    uint8_t *op;
    uint8_t *oend; // the block may fill up to here
    uint8_t *wend; // fast copies may write up to here
    const uint8_t *tailEnd;
    size_t tailLength;
    size_t window;
};

inline void Copy16(uint8_t *dst, const uint8_t *src)
{
    memcpy(dst, src, 16);
}

// Copies in 16-byte steps, writing up to 15 bytes past dst + n; src is at least 16 bytes before
// dst or anywhere apart from it.
inline void WildCopy(uint8_t *dst, const uint8_t *src, size_t n)
{
    uint8_t *end = dst + n;
    do {
        Copy16(dst, src);
        dst += 16;
        src += 16;
    } while (dst < end);
}

// Copies a match from within the contiguous output, `offset` back (possibly overlapping); may
// write up to 15 bytes past its end.
__attribute__((always_inline)) inline void CopyMatchFast(uint8_t *op, size_t offset, size_t length)
{
    const uint8_t *match = op - offset;
    uint8_t *end = op + length;
    if (offset >= 16) {
        WildCopy(op, match, length);
        return;
    }
    if (offset < 8) {
        // The first 8 bytes one by one; after them the pattern repeats from a multiple of the
        // offset that is at least 8 bytes back.
        static const uint8_t kRepeat[8] = {0, 8, 8, 9, 8, 10, 12, 14};
        for (int i = 0; i < 8; i++)
            op[i] = match[i];
        op += 8;
        match = op - kRepeat[offset];
    }
    while (op < end) {
        memcpy(op, match, 8);
        op += 8;
        match += 8;
    }
}

// A match whose start lies in the older part of a wrapped window.
void CopyMatchFromTail(Out *o, size_t offset, size_t length)
{
    size_t back = offset - (size_t)(o->op - o->segStart);
    const uint8_t *src = o->tailEnd - back;
    size_t first = length < back ? length : back;
    memmove(o->op, src, first);
    o->op += first;
    length -= first;
    const uint8_t *from = o->segStart;
    while (length-- > 0)
        *o->op++ = *from++;
}

enum { kAhead = 8 }; // a power of 2

struct Seq {
    size_t literalLength, matchLength, offset;
};

struct SeqReader {
    BackBits b;
    const ZstdSeqCell *llTable, *ofTable, *mlTable;
    uint32_t llState, ofState, mlState;
    uint32_t reps[3];
};

// Reads the next sequence and resolves its offset; false if the stream is malformed.
__attribute__((always_inline)) inline bool ReadSequence(SeqReader *r, bool last, Seq *q)
{
    const ZstdSeqCell ll = r->llTable[r->llState];
    const ZstdSeqCell of = r->ofTable[r->ofState];
    const ZstdSeqCell ml = r->mlTable[r->mlState];
    // At most 31 bits of offset, 16 of match length, 16 of literal length and 9 + 9 + 8 of
    // states: with a 64-bit word, two refills. With a 32-bit one (25 bits after a refill) an
    // offset above 24 bits comes in two parts, and the lengths and the states take a refill
    // between them only where they do not fit.
    uint32_t offsetValue, matchLength, literalLength;
    BackRefill(&r->b);
    if (kWordBits == 64) {
        offsetValue = of.baseValue + BackRead(&r->b, of.extraBits);
        matchLength = ml.baseValue + BackRead(&r->b, ml.extraBits);
        BackRefill(&r->b);
        literalLength = ll.baseValue + BackRead(&r->b, ll.extraBits);
    } else {
        if (__builtin_expect(of.extraBits > 24, 0)) {
            uint32_t high = BackRead(&r->b, of.extraBits - 16) << 16;
            BackRefill(&r->b);
            offsetValue = of.baseValue + (high | BackRead(&r->b, 16));
        } else {
            offsetValue = of.baseValue + BackRead(&r->b, of.extraBits);
        }
        if (of.extraBits + ml.extraBits + ll.extraBits > kRefilled)
            BackRefill(&r->b);
        matchLength = ml.baseValue + BackRead(&r->b, ml.extraBits);
        literalLength = ll.baseValue + BackRead(&r->b, ll.extraBits);
        BackRefill(&r->b);
    }
    q->matchLength = matchLength;
    q->literalLength = literalLength;
    if (!last) {
        r->llState = ll.nextBase + BackRead(&r->b, ll.stateBits);
        if (kWordBits != 64 && ll.stateBits + ml.stateBits + of.stateBits > kRefilled)
            BackRefill(&r->b);
        r->mlState = ml.nextBase + BackRead(&r->b, ml.stateBits);
        r->ofState = of.nextBase + BackRead(&r->b, of.stateBits);
    }
    if (BackOverflowed(&r->b))
        return false;
    uint32_t *rep = r->reps;
    if (offsetValue > 3) {
        rep[2] = rep[1];
        rep[1] = rep[0];
        rep[0] = offsetValue - 3;
    } else {
        unsigned index = offsetValue - 1 + (literalLength == 0);
        if (index != 0) {
            uint32_t offset = index == 1 ? rep[1] : index == 2 ? rep[2] : rep[0] - 1;
            if (offset == 0)
                return false;
            if (index != 1)
                rep[2] = rep[1];
            rep[1] = rep[0];
            rep[0] = offset;
        }
    }
    q->offset = rep[0];
    return true;
}

int DecodeSequences(ZstdDecoder *d, const uint8_t *src, size_t size, size_t litCount, Out *o)
{
    if (size < 1)
        return kZstdCorrupt;
    size_t nbSeq = src[0];
    size_t at = 1;
    if (nbSeq >= 128) {
        if (nbSeq == 255) {
            if (size < 3)
                return kZstdCorrupt;
            nbSeq = Load16(src + 1) + 0x7F00;
            at = 3;
        } else {
            if (size < 2)
                return kZstdCorrupt;
            nbSeq = ((nbSeq - 128) << 8) + src[1];
            at = 2;
        }
    }
    const uint8_t *lit = d->literals;
    const uint8_t *litEnd = lit + litCount;
    uint8_t *op = o->op;
    if (nbSeq == 0) {
        if (at != size || litCount > (size_t)(o->oend - op))
            return kZstdCorrupt;
        if (litCount > 0)
            memcpy(op, lit, litCount);
        o->op = op + litCount;
        return 0;
    }
    if (at >= size)
        return kZstdCorrupt;
    unsigned modes = src[at++];
    if (modes & 3)
        return kZstdCorrupt;
    static const int kOrder[3] = {0, 1, 2};
    static const int kShift[3] = {6, 4, 2};
    for (int i = 0; i < 3; i++) {
        size_t used = SetupSeqTable(d, kOrder[i], (modes >> kShift[i]) & 3, src + at, size - at);
        if (used == (size_t)-1)
            return kZstdCorrupt;
        at += used;
    }
    BackBits b;
    if (!BackBegin(&b, src + at, size - at))
        return kZstdCorrupt;
    SeqReader r;
    r.b = b;
    r.llTable = d->llTable;
    r.ofTable = d->ofTable;
    r.mlTable = d->mlTable;
    r.llState = BackRead(&r.b, d->llLog);
    BackRefill(&r.b);
    r.ofState = BackRead(&r.b, d->ofLog);
    BackRefill(&r.b);
    r.mlState = BackRead(&r.b, d->mlLog);
    r.reps[0] = d->reps[0];
    r.reps[1] = d->reps[1];
    r.reps[2] = d->reps[2];
    uint8_t *oend = o->oend;
    uint8_t *wend = o->wend;
    uint8_t *segStart = o->segStart;
    size_t window = o->window;
    size_t tailLength = o->tailLength;
    // Sequences are read kAhead before they are carried out, and the bytes each one's match
    // copies are asked for then, so that they come from far back in the window meanwhile.
    Seq ahead[kAhead];
    size_t decoded = 0;
    uintptr_t future = (uintptr_t)op;
    for (; decoded < nbSeq && decoded < kAhead; decoded++) {
        Seq *q = &ahead[decoded];
        if (!ReadSequence(&r, decoded + 1 == nbSeq, q))
            return kZstdCorrupt;
        future += q->literalLength;
        __builtin_prefetch((const void *)(future - q->offset));
        future += q->matchLength;
    }
    for (size_t i = 0; i < nbSeq; i++) {
        Seq q = ahead[i & (kAhead - 1)];
        if (decoded < nbSeq) {
            Seq *next = &ahead[decoded & (kAhead - 1)];
            if (!ReadSequence(&r, decoded + 1 == nbSeq, next))
                return kZstdCorrupt;
            decoded++;
            future += next->literalLength;
            __builtin_prefetch((const void *)(future - next->offset));
            future += next->matchLength;
        }
        size_t literalLength = q.literalLength, matchLength = q.matchLength, offset = q.offset;
        if (literalLength > (size_t)(litEnd - lit))
            return kZstdCorrupt;
        size_t room = (size_t)(oend - op);
        if (literalLength > room || matchLength > room - literalLength)
            return kZstdCorrupt;
        size_t total = literalLength + matchLength;
        bool fast = (size_t)(wend - op) >= total + kSlack;
        if (fast) {
            Copy16(op, lit);
            if (literalLength > 16)
                WildCopy(op + 16, lit + 16, literalLength - 16);
        } else if (literalLength > 0) {
            memcpy(op, lit, literalLength);
        }
        op += literalLength;
        lit += literalLength;
        size_t behind = (size_t)(op - segStart);
        if (offset > behind) {
            if (offset > behind + tailLength || offset > window)
                return kZstdCorrupt;
            o->op = op;
            CopyMatchFromTail(o, offset, matchLength);
            op = o->op;
            continue;
        }
        if (offset > window)
            return kZstdCorrupt;
        if (fast) {
            CopyMatchFast(op, offset, matchLength);
            op += matchLength;
        } else {
            const uint8_t *match = op - offset;
            for (size_t k = 0; k < matchLength; k++)
                op[k] = match[k];
            op += matchLength;
        }
    }
    b = r.b;
    uint32_t rep0 = r.reps[0], rep1 = r.reps[1], rep2 = r.reps[2];
    if (!BackFinished(&b))
        return kZstdCorrupt;
    size_t rest = (size_t)(litEnd - lit);
    if (rest > (size_t)(oend - op))
        return kZstdCorrupt;
    if (rest > 0)
        memcpy(op, lit, rest);
    o->op = op + rest;
    d->reps[0] = rep0;
    d->reps[1] = rep1;
    d->reps[2] = rep2;
    return 0;
}

// Decodes one block's content src[0..size) to o->op; advances o->op.
int DecodeBlock(ZstdDecoder *d, const uint8_t *src, size_t size, Out *o)
{
    size_t room = (size_t)(o->oend - o->op);
    if (d->blockType == kBlockRaw) {
        if (size > room)
            return kZstdCorrupt;
        if (size > 0)
            memcpy(o->op, src, size);
        o->op += size;
        return 0;
    }
    if (d->blockType == kBlockRle) {
        if (d->blockSize > room)
            return kZstdCorrupt;
        if (d->blockSize > 0)
            memset(o->op, src[0], d->blockSize);
        o->op += d->blockSize;
        return 0;
    }
    size_t litCount = 0;
    size_t used = DecodeLiterals(d, src, size, &litCount);
    if (used == 0)
        return kZstdCorrupt;
    return DecodeSequences(d, src + used, size - used, litCount, o);
}

// Reads the frame header after the magic number (header[0..headerNeed)); sets up the frame.
int ParseFrameHeader(ZstdDecoder *d, const uint8_t *h)
{
    unsigned descriptor = h[0];
    if (descriptor & 8)
        return kZstdCorrupt;
    unsigned fcsFlag = descriptor >> 6;
    bool single = (descriptor >> 5) & 1;
    unsigned didFlag = descriptor & 3;
    const uint8_t *p = h + 1;
    uint64_t window = 0;
    if (!single) {
        unsigned exponent = *p >> 3, mantissa = *p & 7;
        p++;
        uint64_t base = (uint64_t)1 << (10 + exponent);
        window = base + (base / 8) * mantissa;
    }
    static const uint8_t kDidLength[4] = {0, 1, 2, 4};
    uint32_t dictionary = 0;
    for (unsigned i = 0; i < kDidLength[didFlag]; i++)
        dictionary |= (uint32_t)*p++ << (8 * i);
    static const uint8_t kFcsLength[4] = {0, 2, 4, 8};
    unsigned fcsLength = fcsFlag == 0 && single ? 1 : kFcsLength[fcsFlag];
    uint64_t content = ~(uint64_t)0;
    if (fcsLength > 0) {
        content = 0;
        for (unsigned i = 0; i < fcsLength; i++)
            content |= (uint64_t)p[i] << (8 * i);
        if (fcsLength == 2)
            content += 256;
    }
    if (single)
        window = content;
    if (dictionary != 0)
        return kZstdUnsupported;
    if (window > d->maxWindow)
        return kZstdUnsupported;
    d->contentSize = content;
    d->windowSize = (size_t)window;
    // The format bounds a block by the window too; the reference library does not, and neither
    // do we: the window's buffer has room for a whole block after the window anyway.
    d->blockMax = kBlockLimit;
    d->hasChecksum = (descriptor >> 2) & 1;
    return 0;
}

unsigned FrameHeaderLength(unsigned descriptor)
{
    static const uint8_t kDidLength[4] = {0, 1, 2, 4};
    static const uint8_t kFcsLength[4] = {0, 2, 4, 8};
    bool single = (descriptor >> 5) & 1;
    unsigned fcsFlag = descriptor >> 6;
    unsigned fcs = fcsFlag == 0 && single ? 1 : kFcsLength[fcsFlag];
    return 1 + (single ? 0 : 1) + kDidLength[descriptor & 3] + fcs;
}

// Reads the block header in d->blockHeader.
int ParseBlockHeader(ZstdDecoder *d, const uint8_t *h)
{
    uint32_t v = Load16(h) | (uint32_t)h[2] << 16;
    d->lastBlock = v & 1;
    d->blockType = (v >> 1) & 3;
    d->blockSize = v >> 3;
    if (d->blockType == 3 || d->blockSize > d->blockMax)
        return kZstdCorrupt;
    return 0;
}

// Accounts for a decoded block of content.
int BlockMade(ZstdDecoder *d, const uint8_t *from, size_t length)
{
    d->produced += length;
    if (d->produced > d->contentSize)
        return kZstdCorrupt;
    if (d->lastBlock && d->contentSize != ~(uint64_t)0 && d->produced != d->contentSize)
        return kZstdCorrupt;
    if (d->hasChecksum)
        ZstdHashAdd(&d->hash, from, length);
    return 0;
}

bool ChecksumMatches(const ZstdDecoder *d, const uint8_t *stored)
{
    return (uint32_t)ZstdHashEnd(&d->hash) == Load32(stored);
}

// Moves up to `need - *have` bytes of input into dst; true once it holds `need`.
bool Gather(uint8_t *dst, uint32_t *have, uint32_t need, const uint8_t *in, size_t inSize,
            size_t *ip)
{
    size_t take = need - *have;
    if (take > inSize - *ip)
        take = inSize - *ip;
    if (take > 0)
        memcpy(dst + *have, in + *ip, take);
    *have += (uint32_t)take;
    *ip += take;
    return *have == need;
}

int Fail(ZstdDecoder *d, int status)
{
    d->status = status;
    return status;
}

} // namespace

void ZstdHashBegin(ZstdHash *h)
{
    memset(h, 0, sizeof *h);
    h->acc[0] = kPrime1 + kPrime2;
    h->acc[1] = kPrime2;
    h->acc[2] = 0;
    h->acc[3] = 0 - kPrime1;
}

void ZstdHashAdd(ZstdHash *h, const uint8_t *bytes, size_t length)
{
    if (length == 0)
        return;
    h->total += length;
    if (h->stripeLength > 0) {
        size_t take = 32 - h->stripeLength;
        if (take > length)
            take = length;
        memcpy(h->stripe + h->stripeLength, bytes, take);
        h->stripeLength += (uint32_t)take;
        bytes += take;
        length -= take;
        if (h->stripeLength < 32)
            return;
        for (int i = 0; i < 4; i++)
            h->acc[i] = HashRound(h->acc[i], Load64(h->stripe + 8 * i));
        h->stripeLength = 0;
    }
    uint64_t a0 = h->acc[0], a1 = h->acc[1], a2 = h->acc[2], a3 = h->acc[3];
    while (length >= 32) {
        a0 = HashRound(a0, Load64(bytes));
        a1 = HashRound(a1, Load64(bytes + 8));
        a2 = HashRound(a2, Load64(bytes + 16));
        a3 = HashRound(a3, Load64(bytes + 24));
        bytes += 32;
        length -= 32;
    }
    h->acc[0] = a0;
    h->acc[1] = a1;
    h->acc[2] = a2;
    h->acc[3] = a3;
    memcpy(h->stripe, bytes, length);
    h->stripeLength = (uint32_t)length;
}

uint64_t ZstdHashEnd(const ZstdHash *h)
{
    uint64_t acc;
    if (h->total >= 32) {
        acc = Rotl(h->acc[0], 1) + Rotl(h->acc[1], 7) + Rotl(h->acc[2], 12) + Rotl(h->acc[3], 18);
        for (int i = 0; i < 4; i++)
            acc = HashMerge(acc, h->acc[i]);
    } else {
        acc = kPrime5;
    }
    acc += h->total;
    const uint8_t *p = h->stripe;
    size_t left = h->stripeLength;
    for (; left >= 8; p += 8, left -= 8)
        acc = Rotl(acc ^ HashRound(0, Load64(p)), 27) * kPrime1 + kPrime4;
    if (left >= 4) {
        acc = Rotl(acc ^ (uint64_t)Load32(p) * kPrime1, 23) * kPrime2 + kPrime3;
        p += 4;
        left -= 4;
    }
    for (; left > 0; p++, left--)
        acc = Rotl(acc ^ *p * kPrime5, 11) * kPrime1;
    acc ^= acc >> 33;
    acc *= kPrime2;
    acc ^= acc >> 29;
    acc *= kPrime3;
    acc ^= acc >> 32;
    return acc;
}

// The workspace: the entropy tables, the literals, one block of input, then the window (the
// frame's window, one block and the fast copies' spare bytes).
static size_t FixedWorkspace()
{
    return AlignUp((1u << kHuffMaxBits) * sizeof(uint16_t)) + AlignUp(1280 * sizeof(ZstdSeqCell)) +
           AlignUp(kBlockLimit + kSlack) + AlignUp(kBlockLimit) + 16;
}

size_t ZstdWorkspaceSize(size_t maxWindow)
{
    return FixedWorkspace() + maxWindow + kBlockLimit + 2 * kSlack;
}

void ZstdBegin(ZstdDecoder *d, void *workspace, size_t workspaceSize, size_t maxWindow)
{
    memset(d, 0, sizeof *d);
    d->stage = kStageMagic;
    d->workspace = (uint8_t *)workspace;
    d->workspaceSize = workspaceSize;
    d->maxWindow = maxWindow;
    if (workspaceSize < FixedWorkspace()) {
        d->status = kZstdUnsupported;
        return;
    }
    uintptr_t at = ((uintptr_t)workspace + 15) & ~(uintptr_t)15;
    uint8_t *p = (uint8_t *)at;
    d->huffTable = (uint16_t *)p;
    p += AlignUp((1u << kHuffMaxBits) * sizeof(uint16_t));
    d->llTable = (ZstdSeqCell *)p;
    d->ofTable = d->llTable + 512;
    d->mlTable = d->ofTable + 256;
    p += AlignUp(1280 * sizeof(ZstdSeqCell));
    d->literals = p;
    p += AlignUp(kBlockLimit + kSlack);
    d->blockIn = p;
    p += AlignUp(kBlockLimit);
    d->window = p;
    d->windowCapacity = workspaceSize - (size_t)(p - (uint8_t *)workspace);
}

// Sets up the frame's state once its header is read.
static void BeginFrame(ZstdDecoder *d)
{
    d->reps[0] = 1;
    d->reps[1] = 4;
    d->reps[2] = 8;
    d->huffBits = 0;
    d->tablesValid = 0;
    d->produced = 0;
    ZstdHashBegin(&d->hash);
}

// Both ways of handing out: copied to out, or (view != null) shown where they lie.
static int Decode(ZstdDecoder *d, const uint8_t *in, size_t inSize, size_t *inUsed, uint8_t *out,
                  size_t outSize, size_t *outMade, const uint8_t **view)
{
    size_t ip = 0, op = 0;
    int status = d->status;
    while (status == 0) {
        switch (d->stage) {
        case kStageMagic:
            if (!Gather(d->header, &d->headerLength, 4, in, inSize, &ip))
                goto out;
            if (Load32(d->header) == kMagic) {
                d->headerLength = 0;
                d->headerNeed = 1;
                d->stage = kStageHeader;
            } else if ((Load32(d->header) & ~15u) == kSkippableMagic) {
                d->stage = kStageSkipSize;
            } else {
                status = kZstdCorrupt;
            }
            break;
        case kStageSkipSize:
            if (!Gather(d->header, &d->headerLength, 8, in, inSize, &ip))
                goto out;
            d->skipLeft = Load32(d->header + 4);
            d->stage = kStageSkip;
            break;
        case kStageSkip: {
            size_t take = inSize - ip;
            if (take > d->skipLeft)
                take = (size_t)d->skipLeft;
            ip += take;
            d->skipLeft -= take;
            if (d->skipLeft > 0)
                goto out;
            d->headerLength = 0;
            d->stage = kStageMagic;
            break;
        }
        case kStageHeader:
            if (!Gather(d->header, &d->headerLength, d->headerNeed, in, inSize, &ip))
                goto out;
            if (d->headerNeed == 1) {
                d->headerNeed = FrameHeaderLength(d->header[0]);
                break;
            }
            status = ParseFrameHeader(d, d->header);
            if (status == 0 && d->windowCapacity < d->windowSize + d->blockMax + 2 * (size_t)kSlack)
                status = kZstdUnsupported;
            BeginFrame(d);
            d->stage = kStageBlockHeader;
            break;
        case kStageBlockHeader:
            if (!Gather(d->blockHeader, &d->blockHeaderLength, 3, in, inSize, &ip))
                goto out;
            d->blockHeaderLength = 0;
            d->blockInLength = 0;
            status = ParseBlockHeader(d, d->blockHeader);
            d->stage = kStageBlock;
            break;
        case kStageBlock: {
            size_t need = d->blockType == kBlockRle ? 1 : d->blockSize;
            const uint8_t *src;
            if (d->blockInLength == 0 && inSize - ip >= need) {
                src = in + ip;
                ip += need;
            } else {
                uint32_t have = (uint32_t)d->blockInLength;
                bool whole = Gather(d->blockIn, &have, (uint32_t)need, in, inSize, &ip);
                d->blockInLength = have;
                if (!whole)
                    goto out;
                src = d->blockIn;
            }
            size_t capacity = d->windowSize + d->blockMax + 2 * (size_t)kSlack;
            if (d->windowPos + d->blockMax + kSlack > capacity) {
                d->wrapped = 1;
                d->tailEnd = d->windowPos;
                d->windowPos = 0;
            }
            Out o;
            o.segStart = d->window;
            o.op = d->window + d->windowPos;
            o.oend = o.op + d->blockMax;
            o.wend = o.oend + kSlack;
            o.tailEnd = d->window + d->tailEnd;
            o.tailLength = d->wrapped ? d->tailEnd : 0;
            o.window = d->windowSize;
            uint8_t *from = o.op;
            status = DecodeBlock(d, src, need, &o);
            if (status == 0)
                status = BlockMade(d, from, (size_t)(o.op - from));
            d->flushPos = d->windowPos;
            d->flushEnd = d->windowPos = (size_t)(o.op - d->window);
            d->stage = d->lastBlock && d->hasChecksum ? kStageChecksum : kStageFlush;
            break;
        }
        case kStageChecksum:
            if (!Gather(d->checksum, &d->checksumLength, 4, in, inSize, &ip))
                goto out;
            if (!ChecksumMatches(d, d->checksum))
                status = kZstdChecksumBad;
            d->stage = kStageFlush;
            break;
        case kStageFlush: {
            size_t take = d->flushEnd - d->flushPos;
            if (take > outSize - op)
                take = outSize - op;
            if (view)
                *view = d->window + d->flushPos;
            else if (take > 0)
                memcpy(out + op, d->window + d->flushPos, take);
            op += take;
            d->flushPos += take;
            if (d->flushPos == d->flushEnd)
                d->stage = d->lastBlock ? kStageDone : kStageBlockHeader;
            // What is shown stays where it is only until the next call.
            if (d->flushPos < d->flushEnd || (view && take > 0))
                goto out;
            break;
        }
        default:
            *inUsed = ip;
            *outMade = op;
            return kZstdFrameDone;
        }
    }
out:
    *inUsed = ip;
    *outMade = op;
    if (status < 0)
        return Fail(d, status);
    return kZstdNeedMore;
}

int ZstdDecode(ZstdDecoder *d, const uint8_t *in, size_t inSize, size_t *inUsed, uint8_t *out,
               size_t outSize, size_t *outMade)
{
    return Decode(d, in, inSize, inUsed, out, outSize, outMade, nullptr);
}

int ZstdDecodeInPlace(ZstdDecoder *d, const uint8_t *in, size_t inSize, size_t *inUsed, size_t most,
                      const uint8_t **made, size_t *madeLength)
{
    *made = nullptr;
    return Decode(d, in, inSize, inUsed, nullptr, most, madeLength, made);
}

int ZstdDecodeBuffer(const uint8_t *src, size_t srcSize, uint8_t *dst, size_t dstCapacity,
                     size_t *made, void *workspace, size_t workspaceSize, size_t maxWindow)
{
    ZstdDecoder d;
    ZstdBegin(&d, workspace, workspaceSize, maxWindow);
    *made = 0;
    if (d.status < 0)
        return d.status;
    size_t at = 0;
    for (;;) {
        if (srcSize - at < 4)
            return kZstdCorrupt;
        uint32_t magic = Load32(src + at);
        if (magic == kMagic)
            break;
        if ((magic & ~15u) != kSkippableMagic || srcSize - at < 8)
            return kZstdCorrupt;
        size_t skip = Load32(src + at + 4);
        if (skip > srcSize - at - 8)
            return kZstdCorrupt;
        at += 8 + skip;
    }
    at += 4;
    if (at >= srcSize)
        return kZstdCorrupt;
    unsigned headerLength = FrameHeaderLength(src[at]);
    if (srcSize - at < headerLength)
        return kZstdCorrupt;
    int status = ParseFrameHeader(&d, src + at);
    if (status < 0)
        return status;
    at += headerLength;
    BeginFrame(&d);
    Out o;
    o.segStart = dst;
    o.op = dst;
    o.wend = dst + dstCapacity;
    o.tailEnd = dst;
    o.tailLength = 0;
    o.window = d.windowSize;
    do {
        if (srcSize - at < 3)
            return kZstdCorrupt;
        status = ParseBlockHeader(&d, src + at);
        if (status < 0)
            return status;
        at += 3;
        size_t need = d.blockType == kBlockRle ? 1 : d.blockSize;
        if (srcSize - at < need)
            return kZstdCorrupt;
        size_t room = (size_t)(o.wend - o.op);
        o.oend = o.op + (room < d.blockMax ? room : d.blockMax);
        uint8_t *from = o.op;
        status = DecodeBlock(&d, src + at, need, &o);
        if (status == 0)
            status = BlockMade(&d, from, (size_t)(o.op - from));
        if (status < 0)
            return status;
        at += need;
    } while (!d.lastBlock);
    if (d.hasChecksum) {
        if (srcSize - at < 4)
            return kZstdCorrupt;
        if (!ChecksumMatches(&d, src + at))
            return kZstdChecksumBad;
        at += 4;
    }
    if (at != srcSize)
        return kZstdCorrupt;
    *made = (size_t)(o.op - dst);
    return 0;
}
