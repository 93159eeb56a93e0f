#include "tools/compress.h"

int BestCompressionLevel(void)
{
    return 19;
}

bool CompressFrame(const uint8_t *, size_t, int, int, std::vector<uint8_t> *, std::string *error)
{
    *error = "this mksetup was built without the Zstandard library: pack --compress with the "
             "Linux build";
    return false;
}
