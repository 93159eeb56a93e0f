#include "commands/record_codec.h"

#include <limits.h>
#include <string.h>

#include "base/bytes.h"
#include "base/text.h"

// Field offsets of the stored layout.
enum {
    kOffValid = 0,
    kOffExtra = 2,
    kOffNameCrc = 6,
    kOffMajor = 10,
    kOffMinor = 12,
    kOffForWho = 14,
    kOffCustomLoc = 16,
    kOffIndividual = 18,
    kOffInstallPath = 20,
    kOffCustomPath = 280,
    kOffBuyUrl = 540,
    kOffSelExecute = 800,
    kOffSelReadme = 802,
    kOffSelDesktop = 804,
};

void EncodeProductRecord(const ProductRecord &r, uint8_t out[kProductRecordSize])
{
    memset(out, 0, kProductRecordSize);
    WriteLe16(out + kOffValid, r.valid);
    WriteLe32(out + kOffExtra, r.extra);
    WriteLe32(out + kOffNameCrc, r.nameCrc);
    WriteLe16(out + kOffMajor, (uint16_t)r.versionMajor);
    WriteLe16(out + kOffMinor, (uint16_t)r.versionMinor);
    WriteLe16(out + kOffForWho, (uint16_t)r.forWho);
    WriteLe16(out + kOffCustomLoc, (uint16_t)r.customLoc);
    WriteLe16(out + kOffIndividual, (uint16_t)r.individual);
    // Texts: NUL-terminated, the rest of the field zero.
    CopyTextN((char *)out + kOffInstallPath, kRecordTextSize, r.installPath, kRecordTextSize);
    CopyTextN((char *)out + kOffCustomPath, kRecordTextSize, r.customPath, kRecordTextSize);
    CopyTextN((char *)out + kOffBuyUrl, kRecordTextSize, r.buyUrl, kRecordTextSize);
    WriteLe16(out + kOffSelExecute, (uint16_t)r.selExecute);
    WriteLe16(out + kOffSelReadme, (uint16_t)r.selReadme);
    WriteLe16(out + kOffSelDesktop, (uint16_t)r.selDesktop);
}

void DecodeProductRecord(const uint8_t *data, size_t size, ProductRecord *r)
{
    // Start from the record as it is, so that fields beyond a short value keep the caller's
    // values, then lay the stored bytes over it.
    uint8_t bytes[kProductRecordSize];
    EncodeProductRecord(*r, bytes);
    memcpy(bytes, data, size < (size_t)kProductRecordSize ? size : (size_t)kProductRecordSize);
    r->valid = ReadLe16(bytes + kOffValid);
    r->extra = ReadLe32(bytes + kOffExtra);
    r->nameCrc = ReadLe32(bytes + kOffNameCrc);
    r->versionMajor = (int16_t)ReadLe16(bytes + kOffMajor);
    r->versionMinor = (int16_t)ReadLe16(bytes + kOffMinor);
    r->forWho = (int16_t)ReadLe16(bytes + kOffForWho);
    r->customLoc = (int16_t)ReadLe16(bytes + kOffCustomLoc);
    r->individual = (int16_t)ReadLe16(bytes + kOffIndividual);
    CopyTextN(r->installPath, kRecordTextSize, (const char *)bytes + kOffInstallPath,
              kRecordTextSize);
    CopyTextN(r->customPath, kRecordTextSize, (const char *)bytes + kOffCustomPath,
              kRecordTextSize);
    CopyTextN(r->buyUrl, kRecordTextSize, (const char *)bytes + kOffBuyUrl, kRecordTextSize);
    r->selExecute = (int16_t)ReadLe16(bytes + kOffSelExecute);
    r->selReadme = (int16_t)ReadLe16(bytes + kOffSelReadme);
    r->selDesktop = (int16_t)ReadLe16(bytes + kOffSelDesktop);
}

static uint32_t CrcTable[256];
static bool CrcTableBuilt = false;

void BuildCrcTable(void)
{
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        CrcTable[n] = c;
    }
    CrcTableBuilt = true;
}

uint32_t Crc32(const void *bytes, size_t length)
{
    if (!CrcTableBuilt)
        BuildCrcTable();
    const uint8_t *p = (const uint8_t *)bytes;
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; i++)
        c = CrcTable[(c ^ p[i]) & 0xff] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// Reads one "%d": blanks, a sign, digits. Returns false (and leaves *value) without digits.
static bool ScanInt(const char **cursor, int *value)
{
    const char *p = *cursor;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    if (*p < '0' || *p > '9')
        return false;
    long long n = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (n <= (long long)INT_MAX + 1)
            n = n * 10 + (*p - '0');
    }
    if (negative)
        n = -n;
    *value = n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : (int)n;
    *cursor = p;
    return true;
}

void ParseVersion(const char *text, int *major, int *minor)
{
    const char *p = text;
    if (ScanInt(&p, major) && *p == '.') {
        p++;
        ScanInt(&p, minor);
    }
}

bool PreviousVersionDecision(bool uninstallEntry, bool recordValid, int recordMajor,
                             int recordMinor, int removeMajor, int removeMinor)
{
    if (!recordValid)
        return uninstallEntry;
    return recordMajor < removeMajor || (recordMajor == removeMajor && recordMinor <= removeMinor);
}

int OsCodeFor(unsigned platformId, unsigned major, unsigned minor)
{
    if (platformId == 1) { // 95/98/ME family
        if (major == 4 && minor == 0)
            return 1;
        if (major == 4 && minor == 10)
            return 2;
        if (major == 4 && minor == 90)
            return 4;
        return 7;
    }
    if (major == 4)
        return 8;
    if (major == 5 && minor == 0)
        return 16;
    if (major == 5 && minor == 1)
        return 32;
    if (major == 5 && minor == 2)
        return 64;
    if (major == 6 && minor == 0)
        return 128;
    return 248;
}
