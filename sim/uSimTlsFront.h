// A TLS front for the host simulator: listens on 127.0.0.1 (a free port),
// takes each client through TLS (from the first byte, or after a START_TLS
// exchange in clear text), then relays the decrypted bytes to a plain host
// (normally a THostSimulator) on another loopback port and back, so the
// host's telnet negotiation starts afresh inside TLS. It can ask for a
// client certificate, cap the protocol version, and misbehave on purpose
// (close or stall in the handshake, cut a record).
//
// START_TLS (telnet option 46, the START_TLS draft), host side:
//   host: IAC DO START_TLS                       client: IAC WILL START_TLS
//   host: IAC SB START_TLS FOLLOWS IAC SE        client: IAC SB START_TLS FOLLOWS IAC SE
//   then the TLS handshake, the client speaking first.
//
// Each connection runs on its own thread with its own SSL object; the
// destructor stops and joins them all. Members may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tnsim {

inline constexpr std::uint8_t kOptStartTls = 46;
inline constexpr std::uint8_t kStartTlsFollows = 1;

enum class TSimTlsFault {
    None,
    CloseInHandshake,  // read the client's first handshake bytes, then close
    StallHandshake,    // never answer the handshake (until the client goes); reported at once
    CutRecord,         // after the handshake send half of the first record, then close
};

struct TSimTlsOptions {
    std::string certFile;
    std::string keyFile;
    // Not empty: ask for a client certificate and require one this CA issued.
    std::string clientCaFile;
    // START_TLS in clear text first, instead of TLS from the first byte.
    bool startTls = false;
    // Highest protocol version offered (an OpenSSL version number such as
    // TLS1_2_VERSION); 0: the library's highest.
    int maxVersion = 0;
    TSimTlsFault fault = TSimTlsFault::None;
    // The host's first bytes go out in one send with the end of the
    // handshake (TLS 1.2: the front's Finished; TLS 1.3: its session
    // tickets), so that the client's last handshake read may bring them.
    bool firstBytesWithHandshake = false;
    // TLS 1.3: before each block relayed to the client, a key update that
    // the client must answer with its own (its next records use new keys).
    bool keyUpdates = false;
    // The plain host behind the front, on 127.0.0.1.
    std::uint16_t backendPort = 0;
};

// What one connection showed, reported when its handshake ended (well or not).
struct TSimTlsPeer {
    bool handshakeDone = false;
    std::string failure;        // why the handshake failed; empty when done
    std::string protocol;       // "TLSv1.3"
    std::string serverName;     // the SNI the client sent, empty if none
    std::string clientSubject;  // the client certificate's subject; empty: none
    // Every byte the client sent in clear text (START_TLS: its WILL and
    // FOLLOWS, and anything else it should not have sent).
    std::vector<std::uint8_t> clearBytes;
};

class TSimTlsFront {
public:
    // Throws std::runtime_error when the certificate or key cannot be
    // loaded, std::system_error when it cannot listen.
    explicit TSimTlsFront(TSimTlsOptions options);
    ~TSimTlsFront();
    TSimTlsFront(const TSimTlsFront&) = delete;
    TSimTlsFront& operator=(const TSimTlsFront&) = delete;

    std::uint16_t Port() const { return port_; }
    // The next connection's handshake outcome, in order; nothing on time-out.
    std::optional<TSimTlsPeer> WaitHandshake(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // Connections accepted so far.
    std::size_t AcceptedCount() const;

private:
    struct TCtx;
    void AcceptLoop();
    void Serve(int fd);
    void Report(TSimTlsPeer peer);

    const TSimTlsOptions options_;
    std::unique_ptr<TCtx> ctx_;
    int listenFd_ = -1;
    int stopFd_ = -1;  // eventfd, readable once the front stops
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable reported_;
    std::deque<TSimTlsPeer> peers_;
    std::size_t accepted_ = 0;
    std::vector<std::thread> servers_;
    std::thread acceptor_;
};

}  // namespace tnsim
