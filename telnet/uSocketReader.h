// The socket reader of one connection, TThSocketRead: its own thread waits
// for data, reads blocks of at most 8192 bytes and feeds them to the
// component's telnet engine under the session lock; it guards against
// receive loops (50 blocks without progress in one window) and asks the component whether an
// idle link is still alive every sixth wait that times out. The timings of
// the connection (TTelnetTimings) live here, injectable for tests.
#pragma once

#include "platform/uComponent.h"
#include "platform/uTcpClient.h"
#include "platform/uThread.h"
#include "telnet/uSessionCore.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

class TOrvTelnet;

// The connection's timings, injectable so that tests need not wait a minute.
// Copied by each reader thread when it starts: change them before Connect.
struct TTelnetTimings {
    // Reader: longest wait for data before it looks at its stop flag.
    std::chrono::milliseconds WaitTimeout{10000};
    // Reader: pause between "data ready" and the read, so that the rest of a
    // record sent in pieces is read in the same block.
    std::chrono::milliseconds ReadPause{5};
    // Receive-loop guard: a window in which 50 blocks that made no progress
    // (telnet/uReceiveProgress.h) mean a loop.
    std::chrono::milliseconds BurstWindow{2000};
    // Socket: longest connect, and longest a send may block.
    std::chrono::milliseconds ConnectTimeout{20000};
    std::chrono::milliseconds SendTimeout{30000};
    // Reader thread stack (bytes). The receive path is shallow and keeps its
    // buffers on the heap; handlers run on the reader when there is no
    // dispatcher, so leave them room. Sanitizer builds need several times more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    std::size_t ReaderStackSize = 2u << 20;
#else
    std::size_t ReaderStackSize = 256u << 10;
#endif
};

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
    static constexpr std::int32_t kBurstLimit = 50;

    TThSocketRead(TOrvTelnet& telnet, std::shared_ptr<TSessionCore> core,
                  std::shared_ptr<TTcpConnection> connection);
    ~TThSocketRead() override;

    // Starts the thread (it holds a reference to this object while it runs).
    void Start(std::size_t stackSize);
    void Execute();
    // Hands ReadBuffer to the engine; false when a receive loop is suspected.
    // Called with the session lock held.
    bool NotifyDataAvailable();

    // Set when Execute has done everything, its deliveries included.
    std::atomic<bool> Finished{false};
    // While a START_TLS exchange is pending: the time by which it must be
    // done (the reader wakes then). Set before Start; the reader's own after.
    std::chrono::steady_clock::time_point NegotiationDeadline{};

private:
    friend class TOrvTelnet;
    friend class TTelnetConnection;
    using Clock = std::chrono::steady_clock;

    // NotifyOwner and the component alive; read before touching the component.
    bool Running() const;
    // The component's open connection is still this reader's. Under the lock.
    bool OwnsConnection() const;
    // Shuts the connection down unless this reader has let it go already.
    void ShutdownConnection();

    TOrvTelnet* Telnet;  // touched only under the lock, after Running()
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
    Clock::time_point BurstStart{};
    std::int32_t BurstCount = 0;
};
