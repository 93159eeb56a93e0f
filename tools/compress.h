// The packer's compressor: the reference Zstandard library where mksetup is built with it (the
// host build); elsewhere compression is refused with a message.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// The level that gives the smallest output, the default of pack --compress.
int BestCompressionLevel(void);

// Appends `size` bytes at `data` to *frame as one Zstandard frame, at `level`, with a window of
// at most 2^windowLog bytes, its content size in the header and no checksum (the archive's
// record sums the stored bytes). False with *error set when it cannot.
bool CompressFrame(const uint8_t *data, size_t size, int level, int windowLog,
                   std::vector<uint8_t> *frame, std::string *error);
