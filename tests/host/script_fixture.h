// Shared fixture for script-engine tests: a fresh engine per test, a progress window that
// records what it is sent and answers error queries from a list, and a fake system command.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "base/globals.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

struct SentMessage {
    unsigned message;
    uintptr_t wParam;
    std::string text; // status text for kMsgStatus
};

class ScriptTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ResetScriptEngine();
        RunMode = 0;
        Sent.clear();
        Replies.clear();
        Calls.clear();
        Results.clear();
        Current = this;
        ProgressSend = Record;
        SetCommand(kKwCopyFile, FakeCopy);
    }

    void TearDown() override
    {
        Script = nullptr;
        ProgressSend = nullptr;
        ResetScriptEngine();
        RunMode = 0;
        Current = nullptr;
    }

    // Runs one phase of `text` with or without a progress window.
    void Run(const std::string &text, int phase, bool withWindow)
    {
        ScriptText = text;
        Script = ScriptText.c_str();
        ProgressWindow = withWindow ? (void *)this : nullptr;
        RunPhase(phase);
        ProgressWindow = nullptr;
    }

    std::vector<unsigned> Kinds() const
    {
        std::vector<unsigned> kinds;
        for (const SentMessage &m : Sent)
            kinds.push_back(m.message);
        return kinds;
    }

    std::vector<uintptr_t> Percentages() const
    {
        std::vector<uintptr_t> p;
        for (const SentMessage &m : Sent)
            if (m.message == kMsgProgress)
                p.push_back(m.wParam);
        return p;
    }

    static intptr_t Record(void *, unsigned message, uintptr_t wParam, intptr_t lParam)
    {
        SentMessage m{message, wParam, ""};
        if (message == kMsgStatus)
            m.text = (const char *)lParam;
        Current->Sent.push_back(m);
        if (message == kMsgErrorQuery && !Current->Replies.empty()) {
            intptr_t reply = Current->Replies.front();
            Current->Replies.pop_front();
            return reply;
        }
        return 0;
    }

    // Stands in for CopyFile: records its first argument and answers from Results (0 when empty).
    static int FakeCopy(const char *argumentStart, const char *lineEnd)
    {
        FetchArguments(3, &argumentStart, lineEnd);
        Current->Calls.push_back(ArgumentSlots[0]);
        if (Current->Results.empty())
            return 0;
        int r = Current->Results.front();
        Current->Results.pop_front();
        return r;
    }

    std::string ScriptText;
    std::vector<SentMessage> Sent;
    std::deque<intptr_t> Replies;
    std::vector<std::string> Calls;
    std::deque<int> Results;
    inline static ScriptTest *Current = nullptr;
};
