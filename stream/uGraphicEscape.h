// Graphic escape (GE, order 0x08): the character after it comes from the
// terminal's second character set, the 3270 APL/text set (code page 310),
// not from the text code page. Hosts draw lines and boxes with it (ISPF's
// separator line is a row of GE 0xA2). The screen keeps the original code
// (TOrvTndisplay::GeCodes), so the read replies send 0x08 and the code back;
// what the screen and the field records show is a single-byte stand-in.
//
// The line-drawing characters of the set:
//   code  shown  UTF-8  name
//   0x85  '|'    U+2502  vertical line
//   0xA2  '-'    U+2500  horizontal line
//   0xC4  '+'    U+2514  lower left corner
//   0xC5  '+'    U+250C  upper left corner
//   0xC6  '+'    U+251C  left tee (vertical line with a branch to the right)
//   0xC7  '+'    U+2534  bottom tee (horizontal line with a branch up)
//   0xD3  '+'    U+253C  crossing
//   0xD4  '+'    U+2518  lower right corner
//   0xD5  '+'    U+2510  upper right corner
//   0xD6  '+'    U+2524  right tee (vertical line with a branch to the left)
//   0xD7  '+'    U+252C  top tee (horizontal line with a branch down)
// Every other GE code (the APL symbols, underlined letters, ...) is shown
// as the character the same code has in the text code page, as it was
// shown before line drawing was known (GE 0xC1 shows as 'A'); the read
// replies still send it back as 0x08 and the code.
#pragma once

#include <cstdint>

// The single-byte (Windows-1252) stand-in of a line-drawing GE code; 0 for
// any other code (the caller shows the text code page's character).
std::uint8_t GeLocal(std::uint8_t code);
// The Unicode box-drawing character of a line-drawing GE code; 0 for any
// other code.
std::uint32_t GeUnicode(std::uint8_t code);
