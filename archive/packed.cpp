#include "archive/packed.h"

#include "base/crc32c.h"
#include "base/results.h"

// Sums the rest of the frame, from what the decoder has read to its end, into *sum.
static bool SumRestOfFrame(PackedReader *r, uint32_t frameEnd, uint32_t *sum)
{
    for (uint32_t at = r->readAt_; at < frameEnd;) {
        uint32_t count = frameEnd - at < r->bufferSize ? frameEnd - at : r->bufferSize;
        if (!r->readAt(r->context, at, r->spare, count))
            return false;
        *sum = Crc32c(*sum, r->spare, count);
        at += count;
    }
    return true;
}

int ReadPackedBytes(PackedReader *r, uint32_t block, uint32_t offset, uint32_t size,
                    int (*take)(void *context, const uint8_t *bytes, uint32_t count), void *context)
{
    const PackedBlockData *b = &r->blocks[block];
    if (r->block != block || r->decoded > offset) {
        r->verified = r->block == block && r->verified;
        r->block = block;
        r->readAt_ = b->dataOffset;
        r->decoded = 0;
        r->sum = 0;
        r->inAt = 0;
        r->inCount = 0;
        ZstdBegin(&r->decoder, r->workspace, r->workspaceSize, r->window);
    }
    uint32_t frameEnd = b->dataOffset + b->size;
    uint32_t end = offset + size;
    int result = kOk;
    while (result == kOk && r->decoded < end) {
        // Once the frame is read whole, the decoder may still hold decoded bytes: it is called
        // on without input until it hands them out.
        if (r->inAt == r->inCount && r->readAt_ < frameEnd) {
            uint32_t count =
                frameEnd - r->readAt_ < r->bufferSize ? frameEnd - r->readAt_ : r->bufferSize;
            if (!r->readAt(r->context, r->readAt_, r->input, count)) {
                result = kErrArchive;
                break;
            }
            if (!r->verified)
                r->sum = Crc32c(r->sum, r->input, count);
            r->readAt_ += count;
            r->inAt = 0;
            r->inCount = count;
        }
        uint32_t want = end - r->decoded < r->bufferSize ? end - r->decoded : r->bufferSize;
        size_t used = 0;
        size_t made = 0;
        const uint8_t *bytes;
        int status = ZstdDecodeInPlace(&r->decoder, r->input + r->inAt, r->inCount - r->inAt, &used,
                                       want, &bytes, &made);
        r->inAt += (uint32_t)used;
        if (status < 0 || (status == kZstdFrameDone && r->decoded + made < end) ||
            (used == 0 && made == 0)) {
            result = kErrEntryDamaged;
            break;
        }
        // The part of what was decoded that belongs to the range; what lies before it is
        // passed over.
        uint32_t from = r->decoded;
        r->decoded += (uint32_t)made;
        uint32_t skip = offset > from ? offset - from : 0;
        if (skip >= made)
            continue;
        if (r->decoded == end && !r->verified) {
            uint32_t sum = r->sum;
            if (!SumRestOfFrame(r, frameEnd, &sum))
                result = kErrArchive;
            else if (b->hasSum && sum != b->sum)
                result = kErrEntryDamaged;
            if (result != kOk)
                break;
            r->verified = true;
        }
        result = take(context, bytes + skip, (uint32_t)made - skip);
    }
    if (result != kOk)
        r->block = kStoredEntry;
    return result;
}
