// The phase 1 worker under Windows: a real thread, messages by SendMessageA to a real window
// that records them and answers error queries.
#include <windows.h>

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "base/globals.h"
#include "script/interpreter.h"
#include "script/phase_thread.h"
#include "script/scanner.h"
#include "script/variables.h"

namespace
{

struct Received {
    UINT message;
    WPARAM wParam;
    std::string text;
    bool fromOtherThread;
};

std::vector<Received> Log;
std::deque<LRESULT> Replies;
std::deque<int> Results;
std::vector<DWORD> CommandThreads;

LRESULT CALLBACK RecorderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message < kMsgStatus || message > kMsgErrorQuery)
        return DefWindowProcA(window, message, wParam, lParam);
    Received r{message, wParam, "", InSendMessage() == TRUE};
    if (message == kMsgStatus)
        r.text = (const char *)lParam;
    Log.push_back(r);
    if (message == kMsgErrorQuery && !Replies.empty()) {
        LRESULT reply = Replies.front();
        Replies.pop_front();
        return reply;
    }
    return 0;
}

int FakeCommand(const char *argumentStart, const char *lineEnd)
{
    FetchArguments(1, &argumentStart, lineEnd);
    CommandThreads.push_back(GetCurrentThreadId());
    if (Results.empty())
        return 0;
    int r = Results.front();
    Results.pop_front();
    return r;
}

class PhaseThreadTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        InitScriptThreading();
        ResetScriptEngine();
        RunMode = 0;
        SetCommand(kKwCopyFile, FakeCommand);
        Log.clear();
        Replies.clear();
        Results.clear();
        CommandThreads.clear();
        WNDCLASSA wc = {};
        wc.lpfnWndProc = RecorderProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "PhaseRecorder";
        RegisterClassA(&wc);
        Window = CreateWindowExA(0, "PhaseRecorder", "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                 nullptr, wc.hInstance, nullptr);
        ASSERT_NE(Window, nullptr);
    }

    void TearDown() override
    {
        ProgressWindow = nullptr;
        DestroyWindow(Window);
        Script = nullptr;
        if (PhaseThread) {
            CloseHandle((HANDLE)PhaseThread);
            PhaseThread = nullptr;
        }
        ResetScriptEngine();
    }

    // Starts the phase on the worker and serves the window until the worker has ended.
    void RunOnWorker(const char *text, int phase)
    {
        Script = text;
        ProgressWindow = Window;
        ASSERT_EQ(StartPhase(phase, true), 0);
        ASSERT_NE(PhaseThread, nullptr);
        HANDLE thread = (HANDLE)PhaseThread;
        for (;;) {
            DWORD r = MsgWaitForMultipleObjects(1, &thread, FALSE, 10000, QS_ALLINPUT);
            ASSERT_NE(r, (DWORD)WAIT_TIMEOUT) << "worker did not end";
            if (r == WAIT_OBJECT_0)
                break;
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }

    std::vector<UINT> Kinds() const
    {
        std::vector<UINT> kinds;
        for (const Received &r : Log)
            kinds.push_back(r.message);
        return kinds;
    }

    HWND Window = nullptr;
};

const char Phase1[] = "PhaseBegin 1\r\nStatus Copying\r\nCopyFile a\r\nCopyFile b\r\nPhaseEnd\r\n";

TEST_F(PhaseThreadTest, WorkerSendsEveryMessageToTheWindow)
{
    LastErrorCode = 99;
    RunOnWorker(Phase1, 1);
    EXPECT_EQ(LastErrorCode, 0);
    EXPECT_EQ(Kinds(), (std::vector<UINT>{kMsgStatus, kMsgProgress, kMsgProgress, kMsgProgress,
                                          kMsgPhaseEnd}));
    EXPECT_EQ(Log[0].text, "Copying");
    EXPECT_EQ(Log[3].wParam, 100u);
    for (const Received &r : Log)
        EXPECT_TRUE(r.fromOtherThread);
    ASSERT_EQ(CommandThreads.size(), 2u);
    EXPECT_NE(CommandThreads[0], GetCurrentThreadId());
}

TEST_F(PhaseThreadTest, RepliesSteerRetryAbortAndGoOn)
{
    Results = {8, 8};
    Replies = {kReplyRetry, 1};
    RunOnWorker(Phase1, 1);
    EXPECT_EQ(CommandThreads.size(), 3u); // a, a again, b
    EXPECT_EQ(LastErrorCode, 0);
    EXPECT_EQ(Log.back().message, (UINT)kMsgPhaseEnd);

    Log.clear();
    CommandThreads.clear();
    Results = {8};
    Replies = {kReplyAbort};
    RunOnWorker(Phase1, 1);
    EXPECT_EQ(CommandThreads.size(), 1u);
    EXPECT_EQ(Log.back().message, (UINT)kMsgErrorQuery);
    EXPECT_EQ(LastErrorCode, 8);
}

// The page cannot answer while its quit question is open: the worker asks again until it does,
// and the failed command does not run again meanwhile.
TEST_F(PhaseThreadTest, AskAgainRepeatsTheQueryOnly)
{
    Results = {8};
    Replies = {kReplyAskAgain, kReplyAskAgain, 1};
    RunOnWorker(Phase1, 1);
    EXPECT_EQ(CommandThreads.size(), 2u); // a, then b
    int queries = 0;
    for (const Received &r : Log)
        queries += r.message == kMsgErrorQuery;
    EXPECT_EQ(queries, 3);
    EXPECT_EQ(Log.back().message, (UINT)kMsgPhaseEnd);
}

// RunPhase sends nothing for a phase the script lacks; the worker then puts the code to the
// page as an error query, so that the page does not wait for the phase's end for ever.
TEST_F(PhaseThreadTest, MissingPhaseIsPutToThePage)
{
    RunOnWorker("PhaseBegin 0\r\nPhaseEnd\r\n", 1);
    ASSERT_EQ(Log.size(), 1u);
    EXPECT_EQ(Log[0].message, (UINT)kMsgErrorQuery);
    EXPECT_EQ(LastErrorCode, kErrPhaseMissing);
}

TEST_F(PhaseThreadTest, CallingThreadRunsSynchronously)
{
    Script = "PhaseBegin 2\r\nCopyFile a\r\nPhaseEnd\r\n";
    LastErrorCode = 5;
    EXPECT_EQ(StartPhase(2, false), 0);
    EXPECT_EQ(LastErrorCode, 0);
    ASSERT_EQ(CommandThreads.size(), 1u);
    EXPECT_EQ(CommandThreads[0], GetCurrentThreadId());
}

TEST_F(PhaseThreadTest, MainThreadExpandsWhileWorkerSetsVariables)
{
    std::string text = "PhaseBegin 1\r\n";
    for (int i = 0; i < 400; i++)
        text += "Set #V" + std::to_string(i) + "#, value " + std::to_string(i) + "\r\n";
    text += "PhaseEnd\r\n";
    SetVariable("#PROGRAM#", "Tool");
    Script = text.c_str();
    ProgressWindow = nullptr; // no messages: the worker runs freely
    ASSERT_EQ(StartPhase(1, true), 0);
    HANDLE thread = (HANDLE)PhaseThread;
    int expansions = 0;
    while (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) {
        char message[kMessageSize] = "#PROGRAM# is not complete (#V399#).";
        ExpandVariables(message, sizeof message);
        ASSERT_EQ(strncmp(message, "Tool is not complete", 20), 0);
        expansions++;
    }
    EXPECT_EQ(VariableTable.count, 401);
    EXPECT_STREQ(GetVariableText("#V399#"), "value 399");
}

} // namespace
