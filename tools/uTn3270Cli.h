// Command line of the tn3270 program: the options, the HOST[:PORT]
// argument and the usage text. Pure parsing, no I/O: the program decides
// what to print and how to exit.
#pragma once

#include "component/uSessionTypes.h"
#include "config/uOrvTnGlbl.h"
#include "component/uTn3270E.h"  // the screen sizes and model limits
#include "component/uLoadDriver.h"
#include "log/uOrvIntfLogg.h"
#include "platform/uTlsTransport.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Telnet's port, used when neither the argument nor --port names one.
inline constexpr std::int32_t kDefaultTelnetPort = 23;
// The usual port of telnet over TLS, used with --tls when no port is named.
inline constexpr std::int32_t kDefaultTlsPort = 992;
inline constexpr std::int32_t kMaxPort = 65535;
// Waits (script `wait` commands, the demo flow) give up after this long
// unless --timeout or the command itself says otherwise.
inline constexpr double kDefaultWaitSeconds = 10.0;
// The longest wait anyone may ask for: a day.
inline constexpr double kMaxWaitSeconds = 86400.0;
// The highest --log-level: the package's levels run from 1 (errors) to 6
// (every data dump); this one logs everything.
inline constexpr int kMaxLogLevel = static_cast<int>(TLogLevel::llAll);
// The longest --think: a minute after each step; the most --iterations.
inline constexpr std::int32_t kMaxThinkMs = 60000;
inline constexpr std::int32_t kMaxCliIterations = 1000000000;

struct THostPort {
    std::string host;
    // Empty when the text named no port.
    std::optional<std::int32_t> port;
};

// Splits "HOST", "HOST:PORT", "[IPV6]", "[IPV6]:PORT" or a bare IPv6
// address (more than one ':' and no brackets: all of it is the host).
// Returns nothing and sets error to a one-line message when the text is
// empty, the port is not a number from 1 to 65535, or a bracket is unclosed.
std::optional<THostPort> ParseHostPort(std::string_view text, std::string& error);

// Seconds as the user writes them ("5", "0.5"): a positive finite number
// up to kMaxWaitSeconds. Nothing for anything else.
std::optional<double> ParseSeconds(std::string_view text);

struct TCliOptions {
    // Empty: start the embedded demo host and connect to it.
    std::string host;
    std::int32_t port = kDefaultTelnetPort;
    // LU name to ask the host for (--device); empty: the host picks one.
    std::string device;
    TTn3270TerminalType terminalType = TTn3270TerminalType::tt3278m2E;
    // --model as given ("4", "3279-4-E"), handed to the component's
    // SetModelName; empty: the component's default (model 2).
    std::string model;
    // The model number --model names (kDefaultModel without one).
    std::int32_t modelNumber = kDefaultModel;
    // --oversize COLSxROWS: an alternate size beyond the model's.
    std::optional<TScreenSize> oversize;
    // --tn3270e / --no-tn3270e: whether the TN3270E option may be accepted.
    bool extended = true;
    // --log-level; nothing: the package's configuration decides.
    std::optional<int> logLevel;
    std::string logDir;
    // Translation table file (--table); empty: the default tables.
    std::string table;
    // Built-in code page (--codepage), as "cp" and digits; empty: none.
    std::string codePage;
    // --write-table NAME FILE: write the code page's tables to FILE in the
    // table-file format and stop (no connection).
    std::string writeTableCodePage;
    std::string writeTableFile;
    double timeoutSeconds = kDefaultWaitSeconds;
    // --read-pause MS: the reader's pause before each read. 0 for the tool:
    // the waits settle on the keyboard lock, not on a pause.
    std::int32_t readPauseMs = 0;
    bool script = false;
    // --load FILE: run the load script (tools/uLoadScript.h) with
    // --sessions sessions, --iterations each, --think MS after every step,
    // on --driver-threads threads, and print the per-step table.
    std::string loadScript;
    std::int32_t loadSessions = 1;
    std::int32_t loadIterations = 1;
    std::int32_t thinkMs = 0;
    std::int32_t driverThreads = 1;
    bool help = false;
    // The embedded demo host serves plain TN3270 instead of TN3270E.
    bool demoPlain = false;
    // --tls / --starttls; nothing: the package's configuration decides.
    std::optional<TTlsMode> tls;
    // --cafile, --cert, --key; empty: the configuration's (or none).
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    // --insecure: no certificate checks at all.
    bool insecure = false;
    // --event-loop: the session on the event-loop transport.
    bool eventLoop = false;
};

struct TCliParse {
    TCliOptions options;
    // Empty when the command line is valid; otherwise one line for the user.
    std::string error;
};

// Parses the arguments after the program name. Options take their value as
// the next argument or after '=' (--port=2323); "--" ends the options.
// At most one HOST[:PORT]; --port overrides the port in it.
TCliParse ParseCommandLine(std::span<const std::string> args);

// The --help text (several lines, ends with a newline).
std::string UsageText(std::string_view program);

// A built-in code page as the user names it: "cp1141", "CP037" or the bare
// number "1141"; the result is the ConversionTable value ("cp" and the
// digits as given). Nothing, with error set, for anything else.
std::optional<std::string> ParseCodePageName(std::string_view text, std::string& error);

// A model as --model takes it: 2 to 5, or 3278-N / 3279-N with an optional
// "-E" (case-insensitive). The model number; nothing for anything else.
std::optional<std::int32_t> ParseModelNumber(std::string_view text);

// "COLSxROWS" (as s3270's -oversize writes it); nothing unless both are
// numbers. Whether the size suits a model is ValidOversize's question.
std::optional<TScreenSize> ParseOversize(std::string_view text);

// "IBM-3278-2" / "IBM-3278-2-E" (case-insensitive); nothing for other names.
std::optional<TTn3270TerminalType> ParseTerminalType(std::string_view name);
