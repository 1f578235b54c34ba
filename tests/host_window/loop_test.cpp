// The main loop: posted messages, the hook, timers, waiting and quitting.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "host/window_system.h"
#include "recorder.h"

namespace kiln::host {
namespace {

using namespace std::chrono_literals;
using wintest::Call;
using wintest::CallLog;

constexpr unsigned kIpc = 1024;

void LoggingHook(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    CallLog::Get().Add(window, message, wParam, lParam);
}

class LoopTest : public ::testing::Test {
  protected:
    void SetUp() override { CallLog::Get().Clear(); }
    WindowSystem ws;
};

TEST_F(LoopTest, PostedMessagesReachHandlerThenHookInOrderOnTheMainThread) {
    // The host's own handling logs under a marker message, the hook the message.
    constexpr unsigned kHostMarker = 0xFFFF;
    ws.SetMainWindowHandler([&](unsigned, uintptr_t wParam, intptr_t lParam) {
        CallLog::Get().Add(ws.MainWindow(), kHostMarker, wParam, lParam);
    });
    ws.SetMessageHook(LoggingHook);

    // Three other threads post 200 messages each while this one posts too.
    constexpr int kPerThread = 200;
    std::vector<std::thread> posters;
    for (int t = 1; t <= 3; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                ASSERT_TRUE(ws.PostMessage(ws.MainWindow(), kIpc, t, i));
            }
        });
    }
    for (int i = 0; i < kPerThread; ++i) {
        ASSERT_TRUE(ws.PostMessage(ws.MainWindow(), kIpc, 0, i));
    }
    for (auto& poster : posters) {
        poster.join();
    }
    ASSERT_TRUE(ws.RunUntil([] { return CallLog::Get().Size() == 2 * 4 * kPerThread; }, 10s));

    std::map<uintptr_t, intptr_t> next;  // per poster, the lParam expected next
    auto calls = CallLog::Get().Calls();
    for (size_t i = 0; i + 1 < calls.size(); i += 2) {
        const Call& host = calls[i];
        const Call& hook = calls[i + 1];
        ASSERT_EQ(host.message, kHostMarker);
        ASSERT_EQ(hook.message, kIpc);
        EXPECT_EQ(host.wParam, hook.wParam);
        EXPECT_EQ(host.lParam, hook.lParam);
        EXPECT_EQ(hook.window, ws.MainWindow());
        EXPECT_EQ(hook.thread, std::this_thread::get_id());
        EXPECT_EQ(host.thread, std::this_thread::get_id());
        EXPECT_EQ(hook.lParam, next[hook.wParam]++) << "poster " << hook.wParam;
    }
}

TEST_F(LoopTest, PostingNeedsALiveWindowAndKeepsWideParameters) {
    EXPECT_FALSE(ws.PostMessage(nullptr, kIpc, 0, 0));
    EXPECT_FALSE(ws.PostMessage(reinterpret_cast<Window>(0x1234), kIpc, 0, 0));

    ws.SetMessageHook(LoggingHook);
    const intptr_t wide = static_cast<intptr_t>(0x123456789ABCLL);
    ASSERT_TRUE(ws.PostMessage(ws.MainWindow(), kIpc, UINTPTR_MAX, wide));
    ws.RunPending();
    auto calls = CallLog::Get().Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].wParam, UINTPTR_MAX);
    EXPECT_EQ(calls[0].lParam, wide);
}

// A hook that posts again on every message: RunPending must not chase it.
WindowSystem* g_reposting = nullptr;
void RepostingHook(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    CallLog::Get().Add(window, message, wParam, lParam);
    g_reposting->PostMessage(window, message, wParam, lParam + 1);
}

TEST_F(LoopTest, RunPendingDeliversOnlyWhatWasQueuedBeforeIt) {
    g_reposting = &ws;
    ws.SetMessageHook(RepostingHook);
    ws.PostMessage(ws.MainWindow(), kIpc, 0, 0);
    ws.RunPending();
    EXPECT_EQ(CallLog::Get().Size(), 1u);
    ws.RunPending();
    ASSERT_EQ(CallLog::Get().Size(), 2u);
    EXPECT_EQ(CallLog::Get().Calls()[1].lParam, 1);
    ws.SetMessageHook(nullptr);
}

struct TimerCalls {
    std::atomic<int> count{0};
    std::atomic<bool> offMainThread{false};
    std::thread::id main;
};
TimerCalls g_timerA, g_timerB;
std::vector<Call> g_timerArgs;

void TimerA(Window window, unsigned message, uintptr_t id, uint32_t) {
    ++g_timerA.count;
    g_timerA.offMainThread = g_timerA.offMainThread || std::this_thread::get_id() != g_timerA.main;
    g_timerArgs.push_back({window, message, id, 0, {}});
}
void TimerB(Window, unsigned, uintptr_t, uint32_t) {
    ++g_timerB.count;
}

TEST_F(LoopTest, TimersRepeatOnTheMainThreadUntilKilled) {
    g_timerA.count = 0;
    g_timerA.main = std::this_thread::get_id();
    g_timerArgs.clear();
    ASSERT_EQ(ws.SetTimer(ws.MainWindow(), 738, 10, TimerA), 738u);
    ASSERT_TRUE(ws.RunUntil([] { return g_timerA.count >= 3; }, 10s));
    EXPECT_FALSE(g_timerA.offMainThread);
    for (const Call& call : g_timerArgs) {
        EXPECT_EQ(call.window, ws.MainWindow());
        EXPECT_EQ(call.message, win::kTimer);
        EXPECT_EQ(call.wParam, 738u);
    }

    EXPECT_TRUE(ws.KillTimer(ws.MainWindow(), 738));
    EXPECT_FALSE(ws.KillTimer(ws.MainWindow(), 738));
    int fired = g_timerA.count;
    ws.RunFor(60ms);
    EXPECT_EQ(g_timerA.count, fired);
}

TEST_F(LoopTest, SetTimerWithTheSameIdReplacesTheTimer) {
    g_timerA.count = 0;
    g_timerB.count = 0;
    ws.SetTimer(ws.MainWindow(), 748, 10, TimerA);
    ws.SetTimer(ws.MainWindow(), 748, 10, TimerB);
    // Another id is another timer, replaced only by its own id.
    ws.SetTimer(ws.MainWindow(), 749, 10, TimerA);
    ws.SetTimer(ws.MainWindow(), 749, 100000, TimerA);
    ASSERT_TRUE(ws.RunUntil([] { return g_timerB.count >= 3; }, 10s));
    EXPECT_EQ(g_timerA.count, 0);
}

TEST_F(LoopTest, TimersWithoutRoutineArriveAsMessagesAndDieWithTheirWindow) {
    ws.SetMessageHook(LoggingHook);
    ws.SetTimer(ws.MainWindow(), 9, 10, nullptr);
    ASSERT_TRUE(ws.RunUntil([] { return !CallLog::Get().Messages(win::kTimer).empty(); }, 10s));
    EXPECT_EQ(CallLog::Get().Messages(win::kTimer)[0].wParam, 9u);
    ws.KillTimer(ws.MainWindow(), 9);

    Window dialog =
        ws.CreateDialogFromTemplate(&wintest::kTestDialog, nullptr, wintest::LoggingDialogProc, 0);
    ASSERT_NE(dialog, nullptr);
    g_timerA.count = 0;
    ws.SetTimer(dialog, 1, 10, TimerA);
    ws.DestroyDialog(dialog);
    EXPECT_FALSE(ws.KillTimer(dialog, 1));
    EXPECT_EQ(ws.SetTimer(dialog, 1, 10, TimerA), 0u);
    ws.RunFor(40ms);
    EXPECT_EQ(g_timerA.count, 0);
}

TEST_F(LoopTest, RunUntilWaitsForOtherThreadsAndGivesUpAtTheDeadline) {
    ws.SetMessageHook(LoggingHook);
    std::thread poster([&] {
        std::this_thread::sleep_for(20ms);
        ws.PostMessage(ws.MainWindow(), kIpc, 0, 7);
    });
    EXPECT_TRUE(ws.RunUntil([] { return CallLog::Get().Size() == 1; }, 10s));
    poster.join();

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ws.RunUntil([] { return false; }, 30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

    std::atomic<bool> flag{false};
    std::thread waker([&] {
        std::this_thread::sleep_for(20ms);
        flag = true;
        ws.Wake();
    });
    EXPECT_TRUE(ws.RunUntil([&] { return flag.load(); }, 10s));
    waker.join();

    // Without a wake-up, a re-check period notices the change.
    flag = false;
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        flag = true;
    });
    EXPECT_TRUE(ws.RunUntil([&] { return flag.load(); }, 10s, 5ms));
    setter.join();
}

TEST_F(LoopTest, QuitEndsTheLoopAfterWhatWasPostedBeforeIt) {
    ws.SetMessageHook(LoggingHook);
    std::thread quitter([&] {
        ws.PostMessage(ws.MainWindow(), kIpc, 0, 1);
        ws.PostMessage(ws.MainWindow(), kIpc, 0, 2);
        ws.Quit();
    });
    quitter.join();
    EXPECT_TRUE(ws.RunUntilQuit(10s));
    EXPECT_EQ(CallLog::Get().Size(), 2u);
    // The quit was used up.
    EXPECT_FALSE(ws.RunUntilQuit(20ms));
}

TEST_F(LoopTest, RegisteredMessagesIgnoreCase) {
    unsigned code = ws.RegisterMessage("kiln_log_ipc");
    EXPECT_GE(code, 0xC000u);
    EXPECT_LE(code, 0xFFFFu);
    EXPECT_EQ(ws.RegisterMessage("KILN_Log_IPC"), code);
    unsigned other = ws.RegisterMessage("another");
    EXPECT_NE(other, code);
    EXPECT_GE(other, 0xC000u);
    EXPECT_EQ(ws.RegisterMessage(""), 0u);
    EXPECT_EQ(ws.RegisterMessage(nullptr), 0u);
}

}  // namespace
}  // namespace kiln::host
