// tn3270: connects to a TN3270E host (or to the embedded demo host) and
// either, on a terminal, works as a full-screen 3270 terminal, or through
// pipes walks the demo visibly or watches a host's screens, or, with
// --script, takes commands from standard input for automation.
#include "component/uOperator.h"
#include "component/uSessionTypes.h"
#include "sim/uDemoApp.h"
#include "sim/uHostSimulator.h"
#include "tools/uCursesTerminal.h"
#include "tools/uDemoFlow.h"
#include "tools/uScriptSession.h"
#include "tools/uTn3270Cli.h"

#include <cmath>
#include <csignal>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr const char* kProgram = "tn3270";
constexpr const char* kLoopback = "127.0.0.1";
constexpr int kExitUsage = 2;

// --write-table: the code page in the table-file format, which loads back
// into the same tables through --table or ConversionTable.
int WriteTable(const TCliOptions& o)
{
    const TCodePage* page = FindCodePage(o.writeTableCodePage);
    if (page == nullptr) {
        std::cerr << kProgram << ": " << UnknownCodePageMessage(o.writeTableCodePage) << '\n';
        return kExitUsage;
    }
    std::ofstream file(o.writeTableFile, std::ios::binary | std::ios::trunc);
    file << TableFileText(*page->ascToEbc, *page->ebcToAsc,
                          "Code page " + std::string(page->name) + " (" + std::string(page->iconvName) +
                              ") and Windows-1252, written by tn3270 --write-table");
    file.close();
    if (!file) {
        std::cerr << kProgram << ": cannot write " << o.writeTableFile << '\n';
        return 1;
    }
    return 0;
}

int Run(const TCliOptions& o)
{
    if (!o.writeTableFile.empty())
        return WriteTable(o);

    // A translation table is looked up beside the package module unless the
    // name has a '/': hand the component the file the user means.
    std::string table;
    if (!o.table.empty()) {
        std::error_code ec;
        const std::filesystem::path path(o.table);
        if (!std::filesystem::is_regular_file(path, ec)) {
            std::cerr << kProgram << ": translation table file not found: " << o.table << '\n';
            return kExitUsage;
        }
        table = std::filesystem::absolute(path, ec).string();
        if (ec)
            table = o.table;
    }

    // Without a host: the demo application on the simulator, on a free port.
    std::unique_ptr<tnsim::THostSimulator> demoHost;
    std::string host = o.host;
    std::int32_t port = o.port;
    // The embedded demo host speaks plain telnet. With TLS asked for and no
    // HOST, a script names its hosts itself (`connect HOST[:PORT]`, with the
    // TLS options given); anything else needs a HOST.
    const bool tls = o.tls && *o.tls != TTlsMode::tmNone;
    if (host.empty() && tls && !o.script)
        throw std::runtime_error("--tls and --starttls need a HOST (or --script, whose `connect HOST` uses TLS): "
                                 "the embedded demo host speaks plain telnet");
    if (host.empty() && !tls) {
        tnsim::TSimHostOptions hostOptions;
        hostOptions.port = 0;
        hostOptions.telnet.mode = o.demoPlain ? tnsim::TSimMode::Plain : tnsim::TSimMode::Tn3270E;
        hostOptions.appFactory = tnsim::TDemoApp::Factory();
        demoHost = std::make_unique<tnsim::THostSimulator>(std::move(hostOptions));
        host = kLoopback;
        port = demoHost->Port();
    }

    TOperator session;
    TTn3270E& tn = session.Component();
    if (!o.logDir.empty())
        tn.SetDebugDir(o.logDir);
    if (o.logLevel)
        tn.SetDebugLevel(static_cast<std::uint16_t>(*o.logLevel));
    if (!table.empty())
        tn.SetConversionTable(table);
    if (!o.codePage.empty())
        tn.SetConversionTable(o.codePage);
    tn.SetDeviceName(o.device);
    tn.SetTerminalType(o.terminalType);
    tn.SetExtended(o.extended);
    if (o.tls)
        tn.SetTlsMode(*o.tls);
    if (!o.caFile.empty())
        tn.SetTlsCaFile(o.caFile);
    if (!o.certFile.empty())
        tn.SetTlsCertFile(o.certFile);
    if (!o.keyFile.empty())
        tn.SetTlsKeyFile(o.keyFile);
    if (o.insecure)
        tn.SetTlsVerify(false);
    tn.SetReadPause(o.readPauseMs);

    const auto timeout = std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(o.timeoutSeconds * 1000.0)));

    if (o.script) {
        if (!host.empty()) {
            if (const TOperatorError e = session.Connect(host, port); !e.Ok()) {
                std::cerr << kProgram << ": " << e.Message << '\n';
                return 1;
            }
        }
        TScriptConfig config{host, port, timeout};
        // `connect HOST` without a port: the port of the command line when it
        // named no host (--port, or 992 with --tls), else telnet's.
        config.connectPort = o.host.empty() ? o.port : (o.tls == TTlsMode::tmDirect ? kDefaultTlsPort : kDefaultTelnetPort);
        TScriptInterpreter interpreter(session, config);
        interpreter.Run(std::cin, std::cout);
        return 0;
    }
    // On a terminal: the full-screen 3270 terminal; through pipes the
    // screens are printed as text.
    if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO))
        return RunCursesTerminal(session, host, port, std::cerr);
    if (demoHost)
        return RunDemoFlow(session, host, port, timeout, std::cout, std::cerr);
    return RunWatch(session, host, port, timeout, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv)
{
    std::ios::sync_with_stdio(false);
    // A reader of our output that goes away must not kill us mid-session;
    // writes to it then fail and the streams go bad instead.
    std::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    const TCliParse parse = ParseCommandLine(args);
    if (!parse.error.empty()) {
        std::cerr << kProgram << ": " << parse.error << "\nTry '" << kProgram << " --help'.\n";
        return kExitUsage;
    }
    if (parse.options.help) {
        std::cout << UsageText(kProgram);
        return 0;
    }
    try {
        return Run(parse.options);
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": " << e.what() << '\n';
        return 1;
    }
}
