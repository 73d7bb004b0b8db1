// One s3270-protocol session: a TOperator driven by action lines, each
// answered as s3270 answers it: zero or more "data: " lines, the status
// line (uS3270Status), then "ok" or "error". The actions themselves are
// in uS3270Actions; this unit keeps the session's own state (the host as
// the script named it, the operator-error lock, the saved Snap screen,
// the screen count of the last read for Wait(Output)), frames the
// answers, and runs the loop over standard input and output or over one
// script-port client at a time.
//
// Threads: one thread runs the actions; the operator's reader thread
// delivers the host's screens meanwhile.
#pragma once

#include "component/uOperator.h"
#include "tools/uS3270Options.h"
#include "tools/uS3270Status.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A wait with no time-out in the script waits this long (s3270 waits for
// ever; a day stands for that without overflowing a deadline).
inline constexpr std::chrono::milliseconds kS3270Forever{24LL * 3600 * 1000};
// The longest action line read; a longer one is answered with an error.
inline constexpr std::size_t kS3270MaxLine = 64 * 1024;
// How often a wait for NVT mode looks again (nothing signals the mode).
inline constexpr std::chrono::milliseconds kS3270NvtPoll{10};

// What one action answers: its data lines and whether it failed.
struct TS3270Reply {
    std::vector<std::string> data;
    bool error = false;
    // Adds the message's lines as data and marks the answer an error.
    void Fail(std::string_view message);
};

// The screen as Ascii, Ebcdic and ReadBuffer read it: every position's
// character as UTF-8 and as its EBCDIC code, the cells with their
// attributes, and the field attribute bytes.
struct TS3270Screen {
    std::int32_t rows = 0, cols = 0;
    std::vector<std::string> text;     // per position, UTF-8 (one character)
    std::vector<std::uint8_t> ebcdic;  // per position; 0 for nulls and field attributes
    std::vector<TScreenCell> cells;
    // Per position: the graphic escape code (0: none), and the colour and
    // highlighting bits the character has of its own (Set Attribute; 0
    // where they are its field's).
    std::vector<std::uint8_t> ge;
    std::vector<std::uint8_t> charAttrs;
    std::vector<TOperatorField> fields;
    std::string status;                // the status line without its time (Snap)
    TCursor cursor;
    bool formatted = false;
};

class TS3270Session {
public:
    explicit TS3270Session(TS3270Options options, std::ostream& log);
    ~TS3270Session();
    TS3270Session(const TS3270Session&) = delete;
    TS3270Session& operator=(const TS3270Session&) = delete;

    // Runs one action line and returns its whole answer, each line ended
    // by '\n'. An empty line answers the status line and ok.
    std::string Execute(std::string_view line);
    // Quit or Exit ran: the caller stops reading.
    bool QuitRequested() const { return quit_; }

    // Reads actions from the descriptor, answers to the other, until end
    // of input or Quit. False when a write failed.
    bool Serve(int in, int out);
    // -scriptport: listens on [addr:]port (loopback when no address) and
    // serves one client at a time until one quits. Returns the exit code.
    int ServeScriptPort(const std::string& where);

    // ---- for the actions
    TOperator& Op() { return op_; }
    const TS3270Options& Options() const { return options_; }
    TS3270StatusFields StatusFields();
    // The screen now (read: the next Wait(Output) waits for a newer one).
    // After the connection ended, the last screen it showed, as s3270
    // keeps it.
    TS3270Screen ReadScreen(bool markRead = true);
    TCursor Cursor();
    bool Formatted();
    // Connect as the Connect action names the host ("L:lu@host:port").
    void Connect(const std::string& target, TS3270Reply& r);
    void Disconnect();
    const std::string& LastTarget() const { return lastTarget_; }
    // Sends an AID and waits until the host has answered and unlocked, or
    // the connection ended. Swallowed (answered ok) while locked.
    void Aid(TTn3270AidKey key, TS3270Reply& r);
    // Types UTF-8 text at the cursor; a refusal locks the keyboard with
    // an operator error as a terminal does.
    void Type(std::string_view text, TS3270Reply& r);
    // The same with text in the screen's local character set.
    void TypeLocal(std::string_view local, TS3270Reply& r);
    // Whether typing and keys may go on; answers the refusal when not.
    bool KeyboardUsable(TS3270Reply& r);
    // A refused edit (protected, numeric, full field) locks the keyboard.
    void OperatorError(TS3270Reply& r, const char* message = "Keyboard locked\nOperator error");
    void ResetKeyboard();
    bool OperatorLocked() const { return opLocked_; }
    std::uint64_t ScreensRead() const { return screensRead_; }
    void MarkScreensRead(std::uint64_t n) { screensRead_ = n; }
    std::optional<TS3270Screen>& Snap() { return snap_; }
    void RequestQuit() { quit_ = true; }
    bool Utf8() const { return utf8_; }
    // NVT mode: connected, and what the host sent last is text (a TN3270E
    // NVT-DATA record, or a text record before binary mode), which the
    // component shows as lines instead of a 3270 screen.
    bool InNvtMode();
    // Until NVT mode or the deadline; false when it did not come.
    bool WaitNvtMode(std::chrono::steady_clock::time_point deadline);
    // The ConnectionState Query answers.
    std::string ConnectionState();
    // Source(file): runs its actions; nesting is bounded.
    int& SourceDepth() { return sourceDepth_; }
    // The terminal name s3270 sends for the model ("IBM-3279-2-E").
    std::string TerminalName();
    // The model's own name, as Query(Model) answers it ("IBM-3279-4-E"):
    // the terminal name, except that an oversize screen sends IBM-DYNAMIC.
    std::string ModelName();
    std::ostream& Log() { return log_; }
    // Set(model), Set(oversize), Set(accepthostname): refused while
    // connected; otherwise taken now and used from the next Connect on.
    // A new model or oversize shows a blank screen of its size meanwhile,
    // as s3270 does.
    void SetModel(const std::string& text, TS3270Reply& r);
    void SetOversize(const std::string& text, TS3270Reply& r);
    void SetAcceptHostname(const std::string& name, TS3270Reply& r);

private:
    void ApplySettings();
    TS3270Screen Capture(bool withStatus);
    TS3270Screen Build(const TOrvTn3270display& screen);
    void Remember();
    bool ShowsLast() { return lastValid_ && !blank_ && !op_.IsConnected(); }
    bool ShowsBlank() { return blank_ && !op_.IsConnected(); }
    void ShowBlank();

    TS3270Options options_;
    std::ostream& log_;
    TOperator op_;
    std::string host_;        // the host as the script named it (status line)
    std::string lastTarget_;  // the last Connect's argument (Reconnect)
    bool opLocked_ = false;
    bool quit_ = false;
    bool utf8_ = true;
    std::uint64_t screensRead_ = 0;
    std::optional<TS3270Screen> snap_;
    // A copy of the screen buffer before the last action that could end
    // the connection (Disconnect, an AID): what the status and the reads
    // show once it has ended, as s3270 keeps showing its last screen. A
    // copy of the planes costs a few microseconds; the cells are made from
    // it only when asked for.
    std::unique_ptr<TOrvTn3270display> last_;
    bool lastValid_ = false;
    // The size of the blank screen a Set(model) or Set(oversize) shows
    // until the next Connect.
    std::optional<TScreenSize> blank_;
    // The copy a read works on, taken under the session lock at once so
    // that the text, cells and fields are of one screen.
    std::unique_ptr<TOrvTn3270display> scratch_;
    int sourceDepth_ = 0;
};
