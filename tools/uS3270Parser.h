// The s3270 protocol's action lines and String's escapes, parsed without
// any I/O: the session runs what comes out.
//
// An action line is `Name(arg, arg)`, `Name arg arg` or `Name` alone;
// names are compared without regard to case by the caller. An argument is
// a run of characters up to a blank, ',' or ')' (inside parentheses) or
// blank (outside), or a double-quoted text in which `\"` stands for '"'.
// Every other backslash stays in the argument: String gives it its meaning.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct TS3270Line {
    std::string name;
    std::vector<std::string> args;
};

// The parsed line, or the error text s3270 answers for it
// ("Syntax error: \")\" or \",\" expected at column 12"). An empty or
// all-blank line gives an empty name.
struct TS3270ParseResult {
    TS3270Line line;
    std::string error;
};
TS3270ParseResult ParseS3270Line(std::string_view text);

// What String types, piece by piece: text to type (UTF-8), a key, or an
// EBCDIC code to put at the cursor as it is (\e).
enum class TS3270Key {
    Enter, Tab, BackTab, Left, Clear, Newline, PF, PA,
};
struct TS3270KeyStroke {
    TS3270Key key;
    int number = 0;  // PF 1-24, PA 1-3
};
struct TS3270Ebcdic {
    std::uint8_t code;
};
using TS3270Piece = std::variant<std::string, TS3270KeyStroke, TS3270Ebcdic>;

// Decodes String's escapes: \n Enter, \t Tab, \T BackTab, \b Left,
// \f Clear, \r Newline, \pfNN, \paN, \\, \", \eHH.. (EBCDIC), \xHH..,
// \uHHHH and \UHHHHHHHH (Unicode, as Python's unicode_escape writes them).
// Text outside escapes is taken as UTF-8 (utf8) or as ISO 8859-1 bytes.
// Nothing, with error set to s3270's words, for a bad escape.
std::optional<std::vector<TS3270Piece>> DecodeS3270String(std::string_view text, bool utf8, std::string& error);

// Appends the code point as UTF-8 (nothing for one above U+10FFFF).
void AppendUtf8CodePoint(std::string& out, char32_t c);

// An integer as s3270 reads it: leading blanks, an optional sign, the
// digits up to the first other character; 0 when there are none.
std::int64_t S3270Number(std::string_view text);
// A time-out in seconds ("30", "0.5"); nothing when it is not a number.
std::optional<double> S3270Seconds(std::string_view text);
