// Reading the entries of a compressed archive's blocks through ReadAtFunction, a piece at a
// time, with bounded memory: the caller hands the reader its buffers and the decoder's
// workspace. The engine reads its own file through it, and mksetup a file in memory.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/format.h"
#include "archive/zstd.h"
#include "base/types.h"

struct PackedReader {
    ReadAtFunction readAt;
    void *context;
    const PackedBlockData *blocks;
    uint32_t blockCount;
    size_t window;   // the catalogue's window
    void *workspace; // ZstdWorkspaceSize(window) bytes
    size_t workspaceSize;
    uint8_t *input; // `bufferSize` bytes
    uint8_t *spare; // only used within one call: may be shared with other work
    uint32_t bufferSize;
    // The decoding of the block last read, kept from one read to the next: entries read in
    // archive order go on where the one before stopped instead of decoding the block again.
    uint32_t block;   // kStoredEntry when nothing is being decoded
    uint32_t readAt_; // the next stored byte of the frame to read
    uint32_t decoded; // bytes of the block's content decoded so far
    uint32_t sum;     // CRC-32C of the frame's bytes read so far, until it was verified
    bool verified;    // the whole frame was read and matched its sum
    uint32_t inAt;    // bytes of `input` the decoder has taken
    uint32_t inCount; // bytes in `input`
    ZstdDecoder decoder;
};

// Hands bytes [offset, offset + size) of block `block`'s content to `take` as they are decoded.
// kOk; kErrEntryDamaged when the frame does not decode to them or its stored bytes do not match
// the block's sum (the whole frame is summed before the last piece goes out, so that a damaged
// block never passes whole); kErrArchive when a read failed; or what `take` returned, which
// stops the read. The caller has checked the range against the block's decoded size.
int ReadPackedBytes(PackedReader *reader, uint32_t block, uint32_t offset, uint32_t size,
                    int (*take)(void *context, const uint8_t *bytes, uint32_t count),
                    void *context);
