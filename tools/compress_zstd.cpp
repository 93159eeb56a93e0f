#include "tools/compress.h"

#include <zstd.h>

int BestCompressionLevel(void)
{
    return ZSTD_maxCLevel();
}

bool CompressFrame(const uint8_t *data, size_t size, int level, int windowLog,
                   std::vector<uint8_t> *frame, std::string *error)
{
    ZSTD_CCtx *context = ZSTD_createCCtx();
    size_t at = frame->size();
    frame->resize(at + ZSTD_compressBound(size));
    size_t result =
        context ? ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level) : (size_t)-1;
    if (!ZSTD_isError(result))
        result = ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
    if (!ZSTD_isError(result))
        result = ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 0);
    if (!ZSTD_isError(result))
        result = ZSTD_compress2(context, frame->data() + at, frame->size() - at, data, size);
    ZSTD_freeCCtx(context);
    if (!context || ZSTD_isError(result)) {
        *error = std::string("compression failed: ") +
                 (context ? ZSTD_getErrorName(result) : "no memory");
        frame->resize(at);
        return false;
    }
    frame->resize(at + result);
    return true;
}
