// Shared by the component tests: the shared event recorder noting the state
// of the field lists when each handler runs, a component whose sends can be
// captured, and helpers for screens and inbound records.
#pragma once

#include "component/uTn3270E.h"
#include "sim/uHostSimulator.h"
#include "sim/uSim3270Encoder.h"
#include "sim/uTestHost.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/TelnetHelpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <stdexcept>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::chrono::milliseconds kWait{10000};

using tntest::TSeen;

// The shared recorder, noting what the field lists held when each handler
// ran. Inside a handler the lists are stable: read without the lock.
class TEvents : public tntest::TEventRecorder {
public:
    TEvents() : TEventRecorder(kWait) {}
    void Attach(TTn3270E& tn)
    {
        TEventRecorder::Attach(tn, [&tn](TSeen& seen) {
            seen.hostCount = tn.HostFields.Count();
            seen.unprotectedCount = tn.UnprotectedFields.Count();
        });
    }
};

// A component whose every send is kept instead of written to a socket;
// bytes are fed with Feed as if the reader had received them.
class TCaptureTn3270E : public TTn3270E {
public:
    std::int32_t Send(const void* buf, std::int32_t len) override
    {
        const auto* p = static_cast<const std::uint8_t*>(buf);
        Sent.insert(Sent.end(), p, p + len);
        return len;
    }
    void Feed(const Bytes& b) { NewData(b.data(), static_cast<std::int32_t>(b.size())); }
    Bytes TakeSent()
    {
        Bytes out;
        out.swap(Sent);
        return out;
    }
    Bytes Sent;  // the tests' thread only
};

// Test timings: no read pause.
inline TTelnetTimings FastTimings()
{
    return tntest::TestTimings();
}

using tntest::Framed;
using tntest::Unframe;

inline Bytes Hex(std::string_view hex)
{
    return HexBytes(hex);
}

// The unprotected record at the index as a 3270 field; fails the test when missing.
inline T3270Field& Unprotected(TTn3270E& tn, int index)
{
    auto* f = As3270Field(tn.UnprotectedFields.Items(index));
    if (f == nullptr)
        throw std::runtime_error("no unprotected field " + std::to_string(index));
    return *f;
}
