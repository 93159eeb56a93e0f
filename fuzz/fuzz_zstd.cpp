// The Zstandard decoder against the reference library. The first byte chooses:
//   below 0x80: the rest is a frame (0x40 set: after a magic number the fuzzer need not find),
//     decoded whole, in pieces, and by the reference library; ours accepts nothing the
//     reference refuses, and where both accept it they make the same bytes. Ours may refuse
//     what the reference lets pass: a window above its limit, a dictionary, and damage the
//     reference does not check for (a block above the format's limit, reserved bits of the
//     sequences' modes, a Huffman stream that is read past its start); what the reference
//     compresses, below, ours must always decode;
//   0x80 and above: the rest (after a level byte and a window byte) is content the reference
//     library compresses; ours must give it back, whole and in pieces.
// Ours must agree with itself whole and in pieces, and nothing may read or write out of bounds.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <zstd.h>

#include "archive/zstd.h"

namespace
{

const size_t kMaxWindow = 8 << 20;
const size_t kOutLimit = 1 << 20; // frames making more are cut there and not compared

uint8_t *Workspace()
{
    static uint8_t *work = (uint8_t *)malloc(ZstdWorkspaceSize(kMaxWindow));
    return work;
}

// Decodes in pieces whose sizes `seed` picks, copied out or shown in place; returns the status,
// *made bytes into out.
int DecodeInPieces(const uint8_t *src, size_t size, uint8_t *out, size_t *made, size_t *used,
                   unsigned seed)
{
    ZstdDecoder d;
    ZstdBegin(&d, Workspace(), ZstdWorkspaceSize(kMaxWindow), kMaxWindow);
    size_t at = 0;
    *made = 0;
    int status;
    int idle = 0;
    do {
        seed = seed * 1103515245 + 12345;
        size_t in = seed & 0x100 ? size - at : (seed >> 16) % 300;
        size_t room = seed & 0x200 ? kOutLimit - *made : (seed >> 20) % 2000;
        if (in > size - at)
            in = size - at;
        if (room > kOutLimit - *made)
            room = kOutLimit - *made;
        size_t inUsed, outMade;
        if (seed & 0x400) {
            status = ZstdDecode(&d, src + at, in, &inUsed, out + *made, room, &outMade);
        } else {
            const uint8_t *shown;
            status = ZstdDecodeInPlace(&d, src + at, in, &inUsed, room, &shown, &outMade);
            if (outMade > room)
                abort();
            if (outMade > 0)
                memcpy(out + *made, shown, outMade);
        }
        if (inUsed > in || outMade > room)
            abort();
        at += inUsed;
        *made += outMade;
        idle = inUsed || outMade ? 0 : idle + 1;
    } while (status == kZstdNeedMore && idle < 4);
    *used = at;
    return status;
}

// Offset of the first frame after the skippable ones, or size if there is none.
size_t SkipSkippable(const uint8_t *src, size_t size)
{
    size_t at = 0;
    while (size - at >= 8 && (src[at] & 0xF0) == 0x50 && src[at + 1] == 0x2A &&
           src[at + 2] == 0x4D && src[at + 3] == 0x18) {
        size_t skip =
            src[at + 4] | src[at + 5] << 8 | src[at + 6] << 16 | (size_t)src[at + 7] << 24;
        if (skip > size - at - 8)
            return size;
        at += 8 + skip;
    }
    return at;
}

void CheckFrame(const uint8_t *src, size_t size, unsigned seed)
{
    static uint8_t *streamed = (uint8_t *)malloc(kOutLimit);
    static uint8_t *whole = (uint8_t *)malloc(kOutLimit);
    static uint8_t *reference = (uint8_t *)malloc(kOutLimit);
    size_t made, used;
    int status = DecodeInPieces(src, size, streamed, &made, &used, seed);
    bool cut = status == kZstdNeedMore && made == kOutLimit;
    size_t wholeMade;
    int wholeStatus = ZstdDecodeBuffer(src, size, whole, kOutLimit, &wholeMade, Workspace(),
                                       ZstdWorkspaceSize(kMaxWindow), kMaxWindow);
    // The one-shot call takes exactly one frame: it agrees with the pieces then.
    if (wholeStatus == 0 && (status != kZstdFrameDone || used != size || made != wholeMade ||
                             memcmp(streamed, whole, made) != 0))
        abort();
    if (status == kZstdFrameDone && used == size && wholeStatus != 0)
        abort();
    // The reference library on the first frame.
    // (The reference library also reads frames of its pre-standard versions: not compared.)
    size_t start = SkipSkippable(src, size);
    if (size - start < 4 || memcmp(src + start, "\x28\xB5\x2F\xFD", 4) != 0)
        return;
    size_t frameSize = ZSTD_findFrameCompressedSize(src + start, size - start);
    if (ZSTD_isError(frameSize))
        return;
    static ZSTD_DCtx *dctx = ZSTD_createDCtx();
    size_t n = ZSTD_decompressDCtx(dctx, reference, kOutLimit, src + start, frameSize);
    if (ZSTD_isError(n)) {
        // Ours accepts nothing the reference refuses.
        if (status == kZstdFrameDone)
            abort();
        return;
    }
    if (status == kZstdUnsupported || status == kZstdCorrupt || cut)
        return;
    if (status != kZstdFrameDone || used != start + frameSize || made != n ||
        memcmp(streamed, reference, n) != 0)
        abort();
}

void CheckRoundTrip(const uint8_t *src, size_t size, int level, int windowLog, unsigned seed)
{
    static ZSTD_CCtx *cctx = ZSTD_createCCtx();
    static uint8_t *frame = (uint8_t *)malloc(ZSTD_compressBound(kOutLimit));
    static uint8_t *out = (uint8_t *)malloc(kOutLimit);
    ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, windowLog);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, seed & 1);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, (seed >> 1) & 1);
    size_t n = ZSTD_compress2(cctx, frame, ZSTD_compressBound(kOutLimit), src, size);
    if (ZSTD_isError(n))
        abort();
    size_t made, used;
    if (DecodeInPieces(frame, n, out, &made, &used, seed) != kZstdFrameDone || used != n ||
        made != size || memcmp(out, src, size) != 0)
        abort();
    if (ZstdDecodeBuffer(frame, n, out, size, &made, Workspace(), ZstdWorkspaceSize(kMaxWindow),
                         kMaxWindow) != 0 ||
        made != size || memcmp(out, src, size) != 0)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > kOutLimit)
        return 0;
    unsigned seed = (unsigned)size * 2654435761u;
    if (data[0] < 0x80) {
        size_t extra = data[0] & 0x40 ? 4 : 0;
        uint8_t *frame = (uint8_t *)malloc(size - 1 + extra);
        memcpy(frame, "\x28\xB5\x2F\xFD", extra);
        memcpy(frame + extra, data + 1, size - 1);
        CheckFrame(frame, size - 1 + extra, seed ^ data[0]);
        free(frame);
    } else if (size >= 3) {
        int level = (int)(data[1] % 25) - 3;
        int windowLog = 10 + data[2] % 14;
        CheckRoundTrip(data + 3, size - 3, level, windowLog, seed ^ data[0]);
    }
    return 0;
}
