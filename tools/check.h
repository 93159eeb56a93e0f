// mksetup check: finds what in a script would silently misbehave at install time.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

struct Finding {
    size_t line;
    std::string message;
};

// Checks one script. `entries` lists the archive's entry names when they are known (the script
// comes from a setup file), else null.
std::vector<Finding> CheckScript(const std::string &text, const std::vector<std::string> *entries);

// mksetup check FILE...: scripts, or setup files whose scripts and entries it reads. Prints
// "file:line: message" for each finding; exit status 1 when there was one or a file could not be
// read, 2 on usage errors.
int RunCheck(int argc, char **argv);

extern const char CheckUsage[];
