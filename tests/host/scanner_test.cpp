#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/types.h"
#include "script/scanner.h"

namespace
{

struct ScannedLine {
    int code;
    std::string arguments; // text from argumentStart to lineEnd (empty when beyond it)
};

ScannedLine Scan(const char *text)
{
    const char *argument;
    const char *lineEnd;
    int code = ScanLine(text, &argument, &lineEnd);
    return {code, argument < lineEnd ? std::string(argument, lineEnd) : std::string()};
}

std::vector<std::string> Split(const char *line)
{
    const char *lineEnd = line;
    while (*lineEnd && *lineEnd != '\r')
        lineEnd++;
    std::vector<std::string> out;
    const char *cursor = line;
    char slot[kTextSize];
    while (NextArgument(&cursor, lineEnd, slot, sizeof slot) == 0)
        out.push_back(slot);
    return out;
}

TEST(Scanner, RecognisesKeywordsOnlyWhenFollowedByWhitespace)
{
    struct Case {
        const char *text;
        int code;
    } cases[] = {
        {"  CopyFile \"a b.exe\" , #INSTALLPATH#", kKwCopyFile},
        {"if #KEEPCFG#, ! , 1", kKwIf},
        {"Status2 Line", kKwStatus2},
        {"Status Line", kKwStatus},
        {"; Set variables", kKwNone},
        {"Setting x", kKwNone},
        {"Set#PROGRAM#, x", kKwNone},
        {"\tENDIF\r\n", kKwEndif},
        {"EndIf\n", kKwEndif},
        {"Endif", kKwNone}, // no delimiter before the end of the text
        {"PhaseEnd", kKwNone},
        {"PhaseBegin 1", kKwPhaseBegin},
        {"\r\n\r\n   \t", kKwNone},
        {"", kKwNone},
        {"Run\tx", kKwRun},
        {"Call x", kKwCall},
        {"CreateRegValDW a", kKwCreateRegValDW},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Scan(c.text).code, c.code) << c.text;
}

TEST(Scanner, ArgumentStartAndLineEnd)
{
    EXPECT_EQ(Scan("  Set   #A#, 1\r\nSet #B#, 2").arguments, "#A#, 1");
    EXPECT_EQ(Scan("; comment\r\nSet #B#, 2").arguments, "; comment");

    // A keyword with nothing after it: the argument start lies on the next line, beyond the
    // line end, so the splitter sees no argument; the next line scans on its own.
    const char *text = "Else\r\nSet #README#, 1\r\n";
    const char *argument;
    const char *lineEnd;
    EXPECT_EQ(ScanLine(text, &argument, &lineEnd), kKwElse);
    EXPECT_EQ(lineEnd, text + 4);
    EXPECT_GT(argument, lineEnd);
    char slot[kTextSize];
    EXPECT_EQ(NextArgument(&argument, lineEnd, slot, sizeof slot), 5);
    EXPECT_EQ(ScanLine(SkipWhitespace(lineEnd), &argument, &lineEnd), kKwSet);

    // A bare line feed does not end a line.
    EXPECT_EQ(Scan("Set #A#, 1\nSet #B#, 2").arguments, "#A#, 1\nSet #B#, 2");
}

TEST(Scanner, SplitsArguments)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(Split("\"a b.exe\" , #INSTALLPATH#"), (V{"a b.exe", "#INSTALLPATH#"}));
    EXPECT_EQ(Split("#KEEPCFG#, ! , 1"), (V{"#KEEPCFG#", "!", "1"}));
    EXPECT_EQ(Split("\"abc\"def, x"), (V{"abc", "def", "x"}));
    EXPECT_EQ(Split("a, ,"), (V{"a", ""}));
    EXPECT_EQ(Split("a,"), (V{"a"}));
    EXPECT_EQ(Split("a,,b"), (V{"a", "", "b"}));
    EXPECT_EQ(Split("\"\""), (V{""}));
    EXPECT_EQ(Split("a\"b"), (V{"a\"b"}));
    EXPECT_EQ(Split("a\t, b"), (V{"a\t", "b"}));       // trailing tabs stay
    EXPECT_EQ(Split("a   , b  "), (V{"a", "b"}));      // trailing blanks go
    EXPECT_EQ(Split("\"a, b\", c"), (V{"a, b", "c"})); // commas inside quotes
    EXPECT_EQ(Split("\"open to the end"), (V{"open to the end"}));
    EXPECT_EQ(Split("x\r\ny"), (V{"x"})); // never past the line end
    EXPECT_EQ(Split(""), V{});
}

TEST(Scanner, LongArgumentsAreCutButConsumed)
{
    std::string longArgument(600, 'x');
    std::string line = longArgument + ", next";
    const char *lineEnd = line.c_str() + line.size();
    const char *cursor = line.c_str();
    char slot[kTextSize];
    memset(slot, '#', sizeof slot);
    ASSERT_EQ(NextArgument(&cursor, lineEnd, slot, sizeof slot), 0);
    EXPECT_EQ(std::string(slot), std::string(519, 'x'));
    ASSERT_EQ(NextArgument(&cursor, lineEnd, slot, sizeof slot), 0);
    EXPECT_STREQ(slot, "next");

    // The command line uses 260-byte buffers with the same splitter.
    char path[kPathSize];
    cursor = line.c_str();
    ASSERT_EQ(NextArgument(&cursor, lineEnd, path, sizeof path), 0);
    EXPECT_EQ(strlen(path), 259u);
}

TEST(Scanner, TenThousandCharacterLine)
{
    std::string line = "CopyFile " + std::string(10000, 'a') + "," + std::string(3000, ' ') + "b";
    const char *argument;
    const char *lineEnd;
    ASSERT_EQ(ScanLine(line.c_str(), &argument, &lineEnd), kKwCopyFile);
    EXPECT_EQ(lineEnd, line.c_str() + line.size());
    char slot[kTextSize];
    ASSERT_EQ(NextArgument(&argument, lineEnd, slot, sizeof slot), 0);
    EXPECT_EQ(strlen(slot), 519u);
    ASSERT_EQ(NextArgument(&argument, lineEnd, slot, sizeof slot), 0);
    EXPECT_STREQ(slot, "b");
}

TEST(Scanner, KeywordTableLookups)
{
    ASSERT_NE(KeywordForCode(kKwStatus2), nullptr);
    EXPECT_STREQ(KeywordForCode(kKwStatus2)->name, "Status2");
    EXPECT_EQ(KeywordForCode(19), nullptr);
    EXPECT_EQ(KeywordForCode(20), nullptr);
    ASSERT_NE(KeywordForName("copyfile"), nullptr);
    EXPECT_EQ(KeywordForName("copyfile")->code, kKwCopyFile);
    EXPECT_EQ(KeywordForName("Copy"), nullptr);
}

} // namespace

namespace
{

TEST(Scanner, LineNumbersAsAnEditorCountsThem)
{
    const char text[] = "a\r\nb\nc\rd\r\n\r\ne";
    struct Case {
        char at;
        int line;
    } cases[] = {{'a', 1}, {'b', 2}, {'c', 3}, {'d', 4}, {'e', 6}};
    for (const Case &c : cases)
        EXPECT_EQ(LineNumberAt(text, strchr(text, c.at)), c.line) << c.at;
    EXPECT_EQ(LineNumberAt(text, text), 1);

    char out[8];
    const char line[] = " \t Error x \t\r\n";
    LineAsWritten(line, strchr(line, '\r'), out, sizeof out);
    EXPECT_STREQ(out, "Error x");
    LineAsWritten(line, line + 3, out, sizeof out); // only whitespace
    EXPECT_STREQ(out, "");
    const char longLine[] = "CopyFile abcdef";
    LineAsWritten(longLine, longLine + sizeof longLine - 1, out, sizeof out);
    EXPECT_STREQ(out, "CopyFil");
}

} // namespace
