#include "platform/uTlsTransport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// While a write waits for the reader to take what the host sent (a write
// that needs to read first), it looks again this often.
constexpr std::chrono::milliseconds kWriteReadSlice{10};

struct TCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct TSslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};

// The oldest queued OpenSSL error as text, and the queue emptied (the queue
// is per thread: what is left would be blamed on the next call).
std::string TakeErrors()
{
    std::string text;
    unsigned long e = 0;
    while ((e = ERR_get_error()) != 0) {
        if (!text.empty())
            continue;
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        text = buf;
        if (const char* reason = ERR_reason_error_string(e); reason != nullptr)
            text = reason;
    }
    return text;
}

bool IsNumericHost(const std::string& host)
{
    in6_addr a6{};
    in_addr a4{};
    return inet_pton(AF_INET, host.c_str(), &a4) == 1 || inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

// OpenSSL writes to the socket with write(2), which raises SIGPIPE when
// the host has gone; that must never end the application. While it is
// alive, SIGPIPE is blocked on this thread, and one it raised is taken
// back (the same as the MSG_NOSIGNAL of plain sends).
class TNoSigPipe {
public:
    TNoSigPipe()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        hadPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~TNoSigPipe()
    {
        if (!hadPending_) {
            const timespec zero{};
            while (sigtimedwait(&pipe_, nullptr, &zero) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    TNoSigPipe(const TNoSigPipe&) = delete;
    TNoSigPipe& operator=(const TNoSigPipe&) = delete;

private:
    sigset_t pipe_{};
    sigset_t old_{};
    bool hadPending_ = false;
};

enum class TWaitFd { Ready, Timeout, Failed };

// Waits until fd is ready for events, up to the deadline (rounded up, so
// that a time-out never comes early).
TWaitFd WaitFd(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return TWaitFd::Timeout;
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, 0x7fffffff)));
        if (rc > 0)
            return TWaitFd::Ready;
        if (rc == 0)
            continue;  // the loop head decides whether the deadline has passed
        if (errno != EINTR)
            return TWaitFd::Failed;
    }
}

// TLS records start with a content type of 20 to 24; a telnet host that
// speaks first starts with IAC (255), anything else with text. A plain host
// sends a few bytes and waits: too few for a record header, so OpenSSL
// alone would wait it out. The first byte read is looked at as it comes.
constexpr std::uint8_t kFirstRecordType = 20, kLastRecordType = 24;

struct TFirstByte {
    bool Seen = false;
    bool NotTls = false;
};

long FirstByteCallback(BIO* bio, int oper, const char* argp, std::size_t /*len*/, int /*argi*/, long /*argl*/,
                       int ret, std::size_t* processed)
{
    if (oper == (BIO_CB_READ | BIO_CB_RETURN) && ret > 0 && processed != nullptr && *processed > 0) {
        auto* state = reinterpret_cast<TFirstByte*>(BIO_get_callback_arg(bio));
        if (state != nullptr && !state->Seen) {
            state->Seen = true;
            const auto first = static_cast<std::uint8_t>(argp[0]);
            state->NotTls = first < kFirstRecordType || first > kLastRecordType;
        }
    }
    return ret;
}

[[noreturn]] void Fail(TTlsFailure kind, const std::string& text)
{
    throw ETlsError(kind, "TLS: " + text);
}

// The verification result in words. The user's fix goes with each one.
[[noreturn]] void FailVerify(long result, const std::string& host)
{
    const std::string detail = X509_verify_cert_error_string(result);
    switch (result) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        Fail(TTlsFailure::tfUnknownCa, "the host's certificate is from an unknown CA (" + detail +
                                           "); name the CA that issued it with TlsCaFile or TlsCaPath");
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        Fail(TTlsFailure::tfNameMismatch, "certificate name mismatch: the host's certificate is not for \"" + host +
                                              "\"; connect by a name the certificate lists");
    case X509_V_ERR_CERT_HAS_EXPIRED:
        Fail(TTlsFailure::tfExpired, "the host's certificate has expired; the host must renew it");
    case X509_V_ERR_CERT_NOT_YET_VALID:
        Fail(TTlsFailure::tfNotYetValid, "the host's certificate is not valid yet; check this machine's clock");
    default:
        Fail(TTlsFailure::tfCertificate, "the host's certificate was rejected (" + detail + ")");
    }
}

// A failed SSL_connect in words: the certificate first (its result is the
// most precise), then what the error queue or the socket says.
[[noreturn]] void FailHandshake(SSL* ssl, int sslError, bool verify, const std::string& host)
{
    const long verifyResult = SSL_get_verify_result(ssl);
    const unsigned long e = ERR_peek_last_error();
    const int reason = ERR_GET_REASON(e);
    const std::string text = TakeErrors();
    if (verify && verifyResult != X509_V_OK)
        FailVerify(verifyResult, host);
    switch (reason) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_VERSION_TOO_LOW:
    case SSL_R_WRONG_SSL_VERSION:
        Fail(TTlsFailure::tfProtocolVersion, "no protocol version both sides accept (" + text +
                                                 "); the host may need a lower TlsMinVersion, or an update");
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_HTTP_REQUEST:
        Fail(TTlsFailure::tfNotTls, "the host did not answer in TLS (" + text +
                                        "); is this a plain telnet port? (use START_TLS or the TLS port)");
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
        Fail(TTlsFailure::tfHandshakeRefused,
             "handshake refused: the host requires a client certificate (TlsCertFile, TlsKeyFile)");
    case SSL_R_UNEXPECTED_EOF_WHILE_READING:
        Fail(TTlsFailure::tfClosedDuringHandshake, "the host closed the connection during the handshake");
    default:
        break;
    }
    if (e != 0 && ERR_GET_LIB(e) == ERR_LIB_SSL && reason >= SSL_AD_REASON_OFFSET)
        Fail(TTlsFailure::tfHandshakeRefused, "handshake refused by the host (" + text + ")");
    if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN || e == 0)
        Fail(TTlsFailure::tfClosedDuringHandshake, "the host closed the connection during the handshake");
    Fail(TTlsFailure::tfOther, "handshake failed (" + text + ")");
}

std::unique_ptr<SSL_CTX, TCtxFree> MakeContext(const TTlsSettings& settings)
{
    InitTlsLibrary();
    std::unique_ptr<SSL_CTX, TCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx)
        Fail(TTlsFailure::tfOther, "cannot create a TLS context (" + TakeErrors() + ")");
    const int minVersion = TlsVersionFromName(settings.MinVersion);
    if (minVersion < 0)
        Fail(TTlsFailure::tfSettings, "unknown TlsMinVersion \"" + settings.MinVersion + "\" (1.0, 1.1, 1.2 or 1.3)");
    SSL_CTX_set_min_proto_version(ctx.get(), minVersion);
    // Writes are retried from the same place after a wait; their buffer may
    // move (a string the caller rebuilds), and a partial record is never sent.
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (settings.Verify) {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
        if (!settings.CaFile.empty() || !settings.CaPath.empty()) {
            if (SSL_CTX_load_verify_locations(ctx.get(), settings.CaFile.empty() ? nullptr : settings.CaFile.c_str(),
                                              settings.CaPath.empty() ? nullptr : settings.CaPath.c_str()) != 1)
                Fail(TTlsFailure::tfSettings, "cannot read the CA file or directory \"" + settings.CaFile +
                                                  settings.CaPath + "\" (" + TakeErrors() + ")");
        } else if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
            Fail(TTlsFailure::tfSettings, "cannot read the system's CA store (" + TakeErrors() + ")");
        }
    } else {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    }
    if (!settings.CertFile.empty()) {
        const std::string& key = settings.KeyFile.empty() ? settings.CertFile : settings.KeyFile;
        if (SSL_CTX_use_certificate_chain_file(ctx.get(), settings.CertFile.c_str()) != 1)
            Fail(TTlsFailure::tfSettings,
                 "cannot read the client certificate \"" + settings.CertFile + "\" (" + TakeErrors() + ")");
        if (SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(ctx.get()) != 1) {
            if (ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH)
                Fail(TTlsFailure::tfSettings, "cannot read the client key \"" + key + "\" (" + TakeErrors() + ")");
            Fail(TTlsFailure::tfSettings, "the client key \"" + key + "\" does not belong to the certificate \"" +
                                              settings.CertFile + "\"");
        }
    } else if (!settings.KeyFile.empty()) {
        Fail(TTlsFailure::tfSettings, "a client key without a client certificate (TlsCertFile)");
    }
    return ctx;
}

} // namespace

struct TTlsSession::TImpl {
    int Fd = -1;
    bool Verify = true;
    std::unique_ptr<SSL_CTX, TCtxFree> Ctx;
    std::unique_ptr<SSL, TSslFree> Ssl;
};

void InitTlsLibrary()
{
    static const bool done = OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    (void)done;
}

std::optional<TTlsMode> ParseTlsMode(std::string_view name)
{
    std::string n;
    for (char c : name)
        n += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (n == "none")
        return TTlsMode::tmNone;
    if (n == "direct" || n == "tls")
        return TTlsMode::tmDirect;
    if (n == "starttls" || n == "start_tls")
        return TTlsMode::tmStartTls;
    return std::nullopt;
}

const char* TlsModeName(TTlsMode mode)
{
    switch (mode) {
    case TTlsMode::tmDirect:
        return "direct";
    case TTlsMode::tmStartTls:
        return "starttls";
    case TTlsMode::tmNone:
        break;
    }
    return "none";
}

int TlsVersionFromName(const std::string& name)
{
    std::string n;
    for (char c : name)
        n += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (n.rfind("tlsv", 0) == 0)
        n.erase(0, 4);
    else if (n.rfind("tls", 0) == 0)
        n.erase(0, 3);
    if (n.empty() || n == "1.2")
        return TLS1_2_VERSION;
    if (n == "1.3")
        return TLS1_3_VERSION;
    if (n == "1.1")
        return TLS1_1_VERSION;
    if (n == "1.0" || n == "1")
        return TLS1_VERSION;
    return -1;
}

TTlsSession::TTlsSession(std::unique_ptr<TImpl> impl) : impl_(std::move(impl)) {}

TTlsSession::~TTlsSession() = default;

struct TTlsHandshake::TState {
    std::unique_ptr<TTlsSession::TImpl> Impl;
    std::string Host;
    TFirstByte FirstByte;  // the read BIO's callback points here until Finish
};

TTlsHandshake::TTlsHandshake(int fd, const TTlsSettings& settings, const std::string& hostAsked)
    : state_(std::make_unique<TState>())
{
    // The name the certificate is checked against (and sent as SNI).
    const std::string& host = settings.ExpectedName.empty() ? hostAsked : settings.ExpectedName;
    ERR_clear_error();
    state_->Host = host;
    auto& impl = state_->Impl;
    impl = std::make_unique<TTlsSession::TImpl>();
    impl->Fd = fd;
    impl->Verify = settings.Verify;
    impl->Ctx = MakeContext(settings);
    impl->Ssl.reset(SSL_new(impl->Ctx.get()));
    SSL* ssl = impl->Ssl.get();
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1)
        Fail(TTlsFailure::tfOther, "cannot set up the TLS session (" + TakeErrors() + ")");
    if (IsNumericHost(host)) {
        // RFC 6066: no SNI for an address; the address must be in the certificate.
        if (settings.Verify && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) != 1)
            Fail(TTlsFailure::tfSettings, "cannot check the address \"" + host + "\"");
    } else if (!host.empty()) {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        if (settings.Verify) {
            SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            if (SSL_set1_host(ssl, host.c_str()) != 1)
                Fail(TTlsFailure::tfSettings, "cannot check the host name \"" + host + "\"");
        }
    }
    // Non-blocking for good: no OpenSSL call may block while it holds the
    // session's lock; every wait is a poll (or an event loop) outside it.
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    BIO* rbio = SSL_get_rbio(ssl);
    BIO_set_callback_arg(rbio, reinterpret_cast<char*>(&state_->FirstByte));
    BIO_set_callback_ex(rbio, FirstByteCallback);
}

TTlsHandshake::~TTlsHandshake() = default;

TTlsHandshake::TStep TTlsHandshake::Step()
{
    if (!state_ || !state_->Impl)
        Fail(TTlsFailure::tfOther, "the handshake is over");
    SSL* ssl = state_->Impl->Ssl.get();
    int rc = 0;
    {
        TNoSigPipe noSignal;
        rc = SSL_connect(ssl);
    }
    if (rc == 1)
        return TStep::tsDone;
    const int err = SSL_get_error(ssl, rc);
    if (state_->FirstByte.NotTls)
        Fail(TTlsFailure::tfNotTls,
             "the host did not answer in TLS; is this a plain telnet port? (use START_TLS or the TLS port)");
    if (err == SSL_ERROR_WANT_READ)
        return TStep::tsWantRead;
    if (err == SSL_ERROR_WANT_WRITE)
        return TStep::tsWantWrite;
    FailHandshake(ssl, err, state_->Impl->Verify, state_->Host);
}

std::unique_ptr<TTlsSession> TTlsHandshake::Finish()
{
    if (!state_ || !state_->Impl)
        Fail(TTlsFailure::tfOther, "the handshake is over");
    BIO* rbio = SSL_get_rbio(state_->Impl->Ssl.get());
    BIO_set_callback_ex(rbio, nullptr);
    BIO_set_callback_arg(rbio, nullptr);
    return std::unique_ptr<TTlsSession>(new TTlsSession(std::move(state_->Impl)));
}

std::unique_ptr<TTlsSession> TTlsSession::Connect(int fd, const TTlsSettings& settings, const std::string& host,
                                                  Clock::time_point deadline)
{
    TTlsHandshake handshake(fd, settings, host);
    for (;;) {
        const TTlsHandshake::TStep step = handshake.Step();
        if (step == TTlsHandshake::TStep::tsDone)
            return handshake.Finish();
        const TWaitFd w = WaitFd(fd, step == TTlsHandshake::TStep::tsWantRead ? POLLIN : POLLOUT, deadline);
        if (w == TWaitFd::Timeout)
            Fail(TTlsFailure::tfTimeout, "the handshake took longer than the connect time-out");
        if (w == TWaitFd::Failed)
            Fail(TTlsFailure::tfClosedDuringHandshake, "the connection failed during the handshake");
    }
}

std::int32_t TTlsSession::Read(void* buf, std::int32_t len, bool* wantsWrite)
{
    if (wantsWrite != nullptr)
        *wantsWrite = false;
    if (len <= 0)
        return kNoData;
    std::lock_guard lock(mutex_);
    TNoSigPipe noSignal;  // a read may answer the host (a key update, an alert)
    ERR_clear_error();
    std::size_t got = 0;
    const int rc = SSL_read_ex(impl_->Ssl.get(), buf, static_cast<std::size_t>(len), &got);
    const int sysError = errno;
    if (rc == 1)
        return static_cast<std::int32_t>(got);
    const int err = SSL_get_error(impl_->Ssl.get(), rc);
    const unsigned long e = ERR_peek_last_error();
    const std::string text = TakeErrors();
    switch (err) {
    case SSL_ERROR_WANT_WRITE:
        if (wantsWrite != nullptr)
            *wantsWrite = true;
        return kNoData;
    case SSL_ERROR_WANT_READ:
        return kNoData;
    case SSL_ERROR_ZERO_RETURN:
        return kClosed;  // the host's close_notify
    case SSL_ERROR_SYSCALL:
        if (sysError == 0 || sysError == ECONNRESET || sysError == EPIPE || sysError == ESHUTDOWN)
            return kClosed;
        failure_ = std::string("TLS: connection failed (") + std::strerror(sysError) + ")";
        return kFailed;
    default:
        if (ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            // Many hosts just close the socket; said so, since a record may
            // have been cut off with it.
            failure_ = "TLS: the host closed the connection without ending TLS (close_notify)";
            return kClosed;
        }
        if (ERR_GET_REASON(e) == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED)
            failure_ = "TLS: handshake refused: the host requires a client certificate (TlsCertFile, TlsKeyFile)";
        else if (ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) >= SSL_AD_REASON_OFFSET)
            failure_ = "TLS: handshake refused by the host (" + text + ")";
        else
            failure_ = "TLS: receive failed (" + text + ")";
        return kFailed;
    }
}

std::int32_t TTlsSession::Write(const void* buf, std::int32_t len, Clock::time_point deadline, int* error)
{
    if (len <= 0)
        return len < 0 ? -1 : 0;
    for (;;) {
        int err = SSL_ERROR_NONE;
        {
            std::lock_guard lock(mutex_);
            TNoSigPipe noSignal;
            ERR_clear_error();
            std::size_t written = 0;
            const int rc = SSL_write_ex(impl_->Ssl.get(), buf, static_cast<std::size_t>(len), &written);
            if (rc == 1)
                return len;
            err = SSL_get_error(impl_->Ssl.get(), rc);
            TakeErrors();
        }
        if (err == SSL_ERROR_WANT_WRITE) {
            if (const TWaitFd w = WaitFd(impl_->Fd, POLLOUT, deadline); w != TWaitFd::Ready) {
                *error = w == TWaitFd::Timeout ? EAGAIN : EPIPE;
                return -1;
            }
            continue;
        }
        if (err == SSL_ERROR_WANT_READ) {
            // The reader takes the host's records; look again shortly.
            if (Clock::now() >= deadline) {
                *error = EAGAIN;
                return -1;
            }
            WaitFd(impl_->Fd, POLLIN, std::min(deadline, Clock::now() + kWriteReadSlice));
            continue;
        }
        *error = err == SSL_ERROR_SYSCALL && errno != 0 ? errno : EPIPE;
        return -1;
    }
}

TTlsSession::TIo TTlsSession::WriteSome(std::span<const std::uint8_t> bytes, std::size_t& written)
{
    written = 0;
    if (bytes.empty())
        return TIo::tiDone;
    std::lock_guard lock(mutex_);
    TNoSigPipe noSignal;
    ERR_clear_error();
    SSL* ssl = impl_->Ssl.get();
    // A record at a time, so that a queue sees its progress (the send
    // time-out) and a retry never repeats bytes already taken.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE);
    const int rc = SSL_write_ex(ssl, bytes.data(), bytes.size(), &written);
    if (rc == 1)
        return TIo::tiDone;
    written = 0;
    const int err = SSL_get_error(ssl, rc);
    TakeErrors();
    if (err == SSL_ERROR_WANT_WRITE)
        return TIo::tiWantWrite;
    if (err == SSL_ERROR_WANT_READ)
        return TIo::tiWantRead;
    return TIo::tiFailed;
}

void TTlsSession::SendCloseNotify()
{
    std::lock_guard lock(mutex_);
    TNoSigPipe noSignal;
    ERR_clear_error();
    SSL_shutdown(impl_->Ssl.get());  // the alert goes out now or not at all
    TakeErrors();
}

bool TTlsSession::HasPending()
{
    std::lock_guard lock(mutex_);
    return SSL_pending(impl_->Ssl.get()) > 0 || SSL_has_pending(impl_->Ssl.get()) != 0;
}

TTlsInfo TTlsSession::Info()
{
    std::lock_guard lock(mutex_);
    TTlsInfo info;
    SSL* ssl = impl_->Ssl.get();
    info.Protocol = SSL_get_version(ssl);
    if (const SSL_CIPHER* c = SSL_get_current_cipher(ssl); c != nullptr)
        info.Cipher = SSL_CIPHER_get_name(c);
    info.Verified = impl_->Verify && SSL_get_verify_result(ssl) == X509_V_OK;
    if (X509* peer = SSL_get1_peer_certificate(ssl); peer != nullptr) {
        char line[256];
        X509_NAME_oneline(X509_get_subject_name(peer), line, sizeof line);
        info.PeerSubject = line;
        X509_free(peer);
    }
    return info;
}

std::string TTlsSession::FailureText()
{
    std::lock_guard lock(mutex_);
    return failure_;
}
