#include "platform/uComponent.h"

#include <algorithm>

TComponent::TComponent(TComponent* AOwner) : owner_(AOwner)
{
    if (owner_ != nullptr) {
        owner_->Insert(this);
        // A component dropped on a form in a designer is being designed too.
        designing_.store(owner_->IsDesigning(), std::memory_order_relaxed);
    }
}

TComponent::~TComponent()
{
    Destroying();
    for (TComponent* child : components_)
        child->owner_ = nullptr;
    if (owner_ != nullptr)
        owner_->Remove(this);
}

void TComponent::Destroying()
{
    destroying_.store(true, std::memory_order_release);
}

void TComponent::Insert(TComponent* child)
{
    components_.push_back(child);
}

void TComponent::Remove(TComponent* child)
{
    components_.erase(std::remove(components_.begin(), components_.end(), child), components_.end());
}

TComponentRegistry& TComponentRegistry::Instance()
{
    static TComponentRegistry registry;
    return registry;
}

void TComponentRegistry::Register(TComponentClassInfo info)
{
    std::lock_guard lock(mutex_);
    for (auto& entry : classes_) {
        if (entry.ClassName == info.ClassName) {
            entry = std::move(info);
            return;
        }
    }
    classes_.push_back(std::move(info));
}

std::unique_ptr<TComponentClassInfo> TComponentRegistry::Find(const std::string& className) const
{
    std::lock_guard lock(mutex_);
    for (const auto& entry : classes_)
        if (entry.ClassName == className)
            return std::make_unique<TComponentClassInfo>(entry);
    return nullptr;
}

std::vector<TComponentClassInfo> TComponentRegistry::Classes() const
{
    std::lock_guard lock(mutex_);
    return classes_;
}

std::unique_ptr<TComponent> TComponentRegistry::Create(const std::string& className, TComponent* owner) const
{
    auto info = Find(className);
    if (!info || !info->Factory)
        return nullptr;
    return info->Factory(owner);
}

void RegisterComponents(const std::string& page, const std::string& description,
                        std::vector<TComponentClassInfo> classes)
{
    for (auto& info : classes) {
        info.Page = page;
        info.Description = description;
        TComponentRegistry::Instance().Register(std::move(info));
    }
}
