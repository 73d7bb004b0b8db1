// Generates the built-in code page tables (stream/uCodePageTables.cpp) from
// the system's iconv conversions (glibc's IBM037 ... IBM1149 and CP1252):
// used by scripts/gen-codepages and by the test that regenerates the
// checked-in file and compares.
//
// Rules, applied to iconv's one-to-one conversions byte by byte:
//   host -> screen: iconv IBMnnn -> CP1252; a code iconv cannot convert
//     (an EBCDIC control whose Unicode form is a C1 control) becomes SUB
//     0x1A; a code that would become 0x00 or 0x01 (the screen's null and
//     field attribute marker) becomes a blank 0x20.
//   screen -> host: iconv CP1252 -> IBMnnn; a character the code page does
//     not have (the euro sign in 037, ¤ in 1141, Windows-1252's typographic
//     quotes and dashes) becomes EBCDIC SUB 0x3F.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

struct TCodePageSource {
    std::uint16_t number;       // 37
    std::string_view iconvName; // "IBM037"
    // The page's name; empty: "cp" and the number ("cp037").
    std::string_view name = {};
    // The square brackets at 0xAD and 0xBD instead of 0xBA and 0xBB (the
    // codes swapped with the two characters there): the "bracket" page,
    // code page 37 as older hosts and the s3270 protocol's clients use it.
    bool bracketCodes = false;
};

// The code pages that are built in, in ascending number.
std::span<const TCodePageSource> CodePageSources();

struct TGeneratedCodePage {
    std::array<std::uint8_t, 256> ebcToAsc{};
    std::array<std::uint8_t, 256> ascToEbc{};
};

// The tables of one code page; nothing, with error set, when iconv does
// not know the conversion.
std::optional<TGeneratedCodePage> GenerateCodePage(std::string_view iconvName, std::string& error);

// The whole text of stream/uCodePageTables.cpp; nothing, with error set,
// when a conversion is missing.
std::optional<std::string> CodePageTablesSource(std::string& error);
