// mksetup: the vendor's tool around the engine. Runs on Linux and on Windows.
#include <stdio.h>
#include <string.h>

#include "tools/check.h"
#include "tools/pack.h"
#include "tools/record.h"
#include "tools/trace.h"

static int Usage(void)
{
    fputs("usage: mksetup COMMAND ...\n"
          "  pack --engine STUB.exe --out Setup.exe PATH...\n"
          "                           append a setup data archive of the files (a folder adds\n"
          "                           the files directly in it; Uninstall.vis goes first)\n"
          "  list Setup.exe           one line per entry: name, tab, size\n"
          "  extract Setup.exe NAME DEST\n"
          "  check FILE...            report what in scripts (or in a setup file's scripts)\n"
          "                           would silently misbehave; exit status 1 when anything\n"
          "  trace SCRIPT [options]   dry-run script phases; see mksetup trace --help\n"
          "  record HEX...            decode a product registration record (- reads stdin)\n",
          stderr);
    return 2;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    const char *command = argv[1];
    int n = argc - 2;
    char **rest = argv + 2;
    if (strcmp(command, "pack") == 0)
        return RunPack(n, rest);
    if (strcmp(command, "list") == 0)
        return RunList(n, rest);
    if (strcmp(command, "extract") == 0)
        return RunExtract(n, rest);
    if (strcmp(command, "check") == 0)
        return RunCheck(n, rest);
    if (strcmp(command, "record") == 0)
        return RunRecord(n, rest);
    if (strcmp(command, "trace") == 0) {
        if (n > 0 && strcmp(rest[0], "--help") == 0) {
            fputs(TraceUsage, stdout);
            return 0;
        }
        return RunTrace(n, rest, stdout, stderr);
    }
    return Usage();
}
