// The product registration record: an 806-byte little-endian binary value per product, and the
// CRC-32 it carries. Portable: the registry side is in record.cpp.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/types.h"

enum { kProductRecordSize = 806, kRecordTextSize = 260 };

struct ProductRecord {
    uint16_t valid;   // 1 for a record written by the engine
    uint32_t extra;   // seconds since 1970 (UTC) when CreateSetupInfo wrote the record
    uint32_t nameCrc; // CRC-32 of the product name
    int16_t versionMajor;
    int16_t versionMinor;
    int16_t forWho;     // 1 installed for all users
    int16_t customLoc;  // 0 data in the user's profile, 1 in a chosen location
    int16_t individual; // non-zero: one subfolder per user in the chosen location
    char installPath[kRecordTextSize];
    char customPath[kRecordTextSize];
    char buyUrl[kRecordTextSize];
    int16_t selExecute; // finish-page choices of the last installation
    int16_t selReadme;
    int16_t selDesktop;
};

void EncodeProductRecord(const ProductRecord &record, uint8_t out[kProductRecordSize]);
// Decodes the first min(size, 806) bytes over `record`; fields beyond the data keep their values
// (callers pass a zeroed record). Texts are terminated within their fields.
void DecodeProductRecord(const uint8_t *data, size_t size, ProductRecord *record);

// Standard CRC-32 (reflected polynomial 0xEDB88320, as zlib and PNG). The table is built by
// BuildCrcTable at start-up, or on first use.
void BuildCrcTable(void);
uint32_t Crc32(const void *bytes, size_t length);

// Reads "major.minor" in the manner of the scan format "%d.%d": each number is read where the
// text allows (leading blanks, a sign, digits; a missing number leaves the output unchanged) and
// saturates at the int range.
void ParseVersion(const char *text, int *major, int *minor);

// The previous-version decision: true when an installed copy is at or below the remove
// version, or is installed (an uninstall entry) without a valid record.
bool PreviousVersionDecision(bool uninstallEntry, bool recordValid, int recordMajor,
                             int recordMinor, int removeMajor, int removeMinor);

// The OS code of a Windows version: 1, 2, 4, 7 for the 95/98/ME family (platform 1); 8, 16,
// 32, 64, 128 for NT 4 to Vista and 248 for later systems (platform 2).
int OsCodeFor(unsigned platformId, unsigned major, unsigned minor);
