// The module's log facade: the only way the package writes diagnostics, and
// the entry/exit trace helper TTraceLog for host code.
//
// MsgLog writes one timestamped line to the daily message log ("SYS");
// DumpLog and SnaDump write one framed hex dump to the daily dump log ("DMP"),
// with the text column as the bytes are (DumpLog) or translated from EBCDIC
// (SnaDump). With logging off all three return at once and create no file.
// They never report errors and are safe to call from any thread, also while
// another thread switches logging with SetLogging or SetLoggingDir.
//
// Levels: 1 errors, 2 connection set-up, 4 component events and record kinds,
// 5 host field detail, 6 every data dump.
//
// Cost with logging off: one atomic load (LogEnabled). With logging on, a
// write holds the process-wide log lock (log/uTLogg.h) for the check of the
// log objects and the write, and SetLogging replaces the objects under the
// same lock, so a writer never uses a freed log.
//
// The first call of any of these functions completes the package start-up if
// the static start-up has not run yet (see PackageInitialize in
// config/uOrvTnGlbl.h). After the package has shut down, SetLogging and
// SetLoggingDir do nothing and the write functions stay silent.
#pragma once

#include "platform/uOrvObject.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Switches logging on at level (> 0), or off (<= 0; gLogLevel keeps its value).
// On: gLogLevel = level, and the two logs are created anew in gLogDir with the
// prefix gLogID and the extensions gLogExt and gDumpExt; their files open on
// the first write that passes (appending). Errors are swallowed.
void SetLogging(std::int32_t level);
// Stores the directory in gLogDir and restarts logging with gLogLevel.
void SetLoggingDir(const std::string& directory);

void MsgLog(std::uint16_t level, std::string_view text);
// data may be null when length is 0. The title is written in full; every byte
// of data is dumped (no 16-bit cut).
void DumpLog(std::uint16_t level, std::string_view title, const void* data, std::size_t length);
void SnaDump(std::uint16_t level, std::string_view title, const void* data, std::size_t length);

// True when a line of this level would be written now; lets callers skip
// building a costly text (a dump title, a field line) that nobody will read.
bool LogEnabled(std::uint16_t level);

// Unit start-up and shutdown of the facade, run by the package frame in its
// fixed order (config/uOrvTnGlbl.h); host code does not call them.
// The finalisation switches logging off, freeing both logs and closing files.
void InitializeLogFacade();
void FinalizeLogFacade();

// Traces entry to and exit from a method through MsgLog: the constructor logs
// "<Class>(<ADDR>).<Method> - Entry Point", the destructor "... - Exit Point"
// at the level given to the constructor. Addresses are upper-case hex without
// leading zeros (0 for no object); the class is "NILObject" for no object.
// Levels are clamped to 0..65535 before they reach MsgLog. The traced object
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
