// Client TLS over an already connected socket (OpenSSL), for the direct
// TLS port and for the upgrade inside telnet (START_TLS): the handshake
// with certificate checks, then reads and writes of application data.
//
// Verification is on unless the settings say otherwise: the peer's chain
// must lead to a trusted CA (the system store, or only the given CA file
// or directory), and its certificate must name the host (DNS name or IP
// address); the host name is sent as SNI. Failures carry a kind and a
// sentence a user can act on.
//
// Threading contract:
// - Connect runs on one thread; nothing else uses the session until it
//   returns.
// - Afterwards Read, Write (or WriteSome), SendCloseNotify, HasPending and
//   Info may be called from any thread; each takes the session's own lock
//   only around the OpenSSL call, so one SSL object is never used by two
//   threads at once, and a thread that has to wait for the socket waits
//   outside the lock.
// - The socket is put in non-blocking mode for the session's life, so no
//   call ever blocks inside OpenSSL; Shutdown of the descriptor by another
//   thread (shutdown(2)) wakes every wait, and the next call fails.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

// How a session uses TLS: not at all, from the first byte (the host's TLS
// port, usually 992), or after the telnet START_TLS exchange.
enum class TTlsMode : std::uint8_t { tmNone, tmDirect, tmStartTls };

// "none", "direct", "starttls" (any case; also "tls" for direct and
// "start_tls" for starttls) -> the mode; nothing for other names.
std::optional<TTlsMode> ParseTlsMode(std::string_view name);
const char* TlsModeName(TTlsMode mode);

// What the user chooses (component properties, "Telnet.ini", tool options).
struct TTlsSettings {
    // Trusted CAs: a PEM file and/or a hashed directory. When either is
    // given only these are trusted; when both are empty the system's store.
    std::string CaFile;
    std::string CaPath;
    // Client certificate (PEM, chain allowed) and its key; the key file
    // defaults to the certificate file when empty.
    std::string CertFile;
    std::string KeyFile;
    // Lowest protocol accepted: "1.0", "1.1", "1.2" or "1.3" (also with a
    // "TLS" or "TLSv" prefix). Empty means the default, "1.2".
    std::string MinVersion;
    // false skips every certificate check (chain, dates, name): only for
    // tests and hosts whose certificate cannot be had; the caller logs it.
    bool Verify = true;
    // The name the host's certificate must be for, when it is not the
    // host name or address connected to (a host reached by an address or
    // an alias): checked and sent as SNI instead of it. Empty: the host's.
    std::string ExpectedName;
};

// Why a handshake (or a later TLS read) failed.
enum class TTlsFailure : std::uint8_t {
    tfNone,
    tfSettings,               // a CA, certificate or key file unreadable, a bad version name
    tfUnknownCa,              // the chain does not lead to a trusted CA
    tfNameMismatch,           // the certificate is not for the host name or address
    tfExpired,                // the certificate has expired
    tfNotYetValid,            // the certificate is not valid yet
    tfCertificate,            // another certificate fault (revoked, bad signature, ...)
    tfProtocolVersion,        // no protocol version both sides accept
    tfHandshakeRefused,       // the host ended the handshake with an alert
    tfNotTls,                 // the host did not answer in TLS at all
    tfClosedDuringHandshake,  // the host closed the connection mid-handshake
    tfTimeout,                // the handshake took longer than allowed
    tfOther,
};

// A TLS failure; Code() is 0 (or the errno of a socket failure).
class ETlsError : public std::runtime_error {
public:
    ETlsError(TTlsFailure failure, const std::string& message)
        : std::runtime_error(message), failure_(failure) {}
    TTlsFailure Failure() const { return failure_; }

private:
    TTlsFailure failure_;
};

// What the handshake agreed, for status displays.
struct TTlsInfo {
    std::string Protocol;     // "TLSv1.3"
    std::string Cipher;       // "TLS_AES_256_GCM_SHA384"
    bool Verified = false;    // chain and name checked and good
    std::string PeerSubject;  // the host certificate's subject, one line
};

// Sets OpenSSL up for the process, without its clean-up at exit: event-loop
// threads may still carry TLS sessions while the process ends (the shared
// loop lives until static destruction), and OpenSSL freeing its state under
// them would be a use after free. Idempotent and thread-safe; every TLS
// entry point here calls it first; a program's own first OpenSSL call
// decides for the process, so call it before yours.
void InitTlsLibrary();

// Lowest protocol version from its name (see TTlsSettings::MinVersion):
// the OpenSSL version number, or -1 for a name it does not know.
int TlsVersionFromName(const std::string& name);

class TTlsSession {
public:
    // Read results beside a byte count.
    static constexpr std::int32_t kClosed = 0;
    static constexpr std::int32_t kFailed = -1;
    // Records were processed but none carried application data (a session
    // ticket, a partial record, a key update): not an end of stream.
    static constexpr std::int32_t kNoData = -2;

    // Runs the client handshake on fd (connected; left non-blocking). host
    // is the name (SNI and name check) or numeric address (address check)
    // the user asked for, unless settings.ExpectedName names another. Throws ETlsError; gives up at the deadline.
    static std::unique_ptr<TTlsSession> Connect(int fd, const TTlsSettings& settings, const std::string& host,
                                                std::chrono::steady_clock::time_point deadline);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    // One read of at most len bytes of application data: > 0 bytes, kClosed
    // at the end of the stream (with or without the host's close_notify),
    // kNoData, or kFailed (FailureText says why). Never blocks. wantsWrite,
    // when given, is set when kNoData means the session must write before
    // it can read on (a key update or renegotiation answer the socket did
    // not take): wait for writability, then read again.
    std::int32_t Read(void* buf, std::int32_t len, bool* wantsWrite = nullptr);
    // Writes all len bytes, waiting for the socket outside the lock up to
    // the deadline. Returns len, or -1 with an errno value in *error
    // (EAGAIN at the deadline, EPIPE when the connection is gone).
    std::int32_t Write(const void* buf, std::int32_t len, std::chrono::steady_clock::time_point deadline,
                       int* error);
    // For a connection carried on an event loop: writes what the socket
    // takes now, whole records at a time (written: the bytes of bytes
    // sent), and never waits. After tiWantRead or tiWantWrite the next
    // call must start with the same bytes (it may bring more after them,
    // and their buffer may move). Puts the session in partial-write mode:
    // do not mix with Write.
    enum class TIo : std::uint8_t { tiDone, tiWantRead, tiWantWrite, tiFailed };
    TIo WriteSome(std::span<const std::uint8_t> bytes, std::size_t& written);
    // Orderly close, best effort: one try to send the close_notify alert,
    // whatever the socket takes now; never waits.
    void SendCloseNotify();
    // Decrypted bytes or received record bytes wait inside the session: a
    // read would not need the socket to be readable.
    bool HasPending();
    TTlsInfo Info();
    // Why the last Read returned kFailed (or kClosed inside a record).
    std::string FailureText();

private:
    friend class TTlsHandshake;
    struct TImpl;
    explicit TTlsSession(std::unique_ptr<TImpl> impl);

    std::mutex mutex_;  // guards every use of the SSL object
    std::unique_ptr<TImpl> impl_;
    std::string failure_;  // guarded by mutex_
};

// The client handshake one step at a time, for a connection carried on an
// event loop: Step runs the handshake until it would block and says which
// readiness it waits for; the caller waits for that (its epoll set) under
// its own deadline (a loop timer) and steps again. TTlsSession::Connect is
// this with poll(2) as the wait. One thread at a time.
class TTlsHandshake {
public:
    enum class TStep : std::uint8_t { tsDone, tsWantRead, tsWantWrite };

    // Sets the session up on fd (connected; left non-blocking), as Connect
    // does. Throws ETlsError (tfSettings, tfOther).
    TTlsHandshake(int fd, const TTlsSettings& settings, const std::string& host);
    ~TTlsHandshake();
    TTlsHandshake(const TTlsHandshake&) = delete;
    TTlsHandshake& operator=(const TTlsHandshake&) = delete;

    // Throws ETlsError when the handshake failed (the kinds of Connect but
    // tfTimeout, which is the caller's to decide).
    TStep Step();
    // The session once Step said tsDone; the handshake is spent after it.
    std::unique_ptr<TTlsSession> Finish();

private:
    struct TState;
    std::unique_ptr<TState> state_;
};
