// Zstandard decoder (RFC 8878): frames without a dictionary, decoded into the caller's buffer.
// It allocates nothing: the caller hands it a workspace of ZstdWorkspaceSize(maxWindow) bytes,
// which holds the window, one block of input, the literals of a block and the entropy tables.
// Every length, offset and table read from the input is checked before it is used.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum ZstdStatus {
    kZstdNeedMore = 0,     // made progress; call again with more input and/or output space
    kZstdFrameDone = 1,    // the frame ended (its checksum, if present, verified)
    kZstdCorrupt = -1,     // malformed input (any bad length, offset, table, ...)
    kZstdUnsupported = -2, // valid but outside what we accept: a window above the workspace's
                           // limit, a dictionary ID other than 0
    kZstdChecksumBad = -3, // content checksum mismatch
};

// The running XXH64 of the frame's content (the frame checksum is its low 32 bits).
struct ZstdHash {
    uint64_t acc[4];
    uint64_t total;
    uint8_t stripe[32];
    uint32_t stripeLength;
};

// One FSE decoding table of the sequences section: the cell of each state.
struct ZstdSeqCell {
    uint16_t nextBase; // next state = nextBase + the next `stateBits` bits
    uint8_t stateBits;
    uint8_t extraBits; // bits read after `baseValue` (for offsets: the code itself)
    uint32_t baseValue;
};

struct ZstdDecoder {
    int stage;  // where ZstdDecode goes on (private)
    int status; // a negative status sticks once reached
    // The workspace, cut into its parts by ZstdBegin.
    uint8_t *workspace;
    size_t workspaceSize;
    size_t maxWindow;
    uint16_t *huffTable;                      // 1 << 11 entries: symbol | bits << 8
    ZstdSeqCell *llTable, *ofTable, *mlTable; // 512, 256 and 512 cells
    uint8_t *literals;                        // one block of literals and a spare tail
    uint8_t *blockIn;                         // one block of input when it came in pieces
    uint8_t *window;
    size_t windowCapacity; // bytes at `window` (the frame's window, a block and spare bytes)
    // The frame header.
    uint8_t header[18];
    uint32_t headerLength; // bytes gathered in `header`
    uint32_t headerNeed;   // bytes the header has, once known
    uint64_t contentSize;  // frame content size, or ~0 if the header does not say
    uint64_t produced;     // bytes of content decoded so far
    size_t windowSize;
    size_t blockMax;
    int hasChecksum;
    uint64_t skipLeft; // bytes of a skippable frame still to skip
    // The block being read.
    uint8_t blockHeader[3];
    uint32_t blockHeaderLength;
    int lastBlock;
    int blockType;
    size_t blockSize;     // bytes of the block's content in the input
    size_t blockInLength; // bytes gathered in blockIn
    // The window: decoded bytes at window[0..windowEnd), the block at windowPos; after the
    // window wrapped, the older bytes end at tailEnd.
    size_t windowPos;
    size_t tailEnd;
    int wrapped;
    size_t flushPos, flushEnd; // decoded bytes not yet handed out
    // State kept from block to block.
    uint32_t reps[3];
    uint32_t huffBits; // longest code of the current literals table, 0 if none yet
    uint8_t llLog, ofLog, mlLog;
    uint8_t tablesValid; // bit 0 literal lengths, 1 offsets, 2 match lengths
    ZstdHash hash;
    uint8_t checksum[4];
    uint32_t checksumLength;
};

// Bytes of workspace that ZstdBegin needs for frames whose window is at most `maxWindow`.
size_t ZstdWorkspaceSize(size_t maxWindow);

// Prepares `d` for one frame (skippable frames before it are skipped).
void ZstdBegin(ZstdDecoder *d, void *workspace, size_t workspaceSize, size_t maxWindow);

// Decodes from in[0..inSize) into out[0..outSize); sets *inUsed and *outMade (either may be 0).
// Streaming: any split of input and output works; the decoder buffers at most one block of
// input and the window internally. Returns a ZstdStatus. After kZstdFrameDone, bytes after the
// frame are not consumed.
int ZstdDecode(ZstdDecoder *d, const uint8_t *in, size_t inSize, size_t *inUsed, uint8_t *out,
               size_t outSize, size_t *outMade);

// As ZstdDecode, but the decoded bytes are not copied: *made points at up to `most` of them
// (*madeLength) where they lie in the window, until the next call.
int ZstdDecodeInPlace(ZstdDecoder *d, const uint8_t *in, size_t inSize, size_t *inUsed, size_t most,
                      const uint8_t **made, size_t *madeLength);

// One-shot convenience for a whole frame in memory into a buffer of known size: 0 on success
// with *made set, else the negative status (also when dst is too small, or when bytes follow
// the frame in src). Decodes straight into dst: the workspace's window part is not used.
int ZstdDecodeBuffer(const uint8_t *src, size_t srcSize, uint8_t *dst, size_t dstCapacity,
                     size_t *made, void *workspace, size_t workspaceSize, size_t maxWindow);

// XXH64 with seed 0, the hash of the frame checksum; exposed for the tests.
void ZstdHashBegin(ZstdHash *h);
void ZstdHashAdd(ZstdHash *h, const uint8_t *bytes, size_t length);
uint64_t ZstdHashEnd(const ZstdHash *h);
