#include "bench/BenchSession.h"

#include <string>

namespace tnbench {

std::int32_t TBenchSession::Send(const void* buf, std::int32_t len)
{
    if (!Capture)
        return TTn3270E::Send(buf, len);
    const auto* b = static_cast<const std::uint8_t*>(buf);
    Sent.insert(Sent.end(), b, b + len);
    return len;
}

namespace {

// The host end of an in-process negotiation: the simulator's engine with a
// sink that queues what it says for the client.
class THostEnd final : public tnsim::ISimTelnetSink {
public:
    explicit THostEnd(tnsim::TSimMode mode) : engine_(Options(mode), *this) {}

    void OnSend(tnsim::ByteView bytes) override { ToClient.insert(ToClient.end(), bytes.begin(), bytes.end()); }
    tnsim::TSimLuGrant AssignLu(std::string_view, std::string_view) override
    {
        tnsim::TSimLuGrant g;
        g.granted = true;
        g.luName = "BENCH001";
        return g;
    }
    void OnNegotiated(const tnsim::TSimNegotiated& state) override { Tn3270E = state.tn3270e; }
    void OnRecord(const tnsim::TSimRecord&) override {}
    void OnFailure(std::string_view) override { Failed = true; }

    tnsim::TSimTelnet& Engine() { return engine_; }
    std::vector<std::uint8_t> ToClient;
    bool Tn3270E = false;
    bool Failed = false;

private:
    static tnsim::TSimTelnetOptions Options(tnsim::TSimMode mode)
    {
        tnsim::TSimTelnetOptions o;
        o.mode = mode;
        return o;
    }
    tnsim::TSimTelnet engine_;
};

}  // namespace

bool NegotiateInProcess(TBenchSession& session, tnsim::TSimMode mode)
{
    constexpr int kMaxRounds = 64;  // a negotiation takes a handful
    session.Capture = true;
    session.Sent.clear();
    THostEnd host(mode);
    host.Engine().Start();
    for (int round = 0; round < kMaxRounds; ++round) {
        std::vector<std::uint8_t> toClient;
        toClient.swap(host.ToClient);
        if (!toClient.empty())
            session.NewData(toClient.data(), static_cast<std::int32_t>(toClient.size()));
        std::vector<std::uint8_t> toHost;
        toHost.swap(session.Sent);
        if (!toHost.empty())
            host.Engine().Feed(toHost);
        if (toClient.empty() && toHost.empty() && host.ToClient.empty())
            break;
    }
    session.Sent.clear();
    if (!host.Engine().IsNegotiated() || host.Failed)
        return false;
    return mode == tnsim::TSimMode::Tn3270E ? host.Tn3270E && session.Tn3270EAccepted : true;
}

}  // namespace tnbench
