// The connection of the event-loop transport (TLoopTransport::TLink): it
// owns the socket on its loop thread and reaches the component only under
// the session lock, after checking that the component is alive and still
// carries this link (as a reader thread does), so that a link outliving
// its component touches nothing. Its connect, reads, writes and life are
// in uLoopLink.cpp, its TLS steps beside the transport in uLoopTransport.cpp.
#pragma once

#include "platform/uEventLoop.h"
#include "platform/uSocketIo.h"
#include "platform/uTlsTransport.h"
#include "telnet/uLoopTransport.h"
#include "telnet/uReceiveProgress.h"
#include "telnet/uSessionCore.h"

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tnloop {


// As the reader-thread transport words them (TTlsSession::Connect, TTelnetConnection::Open).
inline constexpr char kHandshakeTimedOut[] = "TLS: the handshake took longer than the connect time-out";
inline constexpr char kVerifyOff[] = "TLS: certificate verification is off (TlsVerify): the host is not authenticated";

// Addresses of one name tried per connect, in the resolver's order: a name
// often has an IPv6 and an IPv4 address ("localhost": ::1 first), and a
// host may listen on one of them only, as the reader thread's client knows.
inline constexpr std::size_t kMaxAddresses = 8;

struct TAddress {
    sockaddr_storage Address{};
    socklen_t Length = 0;
};

// The addresses of host:port (port < 0: the telnet service), or why not.
// Blocks for a name lookup (numeric addresses and "localhost" answer at once).
std::string Resolve(const std::string& host, std::int32_t port, std::vector<TAddress>& addresses);
// A connect begun to the first address that takes one; the addresses
// tried are dropped. Fd < 0 (with the last error) when none did.
TConnectStart StartFirst(std::vector<TAddress>& addresses);

} // namespace tnloop

class TLoopTransport::TLink final : public IIoHandler, public TDeliverySource, public std::enable_shared_from_this<TLink> {
public:
    using TAddress = tnloop::TAddress;
    using Clock = std::chrono::steady_clock;
    // Handshaking: the TCP connect is done and the direct TLS handshake runs.
    enum class TState : std::uint8_t { Connecting, Handshaking, Open, Ended };

    TLink(TLoopTransport& owner, int fd, const TConnectTarget& target, std::vector<TAddress> next);
    ~TLink() override;

    // Registers the socket (write interest: the connect's outcome) and the
    // connect deadline, on the loop thread. False when the loop refuses.
    bool Begin(std::chrono::milliseconds connectTimeout);

    TState State() const;

    // Under the session lock, from the component.
    void StartReading(const TTelnetTimings& timings, std::optional<Clock::time_point> deadline);

    // Under the session lock: bytes written now or queued; -1 when not open
    // (or refused: `failed` is then set and the caller tells the sink).
    std::int32_t Write(std::span<const std::uint8_t> bytes, bool& failed);

    // Any thread: the socket is shut down now (the host sees the end) and
    // the rest of the end is left to the loop thread.
    void Stop(bool cutOnly);

    TTlsInfo TlsInfo() const;

private:
    void OnIo(std::uint32_t events) override;

    // tls: what the direct TLS handshake agreed, or null.
    void Connected(const TTlsInfo* tls);

    // The connect to one address failed: the next address gets a socket of
    // its own, under the same deadline. False when none is left (or the
    // link is being cut). On the loop thread.
    bool ConnectNext();

    void ConnectFailed(const std::string& why);

    void ReadBlock();

    // ---- TLS on the loop thread

    // Direct TLS, once the connect to one of the addresses is done (the
    // handshake needs that socket): it runs under the connect deadline.
    void BeginDirectTls();

    // START_TLS: the telnet session has sent FOLLOWS; plain reads stop and
    // the handshake runs, bounded by the START_TLS deadline (Deadline).
    void BeginUpgrade(const TTlsSettings& settings, const std::string& host);

    // Runs the handshake until it waits for the socket; the registration's
    // interest becomes the readiness it waits for.
    void StepHandshake();

    void HandshakeDone();

    // A direct handshake fails the connect (with the reader-thread
    // transport's log line); a START_TLS one is the session's to end.
    void HandshakeFailed(const std::string& why);

    // Bytes decrypted (or records read) inside the TLS session: one more
    // read soon. Only after a read that gave data or a handshake, so that a
    // partial record (which counts as pending) never spins.
    void ReadPendingSoon();

    // A TLS write that had to read first (renegotiation, a key update)
    // goes on once a read has taken the host's records.
    void WriteAfterRead();

    // Under mutex_: one write of what the socket (or the TLS session) takes now.
    TIoResult SendSome(std::span<const std::uint8_t> bytes);

    // Handlers posted to the dispatcher for this link have not all run: no
    // read until they have, so that none of them sees a screen newer than
    // its event. PostsDone resumes. On the loop thread.
    bool HeldForPosts();

    std::shared_ptr<TDeliverySource> ShareForPosts() override { return shared_from_this(); }

    // Any thread: the read held back goes on, on the loop thread (a post
    // may have come meanwhile and hold it again).
    void PostsDone() override;

    // The receive-loop guard (telnet/uReceiveProgress.h): false on the
    // kBurstLimit-th block without progress inside one window.
    bool Progress(TReceiveProgress::TBlock block);

    void Resume();

    void Flush();

    void ArmSendTimeout();

    void WriteFailed();

    // The START_TLS deadline: a handshake still running fails as one that
    // ran out of time on the reader thread does.
    void Deadline();

    // The idle check: a tick every WaitTimeout; every kQuietTicksPerAliveCheck
    // quiet ticks the sink says whether the link is still alive.
    void ArmIdle();

    // The peer closed, or a read failed; tlsText: what TLS said of it.
    void Ended(bool failed, const std::string& tlsText);

    // On the loop thread: the registration and the descriptor go.
    void Teardown();

    // The component is alive and carries this link. Under the session lock.
    bool Owned() const;

    // Under mutex_ (loop's Modify never calls a handler).
    void UpdateInterest();

    TLoopTransport* const owner_;  // touched only after Owned(), under the session lock
    TTransportSink* const sink_;
    const std::shared_ptr<TSessionCore> core_;
    const std::shared_ptr<TEventLoop> loop_;
    int fd_;
    const std::size_t thread_;
    const std::chrono::milliseconds sendTimeout_;
    std::vector<TAddress> next_;  // loop thread: the addresses not tried yet
    // Direct TLS: what the handshake checks, for the socket the connect ends with.
    struct TDirectTls {
        TTlsSettings Settings;
        std::string Host;
    };
    std::unique_ptr<const TDirectTls> direct_;

    mutable std::mutex mutex_;  // leaf: guards the state, the socket's interest and the queue
    TState state_ = TState::Connecting;
    bool cut_ = false;
    bool reading_ = false;
    TIoId io_ = 0;
    std::shared_ptr<TLink> registered_;  // alive while the loop may call OnIo
    std::vector<std::uint8_t> queue_;
    std::size_t queueHead_ = 0;
    Clock::time_point lastProgress_{};
    // TLS: the handshake running (direct, or START_TLS), used on the loop
    // thread; the session once it is done (reads on the loop thread,
    // writes under mutex_; set and reset on the loop thread under mutex_).
    std::unique_ptr<TTlsHandshake> handshake_;
    std::uint32_t handshakeWants_ = kIoWrite;
    std::unique_ptr<TTlsSession> tls_;
    bool tlsFailed_ = false;       // a handshake failed: nothing is sent any more
    bool readWantsWrite_ = false;  // a TLS read waits for writability
    bool writeWantsRead_ = false;  // a TLS write waits for a read

    // Loop thread only.
    TTelnetTimings timings_;
    TReceiveLoopGuard guard_;
    bool quiet_ = true;
    int quietTicks_ = 0;
    bool heldForPosts_ = false;  // a read waits for PostsDone
};
