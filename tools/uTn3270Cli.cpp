// Command line of the tn3270 program.
#include "tools/uTn3270Cli.h"

#include "tools/uLoadScript.h"
#include "tools/uScriptSession.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

std::optional<std::int32_t> ParseInt(std::string_view text, std::int32_t low, std::int32_t high)
{
    std::int32_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high)
        return std::nullopt;
    return value;
}

std::optional<std::int32_t> ParsePort(std::string_view text)
{
    return ParseInt(text, 1, kMaxPort);
}

}  // namespace

std::optional<THostPort> ParseHostPort(std::string_view text, std::string& error)
{
    THostPort result;
    std::string_view portText;
    bool hasPort = false;
    if (text.empty()) {
        error = "no host given";
        return std::nullopt;
    }
    if (text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos) {
            error = "missing ']' in host " + std::string(text);
            return std::nullopt;
        }
        result.host = std::string(text.substr(1, close - 1));
        const auto rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                error = "unexpected text after ']' in " + std::string(text);
                return std::nullopt;
            }
            portText = rest.substr(1);
            hasPort = true;
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        const auto colon = text.find(':');
        result.host = std::string(text.substr(0, colon));
        portText = text.substr(colon + 1);
        hasPort = true;
    } else {
        // A name, a dotted address, or a bare IPv6 address.
        result.host = std::string(text);
    }
    if (result.host.empty()) {
        error = "no host name in " + std::string(text);
        return std::nullopt;
    }
    if (hasPort) {
        const auto port = ParsePort(portText);
        if (!port) {
            error = "port must be a number from 1 to " + std::to_string(kMaxPort) + ": " + std::string(portText);
            return std::nullopt;
        }
        result.port = *port;
    }
    return result;
}

std::optional<double> ParseSeconds(std::string_view text)
{
    if (text.empty() || text.size() > 32)
        return std::nullopt;
    // strtod accepts hexadecimal, "inf" and "nan": only plain decimals are seconds.
    if (!std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == '.'; }))
        return std::nullopt;
    if (std::count(text.begin(), text.end(), '.') > 1 || text == ".")
        return std::nullopt;
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(value) || value <= 0.0 || value > kMaxWaitSeconds)
        return std::nullopt;
    return value;
}

std::optional<TTn3270TerminalType> ParseTerminalType(std::string_view name)
{
    if (EqualsNoCase(name, "IBM-3278-2"))
        return TTn3270TerminalType::tt3278m2;
    if (EqualsNoCase(name, "IBM-3278-2-E"))
        return TTn3270TerminalType::tt3278m2E;
    return std::nullopt;
}

std::optional<std::int32_t> ParseModelNumber(std::string_view text)
{
    std::string_view rest = text;
    if (rest.size() > 5 && (rest.substr(0, 5) == "3278-" || rest.substr(0, 5) == "3279-")) {
        rest.remove_prefix(5);
        if (rest.size() == 3 && (rest.substr(1) == "-E" || rest.substr(1) == "-e"))
            rest.remove_suffix(2);
    }
    if (rest.size() != 1)
        return std::nullopt;
    return ParseInt(rest, kMinModel, kMaxModel);
}

std::optional<TScreenSize> ParseOversize(std::string_view text)
{
    const auto x = text.find_first_of("xX");
    if (x == std::string_view::npos)
        return std::nullopt;
    const auto cols = ParseInt(text.substr(0, x), 1, kMaxScreenCols);
    const auto rows = ParseInt(text.substr(x + 1), 1, kMaxScreenRows);
    if (!cols || !rows)
        return std::nullopt;
    return TScreenSize{*rows, *cols};
}

std::optional<std::string> ParseCodePageName(std::string_view text, std::string& error)
{
    std::string name(text);
    if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        name = "cp" + name;
    if (FindCodePage(name) == nullptr) {
        error = UnknownCodePageMessage(text);
        return std::nullopt;
    }
    return name;
}

TCliParse ParseCommandLine(std::span<const std::string> args)
{
    TCliParse parse;
    TCliOptions& o = parse.options;
    std::optional<std::int32_t> portOption;
    std::optional<THostPort> target;
    bool optionsEnded = false;

    auto fail = [&](std::string message) {
        parse.error = std::move(message);
        return parse;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (target)
                return fail("only one host may be given: " + arg);
            std::string error;
            target = ParseHostPort(arg, error);
            if (!target)
                return fail(error);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        // Flags take no value.
        auto flag = [&](bool& target, bool value) -> bool {
            if (inlineValue)
                return false;
            target = value;
            return true;
        };
        if (name == "--script") {
            if (!flag(o.script, true))
                return fail("option --script takes no value");
            continue;
        }
        if (name == "--help" || name == "-h") {
            if (!flag(o.help, true))
                return fail("option --help takes no value");
            continue;
        }
        if (name == "--tn3270e" || name == "--no-tn3270e") {
            if (!flag(o.extended, name == "--tn3270e"))
                return fail("option " + name + " takes no value");
            continue;
        }
        if (name == "--tls" || name == "--starttls") {
            if (inlineValue)
                return fail("option " + name + " takes no value");
            const TTlsMode mode = name == "--tls" ? TTlsMode::tmDirect : TTlsMode::tmStartTls;
            if (o.tls && *o.tls != mode)
                return fail("choose one of --tls and --starttls");
            o.tls = mode;
            continue;
        }
        if (name == "--insecure") {
            if (!flag(o.insecure, true))
                return fail("option --insecure takes no value");
            continue;
        }
        if (name == "--event-loop") {
            if (!flag(o.eventLoop, true))
                return fail("option --event-loop takes no value");
            continue;
        }
        if (name == "--demo-plain") {
            if (!flag(o.demoPlain, true))
                return fail("option --demo-plain takes no value");
            continue;
        }
        if (name == "--write-table") {
            // Two values: the code page and the file.
            if (inlineValue || i + 2 >= args.size())
                return fail("usage: --write-table CODEPAGE FILE");
            std::string error;
            const auto page = ParseCodePageName(args[i + 1], error);
            if (!page)
                return fail("--write-table: " + error);
            if (args[i + 2].empty())
                return fail("--write-table needs a file name");
            o.writeTableCodePage = *page;
            o.writeTableFile = args[i + 2];
            i += 2;
            continue;
        }
        static constexpr std::string_view kValued[] = {"--port",    "--device", "--terminal-type", "--log-level",
                                                       "--log-dir", "--table",  "--codepage",      "--timeout",
                                                       "--cafile",  "--cert",   "--key",
                                                       "--read-pause", "--model", "--oversize",
                                                       "--load",    "--sessions", "--iterations", "--think",
                                                       "--driver-threads"};
        if (std::find(std::begin(kValued), std::end(kValued), name) == std::end(kValued))
            return fail("unknown option " + name);
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else {
            if (i + 1 >= args.size())
                return fail("option " + name + " needs a value");
            value = args[++i];
        }
        if (name == "--port") {
            portOption = ParsePort(value);
            if (!portOption)
                return fail("--port must be a number from 1 to " + std::to_string(kMaxPort) + ": " + value);
        } else if (name == "--device") {
            if (value.empty())
                return fail("--device needs a name");
            o.device = value;
        } else if (name == "--terminal-type") {
            const auto type = ParseTerminalType(value);
            if (!type)
                return fail("--terminal-type must be IBM-3278-2 or IBM-3278-2-E: " + value);
            o.terminalType = *type;
        } else if (name == "--model") {
            const auto model = ParseModelNumber(value);
            if (!model)
                return fail("--model must be 2, 3, 4 or 5 (or 3278-N, 3279-N, with -E): " + value);
            o.model = value;
            o.modelNumber = *model;
        } else if (name == "--oversize") {
            const auto size = ParseOversize(value);
            if (!size)
                return fail("--oversize must be COLSxROWS, at most " + std::to_string(kMaxScreenCols) + "x" +
                            std::to_string(kMaxScreenRows) + ": " + value);
            o.oversize = size;
        } else if (name == "--log-level") {
            const auto level = ParseInt(value, 0, kMaxLogLevel);
            if (!level)
                return fail("--log-level must be a number from 0 to " + std::to_string(kMaxLogLevel) + ": " + value);
            o.logLevel = *level;
        } else if (name == "--log-dir") {
            if (value.empty())
                return fail("--log-dir needs a directory");
            o.logDir = value;
        } else if (name == "--table") {
            if (value.empty())
                return fail("--table needs a file name");
            o.table = value;
        } else if (name == "--codepage") {
            std::string error;
            const auto page = ParseCodePageName(value, error);
            if (!page)
                return fail("--codepage: " + error);
            o.codePage = *page;
        } else if (name == "--cafile" || name == "--cert" || name == "--key") {
            if (value.empty())
                return fail(name + " needs a file name");
            (name == "--cafile" ? o.caFile : name == "--cert" ? o.certFile : o.keyFile) = value;
        } else if (name == "--timeout") {
            const auto seconds = ParseSeconds(value);
            if (!seconds)
                return fail("--timeout must be a number of seconds above 0: " + value);
            o.timeoutSeconds = *seconds;
        } else if (name == "--read-pause") {
            const auto pause = ParseInt(value, 0, kMaxReadPauseMs);
            if (!pause)
                return fail("--read-pause must be a number of milliseconds from 0 to " +
                            std::to_string(kMaxReadPauseMs) + ": " + value);
            o.readPauseMs = *pause;
        } else if (name == "--load") {
            if (value.empty())
                return fail("--load needs a script file");
            o.loadScript = value;
        } else {
            // The load driver's counts: --sessions, --iterations, --think, --driver-threads.
            const bool think = name == "--think";
            const std::int32_t high = name == "--sessions"         ? kMaxLoadSessions
                                      : name == "--driver-threads" ? kMaxLoadThreads
                                      : think                      ? kMaxThinkMs
                                                                   : kMaxCliIterations;
            const auto n = ParseInt(value, think ? 0 : 1, high);
            if (!n)
                return fail(name + " must be a number from " + (think ? "0" : "1") + " to " + std::to_string(high) +
                            ": " + value);
            (name == "--sessions" ? o.loadSessions
             : name == "--iterations" ? o.loadIterations
             : think ? o.thinkMs : o.driverThreads) = *n;
        }
    }
    if (o.loadScript.empty() && (o.loadSessions != 1 || o.loadIterations != 1 || o.thinkMs != 0 || o.driverThreads != 1))
        return fail("--sessions, --iterations, --think and --driver-threads go with --load");
    if (!o.loadScript.empty() && o.script)
        return fail("choose one of --load and --script");
    if (!o.table.empty() && !o.codePage.empty())
        return fail("--table and --codepage cannot both be given");
    // Checked once both are known: the oversize must hold the model's
    // alternate size, and a 14-bit address must reach all of it.
    if (o.oversize && !ValidOversize(o.modelNumber, *o.oversize))
        return fail("--oversize must be at least the model's size (" +
                    std::to_string(ModelAlternateSize(o.modelNumber)->Cols) + "x" +
                    std::to_string(ModelAlternateSize(o.modelNumber)->Rows) + ") and at most " +
                    std::to_string(kMaxScreenPositions) + " positions: " + std::to_string(o.oversize->Cols) + "x" +
                    std::to_string(o.oversize->Rows));
    if (o.tls == TTlsMode::tmDirect)
        o.port = kDefaultTlsPort;
    if (target) {
        o.host = target->host;
        if (target->port)
            o.port = *target->port;
    }
    if (portOption)
        o.port = *portOption;
    return parse;
}

namespace {

// The script's commands as the help lists them: usage, then what it does.
std::string ScriptCommandLines()
{
    constexpr std::size_t kUsageWidth = 30;
    std::string out;
    for (const TScriptCommandHelp& c : ScriptCommandHelp()) {
        out += "  " + c.usage;
        if (c.usage.size() >= kUsageWidth)
            out += "\n" + std::string(kUsageWidth + 2, ' ');
        else
            out += std::string(kUsageWidth - c.usage.size(), ' ');
        out += c.help + "\n";
    }
    return out;
}

}  // namespace

std::string UsageText(std::string_view program)
{
    std::string p(program);
    return "Usage: " + p + " [options] [HOST[:PORT]]\n"
           "\n"
           "Connects to a TN3270E (or TN3270) host. Without HOST it starts the embedded\n"
           "demo host on 127.0.0.1 and connects to it.\n"
           "\n"
           "Options:\n"
           "  --port N             port of the host (default 23; overrides HOST:PORT)\n"
           "  --device NAME        LU (device) name to ask the host for\n"
           "  --terminal-type T    IBM-3278-2 or IBM-3278-2-E (default)\n"
           "  --model M            display model 2 (24x80, default), 3 (32x80), 4 (43x80) or\n"
           "                       5 (27x132); also 3278-N, 3279-N, with -E\n"
           "  --oversize CxR       a larger alternate screen of C columns and R rows\n"
           "  --tn3270e            accept the TN3270E option (default)\n"
           "  --no-tn3270e         refuse TN3270E: plain TN3270 only\n"
           "  --log-level N        log level 0 (off) to 9 (everything)\n"
           "  --log-dir DIR        directory of the daily log files\n"
           "  --table FILE         character translation table file\n"
           "  --codepage NAME      host code page: cp037, cp273 ... cp1149 (or the number)\n"
           "  --write-table NAME FILE  write code page NAME as a table file and stop\n"
           "  --timeout SECONDS    how long a wait may last (default 10)\n"
           "  --read-pause MS      pause before each socket read (default 0; the\n"
           "                       component's own default is 5)\n"
           "  --event-loop         carry the session on the event loop, not a reader\n"
           "                       thread (no TLS there)\n"
           "  --script             read commands from standard input (see below)\n"
           "  --load FILE          run the load script FILE on many sessions (see below)\n"
           "  --sessions N         sessions of the load (default 1)\n"
           "  --iterations K       iterations each session runs (default 1)\n"
           "  --think MS           pause after every step of the load (default 0)\n"
           "  --driver-threads T   threads that drive the load's sessions (default 1)\n"
           "  --demo-plain         the embedded demo host serves plain TN3270\n"
           "  --tls                TLS from the first byte (default port then 992)\n"
           "  --starttls           TLS after the telnet START_TLS exchange; never clear text\n"
           "                       (without HOST: with --script only, whose `connect HOST`\n"
           "                       then uses TLS; the demo host speaks plain telnet)\n"
           "  --cafile FILE        trust only the CAs in FILE (default: the system's store)\n"
           "  --cert FILE          client certificate (PEM) for hosts that ask for one\n"
           "  --key FILE           its private key (default: in the --cert file)\n"
           "  --insecure           skip every certificate check (logged); tests only\n"
           "  --help               this text\n"
           "\n"
           "Script mode: one command a line; each is answered with zero or more lines\n"
           "'data: ...' and then 'ok' or 'error: MESSAGE'. Rows and columns count from 1.\n"
           "Commands:\n" +
           ScriptCommandLines() +
           "Texts are in double quotes; \\\" \\\\ and \\xHH stand for a quote, a backslash\n"
           "and a byte. Empty lines and lines starting with # are ignored.\n"
           "\n"
           "Load scripts (--load): the setup part runs once per session, the iteration\n"
           "part --iterations times; each step is timed and reported (p50, p90, p99, max,\n"
           "errors by kind). Lines:\n" +
           LoadScriptHelp();
}
