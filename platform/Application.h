#pragma once
// Stand-ins for the toolkit's application object (status-bar orientation and its change
// notification), the device kind, and the notification centre.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace penwell {

inline constexpr std::string_view UIApplicationDidChangeStatusBarOrientationNotification =
    "UIApplicationDidChangeStatusBarOrientationNotification";

struct Notification {
    std::string name;
};

/// Delivers named notifications to observers, synchronously, on the posting thread.
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    /// Keeps an observer registered for as long as it lives; destroying or reset()ting it
    /// removes the observer, so a destroyed object is never called.
    class Observation {
    public:
        Observation() = default;
        Observation(Observation&& other) noexcept;
        Observation& operator=(Observation&& other) noexcept;
        Observation(const Observation&) = delete;
        Observation& operator=(const Observation&) = delete;
        ~Observation() { reset(); }

        void reset() noexcept;
        bool active() const { return !registry_.expired(); }

    private:
        friend class NotificationCenter;
        struct Registry;
        Observation(std::weak_ptr<Registry> registry, std::uint64_t id)
            : registry_(std::move(registry)), id_(id) {}

        std::weak_ptr<Registry> registry_;
        std::uint64_t id_ = 0;
    };

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    /// Observes `name` from any sender.
    [[nodiscard]] Observation addObserver(std::string_view name, Handler handler);
    void post(std::string_view name);
    std::size_t observerCount(std::string_view name) const;

private:
    std::shared_ptr<Observation::Registry> registry_;
};

class Application {
public:
    virtual ~Application() = default;
    /// The interface orientation the status bar shows (see orientation:: in View.h).
    virtual std::int64_t statusBarOrientation() const = 0;
    virtual NotificationCenter& notificationCenter() = 0;
};

inline constexpr std::int64_t UIUserInterfaceIdiomPhone = 0;
inline constexpr std::int64_t UIUserInterfaceIdiomPad = 1;

class Device {
public:
    virtual ~Device() = default;
    /// The device kind; empty for a device that does not answer the question.
    virtual std::optional<std::int64_t> userInterfaceIdiom() const = 0;
};

}  // namespace penwell
