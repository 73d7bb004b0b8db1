// The script lexer: words, quoted texts and their escapes, and the error
// line for every malformed input.
#include "tools/uScriptLexer.h"
#include "component/uScreenExport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Words(std::string_view line)
{
    const TScriptLine l = LexScriptLine(line);
    EXPECT_EQ(l.error, "") << line;
    std::vector<std::string> out;
    for (const auto& w : l.words)
        out.push_back((w.quoted ? "Q:" : "W:") + w.text);
    return out;
}

TEST(ScriptLexer, WordsAndQuotedTexts)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(Words(""), V{});
    EXPECT_EQ(Words("  \t "), V{});
    EXPECT_EQ(Words("key enter"), (V{"W:key", "W:enter"}));
    EXPECT_EQ(Words("  set\t 0   \"DEMO\"  \r"), (V{"W:set", "W:0", "Q:DEMO"}));
    EXPECT_EQ(Words("set R5C20 \"\""), (V{"W:set", "W:R5C20", "Q:"}));
    EXPECT_EQ(Words("wait text \"  two  blanks \" 3"), (V{"W:wait", "W:text", "Q:  two  blanks ", "W:3"}));
    EXPECT_EQ(Words(R"(set 0 "say \"hi\" \\ there")"), (V{"W:set", "W:0", "Q:say \"hi\" \\ there"}));
    // \xHH is a local character; UTF-8 in the line is decoded to local.
    EXPECT_EQ(Words(R"(set 0 "\x41\xa2")"), (V{"W:set", "W:0", "Q:A\xA2"}));
    EXPECT_EQ(Words("set 0 \"\xC2\xA2" "5\""), (V{"W:set", "W:0", "Q:\xA2" "5"}));
}

TEST(ScriptLexer, MalformedLinesAreErrorsWithoutWords)
{
    struct Case {
        std::string line;
        const char* message;
    };
    const Case cases[] = {
        {"set 0 \"open", "missing closing quote for the text at column 7"},
        {"set 0 \"ends in backslash\\", "missing closing quote"},
        {"set 0 ab\"c\"", "quote inside a word at column 9"},
        {"set 0 \"a\"b", "text after the closing quote at column 10"},
        {R"(set 0 "\q")", "unknown escape \\q at column 8"},
        {R"(set 0 "\x4")", "\\x needs two hexadecimal digits"},
        {R"(set 0 "\xZZ")", "\\x needs two hexadecimal digits"},
        {"set 0 \"\xC3\"", "not valid UTF-8"},
        {"set 0 \"\xE0\x80\x80\"", "not valid UTF-8"},  // overlong
        {"set 0 \"\xE2\x94\x80\"", "U+2500 cannot be shown on a 3270"},
        {"set 0 \"\xC2\x85\"", "U+0085 cannot be shown on a 3270"},
    };
    for (const auto& c : cases) {
        const TScriptLine l = LexScriptLine(c.line);
        EXPECT_NE(l.error.find(c.message), std::string::npos) << c.line << " -> " << l.error;
        EXPECT_TRUE(l.words.empty()) << c.line;
    }
}

TEST(ScriptLexer, QuotedOutputReadsBackToTheSameText)
{
    // Every local character survives QuoteText -> lexer.
    std::string all;
    for (int c = 0; c < 256; ++c)
        all.push_back(static_cast<char>(c));
    const TScriptLine l = LexScriptLine("set 0 " + TScreenExport::Quote(all));
    ASSERT_EQ(l.error, "");
    ASSERT_EQ(l.words.size(), 3u);
    EXPECT_EQ(l.words[2].text, all);
}

}  // namespace
