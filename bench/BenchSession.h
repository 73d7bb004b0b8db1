// The client session the benchmarks drive: the published component
// TTn3270E, whose Send can be captured so that the receive path and the key
// path run in process, with no socket, exactly as the reader thread and the
// application run them. NegotiateInProcess brings it into TN3270E mode
// against the host simulator's own telnet engine, also without a socket.
#pragma once

#include "component/uTn3270E.h"
#include "sim/uSimTelnet.h"

#include <cstdint>
#include <vector>

namespace tnbench {

class TBenchSession final : public TTn3270E {
public:
    TBenchSession() = default;
    ~TBenchSession() override { Destroying(); }

    // While Capture is true, Send keeps the bytes in Sent instead of writing
    // them to the socket. The benchmark empties Sent (its capacity stays).
    std::int32_t Send(const void* buf, std::int32_t len) override;

    bool Capture = false;
    std::vector<std::uint8_t> Sent;
};

// Runs the whole telnet and TN3270E negotiation between the session and the
// simulator's host engine in this thread (bytes passed back and forth until
// both are quiet) and leaves Capture on. True when both sides agree on
// TN3270E. The records the host sends afterwards have a TN3270E header.
bool NegotiateInProcess(TBenchSession& session, tnsim::TSimMode mode = tnsim::TSimMode::Tn3270E);

}  // namespace tnbench
