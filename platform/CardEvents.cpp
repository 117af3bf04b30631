#include "platform/CardEvents.h"

#include <algorithm>

namespace kivo {

int CardEvents::subscribe(Observer observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int id = m_nextId++;
    m_entries.push_back({id, std::move(observer)});
    return id;
}

void CardEvents::unsubscribe(int id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                   [id](const Entry& e) { return e.id == id; }),
                    m_entries.end());
}

void CardEvents::post(const CardEvent& event) {
    // A copy, so that observers can change the list while being called.
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        entries = m_entries;
    }
    for (const Entry& entry : entries) {
        if (entry.observer) entry.observer(event);
    }
}

CardEvents& cardEvents() {
    static CardEvents events;
    return events;
}

}  // namespace kivo
