// The reader runs the whole receive path on its own thread, under the
// session lock; what it raises is delivered when it releases the lock.
#include "telnet/uSocketReader.h"

#include "log/uOrvIntfLogg.h"
#include "telnet/uTelnetConnection.h"

#include <algorithm>
#include <string>
#include <thread>

namespace {

constexpr char kExceptionText[] = "Exception in TThSocketRead.Execute. ERROR: ";

} // namespace

TThSocketRead::TThSocketRead(TTransportSink& sink, TTelnetConnection& transport, std::shared_ptr<TSessionCore> core,
                             std::shared_ptr<TTcpConnection> connection, const TTelnetTimings& timings)
    : sink_(&sink), transport_(&transport), core_(std::move(core)), connection_(std::move(connection)),
      timings_(timings),
      ReadBuffer(std::make_unique<std::array<std::uint8_t, kReadBufferSize>>())
{
}

TThSocketRead::~TThSocketRead() = default;

void TThSocketRead::Start(std::size_t stackSize)
{
    auto self = shared_from_this();
    thread_.Start([self] { self->Execute(); }, stackSize);
}

bool TThSocketRead::Running() const
{
    return NotifyOwner.load(std::memory_order_acquire) && core_->Alive.load(std::memory_order_acquire);
}

void TThSocketRead::Execute()
{
    try {
        int cycle = 0;
        std::int32_t lastRead = 0;
        guard_.Start();
        bool tellOwner = true;
        for (;;) {
            if (!Running()) {
                tellOwner = false;
                break;
            }
            auto waitFor = timings_.WaitTimeout;
            if (NegotiationDeadline != Clock::time_point{}) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(NegotiationDeadline - Clock::now());
                waitFor = std::clamp(left, std::chrono::milliseconds(0), waitFor);
            }
            const auto wait = connection_->WaitForData(waitFor);
            if (!Running()) {
                tellOwner = false;
                break;
            }
            if (wait == TTcpConnection::TWait::Failed)
                break;
            if (wait == TTcpConnection::TWait::Ready) {
                // Lets the rest of a record sent in pieces arrive, so that it
                // is read in this block rather than the next.
                if (timings_.ReadPause.count() > 0)
                    std::this_thread::sleep_for(timings_.ReadPause);
                ReadCount = connection_->ReceiveBuf(ReadBuffer->data(), kReadBufferSize);
                lastRead = ReadCount;
                // TLS records without application data (a session ticket, a
                // record not complete yet): wait again.
                if (ReadCount == TTcpConnection::kNoData)
                    continue;
                if (ReadCount <= 0)
                    break;
                TTlsSettings tlsSettings;
                std::string tlsHost;
                bool upgrade = false;
                {
                    TSessionGuard guard(core_);
                    TProcessingScope scope(*core_, *this);  // ends before the guard delivers
                    if (!Running() || !OwnsConnection()) {
                        tellOwner = false;
                        break;
                    }
                    try {
                        if (!NotifyDataAvailable()) {
                            MsgLog(TLogLevel::llError, "Receive error(loop).");
                            sink_->EndConnection();
                        }
                    } catch (const std::exception& e) {
                        MsgLog(TLogLevel::llError, std::string(kExceptionText) + e.what());
                        ReadCount = 0;
                    }
                    upgrade = sink_->TakeTlsHandshake(tlsSettings, tlsHost);
                }
                if (upgrade) {
                    // START_TLS: the handshake runs here, outside the session
                    // lock, so that a Disconnect from another thread can cut
                    // it short (it shuts the socket down); application sends
                    // are held back meanwhile (nothing goes out in clear text).
                    std::string error;
                    try {
                        connection_->StartTls(tlsSettings, tlsHost, Clock::now() + timings_.ConnectTimeout);
                    } catch (const std::exception& e) {
                        error = e.what();
                    }
                    NegotiationDeadline = {};
                    const TTlsInfo info = error.empty() ? connection_->TlsInfo() : TTlsInfo{};
                    TSessionGuard guard(core_);
                    TProcessingScope scope(*core_, *this);
                    if (!Running() || !OwnsConnection()) {
                        tellOwner = false;
                        break;
                    }
                    sink_->OnTlsHandshakeDone(error, info);
                }
            } else if (NegotiationDeadline != Clock::time_point{} && Clock::now() >= NegotiationDeadline) {
                NegotiationDeadline = {};
                TSessionGuard guard(core_);
                TProcessingScope scope(*core_, *this);
                if (!Running() || !OwnsConnection()) {
                    tellOwner = false;
                    break;
                }
                sink_->OnDeadline();
            } else {
                core_->IdleWaits.fetch_add(1, std::memory_order_relaxed);
                if (cycle == kWaitsPerAliveCheck - 1) {
                    bool alive = true;
                    {
                        TSessionGuard guard(core_);
                        TProcessingScope scope(*core_, *this);
                        if (!Running() || !OwnsConnection()) {
                            tellOwner = false;
                            break;
                        }
                        alive = sink_->IsAlive();
                    }
                    if (!alive)
                        break;
                }
            }
            cycle = cycle == kWaitsPerAliveCheck - 1 ? 0 : cycle + 1;
        }
        if (tellOwner) {
            TSessionGuard guard(core_);
            TProcessingScope scope(*core_, *this);
            if (Running()) {
                if (OwnsConnection())
                    sink_->OnEnded(connection_->TlsFailureText(), lastRead < 0);
                transport_->ReaderEnded(this);
                // Only its own connection: a newer one is not this reader's to end.
                if (transport_->IsOpen() && OwnsConnection())
                    sink_->EndConnection();
            }
        }
    } catch (...) {
        // Nothing may leave the thread.
    }
    {
        std::lock_guard lock(connectionMutex_);
        connection_.reset();
    }
    Finished.store(true, std::memory_order_release);
}

void TThSocketRead::ShutdownConnection()
{
    std::lock_guard lock(connectionMutex_);
    if (connection_)
        connection_->Shutdown();
}

bool TThSocketRead::OwnsConnection() const
{
    return transport_->Carries(connection_);
}

bool TThSocketRead::NotifyDataAvailable()
{
    const TReceiveProgress::TBlock block =
        sink_->OnReceived(std::span<const std::uint8_t>(ReadBuffer->data(), static_cast<std::size_t>(ReadCount)));
    ReadCount = 0;
    return guard_.Admit(block, timings_.BurstWindow);
}
