// One TN3270E session as the tn3270 program drives it: the component, the
// events it raised counted, waits for them, and the screen, field and key
// operations of the script commands, each with the error a user can cause
// as a message instead of a crash.
//
// Waits and marks. Every event kind (screen, keyboard lock and unlock,
// connect, connection failure, disconnect) has a counter that the
// component's handlers raise, on whatever thread they run, and a condition
// variable the waits sleep on (no polling). A wait must also see the events
// that its cause produced before the wait began (the screen a key brought
// may arrive before `wait screen` is read), so the actions that make the
// host act (Connect, Disconnect, Key) take a mark of every counter first,
// and a wait is satisfied by an event counted after the mark. A satisfied
// wait moves the mark of its own event, so a second `wait screen` waits for
// another screen.
//
// Threads: one application thread calls the members (they are not meant
// for several callers at once); the component's handlers may run on its
// reader thread at the same time. Screen and list access happens under the
// component's session lock; handlers take only this object's own mutex.
#pragma once

#include "component/uTn3270E.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The attention key named by a script ("enter", "clear", "pf1".."pf24",
// "pa1".."pa3", "sysreq", "attn"; any case), or nothing.
std::optional<TTn3270AidKey> ParseKeyName(std::string_view name);

enum class TWaitEvent { Screen, Unlock, Connect, Disconnect };

// What kind of error the last refused operation met, for callers that
// answer each kind differently (the Python module raises one exception
// class per kind); the message says the same in words.
enum class TSessionFault {
    None,
    NotConnected,   // no connection (or it ended)
    ConnectFailed,  // the host could not be reached
    UnknownField,   // no field of that index or name
    Protected,      // a protected field or position
    TooLong,        // text longer than the field
    Refused,        // a character the field or the code page does not take; nothing to type
    OutOfRange,     // a cursor position off the screen
};

enum class TWaitResult {
    Ok,
    Timeout,
    // The connection ended (or was never there) before the event came.
    Ended,
    // Connect: the connection attempt failed.
    Failed,
};

class TTerminalSession {
public:
    TTerminalSession();
    // Destroys the component first (its reader stops; no handler runs after).
    ~TTerminalSession();
    TTerminalSession(const TTerminalSession&) = delete;
    TTerminalSession& operator=(const TTerminalSession&) = delete;

    // The component, for its settings (DeviceName, TerminalType, Extended,
    // DebugLevel, DebugDir, ConversionTable, Timings). Set them before
    // Connect. Do not replace its On... handlers: this object owns them.
    TTn3270E& Component() { return tn_; }

    // Connects (closing an open connection first). False with a message
    // when the host cannot be reached.
    bool Connect(const std::string& host, std::int32_t port, std::string& error);
    // False with "not connected" when there is no connection.
    bool Disconnect(std::string& error);
    bool IsConnected() const;
    // Why TLS (or START_TLS) failed or ended the last connection; empty when
    // it did not. Other failures keep the messages they always had.
    std::string TlsError() const;
    // "HOST:PORT" of the last Connect, empty before.
    std::string Target() const;

    // Waits until the event has happened since the last action (see the
    // header comment), or the timeout passes.
    //   Screen:     a screen published since the mark; after a key with an
    //               AID (Enter, Clear, PF, PA) only once the host has also
    //               unlocked the keyboard after that key (or changed the
    //               session state: BIND, UNBIND), so the screen is
    //               the one the key caused, whole, even when the host sends
    //               it in several records and the reader does not pause.
    //   Unlock:     an unlock since the mark; or, when the mark saw no lock
    //               come and no key waits for its answer, the keyboard is
    //               unlocked and a screen has arrived on this connection.
    //   Connect:    a connection made since the mark, or connected now.
    //   Disconnect: a disconnection since the mark, or not connected now.
    // Screen and Unlock end with Ended when the connection is gone first.
    TWaitResult Wait(TWaitEvent event, std::chrono::milliseconds timeout);
    // Waits until the screen (or a host text message in the field list)
    // shows the text (local character set); true at once when it already
    // does. Ended when the connection is gone and the text is not there.
    TWaitResult WaitText(const std::string& text, std::chrono::milliseconds timeout);

    // The screen's rows (UTF-8) and then "cursor ROW COL".
    std::vector<std::string> ScreenLines();
    // One line per host field (see RenderFields).
    std::vector<std::string> FieldLines();
    // connected, host, session state, keyboard, tn3270e, terminal type, lu,
    // functions, screens; with TLS asked for, tls (protocol, cipher,
    // verified or not-verified; "off" while not up); after a TLS failure,
    // last-error: one "name value" line each.
    std::vector<std::string> StatusLines();

    // Types text (local character set) into an unprotected field: an index
    // into UnprotectedFields ("0", "1", ...) or a record name ("R5C20", any
    // case). The text fills the record and the records that continue the
    // same 3270 field after it (over a row end, or split by an extended
    // attribute change); each record that gets a different text is marked
    // modified. Errors: not connected, no such field, a protected field,
    // text longer than the field, the characters 0x00 and 0x01 (the
    // screen's own markers), a character the conversion table in use
    // (ConversionTable: code page or file) cannot carry to the host and
    // back (the euro sign in cp037, 'ä' in the built-in table).
    bool SetField(const std::string& field, const std::string& text, std::string& error);
    // Types text (local character set) at the cursor as an operator would
    // (TTn3270E::Type). Errors: not connected, empty text, and the first
    // character refused ("position 5,20 is protected", ...); the
    // characters before it stay typed.
    bool Type(const std::string& text, std::string& error);
    // Moves the cursor (1-based row and column) for the next key.
    bool SetCursor(std::int32_t row, std::int32_t col, std::string& error);
    // Sends an attention key. Error when not connected.
    bool Key(TTn3270AidKey key, std::string& error);

    // Events counted so far (tests and diagnostics).
    std::uint64_t Screens() const;
    // The kind of the error the last refused operation returned; None
    // after an operation that succeeded.
    TSessionFault LastFault() const { return fault_; }

private:
    struct Counters {
        std::uint64_t screen = 0, lock = 0, unlock = 0, connect = 0, fail = 0, disconnect = 0;
    };
    // Marks every counter: the waits that follow see only later events.
    void MarkAction();
    // The message for the first character of text the session's tables
    // cannot carry; nothing when they carry all. Under the session lock.
    std::optional<std::string> CharacterNotCarried(const std::string& text);
    bool ScreenShows(const std::string& text);
    // Records the fault and the message; returns false (the failed result).
    bool Fail(std::string& error, TSessionFault fault, std::string message);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Counters counts_;          // guarded by mutex_
    Counters marks_;           // guarded by mutex_
    bool connected_ = false;   // guarded by mutex_: from the connect/disconnect events
    bool locked_ = false;      // guarded by mutex_: from the lock/unlock events
    // False from a key with an AID until the host unlocks the keyboard,
    // changes the session state, or the connection ends; guarded by mutex_.
    bool keyAnswered_ = true;
    std::uint64_t screensOnConnection_ = 0;  // guarded by mutex_
    std::string target_;       // application thread only
    TSessionFault fault_ = TSessionFault::None;  // application thread only

    // Last: destroyed first, so that no handler outlives the members above.
    TTn3270E tn_;
};
