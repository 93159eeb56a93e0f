// mksetup trace, driven in-process with the same arguments a script author would give.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "script/scanner.h"
#include "tools/check.h"
#include "tools/trace.h"

namespace
{

struct TraceRun {
    int status;
    std::string out;
    std::string err;
};

std::string ReadAll(FILE *f)
{
    std::string text;
    rewind(f);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    fclose(f);
    return text;
}

class Trace : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/trace-XXXXXX";
        int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        ScriptPath = pattern;
    }
    void TearDown() override
    {
        unlink(ScriptPath.c_str());
    }

    TraceRun Run(const std::string &script, std::vector<std::string> args)
    {
        std::ofstream(ScriptPath, std::ios::binary) << script;
        args.insert(args.begin(), ScriptPath);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(&a[0]);
        FILE *out = tmpfile();
        FILE *err = tmpfile();
        int status = RunTrace((int)argv.size(), argv.data(), out, err);
        return {status, ReadAll(out), ReadAll(err)};
    }

    std::string ScriptPath;
};

const char SampleScript[] = "PhaseBegin 0\r\n"
                            "Set #PROGRAM#, Tool\r\n"
                            "PhaseEnd\r\n"
                            "PhaseBegin 1\r\n"
                            "CloseProgram #PROGRAM#\r\n"
                            "If #64#, =, 1\r\n"
                            "  CopyFile \"Tool64.exe\", \"#INSTALLPATH#\\#PROGRAM#.exe\"\r\n"
                            "Else\r\n"
                            "  CopyFile \"Tool32.exe\", \"#INSTALLPATH#\\#PROGRAM#.exe\"\r\n"
                            "Endif\r\n"
                            "Status2 Almost\\ndone\r\n"
                            "PhaseEnd\r\n";

TEST_F(Trace, RecordsCommandsWithExpandedArguments)
{
    TraceRun r = Run(SampleScript, {"--phase", "0", "--phase", "1", "--set",
                                    "#INSTALLPATH#=C:\\Apps\\Tool", "--set", "#64#=1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "run\tCloseProgram\tTool\n"
                     "run\tCopyFile\tTool64.exe\tC:\\Apps\\Tool\\Tool.exe\n"
                     "result\t0\n"
                     "var\t#INSTALLPATH#\tC:\\Apps\\Tool\n"
                     "var\t#64#\t1\n"
                     "var\t#PROGRAM#\tTool\n");
}

TEST_F(Trace, ProgressMessagesAndErrorReplies)
{
    TraceRun r = Run(SampleScript, {"--phase", "1", "--progress", "--set", "#64#=0", "--fail",
                                    "copyfile=8,1", "--reply", "retry"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("run\tCopyFile\tTool32.exe\t#INSTALLPATH#\\#PROGRAM#.exe\n"
                         "error\t8\n"
                         "progress\t"),
              std::string::npos)
        << r.out;
    // The retried line runs a second time and succeeds.
    size_t first = r.out.find("run\tCopyFile");
    EXPECT_NE(r.out.find("run\tCopyFile", first + 1), std::string::npos);
    EXPECT_NE(r.out.find("status\t1\tAlmost\\ndone\nprogress\t100\nend\nresult\t0\n"),
              std::string::npos)
        << r.out;

    r = Run(SampleScript,
            {"--phase", "1", "--progress", "--fail", "CloseProgram=6", "--reply", "abort"});
    EXPECT_EQ(r.out, "run\tCloseProgram\t#PROGRAM#\nerror\t6\nresult\t6\n");
}

TEST_F(Trace, FailedPhaseStopsLaterPhasesInSetupMode)
{
    const char script[] = "PhaseBegin 0\r\nCreateDir\r\nPhaseEnd\r\n"
                          "PhaseBegin 1\r\nRemoveDir x\r\nPhaseEnd\r\n";
    TraceRun r = Run(script, {"--phase", "0", "--phase", "1"});
    EXPECT_EQ(r.out, "run\tCreateDir\nresult\t3\n");
    r = Run(script, {"--phase", "0", "--phase", "1", "--uninstall"});
    EXPECT_EQ(r.out, "run\tCreateDir\nrun\tRemoveDir\tx\nresult\t0\n");
}

TEST_F(Trace, EndlessRetryIsCut)
{
    TraceRun r = Run(SampleScript, {"--phase", "1", "--progress", "--fail", "CloseProgram=6",
                                    "--reply", "retry"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("retries"), std::string::npos);
    EXPECT_NE(r.out.find("result\t6\n"), std::string::npos);
}

// Every system command: one argument too few gives 3 in trace and a finding in check; one too
// many is cut to what the command fetches.
TEST_F(Trace, KnowsTheArgumentCountsOfEveryCommand)
{
    for (int i = 0; i < KeywordCount; i++) {
        const Keyword &k = KeywordTable[i];
        bool system = (k.code >= kKwCloseProgram && k.code <= kKwPatchFile) ||
                      k.code == kKwStopService || k.code == kKwRun || k.code == kKwCall ||
                      k.code >= kKwCreateRegValExpandSz;
        if (!system)
            continue;
        auto line = [&](int count) {
            std::string text = std::string(k.name) + " ";
            for (int a = 0; a < count; a++)
                text += (a ? ", a" : "a") + std::to_string(a);
            return "PhaseBegin 0\r\n" + text + "\r\nPhaseEnd\r\nPhaseBegin 1\r\nPhaseEnd\r\n";
        };
        TraceRun few = Run(line(k.minArgs - 1), {});
        // Run's result is discarded by the interpreter.
        const char *result = k.code == kKwRun ? "result\t0\n" : "result\t3\n";
        EXPECT_NE(few.out.find(result), std::string::npos) << k.name;
        EXPECT_EQ(CheckScript(line(k.minArgs - 1), nullptr).size(), 1u) << k.name;
        TraceRun many = Run(line(k.maxArgs + 1), {});
        std::string expected = "run\t" + std::string(k.name);
        for (int a = 0; a < k.maxArgs; a++)
            expected += "\ta" + std::to_string(a);
        EXPECT_EQ(many.out.substr(0, many.out.find('\n') + 1), expected + "\n") << k.name;
        // The PATH commands' second argument is User or nothing, not "a1".
        bool path = k.code == kKwAddToPath || k.code == kKwRemoveFromPath;
        EXPECT_EQ(CheckScript(line(k.maxArgs), nullptr).size(), path ? 1u : 0u) << k.name;
    }
}

TEST_F(Trace, UsageErrors)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--phase"},
        {"--phase", "x"},
        {"--reply", "maybe"},
        {"--fail", "Set=3"},
        {"--fail", "CopyFile=x"},
        {"--fail", "Nope=8"},
        {"--set", "novalue"},
        {"--bogus"},
        {"--fail", "CopyFile=8,-2"},
    };
    for (const auto &args : bad) {
        TraceRun r = Run(SampleScript, args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
    std::string missing = "/nonexistent/script.vis";
    std::vector<char *> argv = {&missing[0]};
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    EXPECT_EQ(RunTrace(1, argv.data(), out, err), 1);
    fclose(out);
    fclose(err);
}

} // namespace
