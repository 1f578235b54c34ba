// Thread handles: waiting, reaping and closing while running.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "host/host_threads.h"

namespace kiln::host {
namespace {

using namespace std::chrono_literals;

// A routine that runs until its gate opens. (A mutex rather than a
// std::future: ThreadSanitizer sees through the former only.)
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;

    void Open() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

unsigned WaitAtGate(void* argument) {
    auto* gate = static_cast<Gate*>(argument);
    std::unique_lock lock(gate->mutex);
    gate->changed.wait(lock, [&] { return gate->open; });
    return 0;
}

TEST(HostThreadsTest, WaitAndReapFollowTheThreadsEndAndClosedHandlesAreRefused) {
    HostThreads threads;
    Gate gate;
    ThreadHandle handle = threads.Start(WaitAtGate, &gate);
    EXPECT_EQ(threads.Wait(handle, 20), HostThreads::kTimedOut);
    ThreadHandle running = handle;
    EXPECT_EQ(threads.Reap(&running), 0);
    EXPECT_EQ(running, handle);

    gate.Open();
    EXPECT_EQ(threads.Wait(handle, -1), HostThreads::kEnded);
    // An ended thread's handle answers at once, as often as asked.
    EXPECT_EQ(threads.Wait(handle, 0), HostThreads::kEnded);
    EXPECT_EQ(threads.Reap(&handle), 1);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(threads.Reap(&handle), 0);
    EXPECT_EQ(threads.BadHandleUses(), 0);

    // Closing a running thread's handle detaches the thread, which runs on;
    // the closed handle is refused, however it is used.
    Gate second;
    handle = threads.Start(WaitAtGate, &second);
    EXPECT_TRUE(threads.Close(handle));
    EXPECT_EQ(threads.OpenHandles(), 0);
    EXPECT_EQ(threads.LiveThreads(), 1);
    EXPECT_FALSE(threads.Close(handle));
    EXPECT_EQ(threads.Wait(handle, 0), HostThreads::kBadHandle);
    EXPECT_EQ(threads.Reap(&handle), 0);
    EXPECT_EQ(threads.BadHandleUses(), 3);
    EXPECT_FALSE(threads.WaitAllEnded(10ms));
    second.Open();
    EXPECT_TRUE(threads.WaitAllEnded(10s));
}

}  // namespace
}  // namespace kiln::host
