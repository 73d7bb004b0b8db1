// A windowed control: a component that owns a window of the application's
// main thread. Here the "window" is the application's dispatcher (see
// uDispatcher.h): a component whose owner is a TWinControl with a
// dispatcher delivers its event handlers through it, on the main thread.
#pragma once

#include "platform/uComponent.h"
#include "platform/uDispatcher.h"

#include <memory>

class TWinControl : public TComponent {
public:
    // dispatcher may be null: the control then has no window and components
    // it owns run their handlers on the raising thread.
    TWinControl(TComponent* AOwner, std::shared_ptr<TDispatcher> dispatcher);

    // The dispatcher, or null. Shared: components keep it alive as long as
    // they may deliver through it.
    const std::shared_ptr<TDispatcher>& Dispatcher() const { return dispatcher_; }
    bool HandleAllocated() const { return dispatcher_ != nullptr; }

private:
    std::shared_ptr<TDispatcher> dispatcher_;
};
