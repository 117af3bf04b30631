#include "smartcard/key/StatusThread.h"

#include "platform/PcscApi.h"
#include "smartcard/transport/CardTrace.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using kivo::CardTrace;

namespace {

constexpr std::chrono::milliseconds kPollInterval{500};

// The worker's state: the stop flag starts set (no worker), the running
// flag is set while a worker exists. The condition variable lets a stop
// end the 500 ms pause at once instead of waiting it out.
struct Worker {
    std::mutex mutex;
    std::condition_variable wake;
    bool running = false;
    bool stop = true;
    SCARDHANDLE card = 0;
    std::thread thread;

    // A worker still running when the process ends is stopped, not left to
    // terminate the process.
    ~Worker() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        wake.notify_all();
        if (thread.joinable()) thread.join();
    }
};

Worker& worker() {
    static Worker instance;
    return instance;
}

void poll(Worker& state) {
    std::unique_lock<std::mutex> lock(state.mutex);
    while (!state.stop) {
        const SCARDHANDLE card = state.card;
        lock.unlock();
        DWORD readerLength = 0;
        DWORD cardState = 0;
        DWORD protocol = 0;
        DWORD atrLength = 0;
        kivo::pcscApi().Status(card, nullptr, &readerLength, &cardState, &protocol, nullptr, &atrLength);
        lock.lock();
        state.wake.wait_for(lock, kPollInterval, [&state] { return state.stop; });
    }
}

}  // namespace

bool CStatusThread::startThread(SCARDHANDLE card) {
    Worker& state = worker();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.running || !state.stop) {
        CardTrace::write(CardTrace::cLevelInfo,
                         "<--leaving CStatusThread::startThread (CStatusThread::threadRunning || "
                         "!CStatusThread::threadStop)\n");
        return false;
    }
    state.stop = false;
    state.running = true;
    state.card = card;
    CardTrace::write(CardTrace::cLevelInfo,
                     "--CStatusThread::startThread _beginthread( CStatusThread::WorkerThreadProc) \n");
    state.thread = std::thread(poll, std::ref(state));
    return true;
}

void CStatusThread::stopThread() {
    Worker& state = worker();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.stop || !state.running) {
            CardTrace::write(CardTrace::cLevelInfo,
                             "<--leaving CStatusThread::stopThread (CStatusThread::threadStop || "
                             "!CStatusThread::threadRunning)\n");
            return;
        }
        state.stop = true;
    }
    state.wake.notify_all();
    CardTrace::write(CardTrace::cLevelInfo, "CStatusThread::stopThread : WaitForSingleObject\n");
    if (state.thread.joinable()) state.thread.join();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.running = false;
}

bool CStatusThread::isRunning() {
    Worker& state = worker();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.running;
}
