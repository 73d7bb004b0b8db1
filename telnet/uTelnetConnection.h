// The connection of a telnet component: the TCP client and its TLS, the
// reader threads (telnet/uSocketReader) of the current and of earlier
// connections, and the TLS properties as one value (TTlsProperties). It
// knows nothing of telnet: TOrvTelnet drives it under its session lock and
// feeds what the reader receives to its session (telnet/uTelnetSession).
// See telnet/uOrvTelnet.h for the threading contract it keeps.
#pragma once

#include "platform/uTcpClient.h"
#include "platform/uTlsTransport.h"
#include "telnet/uSessionCore.h"
#include "telnet/uSocketReader.h"

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

class TOrvTelnet;

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

// Where and how to connect (TOrvTelnet's properties at Connect).
struct TConnectTarget {
    std::string Host;
    std::int32_t Port = 23;  // < 0: the service "Telnet"
    TTlsMode Tls = TTlsMode::tmNone;
    TTlsSettings TlsSettings;
    std::chrono::milliseconds ConnectTimeout{20000};
    std::chrono::milliseconds SendTimeout{30000};
};

class TTelnetConnection {
public:
    TTelnetConnection(TOrvTelnet& telnet, std::shared_ptr<TSessionCore> core);

    // The TCP client; replaced by TOrvTelnet::SetDefaults.
    std::unique_ptr<TTcpClient> Socket;

    // Connects (direct TLS: with its handshake); the socket's OnConnect
    // runs inside. Empty when it worked, else why not (logged at level 1
    // for a TLS failure).
    std::string Open(const TConnectTarget& target);
    // Closes the socket (its OnDisconnect runs inside).
    void Close();
    // Open, and not cut by a Disconnect whose close waits for the owner.
    bool IsConnected() const;
    // The open connection's TLS (an empty Protocol when it has none).
    TTlsInfo TlsInfo() const;
    // The settings and host the connection was opened with (START_TLS).
    const TTlsSettings& TlsSettings() const { return Socket->TlsSettings; }
    const std::string& Host() const { return host_; }
    // Cuts the open connection at once (the host sees the end); the close
    // itself is left to the caller.
    void Cut();

    // ---- readers
    // Starts the reader of the open connection (under the session lock);
    // deadline: when the START_TLS exchange must be done, or none. False
    // when the thread could not start.
    bool StartReader(const TTelnetTimings& timings, std::optional<std::chrono::steady_clock::time_point> deadline);
    // The reader `sender` has ended its connection.
    void ReaderEnded(TObject* sender);
    // Ends the readers of earlier connections: joined when this thread may
    // wait for them, else detached (they end without touching the component).
    void StopReaders();
    // True when no reader, current or ended, is left.
    bool NoReaders();
    // Destruction, first part: every reader told to stop and woken, its
    // deliveries cancelled, the socket shut down. Returns the readers.
    std::vector<std::shared_ptr<TThSocketRead>> WakeForDestruction();
    // Destruction, last part: each reader joined when this thread may wait
    // for it, else detached.
    void EndReaders(std::vector<std::shared_ptr<TThSocketRead>>& readers);
    // The reader of the current connection, or null.
    std::shared_ptr<TThSocketRead> Reader();

private:
    std::vector<std::shared_ptr<TThSocketRead>> TakeReaders();
    // Waiting for a reader is safe only when it cannot be waiting for us.
    bool MayWaitFor(const TThSocketRead& reader) const;

    TOrvTelnet& telnet_;
    std::shared_ptr<TSessionCore> core_;
    std::string host_;
    std::mutex readersMutex_;  // leaf lock: guards the two below only
    std::shared_ptr<TThSocketRead> reader_;
    std::vector<std::shared_ptr<TThSocketRead>> finishedReaders_;
};
