// The whole 3270 session on a fake transport that fails its Nth operation
// (connect, read, write, START_TLS handshake, close), for every N up to one
// past the last operation of a clean run: no crash or hang, exactly one
// disconnect or connection-fail event, and nothing written after the
// failure. The fake has no socket and no thread: each host block is handed
// over under the session lock, as the reader thread does.
#include "component/uTn3270E.h"
#include "sim/uTestHost.h"
#include "tests/support/EventRecorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// What one run of the fake did; outlives the transport.
struct TFakeLog {
    int failAt = 0;  // the operation that fails, counted from 1
    int ops = 0;
    bool failed = false;
    int writesAfterFailure = 0;
    std::vector<std::string> opNames;
};

class TFakeTransport final : public TTransport, public TDeliverySource {
public:
    TFakeTransport(TTransportSink& sink, std::shared_ptr<TSessionCore> core, TFakeLog& log, std::vector<Bytes> host)
        : sink_(sink), core_(std::move(core)), log_(log), host_(std::move(host))
    {
    }

    std::string Open(const TConnectTarget&) override
    {
        if (Fails("connect"))
            return "fake: connect refused";
        open_ = true;
        sink_.OnConnected(nullptr);
        return {};
    }
    bool StartReading(const TTelnetTimings&, std::optional<std::chrono::steady_clock::time_point>) override
    {
        reading_ = true;
        return true;
    }
    std::int32_t Write(std::span<const std::uint8_t> bytes) override
    {
        if (!open_)
            return -1;
        if (log_.failed)
            ++log_.writesAfterFailure;  // a half-broken socket would still take it
        if (Fails("write")) {
            sink_.OnWriteFailed();
            return -1;
        }
        return static_cast<std::int32_t>(bytes.size());
    }
    void Close() override
    {
        if (!open_)
            return;
        Fails("close");  // a failing close still closes
        open_ = false;
        sink_.OnClosed();
    }
    void Cut() override { cut_ = true; }
    bool IsOpen() const override { return open_; }
    bool IsConnected() const override { return open_ && !cut_; }
    TTlsInfo TlsInfo() const override { return tls_; }
    TTlsSettings OpenedTlsSettings() const override { return {}; }
    void StopReading() override {}
    bool Idle() override { return true; }
    void WakeForDestruction() override { NotifyOwner.store(false); }
    void EndForDestruction() override {}

    // Hands over the next host block (or, after the last, the host's close)
    // as a reader does; false once the delivery has ended.
    bool Pump()
    {
        TSessionGuard guard(core_);
        TProcessingScope scope(*core_, *this);
        if (!reading_ || !open_ || cut_ || !NotifyOwner.load())
            return false;
        if (next_ == host_.size() || Fails("read")) {
            reading_ = false;
            sink_.OnEnded({}, next_ < host_.size());
            sink_.EndConnection();
            return false;
        }
        sink_.OnReceived(host_[next_++]);
        TTlsSettings settings;
        std::string name;
        if (sink_.TakeTlsHandshake(settings, name)) {
            const bool broken = Fails("handshake");
            if (!broken)
                tls_.Protocol = "fake TLS";
            sink_.OnTlsHandshakeDone(broken ? "fake: handshake failed" : "", tls_);
        }
        return true;
    }

private:
    bool Fails(const char* op)
    {
        log_.opNames.emplace_back(op);
        if (++log_.ops != log_.failAt)
            return false;
        log_.failed = true;
        return true;
    }

    TTransportSink& sink_;
    std::shared_ptr<TSessionCore> core_;
    TFakeLog& log_;
    std::vector<Bytes> host_;
    std::size_t next_ = 0;
    bool open_ = false, cut_ = false, reading_ = false;
    TTlsInfo tls_;
};

// START_TLS, TN3270E with a device name, a screen that unlocks the keyboard.
std::vector<Bytes> HostBlocks()
{
    return {
        HexBytes("FF FD 2E"),                  // DO START_TLS
        HexBytes("FF FA 2E 01 FF F0"),         // FOLLOWS: the handshake
        HexBytes("FF FD 28"),                  // DO TN3270E
        HexBytes("FF FA 28 08 02 FF F0"),      // SEND DEVICE-TYPE
        HexBytes("FF FA 28 02 04 49 42 4D 2D 33 32 37 38 2D 32 2D 45 01 4C 55 30 32 FF F0"),
        HexBytes("FF FA 28 03 04 02 FF F0"),   // FUNCTIONS IS RESPONSES
        HexBytes("00 00 00 00 00 F5 C2 11 40 40 C8 C5 D3 D3 D6 FF EF"),  // a screen, keyboard restored
    };
}

// One run; returns the operations the fake saw.
TFakeLog RunSession(int failAt)
{
    TFakeLog log;
    log.failAt = failAt;
    tntest::TEventRecorder events;
    {
        TTn3270E tn;
        tn.SetTlsMode(TTlsMode::tmStartTls);
        tn.SetDeviceName("LU01");
        TFakeTransport* fake = nullptr;
        tn.UseTransport([&](TTransportSink& sink, std::shared_ptr<TSessionCore> core) {
            auto t = std::make_unique<TFakeTransport>(sink, std::move(core), log, HostBlocks());
            fake = t.get();
            return t;
        });
        events.Attach(tn);
        tn.Host = "127.0.0.1";
        tn.Connect();
        for (int block = 0; block < 7 && fake->Pump(); ++block) {
        }
        tn.SetAidKey(TTn3270AidKey::akEnter);
        tn.Disconnect();
        EXPECT_FALSE(tn.IsConnected());
    }
    SCOPED_TRACE(::testing::Message() << "failing operation " << failAt << " of " << log.ops);
    EXPECT_EQ(events.Count("Disconnect") + events.Count("ConnectionFail"), 1);
    EXPECT_EQ(log.writesAfterFailure, 0);
    return log;
}

TEST(TransportFault, EveryFailingOperationEndsTheSessionOnceAndNothingIsSentAfterIt)
{
    const TFakeLog clean = RunSession(0);
    ASSERT_FALSE(clean.failed);
    // The clean run met every kind of operation.
    for (const char* op : {"connect", "read", "write", "handshake", "close"})
        EXPECT_NE(std::find(clean.opNames.begin(), clean.opNames.end(), op), clean.opNames.end()) << op;
    for (int n = 1; n <= clean.ops + 1; ++n) {
        const TFakeLog log = RunSession(n);
        EXPECT_EQ(log.failed, n <= clean.ops) << n;
    }
}

} // namespace
