#include "tests/host/script_fixture.h"

#include <string>

#include "base/text.h"

namespace
{

TEST_F(ScriptTest, SetStoresExpandedValueUnderTheWrittenName)
{
    Run("PhaseBegin 0\r\n"
        "Set #PROGRAM#, Tool\r\n"
        "Set #UNINSTALL#,\"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\#PROGRAM#\"\r\n"
        "Set #LATER#, #UNDEFINED#\\x\r\n"
        "Set #README#, \"\"\r\n"
        "PhaseEnd\r\n",
        0, true);
    EXPECT_EQ(LastErrorCode, 0);
    EXPECT_STREQ(GetVariableText("#UNINSTALL#"),
                 "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tool");
    // A placeholder of an undefined variable stays and expands at each later use.
    EXPECT_STREQ(GetVariableText("#LATER#"), "#UNDEFINED#\\x");
    EXPECT_EQ(GetVariable("#README#", nullptr, 0), 3);
    EXPECT_STREQ(GetVariableText("#README#"), "");
    // The status text goes out before the arguments are read.
    ASSERT_FALSE(Sent.empty());
    EXPECT_EQ(Sent[0].text, "Setting variable...");

    // A later change of #PROGRAM# does not change the stored value.
    Run("PhaseBegin 0\r\nSet #PROGRAM#, Other\r\nPhaseEnd\r\n", 0, false);
    EXPECT_STREQ(GetVariableText("#UNINSTALL#"),
                 "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tool");
}

TEST_F(ScriptTest, SetWithMissingPartsChangesNothing)
{
    const char *lines[] = {"Set #VERSION#", "Set ", "Set , value"};
    for (const char *line : lines) {
        Run(std::string("PhaseBegin 0\r\n") + line + "\r\nPhaseEnd\r\n", 0, false);
        EXPECT_EQ(LastErrorCode, kErrMissingArgument) << line;
        EXPECT_EQ(VariableTable.count, 0) << line;
    }
}

TEST_F(ScriptTest, ErrorCommand)
{
    Run("PhaseBegin 1\r\nError \"Disk full\"\r\nCopyFile after\r\nPhaseEnd\r\n", 1, false);
    EXPECT_EQ(LastErrorCode, kErrScriptError);
    EXPECT_STREQ(GetVariableText("#LASTERROR#"), "Disk full");
    EXPECT_TRUE(Calls.empty());

    // In Uninstall mode it is remembered and the phase goes on.
    RunMode = 1;
    Run("PhaseBegin 1\r\nError oops\r\nCopyFile after\r\nPhaseEnd\r\n", 1, false);
    EXPECT_EQ(LastErrorCode, kErrScriptError);
    EXPECT_EQ(Calls, (std::vector<std::string>{"after"}));

    Run("PhaseBegin 1\r\nError\r\nPhaseEnd\r\n", 1, false);
    EXPECT_EQ(LastErrorCode, kErrMissingArgument);
}

// The status format a translation gives, for the hook below.
const char *translatedStatus = nullptr;

bool TranslateStatus(unsigned, char *buffer, size_t capacity)
{
    if (!translatedStatus)
        return false;
    CopyText(buffer, capacity, translatedStatus);
    return true;
}

// A status line takes the wizard's language where its translation converts the same arguments,
// else the English format: a translation never reaches the formatter with other conversions.
TEST_F(ScriptTest, StatusLinesInTheWizardsLanguage)
{
    struct Case {
        const char *translation;
        const char *shown;
    } cases[] = {
        {"Datei wird kopiert: %s", "Datei wird kopiert: a.txt"},
        {"100%% %s", "100% a.txt"},
        {"%s %s", "Copying file: a.txt"},
        {"Kopiere %d", "Copying file: a.txt"},
        {"Kopiere", "Copying file: a.txt"},
        {"%", "Copying file: a.txt"},
        {nullptr, "Copying file: a.txt"},
    };
    LanguageText = TranslateStatus;
    for (const Case &c : cases) {
        translatedStatus = c.translation;
        ShowStatus(1102, "Copying file: %s", "a.txt");
        EXPECT_STREQ(StatusText, c.shown) << (c.translation ? c.translation : "none");
    }
    LanguageText = nullptr;
}

TEST_F(ScriptTest, StatusLines)
{
    SetVariable("#PROGRAM#", "Tool");
    Run("PhaseBegin 1\r\nStatus 100%\r\nStatus2 First\\nSecond \\t #PROGRAM#\\\r\n"
        "Status2\r\nPhaseEnd\r\n",
        1, true);
    ASSERT_GE(Sent.size(), 5u);
    EXPECT_EQ(Sent[0].text, "100%");
    EXPECT_EQ(Sent[2].text, "First\nSecond \\t Tool\\");
    EXPECT_EQ(Sent[2].wParam, 1u);
    EXPECT_EQ(LastErrorCode, 0); // the bare Status2 was answered with go on
    EXPECT_EQ(Sent[4].message, (unsigned)kMsgErrorQuery);

    // A long argument is cut to 519 characters before conversion; the output stays in bounds.
    std::string many;
    for (int i = 0; i < 300; i++)
        many += "\\n";
    Run("PhaseBegin 1\r\nStatus2 " + many + "\r\nPhaseEnd\r\n", 1, false);
    EXPECT_EQ(std::string(Status2Text), std::string(259, '\n') + "\\");
}

} // namespace
