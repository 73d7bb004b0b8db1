// Speed of the library's own work: the whole receive path of a host screen,
// its parts alone, the attention key, and the round trip over loopback
// against the host simulator. Every figure is printed again at the end as
// the median of the repetitions and as a ratio to a plain memcpy of the same
// number of bytes (the physical floor), so that figures taken on different
// machines stay comparable.
//
// Counters per iteration: allocs (operator new calls), records (field
// records published), bytes (the reference byte count of the memcpy ratio).
#include "bench/BenchAlloc.h"
#include "bench/BenchScreens.h"
#include "bench/BenchSession.h"

#include "component/uHostFieldExtract.h"
#include "display/uScreenGeometry.h"

#include "sim/uHostSimulator.h"
#include "sim/uSim3270Encoder.h"
#include "stream/uOrvTn3270Consts.h"
#include "stream/uOrvTn3270stream.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace tnbench {
namespace {

using Clock = std::chrono::steady_clock;

// ------------------------------------------------------------ inputs

struct TInputs {
    Bytes realistic3270 = RealisticScreen();
    Bytes realisticWide3270 = RealisticWideScreen();
    Bytes busy3270 = BusyScreen();
    Bytes fullText3270 = FullScreenText();
    Bytes form3270 = ModifiedFormScreen(10);
    Bytes realisticWire = FrameTn3270E(realistic3270);
    Bytes realisticWideWire = FrameTn3270E(realisticWide3270);
    Bytes busyWire = FrameTn3270E(busy3270);
    Bytes formWire = FrameTn3270E(form3270);
    Bytes largeBlock = MakeLargeBlock();

    // Host screens back to back up to one full read (8192 bytes), as the
    // reader hands them to the engine when the host sends faster than we read.
    Bytes MakeLargeBlock() const
    {
        Bytes block;
        const Bytes busy = FrameTn3270E(BusyScreen());
        const Bytes real = FrameTn3270E(RealisticScreen());
        for (bool which = false;; which = !which) {
            const Bytes& next = which ? busy : real;
            if (block.size() + next.size() > 8192)
                break;
            block.insert(block.end(), next.begin(), next.end());
        }
        return block;
    }
};

// The screen sizes of the benchmarks: a model 2 and a model 5.
constexpr TScreenSize kModel5Size{kWideRows, kWideCols};

const TInputs& Inputs()
{
    static const TInputs inputs;
    return inputs;
}

// A record with the TN3270E header in front, as the stream receives it.
Bytes WithHeader(const Bytes& record3270)
{
    Bytes r{0x00, 0x00, 0x00, 0x00, 0x00};
    r.insert(r.end(), record3270.begin(), record3270.end());
    return r;
}

// The painted screen's positions and fields, so that screens of different
// sizes compare per position and their densities can be checked.
void SetScreenCounters(benchmark::State& state, const TOrvTn3270display& d)
{
    std::int32_t fields = 0;
    for (std::int32_t i = 0; i < d.Size; ++i)
        fields += d.Chars[static_cast<std::size_t>(i)] == TOrvTndisplay::kFieldMarker ? 1 : 0;
    state.counters["positions"] = benchmark::Counter(static_cast<double>(d.Size));
    state.counters["fields"] = benchmark::Counter(static_cast<double>(fields));
}

void SetCommonCounters(benchmark::State& state, std::uint64_t allocs, std::size_t refBytes, double records = -1)
{
    const auto iters = static_cast<double>(state.iterations());
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocs) / std::max(iters, 1.0));
    state.counters["bytes"] = benchmark::Counter(static_cast<double>(refBytes));
    if (records >= 0)
        state.counters["records"] = benchmark::Counter(records);
}

// ------------------------------------------------------------ floor

void BM_Memcpy(benchmark::State& state)
{
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> src(n, 0x5A), dst(n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(src.data());
        std::memcpy(dst.data(), src.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
    SetCommonCounters(state, 0, n);
}

// ------------------------------------------------------------ whole receive path

// The raw bytes of one screen, as the reader thread hands them over, through
// the telnet engine, the data stream, the screen buffer and field extraction
// to the published lists and the OnScreenChange handler.
void ReceivePath(benchmark::State& state, const Bytes& wire, TScreenSize alternate = kDefaultScreenSize)
{
    TBenchSession session;
    if (!NegotiateInProcess(session)) {
        state.SkipWithError("no TN3270E session");
        return;
    }
    // The model's sizes, as Connect sets them (the session never connects).
    auto& stream = static_cast<TOrvTn3270stream&>(*session.Stream);
    stream.SetScreenModel(kDefaultScreenSize, alternate);
    std::uint64_t changes = 0;
    session.OnScreenChange = [&changes](TObject*) { ++changes; };
    session.NewData(wire.data(), static_cast<std::int32_t>(wire.size()));  // warm: lists at capacity
    if (changes != 1 || session.HostFields.Count() == 0 || stream.Screen().Size != alternate.Positions()) {
        state.SkipWithError("the screen was not published at its size");
        return;
    }
    const auto before = AllocSnapshot();
    for (auto _ : state)
        session.NewData(wire.data(), static_cast<std::int32_t>(wire.size()));
    const auto after = AllocSnapshot();
    if (changes != static_cast<std::uint64_t>(state.iterations()) + 1)
        state.SkipWithError("a screen change was not announced");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
    SetCommonCounters(state, after.Allocations - before.Allocations, wire.size(), session.HostFields.Count());
    SetScreenCounters(state, stream.Screen());
}

void BM_ReceivePath_Realistic(benchmark::State& state) { ReceivePath(state, Inputs().realisticWire); }
void BM_ReceivePath_RealisticWide(benchmark::State& state)
{
    ReceivePath(state, Inputs().realisticWideWire, kModel5Size);
}
void BM_ReceivePath_Busy(benchmark::State& state) { ReceivePath(state, Inputs().busyWire); }

// ------------------------------------------------------------ parts

// A telnet component over a data stream that only collects records: what
// the engine alone costs per byte (IAC handling, framing, record hand-over).
class TCollectStream final : public TOrvTnStream {
public:
    TCollectStream() : TOrvTnStream(0, 24, 80) { SetDisplay(std::make_unique<TOrvTndisplay>(0, 24, 80)); }
    void eraseUnprotectedCharacter(std::int32_t, std::int32_t) override {}
    void readModifiedCommand() override {}
    void resetModifiedDataTab() override {}
    void ProcessData() override { ProcessRecord({}); }
    // A record given whole is counted where it lies, as the 3270 stream reads it.
    void ProcessRecord(std::span<const std::uint8_t> last) override
    {
        ++Records;
        Bytes += InCount + static_cast<std::int64_t>(last.size());
        TOrvTnStream::ProcessData();
    }
    std::int64_t Records = 0;
    std::int64_t Bytes = 0;
};

class TParseOnly final : public TOrvTelnet {
public:
    TParseOnly() : TOrvTelnet(0)
    {
        CreateTnStream();
        BinaryMode = true;
    }
    ~TParseOnly() override { Destroying(); }
    void CreateTnStream() override { Stream = std::make_unique<TCollectStream>(); }
    void TelnetErrorMessage(const std::uint8_t*, std::int32_t) override {}
    void GenHostFields() override {}
    std::int32_t Send(const void*, std::int32_t len) override { return len; }
};

void BM_TelnetParse(benchmark::State& state)
{
    const Bytes& block = Inputs().largeBlock;
    TParseOnly telnet;
    auto& stream = static_cast<TCollectStream&>(*telnet.Stream);
    telnet.NewData(block.data(), static_cast<std::int32_t>(block.size()));
    const auto recordsPerBlock = stream.Records;
    const auto before = AllocSnapshot();
    for (auto _ : state)
        telnet.NewData(block.data(), static_cast<std::int32_t>(block.size()));
    const auto after = AllocSnapshot();
    if (stream.Records != recordsPerBlock * (state.iterations() + 1))
        state.SkipWithError("records lost");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * block.size()));
    SetCommonCounters(state, after.Allocations - before.Allocations, block.size(),
                      static_cast<double>(recordsPerBlock));
}

// One 3270-DATA record through the data stream alone: header, command,
// orders, characters into the screen buffer; the record given whole, read
// where it lies, as the telnet layer hands over a record that came in one
// block.
void StreamWrite(benchmark::State& state, const Bytes& record3270, TScreenSize alternate = kDefaultScreenSize)
{
    const Bytes record = WithHeader(record3270);
    TOrvTn3270stream stream(0, 24, 80);
    stream.SetScreenModel(kDefaultScreenSize, alternate);
    stream.TN3270EMode = true;
    auto feed = [&] { stream.ProcessRecord(record); };
    feed();
    if (!stream.Screen().Updated) {
        state.SkipWithError("the record did not paint");
        return;
    }
    const auto before = AllocSnapshot();
    for (auto _ : state) {
        feed();
        benchmark::DoNotOptimize(stream.Screen().Chars.data());
    }
    const auto after = AllocSnapshot();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * record.size()));
    SetCommonCounters(state, after.Allocations - before.Allocations, record.size());
    SetScreenCounters(state, stream.Screen());
}

void BM_EraseWrite_FullScreenText(benchmark::State& state) { StreamWrite(state, Inputs().fullText3270); }
void BM_EraseWrite_Realistic(benchmark::State& state) { StreamWrite(state, Inputs().realistic3270); }
void BM_EraseWrite_RealisticWide(benchmark::State& state)
{
    StreamWrite(state, Inputs().realisticWide3270, kModel5Size);
}
void BM_EraseWrite_Busy(benchmark::State& state) { StreamWrite(state, Inputs().busy3270); }

// Field extraction alone on a painted screen. Besides the allocation count,
// "excess" is what it allocates beyond the records it publishes and the
// texts too long for the string's own buffer (which the design allows).
void Extract(benchmark::State& state, const Bytes& record3270, TScreenSize alternate = kDefaultScreenSize)
{
    const Bytes record = WithHeader(record3270);
    TOrvTn3270stream stream(0, 24, 80);
    stream.SetScreenModel(kDefaultScreenSize, alternate);
    stream.TN3270EMode = true;
    stream.AddBuffer(record.data(), static_cast<std::int32_t>(record.size()));
    stream.ProcessData();
    TDSFields host, unprotected;
    ::GenHostFields(stream.Screen(), host, unprotected);
    const std::string empty;
    std::uint64_t longTexts = 0;
    for (std::int32_t i = 0; i < host.Count(); ++i)
        longTexts += host.Items(i)->Data.size() > empty.capacity() ? 1 : 0;
    const auto before = AllocSnapshot();
    for (auto _ : state) {
        ::GenHostFields(stream.Screen(), host, unprotected);
        benchmark::DoNotOptimize(host.Count());
    }
    const auto after = AllocSnapshot();
    unprotected.Clear();
    const std::size_t refBytes = record.size();
    SetCommonCounters(state, after.Allocations - before.Allocations, refBytes, host.Count());
    SetScreenCounters(state, stream.Screen());
    const double perCall = static_cast<double>(after.Allocations - before.Allocations) /
                           std::max<double>(static_cast<double>(state.iterations()), 1.0);
    state.counters["excess"] = perCall - static_cast<double>(host.Count()) - static_cast<double>(longTexts);
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(host.Count()), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_GenHostFields_Realistic(benchmark::State& state) { Extract(state, Inputs().realistic3270); }
void BM_GenHostFields_RealisticWide(benchmark::State& state)
{
    Extract(state, Inputs().realisticWide3270, kModel5Size);
}
void BM_GenHostFields_Busy(benchmark::State& state) { Extract(state, Inputs().busy3270); }

// Read Modified of a screen with ten modified fields: the reply built and
// handed to the stream's owner (here a sink that keeps the length).
void BM_ReadModified_TenFields(benchmark::State& state)
{
    const Bytes record = WithHeader(Inputs().form3270);
    TOrvTn3270stream stream(0, 24, 80);
    stream.TN3270EMode = true;
    std::size_t sent = 0;
    stream.OnWriteData = [&sent](const void*, std::int32_t len) { sent = static_cast<std::size_t>(len); };
    stream.AddBuffer(record.data(), static_cast<std::int32_t>(record.size()));
    stream.ProcessData();
    stream.Aid = AID_ENTER;
    stream.readModifiedCommand();
    const std::size_t replyBytes = sent;
    if (replyBytes < 10 * 10) {
        state.SkipWithError("the reply does not hold ten fields");
        return;
    }
    const auto before = AllocSnapshot();
    for (auto _ : state)
        stream.readModifiedCommand();
    const auto after = AllocSnapshot();
    if (sent != replyBytes)
        state.SkipWithError("the reply changed between calls");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * replyBytes));
    SetCommonCounters(state, after.Allocations - before.Allocations, replyBytes);
}

// An attention key: from SetAidKey (ten edited fields written back) to the
// framed bytes handed to Send.
void BM_AttentionKey_Enter(benchmark::State& state)
{
    const Bytes& wire = Inputs().formWire;
    TBenchSession session;
    if (!NegotiateInProcess(session)) {
        state.SkipWithError("no TN3270E session");
        return;
    }
    session.NewData(wire.data(), static_cast<std::int32_t>(wire.size()));
    if (session.UnprotectedFields.Count() < 10) {
        state.SkipWithError("the form has fewer than ten input fields");
        return;
    }
    for (std::int32_t i = 0; i < session.UnprotectedFields.Count(); ++i) {
        char text[24];
        std::snprintf(text, sizeof text, "NEW %02d XYZ", static_cast<int>(i));
        session.UnprotectedFields.Items(i)->SetData(text);
    }
    session.SetAidKey(TTn3270AidKey::akEnter);
    const std::size_t sentBytes = session.Sent.size();
    const auto before = AllocSnapshot();
    for (auto _ : state) {
        session.Sent.clear();
        session.SetAidKey(TTn3270AidKey::akEnter);
    }
    const auto after = AllocSnapshot();
    if (session.Sent.size() != sentBytes)
        state.SkipWithError("the key sent different bytes");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * sentBytes));
    SetCommonCounters(state, after.Allocations - before.Allocations, sentBytes);
}

// ------------------------------------------------------------ round trip over loopback

// One connected session against the simulator, ready for screens and keys.
class TLoopback {
public:
    explicit TLoopback(std::chrono::milliseconds readPause)
    {
        host_ = std::make_unique<tnsim::THostSimulator>();
        session_.Timings.ReadPause = readPause;
        // The benchmark sends screens back to back, far more than 50 in two
        // seconds, which the receive-loop guard would take for a loop: a
        // window of 0 makes every block open a new window, so none counts.
        session_.Timings.BurstWindow = std::chrono::milliseconds(0);
        session_.Host = "127.0.0.1";
        session_.Port = host_->Port();
        session_.OnScreenChange = [this](TObject*) {
            const auto now = Clock::now();
            std::lock_guard lock(mutex_);
            lastChange_ = now;
            ++changes_;
            changed_.notify_all();
        };
        session_.Connect();
        sim_ = host_->WaitSession();
        if (!sim_ || !sim_->WaitNegotiated())
            throw std::runtime_error("no session with the simulator");
    }
    ~TLoopback()
    {
        session_.OnScreenChange = nullptr;
        session_.Disconnect();
    }

    // Host send to OnScreenChange, in nanoseconds.
    double ScreenLatency(const Bytes& screen)
    {
        std::unique_lock lock(mutex_);
        const auto seen = changes_;
        lock.unlock();
        const auto start = Clock::now();
        sim_->Send3270(screen);
        lock.lock();
        if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return changes_ > seen; }))
            throw std::runtime_error("screen not announced (screens published " +
                                     std::to_string(session_.ScreenCount()) + ", connected " +
                                     std::to_string(session_.IsConnected()) + ")");
        return std::chrono::duration<double, std::nano>(lastChange_ - start).count();
    }

    // SetAidKey to the host's receipt of the record, in nanoseconds.
    double KeyLatency()
    {
        const auto start = Clock::now();
        session_.SetAidKey(TTn3270AidKey::akEnter);
        auto in = sim_->WaitData();
        const auto end = Clock::now();
        if (!in)
            throw std::runtime_error("the host got no record");
        // On the wire: header, record, IAC EOR (the record holds no 0xFF).
        keyBytes_ = in->data.size() + 5 + 2;
        return std::chrono::duration<double, std::nano>(end - start).count();
    }
    std::size_t KeyBytes() const { return keyBytes_; }

private:
    std::unique_ptr<tnsim::THostSimulator> host_;
    std::shared_ptr<tnsim::TSimSession> sim_;
    TBenchSession session_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t changes_ = 0;
    Clock::time_point lastChange_{};
    std::size_t keyBytes_ = 0;
};

void BM_RoundTrip_HostToScreen(benchmark::State& state)
{
    TLoopback loop(std::chrono::milliseconds(state.range(0)));
    const Bytes& screen = Inputs().realistic3270;
    loop.ScreenLatency(screen);
    for (auto _ : state)
        state.SetIterationTime(loop.ScreenLatency(screen) * 1e-9);
    SetCommonCounters(state, 0, FrameTn3270E(screen).size());
}

void BM_RoundTrip_KeyToHost(benchmark::State& state)
{
    TLoopback loop(std::chrono::milliseconds(state.range(0)));
    loop.ScreenLatency(Inputs().form3270);
    loop.KeyLatency();
    for (auto _ : state)
        state.SetIterationTime(loop.KeyLatency() * 1e-9);
    SetCommonCounters(state, 0, loop.KeyBytes());
}

// ------------------------------------------------------------ summary

struct TMedian {
    double ns = 0;
    double bytes = 0;
    double allocs = -1;
    double records = -1;
    double excess = 1e300;
    double bytesPerSecond = 0;
    double positions = 0;
    double fields = 0;
};

double ToNanoseconds(double value, benchmark::TimeUnit unit)
{
    switch (unit) {
    case benchmark::kSecond: return value * 1e9;
    case benchmark::kMillisecond: return value * 1e6;
    case benchmark::kMicrosecond: return value * 1e3;
    case benchmark::kNanosecond: return value;
    }
    return value;
}

// The console output as usual, plus the medians kept for the summary.
class TSummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Aggregate || run.aggregate_name != "median")
                continue;
            TMedian m;
            // In-process work is timed in CPU time (the machine may be shared;
            // one core is what the targets speak of); the round trips, which
            // wait for other threads, in the wall time they measured.
            const bool manual = run.run_name.str().find("manual_time") != std::string::npos;
            m.ns = ToNanoseconds(manual ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime(), run.time_unit);
            auto counter = [&run](const char* name, double fallback) {
                const auto it = run.counters.find(name);
                return it == run.counters.end() ? fallback : static_cast<double>(it->second);
            };
            m.bytes = counter("bytes", 0);
            m.allocs = counter("allocs", -1);
            m.records = counter("records", -1);
            m.excess = counter("excess", 1e300);
            m.bytesPerSecond = counter("bytes_per_second", 0);
            m.positions = counter("positions", 0);
            m.fields = counter("fields", 0);
            medians_[run.run_name.str()] = m;
            order_.push_back(run.run_name.str());
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintSummary() const
    {
        std::map<double, double> floor;  // bytes -> memcpy ns
        for (const auto& [name, m] : medians_)
            if (name.rfind("Floor/memcpy", 0) == 0)
                floor[m.bytes] = m.ns;
        std::printf("\nSummary (medians):\n");
        std::printf("%-52s %12s %9s %10s %7s %8s %8s\n", "benchmark", "time", "MB/s", "x memcpy", "bytes",
                    "allocs", "records");
        for (const auto& name : order_) {
            const auto& m = medians_.at(name);
            char ratio[32] = "-";
            if (const auto it = floor.find(m.bytes); it != floor.end() && it->second > 0 && m.bytes > 0)
                std::snprintf(ratio, sizeof ratio, "%.1f", m.ns / it->second);
            char time[32];
            if (m.ns >= 1e6)
                std::snprintf(time, sizeof time, "%.3f ms", m.ns / 1e6);
            else if (m.ns >= 1e4)
                std::snprintf(time, sizeof time, "%.2f us", m.ns / 1e3);
            else
                std::snprintf(time, sizeof time, "%.1f ns", m.ns);
            char mbs[32] = "-";
            if (m.bytesPerSecond > 0)
                std::snprintf(mbs, sizeof mbs, "%.0f", m.bytesPerSecond / 1e6);
            char allocs[32] = "-";
            if (m.allocs >= 0)
                std::snprintf(allocs, sizeof allocs, "%.1f", m.allocs);
            char records[32] = "-";
            if (m.records >= 0)
                std::snprintf(records, sizeof records, "%.0f", m.records);
            std::printf("%-52s %12s %9s %10s %7.0f %8s %8s\n", name.c_str(), time, mbs, ratio, m.bytes, allocs,
                        records);
        }
        for (const auto& name : order_) {
            const auto& m = medians_.at(name);
            if (m.excess < 1e299)
                std::printf("%s: %.1f allocations beyond the records and their long texts\n", name.c_str(),
                            m.excess);
        }
        auto pause = [&](const char* base) {
            auto find = [&](const char* pause) {
                const std::string prefix = std::string(base) + pause;
                for (auto it = medians_.begin(); it != medians_.end(); ++it)
                    if (it->first.rfind(prefix, 0) == 0)
                        return it;
                return medians_.end();
            };
            const auto a = find("/5/");
            const auto b = find("/0/");
            if (a != medians_.end() && b != medians_.end())
                std::printf("%s: %.3f ms with the 5 ms read pause, %.1f us without; the pause accounts for %.3f ms\n",
                            base, a->second.ns / 1e6, b->second.ns / 1e3, (a->second.ns - b->second.ns) / 1e6);
        };
        // Screens of different sizes by the position: a 27x132 screen of
        // the 24x80 one's density should cost about as much per position.
        auto perPosition = [&](const char* narrow, const char* wide) {
            const auto n = medians_.find(narrow), w = medians_.find(wide);
            if (n == medians_.end() || w == medians_.end() || n->second.positions <= 0 || w->second.positions <= 0)
                return;
            const double pn = n->second.ns / n->second.positions, pw = w->second.ns / w->second.positions;
            std::printf("%s per position: %.3f ns (%.0f positions, %.0f fields, %.1f bytes per 100 positions) "
                        "against %.3f ns (%.0f positions, %.0f fields, %.1f bytes per 100); wide / narrow %.3f\n",
                        wide, pw, w->second.positions, w->second.fields, 100 * w->second.bytes / w->second.positions,
                        pn, n->second.positions, n->second.fields, 100 * n->second.bytes / n->second.positions,
                        pw / pn);
        };
        perPosition("ReceivePath/RealisticScreen", "ReceivePath/RealisticWideScreen");
        perPosition("Parts/EraseWrite_RealisticScreen", "Parts/EraseWrite_RealisticWideScreen");
        perPosition("Parts/GenHostFields_Realistic", "Parts/GenHostFields_RealisticWide");
        pause("RoundTrip/HostToScreen");
        pause("RoundTrip/KeyToHost");
    }

private:
    std::map<std::string, TMedian> medians_;
    std::vector<std::string> order_;
};

void RegisterAll()
{
    const TInputs& in = Inputs();
    std::vector<std::size_t> sizes = {in.realisticWire.size(), in.realisticWideWire.size(), in.busyWire.size(),
                                      in.largeBlock.size(), WithHeader(in.realisticWide3270).size(),
                                      WithHeader(in.fullText3270).size(), WithHeader(in.realistic3270).size(),
                                      WithHeader(in.busy3270).size()};
    {
        // The reply and key sizes: measured once, so that their memcpy exists.
        TOrvTn3270stream stream(0, 24, 80);
        stream.TN3270EMode = true;
        std::size_t sent = 0;
        stream.OnWriteData = [&sent](const void*, std::int32_t len) { sent = static_cast<std::size_t>(len); };
        const Bytes record = WithHeader(in.form3270);
        stream.AddBuffer(record.data(), static_cast<std::int32_t>(record.size()));
        stream.ProcessData();
        stream.Aid = AID_ENTER;
        stream.readModifiedCommand();
        sizes.push_back(sent);
        sizes.push_back(sent + 2);  // the same reply framed: the key round trip
        TBenchSession session;
        if (!NegotiateInProcess(session))
            throw std::runtime_error("no TN3270E session in process");
        session.NewData(in.formWire.data(), static_cast<std::int32_t>(in.formWire.size()));
        for (std::int32_t i = 0; i < session.UnprotectedFields.Count(); ++i) {
            char text[24];
            std::snprintf(text, sizeof text, "NEW %02d XYZ", static_cast<int>(i));
            session.UnprotectedFields.Items(i)->SetData(text);
        }
        session.SetAidKey(TTn3270AidKey::akEnter);
        sizes.push_back(session.Sent.size());
    }
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    for (auto n : sizes)
        benchmark::RegisterBenchmark("Floor/memcpy", BM_Memcpy)->Arg(static_cast<std::int64_t>(n));

    benchmark::RegisterBenchmark("ReceivePath/RealisticScreen", BM_ReceivePath_Realistic);
    benchmark::RegisterBenchmark("ReceivePath/RealisticWideScreen", BM_ReceivePath_RealisticWide);
    benchmark::RegisterBenchmark("ReceivePath/BusyScreen", BM_ReceivePath_Busy);
    benchmark::RegisterBenchmark("Parts/TelnetParse_8KBlock", BM_TelnetParse);
    benchmark::RegisterBenchmark("Parts/EraseWrite_FullScreenText", BM_EraseWrite_FullScreenText);
    benchmark::RegisterBenchmark("Parts/EraseWrite_RealisticScreen", BM_EraseWrite_Realistic);
    benchmark::RegisterBenchmark("Parts/EraseWrite_RealisticWideScreen", BM_EraseWrite_RealisticWide);
    benchmark::RegisterBenchmark("Parts/EraseWrite_BusyScreen", BM_EraseWrite_Busy);
    benchmark::RegisterBenchmark("Parts/GenHostFields_Realistic", BM_GenHostFields_Realistic);
    benchmark::RegisterBenchmark("Parts/GenHostFields_RealisticWide", BM_GenHostFields_RealisticWide);
    benchmark::RegisterBenchmark("Parts/GenHostFields_Busy", BM_GenHostFields_Busy);
    benchmark::RegisterBenchmark("Parts/ReadModified_TenFields", BM_ReadModified_TenFields);
    benchmark::RegisterBenchmark("Key/SetAidKey_Enter_TenFields", BM_AttentionKey_Enter);
    for (const char* name : {"RoundTrip/HostToScreen", "RoundTrip/KeyToHost"}) {
        auto* b = benchmark::RegisterBenchmark(
            name, std::string(name) == "RoundTrip/HostToScreen" ? BM_RoundTrip_HostToScreen : BM_RoundTrip_KeyToHost);
        b->Arg(5)->Arg(0)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);
    }
}

}  // namespace
}  // namespace tnbench

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    tnbench::RegisterAll();
    tnbench::TSummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
