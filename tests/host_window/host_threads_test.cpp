// Thread handles: waiting, reaping, closing while running and closing from
// the thread itself.
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

// A routine that runs until its gate opens, then returns its code. (A mutex
// rather than a std::future: ThreadSanitizer sees through the former only.)
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    bool passed = false;
    unsigned code = 0;

    void Open() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
    void WaitPassed() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return passed; });
    }
};

unsigned WaitAtGate(void* argument) {
    auto* gate = static_cast<Gate*>(argument);
    std::unique_lock lock(gate->mutex);
    gate->changed.wait(lock, [&] { return gate->open; });
    gate->passed = true;
    gate->changed.notify_all();
    return gate->code;
}

TEST(HostThreadsTest, WaitAndReapFollowTheThreadsEnd) {
    HostThreads threads;
    Gate gate;
    gate.code = 42;
    ThreadHandle handle = threads.Start(WaitAtGate, &gate);
    ASSERT_NE(handle, nullptr);

    EXPECT_EQ(threads.Wait(handle, 0), HostThreads::kTimedOut);
    EXPECT_EQ(threads.Wait(handle, 20), HostThreads::kTimedOut);
    EXPECT_FALSE(threads.HasEnded(handle));
    EXPECT_FALSE(threads.ExitCode(handle, nullptr));
    ThreadHandle running = handle;
    EXPECT_EQ(threads.Reap(&running), 0);
    EXPECT_EQ(running, handle);
    EXPECT_EQ(threads.LiveThreads(), 1);

    gate.Open();
    EXPECT_EQ(threads.Wait(handle, -1), HostThreads::kEnded);
    // An ended thread's handle answers at once, as often as asked.
    EXPECT_EQ(threads.Wait(handle, 0), HostThreads::kEnded);
    EXPECT_TRUE(threads.HasEnded(handle));
    unsigned code = 0;
    EXPECT_TRUE(threads.ExitCode(handle, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(threads.LiveThreads(), 0);

    EXPECT_EQ(threads.Reap(&handle), 1);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(threads.Reap(&handle), 0);
    EXPECT_EQ(threads.Reap(nullptr), 0);
    EXPECT_EQ(threads.OpenHandles(), 0);
    EXPECT_EQ(threads.BadHandleUses(), 0);
}

TEST(HostThreadsTest, ClosingARunningThreadDetachesIt) {
    HostThreads threads;
    Gate gate;
    ThreadHandle handle = threads.Start(WaitAtGate, &gate);
    EXPECT_TRUE(threads.Close(handle));
    EXPECT_EQ(threads.OpenHandles(), 0);
    EXPECT_EQ(threads.LiveThreads(), 1);

    // The closed handle is refused, however it is used.
    EXPECT_FALSE(threads.Close(handle));
    EXPECT_EQ(threads.Wait(handle, 0), HostThreads::kBadHandle);
    EXPECT_FALSE(threads.HasEnded(handle));
    ThreadHandle copy = handle;
    EXPECT_EQ(threads.Reap(&copy), 0);
    EXPECT_EQ(threads.BadHandleUses(), 4);

    EXPECT_FALSE(threads.WaitAllEnded(10ms));
    gate.Open();
    EXPECT_TRUE(threads.WaitAllEnded(10s));
    EXPECT_EQ(threads.LiveThreads(), 0);
}

// A routine that closes its own handle before it ends, as the plug-in's
// background threads do.
struct SelfClosing {
    HostThreads* threads;
    std::mutex mutex;
    std::condition_variable known;
    ThreadHandle handle = nullptr;
    std::atomic<bool> closed{false};
};
unsigned CloseOwnHandle(void* argument) {
    auto* self = static_cast<SelfClosing*>(argument);
    ThreadHandle own = nullptr;
    {
        std::unique_lock lock(self->mutex);
        self->known.wait(lock, [&] { return self->handle != nullptr; });
        own = self->handle;
    }
    self->closed = self->threads->Close(own);
    return 0;
}

TEST(HostThreadsTest, AThreadMayCloseItsOwnHandle) {
    HostThreads threads;
    SelfClosing self{&threads};
    ThreadHandle handle = threads.Start(CloseOwnHandle, &self);
    {
        std::lock_guard lock(self.mutex);
        self.handle = handle;
        self.known.notify_all();
    }
    EXPECT_TRUE(threads.WaitAllEnded(10s));
    EXPECT_TRUE(self.closed);
    EXPECT_EQ(threads.OpenHandles(), 0);
    EXPECT_EQ(threads.BadHandleUses(), 0);
}

unsigned Quick(void* argument) {
    static_cast<std::atomic<int>*>(argument)->fetch_add(1);
    return 7;
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
    EXPECT_TRUE(threads.WaitAllEnded(10s));
    EXPECT_EQ(threads.OpenHandles(), 0);
    EXPECT_EQ(threads.Start(nullptr, nullptr), nullptr);
}

TEST(HostThreadsTest, AThreadMayOutliveItsHostThreadsObject) {
    auto threads = std::make_unique<HostThreads>();
    static Gate gate;  // outlives the thread, which reads it after the gate opens
    std::atomic<int> ran{0};
    threads->Start(WaitAtGate, &gate);
    ThreadHandle quick = threads->Start(Quick, &ran);
    threads->Wait(quick, -1);
    threads.reset();
    // The thread still finishes its bookkeeping; the sanitizers watch it.
    gate.Open();
    gate.WaitPassed();
    EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace kiln::host
