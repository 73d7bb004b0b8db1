// Starting and stopping the mainframe emulator for the end-to-end tests.
#include "tests/hercules/HerculesHost.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* kProgramName = "hercules";
// Printed once the console server listens (the emulator's message HHCTE003I).
constexpr const char* kListeningText = "Waiting for console connection on port";
// More output than a start-up needs; beyond it the oldest half is dropped.
constexpr std::size_t kMaxOutput = 1u << 20;

// A loopback port nothing listens on right now.
std::uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

std::optional<std::filesystem::path> THerculesHost::Find()
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::filesystem::path candidate = std::filesystem::path(dirs.substr(start, end - start)) / kProgramName;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

THerculesHost::~THerculesHost()
{
    Stop();
}

bool THerculesHost::Start(std::string& error)
{
    const auto program = Find();
    if (!program) {
        error = "hercules is not installed";
        return false;
    }
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        if (StartOnce(*program, error))
            return true;
        Stop();
    }
    return false;
}

bool THerculesHost::StartOnce(const std::filesystem::path& program, std::string& error)
{
    char dirTemplate[] = "/tmp/tn-hercules-XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr) {
        error = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    dir_ = dirTemplate;
    port_ = FreePort();
    if (port_ == 0) {
        error = "no free loopback port";
        return false;
    }
    const std::filesystem::path cnf = dir_ / "tn3270.cnf";
    {
        std::ofstream f(cnf);
        f << "CPUSERIAL 000611\n"
             "CPUMODEL  3090\n"
             "MAINSIZE  16\n"
             "NUMCPU    1\n"
             "ARCHMODE  S/370\n"
             "CNSLPORT  127.0.0.1:"
          << port_
          << "\n"
             "0010 3270\n"
             "0011 3270\n";
        if (!f) {
            error = "cannot write " + cnf.string();
            return false;
        }
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    // Everything the child needs, prepared before fork: after it only
    // async-signal-safe calls.
    const std::string programText = program.string();
    const std::string cnfText = cnf.string();
    const std::string dirText = dir_.string();
    const char* argv[] = {programText.c_str(), "-f", cnfText.c_str(), "-d", nullptr};
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    if (pid == 0) {
        // The emulator must not outlive a test process that dies.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(out[1], 2) < 0 ||
            ::chdir(dirText.c_str()) != 0)
            ::_exit(127);
        ::execv(programText.c_str(), const_cast<char* const*>(argv));
        ::_exit(127);
    }
    pid_ = pid;
    ::close(out[1]);
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    {
        std::lock_guard lock(mutex_);
        output_.clear();
        eof_ = false;
    }
    reader_ = std::thread([this, fd = out[0], stopFd = stopPipe_[0]] { ReadOutput(fd, stopFd); });
    const std::string listening = std::string(kListeningText) + " " + std::to_string(port_);
    if (!WaitOutput(listening, kStartTimeout)) {
        error = "hercules did not serve port " + std::to_string(port_) + "; its output:\n" + Output();
        return false;
    }
    return true;
}

void THerculesHost::ReadOutput(int fd, int stopFd)
{
    char buf[4096];
    while (true) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[1].revents != 0)
            break;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        {
            std::lock_guard lock(mutex_);
            output_.append(buf, static_cast<std::size_t>(n));
            if (output_.size() > kMaxOutput)
                output_.erase(0, output_.size() - kMaxOutput / 2);
        }
        changed_.notify_all();
    }
    ::close(fd);
    {
        std::lock_guard lock(mutex_);
        eof_ = true;
    }
    changed_.notify_all();
}

std::string THerculesHost::Output() const
{
    std::lock_guard lock(mutex_);
    return output_;
}

bool THerculesHost::WaitOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return output_.find(text) != std::string::npos || eof_; });
    return output_.find(text) != std::string::npos;
}

void THerculesHost::Reap()
{
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

void THerculesHost::Stop()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        bool ended = false;
        if (pidfd_ >= 0) {
            // The process descriptor becomes readable when the process ends.
            pollfd p{pidfd_, POLLIN, 0};
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(kStopTimeout).count();
            ended = ::poll(&p, 1, static_cast<int>(ms)) > 0;
        }
        if (!ended)
            ::kill(pid_, SIGKILL);
        Reap();
    }
    CloseFd(pidfd_);
    if (reader_.joinable()) {
        // The pipe may stay open in a child of the emulator: wake the reader.
        if (stopPipe_[1] >= 0)
            (void)!::write(stopPipe_[1], "x", 1);
        reader_.join();
    }
    CloseFd(stopPipe_[0]);
    CloseFd(stopPipe_[1]);
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        dir_.clear();
    }
}
