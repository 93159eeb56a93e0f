// Acting as the logged-on user: the switch finds the shell's window, impersonates the token of
// its process on the calling thread only, and reverts.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/globals.h"
#include "commands/realuser.h"
#include "script/interpreter.h"
#include "script/variables.h"
#include "tests/win/win_test_util.h"

namespace
{

bool ThreadImpersonates(void)
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return false;
    CloseHandle(token);
    return true;
}

class RealUser : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ResetScriptEngine();
        Shell = FindWindowExA(nullptr, nullptr, "Progman", nullptr);
    }
    void TearDown() override
    {
        RevertToSelf();
        if (Own)
            DestroyWindow(Own);
        OsCode = 0;
        ResetScriptEngine();
    }
    HWND Shell = nullptr;
    HWND Own = nullptr;
};

TEST_F(RealUser, DoesNothingBeforeVista)
{
    OsCode = 64;
    if (!Shell)
        Own = CreateShellWindow();
    EXPECT_TRUE(ActAsRealUser(true));
    EXPECT_FALSE(ThreadImpersonates());
    EXPECT_TRUE(ActAsRealUser(false));
}

TEST_F(RealUser, ImpersonatesTheShellOwnerOnThisThreadOnly)
{
    OsCode = 248;
    if (!Shell)
        Own = CreateShellWindow();
    ASSERT_TRUE(ActAsRealUser(true));
    EXPECT_TRUE(ThreadImpersonates());
    EXPECT_TRUE(ActAsRealUser(false));
    EXPECT_FALSE(ThreadImpersonates());
}

TEST_F(RealUser, WithoutShellTheThreadKeepsItsIdentity)
{
    if (Shell)
        GTEST_SKIP() << "a desktop shell window exists in this session";
    OsCode = 248;
    EXPECT_FALSE(ActAsRealUser(true));
    EXPECT_FALSE(ThreadImpersonates());
}

TEST_F(RealUser, CommandFrameHonoursOnlyExactlyOne)
{
    OsCode = 248;
    if (!Shell)
        Own = CreateShellWindow();
    struct Case {
        const char *value; // null: not set
        bool switches;
    } cases[] = {{nullptr, false}, {"0", false},  {"2", false},
                 {"1", true},      {"1.5", true}, {"01", true}};
    for (const Case &c : cases) {
        ResetScriptEngine();
        if (c.value)
            SetVariable("#REALUSER#", c.value);
        BeginRealUser();
        EXPECT_EQ(ThreadImpersonates(), c.switches) << (c.value ? c.value : "unset");
        EndRealUser();
        EXPECT_FALSE(ThreadImpersonates());
    }
}

} // namespace
