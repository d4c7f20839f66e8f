#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/threads.h"

namespace {

TEST(StopSignalTest, AWaitEndsAsSoonAsTheFlagIsRaised) {
    StopSignal signal;
    std::thread raiser([&] {
        SleepMs(50);
        signal.Raise();
    });
    const long long start = MonotonicMs();
    EXPECT_TRUE(signal.WaitMs(10000));
    // Far below the 10 s the wait would otherwise take; generous for a loaded machine.
    EXPECT_LT(MonotonicMs() - start, 5000);
    raiser.join();
    EXPECT_TRUE(signal.IsRaised());
    EXPECT_TRUE(signal.WaitMs(10000)) << "a raised flag ends every later wait at once";
}

TEST(StopSignalTest, AnUnraisedWaitTakesItsFullTime) {
    StopSignal signal;
    const long long start = MonotonicMs();
    EXPECT_FALSE(signal.WaitMs(100));
    EXPECT_GE(MonotonicMs() - start, 95);
    signal.Raise();
    signal.Clear();
    EXPECT_FALSE(signal.IsRaised());
    EXPECT_FALSE(signal.WaitMs(1));
}

std::atomic<int> g_ran{0};
void Body(void* arg) { g_ran = *static_cast<int*>(arg); }

TEST(DetachedThreadTest, RunsTheBodyWithItsArgument) {
    static int value = 42;
    ASSERT_TRUE(StartDetachedThread(Body, &value));
    for (int i = 0; i < 1000 && g_ran == 0; ++i) SleepMs(5);
    EXPECT_EQ(g_ran, 42);
}

}  // namespace
