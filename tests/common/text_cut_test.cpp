#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/globals.h"
#include "base/text.h"
#include "script/interpreter.h"
#include "script/scanner.h"
#include "script/variables.h"

// Every bounded helper that cuts a text cuts between characters: a path with 予定表 at the
// buffer's limit loses whole characters, never a byte of one, and nothing is written past the
// capacity. (In UTF-8 no byte of a multi-byte character is a backslash: the path's last
// component stays 予定表.)
TEST(TextCuts, CutAtCharacterBoundaries)
{
    const std::string name = "\xE4\xBA\x88\xE5\xAE\x9A\xE8\xA1\xA8"; // 予定表
    const std::string path =
        "C:\\\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88\\" + name; // C:\ソフト\予定表
    EXPECT_EQ(std::string(strrchr(path.c_str(), '\\') + 1), name);
    struct Case {
        const char *helper;
        size_t capacity;
        std::string expected;
        bool whole;
    } cases[] = {
        {"copy", path.size() + 1, path, true},
        {"copy", path.size(), path.substr(0, path.size() - 3), false},
        {"copy", path.size() - 1, path.substr(0, path.size() - 3), false},
        {"copy", 4, "C:\\", false},
        {"copyn", path.size() - 3, path.substr(0, path.size() - 6), false},
        {"append", path.size(), path.substr(0, path.size() - 3), false},
        {"format", path.size(), path.substr(0, path.size() - 3), false},
        {"format", path.size() + 1, path, true},
        {"argument", path.size() - 1, path.substr(0, path.size() - 3), true},
        {"expand", path.size(), path.substr(0, path.size() - 3), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.helper) + " into " + std::to_string(c.capacity));
        std::vector<char> buffer(c.capacity + 8, '~');
        char *out = buffer.data();
        bool whole = true;
        std::string helper = c.helper;
        if (helper == "copy") {
            whole = CopyText(out, c.capacity, path.c_str());
        } else if (helper == "copyn") {
            whole = CopyTextN(out, c.capacity, path.c_str(), path.size());
        } else if (helper == "append") {
            CopyText(out, c.capacity, "C:\\");
            whole = AppendText(out, c.capacity, path.c_str() + 3);
        } else if (helper == "format") {
            whole = FormatText(out, c.capacity, "C:\\%s", path.c_str() + 3);
        } else if (helper == "argument") {
            std::string line = "\"" + path + "\", next";
            const char *cursor = line.c_str();
            EXPECT_EQ(NextArgument(&cursor, line.c_str() + line.size(), out, c.capacity), 0);
            EXPECT_STREQ(cursor, " next");
        } else if (helper == "expand") {
            ResetScriptEngine();
            SetVariable("#FOLDER#", name.c_str());
            std::string text = path.substr(0, path.size() - name.size()) + "#FOLDER#";
            memcpy(out, text.c_str(), text.size() + 1);
            ExpandVariables(out, c.capacity);
            ResetScriptEngine();
        }
        EXPECT_EQ(std::string(out), c.expected);
        EXPECT_EQ(whole, c.whole);
        for (size_t i = c.capacity; i < buffer.size(); i++)
            ASSERT_EQ(buffer[i], '~') << "written past the buffer";
    }
}

// A script may begin with a byte-order mark: the scanner finds its first line's keyword.
TEST(TextCuts, ByteOrderMarkIsSkipped)
{
    const char *text = "\xEF\xBB\xBFPhaseBegin 0\r\n";
    const char *argument;
    const char *lineEnd;
    EXPECT_EQ(ScanLine(AfterByteOrderMark(text), &argument, &lineEnd), kKwPhaseBegin);
    EXPECT_STREQ(AfterByteOrderMark("PhaseBegin 0"), "PhaseBegin 0");
}
