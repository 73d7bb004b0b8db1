#include "platform/uLoopConnection.h"

#include "platform/uSocketIo.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

const char* LoopEndName(TLoopEnd end)
{
    switch (end) {
    case TLoopEnd::leClosed: return "closed";
    case TLoopEnd::leReset: return "reset";
    case TLoopEnd::lePeerClosed: return "peer closed";
    case TLoopEnd::leFailed: return "failed";
    case TLoopEnd::leConnectFailed: return "connect failed";
    case TLoopEnd::leConnectTimeout: return "connect timed out";
    case TLoopEnd::leQueueFull: return "write queue full";
    case TLoopEnd::leCloseTimeout: return "close timed out";
    }
    return "?";
}

std::shared_ptr<TLoopConnection> TLoopConnection::Create(TEventLoop& loop, int fd,
                                                         std::shared_ptr<ILoopConnectionHandler> handler,
                                                         const TLoopConnectionOptions& options)
{
    return std::shared_ptr<TLoopConnection>(new TLoopConnection(loop, fd, std::move(handler), options));
}

TLoopConnection::TLoopConnection(TEventLoop& loop, int fd, std::shared_ptr<ILoopConnectionHandler> handler,
                                 const TLoopConnectionOptions& options)
    : loop_(loop),
      fd_(fd),
      options_(options),
      thread_(options.thread == TEventLoop::kNoThread ? loop.NextThread() : options.thread),
      handler_(std::move(handler))
{
    SetNonBlocking(fd_);
}

TLoopConnection::~TLoopConnection()
{
    // Ended connections closed their descriptor on the loop thread.
    if (state_ != TState::Ended)
        ::close(fd_);
}

void TLoopConnection::Start()
{
    std::lock_guard lock(mutex_);
    if (state_ != TState::Idle)
        return;
    self_ = shared_from_this();
    state_ = options_.connecting ? TState::Connecting : TState::Open;
    if (finishing_)
        return;  // closed before it started: the posted Finish ends it
    try {
        io_ = loop_.Add(fd_, 0, *this, thread_);
    } catch (...) {
        state_ = TState::Idle;
        self_.reset();
        throw;
    }
    UpdateInterest();
    if (state_ == TState::Connecting && options_.connectTimeout.count() > 0) {
        std::weak_ptr<TLoopConnection> weak = self_;
        timer_ = loop_.AddTimer(thread_, options_.connectTimeout, [weak] {
            if (auto c = weak.lock())
                c->Finish(TLoopEnd::leConnectTimeout, ETIMEDOUT);
        });
    }
}

std::size_t TLoopConnection::Queued() const
{
    std::lock_guard lock(mutex_);
    return queue_.size() - queueHead_;
}

bool TLoopConnection::IsOpen() const
{
    std::lock_guard lock(mutex_);
    return state_ != TState::Ended && state_ != TState::Closing && !finishing_;
}

void TLoopConnection::UpdateInterest()
{
    if (io_ == 0)
        return;
    std::uint32_t want = 0;
    if (state_ == TState::Connecting) {
        want = kIoWrite;
    } else {
        // While closing, reads go on and are dropped: a close with unread
        // bytes would reset the connection instead of ending it.
        if (reading_ || state_ == TState::Closing)
            want |= kIoRead;
        if (queue_.size() > queueHead_)
            want |= kIoWrite;
    }
    if (want != interest_ && loop_.Modify(io_, want))
        interest_ = want;
}

bool TLoopConnection::Flush(int& error)
{
    while (queueHead_ < queue_.size()) {
        const TIoResult r = WriteSome(fd_, std::span(queue_).subspan(queueHead_));
        if (r.Status == TIoStatus::isWouldBlock)
            break;
        if (r.Status != TIoStatus::isDone) {
            error = r.Error;
            return false;
        }
        queueHead_ += r.Bytes;
    }
    if (queueHead_ == queue_.size()) {
        std::vector<std::uint8_t>().swap(queue_);  // an idle connection holds no buffer
        queueHead_ = 0;
    } else if (queueHead_ > queue_.size() / 2) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(queueHead_));
        queueHead_ = 0;
    }
    return true;
}

bool TLoopConnection::Send(std::span<const std::uint8_t> bytes)
{
    std::lock_guard lock(mutex_);
    if (state_ == TState::Ended || state_ == TState::Closing || finishing_)
        return false;
    if (bytes.empty())
        return true;
    const bool connected = state_ == TState::Open || (state_ == TState::Idle && !options_.connecting);
    if (connected && queue_.size() == queueHead_) {
        const TIoResult r = WriteSome(fd_, bytes);
        if (r.Status == TIoStatus::isFailed) {
            FinishSoon(TLoopEnd::leFailed, r.Error);
            return false;
        }
        if (r.Status == TIoStatus::isDone)
            bytes = bytes.subspan(r.Bytes);
        if (bytes.empty())
            return true;
    }
    if (queue_.size() - queueHead_ + bytes.size() > options_.maxQueued) {
        FinishSoon(TLoopEnd::leQueueFull, 0);
        return false;
    }
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
    UpdateInterest();
    return true;
}

void TLoopConnection::SetReading(bool reading)
{
    std::lock_guard lock(mutex_);
    reading_ = reading;
    UpdateInterest();
}

void TLoopConnection::Close()
{
    std::lock_guard lock(mutex_);
    if (state_ == TState::Ended || state_ == TState::Closing || finishing_)
        return;
    const bool flushing = state_ == TState::Open && queue_.size() > queueHead_;
    state_ = TState::Closing;
    if (!flushing) {
        FinishSoon(TLoopEnd::leClosed, 0);
        return;
    }
    UpdateInterest();
    std::weak_ptr<TLoopConnection> weak = self_;
    timer_ = loop_.AddTimer(thread_, options_.closeFlushTimeout, [weak] {
        if (auto c = weak.lock())
            c->Finish(TLoopEnd::leCloseTimeout, 0, true);
    });
}

void TLoopConnection::Reset()
{
    std::lock_guard lock(mutex_);
    if (state_ == TState::Ended)
        return;
    abortive_ = true;  // also when an orderly Finish is already on its way
    FinishSoon(TLoopEnd::leReset, 0, true);
}

void TLoopConnection::FinishSoon(TLoopEnd end, int error, bool abortive)
{
    finishing_ = true;
    auto self = shared_from_this();
    loop_.Post(thread_, [self, end, error, abortive] { self->Finish(end, error, abortive); });
}

void TLoopConnection::Finish(TLoopEnd end, int error, bool abortive)
{
    std::shared_ptr<ILoopConnectionHandler> handler;
    std::shared_ptr<TLoopConnection> keep;
    {
        std::lock_guard lock(mutex_);
        if (state_ == TState::Ended)
            return;
        state_ = TState::Ended;
        loop_.Remove(io_);  // on this loop thread: returns at once
        io_ = 0;
        if (timer_ != 0)
            loop_.CancelTimer(timer_);
        timer_ = 0;
        if (abortive || abortive_) {
            const linger lin{1, 0};
            ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
        }
        ::close(fd_);
        std::vector<std::uint8_t>().swap(queue_);
        queueHead_ = 0;
        handler = std::move(handler_);
        keep = std::move(self_);
    }
    if (handler)
        handler->OnClosed(*this, end, error);
    handler.reset();
    // keep goes last: it may be the final reference to this connection.
}

void TLoopConnection::OnIo(std::uint32_t events)
{
    const auto keep = shared_from_this();
    std::unique_lock lock(mutex_);
    if (state_ == TState::Ended)
        return;
    if (state_ == TState::Connecting) {
        if ((events & (kIoWrite | kIoError | kIoHangup)) == 0)
            return;
        if (const int error = FinishConnect(fd_); error != 0) {
            lock.unlock();
            Finish(TLoopEnd::leConnectFailed, error);
            return;
        }
        state_ = TState::Open;
        if (timer_ != 0)
            loop_.CancelTimer(timer_);
        timer_ = 0;
        UpdateInterest();
        auto handler = handler_;
        lock.unlock();
        handler->OnConnected(*this);
        return;  // readiness is level-triggered: reads come with the next wake
    }
    if ((events & kIoError) && !(reading_ || state_ == TState::Closing)) {
        // Paused: no read would take the error, and epoll reports it again
        // and again until SO_ERROR is read (which clears it).
        if (const int error = FinishConnect(fd_); error != 0) {
            lock.unlock();
            Finish(TLoopEnd::leFailed, error);
            return;
        }
    }
    if (events & kIoWrite) {
        int error = 0;
        if (!Flush(error)) {
            lock.unlock();
            Finish(TLoopEnd::leFailed, error);
            return;
        }
        if (state_ == TState::Closing && queue_.empty()) {
            lock.unlock();
            Finish(TLoopEnd::leClosed, 0);
            return;
        }
        UpdateInterest();
    }
    if ((events & (kIoRead | kIoHangup | kIoError)) == 0 || !(reading_ || state_ == TState::Closing))
        return;
    const auto buffer = loop_.Scratch();
    auto handler = handler_;
    for (int i = 0; i < kMaxReadsPerWakeup; ++i) {
        const bool deliver = state_ == TState::Open && !finishing_ && reading_;
        lock.unlock();
        // Only this thread closes the descriptor, so it is open here.
        const TIoResult r = ReadSome(fd_, buffer);
        if (r.Status == TIoStatus::isWouldBlock)
            return;
        if (r.Status == TIoStatus::isClosed) {
            Finish(TLoopEnd::lePeerClosed, 0);
            return;
        }
        if (r.Status == TIoStatus::isFailed) {
            Finish(TLoopEnd::leFailed, r.Error);
            return;
        }
        if (deliver)
            handler->OnData(*this, buffer.first(r.Bytes));
        lock.lock();
        if (state_ == TState::Ended || !(reading_ || state_ == TState::Closing))
            return;
    }
}
