// The command interpreter of `tn3270 --script`: the command table and the
// parser over it.
#include "tools/uScriptSession.h"

#include "tools/uScriptLexer.h"
#include "tools/uTn3270Cli.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <istream>
#include <optional>
#include <ostream>
#include <vector>

namespace {

// The answer to one command: data lines, then ok or the error.
struct TAnswer {
    std::vector<std::string> data;
    std::string error;
    bool failed = false;
    // The words fit the form but not its sense (an empty text to wait
    // for): answered with the command's usage.
    bool usage = false;

    static TAnswer Error(std::string message)
    {
        TAnswer a;
        a.error = std::move(message);
        a.failed = true;
        return a;
    }
    static TAnswer Usage()
    {
        TAnswer a;
        a.usage = true;
        return a;
    }
    static TAnswer Of(const TOperatorError& e) { return e.Ok() ? TAnswer{} : Error(e.Message); }
};

// What a word after the command must be.
enum class TArg : std::uint8_t {
    Bare,      // an unquoted word
    Any,       // any word, quoted or not
    Quoted,    // a text in double quotes (may be empty)
    Number,    // an unquoted whole number
    Choice,    // one of the unquoted words that `shown` separates with '|'
    Optional,  // any word, or none (only last)
};

struct TArgSpec {
    TArg kind;
    std::string_view shown;  // as the usage and the help show it
};

struct TContext {
    TOperator& op;
    const TScriptConfig& config;
    bool quit = false;
};

using TArgs = std::vector<TScriptWord>;
using THandler = TAnswer (*)(TContext&, const TArgs&);

// One command form: a row of the table.
struct TCommand {
    std::string_view name;
    std::vector<TArgSpec> args;
    THandler handler;
    std::string_view help;
};

std::chrono::milliseconds ToMilliseconds(double seconds)
{
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(seconds * 1000.0)));
}

std::string FormatSeconds(std::chrono::milliseconds ms)
{
    const auto count = ms.count();
    if (count % 1000 == 0)
        return std::to_string(count / 1000);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3g", static_cast<double>(count) / 1000.0);
    return buf;
}

std::optional<std::int32_t> ParseNumber(const TScriptWord& w)
{
    if (w.quoted)
        return std::nullopt;
    std::int32_t n = 0;
    const auto* end = w.text.data() + w.text.size();
    const auto [p, ec] = std::from_chars(w.text.data(), end, n);
    if (w.text.empty() || ec != std::errc() || p != end)
        return std::nullopt;
    return n;
}

bool IsChoice(std::string_view shown, const TScriptWord& w)
{
    if (w.quoted)
        return false;
    while (!shown.empty()) {
        const auto bar = shown.find('|');
        if (shown.substr(0, bar) == w.text)
            return true;
        shown = bar == std::string_view::npos ? std::string_view() : shown.substr(bar + 1);
    }
    return false;
}

bool Fits(const TCommand& c, const TArgs& args)
{
    std::size_t required = 0;
    for (const TArgSpec& a : c.args)
        required += a.kind == TArg::Optional ? 0 : 1;
    if (args.size() < required || args.size() > c.args.size())
        return false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const TScriptWord& w = args[i];
        switch (c.args[i].kind) {
        case TArg::Bare: if (w.quoted) return false; break;
        case TArg::Quoted: if (!w.quoted) return false; break;
        case TArg::Number: if (!ParseNumber(w)) return false; break;
        case TArg::Choice: if (!IsChoice(c.args[i].shown, w)) return false; break;
        case TArg::Any:
        case TArg::Optional: break;
        }
    }
    return true;
}

std::string Usage(const TCommand& c)
{
    std::string s(c.name);
    for (const TArgSpec& a : c.args)
        (s += ' ') += a.shown;
    return s;
}

// ------------------------------------------------------------ waits

// The wait's time-out: the command's SECONDS, else the configured one.
std::optional<std::chrono::milliseconds> Timeout(TContext& ctx, const TArgs& args, std::size_t at, TAnswer& error)
{
    if (args.size() <= at)
        return ctx.config.waitTimeout;
    const TScriptWord& w = args[at];
    const auto seconds = w.quoted ? std::nullopt : ParseSeconds(w.text);
    if (!seconds) {
        error = TAnswer::Error("SECONDS must be a number above 0 and at most " +
                               std::to_string(static_cast<int>(kMaxWaitSeconds)) + ": " + w.text);
        return std::nullopt;
    }
    return ToMilliseconds(*seconds);
}

TAnswer Wait(TContext& ctx, const TWaitCondition& condition, const std::string& subject, const TArgs& args,
             std::size_t secondsAt)
{
    TAnswer answer;
    const auto timeout = Timeout(ctx, args, secondsAt, answer);
    if (!timeout)
        return answer;
    const TWaitResult r = ctx.op.Wait(condition, *timeout);
    switch (r) {
    case TWaitResult::Ok: return {};
    case TWaitResult::Timeout:
        return TAnswer::Error("timeout after " + FormatSeconds(*timeout) + " s waiting for " + subject);
    case TWaitResult::Ended:
    case TWaitResult::Failed: {
        const std::string why = ctx.op.Status().TlsError;
        return TAnswer::Error(std::string(r == TWaitResult::Ended ? "not connected" : "connection failed") +
                              " (waiting for " + subject + ")" + (why.empty() ? "" : ": " + why));
    }
    case TWaitResult::Refused:
    case TWaitResult::Cancelled: break;
    }
    return TAnswer::Error(ctx.op.LastError().Message);
}

TAnswer WaitEvent(TContext& ctx, const TArgs& args)
{
    const std::string& what = args[0].text;
    const TWaitKind kind = what == "screen"    ? TWaitKind::Screen
                           : what == "unlock"  ? TWaitKind::Unlock
                           : what == "connect" ? TWaitKind::Connect
                           : what == "field"   ? TWaitKind::InputField
                                               : TWaitKind::Disconnect;
    return Wait(ctx, TWaitCondition::Of(kind), kind == TWaitKind::InputField ? "input field" : what, args, 1);
}

TAnswer WaitText(TContext& ctx, const TArgs& args)
{
    if (args[1].text.empty())
        return TAnswer::Usage();
    return Wait(ctx, TWaitCondition::ForText(args[1].text), "text " + TScreenExport::ToUtf8(args[1].text), args, 2);
}

TAnswer WaitCursor(TContext& ctx, const TArgs& args)
{
    const std::int32_t row = *ParseNumber(args[1]), col = *ParseNumber(args[2]);
    return Wait(ctx, TWaitCondition::ForCursor(row - 1, col - 1),
                "cursor " + std::to_string(row) + " " + std::to_string(col), args, 3);
}

// ------------------------------------------------------------ the others

TAnswer Connect(TContext& ctx, const TArgs& args)
{
    std::string host = ctx.config.defaultHost;
    std::int32_t port = ctx.config.defaultPort;
    if (!args.empty()) {
        std::string error;
        const auto target = ParseHostPort(args[0].text, error);
        if (!target)
            return TAnswer::Error(error);
        host = target->host;
        port = target->port.value_or(ctx.config.connectPort);
    } else if (host.empty()) {
        return TAnswer::Error("usage: connect HOST[:PORT]");
    }
    return TAnswer::Of(ctx.op.Connect(host, port));
}

TAnswer Screen(TContext& ctx, const TArgs&)
{
    TAnswer a;
    a.data = ctx.op.Rows();
    const TCursor c = ctx.op.Cursor();
    a.data.push_back("cursor " + std::to_string(c.Row + 1) + " " + std::to_string(c.Col + 1));
    return a;
}

TAnswer Text(TContext& ctx, const TArgs& args)
{
    TAnswer a;
    a.data.emplace_back();
    const TOperatorError e =
        ctx.op.ReadText(*ParseNumber(args[0]) - 1, *ParseNumber(args[1]) - 1, *ParseNumber(args[2]), a.data.back());
    return e.Ok() ? a : TAnswer::Of(e);
}

TAnswer Key(TContext& ctx, const TArgs& args)
{
    const auto key = args[0].quoted ? std::nullopt : TOperator::ParseKeyName(args[0].text);
    if (!key)
        return TAnswer::Error("unknown key " + args[0].text);
    return TAnswer::Of(ctx.op.Key(*key));
}

TAnswer Snap(TContext& ctx, const TArgs& args)
{
    // The lexer gives the screen's local characters; the file system takes UTF-8.
    const std::string path = TScreenExport::ToUtf8(args[1].text);
    return TAnswer::Of(args[0].text == "html" ? ctx.op.SaveHtml(path) : ctx.op.SaveText(path));
}

const std::vector<TCommand>& Commands()
{
    using A = TArg;
    static const std::vector<TCommand> table = {
        {"connect", {{A::Optional, "[HOST[:PORT]]"}}, Connect,
         "connects (no HOST: the program's own target)"},
        {"disconnect", {}, [](TContext& c, const TArgs&) { return TAnswer::Of(c.op.Disconnect()); },
         "closes the connection"},
        {"quit", {}, [](TContext& c, const TArgs&) { c.quit = true; return TAnswer{}; },
         "answers ok and ends (so does end of input)"},
        {"wait", {{A::Choice, "screen|unlock|connect|disconnect|field"}, {A::Optional, "[SECONDS]"}}, WaitEvent,
         "an event since the last action (field: input)"},
        {"wait", {{A::Choice, "text"}, {A::Quoted, "\"TEXT\""}, {A::Optional, "[SECONDS]"}}, WaitText,
         "until the screen shows the text"},
        {"wait", {{A::Choice, "cursor"}, {A::Number, "ROW"}, {A::Number, "COL"}, {A::Optional, "[SECONDS]"}},
         WaitCursor, "until the cursor is at ROW COL"},
        {"screen", {}, Screen, "the rows of the screen, then \"cursor ROW COL\""},
        {"text", {{A::Number, "ROW"}, {A::Number, "COL"}, {A::Number, "LEN"}}, Text,
         "LEN characters from ROW COL, on over row ends"},
        {"fields", {}, [](TContext& c, const TArgs&) { TAnswer a; a.data = c.op.FieldLines(); return a; },
         "one line per host field"},
        {"status", {}, [](TContext& c, const TArgs&) { TAnswer a; a.data = c.op.StatusLines(); return a; },
         "connection, keyboard, TN3270E and TLS state"},
        {"set", {{A::Bare, "FIELD"}, {A::Quoted, "\"TEXT\""}},
         [](TContext& c, const TArgs& a) { return TAnswer::Of(c.op.SetField(TFieldRef::Parse(a[0].text), a[1].text)); },
         "fills a field: input index (0, 1, ...) or R5C20"},
        {"type", {{A::Quoted, "\"TEXT\""}}, [](TContext& c, const TArgs& a) { return TAnswer::Of(c.op.Type(a[0].text)); },
         "types at the cursor as an operator would"},
        {"cursor", {{A::Number, "ROW"}, {A::Number, "COL"}},
         [](TContext& c, const TArgs& a) {
             return TAnswer::Of(c.op.MoveCursor1(*ParseNumber(a[0]), *ParseNumber(a[1])));
         },
         "moves the cursor"},
        {"tab", {}, [](TContext& c, const TArgs&) { return TAnswer::Of(c.op.Tab()); },
         "the cursor to the next input field"},
        {"backtab", {}, [](TContext& c, const TArgs&) { return TAnswer::Of(c.op.BackTab()); },
         "the cursor to this or the previous input field"},
        {"home", {}, [](TContext& c, const TArgs&) { return TAnswer::Of(c.op.Home()); },
         "the cursor to the first input field"},
        {"erase-eof", {}, [](TContext& c, const TArgs&) { return TAnswer::Of(c.op.EraseEof()); },
         "empties the field from the cursor on"},
        {"key", {{A::Any, "enter|clear|pf1..pf24|pa1..pa3|sysreq|attn"}}, Key, "sends an attention key"},
        {"snap", {{A::Choice, "text|html"}, {A::Any, "FILE"}}, Snap,
         "the screen to FILE, as text or an HTML page"},
    };
    return table;
}

void Write(std::ostream& out, const TAnswer& answer)
{
    for (const auto& line : answer.data)
        out << "data: " << line << '\n';
    if (answer.failed)
        out << "error: " << answer.error << '\n';
    else
        out << "ok\n";
    out.flush();
}

}  // namespace

std::vector<TScriptCommandHelp> ScriptCommandHelp()
{
    std::vector<TScriptCommandHelp> out;
    for (const TCommand& c : Commands())
        out.push_back({Usage(c), std::string(c.help)});
    return out;
}

TScriptInterpreter::TScriptInterpreter(TOperator& op, TScriptConfig config) : op_(op), config_(std::move(config))
{
    op_.SetTypeAhead(true);
}

bool TScriptInterpreter::Execute(std::string_view line, std::ostream& out)
{
    const TScriptLine lexed = LexScriptLine(line);
    if (!lexed.error.empty()) {
        Write(out, TAnswer::Error(lexed.error));
        return true;
    }
    const auto& w = lexed.words;
    if (w.empty() || (!w[0].quoted && w[0].text.front() == '#'))
        return true;
    if (w[0].quoted) {
        Write(out, TAnswer::Error("unknown command \"" + w[0].text + "\""));
        return true;
    }
    const TArgs args(w.begin() + 1, w.end());
    TContext ctx{op_, config_};
    std::string usage;
    TAnswer answer;
    bool ran = false;
    for (const TCommand& c : Commands()) {
        if (c.name != w[0].text)
            continue;
        usage += (usage.empty() ? "usage: " : " | ") + Usage(c);
        if (!ran && Fits(c, args)) {
            answer = c.handler(ctx, args);
            ran = true;
        }
    }
    if (usage.empty())
        answer = TAnswer::Error("unknown command " + w[0].text);
    else if (!ran || answer.usage)
        answer = TAnswer::Error(usage);
    Write(out, answer);
    return !ctx.quit;
}

void TScriptInterpreter::Run(std::istream& in, std::ostream& out)
{
    std::string line;
    bool tooLong = false;
    char c = 0;
    while (true) {
        line.clear();
        tooLong = false;
        bool gotAny = false;
        // A bounded getline: the rest of an overlong line is read and dropped.
        while (in.get(c)) {
            gotAny = true;
            if (c == '\n')
                break;
            if (line.size() < kMaxScriptLineBytes)
                line.push_back(c);
            else
                tooLong = true;
        }
        if (!gotAny)
            return;
        if (tooLong) {
            Write(out, TAnswer::Error("line longer than " + std::to_string(kMaxScriptLineBytes) + " bytes"));
            continue;
        }
        if (!Execute(line, out))
            return;
    }
}
