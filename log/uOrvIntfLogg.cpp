// The module's log facade (the package's two daily logs) and TTraceLog.
#include "log/uOrvIntfLogg.h"

#include "log/uTLogg.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <mutex>

// Constant-initialised, like the package's other module globals: they hold
// their start values before any static constructor runs. clang 14 cannot
// evaluate libstdc++ 12's std::string constructor at compile time, so there
// the assertion is dropped (the strings are still initialised first).
#if defined(__clang__) && __clang_major__ < 15
#define TN_CONSTINIT_STRING
#else
#define TN_CONSTINIT_STRING constinit
#endif
// The package frame above (config/uOrvTnGlbl.cpp) frees the logs and clears
// these settings from its destructor at unload. The objects here with a
// destructor are therefore destroyed after every object of default priority,
// whatever the link order: their destruction is registered at the highest
// priority an application may use (101), before the frame's.
#define TN_OUTLIVES_THE_FRAME __attribute__((init_priority(101)))
constinit std::int32_t gLogLevel = 0;
TN_OUTLIVES_THE_FRAME TN_CONSTINIT_STRING std::string gLogDir;
TN_OUTLIVES_THE_FRAME TN_CONSTINIT_STRING std::string gLogID;
TN_OUTLIVES_THE_FRAME TN_CONSTINIT_STRING std::string gLogExt;
TN_OUTLIVES_THE_FRAME TN_CONSTINIT_STRING std::string gDumpExt;
constinit std::atomic<bool> gUnmaskedDumps{false};

namespace {

using TLogGuard = std::lock_guard<uTLogg::TRecursiveLock>;

// The hot path reads only this: the level of the logs while logging is on,
// kGateOff while it is off, kGateNotLoaded before the facade has started.
constexpr std::int32_t kGateNotLoaded = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kGateOff = -1;
constinit std::atomic<std::int32_t> gGate{kGateNotLoaded};
constinit std::atomic<TLogStartHook> gStartHook{nullptr};

// Runs the package's start-up if the facade has not started yet.
void EnsureStarted()
{
    if (gGate.load(std::memory_order_acquire) != kGateNotLoaded) [[likely]]
        return;
    if (const TLogStartHook hook = gStartHook.load(std::memory_order_acquire))
        hook();
}
// Set by FinalizeLogFacade under the log lock: logging stays off for good.
constinit bool gShutDown = false;

// Replaced and used only under the log lock, so a writer never sees a freed log.
TN_OUTLIVES_THE_FRAME constinit std::unique_ptr<CFechaLogg> gMsgLog;
TN_OUTLIVES_THE_FRAME constinit std::unique_ptr<CFechaLogg> gDumpLog;

void FreeLogs()
{
    gGate.store(kGateOff, std::memory_order_release);
    gMsgLog.reset();
    gDumpLog.reset();
}

std::unique_ptr<CFechaLogg> NewLog(const std::string& extension)
{
    try {
        return std::make_unique<CFechaLogg>(gLogLevel, gLogDir, gLogID, extension);
    } catch (...) {
        return nullptr;  // a log that cannot be built counts as none
    }
}

void WriteDump(std::uint16_t level, std::string_view title, const void* data, std::size_t length,
               THECharLang lang, std::span<const std::uint8_t> secret) noexcept
{
    try {
        if (!LogEnabled(level))
            return;
        if (!LogMasksSecrets())
            secret = {};
        TLogGuard guard(uTLogg::LogLock());
        if (gDumpLog)
            gDumpLog->Dump(level, title, data, length, lang, secret);
    } catch (...) {
        // logging never reports errors
    }
}

// SetLogging with the log lock held by the caller.
void SwitchLogging(std::int32_t level)
{
    if (gShutDown)
        return;
    FreeLogs();
    if (level <= 0)
        return;
    gLogLevel = level;
    try {
        gMsgLog = NewLog(gLogExt);
        gDumpLog = NewLog(gDumpExt);
    } catch (...) {
    }
    if (gMsgLog || gDumpLog)
        gGate.store(level, std::memory_order_release);
}

}  // namespace

bool LogEnabled(std::uint16_t level)
{
    std::int32_t gate = gGate.load(std::memory_order_acquire);
    if (gate == kGateNotLoaded) [[unlikely]] {
        EnsureStarted();
        gate = gGate.load(std::memory_order_acquire);
    }
    return gate >= static_cast<std::int32_t>(level);
}

void SetLogStartHook(TLogStartHook hook) { gStartHook.store(hook, std::memory_order_release); }

void SetLogging(std::int32_t level) noexcept
{
    try {
        EnsureStarted();
        {
            TLogGuard guard(uTLogg::LogLock());
            SwitchLogging(level);
        }
        // Outside the lock: writers go on queueing while the old lines are written.
        uTLogg::Flush();
    } catch (...) {
        // errors while switching are swallowed
    }
}

void SetLoggingDir(const std::string& directory) noexcept
{
    try {
        EnsureStarted();
        {
            TLogGuard guard(uTLogg::LogLock());
            if (gShutDown)
                return;
            gLogDir = directory;
            SwitchLogging(gLogLevel);
        }
        uTLogg::Flush();
    } catch (...) {
    }
}

void MsgLog(std::uint16_t level, std::string_view text) noexcept
{
    try {
        if (!LogEnabled(level))
            return;
        TLogGuard guard(uTLogg::LogLock());
        if (gMsgLog)
            gMsgLog->LoggMsg(level, text);
    } catch (...) {
    }
}

void DumpLog(std::uint16_t level, std::string_view title, const void* data, std::size_t length) noexcept
{
    WriteDump(level, title, data, length, THECharLang::clASCII, {});
}

void SnaDump(std::uint16_t level, std::string_view title, const void* data, std::size_t length) noexcept
{
    WriteDump(level, title, data, length, THECharLang::clEBCDIC, {});
}

void SnaDump(std::uint16_t level, std::string_view title, const void* data, std::size_t length,
             std::span<const std::uint8_t> secret) noexcept
{
    WriteDump(level, title, data, length, THECharLang::clEBCDIC, secret);
}

void LogFlush() noexcept { uTLogg::Flush(); }

void InitializeLogFacade()
{
    // The load may have left logging off without a SetLogging call; from now
    // on the hot path must not look for the package start-up again.
    std::int32_t expected = kGateNotLoaded;
    gGate.compare_exchange_strong(expected, kGateOff, std::memory_order_acq_rel);
}

void FinalizeLogFacade()
{
    {
        TLogGuard guard(uTLogg::LogLock());
        FreeLogs();
        gShutDown = true;
    }
    uTLogg::Flush();
}

// ---------------------------------------------------------------- TTraceLog

namespace {

// The 16-bit unsigned value of the level, as a caller passing -1 gets 65535.
std::uint16_t Level16(std::int32_t level)
{
    return static_cast<std::uint16_t>(level);
}

std::string Hex(const void* p)
{
    char buf[24];
    const int n = std::snprintf(buf, sizeof buf, "%" PRIXPTR, reinterpret_cast<std::uintptr_t>(p));
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string ClassNameOf(const TObject* object)
{
    if (object == nullptr)
        return "NILObject";
    try {
        return object->ClassName();
    } catch (...) {
        return "UnknownClass";
    }
}

}  // namespace

TTraceLog::TTraceLog(const TObject* object, std::string_view method, std::int32_t level)
    : method_(method), className_(ClassNameOf(object)), object_(object)
{
    Log("Entry Point", level);
    level_ = level;
}

TTraceLog::TTraceLog(const TObject* object, std::string_view method, std::string_view params,
                     std::int32_t level)
    : method_(method), className_(ClassNameOf(object)), object_(object)
{
    if (LogEnabled(Level16(level)))
        Line(className_ + "(" + Hex(object_) + ")." + method_ + "(" + std::string(params) +
                 ")- Entry Point",
             level);
    level_ = level;
}

TTraceLog::~TTraceLog()
{
    try {
        Log("Exit Point", level_);
    } catch (...) {
        // a destructor never throws; the line is lost
    }
}

void TTraceLog::Line(std::string_view text, std::int32_t level) const { MsgLog(Level16(level), text); }

void TTraceLog::Log(std::string_view text, std::int32_t level)
{
    if (LogEnabled(Level16(level)))
        Line(className_ + "(" + Hex(object_) + ")." + method_ + " - " + std::string(text), level);
}

bool TTraceLog::Assigned(const void* pointer, std::string_view name, std::int32_t level)
{
    if (pointer != nullptr)
        return true;
    Log(std::string(name) + " is nil", level);
    return false;
}

void TTraceLog::LogResult(std::string_view text, std::int32_t level)
{
    if (LogEnabled(Level16(level)))
        Line("Result = " + std::string(text), level);
}

void TTraceLog::LogResult(std::int32_t value, std::int32_t level)
{
    if (LogEnabled(Level16(level)))
        Line("Result = " + std::to_string(value), level);
}

void TTraceLog::LogResult(const void* pointer, std::int32_t level)
{
    if (LogEnabled(Level16(level)))
        Line("Result = " + Hex(pointer), level);
}

void TTraceLog::LogResult(bool value, std::int32_t level)
{
    if (LogEnabled(Level16(level)))
        Line(value ? "Result = True" : "Result = False", level);
}
