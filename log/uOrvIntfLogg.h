// The module's log facade: the only way the package writes diagnostics, and
// the entry/exit trace helper TTraceLog for host code.
//
// MsgLog writes one timestamped line to the daily message log ("SYS");
// DumpLog and SnaDump write one framed hex dump to the daily dump log ("DMP"),
// with the text column as the bytes are (DumpLog) or translated from EBCDIC
// (SnaDump). With logging off all three return at once and create no file.
// They never report errors or throw and are safe to call from any thread,
// also while another thread switches logging with SetLogging or SetLoggingDir.
//
// Cost with logging off: one atomic load (LogEnabled). With logging on, a
// write formats its text and queues it for the log's writer thread
// (log/uTLogg.h) under the process-wide log lock, which is never held while
// waiting on the disk; SetLogging replaces the log objects under the same
// lock, so a writer never uses a freed log. Switching logging (SetLogging,
// SetLoggingDir), the shutdown and LogFlush wait (bounded) until the queued
// lines are written.
//
// Secrets: the contents of non-display fields (passwords) are masked in
// every log ("*" in dumps and field lines) unless "Telnet.ini" sets
// UnmaskedDumps=1 (gUnmaskedDumps).
//
// The settings the facade reads (gLogLevel, gLogDir, gLogID, gLogExt,
// gDumpExt) live here, so that the log needs nothing above it; they are
// module globals of the package and are also reachable through
// config/uOrvTnGlbl.h, whose load fills them and switches logging on.
//
// Start-up: the package frame above the log (config/uOrvTnGlbl.h) hands the
// facade a start hook (SetLogStartHook) before any other static constructor
// runs; the first call of any function here runs that hook if the package
// has not started yet, so code that logs from its own static constructors
// still finds the package started. Without a hook (a program that links only
// the log) logging is off until someone calls SetLogging. After the facade's
// shutdown (FinalizeLogFacade) SetLogging and SetLoggingDir do nothing and
// the write functions stay silent.
#pragma once

#include "platform/uOrvObject.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

// Settings of the two logs. Constant-initialised (empty, 0) so that they are
// usable from anyone's start-up code. Written by the package load, by
// SetLogging/SetLoggingDir and by the telnet component's debug properties, all
// under the log lock (uTLogg::LogLock()); read by the facade under that lock.
extern std::int32_t gLogLevel;  // "LogLevel", default 0 (off)
extern std::string gLogDir;     // "LogDir", default the module's directory
extern std::string gLogID;      // log file prefix: the service name + "_"
extern std::string gLogExt;     // extension of the message log: "SYS"
extern std::string gDumpExt;    // extension of the dump log: "DMP"
// "UnmaskedDumps", default false: non-display field contents are written to
// the logs as they are. Read by any thread.
extern std::atomic<bool> gUnmaskedDumps;

// The levels the package's own code logs at. A configured level of llDump or
// more logs everything the package emits.
enum class TLogLevel : std::uint16_t {
    llError = 1,    // errors
    llConnect = 2,  // connection set-up
    llEvent = 4,    // component events and the kind of each received record
    llField = 5,    // the detail of each extracted host field
    llDump = 6,     // every data dump
    llAll = 9,      // the highest level offered to users (tools' --log-level)
};

// Switches logging on at level (> 0), or off (<= 0; gLogLevel keeps its value).
// On: gLogLevel = level, and the two logs are created anew in gLogDir with the
// prefix gLogID and the extensions gLogExt and gDumpExt; their files open on
// the first write that passes (appending). Errors are swallowed.
// Lines queued before the switch are written first (LogFlush).
void SetLogging(std::int32_t level) noexcept;
// Stores the directory in gLogDir and restarts logging with gLogLevel.
void SetLoggingDir(const std::string& directory) noexcept;

// Bytes of text below 0x20 are written as '.'.
void MsgLog(std::uint16_t level, std::string_view text) noexcept;
// data may be null when length is 0. The title is written in full; every byte
// of data is dumped (no 16-bit cut).
void DumpLog(std::uint16_t level, std::string_view title, const void* data, std::size_t length) noexcept;
void SnaDump(std::uint16_t level, std::string_view title, const void* data, std::size_t length) noexcept;
// A dump whose bytes marked non-zero in secret (a non-display field's
// contents) show as "**" and '*', unless gUnmaskedDumps.
void SnaDump(std::uint16_t level, std::string_view title, const void* data, std::size_t length,
             std::span<const std::uint8_t> secret) noexcept;
// Waits (at most uTLogg::kFlushWait) until every line logged so far is in its
// file. For tests and for applications that read their logs.
void LogFlush() noexcept;
// True when non-display field contents must be masked in what is logged.
inline bool LogMasksSecrets() noexcept { return !gUnmaskedDumps.load(std::memory_order_relaxed); }

// True when a line of this level would be written now; lets callers skip
// building a costly text (a dump title, a field line) that nobody will read.
bool LogEnabled(std::uint16_t level);

// The same with the package's named levels.
inline void MsgLog(TLogLevel level, std::string_view text) noexcept { MsgLog(static_cast<std::uint16_t>(level), text); }
inline void DumpLog(TLogLevel level, std::string_view title, const void* data, std::size_t length) noexcept
{
    DumpLog(static_cast<std::uint16_t>(level), title, data, length);
}
inline void SnaDump(TLogLevel level, std::string_view title, const void* data, std::size_t length) noexcept
{
    SnaDump(static_cast<std::uint16_t>(level), title, data, length);
}
inline void SnaDump(TLogLevel level, std::string_view title, const void* data, std::size_t length,
                    std::span<const std::uint8_t> secret) noexcept
{
    SnaDump(static_cast<std::uint16_t>(level), title, data, length, secret);
}
inline bool LogEnabled(TLogLevel level) { return LogEnabled(static_cast<std::uint16_t>(level)); }

// Unit start-up and shutdown of the facade, run by the package frame in its
// fixed order (config/uOrvTnGlbl.h); host code does not call them.
// The start-up only ends the facade's look for the start hook (logging stays
// as the load left it). The finalisation switches logging off for good,
// freeing both logs and closing their files.
void InitializeLogFacade();
void FinalizeLogFacade();
// The package's start-up, run by the facade on its first use if the package
// has not started yet; it must tolerate being called again during its own
// run on the same thread. Set once by the package frame; nullptr removes it.
using TLogStartHook = void (*)();
void SetLogStartHook(TLogStartHook hook);

// Traces entry to and exit from a method through MsgLog: the constructor logs
// "<Class>(<ADDR>).<Method> - Entry Point", the destructor "... - Exit Point"
// at the level given to the constructor. Addresses are upper-case hex without
// leading zeros (0 for no object); the class is "NILObject" for no object.
// Levels reach MsgLog as their 16-bit unsigned value (-1 becomes 65535). The traced object
// is not owned and is never touched after the constructor (it may die first).
// Use on one thread at a time.
class TTraceLog : public TObject {
public:
    TTraceLog(const TObject* object, std::string_view method, std::int32_t level);
    // Entry line "<Class>(<ADDR>).<Method>(<params>)- Entry Point".
    TTraceLog(const TObject* object, std::string_view method, std::string_view params,
              std::int32_t level);
    ~TTraceLog() override;
    TTraceLog(const TTraceLog&) = delete;
    TTraceLog& operator=(const TTraceLog&) = delete;

    // "<Class>(<ADDR>).<Method> - <text>"
    void Log(std::string_view text, std::int32_t level);

    // Returns pointer != null; when null, logs "<Class>(<ADDR>).<Method> - <name> is nil".
    bool Assigned(const void* pointer, std::string_view name, std::int32_t level);
    // The shared-reference form: the reference is held for the duration of the call.
    template <class T>
    bool Assigned(std::shared_ptr<T> reference, std::string_view name, std::int32_t level)
    {
        return Assigned(static_cast<const void*>(reference.get()), name, level);
    }

    // "Result = <text>", "Result = <signed decimal>", "Result = <HEX address>",
    // "Result = True|False"; no class or method prefix.
    void LogResult(std::string_view text, std::int32_t level);
    void LogResult(const char* text, std::int32_t level) { LogResult(std::string_view(text), level); }
    void LogResult(const std::string& text, std::int32_t level) { LogResult(std::string_view(text), level); }
    void LogResult(std::int32_t value, std::int32_t level);
    void LogResult(const void* pointer, std::int32_t level);
    void LogResult(bool value, std::int32_t level);

    const std::string& TracedClassName() const { return className_; }

private:
    void Line(std::string_view text, std::int32_t level) const;

    std::int32_t level_ = 0;
    std::string method_;
    std::string className_;
    const TObject* object_ = nullptr;
};
