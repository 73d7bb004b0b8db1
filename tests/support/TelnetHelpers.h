// Small helpers the telnet, component and reliability tests share: byte
// concatenation, record framing as a host sends it and its reverse, and the
// connection timings tests use (no read pause, a bounded connect).
#pragma once

#include "telnet/uOrvTelnet.h"
#include "telnet/uSocketReader.h"

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <thread>
#include <vector>

namespace tntest {

// Connect's outcome: on the event loop it follows Connect (TN_EVENT_LOOP=1
// runs the suites there). True when the component is connected.
inline bool WaitConnected(TOrvTelnet& t, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (t.ConnectPending() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return t.IsConnected();
}

using Bytes = std::vector<std::uint8_t>;

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One record framed as it goes on the wire: 0xFF doubled, IAC EOR appended.
inline Bytes Framed(const Bytes& record)
{
    Bytes out;
    for (auto b : record) {
        out.push_back(b);
        if (b == 0xFF)
            out.push_back(0xFF);
    }
    out.push_back(0xFF);
    out.push_back(0xEF);
    return out;
}

// The record inside one IAC EOR frame (undoubled); empty when it is not one.
inline Bytes Unframe(const Bytes& frame)
{
    Bytes out;
    if (frame.size() < 2 || frame[frame.size() - 2] != 0xFF || frame.back() != 0xEF)
        return out;
    for (std::size_t i = 0; i + 2 < frame.size(); ++i) {
        out.push_back(frame[i]);
        if (frame[i] == 0xFF)
            ++i;
    }
    return out;
}

// Test timings: no read pause, a connect bounded to 5 s, the rest default.
inline TTelnetTimings TestTimings()
{
    TTelnetTimings t;
    t.ReadPause = std::chrono::milliseconds(0);
    t.ConnectTimeout = std::chrono::milliseconds(5000);
    return t;
}

} // namespace tntest
