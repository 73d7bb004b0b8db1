// The host simulator's server and sessions.
#include "sim/uHostSimulator.h"

#include <algorithm>
#include <thread>
#include <cctype>
#include <cstdio>
#include <exception>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/uEventLoop.h"
#include "platform/uLoopConnection.h"
#include "sim/uSim3270Encoder.h"
#include "sim/uTestHost.h"

namespace tnsim {

namespace {

// How long an idle, negotiated session waits for bytes before it looks
// again; it wakes at once on data or close, so this only bounds the wait.
constexpr std::chrono::milliseconds kIdleWait{60000};
// Protocol errors kept per session.
constexpr std::size_t kMaxKeptErrors = 256;
// Loop mode: connections waiting to be accepted.
constexpr int kSimListenBacklog = 1024;
// Generated LU names: "SIM" and five digits.
constexpr int kMaxGeneratedLu = 99999;

bool ValidLuName(std::string_view name) {
    if (name.empty() || name.size() > kMaxLuNameLength) return false;
    return std::all_of(name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

Bytes BindImage(int defaultRows, int defaultCols, int alternateRows, int alternateCols) {
    // BIND RU of an LU type 2 session: cold, FM profile 3, TS profile 3,
    // primary and secondary LU protocols of a display session, LU type 2
    // (byte 14); its PS usage field holds the default rows and columns in
    // bytes 20 and 21, the alternate ones in 22 and 23, and in byte 24 how
    // they apply: 0x7E the default size for both, 0x7F each as given.
    const bool one = defaultRows == alternateRows && defaultCols == alternateCols;
    return {0x31, 0x01, 0x03, 0x03, 0xB1, 0x90, 0x30, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
            static_cast<std::uint8_t>(defaultRows), static_cast<std::uint8_t>(defaultCols),
            static_cast<std::uint8_t>(alternateRows), static_cast<std::uint8_t>(alternateCols),
            static_cast<std::uint8_t>(one ? 0x7E : 0x7F)};
}

Bytes DefaultBindImage() { return BindImage(kRows, kCols, kRows, kCols); }

// ------------------------------------------------------------------ session

struct TSimSession::Event {
    enum class Kind { Negotiated, Record, Command, Failure, Error } kind;
    TSimNegotiated state;
    TSimRecord record;
    std::uint8_t command = 0;
    std::string text;
};

// Runs inside the engine's calls, with the session's mutex held.
class TSimSession::Sink : public ISimTelnetSink {
public:
    explicit Sink(TSimSession& s) : mS(s) {}
    std::vector<Event> events;

    void OnSend(ByteView bytes) override { mS.SendLocked(bytes); }
    TSimLuGrant AssignLu(std::string_view, std::string_view requested) override {
        TSimLuGrant g = mS.mAssign(requested);
        if (g.granted) mS.mLu = g.luName;
        return g;
    }
    void ReleaseLu(std::string_view lu) override {
        mS.mRelease(lu);
        if (mS.mLu == lu) mS.mLu.clear();
    }
    void OnNegotiated(const TSimNegotiated& state) override {
        Event e{Event::Kind::Negotiated, state, {}, 0, {}};
        events.push_back(std::move(e));
    }
    void OnRecord(const TSimRecord& record) override { events.push_back({Event::Kind::Record, {}, record, 0, {}}); }
    void OnTelnetCommand(std::uint8_t command) override {
        events.push_back({Event::Kind::Command, {}, {}, command, {}});
    }
    void OnFailure(std::string_view reason) override {
        events.push_back({Event::Kind::Failure, {}, {}, 0, std::string(reason)});
    }
    void OnProtocolError(std::string_view what) override {
        events.push_back({Event::Kind::Error, {}, {}, 0, std::string(what)});
    }

private:
    TSimSession& mS;
};

TSimSession::TSimSession(int id, const TSimHostOptions& options, std::function<TSimLuGrant(std::string_view)> assign,
                         std::function<void(std::string_view)> release, std::shared_ptr<TSimOutstanding> outstanding)
    : mId(id),
      mNegotiationTimeout(options.negotiationTimeout),
      mAnswerDelay(options.eventLoop ? std::chrono::milliseconds(0) : options.answerDelay),
      mOutstanding(std::move(outstanding)),
      mAssign(std::move(assign)),
      mRelease(std::move(release)),
      mSink(std::make_unique<Sink>(*this)),
      mEngine(std::make_unique<TSimTelnet>(options.telnet, *mSink)) {
    if (options.appFactory) mApp = options.appFactory();
}

TSimSession::~TSimSession() = default;

// What a session writes to and closes: a thread-served test connection or
// a loop connection.
class TSimSession::Wire {
public:
    virtual ~Wire() = default;
    virtual void Send(ByteView bytes) = 0;
    virtual void Close() = 0;
    virtual void Reset() = 0;
};

// The connection object lives as long as the simulator's listener, which
// outlives every session thread; Close is idempotent.
class TSimSession::ThreadWire : public Wire {
public:
    explicit ThreadWire(TTestConnection& c) : mC(c) {}
    void Send(ByteView bytes) override { mC.Send(bytes); }
    void Close() override { mC.Close(); }
    void Reset() override { mC.Reset(); }

private:
    TTestConnection& mC;
};

class TSimSession::LoopWire : public Wire {
public:
    explicit LoopWire(std::shared_ptr<TLoopConnection> c) : mC(std::move(c)) {}
    // A client that lets kSimMaxQueuedBytes pile up is cut off by the connection.
    void Send(ByteView bytes) override { mC->Send(bytes); }
    void Close() override { mC->Close(); }
    void Reset() override { mC->Reset(); }

private:
    std::shared_ptr<TLoopConnection> mC;
};

// Loop mode: the connection's events, on its loop thread. Holds the session
// until the connection has ended.
class TSimSession::LoopSide : public ILoopConnectionHandler {
public:
    LoopSide(std::shared_ptr<TSimSession> s, std::function<void()> ended) : mS(std::move(s)), mEnded(std::move(ended)) {}
    TTimerId negotiationTimer = 0;

    void OnData(TLoopConnection& c, std::span<const std::uint8_t> bytes) override {
        if (!mS->Feed(bytes)) c.Close();
    }
    void OnClosed(TLoopConnection& c, TLoopEnd, int) override {
        c.Loop().CancelTimer(negotiationTimer);
        mS->End();
        mEnded();
    }

private:
    std::shared_ptr<TSimSession> mS;
    std::function<void()> mEnded;  // the simulator counts the session out
};

void TSimSession::SendLocked(ByteView bytes) {
    if (mConnection) mConnection->Send(bytes);
}

void TSimSession::Begin(std::shared_ptr<Wire> wire) {
    std::lock_guard lock(mMutex);
    mConnection = std::move(wire);
    mEngine->Start();
}

bool TSimSession::Feed(ByteView bytes) {
    std::vector<Event> events;
    {
        std::lock_guard lock(mMutex);
        mEngine->Feed(bytes);
        events.swap(mSink->events);
    }
    bool failed = false;
    for (const auto& e : events)
        if (e.kind == Event::Kind::Failure) failed = true;
    Dispatch(events);
    return !failed;
}

bool TSimSession::NegotiationTimedOut() {
    std::lock_guard lock(mMutex);
    if (mNegotiated || mEnded) return false;
    mFailure = "negotiation timed out";
    mChanged.notify_all();
    return true;
}

void TSimSession::End() {
    std::shared_ptr<Wire> wire;
    {
        std::lock_guard lock(mMutex);
        wire = std::move(mConnection);
        if (!mLu.empty()) {
            mRelease(mLu);
            mLu.clear();
        }
        mEnded = true;
        if (mAwaiting) {
            mAwaiting = false;
            mOutstanding->End();
        }
        mChanged.notify_all();
    }
    if (wire) wire->Close();
    if (mApp) {
        try {
            mApp->OnEnd(*this);
        } catch (const std::exception&) {
            // the connection is gone; nothing left to tell
        }
    }
}

void TSimSession::Serve(TTestConnection& connection) {
    Begin(std::make_shared<ThreadWire>(connection));
    const auto deadline = std::chrono::steady_clock::now() + mNegotiationTimeout;
    for (;;) {
        bool negotiated;
        {
            std::lock_guard lock(mMutex);
            negotiated = mNegotiated;
        }
        auto wait = kIdleWait;
        if (!negotiated) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                if (NegotiationTimedOut()) break;
                continue;
            }
            wait = std::min(wait, left);
        }
        std::size_t available = 0;
        const bool got = connection.WaitUntil(
            [&](std::span<const std::uint8_t> pending) {
                available = pending.size();
                return available > 0;
            },
            wait);
        if (!got) {
            if (connection.PeerClosed() || connection.IsClosed()) break;
            continue;
        }
        if (!Feed(connection.ReadBytes(available, std::chrono::milliseconds(0)))) break;
    }
    End();
}

void TSimSession::Dispatch(std::vector<Event>& events) {
    for (auto& e : events) {
        const bool request = e.kind == Event::Kind::Record &&
                             !(e.record.tn3270e && e.record.header.dataType == dt::Response);
        {
            std::lock_guard lock(mMutex);
            switch (e.kind) {
            case Event::Kind::Negotiated:
                mNegotiated = true;
                mState = e.state;
                break;
            case Event::Kind::Record:
                if (mRecords.size() >= kSimMaxQueuedRecords) {
                    mRecords.pop_front();
                    ++mDropped;
                }
                mRecords.push_back(e.record);
                if (request && !mAwaiting) {
                    mAwaiting = true;
                    mOutstanding->Begin();
                }
                break;
            case Event::Kind::Command:
                if (mCommands.size() >= kSimMaxQueuedRecords) mCommands.pop_front();
                mCommands.push_back(e.command);
                break;
            case Event::Kind::Failure: mFailure = e.text; break;
            case Event::Kind::Error:
                if (mErrors.size() < kMaxKeptErrors) mErrors.push_back(e.text);
                break;
            }
            mChanged.notify_all();
        }
        if (!mApp) continue;
        if (request && mAnswerDelay.count() > 0) std::this_thread::sleep_for(mAnswerDelay);
        try {
            switch (e.kind) {
            case Event::Kind::Negotiated: mApp->OnStart(*this); break;
            case Event::Kind::Record: mApp->OnRecord(*this, e.record); break;
            case Event::Kind::Command: mApp->OnTelnetCommand(*this, e.command); break;
            default: break;
            }
        } catch (const std::exception& ex) {
            // A fault of the application ends its session, visibly.
            {
                std::lock_guard lock(mMutex);
                if (mErrors.size() < kMaxKeptErrors) mErrors.push_back(std::string("application error: ") + ex.what());
            }
            Close();
        }
    }
}

bool TSimSession::WaitNegotiated(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mMutex);
    mChanged.wait_for(lock, timeout, [&] { return mNegotiated || mEnded || !mFailure.empty(); });
    return mNegotiated;
}

bool TSimSession::IsNegotiated() const {
    std::lock_guard lock(mMutex);
    return mNegotiated;
}

TSimNegotiated TSimSession::Negotiated() const {
    std::lock_guard lock(mMutex);
    return mState;
}

std::string TSimSession::FailureReason() const {
    std::lock_guard lock(mMutex);
    return mFailure;
}

std::uint16_t TSimSession::SendRecord(std::uint8_t dataType, ByteView data, std::uint8_t responseFlag) {
    std::lock_guard lock(mMutex);
    if (mAwaiting && dataType != dt::Response) {
        mAwaiting = false;
        mOutstanding->End();
    }
    return mEngine->SendRecord(dataType, data, responseFlag);
}

std::uint16_t TSimSession::Send3270(ByteView data, bool alwaysResponse) {
    return SendRecord(dt::Data3270, data, alwaysResponse ? rf::AlwaysResponse : rf::NoResponse);
}

std::uint16_t TSimSession::SendSscpLu(ByteView data, bool alwaysResponse) {
    return SendRecord(dt::SscpLuData, data, alwaysResponse ? rf::AlwaysResponse : rf::NoResponse);
}

std::uint16_t TSimSession::SendBind(ByteView bindImage) { return SendRecord(dt::BindImage, bindImage); }

std::uint16_t TSimSession::SendUnbind(std::uint8_t type) {
    const std::uint8_t unbind[] = {0x32, type};
    return SendRecord(dt::Unbind, unbind);
}

std::uint16_t TSimSession::SendNvt(std::string_view text) {
    return SendRecord(dt::NvtData,
                      ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::uint16_t TSimSession::SendReadModified(bool alwaysResponse) {
    return Send3270(TSim3270Encoder().ReadModified().Data(), alwaysResponse);
}

std::uint16_t TSimSession::SendReadModifiedAll(bool alwaysResponse) {
    return Send3270(TSim3270Encoder().ReadModifiedAll().Data(), alwaysResponse);
}

std::uint16_t TSimSession::SendReadBuffer(bool alwaysResponse) {
    return Send3270(TSim3270Encoder().ReadBuffer().Data(), alwaysResponse);
}

std::uint16_t TSimSession::SendQuery(bool alwaysResponse) {
    return Send3270(TSim3270Encoder::QueryRecord(), alwaysResponse);
}

std::uint16_t TSimSession::SendQueryList(std::uint8_t requestType, ByteView codes, bool alwaysResponse) {
    return Send3270(TSim3270Encoder::QueryListRecord(requestType, codes), alwaysResponse);
}

void TSimSession::SendResponse(std::uint16_t seq, bool positive, std::uint8_t code) {
    std::lock_guard lock(mMutex);
    mEngine->SendResponse(seq, positive, code);
}

void TSimSession::SendFramed(ByteView record) {
    std::lock_guard lock(mMutex);
    mEngine->SendFramed(record);
}

void TSimSession::SendRaw(ByteView bytes) {
    std::lock_guard lock(mMutex);
    mEngine->SendRaw(bytes);
}

void TSimSession::SendTelnetCommand(std::uint8_t command) {
    std::lock_guard lock(mMutex);
    mEngine->SendCommand(command);
}

std::optional<TSimRecord> TSimSession::Take(const std::function<bool(const TSimRecord&)>& match,
                                            std::chrono::milliseconds timeout) {
    std::unique_lock lock(mMutex);
    std::optional<TSimRecord> out;
    const auto find = [&] {
        auto it = std::find_if(mRecords.begin(), mRecords.end(), match);
        if (it == mRecords.end()) return false;
        out = std::move(*it);
        mRecords.erase(it);
        return true;
    };
    mChanged.wait_for(lock, timeout, [&] { return find() || mEnded; });
    return out;
}

std::optional<TSimRecord> TSimSession::WaitRecord(std::chrono::milliseconds timeout) {
    return Take([](const TSimRecord&) { return true; }, timeout);
}

std::optional<TSimRecord> TSimSession::WaitData(std::chrono::milliseconds timeout) {
    return Take([](const TSimRecord& r) { return !(r.tn3270e && r.header.dataType == dt::Response); }, timeout);
}

std::optional<TSimInbound> TSimSession::WaitInbound(std::chrono::milliseconds timeout) {
    auto r = WaitData(timeout);
    if (!r) return std::nullopt;
    return Decode(*r);
}

TSimInbound TSimSession::Decode(const TSimRecord& record, int rows, int cols) {
    const bool sscp = record.tn3270e && record.header.dataType == dt::SscpLuData;
    return DecodeInbound(record.data, sscp, rows, cols);
}

std::optional<TSimResponse> TSimSession::WaitResponse(std::uint16_t seq, std::chrono::milliseconds timeout) {
    auto r = Take([seq](const TSimRecord& rec) {
        return rec.tn3270e && rec.header.dataType == dt::Response && rec.header.seq == seq;
    }, timeout);
    if (!r) return std::nullopt;
    return DecodeResponse(r->header, r->data);
}

std::optional<std::uint8_t> TSimSession::WaitTelnetCommand(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mMutex);
    mChanged.wait_for(lock, timeout, [&] { return !mCommands.empty() || mEnded; });
    if (mCommands.empty()) return std::nullopt;
    const std::uint8_t c = mCommands.front();
    mCommands.pop_front();
    return c;
}

std::size_t TSimSession::DroppedRecords() const {
    std::lock_guard lock(mMutex);
    return mDropped;
}

std::vector<std::string> TSimSession::ProtocolErrors() const {
    std::lock_guard lock(mMutex);
    return mErrors;
}

bool TSimSession::WaitDisconnect(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mMutex);
    return mChanged.wait_for(lock, timeout, [&] { return mEnded; });
}

bool TSimSession::IsConnected() const {
    std::lock_guard lock(mMutex);
    return !mEnded;
}

void TSimSession::Close() {
    std::shared_ptr<Wire> c;
    {
        std::lock_guard lock(mMutex);
        c = mConnection;
    }
    if (c) c->Close();
}

void TSimSession::Reset() {
    std::shared_ptr<Wire> c;
    {
        std::lock_guard lock(mMutex);
        c = mConnection;
    }
    if (c) c->Reset();
}

// ------------------------------------------------------------------ server

// Loop mode: takes the listener's connections on its loop thread.
class THostSimulator::Acceptor : public IIoHandler {
public:
    explicit Acceptor(THostSimulator& host) : mHost(host) {}
    void OnIo(std::uint32_t) override { mHost.Accept(); }

private:
    THostSimulator& mHost;
};

THostSimulator::THostSimulator(TSimHostOptions options) : mOptions(std::move(options)) {
    if (!mOptions.eventLoop) {
        mHost = std::make_unique<TTestHost>(mOptions.port, [this](TTestConnection& c) { Serve(c); });
        return;
    }
    mListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (mListenFd < 0) throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(mOptions.port);
    if (mOptions.port != 0) {
        const int on = 1;
        ::setsockopt(mListenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    socklen_t len = sizeof addr;
    if (::bind(mListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(mListenFd, kSimListenBacklog) != 0 ||
        ::getsockname(mListenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const std::system_error error(errno, std::generic_category(), "listen");
        ::close(mListenFd);
        throw error;
    }
    mPort = ntohs(addr.sin_port);
    mLoop = std::make_unique<TEventLoop>(mOptions.loopThreads);
    mAcceptor = std::make_unique<Acceptor>(*this);
    mListening = true;
    mListenId = mLoop->Add(mListenFd, kIoRead, *mAcceptor, 0);
}

THostSimulator::~THostSimulator() {
    // Closes every connection and joins every session thread while the
    // members the sessions use still exist.
    if (mLoop) StopLoop();
    mHost.reset();
}

void THostSimulator::StopLoop() {
    StopListening();
    std::vector<std::shared_ptr<TLoopConnection>> open;
    {
        std::lock_guard lock(mMutex);
        for (auto& [id, c] : mLoopConnections) open.push_back(c);
    }
    for (auto& c : open) c->Close();
    open.clear();
    // Each close ends within the connection's flush time-out.
    std::unique_lock lock(mMutex);
    mAllEnded.wait(lock, [&] { return mActive == 0; });
    lock.unlock();
    mLoop.reset();
}

std::uint16_t THostSimulator::Port() const { return mHost ? mHost->Port() : mPort; }

void THostSimulator::StopListening() {
    if (mHost) {
        mHost->StopListening();
        return;
    }
    {
        std::lock_guard lock(mMutex);
        if (!mListening) return;
        mListening = false;
    }
    mLoop->Remove(mListenId);  // waits for an Accept under way, which takes mMutex
    ::close(mListenFd);
}

std::shared_ptr<TSimSession> THostSimulator::NewSession() {
    int id;
    {
        std::lock_guard lock(mMutex);
        id = static_cast<int>(++mAccepted);
    }
    // Built outside the lock: the constructor runs the application factory.
    // Counted active only once it exists (a factory that throws leaves no
    // session for the destructor to wait for).
    std::shared_ptr<TSimSession> s(new TSimSession(
        id, mOptions, [this](std::string_view requested) { return AssignLu(requested); },
        [this](std::string_view name) { ReleaseLu(name); }, mOutstanding));
    std::lock_guard lock(mMutex);
    ++mActive;
    if (mNew.size() >= kSimMaxQueuedSessions) mNew.pop_front();
    mNew.push_back(s);
    mArrived.notify_all();
    return s;
}

void THostSimulator::SessionEnded() {
    std::lock_guard lock(mMutex);
    --mActive;
    if (mActive == 0) mAllEnded.notify_all();
}

void THostSimulator::Serve(TTestConnection& connection) {
    NewSession()->Serve(connection);
    SessionEnded();
}

void THostSimulator::Accept() {
    for (int i = 0; i < kSimMaxAcceptsPerWakeup; ++i) {
        const int fd = ::accept4(mListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the listener stays readable, so look
                // again only after a pause instead of spinning on it.
                mLoop->Modify(mListenId, 0);
                mLoop->AddTimer(0, kSimAcceptRetry, [this] {
                    std::lock_guard lock(mMutex);
                    if (mListening) mLoop->Modify(mListenId, kIoRead);
                });
            }
            return;  // EAGAIN: all taken; others: the client gave up meanwhile
        }
        const int noDelay = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        std::shared_ptr<TSimSession> session;
        try {
            session = NewSession();
        } catch (const std::exception&) {
            ::close(fd);  // the application could not be made: refuse this client
            continue;
        }
        const int id = session->Id();
        auto side = std::make_shared<TSimSession::LoopSide>(session, [this, id] {
            {
                std::lock_guard lock(mMutex);
                mLoopConnections.erase(id);
            }
            SessionEnded();
        });
        TLoopConnectionOptions o;
        o.maxQueued = kSimMaxQueuedBytes;
        auto connection = TLoopConnection::Create(*mLoop, fd, side, o);
        {
            std::lock_guard lock(mMutex);
            mLoopConnections[session->Id()] = connection;
        }
        session->Begin(std::make_shared<TSimSession::LoopWire>(connection));
        std::weak_ptr<TSimSession> weakSession = session;
        std::weak_ptr<TLoopConnection> weakConnection = connection;
        side->negotiationTimer = mLoop->AddTimer(connection->Thread(), mOptions.negotiationTimeout, [=] {
            auto s = weakSession.lock();
            auto c = weakConnection.lock();
            if (s && c && s->NegotiationTimedOut()) c->Close();
        });
        try {
            connection->Start();
        } catch (const std::exception&) {
            connection->Close();  // ends the session like any other close
        }
    }
}

std::shared_ptr<TSimSession> THostSimulator::WaitSession(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mMutex);
    if (!mArrived.wait_for(lock, timeout, [&] { return !mNew.empty(); })) return nullptr;
    auto s = mNew.front();
    mNew.pop_front();
    return s;
}

void TSimOutstanding::Begin() {
    std::lock_guard lock(mMutex);
    mPeak = std::max(mPeak, ++mNow);
}

void TSimOutstanding::End() {
    std::lock_guard lock(mMutex);
    if (mNow > 0) --mNow;
}

std::size_t TSimOutstanding::Now() const {
    std::lock_guard lock(mMutex);
    return mNow;
}

std::size_t TSimOutstanding::Peak() const {
    std::lock_guard lock(mMutex);
    return mPeak;
}

void TSimOutstanding::ResetPeak() {
    std::lock_guard lock(mMutex);
    mPeak = mNow;
}

std::size_t THostSimulator::SessionCount() const {
    std::lock_guard lock(mMutex);
    return mAccepted;
}

std::size_t THostSimulator::ActiveSessions() const {
    std::lock_guard lock(mMutex);
    return mActive;
}

std::vector<std::string> THostSimulator::LusInUse() const {
    std::lock_guard lock(mMutex);
    return {mLusInUse.begin(), mLusInUse.end()};
}

TSimLuGrant THostSimulator::AssignLu(std::string_view requested) {
    std::lock_guard lock(mMutex);
    TSimLuGrant g;
    const std::string name(requested);
    if (!mOptions.luPool.empty()) {
        if (name.empty()) {
            for (const auto& lu : mOptions.luPool)
                if (!mLusInUse.count(lu)) {
                    g.granted = true;
                    g.luName = lu;
                    break;
                }
            g.rejectReason = reason::DeviceInUse;  // every LU of the pool is taken
        } else if (std::find(mOptions.luPool.begin(), mOptions.luPool.end(), name) == mOptions.luPool.end()) {
            g.rejectReason = reason::InvName;
        } else if (mLusInUse.count(name)) {
            g.rejectReason = reason::DeviceInUse;
        } else {
            g.granted = true;
            g.luName = name;
        }
    } else if (name.empty()) {
        for (int tries = 0; tries < kMaxGeneratedLu && !g.granted; ++tries) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "SIM%05d", mNextGenerated);
            mNextGenerated = mNextGenerated >= kMaxGeneratedLu ? 1 : mNextGenerated + 1;
            if (!mLusInUse.count(buf)) {
                g.granted = true;
                g.luName = buf;
            }
        }
        g.rejectReason = reason::DeviceInUse;
    } else if (!ValidLuName(name)) {
        g.rejectReason = reason::InvName;
    } else if (mLusInUse.count(name)) {
        g.rejectReason = reason::DeviceInUse;
    } else {
        g.granted = true;
        g.luName = name;
    }
    if (g.granted) mLusInUse.insert(g.luName);
    return g;
}

void THostSimulator::ReleaseLu(std::string_view name) {
    std::lock_guard lock(mMutex);
    mLusInUse.erase(std::string(name));
}

}  // namespace tnsim
