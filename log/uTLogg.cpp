// The package's diagnostic text files: CLogg, CFechaLogg, the log lock and
// the log unit's character tables.
#include "log/uTLogg.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <thread>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace uTLogg {

// Row = high hex digit of the EBCDIC byte, column = low digit.
constexpr std::array<std::uint8_t, 256> ebc2asc = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x00
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xB6, 0x00,  // 0x10
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x20
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x30
    0x20, 0x00, 0xE2, 0xE4, 0xE0, 0xE1, 0xE3, 0xE5, 0xE7, 0xF1, 0x5B, 0x2E, 0x3C, 0x28, 0x2B, 0x21,  // 0x40
    0x26, 0xE9, 0xEA, 0xEB, 0xE8, 0xED, 0xEE, 0xEF, 0xEC, 0x00, 0x5D, 0x24, 0x2A, 0x29, 0x3B, 0x5E,  // 0x50
    0x2D, 0x2F, 0xC2, 0xC4, 0xC0, 0xC1, 0xC3, 0xC5, 0xC7, 0xD1, 0xF1, 0x2C, 0x25, 0x5F, 0x3E, 0x3F,  // 0x60
    0xF8, 0xC9, 0xCA, 0xCB, 0xC8, 0xCD, 0xCE, 0xCF, 0xCC, 0x60, 0x3A, 0x23, 0x40, 0x27, 0x3D, 0x22,  // 0x70
    0xD8, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x80
    0xB0, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F, 0x70, 0x71, 0x72, 0x00, 0x00, 0xE6, 0xB8, 0xC6, 0xA4,  // 0x90
    0x00, 0x7E, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0xA0
    0xA2, 0xA3, 0xA5, 0x00, 0x00, 0xA7, 0x00, 0x00, 0x00, 0x00, 0xAC, 0x7C, 0xAF, 0xA8, 0xB4, 0x00,  // 0xB0
    0x7B, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x00, 0xF4, 0xF6, 0xF2, 0xF3, 0xF5,  // 0xC0
    0x7D, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x51, 0x52, 0x00, 0xFB, 0xFC, 0xF9, 0xFA, 0xFF,  // 0xD0
    0x5C, 0x00, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x00, 0xD4, 0xD6, 0xD2, 0xD3, 0xD5,  // 0xE0
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x00, 0xDB, 0xDC, 0xD9, 0xDA, 0x00,  // 0xF0
};

// Row = high hex digit of the ANSI character, column = low digit.
constexpr std::array<std::uint8_t, 256> asc2ebc = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x00
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x10
    0x40, 0x4F, 0x7F, 0x7B, 0x5B, 0x6C, 0x50, 0x7D, 0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60, 0x4B, 0x61,  // 0x20
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0x7A, 0x5E, 0x4C, 0x7E, 0x6E, 0x6F,  // 0x30
    0x7C, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6,  // 0x40
    0xD7, 0xD8, 0xD9, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0x4A, 0xE0, 0x5A, 0x5F, 0x6D,  // 0x50
    0x79, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96,  // 0x60
    0x97, 0x98, 0x99, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xC0, 0xBB, 0xD0, 0xA1, 0x00,  // 0x70
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x80
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x90
    0x00, 0x00, 0xB0, 0xB1, 0x9F, 0xB2, 0x6A, 0xB5, 0xBD, 0x00, 0x00, 0x00, 0xBA, 0x00, 0x00, 0xBC,  // 0xA0
    0x90, 0x00, 0x00, 0x00, 0xBE, 0x00, 0x1E, 0x00, 0x9D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0xB0
    0x64, 0x65, 0x62, 0x66, 0x63, 0x67, 0x9E, 0x68, 0x74, 0x71, 0x72, 0x73, 0x78, 0x75, 0x76, 0x77,  // 0xC0
    0x00, 0x69, 0xED, 0xEE, 0xEB, 0xEF, 0xEC, 0x00, 0x80, 0xFD, 0xFE, 0xFB, 0xFC, 0x00, 0x00, 0x00,  // 0xD0
    0x44, 0x45, 0x42, 0x46, 0x43, 0x47, 0x9C, 0x48, 0x54, 0x51, 0x52, 0x53, 0x58, 0x55, 0x56, 0x57,  // 0xE0
    0x00, 0x6A, 0xCD, 0xCE, 0xCB, 0xCF, 0xCC, 0x00, 0x70, 0xDD, 0xDE, 0xDB, 0xDC, 0x00, 0x00, 0xDF,  // 0xF0
};

namespace {

// Distinct address per thread: identifies the holder of a TRecursiveLock
// without a non-constant std::thread::id.
thread_local char tThreadTag;

constinit TRecursiveLock gLogLock;
constinit std::atomic<TClockFn> gClock{nullptr};

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kFrame =
    "=============================================================================";
static_assert(kFrame.size() == kDumpLineWidth);

struct TLocalTime {
    std::tm tm{};
    int millis = 0;
};

TLocalTime Breakdown(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    const auto secs = floor<seconds>(when);
    TLocalTime out;
    out.millis = static_cast<int>(duration_cast<milliseconds>(when - secs).count());
    const std::time_t t = system_clock::to_time_t(secs);
    localtime_r(&t, &out.tm);
    return out;
}

std::chrono::year_month_day LocalDate(std::chrono::system_clock::time_point when)
{
    const std::tm tm = Breakdown(when).tm;
    return std::chrono::year_month_day{std::chrono::year{tm.tm_year + 1900},
                                       std::chrono::month{static_cast<unsigned>(tm.tm_mon + 1)},
                                       std::chrono::day{static_cast<unsigned>(tm.tm_mday)}};
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHex2(std::string& out, std::uint8_t b)
{
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 0x0F]);
}

// One dump line in the shape of the column header: an 8-character address
// column, 16 hex cells and 16 text cells (77 characters).
void AppendRow(std::string& out, const std::uint8_t* bytes, std::size_t offset, std::size_t length,
               THECharLang lang, std::span<const std::uint8_t> mask)
{
    const auto masked = [mask](std::size_t i) { return i < mask.size() && mask[i] != 0; };
    char address[24];
    const int n = std::snprintf(address, sizeof address, "%08zX", offset);
    out.append(address, static_cast<std::size_t>(n));
    out.append(" | ");
    for (std::size_t k = 0; k < kDumpBytesPerRow; ++k) {
        if (k != 0)
            out.push_back(' ');
        if (offset + k < length && masked(offset + k))
            out.append(2, kMaskChar);
        else if (offset + k < length)
            AppendHex2(out, bytes[offset + k]);
        else
            out.append("  ");
    }
    out.append(" | ");
    for (std::size_t k = 0; k < kDumpBytesPerRow; ++k) {
        if (offset + k >= length) {
            out.push_back(' ');
            continue;
        }
        if (masked(offset + k)) {
            out.push_back(kMaskChar);
            continue;
        }
        std::uint8_t c = bytes[offset + k];
        if (lang == THECharLang::clEBCDIC)
            c = ebc2asc[c];
        out.push_back(c < 0x20 ? '.' : static_cast<char>(c));
    }
    out.append(kCrLf);
}

// Bytes below 0x20 as '.': a host's CR LF inside logged text must not start
// a line of its own.
std::string Printable(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (static_cast<std::uint8_t>(c) < 0x20)
            c = '.';
    return out;
}

// ---------------------------------------------------------------- the writer

// opReopen: the file name changed; an open file moves to the new name at once.
enum class TLogOp : std::uint8_t { opWrite, opOpen, opReopen, opRewind, opClose };

struct TLogItem {
    std::shared_ptr<TLogFile> file;
    std::string path;   // the file name when the item was queued
    std::string bytes;  // opWrite: one whole message or dump
    TLogOp op = TLogOp::opWrite;
    bool mayOpen = true;  // opWrite: false for a level-0 log, which never opens its file
    std::uint64_t droppedBefore = 0;  // opWrite: messages of this log dropped just before this one
};

constinit std::atomic<std::uint64_t> gDropped{0};
constinit std::atomic<TWriterHook> gWriterHook{nullptr};
constinit std::atomic<std::size_t> gLimitItems{0};
constinit std::atomic<std::size_t> gLimitBytes{0};
constinit std::atomic<bool> gNotedNotRegular{false};
// Set once the writer object is gone (process exit): items are then written
// on the caller's thread, one at a time.
constinit std::atomic<bool> gWriterGone{false};
// Set once the writer exists: a flush with nothing ever queued starts no thread.
constinit std::atomic<bool> gWriterStarted{false};
constinit std::mutex gInlineMutex;

void NoteNotRegular(const std::string& path)
{
    if (gNotedNotRegular.exchange(true))
        return;
    std::fprintf(stderr, "TN_ERROR: log file %s is not a regular file; nothing is written to it\n",
                 path.c_str());
}

}  // namespace

struct TLogFile {
    ~TLogFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
    // Touched only by the writer thread (or, after it ended, under gInlineMutex).
    int fd = -1;
    std::string openPath;
    std::atomic<bool> opened{false};
    std::atomic<std::uint64_t> dropped{0};  // queue-full drops not yet handed to a queued message
};

namespace {

void CloseFile(TLogFile& f)
{
    if (f.fd >= 0)
        ::close(f.fd);
    f.fd = -1;
    f.openPath.clear();
    f.opened.store(false, std::memory_order_release);
}

// Opens path for appending unless it is open already. Never blocks on a FIFO
// (O_NONBLOCK for the open) and keeps only regular files.
bool EnsureOpen(TLogFile& f, const std::string& path)
{
    if (f.fd >= 0) {
        struct stat st{};
        // A file removed while open (its directory cleaned up) would swallow
        // every later line: start a new one instead.
        if (f.openPath != path || (::fstat(f.fd, &st) == 0 && st.st_nlink == 0))
            CloseFile(f);
    }
    if (f.fd >= 0)
        return true;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                          static_cast<mode_t>(kLogFileMode));
    if (fd < 0) {
        f.opened.store(false, std::memory_order_release);
        return false;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        NoteNotRegular(path);
        f.opened.store(false, std::memory_order_release);
        return false;
    }
    if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    f.fd = fd;
    f.openPath = path;
    f.opened.store(true, std::memory_order_release);
    return true;
}

void WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;  // disk full, file gone: the rest is lost
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Perform(TLogItem& item)
{
    TLogFile& f = *item.file;
    switch (item.op) {
    case TLogOp::opClose:
        CloseFile(f);
        return;
    case TLogOp::opOpen:
        EnsureOpen(f, item.path);
        return;
    case TLogOp::opReopen:
        if (f.fd >= 0)
            EnsureOpen(f, item.path);
        return;
    case TLogOp::opRewind:
        if (EnsureOpen(f, item.path))
            (void)::ftruncate(f.fd, 0);
        return;
    case TLogOp::opWrite:
        if ((f.fd < 0 && !item.mayOpen) || !EnsureOpen(f, item.path))
            return;
        if (const std::uint64_t lost = item.droppedBefore; lost != 0) {
            // Said before the message that follows the gap, in the same write.
            std::string note = TimestampedLine(Now(), "Lineas descartadas (cola de log llena): " +
                                                          std::to_string(lost));
            note.append(kCrLf);
            item.bytes.insert(0, note);
        }
        WriteAll(f.fd, item.bytes);
        return;
    }
}

std::size_t LimitItems()
{
    const std::size_t n = gLimitItems.load(std::memory_order_relaxed);
    return n ? n : kWriterQueueItems;
}
std::size_t LimitBytes()
{
    const std::size_t n = gLimitBytes.load(std::memory_order_relaxed);
    return n ? n : kWriterQueueBytes;
}

// One thread that does every file operation of every log, in queue order.
class TLogWriter {
public:
    TLogWriter()
    {
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (...) {
            // No thread: items are written on the caller's thread.
        }
        gWriter.store(this, std::memory_order_release);
        gWriterStarted.store(true, std::memory_order_release);
        static const int registered = ::pthread_atfork(&AtForkPrepare, &AtForkParent, &AtForkChild);
        (void)registered;
    }
    ~TLogWriter()
    {
        gWriter.store(nullptr, std::memory_order_release);
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();  // the queue is drained first
        gWriterGone.store(true, std::memory_order_release);
    }
    TLogWriter(const TLogWriter&) = delete;
    TLogWriter& operator=(const TLogWriter&) = delete;

    static TLogWriter& Instance()
    {
        static TLogWriter writer;
        return writer;
    }

    void Push(TLogItem&& item)
    {
        if (!thread_.joinable()) {
            std::lock_guard lock(gInlineMutex);
            Perform(item);
            return;
        }
        {
            std::lock_guard lock(mutex_);
            // Opens, rewinds and closes are tiny and keep the order; only
            // messages and dumps are dropped.
            if (item.op == TLogOp::opWrite &&
                (queue_.size() >= LimitItems() || bytes_ + item.bytes.size() > LimitBytes())) {
                item.file->dropped.fetch_add(1, std::memory_order_relaxed);
                gDropped.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            if (item.op == TLogOp::opWrite)
                item.droppedBefore = item.file->dropped.exchange(0, std::memory_order_relaxed);
            bytes_ += item.bytes.size();
            queue_.push_back(std::move(item));
            ++pushed_;
        }
        wake_.notify_one();
    }

    bool Flush()
    {
        if (!thread_.joinable())
            return true;  // everything was written on the callers' threads
        if (std::this_thread::get_id() == thread_.get_id())
            return false;
        std::unique_lock lock(mutex_);
        const std::uint64_t target = pushed_;
        return done_.wait_for(lock, kFlushWait, [&] { return completed_ >= target; });
    }

private:
    // A forked child has no writer thread: it writes on its own threads, and
    // leaves what its parent queued to the parent.
    static void AtForkPrepare()
    {
        if (TLogWriter* w = gWriter.load(std::memory_order_acquire))
            w->mutex_.lock();
    }
    static void AtForkParent()
    {
        if (TLogWriter* w = gWriter.load(std::memory_order_acquire))
            w->mutex_.unlock();
    }
    static void AtForkChild()
    {
        if (TLogWriter* w = gWriter.load(std::memory_order_acquire)) {
            w->mutex_.unlock();
            if (w->thread_.joinable())
                w->thread_.detach();
        }
        gWriterGone.store(true, std::memory_order_release);
    }

    static inline constinit std::atomic<TLogWriter*> gWriter{nullptr};

    void Run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty())
                return;  // stopping, and everything is written
            TLogItem item = std::move(queue_.front());
            queue_.pop_front();
            bytes_ -= item.bytes.size();
            lock.unlock();
            if (const TWriterHook hook = gWriterHook.load(std::memory_order_acquire))
                hook();
            try {
                Perform(item);
            } catch (...) {
                // out of memory for the drop note: the message is lost
            }
            item = TLogItem{};  // the last reference to a freed log's file closes it here
            lock.lock();
            ++completed_;
            done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<TLogItem> queue_;
    std::size_t bytes_ = 0;
    std::uint64_t pushed_ = 0;
    std::uint64_t completed_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

void Submit(TLogItem&& item)
{
    if (gWriterGone.load(std::memory_order_acquire)) {
        std::lock_guard lock(gInlineMutex);
        Perform(item);
        return;
    }
    TLogWriter::Instance().Push(std::move(item));
}

}  // namespace

bool Flush() noexcept
{
    try {
        if (gWriterGone.load(std::memory_order_acquire) || !gWriterStarted.load(std::memory_order_acquire))
            return true;
        return TLogWriter::Instance().Flush();
    } catch (...) {
        return false;
    }
}

std::uint64_t DroppedLines() noexcept { return gDropped.load(std::memory_order_relaxed); }

void SetWriterHook(TWriterHook hook) noexcept { gWriterHook.store(hook, std::memory_order_release); }

void SetWriterLimits(std::size_t items, std::size_t bytes) noexcept
{
    gLimitItems.store(items, std::memory_order_relaxed);
    gLimitBytes.store(bytes, std::memory_order_relaxed);
}

void TRecursiveLock::lock()
{
    const void* me = &tThreadTag;
    if (owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return;
    }
    mutex_.lock();
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
}

bool TRecursiveLock::try_lock()
{
    const void* me = &tThreadTag;
    if (owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return true;
    }
    if (!mutex_.try_lock())
        return false;
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
    return true;
}

void TRecursiveLock::unlock()
{
    if (--depth_ == 0) {
        owner_.store(nullptr, std::memory_order_relaxed);
        mutex_.unlock();
    }
}

TRecursiveLock& LogLock() { return gLogLock; }

void SetClock(TClockFn fn) { gClock.store(fn, std::memory_order_release); }

std::chrono::system_clock::time_point Now()
{
    const TClockFn fn = gClock.load(std::memory_order_acquire);
    return fn ? fn() : std::chrono::system_clock::now();
}

std::uint32_t ThreadNumber()
{
    // Asked of the kernel once per thread: every log line needs it.
    thread_local const std::uint32_t number =
        static_cast<std::uint32_t>(::syscall(SYS_gettid)) % 100000u;
    return number;
}

std::string TimestampedLine(std::chrono::system_clock::time_point when, std::string_view text)
{
    const TLocalTime lt = Breakdown(when);
    char prefix[96];
    const int n = std::snprintf(prefix, sizeof prefix, "T:%02d.%02d.%02d.%03d I:%05u ", lt.tm.tm_hour,
                                lt.tm.tm_min, lt.tm.tm_sec, lt.millis, ThreadNumber());
    std::string line(prefix, static_cast<std::size_t>(n));
    line.append(text);
    return line;
}

}  // namespace uTLogg

using uTLogg::LogLock;
using TLogGuard = std::lock_guard<uTLogg::TRecursiveLock>;

// ---------------------------------------------------------------- CLogg

CLogg::CLogg() : file_(std::make_shared<uTLogg::TLogFile>()) {}

// The file closes when the writer has written what is queued for it.
CLogg::~CLogg() = default;

void CLogg::ChFileLogg(const std::string& fileName)
{
    TLogGuard guard(LogLock());
    fileName_ = fileName;
    uTLogg::Submit({file_, fileName_, {}, uTLogg::TLogOp::opReopen});
}

void CLogg::ChLevelLogg(std::int32_t level)
{
    // Lines queued at the old level reach the file first, and "open" below
    // sees their effect.
    uTLogg::Flush();
    std::int32_t old;
    {
        TLogGuard guard(LogLock());
        old = level_.exchange(level, std::memory_order_relaxed);
    }
    if (!GetLogOpened())
        return;
    LoggMsg(1, "Cambio de Nivel de Level");
    LoggMsg(1, "Level anterior: " + std::to_string(old));
    LoggMsg(1, "Level nuevo   : " + std::to_string(level));
}

void CLogg::RewindLogg()
{
    TLogGuard guard(LogLock());
    uTLogg::Submit({file_, fileName_, {}, uTLogg::TLogOp::opRewind});
}

void CLogg::DumpLogg(std::uint16_t level, std::string_view title, const void* data,
                     std::uint16_t length)
{
    Dump(level, title, data, length, THECharLang::clEBCDIC);
}

void CLogg::MsgLogg(std::uint16_t level, std::string_view text) { LogMessage(level, text, false); }

void CLogg::LoggMsg(std::uint16_t level, std::string_view text)
{
    // Filter first so a line nobody reads is never formatted.
    if (Level() < level)
        return;
    LogMessage(level, uTLogg::TimestampedLine(uTLogg::Now(), text), false);
}

void CLogg::SnaDump(std::uint16_t level, std::string_view title, const void* data,
                    std::uint16_t length)
{
    Dump(level, title, data, length, THECharLang::clEBCDIC);
}

void CLogg::Dump(std::uint16_t level, std::string_view title, const void* data, std::size_t length,
                 THECharLang lang, std::span<const std::uint8_t> mask)
{
    if (!ReadyFor(level))
        return;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (bytes == nullptr)
        length = 0;

    static constexpr std::string_view kHeader =
        "ADDRESS  | 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F | 0123456789ABCDEF";
    static_assert(kHeader.size() == uTLogg::kDumpLineWidth);

    const std::size_t rows = (length + uTLogg::kDumpBytesPerRow - 1) / uTLogg::kDumpBytesPerRow;
    std::string out;
    out.reserve((rows + 6) * (uTLogg::kDumpLineWidth + 2) + title.size() + 32);
    const auto line = [&out](std::string_view s) {
        out.append(s);
        out.append(uTLogg::kCrLf);
    };
    line(uTLogg::kFrame);
    line(uTLogg::TimestampedLine(uTLogg::Now(), uTLogg::Printable(title)));
    line(uTLogg::kFrame);
    line(kHeader);
    line(uTLogg::kFrame);
    for (std::size_t offset = 0; offset < length; offset += uTLogg::kDumpBytesPerRow)
        uTLogg::AppendRow(out, bytes, offset, length, lang, mask);
    line(uTLogg::kFrame);
    out.append(uTLogg::kCrLf);
    // One write for the whole dump keeps it contiguous also against other processes.
    TLogGuard guard(LogLock());
    WriteRaw(std::move(out));
}

void CLogg::LogMessage(std::uint16_t level, std::string_view text, bool framed)
{
    if (!ReadyFor(level))
        return;
    std::string out;
    out.reserve(text.size() + (framed ? 2 * (uTLogg::kDumpLineWidth + 2) + 4 : 2));
    if (framed) {
        out.append(uTLogg::kFrame);
        out.append(uTLogg::kCrLf);
    }
    out.append(uTLogg::Printable(text));
    out.append(uTLogg::kCrLf);
    if (framed) {
        out.append(uTLogg::kFrame);
        out.append(uTLogg::kCrLf);
        out.append(uTLogg::kCrLf);
    }
    TLogGuard guard(LogLock());
    WriteRaw(std::move(out));
}

void CLogg::OpenLogFile()
{
    TLogGuard guard(LogLock());
    if (Level() == 0)
        return;
    uTLogg::Submit({file_, fileName_, {}, uTLogg::TLogOp::opOpen});
}

bool CLogg::GetLogOpened() const { return file_->opened.load(std::memory_order_acquire); }

void CLogg::CloseLogfile()
{
    TLogGuard guard(LogLock());
    file_->opened.store(false, std::memory_order_release);
    uTLogg::Submit({file_, fileName_, {}, uTLogg::TLogOp::opClose});
}

std::string CLogg::FileName() const
{
    TLogGuard guard(LogLock());
    return fileName_;
}

std::string CLogg::BareFileName() const
{
    TLogGuard guard(LogLock());
    return bareFileName_;
}

void CLogg::WriteRaw(std::string bytes)
{
    uTLogg::Submit({file_, fileName_, std::move(bytes), uTLogg::TLogOp::opWrite, Level() != 0});
}

// ---------------------------------------------------------------- CFechaLogg

CFechaLogg::CFechaLogg(std::int32_t level, std::string directory, std::string prefix,
                       std::string extension)
    : extension_(std::move(extension)),
      prefix_(std::move(prefix)),
      directory_(std::move(directory)),
      fileDate_(uTLogg::LocalDate(uTLogg::Now()))
{
    // The package builds its logs while it loads; the log lock is
    // constant-initialised, so the locking members called here are safe then.
    if (extension_.size() > uTLogg::kMaxExtensionLength)
        extension_.resize(uTLogg::kMaxExtensionLength);
    StoreLevel(level);
    fileName_ = CalcDebugFile();
}

void CFechaLogg::RewindLogg()
{
    VerifyLogDate();
    CLogg::RewindLogg();
}

void CFechaLogg::DumpLogg(std::uint16_t level, std::string_view title, const void* data,
                          std::uint16_t length)
{
    VerifyLogDate();
    CLogg::DumpLogg(level, title, data, length);
}

void CFechaLogg::MsgLogg(std::uint16_t level, std::string_view text)
{
    VerifyLogDate();
    CLogg::MsgLogg(level, text);
}

void CFechaLogg::LoggMsg(std::uint16_t level, std::string_view text)
{
    VerifyLogDate();
    CLogg::LoggMsg(level, text);
}

void CFechaLogg::VerifyLogDate()
{
    TLogGuard guard(LogLock());
    const auto today = uTLogg::LocalDate(uTLogg::Now());
    if (today == fileDate_)
        return;
    fileDate_ = today;
    ChFileLogg(CalcDebugFile());
}

std::string CFechaLogg::CalcDebugFile()
{
    TLogGuard guard(LogLock());
    char date[40];
    std::snprintf(date, sizeof date, "%02u%02u%02d", static_cast<unsigned>(fileDate_.day()),
                  static_cast<unsigned>(fileDate_.month()),
                  static_cast<int>(fileDate_.year()) % 100);
    bareFileName_ = prefix_ + date + "." + extension_;
    // The separator is always inserted; a doubled '/' is harmless.
    return directory_ + "/" + bareFileName_;
}

void CFechaLogg::ChDirLogg(const std::string& directory)
{
    uTLogg::Flush();  // "open" below sees the effect of what was queued
    const std::string old = Directory();
    const auto announce = [&] {
        LoggMsg(1, "Cambio de Directorio de Log");
        LoggMsg(1, "Dir anterior: " + old);
        LoggMsg(1, "Dir nuevo   : " + directory);
    };
    if (GetLogOpened())
        announce();
    {
        TLogGuard guard(LogLock());
        directory_ = directory;
        ChFileLogg(CalcDebugFile());
    }
    uTLogg::Flush();
    if (GetLogOpened())
        announce();
}

std::string CFechaLogg::Directory() const
{
    TLogGuard guard(LogLock());
    return directory_;
}

std::chrono::year_month_day CFechaLogg::FileDate() const
{
    TLogGuard guard(LogLock());
    return fileDate_;
}
