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
// Used by the component (TTn3270E::Type) for scripts, terminals and other
// callers; it knows nothing of the code page, which the caller supplies as
// a predicate. Not thread-safe: the caller holds the session's lock.
#pragma once

#include "display/uOrvTn3270display.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Why typing stopped early.
enum class TTypeRefusal {
    trNone,          // every character was typed
    trProtected,     // the cursor is on a protected position or a field attribute
    trNumeric,       // a numeric field takes only 0-9, '.' and '-'
    trNotCarried,    // a control character, or one the code page cannot carry
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

    static bool IsNumericInput(std::uint8_t c) { return (c >= '0' && c <= '9') || c == '.' || c == '-'; }

private:
    TOrvTn3270display& screen_;
    TCanCarry canCarry_;
};
