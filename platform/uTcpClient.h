// Blocking TCP client standing in for the component library's client
// socket: host name or numeric address (IPv4 or IPv6), port or service
// name, a bounded connect, connect/disconnect/error events, and a shared
// connection object that a reader thread can wait on and read from.
//
// Threading contract:
// - Settings, Open and Close are called by one thread at a time (the
//   component serialises them with its session lock). OnConnect runs on the
//   thread inside Open, OnDisconnect on the thread inside Close, OnError on
//   the thread whose send failed.
// - Active, Connection, SendBuf and Shutdown may be called from any thread.
// - A closed connection is shut down (which wakes a thread blocked in
//   WaitForData, ReceiveBuf or SendBuf on it) but its descriptor is closed
//   only when the last holder of the TTcpConnection lets it go, so another
//   thread never polls a descriptor that was closed (and maybe reused).
// - TLS (uTlsTransport): a connection may carry TLS from the start (the
//   client's TlsDirect) or from a StartTls mid-stream; reads, waits and
//   sends then go through it, and Shutdown still only shuts the descriptor
//   down, so a thread that closes never calls into the TLS session another
//   thread reads with.
#pragma once

#include "platform/uTlsTransport.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

// A socket failure; Code() is the errno value (or 0 for a resolution failure).
class ESocketError : public std::runtime_error {
public:
    ESocketError(const std::string& message, int code) : std::runtime_error(message), code_(code) {}
    int Code() const { return code_; }

private:
    int code_;
};

// One open TCP connection. Owns the descriptor (closed by the destructor).
class TTcpConnection {
public:
    // ReceiveBuf over TLS: records came but no application data.
    static constexpr std::int32_t kNoData = TTlsSession::kNoData;

    explicit TTcpConnection(int fd, std::chrono::milliseconds sendTimeout = std::chrono::milliseconds(30000));
    ~TTcpConnection();
    TTcpConnection(const TTcpConnection&) = delete;
    TTcpConnection& operator=(const TTcpConnection&) = delete;

    int Handle() const { return fd_; }

    enum class TWait { Ready, Timeout, Failed };
    // Waits until a read would not block (data, end of stream or error all
    // count as ready: the following ReceiveBuf tells which). Any thread.
    TWait WaitForData(std::chrono::milliseconds timeout) const;
    // One recv of at most len bytes: > 0 bytes read, 0 end of stream,
    // -1 error (errno kept). Interrupted calls are retried. Over TLS also
    // kNoData (wait again), and never blocks.
    std::int32_t ReceiveBuf(void* buf, std::int32_t len) const;
    // Writes all len bytes (never raises SIGPIPE); two threads may send at
    // once, each call's bytes stay together. Returns len, or -1 with the
    // errno value in *error (EPIPE, ECONNRESET, EAGAIN after the send
    // time-out, ESHUTDOWN after Shutdown).
    std::int32_t SendBuf(const void* buf, std::int32_t len, int* error);
    // Shuts both directions down; idempotent, any thread.
    void Shutdown();
    bool IsShutdown() const { return shutdown_.load(std::memory_order_acquire); }

    // Runs the TLS client handshake on this connection (host: the name or
    // address to check the certificate against), giving up at the
    // deadline. Called by the thread that reads, before it reads again.
    // Sends of other threads wait until it is done; after a failure (it
    // throws ETlsError) the connection refuses to send, so nothing meant
    // for the TLS session ever goes out in clear text.
    void StartTls(const TTlsSettings& settings, const std::string& host,
                  std::chrono::steady_clock::time_point deadline);
    bool IsTls() const { return tls_.load(std::memory_order_acquire) != nullptr; }
    // Protocol, cipher, verification; empty when not TLS.
    TTlsInfo TlsInfo() const;
    // Why the last TLS read failed or ended uncleanly; empty if it did not.
    std::string TlsFailureText() const;

private:
    const int fd_;
    const std::chrono::milliseconds sendTimeout_;
    std::mutex sendMutex_;
    std::atomic<bool> shutdown_{false};
    std::unique_ptr<TTlsSession> tlsOwner_;   // set under sendMutex_, once
    std::atomic<TTlsSession*> tls_{nullptr};  // tlsOwner_ once the handshake is done
    bool tlsFailed_ = false;                  // guarded by sendMutex_
};

enum class TErrorEvent : std::uint8_t { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

class TTcpClient {
public:
    TTcpClient() = default;
    ~TTcpClient();  // shuts an open connection down, raises no event
    TTcpClient(const TTcpClient&) = delete;
    TTcpClient& operator=(const TTcpClient&) = delete;

    // Where to connect: Address (numeric IPv4 or IPv6) when not empty, else
    // Host (a name, resolved for IPv4 and IPv6). The port is the Service's
    // when a service is set, else Port.
    std::string Host;
    std::string Address;
    std::int32_t GetPort() const { return port_; }
    void SetPort(std::int32_t port) { port_ = port; service_.clear(); }
    const std::string& GetService() const { return service_; }
    // Sets the service name; Port keeps its value (it is not used while a
    // service is set).
    void SetService(const std::string& service) { service_ = service; }

    // Longest wait for one connect (all addresses of the name together).
    std::chrono::milliseconds ConnectTimeout{20000};
    // Longest a send may block on a peer that does not read (then it fails).
    std::chrono::milliseconds SendTimeout{30000};
    // TLS from the first byte (the host's TLS port): Open runs the handshake
    // with TlsSettings within ConnectTimeout, before OnConnect; a failed
    // handshake raises ETlsError and leaves the client inactive.
    bool TlsDirect = false;
    TTlsSettings TlsSettings;

    std::function<void(TTcpClient& sender)> OnConnect;
    std::function<void(TTcpClient& sender)> OnDisconnect;
    // errorCode in and out: a handler that sets it to 0 stops the client
    // from raising ESocketError for the failure.
    std::function<void(TTcpClient& sender, TErrorEvent kind, int& errorCode)> OnError;

    // Resolves and connects; raises ESocketError (or ETlsError) on failure (no event then).
    // On success the client is active and OnConnect has run when it returns.
    // Opening an active client closes it first.
    void Open();
    // When active: marks it inactive, shuts the connection down and runs
    // OnDisconnect. When not active: nothing.
    void Close();
    bool Active() const { return active_.load(std::memory_order_acquire); }
    // The open connection, or null.
    std::shared_ptr<TTcpConnection> Connection() const;
    // Sends through the open connection; -1 when not active. A failure runs
    // OnError(eeSend, errno) and raises ESocketError unless the handler
    // cleared the code; then -1 is returned.
    std::int32_t SendBuf(const void* buf, std::int32_t len);
    // Wakes whatever waits on the connection without an event. Any thread.
    void Shutdown();

    // Port of a service of the system's services database ("telnet" -> 23);
    // the name is tried as given, then in lower case. -1 when unknown.
    static std::int32_t ResolveServicePort(const std::string& service);

private:
    int ConnectTo(const std::string& node, bool numeric, std::int32_t port,
                  std::chrono::steady_clock::time_point deadline) const;

    std::int32_t port_ = 0;
    std::string service_;
    std::atomic<bool> active_{false};
    mutable std::mutex connMutex_;
    std::shared_ptr<TTcpConnection> conn_;
};
