// The client as the plug-in uses it: its four operations and its IO thread,
// against the fake application.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_discord.h"
#include "platform/process.h"
#include "presence_test_support.h"

namespace kiln::test {
namespace {

using presence_ipc::AttemptClock;
using presence_ipc::ChannelState;
using presence_ipc::Client;

std::mutex eventsMutex;
std::vector<std::string> events;

void Note(std::string event) {
    std::lock_guard<std::mutex> lock(eventsMutex);
    events.push_back(std::move(event));
}
std::vector<std::string> TakeEvents() {
    std::lock_guard<std::mutex> lock(eventsMutex);
    std::vector<std::string> taken;
    taken.swap(events);
    return taken;
}

void OnReady(const PresenceUser& user) {
    Note(Cat("ready ", user.id, " ", user.username, " ", user.discriminator, " ", user.avatar));
}
void OnDisconnected(int32_t code, const char* message) {
    Note(Cat("disconnected ", std::to_string(code), " ", message));
}
void OnError(int32_t code, const char* message) {
    Note(Cat("error ", std::to_string(code), " ", message));
}
const PresenceHandlers kHandlers{OnReady, OnDisconnected, OnError};
const char* const kReadyEvent = "ready 1045800378228281345 kiln 0042 a_5f1e";

RichPresence Titled(const std::string& details) {
    RichPresence record = EmptyRecord();
    SetText(record.details, details);
    return record;
}

std::string ActivityText(const RichPresence& record, int32_t nonce) {
    char text[presence_ipc::kActivityCapacity];
    size_t length = presence_ipc::WriteActivityMessage(text, sizeof text, nonce,
                                                       platform::CurrentProcessId(), record);
    return std::string(text, length);
}

// Holds the IO thread between passes: while held, no pass runs.
class PassesHeld {
  public:
    PassesHeld() : lock_(Client().ioThread.load()->wakeLock) {}

  private:
    std::lock_guard<std::mutex> lock_;
};

class PresenceClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetClient();
        TakeEvents();
    }
    void TearDown() override {
        ResetClient();
        fake.reset();
    }
    void StartFake(std::string ready = kReadyWithUser) {
        FakeDiscord::Options options;
        options.folder = folder.Path();
        options.readyPayload = std::move(ready);
        fake = std::make_unique<FakeDiscord>(options);
    }
    std::vector<Frame> Activities() { return fake->FramesWithOpcode(1); }
    bool WaitForActivities(size_t count) {
        return WaitWaking([&] { return Activities().size() >= count; });
    }
    bool WaitForState(ChannelState state) {
        return WaitWaking([state] { return ClientState() == state; });
    }
    // The application ends the connection with a Close frame.
    void CloseFromApplication(int code, const std::string& message) {
        fake->Send(2, Cat(R"({"code":)", std::to_string(code), R"(,"message":")", message, "\"}"));
        ASSERT_TRUE(WaitForState(ChannelState::Disconnected));
    }

    PipeFolder folder;
    std::unique_ptr<FakeDiscord> fake;
};

TEST_F(PresenceClientTest, ReadyIsReadAtTheNextAttemptTime) {
    StartFake();
    RichPresence record = Titled("Waiting in the slot");
    UpdatePresence(record);  // before any start: kept for the first connection
    InitializePresence("1234567", &kHandlers);

    // The first pass opens the pipe and writes the handshake at once.
    ASSERT_TRUE(fake->WaitForFrames(1, 3000ms));
    EXPECT_EQ(fake->Frames()[0].payload, R"({"v":1,"client_id":"1234567"})");
    AttemptClock::time_point scheduled;
    {
        PassesHeld held;
        scheduled = Client().nextAttemptTime;
        int64_t delay = Client().backoff.currentDelayMs;
        EXPECT_GE(delay, 500);
        EXPECT_LE(delay, 1499);
        // The READY answer is already waiting but is looked for only then.
        if (AttemptClock::now() < scheduled) {
            EXPECT_EQ(ClientState(), ChannelState::HandshakeSent);
        }
    }
    ASSERT_TRUE(WaitForState(ChannelState::Connected));
    EXPECT_GE(AttemptClock::now(), scheduled);
    {
        PassesHeld held;
        EXPECT_EQ(Client().backoff.currentDelayMs, 500);  // reset by READY
    }
    ASSERT_TRUE(WaitForActivities(1));
    EXPECT_EQ(Activities()[0].payload, ActivityText(record, 1));
    RunPresenceCallbacks();
    EXPECT_EQ(TakeEvents(), std::vector<std::string>{kReadyEvent});
}

TEST_F(PresenceClientTest, ThreeUpdatesBetweenTwoPassesSendOnlyTheThird) {
    StartFake();
    InitializePresence("1", nullptr);
    ASSERT_TRUE(ConnectNow());
    {
        PassesHeld held;
        UpdatePresence(Titled("first"));
        UpdatePresence(Titled("second"));
        UpdatePresence(Titled("third"));
    }
    ASSERT_TRUE(WaitForActivities(1));
    ASSERT_TRUE(RunOnePass());
    std::vector<Frame> sent = Activities();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].payload, ActivityText(Titled("third"), 3));
}

TEST_F(PresenceClientTest, LastMessageIsSentAgainAfterAReconnect) {
    StartFake();
    InitializePresence("1", nullptr);
    ASSERT_TRUE(ConnectNow());
    UpdatePresence(Titled("kept"));
    ASSERT_TRUE(WaitForActivities(1));
    fake->Drop();
    ASSERT_TRUE(WaitForState(ChannelState::Disconnected));
    ASSERT_TRUE(ConnectNow());
    ASSERT_TRUE(WaitForActivities(2));
    std::vector<Frame> sent = Activities();
    EXPECT_EQ(sent[0].connection, 1);
    EXPECT_EQ(sent[1].connection, 2);
    // Not rebuilt: the same text, with the nonce it was built with.
    EXPECT_EQ(sent[1].payload, sent[0].payload);
    EXPECT_EQ(sent[1].payload, ActivityText(Titled("kept"), 1));
}

TEST_F(PresenceClientTest, RestartWaitsForTheAttemptTimeALossScheduled) {
    StartFake();
    InitializePresence("1", nullptr);
    ASSERT_TRUE(ConnectNow());
    UpdatePresence(Titled("one"));
    ASSERT_TRUE(WaitForActivities(1));
    fake->Drop();
    ASSERT_TRUE(WaitForState(ChannelState::Disconnected));
    AttemptClock::time_point scheduled;
    {
        PassesHeld held;
        scheduled = Client().nextAttemptTime;
    }
    ShutdownPresence();
    InitializePresence("1", nullptr);
    {
        PassesHeld held;
        EXPECT_EQ(Client().nextAttemptTime, scheduled);
        if (AttemptClock::now() < scheduled) {
            EXPECT_EQ(fake->Connections(), 1);
        }
    }
    ASSERT_TRUE(fake->WaitForConnections(2, 5000ms));
    EXPECT_GE(AttemptClock::now(), scheduled);
    // Nonces go on from where the first client left them.
    ASSERT_TRUE(ConnectNow());
    UpdatePresence(Titled("two"));
    ASSERT_TRUE(WaitForActivities(2));
    EXPECT_EQ(Activities().back().payload, ActivityText(Titled("two"), 2));
}

TEST_F(PresenceClientTest, LossThenReadyIsReportedInThatOrder) {
    StartFake();
    InitializePresence("1", &kHandlers);
    ASSERT_TRUE(ConnectNow());
    RunPresenceCallbacks();
    EXPECT_EQ(TakeEvents(), std::vector<std::string>{kReadyEvent});
    CloseFromApplication(4000, "gone");
    ASSERT_TRUE(ConnectNow());
    RunPresenceCallbacks();
    EXPECT_EQ(TakeEvents(), (std::vector<std::string>{"disconnected 4000 gone", kReadyEvent}));
}

TEST_F(PresenceClientTest, ReadyThenLossIsReportedInThatOrder) {
    StartFake();
    InitializePresence("1", &kHandlers);
    ASSERT_TRUE(ConnectNow());
    CloseFromApplication(4001, "bye");
    PassesHeld held;  // no reconnection while the events are collected
    RunPresenceCallbacks();
    EXPECT_EQ(TakeEvents(), (std::vector<std::string>{kReadyEvent, "disconnected 4001 bye"}));
}

TEST_F(PresenceClientTest, TwoLossesAreReportedOnceWithTheLaterReason) {
    StartFake();
    InitializePresence("1", &kHandlers);
    ASSERT_TRUE(ConnectNow());
    RunPresenceCallbacks();
    TakeEvents();
    CloseFromApplication(4001, "first");
    ASSERT_TRUE(ConnectNow());
    CloseFromApplication(4002, "second");
    PassesHeld held;
    RunPresenceCallbacks();
    EXPECT_EQ(TakeEvents(), (std::vector<std::string>{kReadyEvent, "disconnected 4002 second"}));
}

TEST_F(PresenceClientTest, ErrorRepliesNeedANonce) {
    StartFake();
    InitializePresence("1", &kHandlers);
    ASSERT_TRUE(ConnectNow());
    RunPresenceCallbacks();
    TakeEvents();
    struct {
        std::string replies;
        std::vector<std::string> expected;
    } cases[] = {
        // Both waiting at once: the one without a nonce must not replace the first.
        {EncodeFrame(1, R"({"cmd":"SET_ACTIVITY","data":{"code":7,"message":"x"},)"
                        R"("evt":"ERROR","nonce":"5"})") +
             EncodeFrame(1, R"({"cmd":"SET_ACTIVITY","data":{"code":6,"message":"y"},)"
                            R"("evt":"ERROR"})"),
         {"error 7 x"}},
        {EncodeFrame(1, R"({"evt":"ERROR","nonce":"6"})"), {"error 0 "}},
        {EncodeFrame(1, R"({"evt":"ERROR","nonce":null,"data":{"code":1}})") +
             EncodeFrame(1, R"({"evt":"error","nonce":"7","data":{"code":2}})") +
             EncodeFrame(1, R"({"cmd":"SET_ACTIVITY","evt":null,"nonce":"8"})"),
         {}},
    };
    for (auto& c : cases) {
        fake->SendRaw(c.replies);
        ASSERT_TRUE(RunOnePass());
        RunPresenceCallbacks();
        EXPECT_EQ(TakeEvents(), c.expected);
    }
    EXPECT_EQ(ClientState(), ChannelState::Connected);
}

TEST_F(PresenceClientTest, ShutdownReportsOnceAndNothingFollows) {
    StartFake();
    InitializePresence("1", &kHandlers);
    ASSERT_TRUE(ConnectNow());
    RunPresenceCallbacks();
    TakeEvents();
    ShutdownPresence();
    EXPECT_EQ(TakeEvents(), std::vector<std::string>{"disconnected 0 "});
    EXPECT_TRUE(fake->WaitForDisconnect(3000ms));
    EXPECT_FALSE(Client().justDisconnected.load());
    ShutdownPresence();  // not running: harmless, reports nothing
    RunPresenceCallbacks();
    EXPECT_TRUE(TakeEvents().empty());
}

TEST_F(PresenceClientTest, ShutdownBeforeReadyCallsNothing) {
    StartFake("");  // never answers the handshake
    InitializePresence("1", &kHandlers);
    ASSERT_TRUE(fake->WaitForFrames(1, 3000ms));
    RunPresenceCallbacks();
    ShutdownPresence();
    EXPECT_TRUE(TakeEvents().empty());
}

TEST_F(PresenceClientTest, AbsentHandlersStillConsumeEvents) {
    StartFake();
    InitializePresence("1", nullptr);
    ASSERT_TRUE(ConnectNow());
    CloseFromApplication(4000, "x");
    EXPECT_TRUE(Client().justConnected.load());
    EXPECT_TRUE(Client().justDisconnected.load());
    RunPresenceCallbacks();
    EXPECT_FALSE(Client().justConnected.load());
    EXPECT_FALSE(Client().justDisconnected.load());
    EXPECT_TRUE(TakeEvents().empty());
}

TEST_F(PresenceClientTest, SecondStartChangesNothing) {
    StartFake("");
    InitializePresence("first", nullptr);
    InitializePresence("second", &kHandlers);
    ASSERT_TRUE(fake->WaitForFrames(1, 3000ms));
    EXPECT_EQ(fake->Frames()[0].payload, R"({"v":1,"client_id":"first"})");
    ShutdownPresence();
    EXPECT_TRUE(TakeEvents().empty());
    InitializePresence("second", nullptr);
    AttemptNow();
    ASSERT_TRUE(fake->WaitForFrames(2, 3000ms));
    EXPECT_EQ(fake->Frames()[1].payload, R"({"v":1,"client_id":"second"})");
}

TEST_F(PresenceClientTest, ApplicationIdIsCut) {
    StartFake("");
    std::string id(100, '7');
    InitializePresence(id.c_str(), nullptr);
    ASSERT_TRUE(fake->WaitForFrames(1, 3000ms));
    EXPECT_EQ(fake->Frames()[0].payload, Cat(R"({"v":1,"client_id":")", id.substr(0, 63), "\"}"));
}

TEST_F(PresenceClientTest, UserRecordFollowsWhatReadyCarries) {
    StartFake();
    InitializePresence("1", &kHandlers);
    struct {
        const char* ready;
        const char* event;
    } cases[] = {
        {kReadyWithUser, kReadyEvent},
        // No avatar and no discriminator: the avatar empties, the discriminator stays.
        {R"({"cmd":"DISPATCH","data":{"user":{"id":"77","username":"other"}},"evt":"READY"})",
         "ready 77 other 0042 "},
        {kReadyWithoutUser, "ready 77 other 0042 "},
        {R"({"cmd":"DISPATCH","data":{"user":{"username":"no id","avatar":"z"}},"evt":"READY"})",
         "ready 77 other 0042 "},
        {R"({"cmd":"DISPATCH","data":{"user":{"id":"8","username":"u","discriminator":"1234567890",)"
         R"("avatar":"b"}},"evt":"READY"})",
         "ready 8 u 1234567 b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ready);
        fake->SetReadyPayload(c.ready);
        if (ClientState() == ChannelState::Connected) {
            CloseFromApplication(4000, "again");
        }
        ASSERT_TRUE(ConnectNow());
        RunPresenceCallbacks();
        std::vector<std::string> seen = TakeEvents();
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back(), c.event);
    }
}

TEST_F(PresenceClientTest, FirstAttemptAtOnceThenBackOff) {
    InitializePresence("1", nullptr);  // no application running
    ASSERT_TRUE(WaitUntil([] { return PassesCompleted() >= 1; }));
    PassesHeld held;
    int64_t delay = Client().backoff.currentDelayMs;
    EXPECT_GE(delay, 500);
    EXPECT_LE(delay, 1499);
    EXPECT_LE(Client().nextAttemptTime, AttemptClock::now() + std::chrono::milliseconds(delay));
    EXPECT_EQ(ClientState(), ChannelState::Disconnected);
}

TEST_F(PresenceClientTest, NewerMessageWinsOverAFailedSend) {
    StartFake();
    InitializePresence("1", nullptr);
    ASSERT_TRUE(ConnectNow());
    fake->PauseReading(true);
    // Large messages fill the pipe until a send blocks; the IO thread then
    // stops finishing passes.
    std::string url = Cat("https://example.org/", std::string(15000, 'u'));
    auto big = [&url](int i) {
        RichPresence record = Titled(Cat("big ", std::to_string(i)));
        record.buttonLabel = "b";
        record.buttonUrl = url.c_str();
        return record;
    };
    bool blocked = false;
    int sent = 0;
    for (; sent < 400 && !blocked; ++sent) {
        uint64_t before = PassesCompleted();
        UpdatePresence(big(sent));
        blocked = !WaitUntil([before] { return PassesCompleted() > before; }, 1500ms);
    }
    ASSERT_TRUE(blocked);
    RichPresence newer = Titled("newer");
    UpdatePresence(newer);  // stored while the send is stuck
    int32_t newerNonce = sent + 1;
    fake->Drop();  // the stuck send fails
    fake->PauseReading(false);
    ASSERT_TRUE(WaitForState(ChannelState::Disconnected));
    ASSERT_TRUE(ConnectNow());
    ASSERT_TRUE(WaitWaking([&] {
        std::vector<Frame> all = Activities();
        return !all.empty() && all.back().connection == 2;
    }));
    std::vector<Frame> all = Activities();
    EXPECT_EQ(all.back().payload, ActivityText(newer, newerNonce));
    for (const Frame& frame : all) {
        if (frame.connection == 2) {
            EXPECT_EQ(frame.payload.find("big "), std::string::npos);
        }
    }
}

TEST_F(PresenceClientTest, StressNewestActivityWins) {
    StartFake();
    InitializePresence("1", nullptr);
    std::atomic<bool> stop{false};
    std::thread restarter([&] {
        while (!stop) {
            std::this_thread::sleep_for(200ms);
            fake->Stop();
            std::this_thread::sleep_for(20ms);
            fake->Start();
            AttemptNow();
        }
    });
    // Updates for a fixed time rather than a fixed count, so that several
    // restarts fall inside however fast the system sleeps.
    std::atomic<int> updates{0};
    auto deadline = std::chrono::steady_clock::now() + 1200ms;
    auto updater = [&updates, deadline](int thread) {
        for (int i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
            RichPresence record =
                Titled(Cat("thread ", std::to_string(thread), " #", std::to_string(i)));
            record.startTime = i;
            UpdatePresence(record);
            updates.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    };
    std::thread first(updater, 1);
    std::thread second(updater, 2);
    first.join();
    second.join();
    stop = true;
    restarter.join();

    std::string newest;
    {
        std::lock_guard<std::mutex> lock(Client().presenceLock);
        newest.assign(Client().slot.text, Client().slot.length);
    }
    // The newest message carries the last nonce handed out.
    EXPECT_NE(newest.find(Cat(R"("nonce":")", std::to_string(updates.load()), "\"")),
              std::string::npos);
    EXPECT_TRUE(WaitUntil(
        [&] {
            AttemptNow();
            std::vector<Frame> all = Activities();
            return !all.empty() && all.back().payload == newest;
        },
        10000ms));
    EXPECT_GT(fake->Connections(), 1);
}

TEST(Backoff, GrowsByAFactorFromOneToThreeUpToAMinute) {
    ResetClient();
    presence_ipc::ReconnectBackoff& backoff = Client().backoff;
    int64_t previous = backoff.currentDelayMs;
    bool capped = false;
    for (int step = 0; step < 100; ++step) {
        auto before = AttemptClock::now();
        presence_ipc::ScheduleReconnect();
        auto after = AttemptClock::now();
        int64_t delay = backoff.currentDelayMs;
        EXPECT_GE(delay, previous);
        EXPECT_LE(delay, std::min<int64_t>(3 * previous - 1, 60000));
        EXPECT_GE(Client().nextAttemptTime, before + std::chrono::milliseconds(delay));
        EXPECT_LE(Client().nextAttemptTime, after + std::chrono::milliseconds(delay));
        if (capped) {
            EXPECT_EQ(delay, 60000);
        }
        capped = delay == 60000;
        previous = delay;
    }
    EXPECT_TRUE(capped);
    ResetClient();
}

TEST(Backoff, StepArithmeticOnTheStandardGenerator) {
    ResetClient();
    presence_ipc::ReconnectBackoff& backoff = Client().backoff;
    // MT19937-64 seeded with 5489 first yields 14514284786278117030, a factor
    // of 0.78682...: 500 + trunc(500 * 2 * 0.78682...) = 1286.
    backoff.random.seed(5489);
    backoff.seeded = true;
    presence_ipc::ScheduleReconnect();
    EXPECT_EQ(backoff.currentDelayMs, 1286);
    ResetClient();
}

TEST(Backoff, SeededOnceFromTheTimeInSeconds) {
    presence_ipc::ReconnectBackoff backoff;
    auto seconds = [] {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    int64_t before = seconds();
    presence_ipc::DrawBackoffFactor(backoff);
    int64_t after = seconds();
    bool matched = false;
    for (int64_t s = before; s <= after && !matched; ++s) {
        std::mt19937_64 expected(static_cast<uint64_t>(s));
        expected.discard(1);
        matched = expected == backoff.random;
    }
    EXPECT_TRUE(matched);
    std::mt19937_64 state = backoff.random;
    double second = presence_ipc::DrawBackoffFactor(backoff);
    EXPECT_EQ(second, static_cast<double>(state()) * 0x1p-64);  // not seeded again
    EXPECT_GE(second, 0.0);
    EXPECT_LT(second, 1.0);
}

}  // namespace
}  // namespace kiln::test
