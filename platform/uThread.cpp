#include "platform/uThread.h"

#include <unistd.h>

#include <climits>
#include <memory>
#include <system_error>

namespace {

void* ThreadMain(void* arg)
{
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
    try {
        (*fn)();
    } catch (...) {
    }
    return nullptr;
}

} // namespace

TNativeThread::~TNativeThread()
{
    if (joinable_)
        Detach();
}

void TNativeThread::Start(std::function<void()> fn, std::size_t stackSize)
{
    if (started_)
        throw std::logic_error("TNativeThread::Start called twice");
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::size_t size = stackSize < static_cast<std::size_t>(PTHREAD_STACK_MIN)
                           ? static_cast<std::size_t>(PTHREAD_STACK_MIN) : stackSize;
    size = (size + page - 1) / page * page;

    pthread_attr_t attr;
    if (int rc = pthread_attr_init(&attr); rc != 0)
        throw std::system_error(rc, std::generic_category(), "pthread_attr_init");
    int rc = pthread_attr_setstacksize(&attr, size);
    auto block = std::make_unique<std::function<void()>>(std::move(fn));
    if (rc == 0)
        rc = pthread_create(&handle_, &attr, ThreadMain, block.get());
    pthread_attr_destroy(&attr);
    if (rc != 0)
        throw std::system_error(rc, std::generic_category(), "pthread_create");
    block.release();  // the thread owns it now
    started_ = true;
    joinable_ = true;
}

void TNativeThread::Join()
{
    if (!joinable_)
        return;
    if (IsCurrentThread())
        throw std::logic_error("TNativeThread::Join called on the thread itself");
    pthread_join(handle_, nullptr);
    joinable_ = false;
}

void TNativeThread::Detach()
{
    if (!joinable_)
        return;
    pthread_detach(handle_);
    joinable_ = false;
}
