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
#include "tools/uLoadScript.h"
#include "tools/uS3270Main.h"
#include "tools/uScriptSession.h"
#include "tools/uTn3270Cli.h"

#include <cmath>
#include <ctime>
#include <csignal>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <pthread.h>
#include <signal.h>
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

// --load: the script's steps on --sessions sessions; the table to
// standard output. 1 when a step had an error, 2 for a bad script.
int RunLoadScript(const TCliOptions& o, const std::string& host, std::int32_t port,
                  std::chrono::milliseconds timeout, const std::function<void(TTn3270E&)>& configure)
{
    std::ifstream file(o.loadScript, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    if (!file) {
        std::cerr << kProgram << ": cannot read " << o.loadScript << '\n';
        return kExitUsage;
    }
    const TLoadScript script = ParseLoadScript(text.str());
    if (!script.error.empty()) {
        std::cerr << kProgram << ": " << o.loadScript << ": " << script.error << '\n';
        return kExitUsage;
    }
    TLoadOptions options;
    options.Host = host;
    options.Port = port;
    options.Sessions = o.loadSessions;
    options.Iterations = o.loadIterations;
    options.Think = std::chrono::milliseconds(o.thinkMs);
    options.WaitTimeout = timeout;
    options.Threads = o.driverThreads;
    options.Configure = configure;
    const TLoadReport report = RunLoad(script.plan, options);
    std::cout << report.Table() << std::flush;
    if (!report.Error.empty())
        return kExitUsage;
    for (const TLoadStepReport& s : report.Steps)
        if (s.Errors > 0)
            return 1;
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

    // The command line's settings, for the one session or each of a load's.
    const auto configure = [&](TTn3270E& tn) {
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
        // After TerminalType: a model name with -E picks the -E form itself.
        if (!o.model.empty())
            tn.SetModelName(o.model);
        if (o.oversize)
            tn.SetOversize(o.oversize);
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
        if (o.eventLoop)
            tn.EventLoop = true;
    };

    const auto timeout = std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(o.timeoutSeconds * 1000.0)));
    if (!o.loadScript.empty())
        return RunLoadScript(o, host, port, timeout, configure);

    TOperator session;
    configure(session.Component());

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

// --demo-host [--fixed-clock] [PORT]: the demo host alone on loopback
// until SIGINT or SIGTERM, so that any client (s3270 itself, py3270, a
// terminal) can try it. The port goes to standard output first, on a line
// of its own, for the scripts that start it. --fixed-clock shows one fixed
// date and time on the panels, so that recorded answers stay comparable.
int RunDemoHost(const std::vector<std::string>& args)
{
    std::uint16_t port = 0;
    tnsim::TDemoOptions demo;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string error;
        if (args[i] == "--fixed-clock") {
            demo.clock = [] {
                std::tm t{};
                t.tm_year = 2026 - 1900;
                t.tm_mon = 0;
                t.tm_mday = 2;
                t.tm_hour = 3;
                t.tm_min = 4;
                t.tm_sec = 5;
                return t;
            };
        } else if (const auto hp = ParseHostPort("127.0.0.1:" + args[i], error); hp && port == 0) {
            port = static_cast<std::uint16_t>(*hp->port);
        } else {
            std::cerr << kProgram << ": usage: " << kProgram << " --demo-host [--fixed-clock] [PORT]\n";
            return kExitUsage;
        }
    }
    // Blocked before any thread starts, so that every thread inherits the
    // mask and sigwait below is the one place the signal lands.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    tnsim::TSimHostOptions hostOptions;
    hostOptions.port = port;
    hostOptions.appFactory = tnsim::TDemoApp::Factory(demo);
    tnsim::THostSimulator host(std::move(hostOptions));
    std::cout << host.Port() << std::endl;
    std::cerr << kProgram << ": demo host on " << kLoopback << ':' << host.Port()
              << " (user DEMO, password SECRET); interrupt to stop\n";
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::ios::sync_with_stdio(false);
    // A reader of our output that goes away must not kill us mid-session;
    // writes to it then fail and the streams go bad instead.
    std::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    // Started as s3270 (the link in libexec/tn3270) or with --s3270: the
    // s3270 scripting protocol, with s3270's own options.
    const std::string self = argc > 0 ? std::filesystem::path(argv[0]).filename().string() : kProgram;
    if (self == "s3270")
        return RunS3270(self, args);
    if (!args.empty() && args.front() == "--s3270")
        return RunS3270(kProgram, std::span<const std::string>(args).subspan(1));
    try {
        if (!args.empty() && args.front() == "--demo-host")
            return RunDemoHost(args);
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": " << e.what() << '\n';
        return 1;
    }
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
