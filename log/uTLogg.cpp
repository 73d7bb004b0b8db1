// The package's diagnostic text files: CLogg, CFechaLogg, the log lock and
// the log unit's character tables.
#include "log/uTLogg.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
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
               THECharLang lang)
{
    char address[24];
    const int n = std::snprintf(address, sizeof address, "%08zX", offset);
    out.append(address, static_cast<std::size_t>(n));
    out.append(" | ");
    for (std::size_t k = 0; k < kDumpBytesPerRow; ++k) {
        if (k != 0)
            out.push_back(' ');
        if (offset + k < length)
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
        std::uint8_t c = bytes[offset + k];
        if (lang == THECharLang::clEBCDIC)
            c = ebc2asc[c];
        out.push_back(c < 0x20 ? '.' : static_cast<char>(c));
    }
    out.append(kCrLf);
}

}  // namespace

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

CLogg::~CLogg() { CloseLogfile(); }

void CLogg::ChFileLogg(const std::string& fileName)
{
    TLogGuard guard(LogLock());
    fileName_ = fileName;
    if (GetLogOpened()) {
        CloseLogfile();
        OpenLogFile();
    }
}

void CLogg::ChLevelLogg(std::int32_t level)
{
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
    if (!GetLogOpened())
        OpenLogFile();
    if (GetLogOpened())
        ::lseek(fd_, 0, SEEK_SET);
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

bool CLogg::ReadyFor(std::uint16_t level)
{
    if (Level() < level)
        return false;
    // A file removed while open (its directory cleaned up or deleted and
    // made again) would swallow every later line: start a new one instead.
    if (struct stat st{}; GetLogOpened() && ::fstat(fd_, &st) == 0 && st.st_nlink == 0)
        CloseLogfile();
    if (!GetLogOpened())
        OpenLogFile();
    return GetLogOpened();
}

void CLogg::Dump(std::uint16_t level, std::string_view title, const void* data, std::size_t length,
                 THECharLang lang)
{
    if (Level() < level)
        return;
    TLogGuard guard(LogLock());
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
    line(uTLogg::TimestampedLine(uTLogg::Now(), title));
    line(uTLogg::kFrame);
    line(kHeader);
    line(uTLogg::kFrame);
    for (std::size_t offset = 0; offset < length; offset += uTLogg::kDumpBytesPerRow)
        uTLogg::AppendRow(out, bytes, offset, length, lang);
    line(uTLogg::kFrame);
    out.append(uTLogg::kCrLf);
    // One write for the whole dump keeps it contiguous also against other processes.
    WriteRaw(out);
}

void CLogg::LogMessage(std::uint16_t level, std::string_view text, bool framed)
{
    if (Level() < level)
        return;
    TLogGuard guard(LogLock());
    if (!ReadyFor(level))
        return;
    std::string out;
    out.reserve(text.size() + (framed ? 2 * (uTLogg::kDumpLineWidth + 2) + 4 : 2));
    if (framed) {
        out.append(uTLogg::kFrame);
        out.append(uTLogg::kCrLf);
    }
    out.append(text);
    out.append(uTLogg::kCrLf);
    if (framed) {
        out.append(uTLogg::kFrame);
        out.append(uTLogg::kCrLf);
        out.append(uTLogg::kCrLf);
    }
    WriteRaw(out);
}

void CLogg::OpenLogFile()
{
    TLogGuard guard(LogLock());
    if (GetLogOpened() || Level() == 0)
        return;
    // Not O_APPEND: RewindLogg must be able to write from the start.
    const int fd = ::open(fileName_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ::lseek(fd, 0, SEEK_END);
    fd_ = fd;
}

bool CLogg::GetLogOpened() const
{
    TLogGuard guard(LogLock());
    return fd_ >= 0;
}

void CLogg::CloseLogfile()
{
    TLogGuard guard(LogLock());
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
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

void CLogg::WriteRaw(std::string_view bytes)
{
    while (!bytes.empty() && fd_ >= 0) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;  // disk full, file gone: the rest of the line is lost
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
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
