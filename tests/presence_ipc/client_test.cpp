// The client as the plug-in uses it: its four operations and its IO thread,
// against the fake application.
#include <future>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "fake_discord.h"
#include "platform/process.h"
#include "presence_test_support.h"

#ifndef _WIN32
#include <sys/socket.h>
#endif

namespace kiln::test {
namespace {

using namespace presence_ipc;
using Events = std::vector<std::string>;

// The handlers run on the thread that calls RunPresenceCallbacks or
// ShutdownPresence: the test's own.
Events events;
Events TakeEvents() {
    return std::exchange(events, {});
}
const PresenceHandlers kHandlers{
    [](const PresenceUser& u) {
        events.push_back(Cat("ready ", u.id, " ", u.username, " ", u.discriminator, " ", u.avatar));
    },
    [](int32_t code, const char* text) {
        events.push_back(Cat("disconnected ", std::to_string(code), " ", text));
    },
    [](int32_t code, const char* text) {
        events.push_back(Cat("error ", std::to_string(code), " ", text));
    },
};
const char* const kReadyEvent = "ready 1045800378228281345 kiln 0042 a_5f1e";

RichPresence Titled(const char* details) {
    RichPresence record{};
    CopyText(record.details, details);
    return record;
}

std::string ActivityText(const RichPresence& record, int32_t nonce) {
    char text[kActivityCapacity];
    return std::string(
        text, WriteActivityMessage(text, sizeof text, nonce, platform::CurrentProcessId(), record));
}

// While held, no pass of the IO thread runs.
std::unique_lock<Mutex> HoldPasses() {
    return std::unique_lock<Mutex>(Client().ioThread.load()->wakeLock);
}

// Passes of the IO thread, woken for at once.
void RunPasses(uint64_t count) {
    const uint64_t passes = PassesCompleted();
    ASSERT_TRUE(WaitWaking([&] { return PassesCompleted() >= passes + count; }));
}

class PresenceClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetClient();
        TakeEvents();
    }
    void TearDown() override { ResetClient(); }
    void StartFake(const char* ready = kReadyWithUser) {
        fake.reset();  // the old instance first: they share the name
        fake = std::make_unique<FakeDiscord>(FakeDiscord::Options{folder.Path(), 0, {}, ready});
    }
    // A fresh application, and the client connected to it.
    void Connect(const PresenceHandlers* handlers) {
        StartFake();
        InitializePresence("1", handlers);
        ASSERT_TRUE(ConnectNow());
    }
    std::vector<Frame> Activities() { return fake->FramesWithOpcode(1); }
    bool WaitForState(ChannelState state) {
        return WaitWaking([state] { return Client().channel.State() == state; });
    }
    // The application ends the connection with a Close frame.
    void CloseFromApplication(int code, const std::string& message) {
        fake->Send(2, Cat(R"({"code":)", std::to_string(code), R"(,"message":")", message, "\"}"));
        ASSERT_TRUE(WaitForState(ChannelState::Disconnected));
    }

    PipeFolder folder;
    std::unique_ptr<FakeDiscord> fake;
};

TEST_F(PresenceClientTest, FirstConnectionCarriesTheStoredUpdateAndReadyTheUser) {
    StartFake();
    RichPresence record = Titled("Waiting in the slot");
    UpdatePresence(record);
    InitializePresence("1234567", &kHandlers);
    ASSERT_TRUE(WaitForState(ChannelState::Connected));
    {
        auto held = HoldPasses();
        EXPECT_EQ(Client().backoff.currentDelayMs, 500);  // reset by READY
    }
    ASSERT_TRUE(WaitWaking([&] { return Activities().size() >= 1; }));
    EXPECT_EQ(Activities()[0].payload, ActivityText(record, 1));
    RunPresenceCallbacks();
    EXPECT_EQ(TakeEvents(), Events{kReadyEvent});

    // A later READY without avatar and discriminator: the avatar empties, the
    // discriminator stays.
    StartFake(R"({"cmd":"DISPATCH","data":{"user":{"id":"77","username":"u"}},"evt":"READY"})");
    ASSERT_TRUE(WaitForState(ChannelState::Disconnected));
    ASSERT_TRUE(ConnectNow());
    RunPresenceCallbacks();
    EXPECT_EQ(TakeEvents().back(), "ready 77 u 0042 ");
}

TEST_F(PresenceClientTest, OnlyTheNewestIsSentAndIsBackAtOnceWhenARestartedApplicationIsReady) {
    Connect(nullptr);
    {
        auto held = HoldPasses();
        UpdatePresence(Titled("first"));
        UpdatePresence(Titled("second"));
        UpdatePresence(Titled("third"));
    }
    RunPasses(2);
    // The fake reads on a thread of its own; frames arrive in the order sent,
    // so the first to arrive being the newest means the older ones never left.
    ASSERT_TRUE(WaitUntil([&] { return !Activities().empty(); }));
    const std::string third = Activities()[0].payload;
    EXPECT_EQ(third, ActivityText(Titled("third"), 3));

    StartFake();  // the application restarts
    ASSERT_TRUE(WaitForState(ChannelState::Disconnected));
    {
        auto held = HoldPasses();
        Client().backoff.currentDelayMs = 30000;  // the attempt after the next is far away
    }
    AttemptNow();
    ASSERT_TRUE(WaitUntil([&] { return fake->FramesWithOpcode(0).size() == 1; }));
    // Sent at the READY, long before the 30 s back-off would allow an attempt.
    ASSERT_TRUE(WaitUntil([&] { return Activities().size() == 1; }, 3000ms));
    RunPresenceCallbacks();  // without handlers: nothing to call
    // Not rebuilt: the same text, with the nonce it was built with.
    EXPECT_EQ(Activities()[0].payload, third);
}

TEST_F(PresenceClientTest, EventsAreReportedInTheOrderTheyHappened) {
    Connect(&kHandlers);
    CloseFromApplication(4000, "gone");
    ASSERT_TRUE(ConnectNow());
    RunPresenceCallbacks();
    EXPECT_EQ(TakeEvents(), (Events{"disconnected 4000 gone", kReadyEvent}));
    // Two losses before the next call: reported once, with the later reason.
    CloseFromApplication(4001, "first");
    ASSERT_TRUE(ConnectNow());
    CloseFromApplication(4002, "second");
    auto held = HoldPasses();  // no reconnection while the events are collected
    RunPresenceCallbacks();
    EXPECT_EQ(TakeEvents(), (Events{kReadyEvent, "disconnected 4002 second"}));
}

TEST_F(PresenceClientTest, ErrorRepliesNeedANonceShutdownReportsOnceAndARestartTakesItsId) {
    Connect(&kHandlers);
    struct {
        std::string replies;
        Events expected;
    } cases[] = {
        // Both waiting at once: the one without a nonce must not replace the first.
        {EncodeFrame(1, R"({"data":{"code":7,"message":"x"},"evt":"ERROR","nonce":"5"})") +
             EncodeFrame(1, R"({"data":{"code":6,"message":"y"},"evt":"ERROR"})"),
         {kReadyEvent, "error 7 x"}},
        {EncodeFrame(1, R"({"evt":"ERROR","nonce":"6"})"), {"error 0 "}},
        {EncodeFrame(1, R"({"evt":"ERROR","nonce":null,"data":{"code":1}})") +
             EncodeFrame(1, R"({"evt":"error","nonce":"7","data":{"code":2}})") +
             EncodeFrame(1, R"({"cmd":"SET_ACTIVITY","evt":null,"nonce":"8"})"),
         {}},
    };
    for (const auto& c : cases) {
        fake->SendRaw(c.replies);
        RunPasses(2);
        RunPresenceCallbacks();
        EXPECT_EQ(TakeEvents(), c.expected);
    }
    ShutdownPresence();
    EXPECT_EQ(TakeEvents(), Events{"disconnected 0 "});
    EXPECT_TRUE(fake->WaitForDisconnect(3000ms));
    ShutdownPresence();  // not running: harmless, reports nothing
    RunPresenceCallbacks();
    EXPECT_TRUE(TakeEvents().empty());

    // A new start takes its id, cut to 63 bytes; a second one changes nothing.
    std::string id(100, '7');
    Client().nextAttemptTime = AttemptClock::now() + 1h;  // no attempt before both starts
    InitializePresence(id.c_str(), nullptr);
    InitializePresence("second", &kHandlers);
    ASSERT_TRUE(ConnectNow());
    EXPECT_EQ(fake->FramesWithOpcode(0).back().payload,
              Cat(R"({"v":1,"client_id":")", id.substr(0, 63), "\"}"));
    RunPresenceCallbacks();
    EXPECT_TRUE(TakeEvents().empty());
}

// An application that floods Pings and stops reading: no write waits past its
// deadline, the connection is dropped and made again with the presence stored
// meanwhile, and a shutdown during such a write returns promptly.
TEST_F(PresenceClientTest, APeerThatStopsReadingIsDroppedNotWaitedFor) {
    Connect(nullptr);
    std::atomic<bool> flooding{false};
    std::thread flood;
    auto stall = [&] {
#ifndef _WIN32
        // A small socket buffer, as the fake's named pipe has on Windows, so
        // that a few Pongs fill it.
        int room = 4096;
        setsockopt(static_cast<int>(ProcessPipeConnection().Handle()), SOL_SOCKET, SO_SNDBUF, &room,
                   sizeof room);
#endif
        fake->PauseReading(true);
        flooding = true;
        flood = std::thread([&] {
            const std::string ping = EncodeFrame(3, std::string(2000, 'p'));
            while (flooding.load()) {
                if (!fake->SendRaw(ping)) {
                    std::this_thread::sleep_for(1ms);
                }
            }
        });
        // Stuck in a write: no pass ends for a while.
        uint64_t passes = PassesCompleted();
        ASSERT_TRUE(WaitUntil([&] {
            const uint64_t before = passes;
            IoThread()->Wake();
            std::this_thread::sleep_for(300ms);
            passes = PassesCompleted();
            return passes == before;
        }));
    };
    auto calm = [&] {
        flooding = false;
        flood.join();
        fake->PauseReading(false);
    };

    stall();
    UpdatePresence(Titled("newer"));  // stored while the write is stuck
    const bool dropped = WaitForState(ChannelState::Disconnected);
    calm();
    ASSERT_TRUE(dropped);
    fake->Drop();  // and the application lets go of its end
    ASSERT_TRUE(ConnectNow());
    std::vector<Frame> all;
    ASSERT_TRUE(WaitWaking([&] {
        all = Activities();
        return !all.empty() && all.back().connection == 2;
    }));
    EXPECT_EQ(all.back().payload, ActivityText(Titled("newer"), 1));

    stall();
    auto shutdown = std::async(std::launch::async, [] { ShutdownPresence(); });
    const bool prompt = shutdown.wait_for(3s) == std::future_status::ready;
    calm();
    EXPECT_TRUE(prompt);
}

TEST_F(PresenceClientTest, PacedToFivePerWindowNewestLastNeverTheSameTwice) {
    Connect(nullptr);
    for (int i = 1; i <= 8; ++i) {
        UpdatePresence(Titled(Cat("update ", std::to_string(i)).c_str()));
        RunPasses(2);
    }
    ASSERT_TRUE(WaitWaking([&] { return Activities().size() >= 5; }));
    EXPECT_EQ(Activities().size(), 5u);
    AdvancePacing(kPacingWindowSeconds - 1);
    RunPasses(2);
    EXPECT_EQ(Activities().size(), 5u) << "a sixth inside the window";
    AdvancePacing(1);
    ASSERT_TRUE(WaitWaking([&] { return Activities().size() >= 6; }));
    EXPECT_EQ(Activities()[5].payload, ActivityText(Titled("update 8"), 8));

    // What the application shows already is not sent again, whatever its nonce.
    AdvancePacing();
    UpdatePresence(Titled("update 8"));
    RunPasses(2);
    EXPECT_EQ(Activities().size(), 6u);
    // Unless the application refused it.
    fake->Send(1, R"({"cmd":"SET_ACTIVITY","data":{"code":4000,"message":"bad"},)"
                  R"("evt":"ERROR","nonce":"8"})");
    RunPasses(2);
    UpdatePresence(Titled("update 8"));
    ASSERT_TRUE(WaitWaking([&] { return Activities().size() >= 7; }));
    EXPECT_EQ(Activities()[6].payload, ActivityText(Titled("update 8"), 10));
}

// A shutdown (quit) with an update held back by the pacing: the update is
// dropped rather than waited for, and the connection ends at once, which is
// what takes the shown presence away.
TEST_F(PresenceClientTest, AShutdownDropsAnUpdateHeldBackByThePacingAndEndsTheConnection) {
    Connect(nullptr);
    for (int i = 0; i <= kPacedSends; ++i) {
        UpdatePresence(Titled(Cat("update ", std::to_string(i)).c_str()));
        RunPasses(2);
    }
    ASSERT_TRUE(
        WaitWaking([&] { return Activities().size() >= static_cast<size_t>(kPacedSends); }));
    ASSERT_EQ(Activities().size(), static_cast<size_t>(kPacedSends));
    auto shutdown = std::async(std::launch::async, [] { ShutdownPresence(); });
    EXPECT_EQ(shutdown.wait_for(3s), std::future_status::ready);
    EXPECT_TRUE(fake->WaitForDisconnect(3s));
    EXPECT_EQ(Activities().size(), static_cast<size_t>(kPacedSends));
}

TEST(Backoff, GrowsByAFactorFromOneToThreeUpToAMinute) {
    ResetClient();
    int64_t previous = Client().backoff.currentDelayMs;
    for (int step = 0; step < 100; ++step) {
        auto before = AttemptClock::now();
        ScheduleReconnect();
        int64_t delay = Client().backoff.currentDelayMs;
        EXPECT_GE(delay, previous);
        EXPECT_LE(delay, std::min<int64_t>(3 * previous - 1, 60000));
        EXPECT_GE(Client().nextAttemptTime, before + std::chrono::milliseconds(delay));
        EXPECT_LE(Client().nextAttemptTime, AttemptClock::now() + std::chrono::milliseconds(delay));
        previous = delay;
    }
    EXPECT_EQ(previous, 60000);
}

}  // namespace
}  // namespace kiln::test
