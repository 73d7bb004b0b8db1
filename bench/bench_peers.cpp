// tn_bench_peers: the `tn3270 --script` tool against an independent
// emulator (Debian's s3270), both driven through a pipe as a robot drives
// them, against the same host simulator in this process:
//
//   roundtrip  Enter, wait for the host's answer (the keyboard unlocked
//              again), N times: round trips a second and CPU microseconds
//              of the client's process per round trip.
//   bulk       one Enter, then the host sends N formatted 24x80 screens
//              (about 1.5 KB, 23 fields, colours) back to back and a
//              marker screen that alone unlocks the keyboard: screens a
//              second and CPU microseconds per screen in the client.
//   long run   tn3270 only: --long-chunks (10) such Enters of N screens in
//              one session (100,000 screens): CPU per screen and resident
//              memory of the first and the last chunk, which must agree.
//
// Each client runs RUNS times per scenario; the medians are printed side by
// side with their ratio, so the comparison holds on any machine.
//
//   tn_bench_peers --tool PATH [--s3270 PATH] [--runs N] [--roundtrips N] [--screens N]
//                  [--tool-arg ARG]... [--protocol s3270]
//
// With --protocol s3270 the tool is driven as `tn3270 --s3270`, with the
// very actions s3270 gets, so that the two programs compare in one protocol.
#include "BenchScreens.h"

#include "sim/uHostSimulator.h"
#include "sim/uSim3270Encoder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace tnsim;
using Clock = std::chrono::steady_clock;

constexpr const char* kMarker = "BULK-MARKER-END";
constexpr std::chrono::seconds kClientWait{120};

// --- the host side ---------------------------------------------------------

Bytes InputScreen(int counter)
{
    TSim3270Encoder e;
    e.EraseWrite(wcc::Restore | wcc::ResetMdt);
    e.Field(1, 1, fa::Protected | fa::Intensified, "ROUND TRIP " + std::to_string(counter));
    e.Field(3, 1, fa::Protected, "COMMAND ===>");
    e.Field(3, 15, fa::Unprotected, "");
    e.IC();
    e.Field(3, 60, fa::Protected, "");
    return e.Take();
}

// The hosts below: bind when BIND-IMAGE was agreed, then the input screen;
// OnKey for every attention key (responses are not keys).
class TKeyedApp : public ISimHostApp {
public:
    void OnStart(TSimSession& s) override
    {
        if (s.Negotiated().HasFunction(fn::BindImage))
            s.SendBind();
        s.Send3270(InputScreen(0));
    }
    void OnRecord(TSimSession& s, const TSimRecord& r) override
    {
        if (!(r.tn3270e && r.header.dataType == dt::Response))
            OnKey(s);
    }
    virtual void OnKey(TSimSession& s) = 0;
};

// Answers every attention key with a fresh screen that unlocks the keyboard.
class TRoundTripApp final : public TKeyedApp {
public:
    void OnKey(TSimSession& s) override
    {
        s.Send3270(InputScreen(++count_));
    }

private:
    int count_ = 0;
};

// On the first attention key: `screens` busy screens that leave the
// keyboard locked, then the marker screen that unlocks it.
class TBulkApp final : public TKeyedApp {
public:
    explicit TBulkApp(int screens) : screens_(screens) {}
    void OnKey(TSimSession& s) override
    {
        if (sent_)
            return;
        sent_ = true;
        Bytes screen = tnbench::RealisticScreen();
        screen[1] = wcc::ResetMdt;  // the WCC: no keyboard restore
        for (int i = 0; i < screens_; ++i)
            s.Send3270(screen);
        TSim3270Encoder e;
        e.EraseWrite(wcc::Restore | wcc::ResetMdt);
        e.Field(1, 1, fa::Protected, kMarker);
        s.Send3270(e.Take());
    }

private:
    int screens_;
    bool sent_ = false;
};

// Every attention key: `screens` busy screens that leave the keyboard
// locked, then a screen that unlocks it. The long run's host.
class TChunkApp final : public TKeyedApp {
public:
    explicit TChunkApp(int screens) : screens_(screens) {}
    void OnKey(TSimSession& s) override
    {
        Bytes screen = tnbench::RealisticScreen();
        screen[1] = wcc::ResetMdt;  // the WCC: no keyboard restore
        for (int i = 0; i < screens_; ++i)
            s.Send3270(screen);
        s.Send3270(InputScreen(++chunk_));
    }

private:
    int screens_;
    int chunk_ = 0;
};

// --- the client side -------------------------------------------------------

// A child process with its standard input and output on pipes.
class TChild {
public:
    explicit TChild(const std::vector<std::string>& argv)
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            const int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0)
                dup2(devnull, 2);
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = fdopen(in[1], "w");
        from_ = fdopen(out[0], "r");
    }
    ~TChild()
    {
        if (to_)
            fclose(to_);
        if (from_)
            fclose(from_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    void Send(const std::string& line)
    {
        std::fputs(line.c_str(), to_);
        std::fputc('\n', to_);
        std::fflush(to_);
    }
    // Lines up to and including the one that is "ok" or begins with
    // "error"; nullopt when the child's output ended first.
    std::optional<std::vector<std::string>> Answer()
    {
        std::vector<std::string> lines;
        char* buf = nullptr;
        size_t cap = 0;
        ssize_t n;
        while ((n = getline(&buf, &cap, from_)) > 0) {
            std::string line(buf, static_cast<std::size_t>(n));
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                line.pop_back();
            if (std::getenv("TN_BENCH_TRACE"))
                std::cerr << "< " << line << "\n";
            const bool end = line == "ok" || line.rfind("error", 0) == 0;
            lines.push_back(std::move(line));
            if (end) {
                std::free(buf);
                return lines;
            }
        }
        std::free(buf);
        return std::nullopt;
    }
    bool Command(const std::string& line)
    {
        Send(line);
        const auto a = Answer();
        const bool ok = a && !a->empty() && a->back() == "ok";
        if (!ok && std::getenv("TN_BENCH_VERBOSE")) {
            std::cerr << "command failed: " << line << "\n";
            if (a)
                for (const auto& l : *a)
                    std::cerr << "  " << l << "\n";
        }
        return ok;
    }
    // CPU time of the process so far, in microseconds: the scheduler's
    // nanosecond run times of its threads (utime/stime come in 10 ms ticks,
    // too coarse for a run of a few hundred milliseconds).
    double CpuMicros() const
    {
        namespace fs = std::filesystem;
        std::error_code ec;
        double ns = 0;
        for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ec)) {
            std::ifstream f(task.path() / "schedstat");
            unsigned long long runNs = 0;
            if (f >> runNs)
                ns += static_cast<double>(runNs);
        }
        return ns / 1000.0;
    }

    // Resident memory of the process now, in KiB.
    long RssKb() const
    {
        std::ifstream f("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.rfind("VmRSS:", 0) == 0)
                return std::stol(line.substr(6));
        return 0;
    }

private:
    pid_t pid_ = -1;
    FILE* to_ = nullptr;
    FILE* from_ = nullptr;
};

// The commands that differ between the two clients.
struct TDialect {
    std::string name;
    std::vector<std::string> argv;  // the host:port is appended
    std::string waitReady;          // the first screen is there, keyboard free
    std::string enter;              // Enter, returning once the answer is there
    std::string waitMarker;         // returns once the marker screen is there
    std::string checkScreen;        // a command whose output holds row 1
};

TDialect ToolDialect(const std::string& path, const std::vector<std::string>& extra)
{
    TDialect d;
    d.name = "tn3270";
    d.argv = {path, "--script", "--timeout", "120"};
    d.argv.insert(d.argv.end(), extra.begin(), extra.end());
    d.waitReady = "wait unlock";
    d.enter = "key enter\nwait unlock";
    d.waitMarker = std::string("wait text \"") + kMarker + "\"";
    d.checkScreen = "screen";
    return d;
}

TDialect S3270Dialect(const std::string& path)
{
    TDialect d;
    d.name = "s3270";
    d.argv = {path, "-model", "3279-2"};
    d.waitReady = "Wait(120,Unlock)";
    d.enter = "Enter()\nWait(120,Unlock)";
    d.waitMarker = "Wait(120,Unlock)";
    d.checkScreen = "Ascii(0,0,80)";
    return d;
}

// tn3270 in its s3270 mode: s3270's actions, the same model.
TDialect ToolS3270Dialect(const std::string& path, const std::vector<std::string>& extra)
{
    TDialect d = S3270Dialect(path);
    d.name = "tn3270 --s3270";
    d.argv = {path, "--s3270", "-model", "3279-2"};
    d.argv.insert(d.argv.end(), extra.begin(), extra.end());
    return d;
}

bool RunLines(TChild& c, const std::string& lines)
{
    std::istringstream in(lines);
    std::string line;
    while (std::getline(in, line))
        if (!c.Command(line))
            return false;
    return true;
}

struct TSample {
    double perSecond = 0;
    double cpuMicrosPerItem = 0;
};

bool ScreenHolds(TChild& c, const TDialect& d, const std::string& text)
{
    c.Send(d.checkScreen);
    const auto lines = c.Answer();
    if (!lines)
        return false;
    for (const auto& line : *lines)
        if (line.find(text) != std::string::npos)
            return true;
    if (std::getenv("TN_BENCH_VERBOSE"))
        std::cerr << d.name << ": screen does not hold \"" << text << "\"\n";
    return false;
}

std::optional<TSample> RoundTrips(const TDialect& d, int count)
{
    TSimHostOptions options;
    options.appFactory = [] { return std::make_unique<TRoundTripApp>(); };
    THostSimulator host(std::move(options));
    auto argv = d.argv;
    argv.push_back("127.0.0.1:" + std::to_string(host.Port()));
    TChild c(argv);
    if (!c.Command(d.waitReady))
        return std::nullopt;
    if (!RunLines(c, d.enter))  // one warm-up round trip
        return std::nullopt;
    const double cpu0 = c.CpuMicros();
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i)
        if (!RunLines(c, d.enter))
            return std::nullopt;
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = c.CpuMicros() - cpu0;
    // Every Enter was answered: the screen shows the host's last count.
    if (!ScreenHolds(c, d, "ROUND TRIP " + std::to_string(count + 1)))
        return std::nullopt;
    return TSample{count / seconds, cpu / count};
}

std::optional<TSample> Bulk(const TDialect& d, int screens)
{
    TSimHostOptions options;
    options.appFactory = [screens] { return std::make_unique<TBulkApp>(screens); };
    THostSimulator host(std::move(options));
    auto argv = d.argv;
    argv.push_back("127.0.0.1:" + std::to_string(host.Port()));
    TChild c(argv);
    if (!c.Command(d.waitReady))
        return std::nullopt;
    const double cpu0 = c.CpuMicros();
    const auto t0 = Clock::now();
    const std::string first = d.enter.substr(0, d.enter.find('\n'));
    if (!c.Command(first) || !c.Command(d.waitMarker))
        return std::nullopt;
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = c.CpuMicros() - cpu0;
    if (!ScreenHolds(c, d, kMarker))
        return std::nullopt;
    return TSample{screens / seconds, cpu / screens};
}

// The long run: `chunks` chunks of `screens` screens, each asked for with
// one Enter and ended by the unlocking screen; CPU per screen and resident
// memory after each chunk, to show that nothing per screen grows with the
// session's length.
struct TChunk {
    double cpuMicrosPerScreen = 0;
    long rssKb = 0;
};

std::optional<std::vector<TChunk>> LongRun(const TDialect& d, int chunks, int screens)
{
    TSimHostOptions options;
    options.appFactory = [screens] { return std::make_unique<TChunkApp>(screens); };
    THostSimulator host(std::move(options));
    auto argv = d.argv;
    argv.push_back("127.0.0.1:" + std::to_string(host.Port()));
    TChild c(argv);
    if (!c.Command(d.waitReady))
        return std::nullopt;
    std::vector<TChunk> out;
    for (int k = 0; k < chunks; ++k) {
        const double cpu0 = c.CpuMicros();
        if (!RunLines(c, d.enter))
            return std::nullopt;
        out.push_back({(c.CpuMicros() - cpu0) / screens, c.RssKb()});
    }
    if (!ScreenHolds(c, d, "ROUND TRIP " + std::to_string(chunks)))
        return std::nullopt;
    return out;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct TResult {
    bool ok = false;
    double perSecond = 0;
    double cpu = 0;
};

template <typename F>
TResult Measure(int runs, F f)
{
    std::vector<double> rates, cpus;
    for (int i = 0; i < runs; ++i) {
        const auto s = f();
        if (!s)
            return {};
        rates.push_back(s->perSecond);
        cpus.push_back(s->cpuMicrosPerItem);
    }
    return {true, Median(rates), Median(cpus)};
}

void Print(const char* what, const char* unit, const TResult& tool, const TResult& peer, bool havePeer)
{
    auto cell = [](const TResult& r, double v, int prec) {
        if (!r.ok)
            return std::string("failed");
        std::ostringstream s;
        s.setf(std::ios::fixed);
        s.precision(prec);
        s << v;
        return s.str();
    };
    std::printf("%-10s %-16s %12s %12s", what, unit, cell(tool, tool.perSecond, 0).c_str(),
                havePeer ? cell(peer, peer.perSecond, 0).c_str() : "-");
    if (havePeer && tool.ok && peer.ok)
        std::printf(" %8.2fx", tool.perSecond / peer.perSecond);
    std::printf("\n%-10s %-16s %12s %12s", "", "CPU us/item", cell(tool, tool.cpu, 1).c_str(),
                havePeer ? cell(peer, peer.cpu, 1).c_str() : "-");
    if (havePeer && tool.ok && peer.ok)
        std::printf(" %8.2fx", tool.cpu / peer.cpu);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    std::string tool, s3270;
    std::vector<std::string> toolArgs;
    int runs = 5, roundtrips = 1000, screens = 10000, longChunks = 10;
    bool s3270Protocol = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << a << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--tool")
            tool = value();
        else if (a == "--s3270")
            s3270 = value();
        else if (a == "--serve") {
            // For trying a client by hand: the round-trip host until killed.
            TSimHostOptions options;
            options.appFactory = [] { return std::make_unique<TRoundTripApp>(); };
            THostSimulator host(std::move(options));
            std::printf("%u\n", static_cast<unsigned>(host.Port()));
            std::fflush(stdout);
            pause();
            return 0;
        } else if (a == "--tool-arg")
            toolArgs.push_back(value());
        else if (a == "--protocol") {
            const std::string p = value();
            if (p != "s3270" && p != "script") {
                std::cerr << "--protocol is s3270 or script\n";
                return 2;
            }
            s3270Protocol = p == "s3270";
        }
        else if (a == "--runs")
            runs = std::max(1, std::atoi(value().c_str()));
        else if (a == "--roundtrips")
            roundtrips = std::max(1, std::atoi(value().c_str()));
        else if (a == "--screens")
            screens = std::max(1, std::atoi(value().c_str()));
        else if (a == "--long-chunks")
            longChunks = std::max(0, std::atoi(value().c_str()));
        else {
            std::cerr << "usage: tn_bench_peers --tool PATH [--s3270 PATH] [--runs N] [--roundtrips N] "
                         "[--screens N] [--long-chunks N] [--tool-arg ARG]... [--protocol s3270|script]\n";
            return 2;
        }
    }
    if (tool.empty()) {
        std::cerr << "tn_bench_peers: --tool PATH is required\n";
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const bool havePeer = !s3270.empty();
    const TDialect t = s3270Protocol ? ToolS3270Dialect(tool, toolArgs) : ToolDialect(tool, toolArgs);
    const TDialect p = havePeer ? S3270Dialect(s3270) : TDialect{};

    std::printf("medians of %d runs; ratio = tn3270 / s3270; tn3270 driven as: %s\n", runs, t.name.c_str());
    std::printf("%-10s %-16s %12s %12s %9s\n", "scenario", "figure", "tn3270", "s3270", "ratio");
    {
        const auto rt = Measure(runs, [&] { return RoundTrips(t, roundtrips); });
        const auto rp = havePeer ? Measure(runs, [&] { return RoundTrips(p, roundtrips); }) : TResult{};
        Print("roundtrip", "per second", rt, rp, havePeer);
    }
    {
        const auto bt = Measure(runs, [&] { return Bulk(t, screens); });
        const auto bp = havePeer ? Measure(runs, [&] { return Bulk(p, screens); }) : TResult{};
        Print("bulk", "screens/second", bt, bp, havePeer);
    }
    if (longChunks >= 2) {
        // tn3270 only: the first and the last chunk of a long session.
        const auto chunks = LongRun(t, longChunks, screens);
        if (!chunks) {
            std::printf("long run: failed\n");
            return 1;
        }
        std::printf("long run (tn3270): %d chunks of %d screens\n", longChunks, screens);
        std::printf("%-10s %16s %16s\n", "chunk", "CPU us/screen", "VmRSS KiB after");
        for (std::size_t k = 0; k < chunks->size(); ++k)
            if (k == 0 || k + 1 == chunks->size() || std::getenv("TN_BENCH_VERBOSE"))
                std::printf("%-10zu %16.2f %16ld\n", k + 1, (*chunks)[k].cpuMicrosPerScreen, (*chunks)[k].rssKb);
        std::printf("last/first   %14.2fx %15.2fx\n",
                    chunks->back().cpuMicrosPerScreen / chunks->front().cpuMicrosPerScreen,
                    static_cast<double>(chunks->back().rssKb) / static_cast<double>(chunks->front().rssKb));
    }
    return 0;
}
