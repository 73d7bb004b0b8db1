// The socket reader of one connection, TThSocketRead, the delivery of the
// reader-thread transport (telnet/uTelnetConnection): its own thread waits
// for data, reads blocks of at most 8192 bytes and hands them to the
// transport's sink under the session lock; it guards against receive loops
// (50 blocks without progress in one window), runs the START_TLS handshake
// outside the lock, and asks the sink whether an idle link is still alive
// every sixth wait that times out.
#pragma once

#include "platform/uComponent.h"
#include "platform/uTcpClient.h"
#include "platform/uThread.h"
#include "telnet/uSessionCore.h"
#include "telnet/uReceiveProgress.h"
#include "telnet/uTransport.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

class TTelnetConnection;

// Shared by the component and its own thread, so that it outlives a detach.
// NotifyOwner (from TDeliverySource) is cleared when the component no
// longer wants to hear from this reader (destroyed, or a new connection
// replaced this one).
class TThSocketRead : public TObject, public TDeliverySource, public std::enable_shared_from_this<TThSocketRead> {
public:
    static constexpr std::int32_t kReadBufferSize = 8192;
    // The liveness check runs on every sixth wait that times out.
    static constexpr int kWaitsPerAliveCheck = 6;
    // Blocks without progress counted in one window that mean a receive loop.
    static constexpr std::int32_t kBurstLimit = TReceiveLoopGuard::kBurstLimit;

    TThSocketRead(TTransportSink& sink, TTelnetConnection& transport, std::shared_ptr<TSessionCore> core,
                  std::shared_ptr<TTcpConnection> connection, const TTelnetTimings& timings);
    ~TThSocketRead() override;

    // Starts the thread (it holds a reference to this object while it runs).
    void Start(std::size_t stackSize);
    void Execute();
    // Hands ReadBuffer to the sink; false when a receive loop is suspected.
    // Called with the session lock held.
    bool NotifyDataAvailable();

    // Set when Execute has done everything, its deliveries included.
    std::atomic<bool> Finished{false};
    // While a START_TLS exchange is pending: the time by which it must be
    // done (the reader wakes then). Set before Start; the reader's own after.
    std::chrono::steady_clock::time_point NegotiationDeadline{};

private:
    friend class TTelnetConnection;
    using Clock = std::chrono::steady_clock;

    // NotifyOwner and the component alive; read before touching the component.
    bool Running() const;
    // The component's open connection is still this reader's. Under the lock.
    bool OwnsConnection() const;
    // Shuts the connection down unless this reader has let it go already.
    void ShutdownConnection();

    // Touched only under the lock, after Running(): while it is true the
    // component, and so its transport, exist.
    TTransportSink* sink_;
    TTelnetConnection* transport_;
    std::shared_ptr<TSessionCore> core_;
    // Dropped when the reader ends, so that the descriptor closes with the
    // last user: a peer still writing to a connection we cut is reset then,
    // instead of blocking on a receive window nobody empties. Written only
    // by the reader thread, under connectionMutex_; other threads read it
    // under it.
    std::shared_ptr<TTcpConnection> connection_;
    std::mutex connectionMutex_;
    const TTelnetTimings timings_;
    TNativeThread thread_;
    std::unique_ptr<std::array<std::uint8_t, kReadBufferSize>> ReadBuffer;
    std::int32_t ReadCount = 0;
    TReceiveLoopGuard guard_;
};
