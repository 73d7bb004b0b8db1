// Code pages chosen by name: "cp" followed by digits, or the name of a
// built-in page that has one ("bracket"), names a built-in code page
// (uCodePageTables), anything else is a translation table file. Also
// the text of a translation table file, for writing a code page out.
#pragma once

#include "stream/uCodePageTables.h"

#include <stdexcept>
#include <string>
#include <string_view>

// An unknown code page name; what() is the message for the user.
class ECodePageError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Windows-1252 SUB and EBCDIC SUB: the stand-ins for a character that one
// side does not have.
inline constexpr std::uint8_t kLocalSub = 0x1A;
inline constexpr std::uint8_t kEbcdicSub = 0x3F;

// True for "cp" (any case) followed by one or more digits, and for the
// name of a built-in page ("bracket", any case).
bool IsCodePageName(std::string_view name);
// The built-in code page of that number ("cp37", "cp037" and "CP0037" are
// the same), or of that name ("bracket"); nullptr when the name is no code page name or no built-in one.
const TCodePage* FindCodePage(std::string_view name);
// "cp037 cp273 ... cp1149".
std::string KnownCodePageNames();
// The message of an unknown code page name.
std::string UnknownCodePageMessage(std::string_view name);

// The tables in the translation table file format: sections
// "Ascii-To-Ebcdic" and "Ebcdic-To-Ascii", every code as a key of two
// upper-case hexadecimal digits with its target as the value. title goes
// into a comment line at the top.
std::string TableFileText(const std::array<std::uint8_t, 256>& ascToEbc, const std::array<std::uint8_t, 256>& ebcToAsc,
                          std::string_view title);
