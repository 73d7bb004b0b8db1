// The command interpreter of `tn3270 --script`.
#include "tools/uScriptSession.h"

#include "tools/uScriptLexer.h"
#include "tools/uTn3270Cli.h"

#include <charconv>
#include <cmath>
#include <istream>
#include <ostream>
#include <vector>

namespace {

// The answer to one command: data lines, then ok or the error.
struct TAnswer {
    std::vector<std::string> data;
    std::string error;
    bool failed = false;

    static TAnswer Error(std::string message)
    {
        TAnswer a;
        a.error = std::move(message);
        a.failed = true;
        return a;
    }
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

const char* WaitName(TWaitEvent e)
{
    switch (e) {
    case TWaitEvent::Screen: return "screen";
    case TWaitEvent::Unlock: return "unlock";
    case TWaitEvent::Connect: return "connect";
    case TWaitEvent::Disconnect: return "disconnect";
    }
    return "event";
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

TScriptInterpreter::TScriptInterpreter(TTerminalSession& session, TScriptConfig config)
    : session_(session), config_(std::move(config))
{
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

    const std::string command = w[0].quoted ? std::string() : w[0].text;
    const std::size_t args = w.size() - 1;
    TAnswer answer;
    std::string error;
    bool keepGoing = true;

    auto usage = [](const char* text) { return TAnswer::Error(std::string("usage: ") + text); };

    if (command == "quit") {
        if (args != 0)
            answer = usage("quit");
        else
            keepGoing = false;
    } else if (command == "connect") {
        std::string host = config_.defaultHost;
        std::int32_t port = config_.defaultPort;
        if (args > 1) {
            answer = usage("connect [HOST[:PORT]]");
        } else if (args == 1) {
            const auto target = ParseHostPort(w[1].text, error);
            if (!target) {
                answer = TAnswer::Error(error);
            } else {
                host = target->host;
                port = target->port.value_or(config_.connectPort);
            }
        } else if (host.empty()) {
            answer = usage("connect HOST[:PORT]");
        }
        if (!answer.failed && !session_.Connect(host, port, error))
            answer = TAnswer::Error(error);
    } else if (command == "disconnect") {
        if (args != 0)
            answer = usage("disconnect");
        else if (!session_.Disconnect(error))
            answer = TAnswer::Error(error);
    } else if (command == "wait") {
        const char* const kUsage = "wait screen|unlock|connect|disconnect [SECONDS] | wait text \"TEXT\" [SECONDS]";
        const std::string what = args >= 1 && !w[1].quoted ? w[1].text : std::string();
        const bool text = what == "text";
        const std::size_t secondsAt = text ? 3 : 2;
        std::chrono::milliseconds timeout = config_.waitTimeout;
        std::optional<TWaitEvent> event;
        if (what == "screen")
            event = TWaitEvent::Screen;
        else if (what == "unlock")
            event = TWaitEvent::Unlock;
        else if (what == "connect")
            event = TWaitEvent::Connect;
        else if (what == "disconnect")
            event = TWaitEvent::Disconnect;
        if ((!event && !text) || args > secondsAt || (text && (args < 2 || !w[2].quoted || w[2].text.empty()))) {
            answer = usage(kUsage);
        } else if (args == secondsAt) {
            const auto seconds = w[secondsAt].quoted ? std::nullopt : ParseSeconds(w[secondsAt].text);
            if (!seconds)
                answer = TAnswer::Error("SECONDS must be a number above 0 and at most " +
                                        std::to_string(static_cast<int>(kMaxWaitSeconds)) + ": " + w[secondsAt].text);
            else
                timeout = ToMilliseconds(*seconds);
        }
        if (!answer.failed) {
            const TWaitResult r = text ? session_.WaitText(w[2].text, timeout) : session_.Wait(*event, timeout);
            const std::string subject = text ? "text " + w[2].text : std::string(WaitName(*event));
            switch (r) {
            case TWaitResult::Ok: break;
            case TWaitResult::Timeout:
                answer = TAnswer::Error("timeout after " + FormatSeconds(timeout) + " s waiting for " + subject);
                break;
            case TWaitResult::Ended:
            case TWaitResult::Failed: {
                std::string why = session_.TlsError();
                answer = TAnswer::Error(std::string(r == TWaitResult::Ended ? "not connected" : "connection failed") +
                                        " (waiting for " + subject + ")" + (why.empty() ? "" : ": " + why));
                break;
            }
            }
        }
    } else if (command == "screen") {
        if (args != 0)
            answer = usage("screen");
        else
            answer.data = session_.ScreenLines();
    } else if (command == "fields") {
        if (args != 0)
            answer = usage("fields");
        else
            answer.data = session_.FieldLines();
    } else if (command == "status") {
        if (args != 0)
            answer = usage("status");
        else
            answer.data = session_.StatusLines();
    } else if (command == "set") {
        if (args != 2 || w[1].quoted || !w[2].quoted)
            answer = usage("set FIELD \"TEXT\"");
        else if (!session_.SetField(w[1].text, w[2].text, error))
            answer = TAnswer::Error(error);
    } else if (command == "type") {
        if (args != 1 || !w[1].quoted)
            answer = usage("type \"TEXT\"");
        else if (!session_.Type(w[1].text, error))
            answer = TAnswer::Error(error);
    } else if (command == "cursor") {
        const auto row = args == 2 ? ParseNumber(w[1]) : std::nullopt;
        const auto col = args == 2 ? ParseNumber(w[2]) : std::nullopt;
        if (!row || !col)
            answer = usage("cursor ROW COL");
        else if (!session_.SetCursor(*row, *col, error))
            answer = TAnswer::Error(error);
    } else if (command == "key") {
        const auto key = args == 1 && !w[1].quoted ? ParseKeyName(w[1].text) : std::nullopt;
        if (args != 1)
            answer = usage("key enter|clear|pf1..pf24|pa1..pa3|sysreq|attn");
        else if (!key)
            answer = TAnswer::Error("unknown key " + w[1].text);
        else if (!session_.Key(*key, error))
            answer = TAnswer::Error(error);
    } else {
        answer = TAnswer::Error("unknown command " + (w[0].quoted ? "\"" + w[0].text + "\"" : w[0].text));
    }
    Write(out, answer);
    return keepGoing;
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
