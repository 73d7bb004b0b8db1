// The load driver: sessions as explicit state machines on a few driver
// threads, woken by the operator's wait completions and by think timers.
#include "component/uLoadDriver.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <utility>

#include <time.h>

namespace {

// A Connect's outcome is reported by the component at its own connect
// deadline; the Connect wait's time-out, that deadline and this, only backs it up.
constexpr std::chrono::milliseconds kConnectWaitSlack{1000};

using TClock = std::chrono::steady_clock;

enum class TPart : std::uint8_t { Setup, Iteration };

// Where a session stands between two calls of the driver.
enum class TPhase : std::uint8_t {
    Ready,     // runs its next action when the driver reaches it
    Waiting,   // a wait of its operator is pending
    Thinking,  // a think timer is pending
    Done,      // ran its iterations
};

struct TSession {
    std::unique_ptr<TOperator> op;
    TPart part = TPart::Setup;
    std::size_t step = 0;
    std::size_t action = 0;
    TClock::time_point stepStart;
    std::int64_t iterationsLeft = 0;
    bool needsSetup = true;
    TPhase phase = TPhase::Ready;
};

// What one driver thread measured of one step.
struct TStepSamples {
    std::vector<std::uint32_t> micros;
    std::uint64_t count = 0, errors = 0;
    std::uint32_t max = 0;
    std::map<std::string, std::uint64_t> kinds;
    std::string firstError;
};

std::chrono::microseconds ThreadCpu()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_nsec / 1000);
}

std::string WaitMessage(TWaitResult r, const TLoadAction& a, std::chrono::milliseconds timeout)
{
    const std::string what = a.Shown.empty() ? std::string("the wait") : a.Shown;
    switch (r) {
    case TWaitResult::Timeout: return "timeout after " + std::to_string(timeout.count()) + " ms: " + what;
    case TWaitResult::Ended: return "not connected: " + what;
    case TWaitResult::Failed: return "connection failed: " + what;
    default: return std::string(WaitResultName(r)) + ": " + what;
    }
}

// One driver thread and the sessions it owns.
class TDriver {
public:
    TDriver(const TLoadPlan& plan, const TLoadOptions& options, std::int32_t sessions)
        : plan_(plan), options_(options), sessions_(static_cast<std::size_t>(sessions)),
          setup_(plan.Setup.size()), iteration_(plan.Iteration.size()), active_(sessions_.size())
    {
    }

    void Run()
    {
        const auto cpuAtStart = ThreadCpu();
        for (std::size_t i = 0; i < sessions_.size(); ++i) {
            TSession& s = sessions_[i];
            s.op = std::make_unique<TOperator>();
            s.op->SetTypeAhead(true);
            if (options_.Configure)
                options_.Configure(s.op->Component());
            s.iterationsLeft = options_.Iterations;
            StartIteration(s);
            Advance(i);
        }
        std::vector<std::pair<std::size_t, TWaitResult>> batch;
        while (active_ > 0) {
            {
                std::unique_lock lock(mutex_);
                const auto due = timers_.empty() ? TClock::time_point::max() : timers_.top().first;
                if (done_.empty() && TClock::now() < due) {
                    if (due == TClock::time_point::max())
                        wake_.wait(lock, [&] { return !done_.empty(); });
                    else
                        wake_.wait_until(lock, due, [&] { return !done_.empty(); });
                }
                batch.assign(done_.begin(), done_.end());
                done_.clear();
            }
            for (const auto& [index, result] : batch)
                Completed(index, result);
            const auto now = TClock::now();
            while (!timers_.empty() && timers_.top().first <= now) {
                const std::size_t index = timers_.top().second;
                timers_.pop();
                TSession& s = sessions_[index];
                s.phase = TPhase::Ready;
                s.stepStart = TClock::now();
                Advance(index);
            }
        }
        cpu_ = ThreadCpu() - cpuAtStart;
        // The connections end here, on the thread that made them.
        for (TSession& s : sessions_)
            s.op.reset();
    }

    std::vector<TStepSamples>& SetupSamples() { return setup_; }
    std::vector<TStepSamples>& IterationSamples() { return iteration_; }
    std::uint64_t Iterations() const { return iterations_; }
    std::uint64_t Failed() const { return failed_; }
    std::chrono::microseconds Cpu() const { return cpu_; }

private:
    const std::vector<TLoadStep>& Part(TPart part) const { return part == TPart::Setup ? plan_.Setup : plan_.Iteration; }
    TStepSamples& Samples(const TSession& s) { return (s.part == TPart::Setup ? setup_ : iteration_)[s.step]; }

    // The completion callback: any thread, no lock of the session held.
    void Post(std::size_t index, TWaitResult r)
    {
        {
            std::lock_guard lock(mutex_);
            done_.emplace_back(index, r);
        }
        wake_.notify_one();
    }

    void StartIteration(TSession& s)
    {
        s.part = s.needsSetup && !plan_.Setup.empty() ? TPart::Setup : TPart::Iteration;
        s.step = 0;
        s.action = 0;
        s.stepStart = TClock::now();
        s.phase = TPhase::Ready;
    }

    // The session has ended a step, an iteration or its run: what next.
    void Then(std::size_t index)
    {
        TSession& s = sessions_[index];
        if (s.iterationsLeft <= 0) {
            s.phase = TPhase::Done;
            --active_;
            return;
        }
        if (options_.Think.count() > 0) {
            s.phase = TPhase::Thinking;
            timers_.emplace(TClock::now() + options_.Think, index);
        } else {
            s.phase = TPhase::Ready;
            s.stepStart = TClock::now();
        }
    }

    void FinishStep(std::size_t index)
    {
        TSession& s = sessions_[index];
        TStepSamples& samples = Samples(s);
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(TClock::now() - s.stepStart).count();
        const auto micros = static_cast<std::uint32_t>(std::min<std::int64_t>(us, UINT32_MAX));
        ++samples.count;
        samples.max = std::max(samples.max, micros);
        if (samples.micros.size() < kMaxLoadSamples)
            samples.micros.push_back(micros);
        ++s.step;
        s.action = 0;
        if (s.part == TPart::Setup && s.step == plan_.Setup.size()) {
            s.needsSetup = false;
            s.part = TPart::Iteration;
            s.step = 0;
        } else if (s.part == TPart::Iteration && s.step == plan_.Iteration.size()) {
            ++iterations_;
            --s.iterationsLeft;
            s.step = 0;
        }
        Then(index);
    }

    void Fail(std::size_t index, const std::string& kind, std::string message)
    {
        TSession& s = sessions_[index];
        TStepSamples& samples = Samples(s);
        ++samples.errors;
        ++samples.kinds[kind];
        if (samples.firstError.empty())
            samples.firstError = std::move(message);
        ++failed_;
        --s.iterationsLeft;
        // A screen in an unknown state: the next iteration starts afresh.
        if (s.op->IsConnected())
            s.op->Disconnect();
        s.needsSetup = true;
        StartIteration(s);
        Then(index);
    }

    void Completed(std::size_t index, TWaitResult r)
    {
        TSession& s = sessions_[index];
        if (s.phase != TPhase::Waiting)
            return;
        s.phase = TPhase::Ready;
        const TLoadAction& a = Part(s.part)[s.step].Actions[s.action];
        if (r != TWaitResult::Ok && a.Kind == TLoadAction::TKind::Connect) {
            const TOperatorError e = s.op->ConnectError();
            Fail(index, LoadErrorKind(e.Fault), e.Message + ": " + a.Shown);
        } else if (r != TWaitResult::Ok) {
            const auto timeout = a.Timeout.count() > 0 ? a.Timeout : options_.WaitTimeout;
            Fail(index, WaitResultName(r), WaitMessage(r, a, timeout));
        } else {
            ++s.action;
        }
        Advance(index);
    }

    TOperatorError Perform(TOperator& op, const TLoadAction& a)
    {
        using K = TLoadAction::TKind;
        switch (a.Kind) {
        case K::Disconnect: return op.Disconnect();
        case K::Type: return op.Type(a.Text);
        case K::Set: return op.SetField(a.Field, a.Text);
        case K::Cursor: return op.MoveCursor0(a.Row, a.Col);
        case K::Tab: return op.Tab();
        case K::BackTab: return op.BackTab();
        case K::Home: return op.Home();
        case K::EraseEof: return op.EraseEof();
        case K::Key: return op.Key(a.Key);
        case K::Connect:  // begun by Advance
        case K::Wait: break;
        }
        return {};
    }

    // Runs the session's actions until one waits, a think begins or its
    // run ends.
    void Advance(std::size_t index)
    {
        TSession& s = sessions_[index];
        while (s.phase == TPhase::Ready) {
            const TLoadStep& step = Part(s.part)[s.step];
            if (s.action == step.Actions.size()) {
                FinishStep(index);
                continue;
            }
            const TLoadAction& a = step.Actions[s.action];
            if (a.Kind == TLoadAction::TKind::Connect || a.Kind == TLoadAction::TKind::Wait) {
                // A connect is begun and its outcome waited for as a wait's,
                // so that a connect on the event loop holds no driver thread.
                const bool connect = a.Kind == TLoadAction::TKind::Connect;
                if (connect) {
                    const TOperatorError e = a.Host.empty() ? s.op->StartConnect(options_.Host, options_.Port)
                                                            : s.op->StartConnect(a.Host, a.Port);
                    if (!e.Ok()) {
                        Fail(index, LoadErrorKind(e.Fault), e.Message + ": " + a.Shown);
                        continue;
                    }
                }
                s.phase = TPhase::Waiting;
                auto timeout = a.Timeout.count() > 0 ? a.Timeout : options_.WaitTimeout;
                if (connect)
                    timeout = s.op->Component().Timings.ConnectTimeout + kConnectWaitSlack;
                const TWaitCondition condition = connect ? TWaitCondition::Of(TWaitKind::Connect) : a.Condition;
                if (!s.op->StartWait(condition, timeout, [this, index](TWaitResult r) { Post(index, r); })) {
                    s.phase = TPhase::Ready;
                    const TOperatorError& e = s.op->LastError();
                    Fail(index, LoadErrorKind(e.Fault), e.Message + ": " + a.Shown);
                }
                continue;
            }
            const TOperatorError e = Perform(*s.op, a);
            if (!e.Ok()) {
                Fail(index, LoadErrorKind(e.Fault), e.Message + ": " + a.Shown);
                continue;
            }
            ++s.action;
        }
    }

    const TLoadPlan& plan_;
    const TLoadOptions& options_;
    std::vector<TSession> sessions_;
    std::vector<TStepSamples> setup_, iteration_;
    std::size_t active_ = 0;
    std::uint64_t iterations_ = 0, failed_ = 0;
    std::chrono::microseconds cpu_{0};
    using TTimer = std::pair<TClock::time_point, std::size_t>;
    std::priority_queue<TTimer, std::vector<TTimer>, std::greater<>> timers_;  // this thread only

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<std::size_t, TWaitResult>> done_;  // guarded by mutex_
};

std::chrono::microseconds Percentile(const std::vector<std::uint32_t>& sorted, double p)
{
    if (sorted.empty())
        return std::chrono::microseconds(0);
    // Nearest rank: the smallest sample with at least p of them at or below it.
    auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return std::chrono::microseconds(sorted[rank - 1]);
}

TLoadStepReport Merge(const TLoadStep& step, bool setup, std::vector<TStepSamples*> parts)
{
    TLoadStepReport r;
    r.Name = step.Name;
    r.Setup = setup;
    std::vector<std::uint32_t> all;
    std::uint32_t max = 0;
    for (TStepSamples* p : parts) {
        r.Count += p->count;
        r.Errors += p->errors;
        for (const auto& [kind, n] : p->kinds)
            r.ErrorKinds[kind] += n;
        if (r.FirstError.empty())
            r.FirstError = p->firstError;
        all.insert(all.end(), p->micros.begin(), p->micros.end());
        max = std::max(max, p->max);
    }
    std::sort(all.begin(), all.end());
    r.P50 = Percentile(all, 0.50);
    r.P90 = Percentile(all, 0.90);
    r.P99 = Percentile(all, 0.99);
    r.Max = std::chrono::microseconds(max);
    return r;
}

std::string Ms(std::chrono::microseconds us)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(us.count()) / 1000.0);
    return buf;
}

std::string Pad(std::string s, std::size_t width, bool right)
{
    if (s.size() >= width)
        return s;
    return right ? std::string(width - s.size(), ' ') + s : s + std::string(width - s.size(), ' ');
}

}  // namespace

TLoadAction TLoadAction::Of(TKind kind, std::string shown)
{
    TLoadAction a;
    a.Kind = kind;
    a.Shown = std::move(shown);
    return a;
}

std::string LoadErrorKind(TOperatorFault fault)
{
    switch (fault) {
    case TOperatorFault::None: return "none";
    case TOperatorFault::NotConnected: return "not-connected";
    case TOperatorFault::ConnectFailed: return "connect-failed";
    case TOperatorFault::UnknownField: return "unknown-field";
    case TOperatorFault::Protected: return "protected";
    case TOperatorFault::Numeric: return "numeric";
    case TOperatorFault::FieldFull: return "field-full";
    case TOperatorFault::NotCarried: return "not-carried";
    case TOperatorFault::KeyboardLocked: return "keyboard-locked";
    case TOperatorFault::FieldStart: return "field-start";
    case TOperatorFault::NothingToType: return "nothing-to-type";
    case TOperatorFault::OutOfRange: return "out-of-range";
    case TOperatorFault::Busy: return "busy";
    case TOperatorFault::WrongThread: return "wrong-thread";
    case TOperatorFault::Io: return "io";
    }
    return "error";
}

TLoadReport RunLoad(const TLoadPlan& plan, const TLoadOptions& options)
{
    TLoadReport report;
    report.Sessions = options.Sessions;
    report.Threads = std::min(options.Threads, std::max(options.Sessions, 1));
    if (plan.Iteration.empty())
        report.Error = "the plan has no iteration step";
    else if (options.Sessions < 1 || options.Sessions > kMaxLoadSessions)
        report.Error = "sessions must be 1 to " + std::to_string(kMaxLoadSessions);
    else if (options.Threads < 1 || options.Threads > kMaxLoadThreads)
        report.Error = "driver threads must be 1 to " + std::to_string(kMaxLoadThreads);
    else if (options.Iterations < 1 || options.Iterations > kMaxLoadIterations)
        report.Error = "iterations must be 1 to " + std::to_string(kMaxLoadIterations);
    if (!report.Error.empty())
        return report;

    // Sessions dealt out as evenly as they go.
    std::vector<std::unique_ptr<TDriver>> drivers;
    for (std::int32_t t = 0; t < report.Threads; ++t) {
        const std::int32_t n = options.Sessions / report.Threads + (t < options.Sessions % report.Threads ? 1 : 0);
        drivers.push_back(std::make_unique<TDriver>(plan, options, n));
    }
    const auto start = TClock::now();
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < drivers.size(); ++t)
        threads.emplace_back([d = drivers[t].get()] { d->Run(); });
    drivers[0]->Run();
    for (std::thread& t : threads)
        t.join();
    report.Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start);

    for (std::size_t i = 0; i < plan.Setup.size(); ++i) {
        std::vector<TStepSamples*> parts;
        for (auto& d : drivers)
            parts.push_back(&d->SetupSamples()[i]);
        report.Steps.push_back(Merge(plan.Setup[i], true, parts));
    }
    for (std::size_t i = 0; i < plan.Iteration.size(); ++i) {
        std::vector<TStepSamples*> parts;
        for (auto& d : drivers)
            parts.push_back(&d->IterationSamples()[i]);
        report.Steps.push_back(Merge(plan.Iteration[i], false, parts));
    }
    for (auto& d : drivers) {
        report.Iterations += d->Iterations();
        report.FailedIterations += d->Failed();
        report.DriverCpu += d->Cpu();
    }
    return report;
}

std::string TLoadReport::Table() const
{
    if (!Error.empty())
        return "load: " + Error + "\n";
    constexpr std::size_t kNameWidth = 20, kNumberWidth = 9;
    std::size_t nameWidth = kNameWidth;
    for (const TLoadStepReport& s : Steps)
        nameWidth = std::max(nameWidth, s.Name.size() + 1);
    std::string out = Pad("step", nameWidth, false) + Pad("part", 6, false);
    for (const char* h : {"count", "errors", "p50 ms", "p90 ms", "p99 ms", "max ms"})
        out += Pad(h, kNumberWidth, true);
    out += '\n';
    std::uint64_t steps = 0;
    for (const TLoadStepReport& s : Steps) {
        out += Pad(s.Name, nameWidth, false) + Pad(s.Setup ? "setup" : "iter", 6, false) +
               Pad(std::to_string(s.Count), kNumberWidth, true) + Pad(std::to_string(s.Errors), kNumberWidth, true) +
               Pad(Ms(s.P50), kNumberWidth, true) + Pad(Ms(s.P90), kNumberWidth, true) +
               Pad(Ms(s.P99), kNumberWidth, true) + Pad(Ms(s.Max), kNumberWidth, true) + '\n';
        steps += s.Count + s.Errors;
    }
    for (const TLoadStepReport& s : Steps) {
        if (s.Errors == 0)
            continue;
        out += "errors in " + s.Name + ":";
        for (const auto& [kind, n] : s.ErrorKinds)
            out += " " + kind + " " + std::to_string(n);
        out += " (first: " + s.FirstError + ")\n";
    }
    const double seconds = static_cast<double>(Elapsed.count()) / 1000.0;
    char summary[256];
    std::snprintf(summary, sizeof summary,
                  "sessions %d, driver threads %d, iterations %llu done, %llu failed, %.2f s, %.1f iterations/s, "
                  "driver CPU %.1f us a step\n",
                  Sessions, Threads, static_cast<unsigned long long>(Iterations),
                  static_cast<unsigned long long>(FailedIterations), seconds,
                  seconds > 0 ? static_cast<double>(Iterations) / seconds : 0.0,
                  steps > 0 ? static_cast<double>(DriverCpu.count()) / static_cast<double>(steps) : 0.0);
    return out + summary;
}
