// The interactive terminal of the tn3270 program, apart from the terminal
// library that draws it: the key map (keys as the terminal reports them ->
// what they do), the screen as cells (character, 3270 colour, highlight)
// with the cursor and a status line, and the model that applies the keys
// to a session through the library's operator interface.
//
// The key map and the rendering are pure functions; TTerminalUiModel works
// on a TOperator. The screen's size is the session's (the model's rows and
// columns), not a constant. The drawing and the event loop are in
// tools/uCursesTerminal.
#pragma once

#include "component/uOperator.h"

#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------- keys

// A key as the terminal reports it.
enum class TUiKey {
    Char,       // a printable character: code
    Ctrl,       // Ctrl and a letter: code 'a'..'z'
    Function,   // F1..F24 (F13..F24: Shift-F1..F12 on most terminals): code 1..24
    Enter, Tab, BackTab, Up, Down, Left, Right, Home, Backspace, Delete, Insert, Escape,
    Other,
};

struct TKeyEvent {
    TUiKey key = TUiKey::Other;
    char32_t code = 0;
};

enum class TUiActionKind {
    None,          // a key with no meaning: refused visibly
    Type,          // ch
    Aid,           // aid
    Tab, BackTab, Home, Move,  // Move: rows, cols
    Backspace, Delete, EraseEof, ToggleInsert,
    Reset,         // clears the message and insert mode, repaints
    Help,          // shows the key map until the next key
    Quit,
    EscapePrefix,  // the next key is read with Esc in front
};

struct TUiAction {
    TUiActionKind kind = TUiActionKind::None;
    TTn3270AidKey aid = TTn3270AidKey::akNoOp;
    char32_t ch = 0;
    std::int32_t rows = 0, cols = 0;
};

// What a key does; afterEscape: Esc came just before it.
TUiAction MapKey(const TKeyEvent& key, bool afterEscape);

// The key map as the help shows it, one line each (at most 76 columns).
const std::vector<std::string>& KeyMapLines();

// ---------------------------------------------------------------- screen

// The 3270 colours; Default for the terminal's own.
using TUiColor = T3270Color;

struct TUiCell {
    char32_t ch = U' ';
    TUiColor color = TUiColor::Default;
    bool bold = false;  // intensified field
    bool reverse = false, underline = false, blink = false;
    bool operator==(const TUiCell&) const = default;
};

// The terminal must show the screen and the status line under it.
constexpr std::int32_t kUiStatusRows = 1;

// The screen's cells, row after row.
using TUiCells = std::vector<TUiCell>;

// The screen as the terminal draws it, from the operator's cells: the
// characters as the text rows show them (nulls, field attributes and
// non-display fields blank, graphic escapes as box-drawing characters), the
// colour and highlight of each position: the character's own extended
// attributes, else its field's, else the base colour of the field
// attribute (unprotected green, unprotected intensified red, protected
// blue, protected intensified white); an unformatted screen green.
TUiCells RenderCells(const std::vector<TScreenCell>& cells);

// What the status line shows.
struct TUiStatus {
    std::string host;        // "HOST:PORT"
    bool connected = false;
    bool tn3270e = false;
    bool tls = false;        // the connection runs over TLS
    std::string lu;          // empty: none
    TSessionState state = TSessionState::ssNone;
    std::string keyboard;    // the lock text ("SYSTEM", "SENDING"), empty when free
    bool insert = false;
    std::string message;     // the last refusal, empty when none
    std::int32_t cursorRow = 1, cursorCol = 1;  // 1-based
    bool operator==(const TUiStatus&) const = default;
};

// The status line, exactly `width` characters:
//   X SYSTEM  127.0.0.1:3270 TN3270E TLS LU SIM00001 LU-LU          INS 05/020
// A message takes the place of the connection details until the next key.
std::string StatusLine(const TUiStatus& status, std::int32_t width);

// ---------------------------------------------------------------- model

// Everything the terminal shows; drawn again only when it differs.
struct TUiFrame {
    std::int32_t rows = 0, cols = 0;  // the screen's
    TUiCells cells;
    TUiStatus status;
    bool help = false;
    bool operator==(const TUiFrame&) const = default;
};

struct TUiOutcome {
    bool quit = false;
    bool beep = false;   // a refusal: the terminal rings
    bool repaint = false;  // draw everything again (Reset)
};

class TTerminalUiModel {
public:
    explicit TTerminalUiModel(TOperator& session);

    // One key: edits, moves, sends, or is refused with a message and a beep.
    TUiOutcome HandleKey(const TKeyEvent& key);
    TUiFrame Frame();

    bool InsertMode() const { return session_.InsertMode(); }
    const std::string& Message() const { return message_; }

private:
    TUiOutcome Apply(const TUiAction& action);
    TUiOutcome Refuse(std::string message);

    TOperator& session_;
    bool escape_ = false;
    bool help_ = false;
    std::string message_;
};
