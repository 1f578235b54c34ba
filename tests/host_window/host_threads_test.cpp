// Thread handles: waiting, reaping, closing while running, many starters, and
// threads that outlive their owner.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

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
    bool passed = false;

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
    gate->passed = true;
    gate->changed.notify_all();
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

unsigned Quick(void* argument) {
    static_cast<std::atomic<int>*>(argument)->fetch_add(1);
    return 0;
}

TEST(HostThreadsTest, ManyThreadsFromManyStartersGetDistinctHandles) {
    HostThreads threads;
    std::atomic<int> ran{0};
    std::vector<std::vector<ThreadHandle>> started(4);
    std::vector<std::thread> starters;
    for (auto& mine : started) {
        starters.emplace_back([&] {
            for (int i = 0; i < 16; ++i) {
                mine.push_back(threads.Start(Quick, &ran));
            }
            for (ThreadHandle handle : mine) {
                EXPECT_EQ(threads.Wait(handle, -1), HostThreads::kEnded);
                EXPECT_EQ(threads.Reap(&handle), 1);
            }
        });
    }
    for (auto& starter : starters) {
        starter.join();
    }
    std::set<ThreadHandle> distinct;
    for (const auto& mine : started) {
        distinct.insert(mine.begin(), mine.end());
    }
    EXPECT_EQ(distinct.size(), 64u);
    EXPECT_EQ(ran, 64);
    EXPECT_EQ(threads.OpenHandles(), 0);
}

TEST(HostThreadsTest, AThreadMayOutliveItsHostThreadsObject) {
    auto threads = std::make_unique<HostThreads>();
    static Gate gate;  // outlives the thread, which reads it after the gate opens
    threads->Start(WaitAtGate, &gate);
    threads.reset();
    // The thread still finishes its bookkeeping; the sanitizers watch it.
    gate.Open();
    std::unique_lock lock(gate.mutex);
    EXPECT_TRUE(gate.changed.wait_for(lock, 10s, [] { return gate.passed; }));
}

}  // namespace
}  // namespace kiln::host
