// The s3270 protocol's action lines and String's escapes.
#include "tools/uS3270Parser.h"

#include "tools/uScriptLexer.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

std::string ColumnError(std::size_t index)
{
    return "Syntax error: \")\" or \",\" expected at column " + std::to_string(index + 1);
}


}  // namespace

void AppendUtf8CodePoint(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c <= 0x10FFFF) {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

TS3270ParseResult ParseS3270Line(std::string_view text)
{
    TS3270ParseResult r;
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    const std::size_t nameStart = i;
    while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_' || text[i] == '-'))
        ++i;
    r.line.name = std::string(text.substr(nameStart, i - nameStart));
    if (r.line.name.empty()) {
        while (i < text.size() && IsBlank(text[i]))
            ++i;
        if (i < text.size())
            r.error = "Syntax error: Name expected";
        return r;
    }
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    const bool parens = i < text.size() && text[i] == '(';
    if (!parens && i < text.size() && i > nameStart && !IsBlank(text[i - 1])) {
        r.error = "Syntax error in action name at column " + std::to_string(i + 1);
        return r;
    }
    if (parens)
        ++i;
    for (;;) {
        while (i < text.size() && IsBlank(text[i]))
            ++i;
        if (i >= text.size()) {
            if (parens)
                r.error = "Syntax error: \")\" expected at column " + std::to_string(text.size() + 1);
            return r;
        }
        if (parens && text[i] == ')') {
            ++i;
            while (i < text.size() && IsBlank(text[i]))
                ++i;
            if (i < text.size())
                r.error = "Syntax error: extra characters after \")\"";
            return r;
        }
        std::string arg;
        if (text[i] == '"') {
            ++i;
            bool closed = false;
            while (i < text.size()) {
                if (text[i] == '\\' && i + 1 < text.size()) {
                    if (text[i + 1] == '"')
                        arg += '"';
                    else
                        arg.append(text.substr(i, 2));
                    i += 2;
                    continue;
                }
                if (text[i] == '"') {
                    ++i;
                    closed = true;
                    break;
                }
                arg += text[i++];
            }
            if (!closed) {
                r.error = "Syntax error: unclosed \" at column " + std::to_string(text.size() + 1);
                return r;
            }
        } else {
            while (i < text.size() && !IsBlank(text[i]) && !(parens && (text[i] == ',' || text[i] == ')')) &&
                   !(!parens && text[i] == ','))
                arg += text[i++];
        }
        r.line.args.push_back(std::move(arg));
        while (i < text.size() && IsBlank(text[i]))
            ++i;
        if (i >= text.size()) {
            if (parens)
                r.error = "Syntax error: \")\" expected at column " + std::to_string(text.size() + 1);
            return r;
        }
        if (text[i] == ',') {
            ++i;
            continue;
        }
        if (parens && text[i] != ')') {
            r.error = ColumnError(i);
            return r;
        }
    }
}

std::optional<std::vector<TS3270Piece>> DecodeS3270String(std::string_view text, bool utf8, std::string& error)
{
    std::vector<TS3270Piece> pieces;
    std::string run;
    auto flush = [&] {
        if (!run.empty()) {
            pieces.emplace_back(std::move(run));
            run.clear();
        }
    };
    auto key = [&](TS3270Key k, int n = 0) {
        flush();
        pieces.emplace_back(TS3270KeyStroke{k, n});
    };
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '\\') {
            if (utf8 || static_cast<unsigned char>(c) < 0x80)
                run += c;
            else
                AppendUtf8CodePoint(run, static_cast<unsigned char>(c));
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) {
            error = "String(): Missing data after \\";
            return std::nullopt;
        }
        const char e = text[i + 1];
        i += 2;
        switch (e) {
        case 'n': key(TS3270Key::Enter); break;
        case 't': key(TS3270Key::Tab); break;
        case 'T': key(TS3270Key::BackTab); break;
        case 'b': key(TS3270Key::Left); break;
        case 'f': key(TS3270Key::Clear); break;
        case 'r': key(TS3270Key::Newline); break;
        case '\\': run += '\\'; break;
        case '"': run += '"'; break;
        case 'p': {
            const bool pf = i < text.size() && (text[i] == 'f' || text[i] == 'F');
            const bool pa = i < text.size() && (text[i] == 'a' || text[i] == 'A');
            if (!pf && !pa) {
                error = "String(): Unknown character after \\p";
                return std::nullopt;
            }
            ++i;
            int n = 0, digits = 0;
            while (i < text.size() && digits < 2 && std::isdigit(static_cast<unsigned char>(text[i]))) {
                n = n * 10 + (text[i++] - '0');
                ++digits;
            }
            if (digits == 0 || n < 1 || n > (pf ? 24 : 3)) {
                error = pf ? "String(): Invalid \\pf escape" : "String(): Invalid \\pa escape";
                return std::nullopt;
            }
            key(pf ? TS3270Key::PF : TS3270Key::PA, n);
            break;
        }
        case 'e': {
            if (i >= text.size()) {
                error = "String(): Missing data after \\";
                return std::nullopt;
            }
            const auto v = ReadHexEscape(text, i, 2);
            if (!v) {
                error = "String(): Missing hex digits after \\e";
                return std::nullopt;
            }
            flush();
            pieces.emplace_back(TS3270Ebcdic{static_cast<std::uint8_t>(*v)});
            break;
        }
        case 'x':
        case 'u':
        case 'U': {
            if (i >= text.size()) {
                error = "String(): Missing data after \\";
                return std::nullopt;
            }
            const std::size_t max = e == 'x' ? 2 : e == 'u' ? 4 : 8;
            const auto v = ReadHexEscape(text, i, max);
            if (!v || *v > 0x10FFFF) {
                error = std::string("String(): Missing hex digits after \\") + e;
                return std::nullopt;
            }
            AppendUtf8CodePoint(run, static_cast<char32_t>(*v));
            break;
        }
        default:
            // An escape s3270 does not know stands for the character itself.
            run += e;
            break;
        }
    }
    flush();
    return pieces;
}

std::int64_t S3270Number(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    std::int64_t v = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && v < (1LL << 40))
        v = v * 10 + (text[i++] - '0');
    return negative ? -v : v;
}

std::optional<double> S3270Seconds(std::string_view text)
{
    const std::string s(text);
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || end == s.c_str() || *end != '\0' || !std::isfinite(v))
        return std::nullopt;
    return v;
}
