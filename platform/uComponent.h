// The component base of the package and a small registry of component
// classes, standing in for the component library's own.
//
// A component has an owner (another component or none), a name, a tag and
// state flags. The owner does not free its components (C++ code holds them
// by value or unique_ptr); it only knows them, and clears their Owner when
// it goes first. Components are created, named and destroyed on the
// application's thread; the state flags may be read from any thread.
#pragma once

#include "platform/uOrvObject.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* AOwner = nullptr);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    // The owner given at construction, or null (also once the owner is gone).
    TComponent* Owner() const { return owner_; }
    // The components that name this one as their owner, in creation order.
    const std::vector<TComponent*>& Components() const { return components_; }

    // True while the component lives in a designer: operations that would
    // touch the network or the logs do nothing then.
    bool IsDesigning() const { return designing_.load(std::memory_order_acquire); }
    void SetDesigning(bool on) { designing_.store(on, std::memory_order_release); }

    // True from the first step of destruction on.
    bool IsDestroying() const { return destroying_.load(std::memory_order_acquire); }

    // Marks the component as being destroyed. A derived class that has work
    // to stop before its members go (threads calling its overrides) overrides
    // this, calls the inherited one, and calls Destroying() first thing in its
    // destructor. Idempotent.
    virtual void Destroying();

    std::string Name;
    std::int32_t Tag = 0;

private:
    void Insert(TComponent* child);
    void Remove(TComponent* child);

    TComponent* owner_ = nullptr;
    std::vector<TComponent*> components_;
    std::atomic<bool> designing_{false};
    std::atomic<bool> destroying_{false};
};

// One registered component class: what a designer shows on its palette and
// how it makes an instance.
struct TComponentClassInfo {
    std::string ClassName;    // "TTn3270E"
    std::string Page;         // palette page, "Internet"
    std::string Description;  // package description, "TN3270 Component"
    std::function<std::unique_ptr<TComponent>(TComponent* owner)> Factory;
};

// Process-wide registry of component classes. Thread-safe.
class TComponentRegistry {
public:
    static TComponentRegistry& Instance();

    // Adds the class, or replaces the entry of the same class name.
    void Register(TComponentClassInfo info);
    // Copy of the entry for the class name (case sensitive), or nullptr.
    std::unique_ptr<TComponentClassInfo> Find(const std::string& className) const;
    // Copies of every entry, in registration order.
    std::vector<TComponentClassInfo> Classes() const;
    // Makes an instance of the class; null when it is not registered.
    std::unique_ptr<TComponent> Create(const std::string& className, TComponent* owner) const;

private:
    mutable std::mutex mutex_;
    std::vector<TComponentClassInfo> classes_;
};

// Registers component classes on a palette page, the component library way.
void RegisterComponents(const std::string& page, const std::string& description,
                        std::vector<TComponentClassInfo> classes);
