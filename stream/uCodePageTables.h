// The built-in code pages: translation tables between the host's
// single-byte EBCDIC code pages and Windows-1252, the screen's character
// set. The tables (uCodePageTables.cpp) are generated from the system's
// iconv conversions by scripts/gen-codepages and checked in; a test
// regenerates them and compares.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

struct TCodePage {
    // "cp037", "cp1141": what ConversionTable and --codepage take.
    std::string_view name;
    // 37, 1141: the number after "cp".
    std::uint16_t number;
    // The iconv conversion the tables were generated from ("IBM037").
    std::string_view iconvName;
    // Host code -> screen character. No host code maps to the screen's
    // reserved values 0x00 and 0x01 (they become a blank); a code with no
    // Windows-1252 character (the EBCDIC controls that have only a C1
    // control in Unicode) becomes SUB 0x1A.
    const std::array<std::uint8_t, 256>* ebcToAsc;
    // Screen character -> host code. A Windows-1252 character the code page
    // does not have goes out as the EBCDIC SUB 0x3F.
    const std::array<std::uint8_t, 256>* ascToEbc;
};

// Every built-in code page, in ascending number.
std::span<const TCodePage> BuiltInCodePages();
