// mksetup: the vendor's tool around the engine. Runs on Linux and on Windows. Help goes to
// stdout with exit status 0; complaints go to stderr with exit status 2 for a usage error and 1
// for a failure.
#include <stdio.h>
#include <string.h>

#include "tools/check.h"
#include "tools/pack.h"
#include "tools/record.h"
#include "tools/trace.h"
#include "tools/tree.h"

#define MKSETUP_VERSION "1.1"

static int RunTraceToConsole(int argc, char **argv)
{
    return RunTrace(argc, argv, stdout, stderr);
}

struct Command {
    const char *name;
    const char *summary;
    const char *usage;
    int (*run)(int argc, char **argv);
};

static const Command Commands[] = {
    {"pack", "write a setup: the engine with a data archive of the files", PackUsage, RunPack},
    {"files", "print the script lines that install a folder tree", FilesUsage, RunFiles},
    {"list", "one line per archive entry: name, tab, size", ListUsage, RunList},
    {"extract", "write one archive entry to a file", ExtractUsage, RunExtract},
    {"check", "report what in scripts would silently misbehave", CheckUsage, RunCheck},
    {"trace", "dry-run script phases, every system command recorded", TraceUsage,
     RunTraceToConsole},
    {"record", "decode a product registration record", RecordUsage, RunRecord},
};

static void PrintOverview(FILE *out)
{
    fputs("usage: mksetup COMMAND ...   (mksetup COMMAND --help for one command)\n", out);
    for (const Command &c : Commands)
        fprintf(out, "  %-8s %s\n", c.name, c.summary);
    fputs("  --version, --help\n", out);
}

static bool IsHelp(const char *argument)
{
    return strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0;
}

int main(int argc, char **argv)
{
    if (argc >= 2 && IsHelp(argv[1])) {
        PrintOverview(stdout);
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
        puts("mksetup " MKSETUP_VERSION);
        return 0;
    }
    for (const Command &c : Commands) {
        if (argc < 2 || strcmp(argv[1], c.name) != 0)
            continue;
        if (argc >= 3 && IsHelp(argv[2])) {
            fputs(c.usage, stdout);
            return 0;
        }
        return c.run(argc - 2, argv + 2);
    }
    if (argc >= 2)
        fprintf(stderr, "mksetup: unknown command %s\n", argv[1]);
    PrintOverview(stderr);
    return 2;
}
