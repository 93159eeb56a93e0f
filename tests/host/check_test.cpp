// mksetup check: scripts that would misbehave at install time are reported by line.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "tools/check.h"

namespace
{

std::vector<std::string> Check(const std::string &text,
                               const std::vector<std::string> *entries = nullptr,
                               bool (*onDisk)(const char *path) = nullptr)
{
    std::vector<std::string> lines;
    for (const Finding &f : CheckScript(text, entries, onDisk))
        lines.push_back(std::to_string(f.line) + ": " + f.message);
    return lines;
}

// True when some finding is on `line` and contains `part`.
bool Has(const std::vector<std::string> &findings, size_t line, const std::string &part)
{
    std::string prefix = std::to_string(line) + ": ";
    for (const std::string &f : findings)
        if (f.compare(0, prefix.size(), prefix) == 0 && f.find(part) != std::string::npos)
            return true;
    return false;
}

const char Good[] = "; sample\r\n"
                    "PhaseBegin 0\r\n"
                    "  Set #PROGRAM#, Tool\r\n"
                    "  Set #README#, \"\"\r\n"
                    "PhaseEnd\r\n"
                    "PhaseBegin 1\r\n"
                    "  If #64#, =, 1\r\n"
                    "    CopyFile Tool64.exe, \"#INSTALLPATH#\\#PROGRAM#.exe\"\r\n"
                    "  Else\r\n"
                    "    CopyFile \"#PROGRAM#32.exe\", \"#INSTALLPATH#\\#PROGRAM#.exe\"\r\n"
                    "  Endif\r\n"
                    "  Run \"#INSTALLPATH#\\#PROGRAM#.exe\", , NonElevated\r\n"
                    "PhaseEnd\r\n";

TEST(Check, GoodScriptHasNoFindings)
{
    EXPECT_EQ(Check(Good), std::vector<std::string>{});
    std::vector<std::string> entries = {"Tool64.exe", "Setup.vis"};
    EXPECT_EQ(Check(Good, &entries), std::vector<std::string>{});
}

// A script that is not UTF-8 is named at its first such line; a byte-order mark is no finding.
TEST(Check, ScriptEncoding)
{
    auto f = Check("PhaseBegin 0\r\n  Set #A#, T\xC3\xB6l\r\n  Set #B#, T\xF6l\r\n"
                   "  Set #C#, \xF6\r\nPhaseEnd\r\nPhaseBegin 1\r\nPhaseEnd\r\n");
    EXPECT_TRUE(Has(f, 3, "not UTF-8"));
    EXPECT_EQ(f.size(), 1u);
    EXPECT_EQ(Check("\xEF\xBB\xBF" + std::string(Good)), std::vector<std::string>{});
}

TEST(Check, LineBreaks)
{
    auto f = Check("PhaseBegin 0\nPhaseEnd\nPhaseBegin 1\nPhaseEnd\n");
    EXPECT_TRUE(Has(f, 1, "line feed without carriage return"));
    EXPECT_TRUE(Has(f, 1, "3 more"));
    f = Check("PhaseBegin 0\r\nPhaseEnd\r\nPhaseBegin 1\r\nEndif");
    EXPECT_TRUE(Has(f, 4, "last line has no line break"));
    EXPECT_TRUE(Has(f, 4, "\"Endif\" at the very end"));
    f = Check(std::string("PhaseBegin 0\r\nPhaseEnd\r\n\0PhaseBegin 1\r\n", 39));
    EXPECT_TRUE(Has(f, 3, "NUL byte"));
    EXPECT_TRUE(Has(f, 1, "no phase 1"));
}

TEST(Check, GluedKeywordsAndPhases)
{
    auto f = Check("Set #A#, 1\r\n"
                   "PhaseBegin 1\r\n"
                   "Set#PROGRAM#, x\r\n"
                   "Setting up\r\n"
                   "Status2x\r\n"
                   "CopyFile\"a\", b\r\n"
                   "PhaseBegin 2\r\n"
                   "PhaseEnd\r\n"
                   "PhaseEnd\r\n"
                   "PhaseBegin 1\r\n"
                   "PhaseEnd\r\n");
    EXPECT_TRUE(Has(f, 1, "outside any phase"));
    EXPECT_TRUE(Has(f, 3, "\"Set\" is glued"));
    EXPECT_FALSE(Has(f, 4, "glued"));
    EXPECT_FALSE(Has(f, 5, "glued"));
    EXPECT_TRUE(Has(f, 6, "\"CopyFile\" is glued"));
    EXPECT_TRUE(Has(f, 7, "PhaseBegin inside phase 1"));
    EXPECT_TRUE(Has(f, 9, "PhaseEnd outside a phase"));
    EXPECT_TRUE(Has(f, 10, "phase 1 is defined again"));
    EXPECT_TRUE(Has(f, 1, "no phase 0"));
}

TEST(Check, ConditionalBalance)
{
    std::string text = "PhaseBegin 0\r\nElse\r\nEndif\r\nIf 1, =, 1\r\nPhaseEnd\r\n"
                       "PhaseBegin 1\r\nIf 1, =\r\nIf 1, =, 1, <\r\nIf 1, =, 1, <, 2\r\nEndif\r\n";
    for (int i = 0; i < 32; i++)
        text += "If 1, =, 1\r\n";
    for (int i = 0; i < 32; i++)
        text += "Endif\r\n";
    text += "PhaseEnd\r\n";
    auto f = Check(text);
    EXPECT_TRUE(Has(f, 2, "Else without If"));
    EXPECT_TRUE(Has(f, 3, "Endif without If"));
    EXPECT_TRUE(Has(f, 4, "If without Endif before phase 0 ends"));
    EXPECT_TRUE(Has(f, 7, "3 or 5 arguments, not 2"));
    EXPECT_TRUE(Has(f, 8, "3 or 5 arguments, not 4"));
    EXPECT_FALSE(Has(f, 9, "arguments"));
    // More than five: the rest is ignored and the branch opens as usual.
    auto six = Check("PhaseBegin 0\r\nIf 5, >, 1, <, 10, x\r\nEndif\r\nPhaseEnd\r\nPhaseBegin "
                     "1\r\nPhaseEnd\r\n");
    EXPECT_TRUE(Has(six, 2, "at most 5 arguments, has 6"));
    EXPECT_FALSE(Has(six, 3, "Endif without If"));
    EXPECT_TRUE(Has(f, 42, "deeper than 31"));
}

TEST(Check, Arguments)
{
    std::vector<std::string> entries = {"Tool.exe", "Prog.pat"};
    auto f = Check("PhaseBegin 0\r\nPhaseEnd\r\nPhaseBegin 1\r\n"
                   "CreateRegValSz LM, Key, Name\r\n"
                   "CopyFile \"a b, c\r\n"
                   "CopyFile " +
                       std::string(600, 'x') +
                       ", d\r\n"
                       "CreateDir C:\\My, Folder\r\n"
                       "CopyFile Missing.exe, \"#INSTALLPATH#\"\r\n"
                       "CopyFile \"#PROGRAM#.exe\", x\r\n"
                       "CopyFile C:\\abs\\file.exe, x\r\n"
                       "PatchFile Prog.exe, Prog.pat, C:\\x\r\n"
                       "Set , value\r\n"
                       "CopyUninstall C:\\Uninstall.exe\r\n"
                       "PhaseEnd\r\n",
                   &entries);
    EXPECT_TRUE(Has(f, 4, "needs at least 4 argument(s), has 3"));
    EXPECT_TRUE(Has(f, 5, "no closing quote"));
    EXPECT_TRUE(Has(f, 6, "600 characters"));
    EXPECT_TRUE(Has(f, 7, "at most 1 argument(s), has 2"));
    EXPECT_TRUE(Has(f, 8, "\"Missing.exe\" is not in the archive"));
    EXPECT_FALSE(Has(f, 9, "archive"));
    EXPECT_FALSE(Has(f, 10, "archive"));
    EXPECT_TRUE(Has(f, 11, "\"Prog.exe\" is not in the archive"));
    EXPECT_FALSE(Has(f, 11, "\"Prog.pat\""));
    EXPECT_TRUE(Has(f, 12, "empty variable name"));
    EXPECT_TRUE(Has(f, 13, "Uninstall.vis"));
    // Without a known archive, names are not checked.
    EXPECT_FALSE(Has(Check("PhaseBegin 0\r\nPhaseEnd\r\nPhaseBegin 1\r\nCopyFile Missing.exe, x\r\n"
                           "PhaseEnd\r\n"),
                     4, "archive"));
}

// Stands for the vendor's disk: only these files are there.
bool FakeDisk(const char *path)
{
    return strcmp(path, "C:\\Fonts\\Sans.ttf") == 0 || strcmp(path, "\\\\srv\\share\\a.dll") == 0;
}

TEST(Check, SourcesNeitherPackedNorOnDisk)
{
    std::vector<std::string> entries = {"Tool.exe", "Prog.pat", "Prog.chm"};
    struct Case {
        const char *line;
        const char *finding; // null: none about the source
    } cases[] = {
        {"CopyFile tool.EXE, x", nullptr},
        {"CopyFile Missing.exe, x", "\"Missing.exe\" is not in the archive"},
        {"CopyFile C:\\Fonts\\Sans.ttf, x", nullptr},
        {"CopyFile c:/Fonts/Sans.ttf, x", "not on this computer's disk"},
        {"CopyFile \\\\srv\\share\\a.dll, x", nullptr},
        {"CopyFile \"C:\\No Such\\file.exe\", x",
         "\"C:\\No Such\\file.exe\" is not packed and not"},
        {"CopyFile bin\\Tool.exe, x", "not an absolute path"},
        {"CopyFile \\Fonts\\Sans.ttf, x", "not an absolute path"},
        {"CopyFile C:Sans.ttf, x", "not an absolute path"},
        // Known only at install time.
        {"CopyFile \"#WINDIR#\\Fonts\\Sans.ttf\", x", nullptr},
        {"CopyFile \"#PROGRAM#.exe\", x", nullptr},
        {"PatchFile C:\\Old\\Prog.chm, Prog.pat, x", "PatchFile source \"C:\\Old\\Prog.chm\""},
        {"PatchFile Prog.chm, C:\\Prog.pat, x", "PatchFile patch data \"C:\\Prog.pat\""},
        {"AddToPath \"#INSTALLPATH#\", user", nullptr},
        {"RemoveFromPath \"#INSTALLPATH#\", Users", "\"Users\" edits the system's PATH"},
    };
    for (const Case &c : cases) {
        std::string text = "PhaseBegin 0\r\nPhaseEnd\r\nPhaseBegin 1\r\n" + std::string(c.line) +
                           "\r\nPhaseEnd\r\n";
        auto f = Check(text, &entries, FakeDisk);
        if (c.finding)
            EXPECT_TRUE(Has(f, 4, c.finding)) << c.line << "\n" << ::testing::PrintToString(f);
        else
            EXPECT_EQ(f, std::vector<std::string>{}) << c.line;
    }
    // Without the archive's entries (a script file alone) sources are not checked.
    auto f = Check("PhaseBegin 0\r\nPhaseEnd\r\nPhaseBegin 1\r\nCopyFile sub\\x.exe, x\r\n"
                   "CopyFile C:\\gone.exe, x\r\nPhaseEnd\r\n",
                   nullptr, FakeDisk);
    EXPECT_EQ(f, std::vector<std::string>{});
}

} // namespace
