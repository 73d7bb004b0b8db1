// Starting and stopping stunnel for the end-to-end TLS tests.
#include "tests/tls/StunnelProcess.h"

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

// Kept well below what a start-up prints; beyond it the oldest half goes.
constexpr std::size_t kMaxOutput = 1u << 20;

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

std::optional<std::filesystem::path> TStunnelProcess::Find()
{
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (const char* name : {"stunnel4", "stunnel"}) {
        std::size_t start = 0;
        while (start <= dirs.size()) {
            const std::size_t end = std::min(dirs.find(':', start), dirs.size());
            const auto candidate = std::filesystem::path(dirs.substr(start, end - start)) / name;
            if (::access(candidate.c_str(), X_OK) == 0)
                return candidate;
            start = end + 1;
        }
    }
    return std::nullopt;
}

TStunnelProcess::~TStunnelProcess()
{
    Stop();
}

bool TStunnelProcess::Start(const std::string& cert, const std::string& key, std::uint16_t backendPort,
                            std::string& error)
{
    const auto program = Find();
    if (!program) {
        error = "stunnel is not installed";
        return false;
    }
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        if (StartOnce(*program, cert, key, backendPort, error))
            return true;
        Stop();
    }
    return false;
}

bool TStunnelProcess::StartOnce(const std::filesystem::path& program, const std::string& cert,
                                const std::string& key, std::uint16_t backendPort, std::string& error)
{
    char dirTemplate[] = "/tmp/tn-stunnel-XXXXXX";
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
    const std::filesystem::path conf = dir_ / "stunnel.conf";
    {
        std::ofstream f(conf);
        // Foreground, no pid file: the process is ours to stop by its id.
        // Level 6 prints the line that says the port is bound.
        f << "foreground = yes\npid =\ndebug = 6\n[tn3270]\naccept = 127.0.0.1:" << port_
          << "\nconnect = 127.0.0.1:" << backendPort << "\ncert = " << cert << "\nkey = " << key << "\n";
        if (!f) {
            error = "cannot write " + conf.string();
            return false;
        }
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const std::string programText = program.string();
    const std::string confText = conf.string();
    const std::string dirText = dir_.string();
    const char* argv[] = {programText.c_str(), confText.c_str(), nullptr};
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    if (pid == 0) {
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
    const std::string bound = "bound to 127.0.0.1:" + std::to_string(port_);
    if (!WaitOutput(bound, "Error binding", kStartTimeout)) {
        error = "stunnel did not serve port " + std::to_string(port_) + "; its output:\n" + Output();
        return false;
    }
    return true;
}

void TStunnelProcess::ReadOutput(int fd, int stopFd)
{
    char buf[4096];
    for (;;) {
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

std::string TStunnelProcess::Output() const
{
    std::lock_guard lock(mutex_);
    return output_;
}

bool TStunnelProcess::WaitOutput(const std::string& text, const std::string& failure,
                                 std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] {
        return output_.find(text) != std::string::npos || output_.find(failure) != std::string::npos || eof_;
    });
    return output_.find(text) != std::string::npos;
}

void TStunnelProcess::Stop()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        bool ended = false;
        if (pidfd_ >= 0) {
            pollfd p{pidfd_, POLLIN, 0};
            ended = ::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kStopTimeout).count())) > 0;
        }
        if (!ended)
            ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    CloseFd(pidfd_);
    if (reader_.joinable()) {
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
