// The typing engine: puts characters into the screen at the cursor as an
// operator types them on a 3270 display. Each character overwrites the
// position under the cursor, sets the field's modified data tag and moves
// the cursor on; at the end of a field the cursor moves to the next
// position, or skips to the next unprotected field when the next field is
// autoskip (protected and numeric). A protected position (a field
// attribute included), a character a numeric field does not take, and a
// character the host's code page cannot carry are refused: typing stops
// there and the screen keeps what was typed before.
//
// The editing keys of a display work on the field under the cursor:
// Insert mode shifts the rest of the field right and is refused unless the
// field's last position holds a null to absorb the shift; Delete and
// Backspace pull the rest of the field left and leave a null at its end;
// Erase EOF nulls from the cursor to the field's end. Each sets the
// field's modified data tag. Tab, Back Tab, Home and the arrows only move
// the cursor. On an unformatted screen the whole screen is one field.
//
// Used by the component (TTn3270E::Type, Edit, MoveCursor), and through it
// by the operator interface that every front end drives; it knows nothing
// of the code page, which the caller supplies as a predicate. Not
// thread-safe: the caller holds the session's lock.
#pragma once

#include "display/uOrvTn3270display.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Why typing stopped early.
enum class TTypeRefusal {
    trNone,          // every character was typed
    trProtected,     // the cursor is on a protected position or a field attribute
    trNumeric,       // a numeric field takes only 0-9, '.' and '-'
    trNotCarried,    // a control character, or one the code page cannot carry
    trNoRoom,        // insert: the field's last position holds a character
    trFieldStart,    // backspace at the first position of a field
};

struct TTypeResult {
    std::int32_t Typed = 0;  // characters put on the screen
    TTypeRefusal Refusal = TTypeRefusal::trNone;
    std::int32_t Position = 0;  // where the refused character was to go (0-based)
    std::int32_t Row = 0, Column = 0;  // the same, 1-based
    std::uint8_t Character = 0; // the refused character (local set)
    bool Ok() const { return Refusal == TTypeRefusal::trNone; }
    // "position 5,20 is protected", ...; empty when Ok().
    std::string Message() const;
};

class TTypingEngine {
public:
    // canCarry: true when the local character can go to the host and come
    // back unchanged. The screen and the predicate must outlive the engine.
    using TCanCarry = std::function<bool(std::uint8_t)>;
    TTypingEngine(TOrvTn3270display& screen, TCanCarry canCarry);

    // Types text (local character set) at the cursor.
    TTypeResult Type(std::string_view text);
    // One character; false (and the reason in result) when refused.
    bool TypeChar(std::uint8_t c, TTypeResult& result);
    // One character in insert mode: the characters from the cursor to the
    // field's end move right by one first.
    bool InsertChar(std::uint8_t c, TTypeResult& result);

    // Editing keys; Typed is 0, Ok() unless refused (protected position,
    // field start for Backspace).
    TTypeResult DeleteChar();
    TTypeResult Backspace();
    TTypeResult EraseEof();
    // Every unprotected position nulled and its field's modified data tag
    // reset (unformatted: the whole screen), the cursor to the first
    // unprotected position (Home). Never refused.
    TTypeResult EraseInput();
    // The field under the cursor nulled (its modified data tag set), the
    // cursor to its first position. Refused on a protected position.
    TTypeResult DeleteField();
    // DUP and FIELD MARK: code, the local character that stands for the
    // order (EBCDIC X'1C' or X'1E' in the caller's code page), goes to the
    // cursor as a typed character does, numeric fields included (they are
    // not characters a code page refuses); DUP then moves the cursor to the
    // next unprotected field as Tab does from there, FIELD MARK to the next
    // position. Refused on a protected position.
    TTypeResult Dup(std::uint8_t code);
    TTypeResult FieldMark(std::uint8_t code);

    // Cursor keys (never refused). Tab: first position of the next
    // unprotected field, searching on from the top; position 0 when there
    // is none. BackTab: first position of the field the cursor is in when
    // it is past it, else of the previous unprotected field. Home: the
    // first unprotected position of the screen (0 when there is none).
    // Move: by rows and columns, wrapping over the screen's edges.
    void Tab();
    void BackTab();
    void Home();
    // The first unprotected position from the start of the next row on
    // (wrapping); unformatted: the start of the next row.
    void Newline();
    void Move(std::int32_t rows, std::int32_t cols);

    static bool IsNumericInput(std::uint8_t c) { return (c >= '0' && c <= '9') || c == '.' || c == '-'; }

private:
    // The position under the cursor (0 when the cursor is off the screen).
    std::int32_t cursor() const;
    // The positions from p to the end of its field (p included), in order:
    // up to the next field attribute (wrapping) or, unformatted, the
    // screen's end.
    std::vector<std::int32_t> restOfField(std::int32_t p) const;
    bool refuse(TTypeRefusal why, std::int32_t p, std::uint8_t c, TTypeResult& result) const;
    // What goes to the cursor: a character the operator typed, or the code
    // of a DUP or FIELD MARK order (only the position's protection counts).
    enum class TTyped { Character, OrderCode };
    // The checks of typing c at p; false with the reason when refused.
    bool accepts(std::uint8_t c, std::int32_t p, TTyped what, TTypeResult& result) const;
    // The one typing step of TypeChar, DUP and FIELD MARK: the checks at the
    // cursor, then put.
    bool typeAtCursor(std::uint8_t c, TTyped what, TTypeResult& result);
    // Protected position or field attribute (formatted screens only).
    bool isProtected(std::int32_t p) const;
    // Puts c at p, marks the field modified and moves the cursor on.
    void put(std::uint8_t c, std::int32_t p, TTypeResult& result);
    // Chars and GeCodes of the positions move one step towards the front
    // (left) or back (right) of the list; the freed end gets a null.
    void shift(const std::vector<std::int32_t>& positions, bool left);

    TOrvTn3270display& screen_;
    TCanCarry canCarry_;
};
