// The word splitter of the tn3270 script language: one command a line,
// words separated by blanks, texts in double quotes with the escapes \"
// \\ and \xHH. Pure functions, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The longest command line read; the reader answers a longer one with an
// error and skips the rest of it.
inline constexpr std::size_t kMaxScriptLineBytes = 65536;

struct TScriptWord {
    // In the screen's local character set: UTF-8 in the line is decoded,
    // \xHH gives the local character HH.
    std::string text;
    // Written between double quotes (may then be empty).
    bool quoted = false;
};

struct TScriptLine {
    std::vector<TScriptWord> words;
    // Empty when the line is well formed; otherwise the message of the
    // `error:` answer, and words is empty.
    std::string error;
};

// Splits one line (without its line end; a trailing CR is ignored).
// Errors: a quote inside a word, no closing quote, text straight after a
// closing quote, an unknown escape, \x without two hexadecimal digits,
// invalid UTF-8, a character Windows-1252 (the screen's set) does not have.
TScriptLine LexScriptLine(std::string_view line);

// The hexadecimal digits of an escape (\xHH here, \x \u \U and \e in the
// s3270 protocol's strings): up to max of them at text[i], i advanced past
// them and count set to how many; nothing when there is none.
std::optional<std::uint32_t> ReadHexEscape(std::string_view text, std::size_t& i, std::size_t max,
                                           std::size_t* count = nullptr);
