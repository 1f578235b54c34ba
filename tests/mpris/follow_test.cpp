// kiln-host following a real player: mpv with its MPRIS plug-in on a private
// session bus, driven through mpv's own IPC socket, while the plug-in writes
// its files and talks to local fakes of the web services and of Discord.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stb/stb_image_write.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iterator>
#include <mutex>
#include <sstream>

#include "fake_discord.h"
#include "host/mpris_follower.h"
#include "host/sample_media.h"
#include "outputs/picture.h"
#include "presence_checks.h"
#include "presence_test_support.h"
#include "scrobbler/fake_scrobbler.h"
#include "support/plugin_host.h"
#include "support/post_receiver.h"

extern char** environ;

namespace kiln::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
constexpr int64_t kNow = 1700000000;
constexpr int kWaitMs = 20000;

// A program the test starts from its words (and files), killed at the end.
class Child {
  public:
    ~Child() { Kill(); }
    void Spawn(const std::string& words, const std::vector<fs::path>& files = {}) {
        std::istringstream in(words);
        std::vector<std::string> args(std::istream_iterator<std::string>(in), {});
        args.insert(args.end(), files.begin(), files.end());
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = 0;
        }
    }
    // Gone at once, without a word to anyone.
    void Kill() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = 0;
        }
    }

  private:
    pid_t pid_ = 0;
};

// A session bus of the test's own, found by the follower and the players
// through the environment.
class PrivateBus : public Child {
  public:
    explicit PrivateBus(const fs::path& socket) : socket_(socket) { Start(); }
    void Start() {
        fs::remove(socket_);
        const std::string address = "unix:path=" + socket_.string();
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        Spawn("dbus-daemon --session --nofork --address=" + address);
        for (int i = 0; i < 200 && !fs::exists(socket_); ++i) {
            usleep(25000);
        }
    }

  private:
    fs::path socket_;
};

// A real mpv, silent and in real time, taking commands on its IPC socket.
class Mpv : public Child {
  public:
    Mpv(const fs::path& socket, const std::vector<fs::path>& files) : socket_(socket) {
        Spawn(
            "mpv --no-config --idle=yes --no-terminal --vo=null --ao=null "
            "--audio-samplerate=48000 --audio-format=s16 "
            "--script=/usr/lib/mpv-mpris/mpris.so --input-ipc-server=" +
                socket.string(),
            files);
    }
    ~Mpv() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    // One JSON IPC command, such as ["playlist-next"].
    bool Send(const std::string& command) {
        for (int i = 0; i < 200 && fd_ < 0; ++i) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
            fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
            if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                close(fd_);
                fd_ = -1;
                usleep(25000);
            }
        }
        const std::string line = R"({"command":)" + command + "}\n";
        return fd_ >= 0 &&
               send(fd_, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size());
    }

  private:
    fs::path socket_;
    int fd_ = -1;
};

// The plug-in with every output on, each pointed at a local fake, and
// kiln-host's follower feeding it.
struct FollowRig {
    explicit FollowRig(std::string player = {}) {
        const std::string base = "http://127.0.0.1:" + std::to_string(posts.Port());
        const std::wstring wbase(base.begin(), base.end());
        plugin.host().SetNow(kNow);
        plugin.host().MapHost("ws.audioscrobbler.com", scrobbler.Address());
        for (auto [key, value] : {std::pair{L"logging_on", L"1"s},
                                  {L"now_logging_on", L"3"s},
                                  {L"postmodes", L"15"s},
                                  {L"updatediscord", L"1"s},
                                  {L"scrobble", L"3"s},
                                  {L"prepost", L"0"s},
                                  {L"file", L"history.txt"s},
                                  {L"format", L"%title%"s},
                                  {L"art_now_file", L"now.png"s},
                                  {L"postplay", wbase + L"/play?title=%title%"},
                                  {L"postpause", wbase + L"/pause?title=%title%"},
                                  {L"postunpause", wbase + L"/unpause?title=%title%"},
                                  {L"poststop", wbase + L"/stop"},
                                  {L"sk", L"fakesessionkey0123456789abcdef01"s}}) {
            plugin.SetText(key, value.c_str());
        }
        plugin.settings().WriteTemplate(L"gen_kiln", L"discord", L"[%artist% - ]%title%");
        // Each 60 s item reaches its scrobble point as the plug-in looks: the
        // clock moves on by half its length right after the hook saw it start.
        plugin.windows().SetMainWindowHandler([this](unsigned message, uintptr_t, intptr_t code) {
            started += message == 0x0400 && code == 13003;
        });
        plugin.Start();
        follower = std::make_unique<host::MprisFollower>(
            plugin.host(),
            host::FollowerOptions{.player = player, .report = [this](const std::string& line) {
                                      std::lock_guard guard(lock);
                                      reports.push_back(line);
                                  }});
        EXPECT_TRUE(follower->Start());
    }
    fs::path Track(const std::string& folder, host::SampleRecipe recipe) {
        recipe.seconds = 60;
        return host::WriteSampleTrack(plugin.profile() / "media" / folder, recipe);
    }
    std::vector<std::string> Posts() {
        std::vector<std::string> targets;
        for (const ArrivedRequest& request : posts.Requests()) {
            targets.push_back(request.target);
        }
        return targets;
    }
    // The presence last shown, as "details|small image".
    std::string Presence() {
        const std::vector<Frame> frames = discord.FramesWithOpcode(1);
        return frames.empty() ? ""
                              : Activity(frames.back().payload, "details") + "|" +
                                    Activity(frames.back().payload, "assets/small_image");
    }
    // Until `count` requests arrived and the presence shows `presence` (the
    // presence client may hold back updates that come too fast, never the last).
    bool WaitFor(size_t count, const std::string& presence = {}) {
        return plugin.RunUntil(
            [&] {
                if (advanced < started) {
                    plugin.host().AdvanceClock(30);
                    ++advanced;
                }
                return posts.Requests().size() >= count &&
                       (presence.empty() || Presence() == presence);
            },
            kWaitMs);
    }
    // What the follower reported and the receiver got, for failure messages.
    std::string Log() {
        std::lock_guard guard(lock);
        std::string log;
        for (const std::string& line : reports) {
            log += "follower: " + line + "\n";
        }
        return log + "POST " + testing::PrintToString(Posts());
    }
    uint32_t ArtCentre() {
        return ReadPicture(ReadFileBytes(plugin.LogsFolder() / "now.png")).Centre() & 0xffffff;
    }

    PipeFolder pipes;
    PrivateBus bus{fs::path(pipes.Path()) / "bus"};
    FakeDiscord discord{FakeDiscord::Options{pipes.Path(), 0}};
    FakeScrobbleService scrobbler;
    PostReceiver posts;
    PluginHost plugin;
    int started = 0, advanced = 0;
    std::mutex lock;
    std::vector<std::string> reports;
    std::unique_ptr<host::MprisFollower> follower;
};

TEST(Follow, EveryOutputFollowsARealPlayerThroughPauseNextStopAndItsEnd) {
    FollowRig rig;
    // The first folder has a cover file, which mpv names as the item's art
    // and which wins over the file's own picture; the second only the file's.
    const fs::path first = rig.Track("one", {.fileName = "ember.wav",
                                             .title = L"Ember",
                                             .artist = L"Kiln Trio",
                                             .withCover = true,
                                             .coverColour = 0xffff0000,
                                             .coverAsPng = true});
    const std::vector<unsigned char> blue = {0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255};
    ASSERT_TRUE(
        stbi_write_png((first.parent_path() / "cover.png").c_str(), 2, 2, 3, blue.data(), 6));
    const fs::path second = rig.Track("two", {.fileName = "clef.wav",
                                              .title = L"\U0001D11E\U0001D122",
                                              .artist = L"Kiln Trio",
                                              .withCover = true,
                                              .coverColour = 0xff00ff00,
                                              .coverAsPng = true});
    const fs::path third =
        rig.Track("two", {.fileName = "coda.wav", .title = L"Coda", .artist = L"Ash"});
    const std::string clef = "\xF0\x9D\x84\x9E\xF0\x9D\x84\xA2";

    const std::string ember = "Kiln Trio - Ember", clefShown = "Kiln Trio - " + clef;
    Mpv mpv(rig.plugin.profile() / "mpv.sock", {first, second});
    ASSERT_TRUE(rig.WaitFor(1, ember + "|play")) << rig.Log();
    EXPECT_TRUE(rig.plugin.RunUntil(
        [&] {
            return rig.ArtCentre() == 0x0000ff &&
                   ReadFileBytes(rig.plugin.LogsFolder() / "kiln_log_now.txt").starts_with(ember);
        },
        kWaitMs))
        << "the now-playing text, and the player's art address before the file's picture";
    const struct {
        std::string command, presence;
    } steps[] = {{R"(["set_property","pause",true])", ember + "|pause"},
                 {R"(["set_property","pause",false])", ember + "|play"},
                 {R"(["playlist-next"])", clefShown + "|play"},
                 {R"(["stop"])", clefShown + "|stop"}};
    for (const auto& step : steps) {
        const size_t before = rig.posts.Requests().size();
        ASSERT_TRUE(mpv.Send(step.command));
        ASSERT_TRUE(rig.WaitFor(before + 1, step.presence)) << step.command << rig.Log();
    }
    EXPECT_TRUE(rig.plugin.RunUntil([&] { return rig.ArtCentre() == 0x00ff00; }, kWaitMs))
        << "the file's own picture";
    // After a stop, mpv-mpris reports "Stopped" until the pause changes.
    ASSERT_TRUE(mpv.Send(R"(["loadfile",")" + third.string() + R"("])"));
    rig.plugin.RunFor(1000);
    ASSERT_TRUE(mpv.Send(R"(["set_property","pause",true])"));
    rig.plugin.RunFor(500);
    ASSERT_TRUE(mpv.Send(R"(["set_property","pause",false])"));
    ASSERT_TRUE(rig.WaitFor(6, "Ash - Coda|play")) << rig.Log();
    ASSERT_TRUE(
        rig.plugin.RunUntil([&] { return rig.scrobbler.Scrobbles().size() == 3; }, kWaitMs));
    mpv.Kill();
    ASSERT_TRUE(rig.WaitFor(7, "Ash - Coda|stop")) << rig.Log();

    EXPECT_EQ(rig.Posts(),
              (std::vector<std::string>{
                  "/play?title=Ember", "/pause?title=Ember", "/unpause?title=Ember",
                  "/play?title=%F0%9D%84%9E%F0%9D%84%A2", "/stop", "/play?title=Coda", "/stop"}));
    std::vector<std::string> scrobbled;
    for (const ScrobbledTrack& track : rig.scrobbler.Scrobbles()) {
        scrobbled.push_back(track.track + "@" + std::to_string(track.timestamp - kNow));
    }
    EXPECT_EQ(scrobbled, (std::vector<std::string>{"Ember@0", clef + "@30", "Coda@60"}));
    std::string history = ReadFileBytes(rig.plugin.LogsFolder() / "history.txt");
    std::erase(history, '\r');
    EXPECT_EQ(history, "Ember\n" + clef + "\nCoda\n");
}

TEST(Follow, PlayersComingAndGoingAndTheBusGoingAwayAndBack) {
    FollowRig rig;
    const fs::path alpha = rig.Track("a", {.fileName = "a.wav", .title = L"Alpha"});
    const fs::path beta = rig.Track("b", {.fileName = "b.wav", .title = L"Beta"});
    {
        Mpv one(rig.plugin.profile() / "one.sock", {alpha});
        ASSERT_TRUE(rig.WaitFor(1));
        Mpv two(rig.plugin.profile() / "two.sock", {beta});
        ASSERT_TRUE(rig.WaitFor(2));
        // The one that still plays is followed again: a new start of its item.
        two.Kill();
        ASSERT_TRUE(rig.WaitFor(3));
        ASSERT_TRUE(one.Send(R"(["quit"])"));
        ASSERT_TRUE(rig.WaitFor(4));
        Mpv three(rig.plugin.profile() / "three.sock", {alpha});
        ASSERT_TRUE(rig.WaitFor(5));
        rig.bus.Kill();
        ASSERT_TRUE(rig.WaitFor(6)) << rig.Log();
    }
    rig.bus.Start();
    Mpv four(rig.plugin.profile() / "four.sock", {alpha});
    ASSERT_TRUE(rig.WaitFor(7)) << rig.Log();
    EXPECT_EQ(rig.Posts(), (std::vector<std::string>{
                               "/play?title=Alpha", "/play?title=Beta", "/play?title=Alpha",
                               "/stop", "/play?title=Alpha", "/stop", "/play?title=Alpha"}));
}

}  // namespace
}  // namespace kiln::test
