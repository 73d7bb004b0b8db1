// The connection of a telnet component: the reader-thread transport
// TTelnetConnection (telnet/uTransport.h), over the component's TCP client
// and its TLS, with the reader threads (telnet/uSocketReader) of the
// current and of earlier connections; and the TLS properties as one value
// (TTlsProperties). It knows nothing of telnet: TOrvTelnet drives it under
// its session lock and its readers hand what they receive to the sink.
// See telnet/uOrvTelnet.h for the threading contract it keeps.
#pragma once

#include "platform/uTcpClient.h"
#include "platform/uTlsTransport.h"
#include "telnet/uSessionCore.h"
#include "telnet/uSocketReader.h"
#include "telnet/uTransport.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The TLS properties of a component: each one set by the application, or,
// while never set, the "Telnet.ini" key of the same name (TlsMode,
// TlsCaFile, TlsCaPath, TlsCertFile, TlsKeyFile, TlsMinVersion, TlsVerify),
// read when the value is resolved. A field added to TTlsSettings is a
// property at once (Set with its member). Not thread-safe: the component
// guards it with its session lock.
class TTlsProperties {
public:
    // The mode set, else the key's; an unknown key value is logged and none used.
    TTlsMode Mode() const;
    void SetMode(TTlsMode mode) { mode_ = mode; }
    // The settings a connection made now would use.
    TTlsSettings Settings() const;
    template <class T>
    void Set(T TTlsSettings::*field, T value)
    {
        set_[Offset(field)] = [field, value = std::move(value)](TTlsSettings& s) { s.*field = value; };
    }

private:
    template <class T>
    static std::ptrdiff_t Offset(T TTlsSettings::*field)
    {
        static const TTlsSettings probe{};
        return reinterpret_cast<const char*>(&(probe.*field)) - reinterpret_cast<const char*>(&probe);
    }

    std::optional<TTlsMode> mode_;
    // The fields set, by their place in TTlsSettings: applied over the keys.
    std::map<std::ptrdiff_t, std::function<void(TTlsSettings&)>> set_;
};

// The default transport: one reader thread per connection.
class TTelnetConnection final : public TTransport {
public:
    // socket: the component's TCP client (TOrvTelnet::Socket, which its
    // SetDefaults may replace); its events reach the component directly.
    TTelnetConnection(TTransportSink& sink, std::shared_ptr<TSessionCore> core, std::unique_ptr<TTcpClient>& socket);

    std::string Open(const TConnectTarget& target) override;
    bool StartReading(const TTelnetTimings& timings,
                      std::optional<std::chrono::steady_clock::time_point> deadline) override;
    std::int32_t Write(std::span<const std::uint8_t> bytes) override;
    void Close() override;
    void Cut() override;
    bool IsOpen() const override { return socket_ && socket_->Active(); }
    bool IsConnected() const override;
    TTlsInfo TlsInfo() const override;
    TTlsSettings OpenedTlsSettings() const override { return socket_->TlsSettings; }
    void StopReading() override;
    bool Idle() override;
    void WakeForDestruction() override;
    void EndForDestruction() override;

    // ---- for the readers
    // The reader `sender` has ended its connection.
    void ReaderEnded(TObject* sender);
    // The open connection is this one.
    bool Carries(const std::shared_ptr<TTcpConnection>& connection) const;
    // The reader of the current connection, or null (tests and diagnostics).
    std::shared_ptr<TThSocketRead> Reader();

private:
    std::vector<std::shared_ptr<TThSocketRead>> TakeReaders();
    // Waiting for a reader is safe only when it cannot be waiting for us.
    bool MayWaitFor(const TThSocketRead& reader) const;

    TTransportSink& sink_;
    std::shared_ptr<TSessionCore> core_;
    std::unique_ptr<TTcpClient>& socket_;
    std::mutex readersMutex_;  // leaf lock: guards the two below only
    std::shared_ptr<TThSocketRead> reader_;
    std::vector<std::shared_ptr<TThSocketRead>> finishedReaders_;
    // Taken by WakeForDestruction, let go by EndForDestruction (the destroying thread's).
    std::vector<std::shared_ptr<TThSocketRead>> destroying_;
};
