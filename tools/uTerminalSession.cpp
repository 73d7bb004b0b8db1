// One TN3270E session as the tn3270 program drives it.
#include "tools/uTerminalSession.h"

#include "tools/uScreenText.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>

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

constexpr std::int32_t kRows = TTn3270E::kRows;
constexpr std::int32_t kCols = TTn3270E::kCols;

}  // namespace

std::optional<TTn3270AidKey> ParseKeyName(std::string_view name)
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

TTerminalSession::TTerminalSession()
{
    // Handlers run on the reader thread (no windowed owner) or on the
    // caller's thread for Connect and Disconnect, never under the session
    // lock: they only count and wake the waits.
    auto count = [this](auto bump) {
        return [this, bump](TObject*) {
            {
                std::lock_guard lock(mutex_);
                bump(*this);
            }
            changed_.notify_all();
        };
    };
    tn_.OnScreenChange = count([](TTerminalSession& s) {
        ++s.counts_.screen;
        ++s.screensOnConnection_;
    });
    tn_.OnSystemLock = count([](TTerminalSession& s) {
        ++s.counts_.lock;
        s.locked_ = true;
    });
    tn_.OnSystemUnLock = count([](TTerminalSession& s) {
        ++s.counts_.unlock;
        s.locked_ = false;
        s.keyAnswered_ = true;
    });
    tn_.OnConnect = count([](TTerminalSession& s) {
        ++s.counts_.connect;
        s.connected_ = true;
        s.screensOnConnection_ = 0;
        s.keyAnswered_ = true;
    });
    // A host that binds or unbinds the session has answered the key too.
    tn_.OnSessionState = count([](TTerminalSession& s) { s.keyAnswered_ = true; });
    tn_.OnConnectionFail = count([](TTerminalSession& s) { ++s.counts_.fail; });
    tn_.OnDisconnect = count([](TTerminalSession& s) {
        ++s.counts_.disconnect;
        s.connected_ = false;
        s.keyAnswered_ = true;
    });
}

TTerminalSession::~TTerminalSession() = default;

bool TTerminalSession::Fail(std::string& error, TSessionFault fault, std::string message)
{
    fault_ = fault;
    error = std::move(message);
    return false;
}

void TTerminalSession::MarkAction()
{
    std::lock_guard lock(mutex_);
    marks_ = counts_;
}

bool TTerminalSession::Connect(const std::string& host, std::int32_t port, std::string& error)
{
    fault_ = TSessionFault::None;
    const bool bracket = host.find(':') != std::string::npos;
    target_ = (bracket ? "[" + host + "]" : host) + ":" + std::to_string(port);
    MarkAction();
    {
        auto guard = tn_.Lock();
        tn_.Host = host;
        tn_.Port = port;
    }
    // Connect raises OnConnect or OnConnectionFail on this thread before it
    // returns (the handlers run once the lock is released).
    tn_.Connect();
    if (!tn_.IsConnected()) {
        std::string message = "cannot connect to " + target_;
        if (const std::string why = TlsError(); !why.empty())
            message += ": " + why;
        return Fail(error, TSessionFault::ConnectFailed, std::move(message));
    }
    return true;
}

bool TTerminalSession::Disconnect(std::string& error)
{
    fault_ = TSessionFault::None;
    if (!tn_.IsConnected()) {
        return Fail(error, TSessionFault::NotConnected, "not connected");
    }
    MarkAction();
    tn_.Disconnect();
    return true;
}

std::string TTerminalSession::TlsError() const
{
    std::string why = tn_.GetLastError();
    return why.rfind("TLS:", 0) == 0 ? why : std::string();
}

bool TTerminalSession::IsConnected() const
{
    return tn_.IsConnected();
}

std::string TTerminalSession::Target() const
{
    return target_;
}

std::uint64_t TTerminalSession::Screens() const
{
    std::lock_guard lock(mutex_);
    return counts_.screen;
}

TWaitResult TTerminalSession::Wait(TWaitEvent event, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    // The outcome, once there is one; nothing while the wait goes on.
    auto outcome = [&]() -> std::optional<TWaitResult> {
        switch (event) {
        case TWaitEvent::Screen:
            // After a key, the screen the host has finished: the keyboard
            // unlocked since (the host's answer may come in several records).
            if (counts_.screen > marks_.screen && keyAnswered_)
                return TWaitResult::Ok;
            break;
        case TWaitEvent::Unlock:
            if (counts_.unlock > marks_.unlock)
                return TWaitResult::Ok;
            // Nothing locked the keyboard since the action (and no key
            // waits for its answer): it is the state now that counts, once
            // the host has written on this connection.
            if (keyAnswered_ && counts_.lock == marks_.lock && !locked_ && connected_ && screensOnConnection_ > 0)
                return TWaitResult::Ok;
            break;
        case TWaitEvent::Connect:
            if (counts_.connect > marks_.connect || connected_)
                return TWaitResult::Ok;
            if (counts_.fail > marks_.fail)
                return TWaitResult::Failed;
            return std::nullopt;
        case TWaitEvent::Disconnect:
            if (counts_.disconnect > marks_.disconnect || !connected_)
                return TWaitResult::Ok;
            return std::nullopt;
        }
        if (!connected_)
            return TWaitResult::Ended;
        return std::nullopt;
    };
    std::optional<TWaitResult> result;
    changed_.wait_until(lock, deadline, [&] { return (result = outcome()).has_value(); });
    if (!result)
        return TWaitResult::Timeout;
    if (*result == TWaitResult::Ok) {
        // The event is taken: the next wait for it waits for a new one.
        switch (event) {
        case TWaitEvent::Screen: marks_.screen = counts_.screen; break;
        case TWaitEvent::Unlock:
            marks_.unlock = counts_.unlock;
            marks_.lock = counts_.lock;
            break;
        case TWaitEvent::Connect: marks_.connect = counts_.connect; break;
        case TWaitEvent::Disconnect: marks_.disconnect = counts_.disconnect; break;
        }
    }
    return *result;
}

bool TTerminalSession::ScreenShows(const std::string& text)
{
    auto guard = tn_.Lock();
    if (ScreenLocalText(tn_.Tn3270Stream().Screen()).find(text) != std::string::npos)
        return true;
    // A host text message is published as field lines, not painted.
    for (std::int32_t i = 0; i < tn_.HostFields.Count(); ++i) {
        const TDSField* f = tn_.HostFields.Items(i);
        if (f != nullptr && f->Data.find(text) != std::string::npos)
            return true;
    }
    return false;
}

TWaitResult TTerminalSession::WaitText(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        // Counted before looking, so that a screen published while we look
        // wakes the wait below.
        std::uint64_t seen = 0;
        {
            std::lock_guard lock(mutex_);
            seen = counts_.screen;
        }
        if (ScreenShows(text))
            return TWaitResult::Ok;
        std::unique_lock lock(mutex_);
        const bool woke = changed_.wait_until(lock, deadline, [&] { return counts_.screen != seen || !connected_; });
        if (!woke)
            return TWaitResult::Timeout;
        if (counts_.screen == seen && !connected_) {
            lock.unlock();
            // The last screen of the connection may still show it.
            return ScreenShows(text) ? TWaitResult::Ok : TWaitResult::Ended;
        }
    }
}

std::vector<std::string> TTerminalSession::ScreenLines()
{
    auto guard = tn_.Lock();
    const TOrvTn3270display& screen = tn_.Tn3270Stream().Screen();
    std::vector<std::string> lines = RenderScreenRows(screen);
    lines.push_back(RenderCursor(screen));
    return lines;
}

std::vector<std::string> TTerminalSession::FieldLines()
{
    auto guard = tn_.Lock();
    return RenderFields(tn_.HostFields, tn_.UnprotectedFields, &tn_.Tn3270Stream().Screen());
}

std::vector<std::string> TTerminalSession::StatusLines()
{
    auto guard = tn_.Lock();
    const bool connected = tn_.IsConnected();
    const bool extended = tn_.Tn3270Stream().TN3270EMode;
    const std::string status = tn_.GetStatus();
    std::vector<std::string> lines;
    lines.push_back(std::string("connected ") + (connected ? "yes" : "no"));
    lines.push_back("host " + (target_.empty() ? std::string("-") : target_));
    lines.push_back(std::string("session-state ") + StateName(tn_.GetSessionState()));
    lines.push_back(status.empty() ? std::string("keyboard unlocked") : "keyboard locked " + status);
    lines.push_back(std::string("tn3270e ") + (extended ? "on" : "off"));
    lines.push_back("terminal-type " + tn_.GetTermType());
    const std::string lu = tn_.GetDeviceName();
    lines.push_back("lu " + (lu.empty() ? std::string("-") : lu));
    std::string functions;
    if (extended) {
        const TTn3270ExtendedFunctions agreed = tn_.GetFunctions();
        for (std::size_t code = 0; code < kFunctionNames.size(); ++code) {
            if (agreed.Contains(static_cast<TTn3270ExtendedFunction>(code))) {
                if (!functions.empty())
                    functions += ' ';
                functions += kFunctionNames[code];
            }
        }
    }
    lines.push_back("functions " + (functions.empty() ? std::string("-") : functions));
    lines.push_back("screens " + std::to_string(Screens()));
    // With TLS asked for: the connection's protocol, cipher and whether the
    // host's certificate was checked and good, and why TLS failed. Plain
    // sessions print what they always did.
    const TTlsInfo tls = tn_.GetTlsInfo();
    if (!tls.Protocol.empty() || tn_.GetTlsMode() != TTlsMode::tmNone)
        lines.push_back(tls.Protocol.empty() ? std::string("tls off")
                                             : "tls " + tls.Protocol + " " + tls.Cipher +
                                                   (tls.Verified ? " verified" : " not-verified"));
    if (const std::string why = TlsError(); !why.empty())
        lines.push_back("last-error " + why);
    return lines;
}

bool TTerminalSession::SetField(const std::string& field, const std::string& text, std::string& error)
{
    fault_ = TSessionFault::None;
    auto guard = tn_.Lock();
    if (!tn_.IsConnected()) {
        return Fail(error, TSessionFault::NotConnected, "not connected");
    }
    TDSField* target = nullptr;
    std::string name = Upper(field);
    const bool index = !field.empty() && std::all_of(field.begin(), field.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    if (index) {
        std::int32_t n = -1;
        const auto [p, ec] = std::from_chars(field.data(), field.data() + field.size(), n);
        if (ec == std::errc() && p == field.data() + field.size())
            target = tn_.UnprotectedFields.Items(n);
        if (target == nullptr) {
            return Fail(error, TSessionFault::UnknownField,
                        "no input field " + field + " (the screen has " +
                            std::to_string(tn_.UnprotectedFields.Count()) + ")");
        }
        name = target->GetName();
    } else {
        for (std::int32_t i = 0; i < tn_.HostFields.Count() && target == nullptr; ++i) {
            TDSField* f = tn_.HostFields.Items(i);
            if (f != nullptr && f->GetName() == name)
                target = f;
        }
        if (target == nullptr) {
            return Fail(error, TSessionFault::UnknownField, "no field " + name);
        }
    }
    T3270Field* f = As3270Field(target);
    if (f == nullptr || !f->GetEditable()) {
        return Fail(error, TSessionFault::Protected, "field " + name + " is protected");
    }
    if (text.find_first_of(std::string_view("\x00\x01", 2)) != std::string::npos) {
        return Fail(error, TSessionFault::Refused, "text holds a character a field cannot hold (\\x00 or \\x01)");
    }
    if (const auto refused = CharacterNotCarried(text)) {
        return Fail(error, TSessionFault::Refused, *refused);
    }
    // One 3270 field may be published as several records: a field runs on
    // over row ends, and a change of extended attribute inside it (the
    // characters the host wrote carry the attribute in force, the empty
    // rest of the field does not) starts a new record. The records that
    // follow on without a field attribute between them are the rest of the
    // same field: the text fills them in order.
    std::vector<T3270Field*> run{f};
    for (std::int32_t i = tn_.HostFields.IndexOf(f) + 1; i < tn_.HostFields.Count(); ++i) {
        T3270Field* next = As3270Field(tn_.HostFields.Items(i));
        const T3270Field* last = run.back();
        if (next == nullptr || !next->GetEditable() || next->GetPos() != last->GetPos() + last->Len)
            break;
        run.push_back(next);
    }
    std::size_t room = 0;
    for (const T3270Field* r : run)
        room += static_cast<std::size_t>(std::max<std::int16_t>(r->Len, 0));
    if (text.size() > room) {
        return Fail(error, TSessionFault::TooLong,
                    "text of " + std::to_string(text.size()) + " characters does not fit field " + name + " of " +
                        std::to_string(room));
    }
    // Typed as an operator would: Erase EOF over the whole field, then the
    // text; the host gets the words, not the blanks the field held before.
    // The screen holds it from now on (modified), so the key finds these
    // records already shown and writes nothing more for them.
    tn_.Tn3270Stream().Screen().retypeField(f->GetPos() - 1, static_cast<std::int32_t>(room), text);
    std::size_t offset = 0;
    for (T3270Field* r : run) {
        const auto len = static_cast<std::size_t>(std::max<std::int16_t>(r->Len, 0));
        std::string part = offset < text.size() ? text.substr(offset, len) : std::string();
        // As a published record shows it: no trailing blanks in Data.
        while (!part.empty() && static_cast<unsigned char>(part.back()) <= 0x20)
            part.pop_back();
        r->SetData(part);
        r->SetModified(true);
        offset += len;
    }
    return true;
}

std::optional<std::string> TTerminalSession::CharacterNotCarried(const std::string& text)
{
    // A character the host code page does not have would reach the host as
    // something else (SUB, or the default table's '-'): refuse it. The
    // tables carry a character when it comes back from the host unchanged.
    const TOrvTnStream& stream = tn_.Tn3270Stream();
    for (const char ch : text) {
        const auto c = static_cast<std::uint8_t>(ch);
        if (stream.Ebc2Asc(stream.Asc2Ebc(c)) == c)
            continue;
        const std::string table = stream.TableName.empty() ? std::string("the built-in table") : stream.TableName;
        std::string shown;
        AppendLocalAsUtf8(shown, c);
        char code[8];
        std::snprintf(code, sizeof code, "\\x%02X", c);
        return "character " + (shown == " " ? std::string(code) : shown) + " cannot be sent in " + table;
    }
    return std::nullopt;
}

bool TTerminalSession::Type(const std::string& text, std::string& error)
{
    fault_ = TSessionFault::None;
    auto guard = tn_.Lock();
    if (!tn_.IsConnected()) {
        return Fail(error, TSessionFault::NotConnected, "not connected");
    }
    if (text.empty()) {
        return Fail(error, TSessionFault::Refused, "nothing to type");
    }
    const TTypeResult r = tn_.Type(text);
    if (r.Ok())
        return true;
    // The same words as `set` for a character the code page lacks.
    const auto notCarried = r.Refusal == TTypeRefusal::trNotCarried
                                ? CharacterNotCarried(std::string(1, static_cast<char>(r.Character)))
                                : std::nullopt;
    std::string message = notCarried ? *notCarried : r.Message();
    if (r.Typed > 0)
        message += " (" + std::to_string(r.Typed) + " of " + std::to_string(text.size()) + " characters typed)";
    return Fail(error, r.Refusal == TTypeRefusal::trProtected ? TSessionFault::Protected : TSessionFault::Refused,
                std::move(message));
}

bool TTerminalSession::SetCursor(std::int32_t row, std::int32_t col, std::string& error)
{
    fault_ = TSessionFault::None;
    if (row < 1 || row > kRows || col < 1 || col > kCols) {
        return Fail(error, TSessionFault::OutOfRange,
                    "cursor must be within rows 1-" + std::to_string(kRows) + " and columns 1-" +
                        std::to_string(kCols));
    }
    auto guard = tn_.Lock();
    if (!tn_.IsConnected()) {
        return Fail(error, TSessionFault::NotConnected, "not connected");
    }
    const std::int32_t position = (row - 1) * kCols + (col - 1);
    // The key sends the cursor the unprotected list holds (1-based); the
    // screen shows it at once.
    tn_.UnprotectedFields.CursorPos = static_cast<std::int16_t>(position + 1);
    tn_.HostFields.CursorPos = static_cast<std::int16_t>(position + 1);
    tn_.Tn3270Stream().Screen().SetCursorPosition(position);
    return true;
}

bool TTerminalSession::Key(TTn3270AidKey key, std::string& error)
{
    fault_ = TSessionFault::None;
    if (!tn_.IsConnected()) {
        return Fail(error, TSessionFault::NotConnected, "not connected");
    }
    {
        // Before the key goes: the host's unlock may come before SetAidKey
        // returns. A key with an AID locks the keyboard until the host
        // restores it (the 3270 "system lock" of an attention key).
        std::lock_guard lock(mutex_);
        marks_ = counts_;
        if (TTn3270E::AidByte(key) != 0)
            keyAnswered_ = false;
    }
    tn_.SetAidKey(key);
    return true;
}
