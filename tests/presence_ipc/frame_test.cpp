// Opening the application's pipe, and frames in both directions, against the
// fake application over a real socket (or named pipe).
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "fake_discord.h"
#include "presence_ipc/ipc_channel.h"
#include "presence_test_support.h"

namespace kiln::test {
namespace {

using presence_ipc::ChannelState;
using presence_ipc::IpcChannel;
using presence_ipc::PipeConnection;
using presence_ipc::ReplyDocument;

FakeDiscord::Options At(const PipeFolder& folder, int digit,
                        FakeLocation location = FakeLocation::Base) {
    FakeDiscord::Options options;
    options.folder = folder.Path();
    options.digit = digit;
    options.location = location;
    options.readyPayload = "";
    return options;
}

// What the closed hook of the channel under test was told.
struct Closure {
    int32_t code;
    std::string message;
};
std::vector<Closure> closures;
void RecordClosure(int32_t code, const char* message) {
    closures.push_back({code, message});
}

class Frames : public ::testing::Test {
  protected:
    void SetUp() override {
        closures.clear();
        fake = std::make_unique<FakeDiscord>(At(folder, 0));
        channel = std::make_unique<IpcChannel>();
        channel->pipe = &pipe;
        channel->closedHook = RecordClosure;
        presence_ipc::CopyText(channel->applicationId, "1000000000000000001");
        // Opening sends the handshake; the fake sends nothing unasked.
        channel->OpenChannel();
        ASSERT_EQ(channel->State(), ChannelState::HandshakeSent);
        ASSERT_TRUE(fake->WaitForFrames(1, 3000ms));
        channel->state = ChannelState::Connected;
    }
    void TearDown() override { pipe.ClosePipe(); }

    // A fresh application and channel, for tables of cases.
    void Restart() {
        TearDown();
        fake.reset();
        closures.clear();
        SetUp();
    }
    bool Receive() { return channel->ReceiveFrame(reply); }
    void ExpectClosedWith(int32_t code, const std::string& message) {
        EXPECT_EQ(channel->lastErrorCode, code);
        EXPECT_EQ(std::string(channel->lastErrorMessage), message);
        EXPECT_EQ(channel->State(), ChannelState::Disconnected);
        EXPECT_FALSE(pipe.IsOpen());
        ASSERT_EQ(closures.size(), 1u);
        EXPECT_EQ(closures[0].code, code);
        EXPECT_EQ(closures[0].message, message);
    }

    PipeFolder folder;
    std::unique_ptr<FakeDiscord> fake;
    PipeConnection pipe;
    std::unique_ptr<IpcChannel> channel;
    ReplyDocument reply;
};

TEST_F(Frames, HandshakeIsTheFirstFrame) {
    std::vector<Frame> frames = fake->Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].opcode, 0u);
    EXPECT_EQ(frames[0].payload, R"({"v":1,"client_id":"1000000000000000001"})");
    EXPECT_EQ(fake->Bytes(), EncodeFrame(0, frames[0].payload));
}

TEST_F(Frames, MessageIsReturnedParsed) {
    fake->Send(1, R"({"cmd":"SET_ACTIVITY","evt":null,"nonce":"3"})");
    ASSERT_TRUE(Receive());
    EXPECT_STREQ(presence_ipc::GetStringMember(reply.Root(), "nonce", nullptr), "3");
    EXPECT_FALSE(Receive());  // nothing more waiting
    EXPECT_EQ(channel->lastErrorCode, 0);
    EXPECT_TRUE(pipe.IsOpen());
}

TEST_F(Frames, EmptyMessageIsAnEmptyObject) {
    fake->Send(1, "");
    ASSERT_TRUE(Receive());
    ASSERT_TRUE(reply.Root()->IsObject());
    EXPECT_EQ(reply.Root()->MemberCount(), 0u);
}

TEST_F(Frames, FewerThanEightBytesWaitAndStay) {
    std::string frame = EncodeFrame(1, R"({"evt":"LATE"})");
    fake->SendRaw(frame.substr(0, 5));
    EXPECT_FALSE(Receive());
    EXPECT_EQ(channel->lastErrorCode, 0);
    EXPECT_TRUE(pipe.IsOpen());
    EXPECT_EQ(channel->State(), ChannelState::Connected);
    EXPECT_TRUE(closures.empty());
    // The five bytes were left in the pipe: the rest completes the frame.
    fake->SendRaw(frame.substr(5));
    ASSERT_TRUE(Receive());
    EXPECT_STREQ(presence_ipc::GetStringMember(reply.Root(), "evt", nullptr), "LATE");
}

TEST_F(Frames, PartialPayloadClosesTheChannel) {
    fake->SendRaw(EncodeHeader(1, 100) + std::string(60, ' '));
    EXPECT_FALSE(Receive());
    ExpectClosedWith(2, "Partial data in frame");
}

TEST_F(Frames, PingIsAnsweredWithinTheSameReceive) {
    fake->Send(3, "hello");
    fake->Send(1, R"({"evt":"AFTER"})");
    ASSERT_TRUE(Receive());
    EXPECT_STREQ(presence_ipc::GetStringMember(reply.Root(), "evt", nullptr), "AFTER");
    ASSERT_TRUE(fake->WaitForFrames(2, 3000ms));
    std::vector<Frame> frames = fake->Frames();
    EXPECT_EQ(frames[1].opcode, 4u);
    EXPECT_EQ(frames[1].payload, "hello");
    std::string handshake = EncodeFrame(0, frames[0].payload);
    EXPECT_EQ(fake->Bytes(), handshake + EncodeHeader(4, 5) + "hello");
}

TEST_F(Frames, TwoPingsAPongAndAMessage) {
    fake->SendRaw(EncodeFrame(3, "[1]") + EncodeFrame(3, "") + EncodeFrame(4, "{}") +
                  EncodeFrame(1, R"({"evt":"LAST"})"));
    ASSERT_TRUE(Receive());
    EXPECT_STREQ(presence_ipc::GetStringMember(reply.Root(), "evt", nullptr), "LAST");
    ASSERT_TRUE(fake->WaitForFrames(3, 3000ms));
    std::vector<Frame> pongs = fake->FramesWithOpcode(4);
    ASSERT_EQ(pongs.size(), 2u);
    EXPECT_EQ(pongs[0].payload, "[1]");
    EXPECT_EQ(pongs[1].payload, "");
    EXPECT_EQ(channel->State(), ChannelState::Connected);
}

TEST_F(Frames, CloseFrames) {
    struct {
        std::string payload;
        int32_t code;
        std::string message;
    } cases[] = {
        {R"({"code":4000,"message":"Invalid Client ID"})", 4000, "Invalid Client ID"},
        {R"({"code":"4000","message":"code is a string"})", 0, "code is a string"},
        {R"({"code":1000})", 1000, ""},
        {"not json", 0, ""},
        {Cat(R"({"code":5,"message":")", std::string(300, 'm'), "\"}"), 5, std::string(255, 'm')},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.payload.substr(0, 40));
        Restart();
        fake->Send(2, c.payload);
        EXPECT_FALSE(Receive());
        ExpectClosedWith(c.code, c.message);
    }
}

TEST_F(Frames, UnknownOpcodesAreBadFrames) {
    for (uint32_t opcode : {0u, 5u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(opcode);
        Restart();
        fake->Send(opcode, "{}");
        EXPECT_FALSE(Receive());
        ExpectClosedWith(2, "Bad ipc frame");
    }
}

TEST_F(Frames, PayloadThatCannotBeTerminatedIsABadFrame) {
    // 65527 bytes fit with their terminator; one more does not.
    std::string fits = Cat("\"", std::string(65525, 'x'), "\"");
    fake->Send(1, fits);
    ASSERT_TRUE(Receive());
    EXPECT_EQ(reply.Root()->GetStringLength(), 65525u);

    fake->SendRaw(EncodeHeader(1, 65528) + std::string(65528, 'y'));
    EXPECT_FALSE(Receive());
    ExpectClosedWith(2, "Bad ipc frame");
}

TEST_F(Frames, LostApplicationIsAClosedPipe) {
    fake->Send(1, R"({"evt":"BEFORE"})");
    fake->Drop();
    // What was sent before the loss is still read; then the loss shows.
    ASSERT_TRUE(Receive());
    EXPECT_FALSE(Receive());
    ExpectClosedWith(1, "Pipe closed");
}

TEST_F(Frames, ReceiveOnlyWhileConnecting) {
    fake->Send(1, R"({"evt":"WAITING"})");
    channel->state = ChannelState::Disconnected;
    EXPECT_FALSE(Receive());
    EXPECT_TRUE(closures.empty());
    channel->state = ChannelState::HandshakeSent;
    EXPECT_TRUE(Receive());
}

TEST_F(Frames, NoPipeObjectIsAnInternalError) {
    channel->pipe = nullptr;
    EXPECT_FALSE(Receive());
    EXPECT_EQ(channel->lastErrorCode, 3);
    EXPECT_STREQ(channel->lastErrorMessage, "Invalid internal state");
    EXPECT_EQ(channel->State(), ChannelState::Disconnected);
}

TEST_F(Frames, SendFrameWritesOneMessageFrame) {
    std::string payload = R"({"nonce":"1","cmd":"SET_ACTIVITY"})";
    ASSERT_TRUE(channel->SendFrame(payload.data(), payload.size()));
    ASSERT_TRUE(fake->WaitForFrames(2, 3000ms));
    std::string handshake = EncodeFrame(0, fake->Frames()[0].payload);
    EXPECT_EQ(fake->Bytes(), handshake + EncodeFrame(1, payload));
}

TEST_F(Frames, FailedSendClosesTheChannel) {
    fake->Drop();
    ASSERT_TRUE(fake->WaitForDisconnect(3000ms));
    std::string payload(1000, 'p');
    // The first write may still be taken by the system; the loss shows at the
    // latest on the next. The process must survive it (no SIGPIPE).
    bool sent = channel->SendFrame(payload.data(), payload.size()) &&
                channel->SendFrame(payload.data(), payload.size());
    EXPECT_FALSE(sent);
    EXPECT_EQ(channel->State(), ChannelState::Disconnected);
    EXPECT_FALSE(pipe.IsOpen());
    // The hook hears the previous error: a failed write records none.
    ASSERT_EQ(closures.size(), 1u);
    EXPECT_EQ(closures[0].code, 0);
}

TEST_F(Frames, ReadyAnswerConnects) {
    static const ReplyDocument* seen;
    static std::string seenUser;
    seen = nullptr;
    seenUser.clear();
    channel->readyHook = [](const ReplyDocument& document) {
        seen = &document;
        const auto* user = presence_ipc::GetObjectMember(
            presence_ipc::GetObjectMember(document.Root(), "data"), "user");
        seenUser = presence_ipc::GetStringMember(user, "username", "");
    };
    channel->state = ChannelState::HandshakeSent;
    fake->Send(1, R"({"cmd":"DISPATCH","evt":"SOMETHING_ELSE"})");
    channel->OpenChannel();
    EXPECT_EQ(channel->State(), ChannelState::HandshakeSent);
    EXPECT_EQ(seen, nullptr);
    fake->Send(1, kReadyWithUser);
    channel->OpenChannel();
    EXPECT_EQ(channel->State(), ChannelState::Connected);
    EXPECT_NE(seen, nullptr);
    EXPECT_EQ(seenUser, "kiln");
    channel->OpenChannel();  // connected: nothing to do
    EXPECT_EQ(fake->Frames().size(), 1u);
}

// --- finding the instance

class OpenPipe : public ::testing::Test {
  protected:
    PipeFolder folder;
    PipeConnection pipe;
    void TearDown() override { pipe.ClosePipe(); }
};

TEST_F(OpenPipe, NoInstanceAtAll) {
    EXPECT_FALSE(pipe.OpenPipe());
    EXPECT_FALSE(pipe.IsOpen());
    EXPECT_EQ(pipe.Handle(), platform::kInvalidPipe);
}

TEST_F(OpenPipe, FirstExistingInstanceIsUsed) {
    struct {
        int digit;
        FakeLocation location;
    } cases[] = {
        {1, FakeLocation::Base},
        {9, FakeLocation::Base},
#ifndef _WIN32
        {0, FakeLocation::Flatpak},
        {4, FakeLocation::Snap},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.digit);
        FakeDiscord fake(At(folder, c.digit, c.location));
        ASSERT_TRUE(pipe.OpenPipe());
        EXPECT_TRUE(pipe.IsOpen());
        EXPECT_TRUE(fake.WaitForConnections(1, 3000ms));
        pipe.ClosePipe();
        EXPECT_FALSE(pipe.IsOpen());
        pipe.ClosePipe();  // harmless twice
    }
}

TEST_F(OpenPipe, LowerDigitWins) {
    FakeDiscord three(At(folder, 3));
    FakeDiscord two(At(folder, 2));
    ASSERT_TRUE(pipe.OpenPipe());
    EXPECT_TRUE(two.WaitForConnections(1, 3000ms));
    EXPECT_EQ(three.Connections(), 0);
}

TEST_F(OpenPipe, StoppedInstanceIsSkipped) {
    FakeDiscord zero(At(folder, 0));
    FakeDiscord one(At(folder, 1));
    zero.Stop();
    ASSERT_TRUE(pipe.OpenPipe());
    EXPECT_TRUE(one.WaitForConnections(1, 3000ms));
    EXPECT_EQ(zero.Connections(), 0);
}

TEST_F(OpenPipe, BusyInstanceIsWaitedForNotSkipped) {
    FakeDiscord zero(At(folder, 0));
    FakeDiscord one(At(folder, 1));
    zero.Occupy();
    auto opened = std::async(std::launch::async, [this] { return pipe.OpenPipe(); });
    EXPECT_EQ(opened.wait_for(300ms), std::future_status::timeout);
    zero.Release();
    ASSERT_TRUE(opened.get());
    EXPECT_TRUE(zero.WaitForConnections(1, 3000ms));
    EXPECT_EQ(one.Connections(), 0);
}

TEST_F(OpenPipe, FailedWaitGivesUp) {
    FakeDiscord zero(At(folder, 0));
    FakeDiscord one(At(folder, 1));
    zero.Occupy();
    auto opened = std::async(std::launch::async, [this] { return pipe.OpenPipe(); });
    EXPECT_EQ(opened.wait_for(300ms), std::future_status::timeout);
    zero.Stop();  // the instance goes away while the client waits for it
    EXPECT_FALSE(opened.get());
    EXPECT_EQ(pipe.Handle(), platform::kInvalidPipe);
    EXPECT_EQ(one.Connections(), 0);
}

#ifndef _WIN32
TEST_F(OpenPipe, RuntimeFolderFallsBackInOrder) {
    PipeFolder other;  // sets XDG_RUNTIME_DIR to itself; undone below
    for (const char* variable : {"TMPDIR", "TMP", "TEMP"}) {
        SCOPED_TRACE(variable);
        unsetenv("XDG_RUNTIME_DIR");
        for (const char* name : {"TMPDIR", "TMP", "TEMP"}) {
            unsetenv(name);
        }
        setenv(variable, other.Path().c_str(), 1);
        FakeDiscord fake(At(other, 0));
        ASSERT_TRUE(pipe.OpenPipe());
        EXPECT_TRUE(fake.WaitForConnections(1, 3000ms));
        pipe.ClosePipe();
    }
    for (const char* name : {"TMPDIR", "TMP", "TEMP"}) {
        unsetenv(name);
    }
    setenv("XDG_RUNTIME_DIR", folder.Path().c_str(), 1);
}
#endif

}  // namespace
}  // namespace kiln::test
