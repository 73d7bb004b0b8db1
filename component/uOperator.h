// The operator interface: one TN3270E session driven as an operator and a
// robot drive it, for every front end (the tn3270 script and terminal, the
// Python module, the s3270 protocol, the load driver) and for C++ programs
// that embed a session. It owns a TTn3270E and works on it through the
// component's own lock; the caller never touches the field lists, the
// screen buffer or the lock.
//
//   TOperator op;
//   if (!op.Connect("mainframe.example", 23)) ...;       // op.LastError()
//   op.Wait(TWaitCondition::Of(TWaitKind::InputField), 10s);
//   op.SetField(TFieldRef::ByIndex(0), "DEMO");
//   op.Key(TTn3270AidKey::akEnter);
//   op.Wait(TWaitCondition::Of(TWaitKind::Screen), 10s);
//   std::string answer = op.ReadText(5, 0, 80);             // row 6, 0-based
//
// Results. Every operation that can be refused returns TOperatorError: Ok()
// or a kind and the message the tn3270 script prints for it; the same is
// kept as LastError() (cleared by the next operation that succeeds).
//
// Waits and marks. The actions that make the host act (Connect, Disconnect,
// Key) take a mark of every event counter (screen, lock, unlock, connect,
// connection failure, disconnect); a wait is satisfied by an event counted
// after the mark, so the screen a key brought counts even when it came
// before the wait began; a satisfied wait moves the mark of its own event,
// so a second Screen wait waits for another screen. The marks belong to
// this object. Each wait is a condition, a deadline and a completion:
// StartWait begins it and returns at once; the completion is a callback
// and ReadyFd() becoming readable. Wait() is the blocking form on top.
//
// Threads. Every member takes the component's session lock itself where it
// reads or changes the session, and never calls a handler while holding it.
// One caller at a time: the members are not for several threads
// at once (a front end serialises its callers). The component's handlers
// run on its reader thread (or dispatcher) meanwhile: they only count,
// complete the pending wait and call the change callback. Do not replace the component's On...
// handlers: this object owns them; a front end that wants to hear of every
// change (to repaint, to wake its loop) registers SetOnChange. A blocking Wait called on a thread that
// delivers this session's events (inside one of its handlers, while holding
// its session lock, or on its dispatcher's thread) is refused (Refused,
// fault WrongThread) instead of dead-locking; StartWait is allowed there.
//
// Lifetime: the destructor ends the connection (no handler runs after it)
// and cancels a pending wait without calling its callback; a completion
// running on another thread is waited for. Not while another thread is
// inside a member.
#pragma once

#include "component/uOperatorWait.h"
#include "component/uScreenExport.h"
#include "component/uTn3270E.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The kind of a refusal; the message says the same in words.
enum class TOperatorFault {
    None,
    NotConnected,    // "not connected"
    ConnectFailed,   // "cannot connect to HOST:PORT[: TLS reason]"
    UnknownField,    // "no input field 7 (the screen has 3)", "no field R9C9"
    Protected,       // "field R5C20 is protected", "position 5,20 is protected"
    Numeric,         // "numeric field at 5,20 takes only 0-9 . -"
    FieldFull,       // too long for the field, or no room to insert
    NotCarried,      // "character € cannot be sent in cp037", "\x00 or \x01"
    KeyboardLocked,  // "SYSTEM: keyboard locked, input refused"
    FieldStart,      // Backspace at the first position of a field
    NothingToType,   // "nothing to type"
    OutOfRange,      // a position off the screen
    Busy,            // another wait of this operator is pending
    WrongThread,     // a blocking wait on a thread that delivers the session's events
    Io,              // a file could not be written
};

struct TOperatorError {
    TOperatorFault Fault = TOperatorFault::None;
    std::string Message;
    bool Ok() const { return Fault == TOperatorFault::None; }
    explicit operator bool() const { return Ok(); }
};

// A position, 0-based, and the same as an offset into the screen.
struct TCursor {
    std::int32_t Row = 0, Col = 0, Offset = 0;
};

// A field of the screen: by its index among the records of
// UnprotectedFields (as `set 0` counts), by its record name ("R5C20", any
// case), or by a position inside it (0-based).
struct TFieldRef {
    enum class TBy { Index, Name, Position } By = TBy::Index;
    std::int32_t Number = 0;        // Index
    std::string Name;               // Name
    std::int32_t Row = 0, Col = 0;  // Position
    static TFieldRef ByIndex(std::int32_t index) { return {TBy::Index, index, {}, 0, 0}; }
    static TFieldRef ByName(std::string name) { return {TBy::Name, 0, std::move(name), 0, 0}; }
    static TFieldRef At(std::int32_t row, std::int32_t col) { return {TBy::Position, 0, {}, row, col}; }
    // "0", "12": an index; anything else a name (as the script reads it).
    static TFieldRef Parse(std::string_view text);
};

// One 3270 field: one field attribute and the positions after it, even
// when it runs over several rows and is published as several records.
struct TOperatorField {
    std::string Name;           // the first record's name, "R5C20"
    std::int32_t Index = -1;    // the first record's index in UnprotectedFields; -1 protected
    std::int32_t Records = 1;   // how many records make it up
    std::int32_t Start = 0;     // offset of its first character position
    std::int32_t Row = 0, Col = 0;  // of Start, 0-based
    std::int32_t Length = 0;    // character positions
    std::int32_t Attribute = -1;  // offset of its field attribute; -1 unformatted or text record
    std::uint8_t Attr = 0;      // 3270 field attribute byte (0x20 protected, 0x10 numeric, 0x0C display, 0x01 MDT)
    std::uint8_t Eab = 0;       // extended attributes of the first record
    bool Protected = false, Numeric = false, Hidden = false, Intensified = false, Modified = false;
    T3270Color Color = T3270Color::Default;  // as the screen shows its first position
    std::string Text;           // what the positions show, local set (blanks for nulls and hidden)
};

struct TKeyboardState {
    bool Locked = false;
    std::string Text;  // "SYSTEM", "SENDING", ...; empty when unlocked
};

// Everything the script's `status` prints, as data.
struct TOperatorStatus {
    bool Connected = false;
    std::string Target;           // "HOST:PORT", empty before the first Connect
    TSessionState SessionState = TSessionState::ssNone;
    TKeyboardState Keyboard;
    bool Tn3270E = false;
    std::string TerminalType;     // "IBM-3278-2-E"
    std::string LuName;           // empty: none
    // Agreed TN3270E functions ("bind-image", "data-stream-ctl",
    // "responses", "scs-ctl-codes", "sysreq"); empty when not TN3270E.
    std::vector<std::string> Functions;
    std::uint64_t Screens = 0;    // screens published (events counted)
    bool Formatted = false;
    std::int32_t Rows = 0, Cols = 0;   // the current size (24x80 until an Erase/Write Alternate)
    std::int32_t Model = 2;           // the component's Model
    TScreenSize Alternate;            // its alternate size (the model's or the oversize)
    TCursor Cursor;
    bool InsertMode = false;
    bool TlsAsked = false;        // TlsMode is not tmNone
    TTlsInfo Tls;                 // the open connection's TLS; empty Protocol: none
    std::string TlsError;         // why TLS failed or ended the last connection
};

class TOperator {
public:
    using TWaitCallback = std::function<void(TWaitResult)>;

    // timers: where deadlines go (the process-wide timer thread by default).
    explicit TOperator(std::shared_ptr<ITimerQueue> timers = TTimerThread::Shared());
    ~TOperator();
    TOperator(const TOperator&) = delete;
    TOperator& operator=(const TOperator&) = delete;

    // The component, for its settings (DeviceName, TerminalType, Extended,
    // DebugLevel, ConversionTable, TLS, Timings), before Connect. Its On...
    // handlers are this object's.
    TTn3270E& Component() { return tn_; }

    // ---- connection (take a mark)
    // Connects (closing an open connection first); ConnectFailed "cannot
    // connect to HOST:PORT" (": " and the TLS reason when TLS failed).
    // A host with ':' is shown in brackets.
    TOperatorError Connect(const std::string& host, std::int32_t port);
    // Connect without waiting for the outcome where the transport does not
    // block (the event loop): a Connect wait then says how it ended, and
    // ConnectError gives the error of a failure. On the reader-thread
    // transport it returns once the connect has ended. ConnectFailed only
    // when the attempt has failed already.
    TOperatorError StartConnect(const std::string& host, std::int32_t port);
    // The ConnectFailed error of the last connect (made LastError).
    TOperatorError ConnectError();
    // NotConnected when there is no connection.
    TOperatorError Disconnect();
    bool IsConnected() const;
    // "HOST:PORT" of the last Connect, empty before.
    const std::string& Target() const { return target_; }

    // ---- cursor (moving it is never refused on a connected session; the
    // position goes to the screen buffer, and both lists' CursorPos follow)
    TOperatorError MoveCursor0(std::int32_t row, std::int32_t col);  // 0-based
    TOperatorError MoveCursor1(std::int32_t row, std::int32_t col);  // 1-based, as the script's `cursor`
    TOperatorError MoveCursorOffset(std::int32_t offset);
    // The 3270 cursor keys (see display/uTypingEngine.h); NotConnected only.
    TOperatorError Tab();
    TOperatorError BackTab();
    TOperatorError Home();
    TOperatorError Newline();  // first input position of the next row with one
    TOperatorError Left();
    TOperatorError Right();
    TOperatorError Up();
    TOperatorError Down();
    TCursor Cursor();

    // ---- typing at the cursor (local character set). Refused when not
    // connected, when the keyboard is locked (unless SetTypeAhead(true)),
    // and at the first character the field or the code page does not take;
    // the characters before it stay typed and the message says how many
    // ("position 5,20 is protected (3 of 8 characters typed)").
    TOperatorError Type(std::string_view text);
    // Insert mode: Type shifts the rest of the field right (FieldFull when
    // the field's last position is not a null). Reset ends it.
    void SetInsertMode(bool on) { insert_ = on; }
    bool InsertMode() const { return insert_; }
    // Typing and editing while the host holds the keyboard (a script that
    // types ahead of the host's unlock): false by default.
    void SetTypeAhead(bool on) { typeAhead_ = on; }
    TOperatorError Delete();
    TOperatorError Backspace();
    TOperatorError EraseEof();
    // Every unprotected field emptied (nulls), cursor to the first one.
    TOperatorError EraseInput();
    // The field under the cursor emptied, cursor to its first position.
    TOperatorError DeleteField();
    // The DUP and FIELD MARK keys: X'1C' or X'1E' into the field (sent to
    // the host as such, shown as '*' and ';'), then Tab or one position on.
    // Protected, KeyboardLocked, NotConnected as typing.
    TOperatorError Dup();
    TOperatorError FieldMark();
    // The message of a character the code page cannot carry to the host
    // and back ("character € cannot be sent in cp037"), or nothing: the
    // one check of every way of entering text. Takes the lock.
    std::optional<std::string> CharacterRefusal(std::string_view text);

    // ---- fields
    // The field; UnknownField when there is none, OutOfRange off the screen.
    TOperatorError Field(const TFieldRef& ref, TOperatorField& out);
    // Every field of the screen in screen order (one per 3270 field).
    std::vector<TOperatorField> Fields();
    // Types text into an unprotected field as `set` does: the records of
    // the field get it in order, Erase EOF over the field and then the
    // text; each record is marked modified. Errors: not connected, no such
    // field, protected, \x00 or \x01, a character the code page cannot
    // carry, text longer than the field (FieldFull "text of 9 characters
    // does not fit field R5C20 of 8"). Not refused while locked.
    TOperatorError SetField(const TFieldRef& ref, std::string_view text);

    // ---- keys (take a mark)
    // Any AID (Enter, Clear, PF1-24, PA1-3), SysReq or ATTN. NotConnected;
    // KeyboardLocked for an AID while the host holds the keyboard (unless
    // SetTypeAhead(true)); ATTN and SysReq always go.
    TOperatorError Key(TTn3270AidKey key);
    // Reset: insert mode off, LastError cleared. Sends nothing.
    void Reset();
    // "enter", "clear", "pf1".."pf24", "pa1".."pa3", "sysreq", "attn" (any case).
    static std::optional<TTn3270AidKey> ParseKeyName(std::string_view name);
    // The lower-case name of a key ("pf12"); "" for akNoOp.
    static std::string KeyName(TTn3270AidKey key);

    // ---- reading (UTF-8 unless said otherwise; positions 0-based)
    std::vector<std::string> Rows();
    // length positions from (row, col), running on over row ends, cut at
    // the screen's end. OutOfRange (and "") when the start is off the screen.
    TOperatorError ReadText(std::int32_t row, std::int32_t col, std::int32_t length, std::string& out);
    std::string ReadText(std::int32_t row, std::int32_t col, std::int32_t length);
    TOperatorError ReadRegion(std::int32_t row, std::int32_t col, std::int32_t rows, std::int32_t cols,
                              std::vector<std::string>& out);
    std::vector<TScreenCell> Cells();
    TKeyboardState Keyboard();
    bool Formatted();
    std::int32_t ScreenRows();
    std::int32_t ScreenCols();
    TOperatorStatus Status();
    // The script's `status` lines ("connected yes", "host H:P", ...).
    std::vector<std::string> StatusLines();
    // The script's `fields` lines (TScreenExport::FieldLines).
    std::vector<std::string> FieldLines();
    // Screens counted since construction.
    std::uint64_t Screens() const;

    // ---- export
    // Rows joined by "\n", with a final "\n".
    std::string ScreenText();
    // TScreenExport::Html with the status line "HOST:PORT LU keyboard".
    std::string ScreenHtml(bool withStatusLine = true);
    // Writes ScreenText or ScreenHtml to the file (Io with the reason).
    TOperatorError SaveText(const std::string& path);
    TOperatorError SaveHtml(const std::string& path, bool withStatusLine = true);

    // ---- waits (timeout: from now; the condition as of TWaitCondition)
    //   Screen:     a screen published since the mark; after a key with an
    //               AID only once the host has also unlocked the keyboard
    //               after that key (or changed the session state), so the
    //               screen is the whole answer to the key.
    //   Unlock:     an unlock since the mark; or, when no lock came since the
    //               mark and no key waits for its answer, the keyboard is
    //               unlocked and a screen has arrived on this connection.
    //   Connect:    a connection made since the mark, or connected now
    //               (Failed: an attempt failed since the mark).
    //   Disconnect: a disconnection since the mark, or not connected now.
    //   Text, TextAt, InputField, CursorAt: the screen shows it (now or at
    //               a later event).
    // All but Connect and Disconnect end with Ended when the connection is
    // gone and the condition does not hold.
    //
    // Begins the wait; false (and done is not called) when refused: Busy
    // while another wait is pending, OutOfRange for a position off the
    // screen. done(result) runs once, outside every lock: on this thread
    // before StartWait returns when decided at once, else on the thread of
    // the event that decided it (the reader, a handler's thread) or the
    // timer's. It must not block; it may start the next wait. At the same
    // moment ReadyFd() becomes readable.
    bool StartWait(const TWaitCondition& condition, std::chrono::milliseconds timeout, TWaitCallback done = {});
    // Ends the pending wait with Cancelled (done is called); false when none.
    bool CancelWait();
    // Readable from the completion of a wait begun with StartWait until the
    // next StartWait or TakeWaitResult (a blocking Wait does not raise it);
    // the descriptor lives as long as this object.
    int ReadyFd() const;
    // The result of the last completed wait, once (clears ReadyFd); nothing
    // while it is pending or when there is none.
    std::optional<TWaitResult> TakeWaitResult();
    // Blocking: the same wait, this thread sleeping until it is decided.
    // Refused (WrongThread) on a thread that delivers this session's events
    // and inside a wait's completion (on the timer's thread it would wait
    // for itself).
    TWaitResult Wait(const TWaitCondition& condition, std::chrono::milliseconds timeout);

    // ---- change notification
    // changed() runs after each event of the session (screen, keyboard lock
    // and unlock, connect, connection failure, session state, disconnect)
    // has been counted, before the pending wait is decided (a wait that ends
    // on the event finds the callback has run): on the thread that
    // delivers the event (the reader, the dispatcher's, or the caller's own
    // inside Connect, Disconnect and Key), never under the session lock or
    // this object's mutex. It is for noting the change (waking a front
    // end's loop): it must not block, and must not call this object, whose
    // members belong to the front end's one caller; what it throws is
    // dropped. Replaces the callback set before; an empty one removes it.
    // Any thread may call this; a replaced callback may still be running on
    // a delivering thread when it returns.
    void SetOnChange(std::function<void()> changed);

    // The last refusal; Ok after an operation that succeeded.
    const TOperatorError& LastError() const { return error_; }

private:
    struct TState;
    TOperatorError Succeed();
    TOperatorError Fail(TOperatorFault fault, std::string message);
    void MarkAction();
    // Runs an edit of the screen under the lock through the typing engine;
    // NotConnected / KeyboardLocked first.
    // asked: the characters typed, for the message of a refusal.
    template <class F>
    TOperatorError Edit(bool refuseLocked, std::size_t asked, F&& edit);
    template <class F>
    TOperatorError MoveWith(F&& move);
    TOperatorError Refusal(const TTypeResult& r, std::size_t asked);
    // Dup and FieldMark: the order's EBCDIC code through the code page.
    TOperatorError Order(std::uint8_t ebcdic, bool dup);
    // Whether the screen shows what a content wait looks for; takes the lock.
    bool ContentHolds(const TWaitCondition& condition);
    // Decides the pending wait after an event or an action; no lock held.
    void Recheck();
    // Runs the change callback; no lock held.
    void Changed();
    // StartWait's work; the wait's generation, 0 when refused.
    std::uint64_t Begin(const TWaitCondition& condition, std::chrono::milliseconds timeout, TWaitCallback done,
                        bool raiseFd);

    std::shared_ptr<TState> state_;  // shared with the handlers and timers
    std::string target_;
    TOperatorError error_;
    bool insert_ = false;
    bool typeAhead_ = false;

    // Last: destroyed first, so that no handler outlives the members above.
    TTn3270E tn_;
};
