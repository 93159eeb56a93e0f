#include <gtest/gtest.h>

#include <pthread.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/globals.h"
#include "script/interpreter.h"
#include "script/variables.h"

namespace
{

class Variables : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ResetScriptEngine();
    }
    void TearDown() override
    {
        ResetScriptEngine();
    }

    std::string Expand(const std::string &text, size_t capacity = kTextSize)
    {
        std::vector<char> buffer(capacity + 8, '~');
        CopyBytes(buffer.data(), text, capacity);
        ExpandVariables(buffer.data(), capacity);
        // Nothing beyond the capacity may be touched.
        for (size_t i = capacity; i < buffer.size(); i++)
            EXPECT_EQ(buffer[i], '~') << "byte " << i << " written past the buffer";
        return buffer.data();
    }

    static void CopyBytes(char *dst, const std::string &text, size_t capacity)
    {
        size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
        memcpy(dst, text.data(), n);
        dst[n] = 0;
    }
};

TEST_F(Variables, SetReplacesInPlaceAndAppendsNewNames)
{
    EXPECT_EQ(SetVariable("#PROGRAM#", "Tool"), 0);
    EXPECT_EQ(SetVariable("#VERSION#", "3.1"), 1);
    EXPECT_EQ(SetVariable("#PROGRAM#", "Other"), 0);
    EXPECT_EQ(VariableTable.count, 2);
    EXPECT_STREQ(GetVariableText("#PROGRAM#"), "Other");

    char buffer[kTextSize] = "untouched";
    EXPECT_EQ(GetVariable("#MISSING#", buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(GetVariable("#VERSION#", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "3.1");
    EXPECT_EQ(GetVariable("#VERSION#", nullptr, 0), 1);
    EXPECT_STREQ(GetVariableText("#MISSING#"), "");

    // A text that merely begins with a name matches it.
    EXPECT_EQ(GetVariable("#PROGRAM#X", nullptr, 0), 0);
    // Names are case-sensitive.
    EXPECT_EQ(GetVariable("#Program#", nullptr, 0), -1);
}

TEST_F(Variables, CopiesIntoSmallBuffersStayInBounds)
{
    SetVariable("#LONG#", std::string(400, 'p').c_str());
    char path[kPathSize + 4];
    memset(path, '~', sizeof path);
    EXPECT_EQ(GetVariable("#LONG#", path, kPathSize), 0);
    EXPECT_EQ(strlen(path), 259u);
    EXPECT_EQ(path[kPathSize], '~');
}

TEST_F(Variables, NamesAndValuesAreCut)
{
    std::string longName = "#" + std::string(40, 'N') + "#";
    SetVariable(longName.c_str(), "v");
    EXPECT_EQ(VariableTable.records[0].nameLength, 31);
    EXPECT_EQ(GetVariable(longName.c_str(), nullptr, 0), 0);

    SetVariable("#V#", std::string(600, 'a').c_str());
    EXPECT_EQ(strlen(GetVariableText("#V#")), 519u);
    EXPECT_EQ(VariableTable.records[1].valueLength, 519);
    EXPECT_EQ(Expand("#V#"), std::string(519, 'a'));
}

TEST_F(Variables, EmptyNameIsRefused)
{
    EXPECT_EQ(SetVariable("", "x"), -1);
    EXPECT_EQ(VariableTable.count, 0);
    SetVariable("#A#", "1");
    EXPECT_EQ(Expand("abc #A#"), "abc 1");
}

TEST_F(Variables, NumbersTruncateTowardZero)
{
    struct Case {
        const char *value;
        int number;
    } cases[] = {
        {"1", 1},
        {"01", 1},
        {"1.5", 1},
        {"-2.7", -2},
        {"", 0},
        {"abc", 0},
        {" 7x", 7},
        {"1e3", 1000},
        {"1e300", 2147483647},
        {"-1e300", -2147483647 - 1},
        {"nan", 0},
        {"inf", 2147483647},
    };
    for (const Case &c : cases) {
        SetVariable("#N#", c.value);
        EXPECT_EQ(GetVariableNumber("#N#"), c.number) << c.value;
    }
    EXPECT_EQ(GetVariableNumber("#UNDEFINED#"), -1);
}

TEST_F(Variables, ExpandsDefinedPlaceholdersOnly)
{
    SetVariable("#INSTALLPATH#", "C:\\Apps\\Tool");
    SetVariable("#PROGRAM#", "Tool");
    EXPECT_EQ(Expand("#INSTALLPATH#\\#PROGRAM#.exe"), "C:\\Apps\\Tool\\Tool.exe");
    EXPECT_EQ(Expand("#UNDEFINED#\\#PROGRAM#"), "#UNDEFINED#\\Tool");
    EXPECT_EQ(Expand("#Program#"), "#Program#");
    EXPECT_EQ(Expand("50% #PROGRAM# %s"), "50% Tool %s");
}

TEST_F(Variables, ExpansionScanRules)
{
    // A value still holding a placeholder is expanded as the scan passes over it...
    SetVariable("#PATH#", "bin\\#ROOT#");
    SetVariable("#ROOT#", "C:");
    EXPECT_EQ(Expand("#PATH#"), "bin\\C:");
    // ...but the first character of an inserted value is not examined again,
    SetVariable("#SELF#", "#ROOT#");
    EXPECT_EQ(Expand("#SELF#"), "#ROOT#");
    // and after an empty value the next character is not examined either.
    SetVariable("#EXECUTE#", "");
    SetVariable("#PROGRAM#", "Tool");
    EXPECT_EQ(Expand("#EXECUTE##PROGRAM#"), "#PROGRAM#");
}

TEST_F(Variables, ExpansionNeverPassesTheBuffer)
{
    SetVariable("#A#", std::string(300, 'a').c_str());
    // Two values of 300 characters in a 520-byte buffer: the second one is cut.
    EXPECT_EQ(Expand("#A##A#x"), std::string(300, 'a') + std::string(219, 'a'));
    // The tail after a placeholder is cut where the buffer ends.
    std::string tail(250, 't');
    EXPECT_EQ(Expand("#A#" + tail), std::string(300, 'a') + std::string(219, 't'));
    // Small buffers.
    EXPECT_EQ(Expand("#A#", 8), "aaaaaaa");
    EXPECT_EQ(Expand("xy#A#", 6), "xyaaa");
    SetVariable("#E#", "");
    EXPECT_EQ(Expand("#E#z", 5), "z");
    EXPECT_EQ(Expand("#E#z", 4), "");
}

TEST_F(Variables, SelfReferencingValueStopsAtTheBuffer)
{
    SetVariable("#A#", "x#A#");
    std::string once = Expand("#A#");
    EXPECT_EQ(once.size(), 519u);
    EXPECT_EQ(once.substr(0, 4), "xxxx");
    // Defined result: the value is repeated until the buffer is full.
    EXPECT_EQ(Expand("#A#", 1024).size(), 1023u);
    EXPECT_EQ(Expand("#A#", 16), "xxxxxxxxxxxxx#A");
}

TEST_F(Variables, TableGrowsWithoutFixedMaximum)
{
    char name[kNameSize];
    for (int i = 0; i < 200; i++) {
        snprintf(name, sizeof name, "#V%d#", i);
        ASSERT_EQ(SetVariable(name, name), i);
    }
    EXPECT_EQ(VariableTable.count, 200);
    EXPECT_EQ(VariableTable.capacity % 16, 0);
    EXPECT_STREQ(GetVariableText("#V199#"), "#V199#");
    EXPECT_STREQ(GetVariableText("#V0#"), "#V0#");
}

TEST_F(Variables, FetchArgumentsExpandsAndClearsSlots)
{
    SetVariable("#X#", "ex");
    strcpy(ArgumentSlots[2], "stale");
    const char *line = "#X#, b";
    const char *cursor = line;
    EXPECT_EQ(FetchArguments(3, &cursor, line + strlen(line)), 2);
    EXPECT_STREQ(ArgumentSlots[0], "ex");
    EXPECT_STREQ(ArgumentSlots[1], "b");
    EXPECT_STREQ(ArgumentSlots[2], "");

    line = "1,2,3,4,5,6,7";
    cursor = line;
    EXPECT_EQ(FetchArguments(9, &cursor, line + strlen(line)), 5);
    EXPECT_STREQ(ArgumentSlots[4], "5");

    // An expanded value may hold commas and quotes without changing the split.
    SetVariable("#C#", "a,\"b\"");
    line = "#C#, z";
    cursor = line;
    EXPECT_EQ(FetchArguments(2, &cursor, line + strlen(line)), 2);
    EXPECT_STREQ(ArgumentSlots[0], "a,\"b\"");
}

// Another thread sets new variables (the table grows and moves) while this one expands texts:
// with the lock hooks installed the sanitizers see no access to freed memory.
pthread_mutex_t TableMutex = PTHREAD_MUTEX_INITIALIZER;
void LockTable(void)
{
    pthread_mutex_lock(&TableMutex);
}
void UnlockTable(void)
{
    pthread_mutex_unlock(&TableMutex);
}
void *SetMany(void *)
{
    char name[kNameSize];
    for (int i = 0; i < 3000; i++) {
        snprintf(name, sizeof name, "#W%d#", i);
        SetVariable(name, "w");
    }
    return nullptr;
}

TEST_F(Variables, LockedTableIsSafeAcrossThreads)
{
    VariableTableLock = {LockTable, UnlockTable};
    SetVariable("#PROGRAM#", "Tool");
    pthread_t worker;
    ASSERT_EQ(pthread_create(&worker, nullptr, SetMany, nullptr), 0);
    for (int i = 0; i < 3000; i++) {
        char text[kMessageSize] = "#PROGRAM# is running #W1# #W2999#";
        ExpandVariables(text, sizeof text);
        ASSERT_EQ(strncmp(text, "Tool is running ", 16), 0);
    }
    pthread_join(worker, nullptr);
    VariableTableLock = {nullptr, nullptr};
    EXPECT_EQ(VariableTable.count, 3001);
}

} // namespace
