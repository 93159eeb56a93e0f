#include "tools/record.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "commands/record_codec.h"

const char RecordUsage[] =
    "usage: mksetup record HEX...\n"
    "Decodes a product registration record given as hexadecimal digits, as reg query prints\n"
    "them (blanks and line breaks are ignored; - reads standard input).\n";

static bool AppendHex(const char *text, std::string *digits)
{
    for (const char *p = text; *p; p++) {
        if (isxdigit((unsigned char)*p))
            digits->push_back(*p);
        else if (!isspace((unsigned char)*p))
            return false;
    }
    return true;
}

static const char *Meaning(int value, const char *zero, const char *one)
{
    return value == 0 ? zero : value == 1 ? one : value == -1 ? "not set" : "other";
}

int RunRecord(int argc, char **argv)
{
    std::string digits;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "-") == 0) {
            char line[4096];
            while (fgets(line, sizeof line, stdin))
                if (!AppendHex(line, &digits))
                    return fputs("mksetup record: standard input is not hexadecimal\n", stderr), 1;
        } else if (!AppendHex(argv[i], &digits)) {
            fprintf(stderr, "mksetup record: not hexadecimal: %s\n%s", argv[i], RecordUsage);
            return 2;
        }
    }
    if (argc == 0 || digits.empty() || digits.size() % 2 != 0) {
        fprintf(stderr, "mksetup record: an even number of hexadecimal digits is needed\n%s",
                RecordUsage);
        return 2;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back((uint8_t)std::stoi(digits.substr(i, 2), nullptr, 16));
    ProductRecord r;
    memset(&r, 0, sizeof r);
    DecodeProductRecord(bytes.data(), bytes.size(), &r);

    char when[64] = "";
    time_t t = (time_t)r.extra;
    struct tm *utc = gmtime(&t);
    if (utc)
        strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", utc);
    printf("size           %zu bytes%s\n", bytes.size(),
           bytes.size() == kProductRecordSize ? "" : " (a record has 806)");
    printf("valid          %u%s\n", r.valid, r.valid == 1 ? "" : " (not a valid record)");
    printf("written        %s\n", when);
    printf("name CRC-32    0x%08X\n", r.nameCrc);
    printf("version        %d.%d\n", r.versionMajor, r.versionMinor);
    printf("for whom       %d (%s)\n", r.forWho, Meaning(r.forWho, "this user", "all users"));
    printf("data location  %d (%s)\n", r.customLoc,
           Meaning(r.customLoc, "user's profile", "chosen folder"));
    printf("per-user data  %d (%s)\n", r.individual, Meaning(r.individual, "no", "yes"));
    printf("install path   %s\n", r.installPath);
    printf("custom path    %s\n", r.customPath);
    printf("buy URL        %s\n", r.buyUrl);
    printf("finish choices start %d, manual %d, desktop shortcut %d\n", r.selExecute, r.selReadme,
           r.selDesktop);
    return 0;
}
