#include "tools/check.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "archive/format.h"
#include "archive/uninstaller_image.h"
#include "base/text.h"
#include "base/types.h"
#include "base/unicode.h"
#include "script/scanner.h"
#include "tools/contents.h"
#include "tools/toolfiles.h"

namespace
{

class Checker
{
  public:
    Checker(const std::string &text, const std::vector<std::string> *entries,
            bool (*onDisk)(const char *path))
        : Text(text), Entries(entries), OnDisk(onDisk)
    {
        // Editors count a line feed, or a carriage return not followed by one, as a break.
        LineStarts.push_back(0);
        for (size_t i = 0; i < Text.size(); i++) {
            if (Text[i] == '\n' ||
                (Text[i] == '\r' && (i + 1 == Text.size() || Text[i + 1] != '\n')))
                LineStarts.push_back(i + 1);
        }
    }

    // The CopyFile and PatchFile sources, in the script's order, once Run has read it.
    const std::vector<std::string> &SourcesNamed() const
    {
        return Sources;
    }

    std::vector<Finding> Run()
    {
        CheckText();
        CheckLines();
        std::stable_sort(Findings.begin(), Findings.end(),
                         [](const Finding &a, const Finding &b) { return a.line < b.line; });
        return Findings;
    }

  private:
    size_t LineOf(const char *p) const
    {
        size_t offset = (size_t)(p - Text.c_str());
        return (size_t)(std::upper_bound(LineStarts.begin(), LineStarts.end(), offset) -
                        LineStarts.begin());
    }

    void Report(const char *at, const std::string &message)
    {
        Findings.push_back({LineOf(at), message});
    }

    void CheckText()
    {
        const char *text = Text.c_str();
        size_t nul = strlen(text);
        if (nul < Text.size())
            Report(text + nul, "a NUL byte ends the script here: the engine ignores what follows");
        size_t bare = 0;
        const char *first = nullptr;
        for (size_t i = 0; i < nul; i++) {
            if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
                if (!first)
                    first = text + i;
                bare++;
            }
        }
        if (first) {
            std::string more = bare > 1 ? " (" + std::to_string(bare - 1) + " more below)" : "";
            Report(first, "line feed without carriage return: the engine reads such lines as "
                          "one line; use CR LF line breaks" +
                              more);
        }
        // The first line that is not UTF-8 (a BOM-less script saved in a code page).
        for (size_t i = 0; i < LineStarts.size() && LineStarts[i] < nul; i++) {
            size_t next = i + 1 < LineStarts.size() ? LineStarts[i + 1] : nul;
            if (next > nul)
                next = nul;
            if (!IsValidUtf8(text + LineStarts[i], next - LineStarts[i])) {
                Report(text + LineStarts[i],
                       "the script is not UTF-8 (first on this line): the engine reads it in the "
                       "code page of the Windows it runs on, where another code page garbles "
                       "its names; save it as UTF-8, or pack it with --script-encoding CP");
                break;
            }
        }
        const char *end = text + nul;
        const char *lastLine = end;
        while (lastLine > text && lastLine[-1] != '\r' && lastLine[-1] != '\n')
            lastLine--;
        if (*SkipWhitespace(lastLine) != 0)
            Report(lastLine, "the last line has no line break: a keyword with nothing after it "
                             "(PhaseEnd, Else, Endif) is not recognised there");
    }

    // The keyword that begins the word at p, when it is glued to what follows.
    const Keyword *GluedKeyword(const char *p) const
    {
        const Keyword *best = nullptr;
        for (int i = 0; i < KeywordCount; i++) {
            const Keyword &k = KeywordTable[i];
            if (!StartsWithIgnoringCase(p, k.name, (size_t)k.length))
                continue;
            char next = p[k.length];
            bool wordGoesOn = (next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') ||
                              (next >= '0' && next <= '9') || next == '_';
            if (next != 0 && !wordGoesOn && (!best || k.length > best->length))
                best = &k;
        }
        return best;
    }

    bool InArchive(const char *name) const
    {
        for (const std::string &e : *Entries) {
            if (e.size() == strlen(name) && StartsWithIgnoringCase(e.c_str(), name, e.size()))
                return true;
        }
        return false;
    }

    // The engine takes a source from the archive when it holds that name, else from the disk. A
    // name with a placeholder is known only at install time and is left alone.
    void CheckArchiveName(const char *at, const char *what, const char *name)
    {
        if (!Entries || name[0] == 0 || strchr(name, '#'))
            return;
        std::string quoted = std::string(what) + " \"" + name + "\"";
        if (!strpbrk(name, "\\/:")) {
            if (!InArchive(name))
                Report(at, quoted + " is not in the archive");
        } else if (!IsAbsolutePath(name)) {
            Report(at, quoted + " is not packed (entries are bare names) and not an absolute "
                                "path: it is looked for in the folder the setup runs in");
        } else if (OnDisk && !OnDisk(name)) {
            Report(at, quoted + " is not packed and not on this computer's disk");
        }
    }

    // "X:\..." (or "X:/...") and "\\server\..." name the same file wherever the setup runs.
    static bool IsAbsolutePath(const char *path)
    {
        bool drive = ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z')) &&
                     path[1] == ':' && (path[2] == '\\' || path[2] == '/');
        return drive || (path[0] == '\\' && path[1] == '\\');
    }

    // Checks the arguments of a command line; returns how many it has.
    int CheckArguments(const char *at, const Keyword &k, const char *argument, const char *lineEnd)
    {
        char slots[6][kTextSize];
        int count = 0;
        ArgumentInfo info;
        char spare[kTextSize];
        while (NextArgument(&argument, lineEnd, count < 6 ? slots[count] : spare, kTextSize,
                            &info) == 0) {
            count++;
            if (info.quoted && !info.closed)
                Report(at, "argument " + std::to_string(count) +
                               " has no closing quote: it runs to the end of the line");
            if (info.length >= kTextSize)
                Report(at, "argument " + std::to_string(count) + " is " +
                               std::to_string(info.length) + " characters long; only 519 are kept");
        }
        std::string name = k.name;
        if (k.code == kKwIf) {
            if (count > k.maxArgs) {
                Report(at, "If takes at most 5 arguments, has " + std::to_string(count) +
                               ": the rest is ignored");
                count = k.maxArgs;
            }
            if (count != 3 && count != 5)
                Report(at, "If takes 3 or 5 arguments, not " + std::to_string(count) +
                               ": it fails with code 3 and opens no branch");
            return count;
        }
        if (count < k.minArgs)
            Report(at, name + " needs at least " + std::to_string(k.minArgs) +
                           " argument(s), has " + std::to_string(count) + ": it fails with code 3");
        else if (count > k.maxArgs)
            Report(at, name + " takes at most " + std::to_string(k.maxArgs) + " argument(s), has " +
                           std::to_string(count) +
                           ": the rest is ignored (a comma not in quotes?)");
        if (k.code == kKwSet && count >= 1 && slots[0][0] == 0)
            Report(at, "Set with an empty variable name fails with code 3");
        if (k.code == kKwCopyFile && count >= 2) {
            CheckArchiveName(at, "CopyFile source", slots[0]);
            Sources.push_back(slots[0]);
        }
        if (k.code == kKwPatchFile && count >= 3) {
            CheckArchiveName(at, "PatchFile source", slots[0]);
            CheckArchiveName(at, "PatchFile patch data", slots[1]);
            Sources.push_back(slots[0]);
            Sources.push_back(slots[1]);
        }
        if ((k.code == kKwAddToPath || k.code == kKwRemoveFromPath) && count >= 2 &&
            slots[1][0] != 0 && !EqualIgnoringCase(slots[1], "User"))
            Report(at, name + " takes User or nothing as its second argument; \"" + slots[1] +
                           "\" edits the system's PATH");
        if (k.code == kKwCopyUninstall && Entries && !InArchive("Uninstall.vis"))
            Report(at, "CopyUninstall needs \"Uninstall.vis\" in the archive");
        return count;
    }

    void CheckLines()
    {
        const char *p = AfterByteOrderMark(Text.c_str());
        bool inPhase = false;
        long phase = 0;
        std::vector<const char *> openIfs;
        std::vector<long> phases;
        for (;;) {
            p = SkipWhitespace(p);
            if (*p == 0)
                break;
            const char *argument;
            const char *lineEnd;
            int code = ScanLine(p, &argument, &lineEnd);
            const Keyword *k = KeywordForCode(code);
            if (code == kKwNone) {
                const Keyword *glued = GluedKeyword(p);
                if (glued)
                    Report(p, std::string("\"") + glued->name +
                                  "\" is glued to what follows: the line is not a command");
                else if (p[strcspn(p, " \t\r\n")] == 0 && KeywordForName(p))
                    Report(p, std::string("\"") + p +
                                  "\" at the very end of the text is not recognised");
            } else if (code == kKwPhaseBegin) {
                if (inPhase)
                    Report(p, "PhaseBegin inside phase " + std::to_string(phase) +
                                  ": its lines run as part of that phase");
                if (argument >= lineEnd)
                    Report(p, "PhaseBegin without a number: the number is read from the next line");
                phase = strtol(argument, nullptr, 10);
                if (!inPhase) {
                    if (std::find(phases.begin(), phases.end(), phase) != phases.end())
                        Report(p, "phase " + std::to_string(phase) +
                                      " is defined again: only the "
                                      "first one runs");
                    phases.push_back(phase);
                }
                inPhase = true;
            } else if (code == kKwPhaseEnd) {
                if (!inPhase)
                    Report(p, "PhaseEnd outside a phase");
                CloseIfs("phase " + std::to_string(phase) + " ends", &openIfs);
                inPhase = false;
            } else {
                if (!inPhase)
                    Report(p, std::string(k->name) + " outside any phase is never run");
                int count = k->maxArgs > 0 ? CheckArguments(p, *k, argument, lineEnd) : 0;
                // Like the engine, a malformed If opens no level.
                if (code == kKwIf && (count == 3 || count == 5)) {
                    openIfs.push_back(p);
                    if (openIfs.size() == kConditionLevels + 1)
                        Report(p, "If nested deeper than 31 levels fails with code 3");
                } else if (code == kKwElse && openIfs.empty()) {
                    Report(p, "Else without If");
                } else if (code == kKwEndif) {
                    if (openIfs.empty())
                        Report(p, "Endif without If");
                    else
                        openIfs.pop_back();
                }
            }
            p = lineEnd;
        }
        CloseIfs("the script ends", &openIfs);
        for (long required : {0L, 1L}) {
            if (std::find(phases.begin(), phases.end(), required) == phases.end())
                Findings.push_back({1, "no phase " + std::to_string(required) +
                                           ": the engine stops with code 28"});
        }
    }

    void CloseIfs(const std::string &where, std::vector<const char *> *openIfs)
    {
        for (const char *at : *openIfs)
            Report(at, "If without Endif before " + where +
                           ": the open branch governs the lines after it");
        openIfs->clear();
    }

    const std::string &Text;
    const std::vector<std::string> *Entries;
    bool (*OnDisk)(const char *path);
    std::vector<size_t> LineStarts;
    std::vector<Finding> Findings;
    std::vector<std::string> Sources; // CopyFile and PatchFile sources, in the script's order
};

bool FileOnDisk(const char *path)
{
    uint64_t size;
    return RegularFileSize(path, &size);
}

int PrintFindings(const std::string &label, const std::vector<Finding> &findings)
{
    for (const Finding &f : findings)
        printf("%s:%zu: %s\n", label.c_str(), f.line, f.message.c_str());
    return findings.empty() ? 0 : 1;
}

// Checks the scripts inside a setup file against its own entries.
int CheckSetupFile(const std::string &path, const std::vector<uint8_t> &file, size_t start)
{
    std::vector<std::string> entries;
    std::vector<std::pair<std::string, std::string>> scripts;
    ArchiveContents contents;
    std::string error;
    int status = 0;
    bool whole = ReadArchiveContents(file, start, &contents, &error);
    if (!whole) {
        printf("%s: %s\n", path.c_str(), error.c_str());
        status = 1;
    }
    for (const ContentEntry &e : contents.entries) {
        entries.push_back(e.name);
        bool script = EqualIgnoringCase(e.name.c_str(), "Setup.vis") ||
                      EqualIgnoringCase(e.name.c_str(), "Uninstall.vis");
        bool first = std::none_of(scripts.begin(), scripts.end(), [&](const auto &s) {
            return EqualIgnoringCase(s.first.c_str(), e.name.c_str());
        });
        std::vector<uint8_t> bytes;
        if (script && first && !ReadContentEntry(file, &contents, e, &bytes, &error)) {
            printf("%s: %s\n", path.c_str(), error.c_str());
            status = 1;
        } else if (script && first) {
            scripts.push_back({e.name, std::string(bytes.begin(), bytes.end())});
        }
    }
    ArchiveEntry damaged;
    SumCheck sums = VerifyArchiveSums(file.data(), file.size(), start, &damaged);
    if (sums == kSumsDamaged) {
        printf("%s: %s\n", path.c_str(), DamageText(file, damaged).c_str());
        status = 1;
    } else if (sums == kSumsMalformed && whole) {
        printf("%s: the checksum record does not fit the archive\n", path.c_str());
        status = 1;
    } else if (sums == kSumsUnended && !IsUninstallerImage(file.data(), start)) {
        printf("%s: the archive has no end marker: the file is cut\n", path.c_str());
        status = 1;
    }
    if (std::none_of(scripts.begin(), scripts.end(), [](const auto &s) {
            return EqualIgnoringCase(s.first.c_str(), "Setup.vis");
        })) {
        printf("%s: the archive holds no Setup.vis\n", path.c_str());
        status = 1;
    }
    for (const auto &s : scripts)
        status |= PrintFindings(path + ":" + s.first, CheckScript(s.second, &entries, FileOnDisk));
    return status;
}

} // namespace

std::vector<Finding> CheckScript(const std::string &text, const std::vector<std::string> *entries,
                                 bool (*onDisk)(const char *path))
{
    return Checker(text, entries, onDisk).Run();
}

std::vector<std::string> ScriptSources(const std::string &text)
{
    Checker checker(text, nullptr, nullptr);
    checker.Run();
    return checker.SourcesNamed();
}

const char CheckUsage[] =
    "usage: mksetup check FILE...\n"
    "Reports what in scripts (or in the scripts inside setup files) would silently misbehave,\n"
    "one \"file:line: message\" line each. Exit status 1 when anything was found.\n";

int RunCheck(int argc, char **argv)
{
    if (argc < 1) {
        fputs(CheckUsage, stderr);
        return 2;
    }
    int status = 0;
    for (int i = 0; i < argc; i++) {
        std::vector<uint8_t> file;
        if (!ReadBinaryFile(argv[i], &file)) {
            fprintf(stderr, "mksetup check: cannot read %s\n", argv[i]);
            status = 1;
            continue;
        }
        // A signature after the archive is not part of it.
        file.resize(ArchiveLimit(file.data(), file.size(), file.size()));
        size_t start =
            ImageEndOffset(file.data(), file.size()) ? LocateArchive(file.data(), file.size()) : 0;
        if (start)
            status |= CheckSetupFile(argv[i], file, start);
        else
            status |=
                PrintFindings(argv[i], CheckScript(std::string(file.begin(), file.end()), nullptr));
    }
    return status;
}
