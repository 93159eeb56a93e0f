// docs/scripting.md, the vendor's script reference, names every keyword of the scanner's table
// and every built-in variable that the engine's sources and texts use.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "script/scanner.h"

namespace
{

std::string ReadSource(const std::string &relative)
{
    std::ifstream in(std::string(SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The files in a folder of the tree whose names end in `suffix`, sorted.
std::vector<std::string> SourcesIn(const std::string &folder, const std::string &suffix)
{
    std::vector<std::string> found;
    DIR *dir = opendir((std::string(SOURCE_DIR) + "/" + folder).c_str());
    if (!dir)
        return found;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found.push_back(folder + "/" + name);
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

// The string literals of C++ or resource-script text; comments and character literals are
// passed over. A doubled quote inside a resource string reads as two literals, which is enough
// for finding placeholders.
std::vector<std::string> StringLiterals(const std::string &text)
{
    std::vector<std::string> literals;
    size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 2, "//") == 0) {
            i = text.find('\n', i);
        } else if (text.compare(i, 2, "/*") == 0) {
            i = text.find("*/", i + 2);
            if (i != std::string::npos)
                i += 2;
        } else if (text[i] == '"' || text[i] == '\'') {
            char quote = text[i++];
            std::string literal;
            while (i < text.size() && text[i] != quote && text[i] != '\n') {
                if (text[i] == '\\' && i + 1 < text.size())
                    literal += text[i++];
                literal += text[i++];
            }
            if (quote == '"')
                literals.push_back(literal);
            i++;
        } else {
            i++;
        }
    }
    return literals;
}

bool IsNameCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Every #NAME# placeholder (capitals, digits, underscores) in the string literals of `text`.
void CollectPlaceholders(const std::string &text, std::set<std::string> *names)
{
    for (const std::string &literal : StringLiterals(text)) {
        for (size_t start = literal.find('#'); start != std::string::npos;) {
            size_t end = start + 1;
            while (end < literal.size() && IsNameCharacter(literal[end]))
                end++;
            if (end < literal.size() && literal[end] == '#' && end > start + 1) {
                names->insert(literal.substr(start, end + 1 - start));
                start = literal.find('#', end + 1);
            } else {
                start = literal.find('#', start + 1);
            }
        }
    }
}

// The variables the engine sets or reads by name, and those the wizard's texts show: the
// sources of run control, the commands, the script engine and the wizard, and the dialog and
// message texts (not the self-removal batch, whose #MODULEFN# is no variable).
std::set<std::string> BuiltInVariables(void)
{
    std::vector<std::string> files = {"engine/startup.cpp", "engine/run.cpp", "resources/texts.rc",
                                      "resources/lang/en.rc"};
    for (const char *folder : {"ui", "commands", "script"}) {
        std::vector<std::string> more = SourcesIn(folder, ".cpp");
        files.insert(files.end(), more.begin(), more.end());
    }
    std::set<std::string> names;
    for (const std::string &file : files)
        CollectPlaceholders(ReadSource(file), &names);
    return names;
}

// True when `name` stands in backticks, alone or followed by a blank (`CopyFile source, ...`),
// or as a word of a heading.
bool DocumentsKeyword(const std::string &doc, const std::string &name)
{
    if (doc.find("`" + name + "`") != std::string::npos ||
        doc.find("`" + name + " ") != std::string::npos)
        return true;
    std::istringstream lines(doc);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '#')
            continue;
        for (size_t at = line.find(name); at != std::string::npos; at = line.find(name, at + 1)) {
            bool before = at == 0 || !isalnum((unsigned char)line[at - 1]);
            size_t after = at + name.size();
            if (before && (after == line.size() || !isalnum((unsigned char)line[after])))
                return true;
        }
    }
    return false;
}

class ScriptingReference : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        Doc = ReadSource("docs/scripting.md");
        ASSERT_FALSE(Doc.empty()) << "docs/scripting.md is missing or empty";
    }

    std::string Doc;
};

TEST_F(ScriptingReference, NamesEveryKeyword)
{
    std::string missing;
    for (int i = 0; i < KeywordCount; i++) {
        if (!DocumentsKeyword(Doc, KeywordTable[i].name))
            missing += std::string(" ") + KeywordTable[i].name;
    }
    EXPECT_EQ(missing, "") << "keywords not documented in docs/scripting.md:" << missing;
}

TEST_F(ScriptingReference, NamesEveryBuiltInVariable)
{
    std::set<std::string> variables = BuiltInVariables();
    // The scan itself must work, or an empty list would pass: these come from start-up, a
    // command, a wizard page and a message text.
    for (const char *known : {"#INSTALLPATH#", "#LASTERROR#", "#KEEPCFG#", "#VERSION#"})
        ASSERT_EQ(variables.count(known), 1u) << "the source scan did not find " << known;
    EXPECT_EQ(variables.count("#MODULEFN#"), 0u);

    std::string missing;
    for (const std::string &name : variables) {
        if (Doc.find("`" + name + "`") == std::string::npos)
            missing += " " + name;
    }
    EXPECT_EQ(missing, "") << "built-in variables not documented (in backticks) in "
                              "docs/scripting.md:"
                           << missing;
}

// The scanner of string literals, on the shapes the sources have.
TEST(ScriptingReferenceScan, FindsPlaceholdersOnlyInStringLiterals)
{
    std::set<std::string> names;
    CollectPlaceholders("// \"#COMMENT#\"\n"
                        "/* \"#BLOCK#\" */\n"
                        "if (*p == '\"') SetVariable(\"#A#\", \"x\");\n"
                        "Format(\"#INSTALLPATH#\\\\%s\", \"#B#C#\", \"# #D#\", \"#lower#\");\n"
                        "    \"del \"\"#RC#\"\"\\r\\n\"\n",
                        &names);
    EXPECT_EQ(names, (std::set<std::string>{"#A#", "#B#", "#D#", "#INSTALLPATH#", "#RC#"}));
}

} // namespace
