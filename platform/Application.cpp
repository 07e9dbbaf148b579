#include "penwell/platform/Application.h"

#include <vector>

namespace penwell {

struct NotificationCenter::Observation::Registry {
    struct Entry {
        std::string name;
        Handler handler;
    };
    std::map<std::uint64_t, Entry> entries;
    std::uint64_t nextId = 1;
};

NotificationCenter::Observation::Observation(Observation&& other) noexcept
    : registry_(std::move(other.registry_)), id_(other.id_) {
    other.registry_.reset();
}

NotificationCenter::Observation& NotificationCenter::Observation::operator=(
    Observation&& other) noexcept {
    if (this != &other) {
        reset();
        registry_ = std::move(other.registry_);
        id_ = other.id_;
        other.registry_.reset();
    }
    return *this;
}

void NotificationCenter::Observation::reset() noexcept {
    if (auto registry = registry_.lock()) {
        registry->entries.erase(id_);
    }
    registry_.reset();
}

NotificationCenter::NotificationCenter() : registry_(std::make_shared<Observation::Registry>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Observation NotificationCenter::addObserver(std::string_view name,
                                                                Handler handler) {
    const std::uint64_t id = registry_->nextId++;
    registry_->entries.emplace(id,
                               Observation::Registry::Entry{std::string(name), std::move(handler)});
    return Observation(registry_, id);
}

void NotificationCenter::post(std::string_view name) {
    const Notification notification{std::string(name)};
    // A handler may add or remove observers. Look each one up again before calling it, so an
    // observer removed by an earlier handler of the same post is not called.
    std::vector<std::uint64_t> ids;
    for (const auto& [id, entry] : registry_->entries) {
        if (entry.name == name) {
            ids.push_back(id);
        }
    }
    const auto registry = registry_;  // keeps the registry alive if a handler destroys us
    for (std::uint64_t id : ids) {
        auto it = registry->entries.find(id);
        if (it != registry->entries.end()) {
            Handler handler = it->second.handler;
            handler(notification);
        }
    }
}

std::size_t NotificationCenter::observerCount(std::string_view name) const {
    std::size_t n = 0;
    for (const auto& [id, entry] : registry_->entries) {
        n += entry.name == name ? 1 : 0;
    }
    return n;
}

}  // namespace penwell
