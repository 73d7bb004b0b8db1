// One s3270-protocol session: framing, the session's own state, the loop.
#include "tools/uS3270Session.h"

#include "component/uCodePageNames.h"
#include "tools/uCoarseTimers.h"

#include "tools/uS3270Actions.h"
#include "tools/uS3270Parser.h"
#include "tools/uTn3270Cli.h"
#include "log/uOrvIntfLogg.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>
#include <langinfo.h>
#include <clocale>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Millis(double seconds)
{
    const double ms = std::clamp(std::ceil(seconds * 1000.0), 0.0, static_cast<double>(kS3270Forever.count()));
    return std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

bool WriteAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The s3270 prefixes of a Connect argument that mean something here.
struct TTarget {
    bool tls = false, noVerify = false, noTn3270e = false;
    std::string lu, host;
    std::int32_t port = 0;
};

std::optional<TTarget> ParseTarget(std::string text, std::int32_t defaultPort, std::string& error)
{
    TTarget t;
    // Prefixes are single letters with a colon: "L:", "Y:L:", "N:".
    static constexpr std::string_view kPrefixes = "ACLNPSBYTacInpsbyt";
    while (text.size() > 2 && text[1] == ':' && kPrefixes.find(text[0]) != std::string_view::npos) {
        const char p = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        t.tls |= p == 'L';
        t.noVerify |= p == 'Y';
        t.noTn3270e |= p == 'N';
        text.erase(0, 2);
    }
    if (const auto at = text.find('@'); at != std::string::npos) {
        t.lu = text.substr(0, at);
        text.erase(0, at + 1);
    }
    // "host port" as s3270 also takes it.
    if (const auto blank = text.find(' '); blank != std::string::npos)
        text = text.substr(0, blank) + ":" + text.substr(blank + 1);
    const auto hp = ParseHostPort(text, error);
    if (!hp)
        return std::nullopt;
    t.host = hp->host;
    t.port = hp->port.value_or(defaultPort);
    return t;
}

}  // namespace

void TS3270Reply::Fail(std::string_view message)
{
    error = true;
    std::size_t start = 0;
    while (start <= message.size()) {
        const auto nl = message.find('\n', start);
        data.emplace_back(message.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start));
        if (nl == std::string_view::npos)
            break;
        start = nl + 1;
    }
}

TS3270Session::TS3270Session(TS3270Options options, std::ostream& log)
    : options_(std::move(options)), log_(log), op_(std::make_shared<TCoarseTimerQueue>())
{
    const char* codeset = nl_langinfo(CODESET);
    utf8_ = options_.utf8 || (codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0);
    ApplySettings();
}

TS3270Session::~TS3270Session() = default;

void TS3270Session::ApplySettings()
{
    TTn3270E& tn = op_.Component();
    tn.SetReadPause(0);
    if (!IsBuiltInCodePage(options_.codePage))
        throw std::runtime_error("Unknown code page: '" + options_.codePage + "'");
    tn.SetConversionTable(options_.codePage);
    if (options_.trace || !options_.traceFile.empty()) {
        std::filesystem::path dir = options_.traceFile.empty()
                                        ? std::filesystem::current_path()
                                        : std::filesystem::absolute(options_.traceFile).parent_path();
        tn.SetDebugDir(dir.string());
        tn.SetDebugLevel(static_cast<std::uint16_t>(TLogLevel::llAll));
    }
    if (!options_.caFile.empty())
        tn.SetTlsCaFile(options_.caFile);
    if (!options_.certFile.empty())
        tn.SetTlsCertFile(options_.certFile);
    if (!options_.keyFile.empty())
        tn.SetTlsKeyFile(options_.keyFile);
    if (!options_.caDir.empty())
        tn.SetTlsCaPath(options_.caDir);
    if (!options_.verifyCert)
        tn.SetTlsVerify(false);
    // Accepted for the automation that passes it: -minversion is not a TLS
    // floor but the lowest program version the script accepts (s3270
    // refuses to start below it), which this program's own version cannot
    // be compared with.
    if (!options_.minVersion.empty())
        options_.ignored.push_back("-minversion");
    // s3270 names its models 3278 or 3279 and always in the -E form; the
    // plain form is the N: prefix's, chosen at Connect.
    tn.SetModelName(std::string(options_.color ? "3279-" : "3278-") + std::to_string(options_.model) + "-E");
    if (!options_.oversize.empty()) {
        const auto x = options_.oversize.find('x');
        const TScreenSize size{std::atoi(options_.oversize.c_str() + x + 1),
                               std::atoi(options_.oversize.substr(0, x).c_str())};
        // One smaller than the model's screen is noted and left out, as
        // s3270 does; one beyond 14-bit addressing cannot be had.
        if (!ValidOversize(options_.model, size))
            log_ << "s3270 mode: -oversize " << options_.oversize << " is not larger than model "
                 << options_.model << "'s screen and within " << kMaxScreenCols << "x" << kMaxScreenRows << " and "
                 << kMaxScreenPositions << " positions: ignored\n";
        else
            tn.SetOversize(size);
    }
    if (!options_.ignored.empty()) {
        std::string list;
        for (const auto& name : options_.ignored)
            list += (list.empty() ? "" : ", ") + name;
        log_ << "s3270 mode: accepted but not used: " << list << '\n';
    }
}

std::string TS3270Session::ModelName()
{
    const TTn3270E& tn = op_.Component();
    return std::string(tn.GetColourName() ? "IBM-3279-" : "IBM-3278-") + std::to_string(tn.GetModel()) +
           (tn.GetTerminalType() == TTn3270TerminalType::tt3278m2E ? "-E" : "");
}

std::string TS3270Session::TerminalName()
{
    // What the component sends (and what its screen is): the model it has.
    return op_.Component().GetTermType();
}

namespace {

TCursor CursorOf(const TOrvTn3270display& screen)
{
    TCursor c;
    c.Offset = screen.inRange(screen.CursorPosition) ? screen.CursorPosition : 0;
    c.Row = screen.Cols > 0 ? c.Offset / screen.Cols : 0;
    c.Col = screen.Cols > 0 ? c.Offset % screen.Cols : 0;
    return c;
}

// The status fields a screen buffer gives (keyboard, connection and mode
// are the caller's).
void ScreenFields(const TOrvTn3270display& screen, TS3270StatusFields& f)
{
    const TCursor c = CursorOf(screen);
    f.formatted = screen.Formatted;
    f.rows = screen.Rows;
    f.cols = screen.Cols;
    f.cursorRow = c.Row;
    f.cursorCol = c.Col;
    // On a field attribute or in a protected field.
    f.protectedAtCursor = screen.Formatted && (screen.Chars[static_cast<std::size_t>(c.Offset)] ==
                                                   TOrvTndisplay::kFieldMarker ||
                                               (screen.getFA(c.Offset) & 0x20) != 0);
}

}  // namespace

TCursor TS3270Session::Cursor()
{
    return ShowsLast() ? CursorOf(*last_) : op_.Cursor();
}

bool TS3270Session::Formatted()
{
    return ShowsLast() ? last_->Formatted : op_.Formatted();
}

void TS3270Session::Remember()
{
    TTn3270E& tn = op_.Component();
    auto guard = tn.Lock();
    const TOrvTn3270display& screen = tn.Tn3270Stream().Screen();
    if (last_)
        *last_ = screen;
    else
        last_ = std::make_unique<TOrvTn3270display>(screen);
    last_->OnStatusChange = nullptr;
    lastValid_ = true;
}

// The status line is computed after every action: one look at the
// buffer under the session lock, nothing copied.
TS3270StatusFields TS3270Session::StatusFields()
{
    TS3270StatusFields f;
    f.host = host_;
    TTn3270E& tn = op_.Component();
    // The model field is the model's, whatever size the screen has now.
    f.model = tn.GetModel();
    if (ShowsLast()) {
        ScreenFields(*last_, f);
        return f;
    }
    if (ShowsBlank()) {
        f.rows = blank_->Rows;
        f.cols = blank_->Cols;
        return f;
    }
    const std::uint64_t screens = op_.Screens();
    auto guard = tn.Lock();
    const TOrvTn3270display& screen = tn.Tn3270Stream().Screen();
    ScreenFields(screen, f);
    f.connected = tn.IsConnected();
    f.keyboard = (!f.connected || !screen.Status.empty() || opLocked_) ? 'L' : 'U';
    f.mode = !f.connected                                                  ? 'N'
             : tn.ListsHoldText()                                          ? 'N'
             : tn.GetSessionState() == TSessionState::ssNone && screens == 0 ? 'P'
                                                                             : 'I';
    return f;
}

TS3270Screen TS3270Session::Build(const TOrvTn3270display& screen)
{
    // The display keeps a character's colour and highlighting merged with
    // its field's; one equal to its field's reads as none of its own, as
    // a character written without Set Attribute.
    static constexpr std::uint8_t kColourBits = 0x38, kHighlightBits = 0xC4;
    TS3270Screen s;
    s.cursor = CursorOf(screen);
    s.formatted = screen.Formatted;
    s.cells = TScreenExport::Cells(screen);
    s.cols = std::max(1, screen.Cols);
    s.rows = static_cast<std::int32_t>(s.cells.size()) / s.cols;
    const TOrvTnStream& stream = op_.Component().Tn3270Stream();
    s.text.reserve(s.cells.size());
    s.ebcdic.reserve(s.cells.size());
    s.ge.reserve(s.cells.size());
    s.charAttrs.reserve(s.cells.size());
    for (std::size_t i = 0; i < s.cells.size(); ++i) {
        const TScreenCell& c = s.cells[i];
        std::string ch;
        AppendUtf8CodePoint(ch, c.Ch);
        s.text.push_back(std::move(ch));
        // A graphic escape reads as its code in the second set.
        s.ge.push_back(c.FieldAttribute ? 0 : screen.GeCodes[i]);
        s.ebcdic.push_back(c.FieldAttribute || c.Local == TOrvTndisplay::kNull ? 0
                           : s.ge.back() != 0                                ? s.ge.back()
                                                                             : stream.Asc2Ebc(c.Local));
        const std::uint8_t own = screen.ExtAttrs[i];
        const std::uint8_t field = c.Field >= 0 ? screen.ExtAttrs[static_cast<std::size_t>(c.Field)] : 0;
        std::uint8_t mine = 0;
        if (!c.FieldAttribute) {
            if ((own & kColourBits) != (field & kColourBits))
                mine |= own & kColourBits;
            if ((own & kHighlightBits) != (field & kHighlightBits))
                mine |= own & kHighlightBits;
        }
        s.charAttrs.push_back(mine);
        if (c.FieldAttribute) {
            TOperatorField f;
            f.Attribute = static_cast<std::int32_t>(i);
            f.Attr = screen.getFA(f.Attribute);
            f.Eab = own;
            s.fields.push_back(f);
        }
    }
    return s;
}

TS3270Screen TS3270Session::ReadScreen(bool markRead)
{
    if (markRead)
        screensRead_ = op_.Screens();
    if (ShowsLast()) {
        TS3270Screen s = Build(*last_);
        std::string status = S3270StatusLine(StatusFields(), std::nullopt);
        s.status = status.substr(0, status.size() - 2);
        return s;
    }
    return Capture(true);
}

TS3270Screen TS3270Session::Capture(bool withStatus)
{
    {
        TTn3270E& tn = op_.Component();
        auto guard = tn.Lock();
        const TOrvTn3270display& screen = tn.Tn3270Stream().Screen();
        if (scratch_)
            *scratch_ = screen;
        else
            scratch_ = std::make_unique<TOrvTn3270display>(screen);
        scratch_->OnStatusChange = nullptr;
    }
    TS3270Screen s = Build(*scratch_);
    if (withStatus) {
        std::string status = S3270StatusLine(StatusFields(), std::nullopt);
        s.status = status.substr(0, status.size() - 2);
    }
    return s;
}

std::string TS3270Session::ConnectionState()
{
    if (!op_.IsConnected())
        return "not-connected";
    const TOperatorStatus st = op_.Status();
    if (st.SessionState == TSessionState::ssNone && st.Screens == 0)
        return "connected-initial";
    if (st.Tn3270E)
        return st.SessionState == TSessionState::ssSscpLu ? "connected-sscp" : "connected-tn3270e";
    return "connected-3270";
}

void TS3270Session::Connect(const std::string& target, TS3270Reply& r)
{
    if (op_.IsConnected()) {
        r.Fail("Already connected");
        return;
    }
    std::string error;
    const auto t = ParseTarget(target, options_.port, error);
    if (!t) {
        r.Fail("Connect(): " + error);
        return;
    }
    TTn3270E& tn = op_.Component();
    tn.SetDeviceName(t->lu);
    tn.SetExtended(!t->noTn3270e);
    tn.SetTlsMode(t->tls ? TTlsMode::tmDirect : TTlsMode::tmNone);
    tn.SetTlsVerify(options_.verifyCert && !t->noVerify);
    // -accepthostname [DNS:]NAME: the certificate must be for NAME instead.
    std::string accept = options_.acceptHostname;
    if (accept.size() > 4 && (accept.compare(0, 4, "DNS:") == 0 || accept.compare(0, 4, "dns:") == 0))
        accept.erase(0, 4);
    tn.SetTlsExpectedName(accept);
    lastTarget_ = target;
    opLocked_ = false;
    snap_.reset();
    const auto deadline = Clock::now() + Millis(options_.connectTimeout);
    const std::uint64_t screensBefore = op_.Screens();
    if (TOperatorError e = op_.Connect(t->host, t->port); !e) {
        r.Fail("Connection failed:\n" + e.Message);
        return;
    }
    const auto left = [&] {
        return std::max(std::chrono::milliseconds(0),
                        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    };
    const TWaitResult connected = op_.Wait(TWaitCondition::Of(TWaitKind::Connect), left());
    if (connected != TWaitResult::Ok) {
        const std::string why = op_.LastError().Message.empty() ? std::string("connection timed out")
                                                                : op_.LastError().Message;
        op_.Disconnect();
        r.Fail("Connection failed:\n" + why);
        return;
    }
    host_ = t->host;
    lastValid_ = false;
    blank_.reset();
    // Connect is done once the host's first screen has unlocked the
    // keyboard, or the host has spoken NVT text; a host that does neither
    // leaves it connected, locked.
    while (op_.Screens() == screensBefore && op_.IsConnected() && left().count() > 0)
        op_.Wait(TWaitCondition::Of(TWaitKind::Screen), std::min(left(), kS3270NvtPoll));
    if (!InNvtMode())
        op_.Wait(TWaitCondition::Of(TWaitKind::Unlock), left());
}

bool TS3270Session::InNvtMode()
{
    return op_.IsConnected() && op_.Component().ListsHoldText();
}

bool TS3270Session::WaitNvtMode(Clock::time_point deadline)
{
    while (!InNvtMode()) {
        if (!op_.IsConnected() || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kS3270NvtPoll);
    }
    return true;
}

void TS3270Session::Disconnect()
{
    if (op_.IsConnected()) {
        Remember();
        op_.Disconnect();
        op_.Wait(TWaitCondition::Of(TWaitKind::Disconnect), std::chrono::seconds(5));
    }
    opLocked_ = false;
}

void TS3270Session::ShowBlank()
{
    const TTn3270E& tn = op_.Component();
    const auto oversize = tn.GetOversize();
    blank_ = oversize && ValidOversize(tn.GetModel(), *oversize) ? *oversize : ModelAlternateSize(tn.GetModel());
}

void TS3270Session::SetModel(const std::string& text, TS3270Reply& r)
{
    if (op_.IsConnected()) {
        r.Fail("Cannot change model or oversize while connected");
        return;
    }
    const auto m = ParseS3270Model(text);
    if (!m) {
        r.Fail("model value must be 327{89}-{2345}[-E]");
        return;
    }
    // A bare number is the -E form; a name is taken as written, so that
    // "3278-2" asks for the terminal without extended attributes.
    const bool extended =
        text.size() == 1 || (text.size() > 2 && (text.substr(text.size() - 2) == "-E" || text.substr(text.size() - 2) == "-e"));
    TTn3270E& tn = op_.Component();
    tn.SetOversize(std::nullopt);
    tn.SetModelName(std::string(m->color ? "3279-" : "3278-") + std::to_string(m->number));
    tn.SetTerminalType(extended ? TTn3270TerminalType::tt3278m2E : TTn3270TerminalType::tt3278m2);
    options_.model = m->number;
    options_.color = m->color;
    options_.modelSetting = S3270ModelSetting(text, *m);
    options_.oversize.clear();
    ShowBlank();
}

void TS3270Session::SetOversize(const std::string& text, TS3270Reply& r)
{
    if (op_.IsConnected()) {
        r.Fail("Cannot change model or oversize while connected");
        return;
    }
    TTn3270E& tn = op_.Component();
    if (text.empty()) {
        options_.oversize.clear();
        tn.SetOversize(std::nullopt);
        ShowBlank();
        return;
    }
    const auto x = text.find_first_of("xX");
    const auto cols = x == std::string::npos ? -1 : S3270Number(text.substr(0, x));
    const auto rows = x == std::string::npos ? -1 : S3270Number(text.substr(x + 1));
    if (cols <= 0 || rows <= 0 || cols > kMaxScreenCols || rows > kMaxScreenRows) {
        r.Fail("oversize value must be <cols>x<rows>");
        return;
    }
    const std::int32_t model = tn.GetModel();
    const TScreenSize alt = *ModelAlternateSize(model);
    const TScreenSize size{static_cast<std::int32_t>(rows), static_cast<std::int32_t>(cols)};
    if (size.Cols < alt.Cols) {
        r.Fail("Invalid oversize cols (" + std::to_string(cols) + "):\nLess than model " + std::to_string(model) +
               " cols (" + std::to_string(alt.Cols) + ")");
        return;
    }
    if (size.Rows < alt.Rows) {
        r.Fail("Invalid oversize rows (" + std::to_string(rows) + "):\nLess than model " + std::to_string(model) +
               " rows (" + std::to_string(alt.Rows) + ")");
        return;
    }
    if (!ValidOversize(model, size)) {
        r.Fail("oversize value must be <cols>x<rows>");
        return;
    }
    // Only a model of the -E form has an oversize screen; another one
    // takes the setting and keeps none, as s3270 does.
    if (tn.GetTerminalType() != TTn3270TerminalType::tt3278m2E)
        return;
    options_.oversize = text;
    tn.SetOversize(size);
    ShowBlank();
}

void TS3270Session::SetAcceptHostname(const std::string& name, TS3270Reply& r)
{
    if (op_.IsConnected()) {
        r.Fail("accepthostname cannot change while connected");
        return;
    }
    options_.acceptHostname = name;
}

bool TS3270Session::KeyboardUsable(TS3270Reply& r)
{
    if (!op_.IsConnected()) {
        r.Fail("Canceled");
        return false;
    }
    if (opLocked_) {
        r.Fail("Keyboard locked\nOperator error");
        return false;
    }
    return true;
}

void TS3270Session::OperatorError(TS3270Reply& r, const char* message)
{
    opLocked_ = true;
    r.Fail(message);
}

void TS3270Session::ResetKeyboard()
{
    opLocked_ = false;
    op_.Reset();
}

void TS3270Session::Aid(TTn3270AidKey key, TS3270Reply& r)
{
    (void)r;
    // s3270 answers ok for a key it cannot send (not connected, locked).
    if (!op_.IsConnected() || opLocked_)
        return;
    Remember();
    if (!op_.Key(key))
        return;
    if (key == TTn3270AidKey::akATTN || key == TTn3270AidKey::akSysReq)
        return;
    op_.Wait(TWaitCondition::Of(TWaitKind::Screen), kS3270Forever);
}

void TS3270Session::Type(std::string_view text, TS3270Reply& r)
{
    if (text.empty() || !KeyboardUsable(r))
        return;
    std::string error;
    const auto local = TScreenExport::ToLocal(text, error);
    if (!local) {
        r.Fail(error);
        return;
    }
    TypeLocal(*local, r);
}

void TS3270Session::TypeLocal(std::string_view local, TS3270Reply& r)
{
    if (local.empty() || !KeyboardUsable(r))
        return;
    const TOperatorError e = op_.Type(local);
    switch (e.Fault) {
    case TOperatorFault::None:
        return;
    case TOperatorFault::Protected:
    case TOperatorFault::Numeric:
    case TOperatorFault::FieldFull:
    case TOperatorFault::FieldStart:
        OperatorError(r);
        return;
    case TOperatorFault::NotConnected:
        r.Fail("Canceled");
        return;
    case TOperatorFault::KeyboardLocked:
        r.Fail("Keyboard locked");
        return;
    default:
        r.Fail(e.Message);
        return;
    }
}

std::string TS3270Session::Execute(std::string_view line)
{
    const auto start = Clock::now();
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    TS3270Reply reply;
    if (line.size() > kS3270MaxLine) {
        reply.Fail("Action line too long");
    } else {
        TS3270ParseResult parsed = ParseS3270Line(line);
        if (!parsed.error.empty()) {
            reply.Fail(parsed.error);
        } else if (!parsed.line.name.empty()) {
            if (const TS3270Action* action = FindS3270Action(parsed.line.name))
                action->handler(*this, parsed.line.args, reply);
            else
                reply.Fail("Unknown action: " + parsed.line.name);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::string out;
    std::size_t size = 64;
    for (const auto& d : reply.data)
        size += d.size() + 7;
    out.reserve(size);
    for (const auto& d : reply.data) {
        out += "data: ";
        out += d;
        out += '\n';
    }
    out += S3270StatusLine(StatusFields(), seconds);
    out += reply.error ? "\nerror\n" : "\nok\n";
    return out;
}

bool TS3270Session::Serve(int in, int out)
{
    std::string buffer;
    char chunk[16384];
    for (;;) {
        std::size_t nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
            const std::string answer = Execute(std::string_view(buffer).substr(0, nl));
            buffer.erase(0, nl + 1);
            if (!WriteAll(out, answer))
                return false;
            if (quit_)
                return true;
        }
        if (buffer.size() > kS3270MaxLine) {
            // A line without end: answer it as too long and drop it.
            if (!WriteAll(out, Execute(std::string(kS3270MaxLine + 1, ' '))))
                return false;
            buffer.clear();
        }
        const ssize_t n = ::read(in, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (!buffer.empty()) {
                const bool ok = WriteAll(out, Execute(buffer));
                buffer.clear();
                return ok;
            }
            return true;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

int TS3270Session::ServeScriptPort(const std::string& where)
{
    std::string address = "127.0.0.1";
    std::string portText = where;
    if (const auto colon = where.rfind(':'); colon != std::string::npos) {
        address = where.substr(0, colon);
        portText = where.substr(colon + 1);
    }
    const auto port = S3270Number(portText);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    if (port < 0 || port > 65535 || ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        log_ << "s3270 mode: invalid -scriptport '" << where << "'\n";
        return 2;
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(listener, 1) != 0) {
        log_ << "s3270 mode: cannot listen on " << where << ": " << std::strerror(errno) << '\n';
        if (listener >= 0)
            ::close(listener);
        return 1;
    }
    while (!quit_) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        Serve(client, client);
        ::close(client);
    }
    ::close(listener);
    return 0;
}
