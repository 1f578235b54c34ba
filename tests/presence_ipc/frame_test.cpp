// Opening the application's pipe, and frames in both directions, against the
// fake application over a real socket (or named pipe).
#include <future>
#include <memory>
#include <vector>

#include "fake_discord.h"
#include "presence_ipc/ipc_channel.h"
#include "presence_test_support.h"

namespace kiln::test {
namespace {

using namespace presence_ipc;

FakeDiscord::Options At(const PipeFolder& folder, int digit,
                        FakeLocation location = FakeLocation::Base) {
    return FakeDiscord::Options{folder.Path(), digit, location, ""};
}

// What the closed hook of the channel under test was told.
std::vector<std::pair<int32_t, std::string>> closures;

class Frames : public ::testing::Test {
  protected:
    // Connected to a fresh application, which sends nothing unasked.
    void SetUp() override {
        TearDown();
        closures.clear();
        fake.reset();  // the old instance first: they share the name
        fake = std::make_unique<FakeDiscord>(At(folder, 0));
        channel = std::make_unique<IpcChannel>();
        channel->pipe = &pipe;
        channel->closedHook = [](int32_t code, const char* message) {
            closures.emplace_back(code, message);
        };
        CopyText(channel->applicationId, "1000000000000000001");
        channel->OpenChannel();
        ASSERT_TRUE(WaitUntil([&] { return fake->Frames().size() == 1; }));
        // Only READY ends the wait for the answer.
        fake->Send(1, R"({"cmd":"DISPATCH","evt":"SOMETHING_ELSE"})");
        channel->OpenChannel();
        ASSERT_EQ(channel->State(), ChannelState::HandshakeSent);
        fake->Send(1, kReadyWithUser);
        channel->OpenChannel();
        ASSERT_EQ(channel->State(), ChannelState::Connected);
    }
    void TearDown() override { pipe.ClosePipe(); }

    bool Receive() { return channel->ReceiveFrame(reply); }
    const char* Event() { return reply.evt; }
    void ExpectClosedWith(int32_t code, const std::string& message) {
        EXPECT_EQ(channel->State(), ChannelState::Disconnected);
        EXPECT_FALSE(pipe.IsOpen());
        EXPECT_EQ(closures, (decltype(closures){{code, message}}));
    }

    PipeFolder folder;
    std::unique_ptr<FakeDiscord> fake;
    PipeConnection pipe;
    std::unique_ptr<IpcChannel> channel;
    Reply reply;
};

TEST_F(Frames, WholeFramesBothWaysPingsAnsweredPongsSkipped) {
    std::string payload = R"({"nonce":"1","cmd":"SET_ACTIVITY"})";
    ASSERT_TRUE(channel->SendFrame(payload.data(), payload.size()));
    std::string frames = EncodeFrame(3, "[1]") + EncodeFrame(3, "") + EncodeFrame(4, "{}") +
                         EncodeFrame(1, R"({"evt":"LAST"})") + EncodeFrame(1, "");
    // Fewer than eight bytes stay in the pipe until the rest completes them.
    fake->SendRaw(frames.substr(0, 5));
    EXPECT_FALSE(Receive());
    fake->SendRaw(frames.substr(5));
    ASSERT_TRUE(Receive());
    EXPECT_STREQ(Event(), "LAST");
    ASSERT_TRUE(Receive());  // an empty message holds nothing
    EXPECT_EQ(reply.evt, nullptr);
    EXPECT_FALSE(Receive());
    ASSERT_TRUE(WaitUntil([&] { return fake->Frames().size() == 4; }));
    std::vector<std::pair<uint32_t, std::string>> sent;
    for (const Frame& frame : fake->Frames()) {
        sent.emplace_back(frame.opcode, frame.payload);
    }
    EXPECT_EQ(sent, (decltype(sent){{0, R"({"v":1,"client_id":"1000000000000000001"})"},
                                    {1, payload},
                                    {4, "[1]"},
                                    {4, ""}}));

    // A flood of Pings is answered at a bounded rate, a bounded number per call.
    std::string flood;
    for (int i = 0; i < 3 * kControlFramesPerRead; ++i) {
        flood += EncodeFrame(3, "{}");
    }
    fake->SendRaw(flood + EncodeFrame(1, R"({"evt":"AFTER"})"));
    int calls = 1;
    for (; !Receive(); ++calls) {
        ASSERT_LT(calls, 10);
    }
    EXPECT_STREQ(Event(), "AFTER");
    EXPECT_EQ(calls, 4);
    ASSERT_TRUE(WaitUntil([&] { return fake->FramesWithOpcode(4).size() >= kPongsPerSecond; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_LE(fake->FramesWithOpcode(4).size(), 2u + 2 * kPongsPerSecond);

    // What was sent before the application went is still read; then the loss shows.
    fake->Send(1, R"({"evt":"BEFORE"})");
    fake->Drop();
    ASSERT_TRUE(Receive());
    EXPECT_STREQ(Event(), "BEFORE");
    EXPECT_FALSE(Receive());
    ExpectClosedWith(1, "Pipe closed");
}

TEST_F(Frames, CloseFramesAndBrokenFramesCloseTheChannel) {
    struct {
        std::string bytes;
        int32_t code;
        std::string message;
    } cases[] = {
        {EncodeFrame(2, R"({"code":4000,"message":"Invalid Client ID"})"), 4000,
         "Invalid Client ID"},
        // Members of the wrong type count as missing, as do those of a root that is not an object.
        {EncodeFrame(2, R"({"code":"4000","message":"code is a string"})"), 0, "code is a string"},
        {EncodeFrame(2, R"({"code":2147483648,"message":7})"), 0, ""},
        {EncodeFrame(2, R"([{"code":1,"message":"m"}])"), 0, ""},
        {EncodeFrame(2, Cat(R"({"code":5,"message":")", std::string(300, 'm'), "\"}")), 5,
         std::string(255, 'm')},
        {EncodeFrame(5, "{}"), 2, "Bad ipc frame"},
        {EncodeFrame(1, std::string(100, ' ')).substr(0, 68), 2, "Partial data in frame"},
        {EncodeFrame(1, std::string(65528, 'y')), 2,
         "Bad ipc frame"},  // no room for its terminator
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.bytes.substr(8, 40));
        SetUp();
        fake->SendRaw(c.bytes);
        EXPECT_FALSE(Receive());
        ExpectClosedWith(c.code, c.message);
    }
}

// --- finding the instance

class OpenPipe : public ::testing::Test {
  protected:
    void TearDown() override { pipe.ClosePipe(); }
    PipeFolder folder;
    PipeConnection pipe;
};

TEST_F(OpenPipe, LowestExistingInstanceIsUsed) {
    EXPECT_FALSE(pipe.OpenPipe());
    std::pair<int, FakeLocation> cases[] = {
        {9, FakeLocation::Base}, {0, FakeLocation::Flatpak}, {4, FakeLocation::Snap}, {1, {}}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        FakeDiscord fake(At(folder, cases[i].first, cases[i].second));
        ASSERT_TRUE(pipe.OpenPipe());
        EXPECT_TRUE(WaitUntil([&] { return fake.Connections() == 1; }));
        pipe.ClosePipe();
    }
    FakeDiscord three(At(folder, 3));
    FakeDiscord two(At(folder, 2));
    ASSERT_TRUE(pipe.OpenPipe());
    EXPECT_TRUE(WaitUntil([&] { return two.Connections() == 1; }));
    EXPECT_EQ(three.Connections(), 0);
}

TEST_F(OpenPipe, BusyInstanceIsWaitedForNotSkipped) {
    FakeDiscord one(At(folder, 1));
    for (bool released : {true, false}) {
        auto zero = std::make_unique<FakeDiscord>(At(folder, 0));
        zero->Occupy();
        auto opened = std::async(std::launch::async, [this] { return pipe.OpenPipe(); });
        EXPECT_EQ(opened.wait_for(300ms), std::future_status::timeout);
        if (released) {
            zero->Release();
            EXPECT_TRUE(opened.get());
            EXPECT_TRUE(WaitUntil([&] { return zero->Connections() == 1; }));
        } else {
            zero.reset();  // the instance goes away while the client waits for it
            EXPECT_FALSE(opened.get());
        }
        pipe.ClosePipe();
    }
    EXPECT_EQ(one.Connections(), 0);
}

}  // namespace
}  // namespace kiln::test
