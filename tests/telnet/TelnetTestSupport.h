// Test stand-ins for the 3270 layers above and below the telnet component:
// a scripted data stream and a minimal derived component; the event
// recorder is the shared one (tests/support).
#pragma once

#include "display/uOrvTndisplay.h"
#include "sim/uTestHost.h"
#include "stream/uOrvTnStream.h"
#include "telnet/uOrvTelnet.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/TelnetHelpers.h"

#include <gmock/gmock.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// A data stream whose records are commands for the test: the first byte
// of each record says what processing it does.
//   'S' paints the screen (Updated)     'L' locks the keyboard ("SYSTEM")
//   'U' restores the keyboard            'E' fails with an EStreamError
//   'N' raises ceSessionState           'R' sends the rest back to the host
// Every record is kept, whatever its first byte.
class TScriptStream : public TOrvTnStream {
public:
    TScriptStream() : TOrvTnStream(0, 24, 80) { SetDisplay(std::make_unique<TOrvTndisplay>(0, 24, 80)); }

    void eraseUnprotectedCharacter(std::int32_t, std::int32_t) override {}
    void readModifiedCommand() override {}
    void resetModifiedDataTab() override {}

    void ProcessData() override
    {
        Bytes record(InBuffer.begin(), InBuffer.begin() + InCount);
        Records.push_back(record);
        TOrvTnStream::ProcessData();
        if (record.empty())
            return;
        switch (record[0]) {
        case 'S': Display->update(); break;
        case 'L': Status = "SYSTEM"; break;
        case 'U': Status.clear(); break;
        case 'E': throw EStreamError("bad record");
        case 'N': if (OnNotify) OnNotify(TCallBackEvent::ceSessionState); break;
        case 'R': HostWrite(record.data() + 1, static_cast<std::int32_t>(record.size() - 1)); break;
        default: break;
        }
    }

    std::vector<Bytes> Records;  // guarded by the component's lock
};

// The smallest complete telnet component: the stream above, text records
// kept, field generation counted. Capture() makes Send keep the bytes
// instead of writing them to the socket.
class TTestTelnet : public TOrvTelnet {
public:
    explicit TTestTelnet(TComponent* owner = nullptr) : TOrvTelnet(owner) { CreateTnStream(); }
    ~TTestTelnet() override { Destroying(); }

    void CreateTnStream() override
    {
        Stream = std::make_unique<TScriptStream>();
        Stream->OnWriteData = [this](const void* buf, std::int32_t len) { tcpWrite(buf, len); };
        Stream->OnNotify = [this](TCallBackEvent e) { NotifyEvent(e); };
        Stream->Display->OnStatusChange = [this](TObject* sender) { StatusChange(sender); };
    }
    void TelnetErrorMessage(const std::uint8_t* data, std::int32_t len) override
    {
        Texts.emplace_back(reinterpret_cast<const char*>(data), static_cast<std::size_t>(len));
    }
    void GenHostFields() override { ++FieldGenerations; }

    std::int32_t Send(const void* buf, std::int32_t len) override
    {
        if (!capture_)
            return TOrvTelnet::Send(buf, len);
        const auto* p = static_cast<const std::uint8_t*>(buf);
        Sent.insert(Sent.end(), p, p + len);
        return len;
    }
    void Disconnect() override
    {
        ++DisconnectCalls;
        TOrvTelnet::Disconnect();
    }
    bool IsAlive() override { return AliveCheck ? AliveCheck() : TOrvTelnet::IsAlive(); }
    void NegociateSubOption(const std::uint8_t* data, std::uint16_t len) override
    {
        SubOptions.emplace_back(data, data + len);
        TOrvTelnet::NegociateSubOption(data, len);
    }
    void DataAvailable(const std::uint8_t* data, std::int32_t len) override
    {
        Chunks.push_back(len);
        TOrvTelnet::DataAvailable(data, len);
    }

    void Capture() { capture_ = true; }
    TScriptStream& Script() { return static_cast<TScriptStream&>(*Stream); }
    Bytes TakeSent() { Bytes out; out.swap(Sent); return out; }
    void Feed(const Bytes& bytes) { NewData(bytes.data(), static_cast<std::int32_t>(bytes.size())); }

    std::vector<std::string> Texts;
    int FieldGenerations = 0;
    int DisconnectCalls = 0;
    Bytes Sent;
    std::vector<Bytes> SubOptions;
    std::vector<std::int32_t> Chunks;
    std::function<bool()> AliveCheck;  // runs on the reader thread under the lock

private:
    bool capture_ = false;
};

// Records event names in order, with the thread each ran on.
using TEventLog = tntest::TEventRecorder;

// Fast timings for tests: no read pause, a bounded connect.
inline TTelnetTimings FastTimings()
{
    return tntest::TestTimings();
}

using tntest::Concat;
using tntest::WaitConnected;

inline Bytes Record(std::string_view text)
{
    Bytes b(text.begin(), text.end());
    b.push_back(0xFF);
    b.push_back(0xEF);
    return b;
}
