// The status thread polls the reader while a window is up, never after, one worker at a time.

#include "smartcard/key/StatusThread.h"
#include "tests/support/card/PcscScript.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kivo::test {
namespace {

TEST(StatusThread, PollsWhileAWindowIsUpAndStopsWithIt) {
    ScriptedPcsc pcsc;
    {
        card::StatusThreadScope window(0x1234);
        EXPECT_TRUE(CStatusThread::isRunning());
        EXPECT_FALSE(CStatusThread::startThread(0x1234)) << "a second worker while one runs";
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // a callback taking 1.2 s
    }
    EXPECT_FALSE(CStatusThread::isRunning());
    const int polled = pcsc.script.statusCalls;
    EXPECT_GE(polled, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(pcsc.script.statusCalls, polled) << "polled after the window closed";
    CStatusThread::stopThread();  // nothing to stop: no effect
    EXPECT_TRUE(CStatusThread::startThread(0x1234)) << "a new window gets a worker again";
    CStatusThread::stopThread();
}

}  // namespace
}  // namespace kivo::test
