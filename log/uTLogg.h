// The package's diagnostic text files.
//
// CLogg writes one log file: timestamped message lines and framed hex dumps,
// filtered by a numeric level. CFechaLogg is a CLogg whose file name carries
// the day ("<dir>/<prefix>ddmmyy.<ext>") and which moves to the new day's file
// when its date check sees the date change. The rest of the package writes only
// through the facade in log/uOrvIntfLogg.h, which owns two CFechaLogg.
//
// A log call never waits on the disk: it filters, formats the whole message
// or dump and hands it, with the file name of the moment, to one bounded
// process-wide writer thread, which opens (never blocking on a FIFO, refusing
// anything that is not a regular file), appends each message or dump in one
// write and truncates for RewindLogg. When the writer's queue is full the
// message is dropped and counted; the count is written into that log's file
// when writing resumes. Flush() waits (bounded) until what was queued is
// written. The log state (names, level) is guarded by one process-wide
// re-entrant lock (LogLock()); the writer never takes it.
// All members may be called from any thread. Nothing here reports an
// error: a file that cannot be opened or written loses the lines silently and
// the next write tries to open it again; a file removed while open (its
// directory cleaned up) is created anew at the next write. Files are created
// with mode 0600 and opened for appending, so two programs sharing a daily
// file never overwrite each other. Lines end in CR LF; text is written as
// single-byte characters, unconverted, except that bytes below 0x20 in a
// message or a dump title show as '.' (a host cannot forge log lines).
// A dump may be given a mask: masked bytes show as "**" in the hex cells and
// '*' in the text column (non-display field contents, such as passwords).
//
// Tables: the dump's EBCDIC text column uses uTLogg::ebc2asc. The log unit's
// two tables live in namespace uTLogg so that they never meet the data
// stream's translation tables of the same names (::asc2ebc, ::ebc2asc in
// stream/uOrvTnConsts.h), which are a different mapping.
#pragma once

#include "platform/uOrvObject.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

// The text column of a hex dump: the bytes as they are, or translated from
// EBCDIC. Also reachable through stream/uOrvTnConsts.h with the package's
// other shared enumerations.
enum class THECharLang : std::uint8_t { clASCII, clEBCDIC };

namespace uTLogg {

// EBCDIC byte -> single-byte ANSI character for the dump's text column; 0 means
// "no printable equivalent" and shows as '.'. Code page 500 to 1252 except
// 0x1C -> 0x20, 0x1E -> 0xB6, 0x6A -> 0xF1.
extern const std::array<std::uint8_t, 256> ebc2asc;
// ANSI -> EBCDIC, the reverse mapping. Exported for host code; no log
// operation reads it.
extern const std::array<std::uint8_t, 256> asc2ebc;

// Re-entrant lock usable from the very start of the process: it is
// constant-initialised, so it exists before any static constructor of the
// package runs and outlives every log object. Meets Lockable.
class TRecursiveLock {
public:
    constexpr TRecursiveLock() = default;
    TRecursiveLock(const TRecursiveLock&) = delete;
    TRecursiveLock& operator=(const TRecursiveLock&) = delete;

    void lock();
    bool try_lock();
    void unlock();  // only by the owning thread, once per lock()/try_lock() that succeeded

private:
    std::mutex mutex_;
    std::atomic<const void*> owner_{nullptr};  // a per-thread tag of the holder
    unsigned depth_ = 0;                       // touched by the holder only
};

// The log lock: one for the whole process, shared by every log instance.
TRecursiveLock& LogLock();

// The clock of the log classes: timestamps, daily file names and the date
// rollover all read it. Tests replace it to cross midnight without waiting.
using TClockFn = std::chrono::system_clock::time_point (*)();
// fn == nullptr restores the system clock. Any thread; takes effect at once.
void SetClock(TClockFn fn);
std::chrono::system_clock::time_point Now();

// Width of every frame, header and row line of a dump, without CR LF.
inline constexpr std::size_t kDumpLineWidth = 77;
// Bytes shown per dump row.
inline constexpr std::size_t kDumpBytesPerRow = 16;
// A CFechaLogg's extension is cut to this many characters.
inline constexpr std::size_t kMaxExtensionLength = 255;

// The writer's queue: at most this many messages and dumps, and this many
// bytes, wait for the disk; more are dropped and counted.
inline constexpr std::size_t kWriterQueueItems = 4096;
inline constexpr std::size_t kWriterQueueBytes = 8u << 20;
// Flush() waits at most this long (a hung disk must not hang a switch of logging).
inline constexpr std::chrono::milliseconds kFlushWait{5000};
// Shown for the masked bytes of a dump: the text cell, and twice in the hex cell.
inline constexpr char kMaskChar = '*';
// Mode of a log file the log creates.
inline constexpr unsigned kLogFileMode = 0600;

// Waits until every message and dump queued before the call has been written
// (or has failed), at most kFlushWait. True when the queue was drained that far.
// Called from the writer thread itself (a writer hook) it returns false at once.
bool Flush() noexcept;
// Messages and dumps dropped because the queue was full, since the process started.
std::uint64_t DroppedLines() noexcept;
// Tests: run by the writer thread before each queued item (a stalled disk is a
// hook that blocks). nullptr removes it.
using TWriterHook = void (*)();
void SetWriterHook(TWriterHook hook) noexcept;
// Tests: other queue limits (0 restores the named defaults).
void SetWriterLimits(std::size_t items, std::size_t bytes) noexcept;

// One log's file as the writer holds it; shared by the log and its queued
// messages, so freeing a log never frees a file the writer still writes.
struct TLogFile;

// "T:HH.MM.SS.mmm I:nnnnn <text>" for the given instant (local time) and the
// calling thread's number (kernel thread id modulo 100000).
std::string TimestampedLine(std::chrono::system_clock::time_point when, std::string_view text);
// The calling thread's number as it appears in log lines (0..99999).
std::uint32_t ThreadNumber();

}  // namespace uTLogg

// One log file with a level. A new log has no open file, level 0 and empty
// names; it opens its file on the first write that passes the level filter
// (never at level 0), appending to what is there.
class CLogg : public TObject {
public:
    CLogg();
    ~CLogg() override;  // closes the file
    CLogg(const CLogg&) = delete;
    CLogg& operator=(const CLogg&) = delete;

    // Stores the full file name; an open file is closed and the new one opened at once.
    virtual void ChFileLogg(const std::string& fileName);
    // Sets the level; if the file is open, logs "Cambio de Nivel de Level",
    // "Level anterior: <old>", "Level nuevo   : <new>" at level 1.
    virtual void ChLevelLogg(std::int32_t level);
    // Opens the file if needed and truncates it (the lines written so far are gone).
    virtual void RewindLogg();
    // A dump with the EBCDIC text column.
    virtual void DumpLogg(std::uint16_t level, std::string_view title, const void* data,
                          std::uint16_t length);
    // Writes the text as it is (no timestamp), one line.
    virtual void MsgLogg(std::uint16_t level, std::string_view text);
    // Writes one timestamped line: "T:HH.MM.SS.mmm I:nnnnn <text>".
    virtual void LoggMsg(std::uint16_t level, std::string_view text);

    // A dump with the EBCDIC text column (not virtual, no date check).
    void SnaDump(std::uint16_t level, std::string_view title, const void* data,
                 std::uint16_t length);
    // One framed hex dump of length bytes at data (data may be null only when
    // length is 0; a null data writes no rows). Not virtual, no date check.
    // mask, when not empty, marks with a non-zero byte each byte of data to be
    // shown masked; bytes beyond its end are shown as they are.
    void Dump(std::uint16_t level, std::string_view title, const void* data,
              std::size_t length, THECharLang lang, std::span<const std::uint8_t> mask = {});
    // One message line, optionally between two lines of 77 '=' and followed by an empty line.
    void LogMessage(std::uint16_t level, std::string_view text, bool framed);

    // Has the writer open the file (create or append) unless the level is 0.
    void OpenLogFile();
    // True while the writer holds the file open (after the last open it tried
    // succeeded); Flush() first to see the effect of earlier writes.
    bool GetLogOpened() const;
    // Has the writer close the file after what is queued for it.
    void CloseLogfile();

    std::int32_t Level() const { return level_.load(std::memory_order_relaxed); }
    std::string FileName() const;      // full path; copy taken under the log lock
    std::string BareFileName() const;  // without directory; empty in a plain CLogg

protected:
    // True when a line of this level passes the filter.
    bool ReadyFor(std::uint16_t level) const { return Level() >= level; }
    void StoreLevel(std::int32_t level) { level_.store(level, std::memory_order_relaxed); }
    // Queues one whole message or dump for the current file name. Call with the log lock held.
    void WriteRaw(std::string bytes);

    std::string fileName_;
    std::string bareFileName_;

private:
    std::shared_ptr<uTLogg::TLogFile> file_;
    std::atomic<std::int32_t> level_{0};
};

// A CLogg named after the day: <directory>/<prefix>ddmmyy.<extension>.
// The directory is never created; a missing one loses the lines.
class CFechaLogg : public CLogg {
public:
    // File date = today; the file name is built now, nothing is opened.
    CFechaLogg(std::int32_t level, std::string directory, std::string prefix,
               std::string extension);

    // These four check the date first (and move to the new day's file).
    void RewindLogg() override;
    void DumpLogg(std::uint16_t level, std::string_view title, const void* data,
                  std::uint16_t length) override;
    void MsgLogg(std::uint16_t level, std::string_view text) override;
    void LoggMsg(std::uint16_t level, std::string_view text) override;

    // When today differs from the file date (either direction), moves to the
    // file of today: an open file is closed and the new one opened.
    void VerifyLogDate();
    // Builds the full name for the file date and stores the bare name.
    std::string CalcDebugFile();
    // Moves the log to another directory, writing "Cambio de Directorio de Log",
    // "Dir anterior: <old>", "Dir nuevo   : <new>" into the old file and the
    // new one when they are open.
    void ChDirLogg(const std::string& directory);

    std::string Directory() const;
    const std::string& Prefix() const { return prefix_; }
    const std::string& Extension() const { return extension_; }
    std::chrono::year_month_day FileDate() const;

private:
    std::string extension_;
    std::string prefix_;
    std::string directory_;
    std::chrono::year_month_day fileDate_;
};
