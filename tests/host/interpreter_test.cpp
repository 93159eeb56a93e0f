#include "tests/host/script_fixture.h"

#include <string>

namespace
{

using Messages = std::vector<unsigned>;

TEST_F(ScriptTest, FindsPhases)
{
    // Missing phase 0 or 1 is an error; a missing later phase changes nothing.
    Run("PhaseBegin 0\r\nPhaseEnd\r\n", 1, true);
    EXPECT_EQ(LastErrorCode, kErrPhaseMissing);
    EXPECT_TRUE(Sent.empty());
    LastErrorCode = 5;
    Run("PhaseBegin 0\r\nPhaseEnd\r\n", 2, true);
    EXPECT_EQ(LastErrorCode, 5);
    EXPECT_TRUE(Sent.empty());
    LastErrorCode = 0;

    // PhaseBegin 01 is phase 1; the last phase may run to the end of the text.
    Run("PhaseBegin 0\r\nCopyFile zero\r\nPhaseEnd\r\nPhaseBegin 01 ; install\r\nCopyFile one\r\n"
        "CopyFile two",
        1, false);
    EXPECT_EQ(Calls, (std::vector<std::string>{"one", "two"}));

    // A PhaseBegin without a number reads the number from the next line.
    Calls.clear();
    Run("PhaseBegin\r\nCopyFile a\r\nPhaseEnd\r\n", 0, false);
    EXPECT_EQ(Calls, (std::vector<std::string>{"a"}));

    // Text outside phases never runs; PhaseEnd is found whatever surrounds it.
    Calls.clear();
    Run("CopyFile outside\r\nPhaseBegin 0\r\nIf 1, =, 2\r\nPhaseEnd\r\nCopyFile after\r\n", 0,
        false);
    EXPECT_TRUE(Calls.empty());
}

TEST_F(ScriptTest, ProgressProtocol)
{
    const std::string text = "PhaseBegin 1\r\nStatus one\r\nStatus2 a\\nb\r\nPhaseEnd\r\n";
    Run(text, 1, true);
    EXPECT_EQ(Kinds(),
              (Messages{kMsgStatus, kMsgProgress, kMsgStatus, kMsgProgress, kMsgPhaseEnd}));
    EXPECT_EQ(Sent[0].text, "one");
    EXPECT_EQ(Sent[0].wParam, 0u);
    EXPECT_EQ(Sent[2].text, "a\nb");
    EXPECT_EQ(Sent[2].wParam, 1u);
    // The first carries the first line's share of the body, the last 100.
    size_t body = text.find("PhaseEnd") - text.find("Status one");
    EXPECT_EQ(Sent[1].wParam, strlen("Status one\r\n") * 100 / body);
    EXPECT_EQ(Sent[3].wParam, 100u);

    // Without a progress window nothing is sent.
    Sent.clear();
    Run(text, 1, false);
    EXPECT_TRUE(Sent.empty());
}

TEST_F(ScriptTest, SetupModeErrorDecisions)
{
    const std::string text = "PhaseBegin 1\r\nCopyFile a\r\nCopyFile b\r\nPhaseEnd\r\n";

    // Without a progress window the first failure stops the phase silently.
    Results = {8};
    Run(text, 1, false);
    EXPECT_EQ(LastErrorCode, 8);
    EXPECT_EQ(Calls, (std::vector<std::string>{"a"}));

    // Go on: the code is cleared and the next line runs.
    Calls.clear();
    Results = {8};
    Replies = {1};
    Run(text, 1, true);
    EXPECT_EQ(Calls, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(LastErrorCode, 0);
    EXPECT_EQ(Kinds(), (Messages{kMsgErrorQuery, kMsgProgress, kMsgProgress, kMsgPhaseEnd}));

    // Retry runs the same line again after a progress message for the unchanged position.
    Calls.clear();
    Sent.clear();
    Results = {8, 8};
    Replies = {kReplyRetry, kReplyRetry};
    Run(text, 1, true);
    EXPECT_EQ(Calls, (std::vector<std::string>{"a", "a", "a", "b"}));
    EXPECT_EQ(Kinds(), (Messages{kMsgErrorQuery, kMsgProgress, kMsgErrorQuery, kMsgProgress,
                                 kMsgProgress, kMsgProgress, kMsgPhaseEnd}));
    EXPECT_EQ(Sent[1].wParam, 0u);

    // Abort: no further command and no phase end; the code stays.
    Calls.clear();
    Sent.clear();
    Results = {8};
    Replies = {kReplyAbort};
    Run(text, 1, true);
    EXPECT_EQ(Calls, (std::vector<std::string>{"a"}));
    EXPECT_EQ(Kinds(), (Messages{kMsgErrorQuery}));
    EXPECT_EQ(LastErrorCode, 8);
}

TEST_F(ScriptTest, UninstallModeRemembersTheLastFailure)
{
    RunMode = 1;
    Results = {8, 0, 19};
    Run("PhaseBegin 1\r\nCopyFile a\r\nCopyFile b\r\nCopyFile c\r\nCopyFile d\r\nPhaseEnd\r\n", 1,
        true);
    EXPECT_EQ(Calls.size(), 4u);
    EXPECT_EQ(LastErrorCode, 19);
    for (const SentMessage &m : Sent)
        EXPECT_NE(m.message, (unsigned)kMsgErrorQuery);
    EXPECT_EQ(Sent.back().message, (unsigned)kMsgPhaseEnd);
}

// The line of the command that failed, as written and numbered as an editor shows it, for the
// log: the one that stopped a Setup phase, the last one of an Uninstall phase; a failure that a
// retry then cured is still the last failure noted. Every command run is announced before and
// after, with its phase and result.
TEST_F(ScriptTest, FailedLinesAndObservedCommands)
{
    static std::vector<std::string> seen;
    seen.clear();
    CommandObserver.begin = [](int phase, int, const char *lineStart, const char *,
                               const char *end) {
        seen.push_back(std::to_string(phase) + ":" + std::string(lineStart, end));
    };
    CommandObserver.end = [](int result) { seen.back() += " -> " + std::to_string(result); };
    const std::string script = "PhaseBegin 1\r\n; note\n\r\n\r\tCopyFile  a , b \t\r\n"
                               "If 1, =, 2\r\nCopyFile skipped\r\nEndif\r\nCopyFile c\r\n"
                               "PhaseEnd\r\n";
    Results = {8, 24};
    Run(script, 1, false);
    EXPECT_EQ(FailedLine.number, 5);
    EXPECT_STREQ(FailedLine.text, "CopyFile  a , b");
    EXPECT_EQ(FailedLine.code, 8);
    EXPECT_EQ(seen, (std::vector<std::string>{"1:CopyFile  a , b \t -> 8"}));

    seen.clear();
    RunMode = 1;
    Results = {8, 24};
    Run(script, 1, false);
    EXPECT_EQ(FailedLine.number, 9);
    EXPECT_STREQ(FailedLine.text, "CopyFile c");
    EXPECT_EQ(FailedLine.code, 24);
    EXPECT_EQ(seen, (std::vector<std::string>{"1:CopyFile  a , b \t -> 8", "1:If 1, =, 2 -> 0",
                                              "1:Endif -> 0", "1:CopyFile c -> 24"}));
    CommandObserver.begin = nullptr;
    CommandObserver.end = nullptr;
}

TEST_F(ScriptTest, RunResultIsDiscarded)
{
    SetCommand(kKwRun, [](const char *, const char *) { return 27; });
    LastErrorCode = 0;
    Run("PhaseBegin 2\r\nRun x.exe\r\nPhaseEnd\r\n", 2, false);
    EXPECT_EQ(LastErrorCode, 0);
}

TEST_F(ScriptTest, CommandsNotYetBuiltArePassedOver)
{
    Run("PhaseBegin 0\r\nCreateDir C:\\x\r\nCopyFile a\r\nPhaseEnd\r\n", 0, false);
    EXPECT_EQ(LastErrorCode, 0);
    EXPECT_EQ(Calls.size(), 1u);
}

TEST_F(ScriptTest, IfOperators)
{
    SetVariable("#OS#", "128");
    SetVariable("#64#", "1");
    SetVariable("#PROGRAM#", "ABC");
    struct Case {
        const char *condition;
        bool holds;
    } cases[] = {
        {"#OS#, >, 64", true},        {"#64#, =, 1", true},
        {"#PROGRAM#, =, abc", true},  {"#PROGRAM#, ==, abd", false},
        {"#PROGRAM#, !, abc", false}, {"#PROGRAM#, !=, x", true},
        {"5, >, 1, <, 10", true},     {"15, >, 1, <, 10", false},
        {"5, >, 1, ?, 10", true},     {"5, ?, 1", false},
        {"5, ?, 1, <, 10", false},    {"2, <=, 2", true},
        {"2, >=, 3", false},          {"abc, <, 1", true},
        {"1.5, >, 1.25", true},
    };
    for (const Case &c : cases) {
        Calls.clear();
        Run("PhaseBegin 0\r\nIf " + std::string(c.condition) +
                "\r\nCopyFile then\r\nElse\r\nCopyFile else\r\nEndif\r\nPhaseEnd\r\n",
            0, false);
        ASSERT_EQ(LastErrorCode, 0) << c.condition;
        ASSERT_EQ(Calls.size(), 1u) << c.condition;
        EXPECT_EQ(Calls[0], c.holds ? "then" : "else") << c.condition;
        EXPECT_EQ(ConditionDepth, 0);
    }
}

TEST_F(ScriptTest, IfWithWrongArgumentCountPushesNothing)
{
    Run("PhaseBegin 0\r\nIf 1, =, 1, =\r\nPhaseEnd\r\n", 0, false);
    EXPECT_EQ(LastErrorCode, kErrMissingArgument);
    EXPECT_EQ(ConditionDepth, 0);
}

TEST_F(ScriptTest, NestedBranchesInsideSkippedBranch)
{
    Run("PhaseBegin 0\r\n"
        "If 1, =, 2\r\n"
        "  If 1, =, 1\r\n    CopyFile inner-then\r\n  Else\r\n    CopyFile inner-else\r\n  "
        "Endif\r\n"
        "  CopyFile outer-then\r\n"
        "Else\r\n"
        "  CopyFile outer-else\r\n"
        "Endif\r\n"
        "CopyFile after\r\n"
        "PhaseEnd\r\n",
        0, false);
    EXPECT_EQ(Calls, (std::vector<std::string>{"outer-else", "after"}));
    EXPECT_EQ(ConditionDepth, 0);
}

TEST_F(ScriptTest, ConditionStackCarriesOverBetweenPhases)
{
    const std::string text = "PhaseBegin 0\r\nIf 1, =, 2\r\nPhaseEnd\r\n"
                             "PhaseBegin 1\r\nCopyFile skipped\r\nEndif\r\nCopyFile runs\r\n"
                             "PhaseEnd\r\n";
    Run(text, 0, false);
    EXPECT_EQ(ConditionDepth, 1);
    Run(text, 1, false);
    EXPECT_EQ(Calls, (std::vector<std::string>{"runs"}));
}

TEST_F(ScriptTest, DeepNestingIsRefusedWithinTheStack)
{
    std::string text = "PhaseBegin 0\r\n";
    for (int i = 0; i < 40; i++)
        text += "If 1, =, 1\r\n";
    text += "CopyFile deep\r\n";
    for (int i = 0; i < 40; i++)
        text += "Endif\r\n";
    text += "PhaseEnd\r\n";

    // Without a progress window the 32nd If stops the phase.
    Run(text, 0, false);
    EXPECT_EQ(LastErrorCode, kErrMissingArgument);
    EXPECT_EQ(ConditionDepth, kConditionLevels);
    EXPECT_TRUE(Calls.empty());

    // Answered with go on, every refused If is passed over and the run stays defined.
    ConditionDepth = 0;
    Replies = std::deque<intptr_t>(9, 1);
    Run(text, 0, true);
    EXPECT_EQ(Calls, (std::vector<std::string>{"deep"}));
    EXPECT_EQ(ConditionDepth, 0);
    EXPECT_EQ(LastErrorCode, 0);
}

TEST_F(ScriptTest, LinesOutsideCommandsChangeNothing)
{
    LastErrorCode = 0;
    Run("PhaseBegin 0\r\n; a comment\r\n\r\n\t\r\nrandom words\r\nPhaseBegin 7\r\nPhaseEnd\r\n", 0,
        true);
    EXPECT_EQ(LastErrorCode, 0);
    EXPECT_EQ(Sent.back().message, (unsigned)kMsgPhaseEnd);
}

} // namespace
