// The word splitter of the tn3270 script language.
#include "tools/uScriptLexer.h"

#include "component/uScreenExport.h"

#include <optional>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
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
                std::size_t at = i + 2, digits = 0;
                const auto v = ReadHexEscape(text, at, 2, &digits);
                if (!v || digits != 2)
                    return Fail("\\x needs two hexadecimal digits at column " + std::to_string(i + 1));
                word.text.push_back(static_cast<char>(*v));
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

std::optional<std::uint32_t> ReadHexEscape(std::string_view text, std::size_t& i, std::size_t max, std::size_t* count)
{
    std::uint32_t v = 0;
    std::size_t n = 0;
    for (; i < text.size() && n < max; ++i, ++n) {
        const char c = text[i];
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0)
            break;
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    if (count != nullptr)
        *count = n;
    if (n == 0)
        return std::nullopt;
    return v;
}
