// A raw loopback peer for protocol tests: a listener on 127.0.0.1 (port 0,
// the system picks a free port), and connection objects that send scripted
// bytes, record every byte received, wait (with a time-out, never by
// sleeping) until given bytes have arrived, and end the connection with an
// orderly close or a reset. It knows nothing of telnet or 3270; the host
// simulator and the tests build those on top.
//
// Threading contract:
// - Each accepted connection has its own receiving thread that records
//   the bytes as they come; the waits wake on each arrival.
// - A TTestHost constructed with a serve function runs it for every
//   accepted connection on a thread of its own; without one, the test takes
//   the connections with Accept.
// - All member functions may be called from any thread. Destroying the
//   host closes every connection and joins every thread it started; a serve
//   function must therefore return once its connection is closed (its waits
//   return false then).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// "FF FD 18" or "fffd18" -> bytes; throws std::invalid_argument on a bad digit.
std::vector<std::uint8_t> HexBytes(std::string_view hex);
// Bytes as "FF FD 18", for failure messages.
std::string ToHex(std::span<const std::uint8_t> bytes);

class TTestConnection {
public:
    // Long enough for a loaded sanitizer build; a passing test never waits it out.
    static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

    // Takes ownership of a connected descriptor and starts receiving.
    explicit TTestConnection(int fd);
    // Closes (orderly) if still open and joins the receiving thread.
    ~TTestConnection();
    TTestConnection(const TTestConnection&) = delete;
    TTestConnection& operator=(const TTestConnection&) = delete;

    // Sends all bytes. Returns false when the connection is closed or the
    // peer is gone (never raises SIGPIPE).
    bool Send(std::span<const std::uint8_t> bytes);
    bool Send(std::initializer_list<std::uint8_t> bytes) { return Send(std::span<const std::uint8_t>(bytes.begin(), bytes.size())); }
    bool Send(std::string_view text);

    // Waits until bytes appear in the data received after the read mark,
    // then moves the mark past them. False on time-out, or when the peer
    // closed or the connection was closed first. An empty sequence matches at once.
    bool ExpectBytes(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout = kDefaultTimeout);
    bool ExpectBytes(std::initializer_list<std::uint8_t> bytes, std::chrono::milliseconds timeout = kDefaultTimeout)
    {
        return ExpectBytes(std::span<const std::uint8_t>(bytes.begin(), bytes.size()), timeout);
    }
    // Waits until at least count bytes lie after the mark, then returns
    // exactly count of them and moves the mark. On time-out or close it
    // returns what there is (fewer bytes) and moves the mark past those.
    std::vector<std::uint8_t> ReadBytes(std::size_t count, std::chrono::milliseconds timeout = kDefaultTimeout);
    // Waits until pred(bytes after the mark) is true; false on time-out or close.
    bool WaitUntil(const std::function<bool(std::span<const std::uint8_t> pending)>& pred,
                   std::chrono::milliseconds timeout = kDefaultTimeout);

    // Every byte received so far, and those after the read mark.
    std::vector<std::uint8_t> Received() const;
    std::vector<std::uint8_t> Pending() const;
    // Moves the mark to the end of what was received so far.
    void SkipPending();

    // Waits until the peer has closed (end of stream or error).
    bool WaitPeerClosed(std::chrono::milliseconds timeout = kDefaultTimeout);
    bool PeerClosed() const;

    // Orderly close (FIN); idempotent. Waits for the receiving thread.
    void Close();
    // Abortive close: the peer sees a reset (SO_LINGER 0). Idempotent.
    void Reset();
    bool IsClosed() const;

private:
    enum class TEnd : std::uint64_t { None = 0, Close = 1, Reset = 2 };
    void Receive();
    void End(TEnd how);

    const int fd_;
    const int wakeFd_;  // eventfd: tells the receiving thread how to end
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::uint8_t> received_;
    std::size_t mark_ = 0;
    bool peerClosed_ = false;
    bool closed_ = false;
    std::mutex sendMutex_;   // held while sending and while the descriptor is closed
    bool fdClosed_ = false;  // guarded by sendMutex_
    std::mutex endMutex_;
    std::thread receiver_;
};

class TTestHost {
public:
    using TServe = std::function<void(TTestConnection& connection)>;

    // Listens on 127.0.0.1, port chosen by the system; connections are taken with Accept.
    TTestHost();
    // Listens likewise and serves each connection with serve on its own thread.
    explicit TTestHost(TServe serve);
    // The same on a given port (0: the system picks one); throws
    // std::system_error when the port cannot be had.
    TTestHost(std::uint16_t port, TServe serve);
    ~TTestHost();
    TTestHost(const TTestHost&) = delete;
    TTestHost& operator=(const TTestHost&) = delete;

    std::uint16_t Port() const { return port_; }
    // The next accepted connection (hosts without a serve function), or
    // null when none arrives within the time-out.
    std::shared_ptr<TTestConnection> Accept(std::chrono::milliseconds timeout = TTestConnection::kDefaultTimeout);
    // Connections accepted so far.
    std::size_t AcceptedCount() const;
    // Stops listening: later connects are refused. Open connections stay.
    void StopListening();

private:
    void AcceptLoop();

    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::uint16_t port_ = 0;
    TServe serve_;
    mutable std::mutex mutex_;
    std::condition_variable accepted_;
    std::deque<std::shared_ptr<TTestConnection>> queue_;
    std::vector<std::shared_ptr<TTestConnection>> all_;
    std::vector<std::thread> servers_;
    std::size_t count_ = 0;
    bool stopping_ = false;
    std::thread acceptor_;
};
