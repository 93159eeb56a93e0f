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
// comes from a setup file), else null; then a CopyFile or PatchFile source that is not packed
// must be an absolute path for which `onDisk` says a file is there (without `onDisk`, absolute
// paths are taken as they are). Sources with a
// placeholder (#NAME#) are not checked: their value is known only at install time.
std::vector<Finding> CheckScript(const std::string &text, const std::vector<std::string> *entries,
                                 bool (*onDisk)(const char *path) = nullptr);

// The sources that the script's CopyFile and PatchFile lines name (and PatchFile's patch data),
// in the order of the lines, as written.
std::vector<std::string> ScriptSources(const std::string &text);

// mksetup check FILE...: scripts, or setup files whose scripts and entries it reads. Prints
// "file:line: message" for each finding; exit status 1 when there was one or a file could not be
// read, 2 on usage errors.
int RunCheck(int argc, char **argv);

extern const char CheckUsage[];
