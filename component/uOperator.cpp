// The operator interface over the TN3270E component.
#include "component/uOperator.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

namespace {

std::string Lower(std::string_view s)
{
    std::string out(s);
    for (auto& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string Upper(std::string_view s)
{
    std::string out(s);
    for (auto& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// "pf12" -> 12 for prefix "pf"; 0 when the rest is not a number in 1..max.
int Numbered(std::string_view name, std::string_view prefix, int max)
{
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix)
        return 0;
    const auto digits = name.substr(prefix.size());
    if (digits.size() > 2 || digits.front() == '0')
        return 0;
    int n = 0;
    const auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (ec != std::errc() || p != digits.data() + digits.size() || n < 1 || n > max)
        return 0;
    return n;
}

const char* StateName(TSessionState s)
{
    switch (s) {
    case TSessionState::ssNone: return "none";
    case TSessionState::ssSscpLu: return "sscp-lu";
    case TSessionState::ssLuLu: return "lu-lu";
    }
    return "none";
}

constexpr std::array<const char*, 5> kFunctionNames = {"bind-image", "data-stream-ctl", "responses",
                                                       "scs-ctl-codes", "sysreq"};

constexpr char kNotConnected[] = "not connected";
// An event-loop connect is watched this often, until the connect time-out
// and this slack have passed (the loop's own deadline ends it first).
constexpr std::chrono::milliseconds kConnectPoll{1};
constexpr std::chrono::milliseconds kConnectSlack{1000};
// The 3270 DUP and FIELD MARK codes (a display shows them as an overscored
// asterisk and semicolon).
constexpr std::uint8_t kDup = 0x1C, kFieldMark = 0x1E;
constexpr char kWrongThread[] =
    "a blocking wait cannot run on a thread that delivers the session's events "
    "(inside a handler or a wait's completion, holding the session lock, or on its dispatcher's thread)";

// Completions running on this thread: a blocking wait inside one would
// wait for the thread it runs on (the timer's, or a handler's).
thread_local int tlsInCompletion = 0;

bool IsContentKind(TWaitKind kind)
{
    return kind == TWaitKind::Text || kind == TWaitKind::TextAt || kind == TWaitKind::InputField ||
           kind == TWaitKind::CursorAt;
}

TOperatorFault FaultOf(TTypeRefusal r)
{
    switch (r) {
    case TTypeRefusal::trNone: return TOperatorFault::None;
    case TTypeRefusal::trProtected: return TOperatorFault::Protected;
    case TTypeRefusal::trNumeric: return TOperatorFault::Numeric;
    case TTypeRefusal::trNotCarried: return TOperatorFault::NotCarried;
    case TTypeRefusal::trNoRoom: return TOperatorFault::FieldFull;
    case TTypeRefusal::trFieldStart: return TOperatorFault::FieldStart;
    }
    return TOperatorFault::NotCarried;
}

// The records of HostFields that make up the 3270 field starting at index
// `first`: one field runs on over row ends, and a change of extended
// attribute inside it (the characters the host wrote carry the attribute in
// force, the empty rest of the field does not) starts a new record. The
// records that follow on without a field attribute between them are the
// rest of the same field.
std::vector<T3270Field*> RunFrom(TDSFields& hostFields, std::int32_t first)
{
    std::vector<T3270Field*> run;
    T3270Field* f = As3270Field(hostFields.Items(first));
    if (f == nullptr)
        return run;
    run.push_back(f);
    for (std::int32_t i = first + 1; i < hostFields.Count(); ++i) {
        T3270Field* next = As3270Field(hostFields.Items(i));
        const T3270Field* last = run.back();
        if (next == nullptr || next->GetEditable() != f->GetEditable() || next->GetPos() != last->GetPos() + last->Len)
            break;
        run.push_back(next);
    }
    return run;
}

}  // namespace

// ------------------------------------------------------------ field references

TFieldRef TFieldRef::Parse(std::string_view text)
{
    const bool index = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    if (!index)
        return ByName(std::string(text));
    TFieldRef ref = ByIndex(-1);
    std::int32_t n = -1;
    const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec == std::errc() && p == text.data() + text.size())
        ref.Number = n;
    ref.Name = std::string(text);  // for the message when there is no such field
    return ref;
}

// ------------------------------------------------------------ state

// What the handlers and the timer share with the operator. The handlers
// run while the component lives (it is destroyed first); the timers hold
// only a weak reference.
struct TOperator::TState {
    struct Counters {
        std::uint64_t screen = 0, lock = 0, unlock = 0, connect = 0, fail = 0, disconnect = 0;
    };

    explicit TState(std::shared_ptr<ITimerQueue> queue) : timers(std::move(queue)) {}

    std::shared_ptr<ITimerQueue> timers;
    TReadyFd ready;

    std::mutex mutex;
    std::condition_variable idle;  // callbacks == 0
    Counters counts;               // guarded by mutex
    Counters marks;                // guarded by mutex
    bool connected = false;        // from the connect/disconnect events
    bool locked = false;           // from the lock/unlock events
    // False from a key with an AID until the host unlocks the keyboard,
    // changes the session state, or the connection ends.
    bool keyAnswered = true;
    // Between a key's marks and the end of its SetAidKey: an unlock seen
    // then may be the one before the key (the keyboard not locked yet) or
    // the answer to it; Key decides once SetAidKey has locked the keyboard.
    bool keyInFlight = false;
    bool unlockDuringKey = false;
    std::uint64_t screensOnConnection = 0;

    // The pending wait, guarded by mutex.
    bool pending = false;
    std::uint64_t generation = 0;
    TWaitCondition condition;
    TWaitCallback done;
    ITimerQueue::TTimerId timer = 0;
    std::optional<TWaitResult> result;  // the last completed wait's, until taken
    bool raiseFd = true;   // the pending wait raises the descriptor (not a blocking Wait's)
    bool fdRaised = false;
    std::condition_variable completed;  // a wait finished (blocking Wait sleeps on it)
    int callbacks = 0;  // completions running outside the mutex
    std::thread::id callbackThread;  // where the last one runs
    // The front end's change callback (guarded by mutex; called outside it).
    std::shared_ptr<const std::function<void()>> onChange;

    void CountUnlock()
    {
        ++counts.unlock;
        locked = false;
        keyAnswered = true;
    }

    // The outcome of the pending wait now; content: whether the screen
    // shows what a content wait looks for (read before, under the session
    // lock). Under mutex.
    std::optional<TWaitResult> Decide(std::optional<bool> content) const
    {
        switch (condition.Kind) {
        case TWaitKind::Screen:
            // After a key, the screen the host has finished: the keyboard
            // unlocked since (the host's answer may come in several records).
            if (counts.screen > marks.screen && keyAnswered)
                return TWaitResult::Ok;
            break;
        case TWaitKind::Unlock:
            if (counts.unlock > marks.unlock)
                return TWaitResult::Ok;
            // Nothing locked the keyboard since the action (and no key
            // waits for its answer): it is the state now that counts, once
            // the host has written on this connection.
            if (keyAnswered && counts.lock == marks.lock && !locked && connected && screensOnConnection > 0)
                return TWaitResult::Ok;
            break;
        case TWaitKind::Connect:
            if (counts.connect > marks.connect || connected)
                return TWaitResult::Ok;
            if (counts.fail > marks.fail)
                return TWaitResult::Failed;
            return std::nullopt;
        case TWaitKind::Disconnect:
            if (counts.disconnect > marks.disconnect || !connected)
                return TWaitResult::Ok;
            return std::nullopt;
        case TWaitKind::Text:
        case TWaitKind::TextAt:
        case TWaitKind::InputField:
        case TWaitKind::CursorAt:
            if (content.value_or(false))
                return TWaitResult::Ok;
            break;
        }
        if (!connected)
            return TWaitResult::Ended;
        return std::nullopt;
    }

    // Ends the pending wait with result; under mutex. The caller wakes a
    // blocking Wait (completed) once it has released the mutex, so that the
    // waiter does not wake only to block on it. The event it took
    // is used: the next wait for it waits for a new one.
    TWaitCallback Finish(TWaitResult r)
    {
        if (r == TWaitResult::Ok) {
            switch (condition.Kind) {
            case TWaitKind::Screen: marks.screen = counts.screen; break;
            case TWaitKind::Unlock:
                marks.unlock = counts.unlock;
                marks.lock = counts.lock;
                break;
            case TWaitKind::Connect: marks.connect = counts.connect; break;
            case TWaitKind::Disconnect: marks.disconnect = counts.disconnect; break;
            default: break;
            }
        }
        pending = false;
        result = r;
        if (timer != 0)
            timers->Cancel(timer);  // never waits: a running timeout finds the wait gone
        timer = 0;
        if (raiseFd) {
            ready.Raise();
            fdRaised = true;
        }
        TWaitCallback cb = std::move(done);
        done = nullptr;
        if (cb) {
            ++callbacks;
            callbackThread = std::this_thread::get_id();
        }
        return cb;
    }

    // Runs a completion outside the mutex.
    void Call(TWaitCallback& cb, TWaitResult r)
    {
        if (!cb)
            return;
        ++tlsInCompletion;
        try {
            cb(r);
        } catch (...) {
            // A completion's exception has nowhere to go; the wait is over.
        }
        --tlsInCompletion;
        std::lock_guard lock(mutex);
        if (--callbacks == 0)
            idle.notify_all();
    }

    void TimedOut(std::uint64_t gen)
    {
        TWaitCallback cb;
        {
            std::lock_guard lock(mutex);
            if (!pending || generation != gen)
                return;
            timer = 0;  // it is this callback
            cb = Finish(TWaitResult::Timeout);
        }
        completed.notify_all();
        Call(cb, TWaitResult::Timeout);
    }
};

// ------------------------------------------------------------ construction

TOperator::TOperator(std::shared_ptr<ITimerQueue> timers) : state_(std::make_shared<TState>(std::move(timers)))
{
    // Handlers run on the reader thread (no windowed owner), on the
    // dispatcher's, or on the caller's for Connect and Disconnect, never
    // under the session lock: they count, tell the front end, then decide
    // the pending wait (a wait that ends on the event finds the callback run).
    auto count = [this](auto bump) {
        return [this, bump](TObject*) {
            {
                std::lock_guard lock(state_->mutex);
                bump(*state_);
            }
            Changed();
            Recheck();
        };
    };
    tn_.OnScreenChange = count([](TState& s) {
        ++s.counts.screen;
        ++s.screensOnConnection;
    });
    tn_.OnSystemLock = count([](TState& s) {
        ++s.counts.lock;
        s.locked = true;
    });
    tn_.OnSystemUnLock = [this](TObject*) {
        // The handlers of a block come after the screen's; a key sent in
        // between has locked the keyboard again. An unlock delivered then
        // was raised before that key and answers nothing it asked: counted,
        // it would let the key's Screen and Unlock waits end on the screen
        // that came before the key.
        const bool unlockedNow = tn_.GetStatus().empty();
        bool counted = false;
        if (unlockedNow) {
            std::lock_guard lock(state_->mutex);
            if (state_->keyInFlight) {
                state_->unlockDuringKey = true;
            } else {
                state_->CountUnlock();
                counted = true;
            }
        }
        Changed();
        if (counted)
            Recheck();
    };
    tn_.OnConnect = count([](TState& s) {
        ++s.counts.connect;
        s.connected = true;
        s.screensOnConnection = 0;
        s.keyAnswered = true;
        // What the last connection showed answers no wait on this one.
        s.marks.screen = s.counts.screen;
        s.marks.unlock = s.counts.unlock;
        s.marks.lock = s.counts.lock;
    });
    // A host that binds or unbinds the session has answered the key too.
    tn_.OnSessionState = count([](TState& s) { s.keyAnswered = true; });
    tn_.OnConnectionFail = count([](TState& s) { ++s.counts.fail; });
    tn_.OnDisconnect = count([](TState& s) {
        ++s.counts.disconnect;
        s.connected = false;
        s.keyAnswered = true;
    });
}

TOperator::~TOperator()
{
    std::unique_lock lock(state_->mutex);
    if (state_->pending) {
        state_->pending = false;
        state_->done = nullptr;
        if (state_->timer != 0)
            state_->timers->Cancel(state_->timer);
    }
    // A completion running on another thread finishes before the members
    // it may use go (one running on this thread is the caller itself).
    state_->idle.wait(lock, [this] {
        return state_->callbacks == 0 || state_->callbackThread == std::this_thread::get_id();
    });
}

// ------------------------------------------------------------ results

TOperatorError TOperator::Succeed()
{
    error_ = {};
    return error_;
}

TOperatorError TOperator::Fail(TOperatorFault fault, std::string message)
{
    error_ = TOperatorError{fault, std::move(message)};
    return error_;
}

void TOperator::MarkAction()
{
    std::lock_guard lock(state_->mutex);
    state_->marks = state_->counts;
}

// ------------------------------------------------------------ connection

TOperatorError TOperator::StartConnect(const std::string& host, std::int32_t port)
{
    const bool bracket = host.find(':') != std::string::npos;
    target_ = (bracket ? "[" + host + "]" : host) + ":" + std::to_string(port);
    MarkAction();
    {
        auto guard = tn_.Lock();
        tn_.Host = host;
        tn_.Port = port;
    }
    // Connect raises OnConnect or OnConnectionFail on this thread before it
    // returns (the handlers run once the lock is released); on the event
    // loop they follow on a loop thread.
    tn_.Connect();
    if (!tn_.ConnectPending() && !tn_.IsConnected())
        return ConnectError();
    return Succeed();
}

TOperatorError TOperator::Connect(const std::string& host, std::int32_t port)
{
    if (TOperatorError e = StartConnect(host, port); !e.Ok())
        return e;
    const auto connectEnd = std::chrono::steady_clock::now() + tn_.Timings.ConnectTimeout + kConnectSlack;
    while (tn_.ConnectPending() && std::chrono::steady_clock::now() < connectEnd)
        std::this_thread::sleep_for(kConnectPoll);
    if (!tn_.IsConnected())
        return ConnectError();
    return Succeed();
}

TOperatorError TOperator::ConnectError()
{
    std::string message = "cannot connect to " + target_;
    const std::string why = tn_.GetLastError();
    if (why.rfind("TLS:", 0) == 0)
        message += ": " + why;
    return Fail(TOperatorFault::ConnectFailed, std::move(message));
}

TOperatorError TOperator::Disconnect()
{
    if (!tn_.IsConnected())
        return Fail(TOperatorFault::NotConnected, kNotConnected);
    MarkAction();
    tn_.Disconnect();
    return Succeed();
}

bool TOperator::IsConnected() const
{
    return tn_.IsConnected();
}

// ------------------------------------------------------------ cursor

template <class F>
TOperatorError TOperator::MoveWith(F&& move)
{
    {
        auto guard = tn_.Lock();
        if (!tn_.IsConnected())
            return Fail(TOperatorFault::NotConnected, kNotConnected);
        tn_.MoveCursor(move);
    }
    Recheck();
    return Succeed();
}

TOperatorError TOperator::MoveCursorOffset(std::int32_t offset)
{
    {
        auto guard = tn_.Lock();
        if (!tn_.IsConnected())
            return Fail(TOperatorFault::NotConnected, kNotConnected);
        const TOrvTn3270display& screen = tn_.Tn3270Stream().Screen();
        if (!tn_.PlaceCursor(offset))
            return Fail(TOperatorFault::OutOfRange,
                        "cursor offset must be within 0-" + std::to_string(screen.Size - 1));
    }
    Recheck();
    return Succeed();
}

TOperatorError TOperator::MoveCursor0(std::int32_t row, std::int32_t col)
{
    std::int32_t rows = 0, cols = 0;
    {
        auto guard = tn_.Lock();
        rows = tn_.Tn3270Stream().Screen().Rows;
        cols = tn_.Tn3270Stream().Screen().Cols;
    }
    if (row < 0 || row >= rows || col < 0 || col >= cols)
        return Fail(TOperatorFault::OutOfRange, "cursor must be within rows 1-" + std::to_string(rows) +
                                                    " and columns 1-" + std::to_string(cols));
    return MoveCursorOffset(row * cols + col);
}

TOperatorError TOperator::MoveCursor1(std::int32_t row, std::int32_t col)
{
    return MoveCursor0(row - 1, col - 1);
}

TOperatorError TOperator::Tab() { return MoveWith([](TTypingEngine& e) { e.Tab(); }); }
TOperatorError TOperator::BackTab() { return MoveWith([](TTypingEngine& e) { e.BackTab(); }); }
TOperatorError TOperator::Home() { return MoveWith([](TTypingEngine& e) { e.Home(); }); }
TOperatorError TOperator::Newline() { return MoveWith([](TTypingEngine& e) { e.Newline(); }); }
TOperatorError TOperator::Left() { return MoveWith([](TTypingEngine& e) { e.Move(0, -1); }); }
TOperatorError TOperator::Right() { return MoveWith([](TTypingEngine& e) { e.Move(0, 1); }); }
TOperatorError TOperator::Up() { return MoveWith([](TTypingEngine& e) { e.Move(-1, 0); }); }
TOperatorError TOperator::Down() { return MoveWith([](TTypingEngine& e) { e.Move(1, 0); }); }

TCursor TOperator::Cursor()
{
    auto guard = tn_.Lock();
    const TOrvTn3270display& screen = tn_.Tn3270Stream().Screen();
    TCursor c;
    c.Offset = screen.inRange(screen.CursorPosition) ? screen.CursorPosition : 0;
    c.Row = screen.Cols > 0 ? c.Offset / screen.Cols : 0;
    c.Col = screen.Cols > 0 ? c.Offset % screen.Cols : 0;
    return c;
}

// ------------------------------------------------------------ typing

std::optional<std::string> TOperator::CharacterRefusal(std::string_view text)
{
    // A character the host code page does not have would reach the host as
    // something else (SUB, or the default table's '-'): the stream's
    // CanCarry decides for typing and `set` alike.
    auto guard = tn_.Lock();
    const TOrvTnStream& stream = tn_.Tn3270Stream();
    for (const char ch : text) {
        const auto c = static_cast<std::uint8_t>(ch);
        if (stream.CanCarry(c))
            continue;
        const std::string table = stream.TableName.empty() ? std::string("the built-in table") : stream.TableName;
        std::string shown;
        TScreenExport::AppendUtf8(shown, c);
        char code[8];
        std::snprintf(code, sizeof code, "\\x%02X", c);
        return "character " + (shown == " " && c != ' ' ? std::string(code) : shown) + " cannot be sent in " + table;
    }
    return std::nullopt;
}

TOperatorError TOperator::Refusal(const TTypeResult& r, std::size_t asked)
{
    const auto notCarried = r.Refusal == TTypeRefusal::trNotCarried
                                ? CharacterRefusal(std::string(1, static_cast<char>(r.Character)))
                                : std::nullopt;
    std::string message = notCarried ? *notCarried : r.Message();
    if (r.Typed > 0)
        message += " (" + std::to_string(r.Typed) + " of " + std::to_string(asked) + " characters typed)";
    return Fail(FaultOf(r.Refusal), std::move(message));
}

template <class F>
TOperatorError TOperator::Edit(bool refuseLocked, std::size_t asked, F&& edit)
{
    std::optional<TSessionGuard> guard(tn_.Lock());
    if (!tn_.IsConnected())
        return Fail(TOperatorFault::NotConnected, kNotConnected);
    const std::string lock = tn_.Tn3270Stream().Screen().Status;
    if (refuseLocked && !typeAhead_ && !lock.empty())
        return Fail(TOperatorFault::KeyboardLocked, lock + ": keyboard locked, input refused");
    const TTypeResult r = tn_.Edit(edit);
    guard.reset();
    Recheck();
    if (!r.Ok())
        return Refusal(r, asked);
    return Succeed();
}

TOperatorError TOperator::Type(std::string_view text)
{
    if (!tn_.IsConnected())
        return Fail(TOperatorFault::NotConnected, kNotConnected);
    if (text.empty())
        return Fail(TOperatorFault::NothingToType, "nothing to type");
    const bool insert = insert_;
    return Edit(true, text.size(), [&](TTypingEngine& engine) {
        TTypeResult r;
        for (const char ch : text) {
            const auto c = static_cast<std::uint8_t>(ch);
            if (!(insert ? engine.InsertChar(c, r) : engine.TypeChar(c, r)))
                break;
        }
        return r;
    });
}

TOperatorError TOperator::Delete() { return Edit(true, 0, [](TTypingEngine& e) { return e.DeleteChar(); }); }
TOperatorError TOperator::Backspace() { return Edit(true, 0, [](TTypingEngine& e) { return e.Backspace(); }); }
TOperatorError TOperator::EraseEof() { return Edit(true, 0, [](TTypingEngine& e) { return e.EraseEof(); }); }
TOperatorError TOperator::EraseInput() { return Edit(true, 0, [](TTypingEngine& e) { return e.EraseInput(); }); }
TOperatorError TOperator::DeleteField() { return Edit(true, 0, [](TTypingEngine& e) { return e.DeleteField(); }); }
TOperatorError TOperator::Dup() { return Order(kDup, true); }
TOperatorError TOperator::FieldMark() { return Order(kFieldMark, false); }

TOperatorError TOperator::Order(std::uint8_t ebcdic, bool dup)
{
    std::uint8_t code = 0;
    {
        auto guard = tn_.Lock();
        const TOrvTn3270stream& stream = tn_.Tn3270Stream();
        code = stream.Ebc2Asc(ebcdic);
        // A table that does not give the code back would send something else.
        if (tn_.IsConnected() && stream.Asc2Ebc(code) != ebcdic) {
            std::string message = dup ? "DUP" : "FIELD MARK";
            message.append(" cannot be sent in ").append(stream.TableName.empty() ? "the built-in table"
                                                                                  : stream.TableName);
            return Fail(TOperatorFault::NotCarried, std::move(message));
        }
    }
    return Edit(true, 0, [code, dup](TTypingEngine& e) { return dup ? e.Dup(code) : e.FieldMark(code); });
}

// ------------------------------------------------------------ fields

namespace {

// listsHoldText: the records are a host text message's lines, which the
// screen does not show (it may still hold the 3270 screen before them).
TOperatorField Describe(const TOrvTn3270display& screen, const TDSFields& unprotected,
                        const std::vector<T3270Field*>& run, const std::vector<TScreenCell>& cells,
                        bool listsHoldText)
{
    const T3270Field& first = *run.front();
    TOperatorField f;
    f.Name = first.GetName();
    f.Index = unprotected.IndexOf(&first);
    f.Records = static_cast<std::int32_t>(run.size());
    f.Start = first.GetPos() - 1;
    f.Row = screen.Cols > 0 ? f.Start / screen.Cols : 0;
    f.Col = screen.Cols > 0 ? f.Start % screen.Cols : 0;
    for (const T3270Field* r : run) {
        f.Length += std::max<std::int16_t>(r->Len, 0);
        f.Modified = f.Modified || r->GetModified();
    }
    f.Attr = first.Attr;
    f.Eab = first.Eab;
    f.Protected = !first.GetEditable();
    f.Numeric = first.GetNumeric();
    f.Hidden = !first.GetVisible();
    f.Intensified = first.GetHigh();
    const bool painted = !listsHoldText && screen.Formatted && screen.inRange(f.Start);
    if (painted) {
        const std::int32_t before = f.Start == 0 ? screen.Size - 1 : f.Start - 1;
        f.Attribute = screen.Chars[static_cast<std::size_t>(before)] == TOrvTndisplay::kFieldMarker
                          ? before
                          : screen.findPrevFA(f.Start);
        f.Color = cells[static_cast<std::size_t>(f.Start)].Color;
        const std::string shown = TScreenExport::LocalText(screen);
        for (std::int32_t k = 0, p = f.Start; k < f.Length; ++k, p = screen.next(p))
            f.Text.push_back(shown[static_cast<std::size_t>(p)]);
    } else {
        // A host text message: the records are the text, nothing is painted.
        for (const T3270Field* r : run) {
            std::string part = f.Hidden ? std::string(r->Data.size(), ' ') : r->Data;
            part.resize(static_cast<std::size_t>(std::max<std::int16_t>(r->Len, 0)), ' ');
            f.Text += part;
        }
    }
    return f;
}

}  // namespace

std::vector<TOperatorField> TOperator::Fields()
{
    auto guard = tn_.Lock();
    const TOrvTn3270display& screen = tn_.Tn3270Stream().Screen();
    const std::vector<TScreenCell> cells = TScreenExport::Cells(screen);
    const bool text = tn_.ListsHoldText();
    std::vector<TOperatorField> out;
    for (std::int32_t i = 0; i < tn_.HostFields.Count();) {
        const std::vector<T3270Field*> run = RunFrom(tn_.HostFields, i);
        if (run.empty()) {
            ++i;
            continue;
        }
        out.push_back(Describe(screen, tn_.UnprotectedFields, run, cells, text));
        i += static_cast<std::int32_t>(run.size());
    }
    return out;
}

TOperatorError TOperator::Field(const TFieldRef& ref, TOperatorField& out)
{
    auto guard = tn_.Lock();
    const TOrvTn3270display& screen = tn_.Tn3270Stream().Screen();
    std::int32_t index = -1;
    switch (ref.By) {
    case TFieldRef::TBy::Index:
        if (const TDSField* f = tn_.UnprotectedFields.Items(ref.Number))
            index = tn_.HostFields.IndexOf(f);
        if (index < 0)
            return Fail(TOperatorFault::UnknownField,
                        "no input field " + (ref.Name.empty() ? std::to_string(ref.Number) : ref.Name) +
                            " (the screen has " + std::to_string(tn_.UnprotectedFields.Count()) + ")");
        break;
    case TFieldRef::TBy::Name: {
        const std::string name = Upper(ref.Name);
        for (std::int32_t i = 0; i < tn_.HostFields.Count() && index < 0; ++i)
            if (const TDSField* f = tn_.HostFields.Items(i); f != nullptr && f->GetName() == name)
                index = i;
        if (index < 0)
            return Fail(TOperatorFault::UnknownField, "no field " + name);
        break;
    }
    case TFieldRef::TBy::Position: {
        if (ref.Row < 0 || ref.Row >= screen.Rows || ref.Col < 0 || ref.Col >= screen.Cols)
            return Fail(TOperatorFault::OutOfRange, "position " + std::to_string(ref.Row + 1) + "," +
                                                        std::to_string(ref.Col + 1) + " is off the screen");
        const std::int32_t p = ref.Row * screen.Cols + ref.Col;
        for (std::int32_t i = 0; i < tn_.HostFields.Count() && index < 0; ++i) {
            const TDSField* f = tn_.HostFields.Items(i);
            if (f != nullptr && p >= f->GetPos() - 1 && p < f->GetPos() - 1 + f->Len)
                index = i;
        }
        if (index < 0)
            return Fail(TOperatorFault::UnknownField,
                        "no field at " + std::to_string(ref.Row + 1) + "," + std::to_string(ref.Col + 1));
        // The field the position is in begins at the first record of its run.
        while (index > 0) {
            const std::vector<T3270Field*> run = RunFrom(tn_.HostFields, index - 1);
            if (run.size() < 2 || run[1] != tn_.HostFields.Items(index))
                break;
            --index;
        }
        break;
    }
    }
    const std::vector<T3270Field*> run = RunFrom(tn_.HostFields, index);
    if (run.empty())
        return Fail(TOperatorFault::UnknownField, "no field " + std::to_string(index));
    out = Describe(screen, tn_.UnprotectedFields, run, TScreenExport::Cells(screen), tn_.ListsHoldText());
    return Succeed();
}

TOperatorError TOperator::SetField(const TFieldRef& ref, std::string_view text)
{
    std::optional<TSessionGuard> guard(tn_.Lock());
    if (!tn_.IsConnected())
        return Fail(TOperatorFault::NotConnected, kNotConnected);
    T3270Field* target = nullptr;
    std::string name;
    if (ref.By == TFieldRef::TBy::Index) {
        target = As3270Field(tn_.UnprotectedFields.Items(ref.Number));
        if (target == nullptr)
            return Fail(TOperatorFault::UnknownField,
                        "no input field " + (ref.Name.empty() ? std::to_string(ref.Number) : ref.Name) +
                            " (the screen has " + std::to_string(tn_.UnprotectedFields.Count()) + ")");
        name = target->GetName();
    } else {
        TOperatorField found;
        if (const TOperatorError e = Field(ref, found); !e.Ok())
            return e;
        name = found.Name;
        for (std::int32_t i = 0; i < tn_.HostFields.Count() && target == nullptr; ++i)
            if (TDSField* f = tn_.HostFields.Items(i); f != nullptr && f->GetName() == name)
                target = As3270Field(f);
        if (ref.By == TFieldRef::TBy::Name)
            name = Upper(ref.Name);
    }
    if (target == nullptr || !target->GetEditable())
        return Fail(TOperatorFault::Protected, "field " + name + " is protected");
    if (text.find_first_of(std::string_view("\x00\x01", 2)) != std::string_view::npos)
        return Fail(TOperatorFault::NotCarried, "text holds a character a field cannot hold (\\x00 or \\x01)");
    if (const auto refused = CharacterRefusal(text))
        return Fail(TOperatorFault::NotCarried, *refused);
    const std::vector<T3270Field*> run = RunFrom(tn_.HostFields, tn_.HostFields.IndexOf(target));
    std::size_t room = 0;
    for (const T3270Field* r : run)
        room += static_cast<std::size_t>(std::max<std::int16_t>(r->Len, 0));
    if (text.size() > room)
        return Fail(TOperatorFault::FieldFull, "text of " + std::to_string(text.size()) +
                                                   " characters does not fit field " + name + " of " +
                                                   std::to_string(room));
    // Typed as an operator would: Erase EOF over the whole field, then the
    // text; the host gets the words, not the blanks the field held before.
    // The screen holds it from now on (modified), so the key finds these
    // records already shown and writes nothing more for them.
    tn_.Tn3270Stream().Screen().retypeField(target->GetPos() - 1, static_cast<std::int32_t>(room), text);
    std::size_t offset = 0;
    for (T3270Field* r : run) {
        const auto len = static_cast<std::size_t>(std::max<std::int16_t>(r->Len, 0));
        std::string part = offset < text.size() ? std::string(text.substr(offset, len)) : std::string();
        // As a published record shows it: no trailing blanks in Data.
        while (!part.empty() && static_cast<unsigned char>(part.back()) <= 0x20)
            part.pop_back();
        r->SetData(part);
        r->SetModified(true);
        offset += len;
    }
    guard.reset();
    Recheck();
    return Succeed();
}

// ------------------------------------------------------------ keys

std::optional<TTn3270AidKey> TOperator::ParseKeyName(std::string_view name)
{
    const std::string k = Lower(name);
    if (k == "enter")
        return TTn3270AidKey::akEnter;
    if (k == "clear")
        return TTn3270AidKey::akClear;
    if (k == "sysreq")
        return TTn3270AidKey::akSysReq;
    if (k == "attn")
        return TTn3270AidKey::akATTN;
    if (const int pf = Numbered(k, "pf", 24))
        return static_cast<TTn3270AidKey>(static_cast<int>(TTn3270AidKey::akPF1) + pf - 1);
    if (const int pa = Numbered(k, "pa", 3))
        return static_cast<TTn3270AidKey>(static_cast<int>(TTn3270AidKey::akPA1) + pa - 1);
    return std::nullopt;
}

std::string TOperator::KeyName(TTn3270AidKey key)
{
    const int k = static_cast<int>(key);
    const int pf1 = static_cast<int>(TTn3270AidKey::akPF1), pa1 = static_cast<int>(TTn3270AidKey::akPA1);
    switch (key) {
    case TTn3270AidKey::akNoOp: return "";
    case TTn3270AidKey::akEnter: return "enter";
    case TTn3270AidKey::akClear: return "clear";
    case TTn3270AidKey::akATTN: return "attn";
    case TTn3270AidKey::akSysReq: return "sysreq";
    default: break;
    }
    if (k >= pa1)
        return "pa" + std::to_string(k - pa1 + 1);
    return "pf" + std::to_string(k - pf1 + 1);
}

TOperatorError TOperator::Key(TTn3270AidKey key)
{
    if (!tn_.IsConnected())
        return Fail(TOperatorFault::NotConnected, kNotConnected);
    const bool aid = TTn3270E::AidByte(key) != 0;
    if (aid && !typeAhead_) {
        const std::string lock = tn_.GetStatus();
        if (!lock.empty())
            return Fail(TOperatorFault::KeyboardLocked, lock + ": keyboard locked, key not sent");
    }
    {
        // Before the key goes: the host's unlock may come before SetAidKey
        // returns. A key with an AID locks the keyboard until the host
        // restores it (the 3270 "system lock" of an attention key).
        std::lock_guard lock(state_->mutex);
        state_->marks = state_->counts;
        if (aid) {
            state_->keyAnswered = false;
            state_->keyInFlight = true;
            state_->unlockDuringKey = false;
        }
    }
    try {
        tn_.SetAidKey(key);
    } catch (...) {
        std::lock_guard lock(state_->mutex);
        state_->keyInFlight = false;
        throw;
    }
    if (aid) {
        // Unlocked still (or again) now that the key has locked the
        // keyboard: the host has answered it already.
        const bool unlockedNow = tn_.GetStatus().empty();
        bool counted = false;
        {
            std::lock_guard lock(state_->mutex);
            state_->keyInFlight = false;
            if (std::exchange(state_->unlockDuringKey, false) && unlockedNow) {
                state_->CountUnlock();
                counted = true;
            }
        }
        if (counted)
            Recheck();
    }
    return Succeed();
}

void TOperator::Reset()
{
    insert_ = false;
    error_ = {};
}

// ------------------------------------------------------------ reading

std::vector<std::string> TOperator::Rows()
{
    auto guard = tn_.Lock();
    return TScreenExport::Rows(tn_.Tn3270Stream().Screen());
}

TOperatorError TOperator::ReadText(std::int32_t row, std::int32_t col, std::int32_t length, std::string& out)
{
    auto guard = tn_.Lock();
    const TOrvTn3270display& screen = tn_.Tn3270Stream().Screen();
    out.clear();
    if (row < 0 || row >= screen.Rows || col < 0 || col >= screen.Cols || length < 0)
        return Fail(TOperatorFault::OutOfRange, "text must start within rows 1-" + std::to_string(screen.Rows) +
                                                    " and columns 1-" + std::to_string(screen.Cols) +
                                                    " with a length of 0 or more");
    out = TScreenExport::Text(screen, row, col, length);
    return Succeed();
}

std::string TOperator::ReadText(std::int32_t row, std::int32_t col, std::int32_t length)
{
    std::string out;
    ReadText(row, col, length, out);
    return out;
}

TOperatorError TOperator::ReadRegion(std::int32_t row, std::int32_t col, std::int32_t rows, std::int32_t cols,
                                     std::vector<std::string>& out)
{
    auto guard = tn_.Lock();
    const TOrvTn3270display& screen = tn_.Tn3270Stream().Screen();
    out.clear();
    if (row < 0 || row >= screen.Rows || col < 0 || col >= screen.Cols || rows < 0 || cols < 0)
        return Fail(TOperatorFault::OutOfRange, "region must start within rows 1-" + std::to_string(screen.Rows) +
                                                    " and columns 1-" + std::to_string(screen.Cols));
    out = TScreenExport::Region(screen, row, col, rows, cols);
    return Succeed();
}

std::vector<TScreenCell> TOperator::Cells()
{
    auto guard = tn_.Lock();
    return TScreenExport::Cells(tn_.Tn3270Stream().Screen());
}

TKeyboardState TOperator::Keyboard()
{
    TKeyboardState k;
    k.Text = tn_.GetStatus();
    k.Locked = !k.Text.empty();
    return k;
}

bool TOperator::Formatted()
{
    auto guard = tn_.Lock();
    return tn_.Tn3270Stream().Screen().Formatted;
}

std::int32_t TOperator::ScreenRows()
{
    auto guard = tn_.Lock();
    return tn_.Tn3270Stream().Screen().Rows;
}

std::int32_t TOperator::ScreenCols()
{
    auto guard = tn_.Lock();
    return tn_.Tn3270Stream().Screen().Cols;
}

std::uint64_t TOperator::Screens() const
{
    std::lock_guard lock(state_->mutex);
    return state_->counts.screen;
}

TOperatorStatus TOperator::Status()
{
    TOperatorStatus s;
    {
        auto guard = tn_.Lock();
        const TOrvTn3270stream& stream = tn_.Tn3270Stream();
        const TOrvTn3270display& screen = stream.Screen();
        s.Connected = tn_.IsConnected();
        s.SessionState = tn_.GetSessionState();
        s.Keyboard.Text = screen.Status;
        s.Keyboard.Locked = !screen.Status.empty();
        s.Tn3270E = stream.TN3270EMode;
        s.TerminalType = tn_.GetTermType();
        s.LuName = tn_.GetDeviceName();
        if (s.Tn3270E) {
            const TTn3270ExtendedFunctions agreed = tn_.GetFunctions();
            for (std::size_t code = 0; code < kFunctionNames.size(); ++code)
                if (agreed.Contains(static_cast<TTn3270ExtendedFunction>(code)))
                    s.Functions.emplace_back(kFunctionNames[code]);
        }
        s.Formatted = screen.Formatted;
        s.Rows = screen.Rows;
        s.Cols = screen.Cols;
        s.Model = tn_.GetModel();
        s.Alternate = tn_.AlternateSize();
        s.Tls = tn_.GetTlsInfo();
        s.TlsAsked = tn_.GetTlsMode() != TTlsMode::tmNone;
        const std::string why = tn_.GetLastError();
        if (why.rfind("TLS:", 0) == 0)
            s.TlsError = why;
    }
    s.Target = target_;
    s.Screens = Screens();
    s.Cursor = Cursor();
    s.InsertMode = insert_;
    return s;
}

std::vector<std::string> TOperator::StatusLines()
{
    const TOperatorStatus s = Status();
    std::vector<std::string> lines;
    lines.push_back(std::string("connected ") + (s.Connected ? "yes" : "no"));
    lines.push_back("host " + (s.Target.empty() ? std::string("-") : s.Target));
    lines.push_back(std::string("session-state ") + StateName(s.SessionState));
    lines.push_back(s.Keyboard.Locked ? "keyboard locked " + s.Keyboard.Text : std::string("keyboard unlocked"));
    lines.push_back(std::string("tn3270e ") + (s.Tn3270E ? "on" : "off"));
    lines.push_back("terminal-type " + s.TerminalType);
    lines.push_back("lu " + (s.LuName.empty() ? std::string("-") : s.LuName));
    std::string functions;
    for (const std::string& f : s.Functions)
        functions += (functions.empty() ? "" : " ") + f;
    lines.push_back("functions " + (functions.empty() ? std::string("-") : functions));
    lines.push_back("screens " + std::to_string(s.Screens));
    // The model with its alternate size, then the size the screen has now
    // (ROWS COLS, as the cursor line counts).
    lines.push_back("model " + std::to_string(s.Model) + " " + std::to_string(s.Alternate.Rows) + "x" +
                    std::to_string(s.Alternate.Cols));
    lines.push_back("size " + std::to_string(s.Rows) + " " + std::to_string(s.Cols));
    // With TLS asked for: the connection's protocol, cipher and whether the
    // host's certificate was checked and good, and why TLS failed. Plain
    // sessions print what they always did.
    if (!s.Tls.Protocol.empty() || s.TlsAsked)
        lines.push_back(s.Tls.Protocol.empty() ? std::string("tls off")
                                               : "tls " + s.Tls.Protocol + " " + s.Tls.Cipher +
                                                     (s.Tls.Verified ? " verified" : " not-verified"));
    if (!s.TlsError.empty())
        lines.push_back("last-error " + s.TlsError);
    return lines;
}

std::vector<std::string> TOperator::FieldLines()
{
    auto guard = tn_.Lock();
    return TScreenExport::FieldLines(tn_.HostFields, tn_.UnprotectedFields, &tn_.Tn3270Stream().Screen());
}

// ------------------------------------------------------------ export

std::string TOperator::ScreenText()
{
    std::string text;
    for (const std::string& row : Rows())
        text += row + "\n";
    return text;
}

std::string TOperator::ScreenHtml(bool withStatusLine)
{
    std::string status;
    if (withStatusLine) {
        const TOperatorStatus s = Status();
        status = (s.Target.empty() ? std::string("-") : s.Target) + (s.Tn3270E ? " TN3270E" : " TN3270");
        if (!s.LuName.empty())
            status += " LU " + s.LuName;
        status += s.Keyboard.Locked ? " X " + s.Keyboard.Text : std::string(" ready");
        status += " cursor " + std::to_string(s.Cursor.Row + 1) + "," + std::to_string(s.Cursor.Col + 1);
    }
    auto guard = tn_.Lock();
    return TScreenExport::Html(tn_.Tn3270Stream().Screen(), status);
}

namespace {

bool WriteFile(const std::string& path, const std::string& content, std::string& why)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out)
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (out)
        out.close();
    if (!out) {
        why = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace

TOperatorError TOperator::SaveText(const std::string& path)
{
    std::string why;
    if (!WriteFile(path, ScreenText(), why))
        return Fail(TOperatorFault::Io, why);
    return Succeed();
}

TOperatorError TOperator::SaveHtml(const std::string& path, bool withStatusLine)
{
    std::string why;
    if (!WriteFile(path, ScreenHtml(withStatusLine), why))
        return Fail(TOperatorFault::Io, why);
    return Succeed();
}

// ------------------------------------------------------------ waits

bool TOperator::ContentHolds(const TWaitCondition& c)
{
    auto guard = tn_.Lock();
    const TOrvTn3270display& screen = tn_.Tn3270Stream().Screen();
    switch (c.Kind) {
    case TWaitKind::Text: {
        if (TScreenExport::LocalText(screen).find(c.Text) != std::string::npos)
            return true;
        // A host text message is published as field lines, not painted.
        for (std::int32_t i = 0; i < tn_.HostFields.Count(); ++i) {
            const TDSField* f = tn_.HostFields.Items(i);
            if (f != nullptr && f->Data.find(c.Text) != std::string::npos)
                return true;
        }
        return false;
    }
    case TWaitKind::TextAt: {
        const std::int64_t start = static_cast<std::int64_t>(c.Row) * screen.Cols + c.Col;
        if (start < 0 || start + static_cast<std::int64_t>(c.Text.size()) > screen.Size)
            return false;
        return TScreenExport::LocalText(screen).compare(static_cast<std::size_t>(start), c.Text.size(), c.Text) == 0;
    }
    case TWaitKind::InputField:
        return tn_.IsConnected() && screen.Formatted && screen.Status.empty() &&
               screen.findNextUnprotectedAfterFA(0) != -1;
    case TWaitKind::CursorAt:
        return screen.CursorPosition == c.Row * screen.Cols + c.Col;
    default: return false;
    }
}

void TOperator::SetOnChange(std::function<void()> changed)
{
    auto cb = changed ? std::make_shared<const std::function<void()>>(std::move(changed)) : nullptr;
    std::lock_guard lock(state_->mutex);
    state_->onChange = std::move(cb);
}

void TOperator::Changed()
{
    std::shared_ptr<const std::function<void()>> cb;
    {
        std::lock_guard lock(state_->mutex);
        cb = state_->onChange;
    }
    if (!cb)
        return;
    try {
        (*cb)();
    } catch (...) {
        // A notification's exception has nowhere to go on the reader's thread.
    }
}

void TOperator::Recheck()
{
    TWaitCondition condition;
    std::uint64_t gen = 0;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->pending)
            return;
        condition = state_->condition;
        gen = state_->generation;
    }
    // The screen is read before the decision, under the session lock and
    // not under the state's mutex (the lock order is session, then state):
    // any change after this read raises another event and another check.
    std::optional<bool> content;
    if (IsContentKind(condition.Kind))
        content = ContentHolds(condition);
    TWaitCallback cb;
    TWaitResult r = TWaitResult::Ok;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->pending || state_->generation != gen)
            return;
        const auto outcome = state_->Decide(content);
        if (!outcome)
            return;
        r = *outcome;
        cb = state_->Finish(r);
    }
    state_->completed.notify_all();
    state_->Call(cb, r);
}

bool TOperator::StartWait(const TWaitCondition& condition, std::chrono::milliseconds timeout, TWaitCallback done)
{
    return Begin(condition, timeout, std::move(done), true) != 0;
}

std::uint64_t TOperator::Begin(const TWaitCondition& condition, std::chrono::milliseconds timeout,
                               TWaitCallback done, bool raiseFd)
{
    if (condition.Kind == TWaitKind::TextAt || condition.Kind == TWaitKind::CursorAt) {
        const std::int32_t rows = ScreenRows(), cols = ScreenCols();
        if (condition.Row < 0 || condition.Row >= rows || condition.Col < 0 || condition.Col >= cols) {
            Fail(TOperatorFault::OutOfRange, "position must be within rows 1-" + std::to_string(rows) +
                                                 " and columns 1-" + std::to_string(cols));
            return 0;
        }
    }
    std::uint64_t gen = 0;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->pending) {
            Fail(TOperatorFault::Busy, "another wait is pending");
            return 0;
        }
        state_->pending = true;
        gen = ++state_->generation;
        state_->condition = condition;
        state_->done = std::move(done);
        state_->result.reset();
        state_->raiseFd = raiseFd;
        if (state_->fdRaised) {
            state_->ready.Clear();
            state_->fdRaised = false;
        }
    }
    Succeed();
    // Decided at once when it can be (a time-out of 0 looks once); only
    // then does the deadline start, so that it cannot come first.
    Recheck();
    std::lock_guard lock(state_->mutex);
    if (state_->pending && state_->generation == gen) {
        std::weak_ptr<TState> weak = state_;
        state_->timer = state_->timers->Start(std::chrono::steady_clock::now() + timeout, [weak, gen] {
            if (const auto s = weak.lock())
                s->TimedOut(gen);
        });
    }
    return gen;
}

bool TOperator::CancelWait()
{
    TWaitCallback cb;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->pending)
            return false;
        cb = state_->Finish(TWaitResult::Cancelled);
    }
    state_->completed.notify_all();
    state_->Call(cb, TWaitResult::Cancelled);
    return true;
}

int TOperator::ReadyFd() const
{
    return state_->ready.Fd();
}

std::optional<TWaitResult> TOperator::TakeWaitResult()
{
    std::lock_guard lock(state_->mutex);
    if (state_->pending || !state_->result)
        return std::nullopt;
    const TWaitResult r = *state_->result;
    state_->result.reset();
    if (state_->fdRaised) {
        state_->ready.Clear();
        state_->fdRaised = false;
    }
    return r;
}

TWaitResult TOperator::Wait(const TWaitCondition& condition, std::chrono::milliseconds timeout)
{
    if (tn_.DeliversOnCurrentThread() || tlsInCompletion > 0) {
        Fail(TOperatorFault::WrongThread, kWrongThread);
        return TWaitResult::Refused;
    }
    // The same wait, without a callback or the descriptor: this thread
    // sleeps on the state's condition variable until the wait is over.
    const std::uint64_t gen = Begin(condition, timeout, {}, false);
    if (gen == 0)
        return TWaitResult::Refused;
    std::unique_lock lock(state_->mutex);
    state_->completed.wait(lock, [&] { return !state_->pending || state_->generation != gen; });
    const TWaitResult r = state_->result.value_or(TWaitResult::Cancelled);
    state_->result.reset();
    return r;
}
