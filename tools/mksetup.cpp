// mksetup: the vendor's tool around the engine.
#include <stdio.h>
#include <string.h>

#include "tools/trace.h"

static int Usage(void)
{
    fputs("usage: mksetup COMMAND ...\n"
          "commands:\n"
          "  trace SCRIPT [options]   dry-run script phases; see mksetup trace --help\n",
          stderr);
    return 2;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    if (strcmp(argv[1], "trace") == 0) {
        if (argc > 2 && strcmp(argv[2], "--help") == 0) {
            fputs(TraceUsage, stdout);
            return 0;
        }
        return RunTrace(argc - 2, argv + 2, stdout, stderr);
    }
    return Usage();
}
