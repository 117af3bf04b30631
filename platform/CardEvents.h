// CardEvents: the process-wide observer list that stands in for the
// broadcast window message "UWM_KV_MESSAGE". Hosts and tests subscribe; the
// card layer posts a notification when a card signing or decryption fails.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace kivo {

// One notification: the values a window would receive as wParam and lParam.
struct CardEvent {
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

class CardEvents {
public:
    using Observer = std::function<void(const CardEvent&)>;

    // Name of the registered window message the list stands for.
    static constexpr const char* cMessageName = "UWM_KV_MESSAGE";
    // wParam of the notification about a failed card operation.
    static constexpr std::uintptr_t cCardOperationFailed = 0x2003;

    // Adds an observer; the returned id removes it again.
    int subscribe(Observer observer);
    void unsubscribe(int id);
    // Calls every observer in subscription order. Observers run on the
    // posting thread and may subscribe or unsubscribe from inside.
    void post(const CardEvent& event);

private:
    struct Entry {
        int id;
        Observer observer;
    };
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
    int m_nextId = 1;
};

// The list of the process.
CardEvents& cardEvents();

// Unsubscribes on destruction.
class ScopedCardEventSubscription {
public:
    explicit ScopedCardEventSubscription(CardEvents::Observer observer)
        : m_id(cardEvents().subscribe(std::move(observer))) {}
    ~ScopedCardEventSubscription() { cardEvents().unsubscribe(m_id); }
    ScopedCardEventSubscription(const ScopedCardEventSubscription&) = delete;
    ScopedCardEventSubscription& operator=(const ScopedCardEventSubscription&) = delete;

private:
    int m_id;
};

}  // namespace kivo
