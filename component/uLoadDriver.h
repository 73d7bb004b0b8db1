// The load driver: many sessions running the same steps against a host,
// for people who test host applications under load. A plan has two parts:
// the setup (connect, sign on, navigate) that each session runs once, and
// the iteration that it then repeats; the sessions form a pool, so the
// expensive part is paid once per session, not once per iteration. Each
// step is timed from its first action to the completion of its last, and
// reported with its percentiles and its errors by kind.
//
//   TLoadPlan plan;
//   plan.Setup.push_back({"sign on", {TLoadAction::Connect(), TLoadAction::Wait(...), ...}});
//   plan.Iteration.push_back({"inquiry", {...}});
//   TLoadOptions options;  options.Host = "mainframe"; options.Port = 23;
//   options.Sessions = 100; options.Iterations = 50;
//   TLoadReport report = RunLoad(plan, options);
//   std::cout << report.Table();
//
// Threads. The sessions are driven by Options.Threads driver threads (one
// by default), never one per session: a wait is begun with the operator's
// StartWait and its completion callback hands the session back to its
// driver thread, so one thread carries as many sessions as the actions'
// CPU time allows. The driver sees only the operator interface, so it runs
// on whatever transport the sessions use. A Connect is begun and its end
// waited for as a Connect wait: on the event loop the driver thread goes
// on with the other sessions meanwhile; on the reader-thread transport the
// component's Connect still holds it until the connect has ended.
//
// Errors. An action that is refused or a wait that does not end Ok ends
// the iteration (setup included) of that session: the error is counted on
// the step by kind, the session is disconnected and set up afresh before
// its next iteration, so one broken screen does not spoil the rest of the
// run. A failed iteration counts against Options.Iterations.
#pragma once

#include "component/uOperator.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Bounds of a run; RunLoad refuses more.
inline constexpr std::int32_t kMaxLoadSessions = 100000;
inline constexpr std::int32_t kMaxLoadThreads = 64;
inline constexpr std::int64_t kMaxLoadIterations = 1000000000;
// Latencies kept per step and driver thread for the percentiles; beyond
// it a step is still counted (and its maximum kept), but not sampled.
inline constexpr std::size_t kMaxLoadSamples = std::size_t{1} << 24;

// One thing a session does. Positions are 0-based; texts in the local
// character set (Windows-1252), as the operator takes them.
struct TLoadAction {
    enum class TKind : std::uint8_t { Connect, Disconnect, Wait, Type, Set, Cursor, Tab, BackTab, Home, EraseEof, Key };
    TKind Kind = TKind::Wait;
    std::string Host;            // Connect; empty: the run's host and port
    std::int32_t Port = 0;
    TWaitCondition Condition;    // Wait
    std::chrono::milliseconds Timeout{0};  // Wait; 0: Options.WaitTimeout
    std::string Text;            // Type, Set
    TFieldRef Field;             // Set
    std::int32_t Row = 0, Col = 0;  // Cursor
    TTn3270AidKey Key = TTn3270AidKey::akEnter;  // Key
    std::string Shown;           // as a person wrote it ("wait text \"MENU\""), for messages

    static TLoadAction Of(TKind kind, std::string shown = {});
};

struct TLoadStep {
    std::string Name;
    std::vector<TLoadAction> Actions;
};

struct TLoadPlan {
    std::vector<TLoadStep> Setup;      // once per session (and after a failure)
    std::vector<TLoadStep> Iteration;  // Options.Iterations times per session
};

struct TLoadOptions {
    std::string Host = "127.0.0.1";
    std::int32_t Port = 23;
    std::int32_t Sessions = 1;
    std::int64_t Iterations = 1;  // per session
    // Pause after every step (setup and iteration), not part of its time.
    std::chrono::milliseconds Think{0};
    std::chrono::milliseconds WaitTimeout{10000};
    std::int32_t Threads = 1;
    // Called for each session's component before its first Connect, on a
    // driver thread (model, LU name, TLS, read pause...).
    std::function<void(TTn3270E&)> Configure;
};

struct TLoadStepReport {
    std::string Name;
    bool Setup = false;
    std::uint64_t Count = 0;   // runs that ended without error
    std::uint64_t Errors = 0;  // runs that ended with one
    // "timeout", "ended", "failed", "refused", "connect-failed",
    // "keyboard-locked", "unknown-field", ...: how many of each.
    std::map<std::string, std::uint64_t> ErrorKinds;
    std::string FirstError;  // the message of the first error
    // Nearest-rank percentiles of the runs without error.
    std::chrono::microseconds P50{0}, P90{0}, P99{0}, Max{0};
};

struct TLoadReport {
    std::int32_t Sessions = 0;
    std::int32_t Threads = 0;
    std::uint64_t Iterations = 0;        // that ran all their steps
    std::uint64_t FailedIterations = 0;  // ended by an error (a failed setup included)
    std::chrono::milliseconds Elapsed{0};
    // CPU time of the driver threads (what the driver itself costs: the
    // actions and the bookkeeping, not the sessions' reader threads).
    std::chrono::microseconds DriverCpu{0};
    std::vector<TLoadStepReport> Steps;  // the setup's steps first, in plan order
    // Why the run could not start; empty when it ran.
    std::string Error;

    // The per-step table and a summary line, for people.
    std::string Table() const;
};

// "timeout", "ended", ... for a wait; "keyboard-locked", ... for a refusal.
std::string LoadErrorKind(TOperatorFault fault);

// Runs the plan and returns when every session has run its iterations.
// Refused (Report.Error set, nothing run) when the plan has no iteration
// step or the options are out of bounds.
TLoadReport RunLoad(const TLoadPlan& plan, const TLoadOptions& options);
