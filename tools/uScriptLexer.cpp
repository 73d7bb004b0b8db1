// The word splitter of the tn3270 script language.
#include "tools/uScriptLexer.h"

#include "component/uScreenExport.h"

#include <optional>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

TScriptLine Fail(std::string message)
{
    TScriptLine line;
    line.error = std::move(message);
    return line;
}

}  // namespace

TScriptLine LexScriptLine(std::string_view text)
{
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    TScriptLine result;
    std::size_t i = 0;
    const std::size_t n = text.size();
    std::string error;
    while (true) {
        while (i < n && IsBlank(text[i]))
            ++i;
        if (i >= n)
            break;
        TScriptWord word;
        if (text[i] != '"') {
            const std::size_t start = i;
            while (i < n && !IsBlank(text[i])) {
                if (text[i] == '"')
                    return Fail("quote inside a word at column " + std::to_string(i + 1));
                ++i;
            }
            const auto local = TScreenExport::ToLocal(text.substr(start, i - start), error);
            if (!local)
                return Fail(error);
            word.text = *local;
            result.words.push_back(std::move(word));
            continue;
        }
        // A quoted text: literal runs are decoded from UTF-8, escapes are
        // local characters already.
        const std::size_t open = i++;
        word.quoted = true;
        std::size_t runStart = i;
        auto flushRun = [&](std::size_t end) -> bool {
            const auto local = TScreenExport::ToLocal(text.substr(runStart, end - runStart), error);
            if (!local)
                return false;
            word.text += *local;
            return true;
        };
        bool closed = false;
        while (i < n) {
            const char c = text[i];
            if (c == '"') {
                if (!flushRun(i))
                    return Fail(error);
                ++i;
                closed = true;
                break;
            }
            if (c != '\\') {
                ++i;
                continue;
            }
            if (!flushRun(i))
                return Fail(error);
            if (i + 1 >= n)
                return Fail("missing closing quote for the text at column " + std::to_string(open + 1));
            const char e = text[i + 1];
            if (e == '"' || e == '\\') {
                word.text.push_back(e);
                i += 2;
            } else if (e == 'x') {
                const int hi = i + 2 < n ? HexValue(text[i + 2]) : -1;
                const int lo = i + 3 < n ? HexValue(text[i + 3]) : -1;
                if (hi < 0 || lo < 0)
                    return Fail("\\x needs two hexadecimal digits at column " + std::to_string(i + 1));
                word.text.push_back(static_cast<char>(hi * 16 + lo));
                i += 4;
            } else {
                return Fail(std::string("unknown escape \\") + e + " at column " + std::to_string(i + 1));
            }
            runStart = i;
        }
        if (!closed)
            return Fail("missing closing quote for the text at column " + std::to_string(open + 1));
        if (i < n && !IsBlank(text[i]))
            return Fail("text after the closing quote at column " + std::to_string(i + 1));
        result.words.push_back(std::move(word));
    }
    return result;
}
