// The POSIX single-instance lock with real processes: of many starts at the same moment
// exactly one gets the lock, the kernel drops it with its holder, and a second start can
// ask the holder to come to the front.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/instance_lock.h"
#include "platform/threads.h"

namespace {

std::string UniqueName(const char* what) {
    return std::string("orvane-test-") + what + "-" + std::to_string(getpid());
}

TEST(InstanceLock, ExactlyOneOfSimultaneousStartsGetsIt) {
    const std::string name = UniqueName("race");
    constexpr int kStarts = 12;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t children[kStarts];
    for (int i = 0; i < kStarts; ++i) {
        children[i] = fork();
        ASSERT_GE(children[i], 0);
        if (children[i] == 0) {
            close(go[1]);
            char byte;
            // All wait at the same gate, then race for the lock.
            if (read(go[0], &byte, 1) != 0) _exit(3);
            const bool got = AcquireSingleInstanceLock(name.c_str());
            // Hold it long enough that every other start has tried.
            SleepMs(500);
            _exit(got ? 0 : 1);
        }
    }
    close(go[0]);
    close(go[1]);  // opens the gate for all at once
    int holders = 0;
    int refused = 0;
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 0) ++holders;
        if (WEXITSTATUS(status) == 1) ++refused;
    }
    EXPECT_EQ(holders, 1);
    EXPECT_EQ(refused, kStarts - 1);
}

TEST(InstanceLock, ReleasedWhenTheHolderDies) {
    const std::string name = UniqueName("release");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const char got = AcquireSingleInstanceLock(name.c_str()) ? 'y' : 'n';
        if (write(ready[1], &got, 1) != 1) _exit(2);
        pause();  // killed below, never ends by itself
        _exit(0);
    }
    char got = 0;
    ASSERT_EQ(read(ready[0], &got, 1), 1);
    EXPECT_EQ(got, 'y');
    // While it runs, a child of ours cannot have it.
    const pid_t second = fork();
    if (second == 0) _exit(AcquireSingleInstanceLock(name.c_str()) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(second, &status, 0), second);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    // Killed outright: nothing of it is left to release by hand.
    kill(holder, SIGKILL);
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    const pid_t third = fork();
    if (third == 0) _exit(AcquireSingleInstanceLock(name.c_str()) ? 0 : 1);
    ASSERT_EQ(waitpid(third, &status, 0), third);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(ready[0]);
    close(ready[1]);
}

std::atomic<int> g_activations{0};
void CountActivation() { ++g_activations; }

TEST(InstanceLock, SecondStartInThisProcessIsRefusedAndCanActivate) {
    const std::string name = UniqueName("activate");
    SetInstanceActivationHandler(CountActivation);
    ASSERT_TRUE(AcquireSingleInstanceLock(name.c_str()));
    EXPECT_FALSE(AcquireSingleInstanceLock(name.c_str()));
    ActivateRunningInstance(name.c_str());
    const long long deadline = MonotonicMs() + 5000;
    while (g_activations.load() == 0 && MonotonicMs() < deadline) SleepMs(5);
    EXPECT_EQ(g_activations.load(), 1);
    // Nobody holds another name; activating it does nothing and does not block.
    ActivateRunningInstance(UniqueName("nobody").c_str());
    SetInstanceActivationHandler(nullptr);
}

}  // namespace
