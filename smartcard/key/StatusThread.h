// CStatusThread: keeps a card session alive while a PIN window or message
// box is on screen, by asking PC/SC for the card's status every 500 ms on
// a worker thread. Process-wide: at most one worker runs at a time.
#pragma once

#include <PCSC/winscard.h>

class CStatusThread {
public:
    // Starts polling `card`; false (and nothing started) while a worker runs.
    static bool startThread(SCARDHANDLE card);
    // Stops the worker and joins it before returning; nothing without one.
    static void stopThread();
    static bool isRunning();
};

namespace kivo::card {

// Runs the worker on `card` for as long as it lives (a window call's scope).
class StatusThreadScope {
public:
    explicit StatusThreadScope(SCARDHANDLE card) : m_started(CStatusThread::startThread(card)) {}
    ~StatusThreadScope() {
        if (m_started) CStatusThread::stopThread();
    }
    StatusThreadScope(const StatusThreadScope&) = delete;
    StatusThreadScope& operator=(const StatusThreadScope&) = delete;

private:
    bool m_started;
};

}  // namespace kivo::card
