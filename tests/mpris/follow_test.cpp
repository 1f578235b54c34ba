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

#include <sys/stat.h>

#include <sdbus-c++/sdbus-c++.h>
#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include <httplib.h>

#include "core/thread_annotations.h"
#include "fake_discord.h"
#include "host/mpris_follower.h"
#include "host/sample_media.h"
#include "outputs/picture.h"
#include "presence_checks.h"
#include "presence_test_support.h"
#include "resources/resource_ids.h"
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
        // A group of its own: what it starts in turn goes with it.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        if (posix_spawnp(&pid_, argv[0], nullptr, &attributes, argv.data(), environ) != 0) {
            pid_ = 0;
        }
        posix_spawnattr_destroy(&attributes);
    }
    // Gone at once, without a word to anyone.
    void Kill() {
        if (pid_ > 0) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = 0;
        }
    }

  private:
    pid_t pid_ = 0;
};

// A session bus of the test's own, found by the follower and the players
// through the environment. Other users may connect: VLC refuses to run as
// root, so a root test runs it as another user.
class PrivateBus : public Child {
  public:
    explicit PrivateBus(const fs::path& socket) : socket_(socket) { Start(); }
    void Start() {
        fs::remove(socket_);
        const fs::path config = socket_.string() + ".conf";
        std::ofstream(config)
            << "<busconfig><type>session</type><listen>unix:path=" << socket_.string()
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow user=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>";
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socket_.string()).c_str(), 1);
        Spawn("dbus-daemon --nofork --config-file=" + config.string());
        for (int i = 0; i < 200 && !fs::exists(socket_); ++i) {
            usleep(25000);
        }
        chmod(socket_.c_str(), 0777);
        chmod(socket_.parent_path().c_str(), 0755);
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
    explicit FollowRig(host::FollowerOptions options = {},
                       const std::wstring& historyFormat = L"%title%") {
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
                                  {L"format", historyFormat},
                                  {L"art_now_file", L"now.png"s},
                                  {L"postplay", wbase + L"/play?title=%title%"},
                                  {L"postpause", wbase + L"/pause?title=%title%"},
                                  {L"postunpause", wbase + L"/unpause?title=%title%"},
                                  {L"poststop", wbase + L"/stop?title=%title%"},
                                  {L"sk", L"fakesessionkey0123456789abcdef01"s}}) {
            plugin.SetText(key, value.c_str());
        }
        plugin.settings().WriteTemplate(L"gen_kiln", L"discord", L"[%artist% - ]%title%");
        // Each 60 s item reaches its scrobble point as the plug-in looks: the
        // clock moves on by half its length (clockStep) right after the hook
        // saw it start.
        plugin.windows().SetMainWindowHandler([this](unsigned message, uintptr_t, intptr_t code) {
            started += message == 0x0400 && code == 13003;
        });
        plugin.Start();
        options.report = [this](const std::string& line) {
            std::lock_guard guard(lock);
            reports.push_back(line);
        };
        follower = std::make_unique<host::MprisFollower>(plugin.host(), std::move(options));
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
                    plugin.host().AdvanceClock(clockStep);
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
    std::string History() {
        std::string history = ReadFileBytes(plugin.LogsFolder() / "history.txt");
        std::erase(history, '\r');
        return history;
    }
    std::vector<std::string> Scrobbled() {
        std::vector<std::string> titles;
        for (const ScrobbledTrack& track : scrobbler.Scrobbles()) {
            titles.push_back(track.track);
        }
        return titles;
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
    int started = 0, advanced = 0, clockStep = 30;
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
                  "/play?title=%F0%9D%84%9E%F0%9D%84%A2", "/stop?title=%F0%9D%84%9E%F0%9D%84%A2",
                  "/play?title=Coda", "/stop?title=Coda"}));
    std::vector<std::string> scrobbled;
    for (const ScrobbledTrack& track : rig.scrobbler.Scrobbles()) {
        scrobbled.push_back(track.track + "@" + std::to_string(track.timestamp - kNow));
    }
    EXPECT_EQ(scrobbled, (std::vector<std::string>{"Ember@0", clef + "@30", "Coda@60"}));
    EXPECT_EQ(rig.History(), "Ember\n" + clef + "\nCoda\n");
}

TEST(Follow, TwoPlayersAtOnceCountEachPlayOnceAndAStopKeepsItsItem) {
    FollowRig rig;
    const fs::path alpha = rig.Track("a", {.fileName = "a.wav", .title = L"Alpha"});
    const fs::path beta = rig.Track("b", {.fileName = "b.wav", .title = L"Beta"});
    {
        // An idle mpv says it plays, with nothing to play.
        Mpv idle(rig.plugin.profile() / "idle.sock", {});
        Mpv one(rig.plugin.profile() / "one.sock", {alpha});
        ASSERT_TRUE(rig.WaitFor(1, "Alpha|play")) << rig.Log();
        Mpv two(rig.plugin.profile() / "two.sock", {beta});
        ASSERT_TRUE(rig.WaitFor(2, "Beta|play")) << rig.Log();
        // The one that went on playing is shown again; its play goes on.
        two.Kill();
        ASSERT_TRUE(rig.WaitFor(2, "Alpha|play")) << rig.Log();
        // The end of its list, then one killed beside the idle one.
        ASSERT_TRUE(one.Send(R"(["seek",100,"absolute-percent"])"));
        ASSERT_TRUE(rig.WaitFor(3, "Alpha|stop")) << rig.Log();
        Mpv three(rig.plugin.profile() / "three.sock", {beta});
        ASSERT_TRUE(rig.WaitFor(4, "Beta|play")) << rig.Log();
        three.Kill();
        ASSERT_TRUE(rig.WaitFor(5, "Beta|stop")) << rig.Log();
        Mpv four(rig.plugin.profile() / "four.sock", {alpha});
        ASSERT_TRUE(rig.WaitFor(6)) << rig.Log();
        rig.bus.Kill();
        ASSERT_TRUE(rig.WaitFor(7)) << rig.Log();
    }
    rig.bus.Start();
    Mpv five(rig.plugin.profile() / "five.sock", {alpha});
    ASSERT_TRUE(rig.WaitFor(8)) << rig.Log();
    rig.plugin.RunFor(300);
    EXPECT_EQ(rig.Posts(), (std::vector<std::string>{"/play?title=Alpha", "/play?title=Beta",
                                                     "/stop?title=Alpha", "/play?title=Beta",
                                                     "/stop?title=Beta", "/play?title=Alpha",
                                                     "/stop?title=Alpha", "/play?title=Alpha"}))
        << rig.Log();
    EXPECT_EQ(rig.History(), "Alpha\nBeta\nBeta\nAlpha\nAlpha\n");
    // Switching players stops a scrobble clock at most; it never starts one again.
    EXPECT_LE(rig.scrobbler.Scrobbles().size(), 5u);
}

// VLC, silent, on the test's bus and driven through its MPRIS interface.
class Vlc : public Child {
  public:
    Vlc(const fs::path& home, const std::vector<fs::path>& files) {
        fs::create_directories(home);
        std::string words = "cvlc --quiet --no-video --aout=adummy";
        if (geteuid() == 0) {
            // VLC will not run as root; files and home must be open to nobody.
            for (fs::path folder = home; folder != folder.root_path();
                 folder = folder.parent_path()) {
                chmod(folder.c_str(), 0755);
            }
            for (const fs::path& file : files) {
                chmod(file.parent_path().c_str(), 0755);
            }
            (void)!chown(home.c_str(), 65534, 65534);
            words = "runuser -u nobody -- env HOME=" + home.string() + " " + words;
        }
        Spawn(words, files);
        control_ = sdbus::createSessionBusConnection();
        player_ = sdbus::createProxy(*control_, "org.mpris.MediaPlayer2.vlc", kPath);
    }
    void Call(const char* method) { player_->callMethod(method).onInterface(kInterface); }
    void Seek(int64_t byUs) {
        player_->callMethod("Seek").onInterface(kInterface).withArguments(byUs);
    }

  private:
    static constexpr const char* kPath = "/org/mpris/MediaPlayer2";
    static constexpr const char* kInterface = "org.mpris.MediaPlayer2.Player";
    std::unique_ptr<sdbus::IConnection> control_;
    std::unique_ptr<sdbus::IProxy> player_;
};

TEST(Follow, VlcPlaysPausesSeeksAndSkipsWithoutAStopBetweenItems) {
    if (std::system("command -v cvlc >/dev/null") != 0) {
        GTEST_SKIP() << "VLC is not installed (scripts/setup.sh installs it)";
    }
    FollowRig rig;
    const fs::path media = rig.plugin.profile() / "media" / "v";
    const fs::path first =
        rig.Track("v", {.fileName = "1.wav", .title = L"Alpha", .artist = L"Kiln Trio"});
    const fs::path second =
        rig.Track("v", {.fileName = "2.wav", .title = L"Beta", .artist = L"Ash"});
    Vlc vlc(rig.plugin.profile() / "vlc-home", {first, second});
    ASSERT_TRUE(rig.WaitFor(1, "Kiln Trio - Alpha|play")) << rig.Log();
    vlc.Call("Pause");
    ASSERT_TRUE(rig.WaitFor(2, "Kiln Trio - Alpha|pause")) << rig.Log();
    vlc.Call("Play");
    ASSERT_TRUE(rig.WaitFor(3, "Kiln Trio - Alpha|play")) << rig.Log();
    vlc.Seek(20'000'000);
    EXPECT_TRUE(rig.plugin.RunUntil(
        [&] { return rig.plugin.host().Playback().positionMs >= 20'000; }, kWaitMs))
        << "the position the plug-in reads follows a seek";
    vlc.Call("Next");
    ASSERT_TRUE(rig.WaitFor(4, "Ash - Beta|play")) << rig.Log();
    rig.plugin.RunFor(1500);  // longer than a stop has to last
    vlc.Kill();
    ASSERT_TRUE(rig.WaitFor(5, "Ash - Beta|stop")) << rig.Log();
    EXPECT_EQ(rig.Posts(), (std::vector<std::string>{"/play?title=Alpha", "/pause?title=Alpha",
                                                     "/unpause?title=Alpha", "/play?title=Beta",
                                                     "/stop?title=Beta"}))
        << rig.Log();
    EXPECT_EQ(rig.History(), "Alpha\nBeta\n");
}

// A web radio of the test's own: silent 8-bit WAV at 32000 bytes a second
// (VLC reads ahead in large blocks), with the song's title sent every 8000
// bytes in the stream (ICY metadata).
class Station {
  public:
    Station() {
        server_.Get("/kiln", [this](const httplib::Request&, httplib::Response& response) {
            response.set_header("icy-metaint", std::to_string(kBlock));
            response.set_header("icy-name", "Radio Kiln");
            // A length, not chunks: VLC counts the metadata interval in the
            // bytes as they come, chunk framing included.
            response.set_content_provider(
                size_t{1} << 30, "audio/wav",
                [this, sent = 0](size_t, size_t, httplib::DataSink& sink) mutable {
                    std::string block(kBlock, '\x80');
                    if (sent++ == 0) {
                        const uint32_t rate = kRate, endless = 0xfffffff0u;
                        std::string header = "RIFF\xff\xff\xff\xffWAVEfmt ";
                        const uint32_t format[] = {16, 1 | (1u << 16), rate, rate, 1 | (8u << 16)};
                        header.append(reinterpret_cast<const char*>(format), sizeof format);
                        header += "data";
                        header.append(reinterpret_cast<const char*>(&endless), 4);
                        block.replace(0, header.size(), header);
                    }
                    std::string meta = "StreamTitle='" + Title() + "';";
                    meta.resize((meta.size() + 15) / 16 * 16, '\0');
                    block += static_cast<char>(meta.size() / 16) + meta;
                    sink.write(block.data(), block.size());
                    std::this_thread::sleep_for(std::chrono::milliseconds(sent > 8 ? 250 : 0));
                    return !stopping_.load();
                });
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~Station() {
        stopping_ = true;
        server_.stop();
        thread_.join();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/kiln"; }
    void SetTitle(const std::string& title) {
        MutexLock guard(lock_);
        title_ = title;
    }

  private:
    static constexpr uint32_t kRate = 32000, kBlock = 8000;
    std::string Title() {
        MutexLock guard(lock_);
        return title_;
    }
    Mutex lock_;
    std::string title_ GUARDED_BY(lock_) = "Kiln Trio - Ember";
    std::atomic<bool> stopping_{false};
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

TEST(Follow, VlcOnAWebRadioShowsTheSongAndCountsSongsAsTheSettingSays) {
    if (std::system("command -v cvlc >/dev/null") != 0) {
        GTEST_SKIP() << "VLC is not installed (scripts/setup.sh installs it)";
    }
    for (const bool songPlays : {false, true}) {
        SCOPED_TRACE(songPlays ? "each song a play" : "songs refresh the stream's play");
        FollowRig rig({.streamSongPlays = songPlays});
        rig.clockStep = 240;  // VLC gives a song on a stream no length
        Station station;
        Vlc vlc(rig.plugin.profile() / "vlc-home", {station.Url()});
        ASSERT_TRUE(rig.WaitFor(1, "Kiln Trio - Ember|play")) << rig.Log();
        station.SetTitle("Ash - Coda");
        ASSERT_TRUE(rig.WaitFor(songPlays ? 2 : 1, "Ash - Coda|play")) << rig.Log();
        rig.plugin.RunUntil([&] { return rig.scrobbler.Scrobbles().size() == 2; }, 3000);
        vlc.Kill();
        ASSERT_TRUE(rig.WaitFor(songPlays ? 3 : 2, "Ash - Coda|stop")) << rig.Log();
        EXPECT_EQ(rig.History(), songPlays ? "Ember\nCoda\n" : "Ember\n");
        // Four minutes into each song; the stream as one play is never due.
        EXPECT_EQ(rig.Scrobbled(), (songPlays ? std::vector<std::string>{"Ember", "Coda"}
                                              : std::vector<std::string>{}));
        EXPECT_EQ(rig.Posts().back(), "/stop?title=Coda");
    }
}

using Metadata = std::map<std::string, sdbus::Variant>;

// A small MPRIS player of the test's own that behaves as some real ones do:
// no address for its items, empty and oddly typed fields, the item told
// before it plays, changes told only as names to ask for again.
class SmallPlayer {
  public:
    explicit SmallPlayer(const std::string& name = "kilnsmall") {
        bus_ = sdbus::createSessionBusConnection("org.mpris.MediaPlayer2." + name);
        object_ = sdbus::createObject(*bus_, "/org/mpris/MediaPlayer2");
        object_->registerProperty("PlaybackStatus").onInterface(kInterface).withGetter([this] {
            MutexLock guard(lock_);
            return status_;
        });
        object_->registerProperty("Metadata").onInterface(kInterface).withGetter([this] {
            MutexLock guard(lock_);
            return metadata_;
        });
        object_->registerProperty("Position").onInterface(kInterface).withGetter([] {
            return int64_t{0};
        });
        object_->finishRegistration();
        bus_->enterEventLoopAsync();
    }
    ~SmallPlayer() { Quit(); }
    // Sets what the player holds; tells the new values, or with `namesOnly`
    // only which ones changed.
    void Set(std::optional<std::string> status, std::optional<Metadata> metadata,
             bool namesOnly = false) {
        std::map<std::string, sdbus::Variant> changed;
        std::vector<std::string> names;
        {
            MutexLock guard(lock_);
            if (status) {
                status_ = *status;
                changed["PlaybackStatus"] = status_;
                names.push_back("PlaybackStatus");
            }
            if (metadata) {
                metadata_ = *metadata;
                changed["Metadata"] = metadata_;
                names.push_back("Metadata");
            }
        }
        auto signal = object_->createSignal("org.freedesktop.DBus.Properties", "PropertiesChanged");
        signal << std::string(kInterface);
        if (namesOnly) {
            signal << std::map<std::string, sdbus::Variant>{} << names;
        } else {
            signal << changed << std::vector<std::string>{};
        }
        object_->emitSignal(signal);
    }
    void Quit() {
        if (bus_) {
            bus_->leaveEventLoop();
            object_.reset();
            bus_.reset();
        }
    }

  private:
    static constexpr const char* kInterface = "org.mpris.MediaPlayer2.Player";
    Mutex lock_;
    std::string status_ GUARDED_BY(lock_) = "Stopped";
    Metadata metadata_ GUARDED_BY(lock_);
    std::unique_ptr<sdbus::IConnection> bus_;
    std::unique_ptr<sdbus::IObject> object_;
};

TEST(Follow, APlayerWithoutAddressesOddFieldsAndAStopBetweenItems) {
    FollowRig rig({},
                  L"%artist%|%title%|%album%|%albumartist%|%tracknumber%|%length_seconds%|"
                  L"%filename%");
    SmallPlayer player;
    // The item before its status, an artist as one text, an empty address and
    // album, a list with a hole in it, numbers as texts and unsigned.
    player.Set({}, Metadata{{"mpris:trackid", sdbus::ObjectPath("/kiln/1")},
                            {"xesam:url", std::string()},
                            {"xesam:title", std::string("Ember")},
                            {"xesam:artist", std::string("Kiln Trio")},
                            {"xesam:album", std::string()},
                            {"xesam:albumArtist", std::vector<std::string>{"", "Ash"}},
                            {"xesam:trackNumber", std::string("7")},
                            {"xesam:genre", int32_t{5}},
                            {"mpris:length", uint64_t{60'000'000}}});
    rig.plugin.RunFor(100);
    player.Set("Playing", {});
    ASSERT_TRUE(rig.WaitFor(1, "Kiln Trio - Ember|play")) << rig.Log();
    // A stop of a moment between two items, the next told by name only.
    player.Set("Stopped", {});
    rig.plugin.RunFor(200);
    player.Set("Playing",
               Metadata{{"mpris:trackid", sdbus::ObjectPath("/kiln/2")},
                        {"xesam:title", std::string("Clef")},
                        {"xesam:artist", std::vector<std::string>{"Ash"}},
                        {"mpris:length", 60'000'000.0}},
               true);
    ASSERT_TRUE(rig.WaitFor(2, "Ash - Clef|play")) << rig.Log();
    ASSERT_TRUE(
        rig.plugin.RunUntil([&] { return rig.scrobbler.Scrobbles().size() == 2; }, kWaitMs));
    // The end of the list: the item goes with the stop; the stop keeps it.
    player.Set("Stopped", Metadata{});
    ASSERT_TRUE(rig.WaitFor(3, "Ash - Clef|stop")) << rig.Log();
    // Not even a track id; then the player quits while it plays.
    player.Set("Playing", Metadata{{"xesam:title", std::string("Coda")}});
    ASSERT_TRUE(rig.WaitFor(4, "Coda|play")) << rig.Log();
    player.Quit();
    ASSERT_TRUE(rig.WaitFor(5, "Coda|stop")) << rig.Log();

    EXPECT_EQ(rig.Posts(),
              (std::vector<std::string>{"/play?title=Ember", "/play?title=Clef", "/stop?title=Clef",
                                        "/play?title=Coda", "/stop?title=Coda"}));
    EXPECT_EQ(rig.Scrobbled(), (std::vector<std::string>{"Ember", "Clef"}));
    // The last item's identity is made from its tags: only its start is fixed.
    const std::string history = rig.History();
    EXPECT_EQ(history.substr(0, history.rfind('/') + 1),
              "Kiln Trio|Ember||Ash|7|60|mpris:kilnsmall/kiln/1\n"
              "Ash|Clef||||60|mpris:kilnsmall/kiln/2\n"
              "|Coda|||||mpris:kilnsmall/item/");
}

TEST(Follow, OnlyTheNamedPlayersAreFollowedNeverTheIgnoredOnesAndNewListsHoldAtOnce) {
    FollowRig rig({.players = {"kilnsmall"}, .ignored = {"kilnsmall.muted"}});
    // Rules name a player without the number of its instance.
    auto& windows = rig.plugin.windows();
    for (const auto& page : windows.Pages()) {
        if (page.name == L"Rules") {
            ASSERT_TRUE(windows.OpenPage(page.id));
        }
    }
    ASSERT_TRUE(windows.TypeText(windows.OpenPageDialog(), IDC_RULES_TEXT,
                                 L"player is kilnsmall -> history"));
    SmallPlayer wanted("kilnsmall.instance42"), muted("kilnsmall.muted"), other("kilnsmaller");
    wanted.Set("Playing", Metadata{{"xesam:title", std::string("Alpha")}});
    ASSERT_TRUE(rig.WaitFor(1, "Alpha|play")) << rig.Log();
    muted.Set("Playing", Metadata{{"xesam:title", std::string("Beta")}});
    other.Set("Playing", Metadata{{"xesam:title", std::string("Gamma")}});
    rig.plugin.RunFor(2000);  // longer than an item may take to settle
    EXPECT_EQ(rig.Posts(), std::vector<std::string>{"/play?title=Alpha"}) << rig.Log();
    // New lists hold at once: the one ignored now is left, the one no longer
    // ignored taken up; then none is followed any more.
    rig.follower->SetPlayers({}, {"kilnsmall.instance42", "kilnsmaller"});
    ASSERT_TRUE(rig.WaitFor(2, "Beta|play")) << rig.Log();
    rig.follower->SetPlayers({"nothing"}, {});
    ASSERT_TRUE(rig.WaitFor(3, "Beta|stop")) << rig.Log();
    EXPECT_EQ(rig.Posts(), (std::vector<std::string>{"/play?title=Alpha", "/play?title=Beta",
                                                     "/stop?title=Beta"}))
        << rig.Log();
    EXPECT_EQ(rig.History(), "Beta\n");
}

TEST(Follow, ASongChangeOnAStreamRefreshesOrIsAPlayOfItsOwn) {
    for (const bool songPlays : {false, true}) {
        SCOPED_TRACE(songPlays ? "each song a play" : "songs refresh the stream's play");
        FollowRig rig({.streamSongPlays = songPlays});
        rig.clockStep = 240;
        SmallPlayer player;
        Metadata radio{{"mpris:trackid", sdbus::ObjectPath("/kiln/radio")},
                       {"xesam:url", std::string("http://127.0.0.1:9/kiln.ogg")},
                       {"xesam:title", std::string("Radio Kiln")},
                       {"vlc:nowplaying", std::string("Kiln Trio - Ember")}};
        player.Set("Playing", radio);
        ASSERT_TRUE(rig.WaitFor(1, "Kiln Trio - Ember|play")) << rig.Log();
        // As mpv tells it: the title changes; this song's length is known.
        radio.erase("vlc:nowplaying");
        radio["xesam:title"] = std::string("Coda");
        radio["xesam:artist"] = std::vector<std::string>{"Ash"};
        radio["mpris:length"] = int64_t{60'000'000};
        player.Set({}, radio);
        ASSERT_TRUE(rig.WaitFor(songPlays ? 2 : 1, "Ash - Coda|play")) << rig.Log();
        rig.plugin.RunUntil([&] { return rig.scrobbler.Scrobbles().size() == 2; }, 3000);
        player.Quit();
        ASSERT_TRUE(rig.WaitFor(songPlays ? 3 : 2, "Ash - Coda|stop")) << rig.Log();
        EXPECT_EQ(rig.History(), songPlays ? "Ember\nCoda\n" : "Ember\n") << rig.Log();
        EXPECT_EQ(rig.Posts().back(), "/stop?title=Coda");
        // A song without a length is due after four minutes, one with its length
        // after half of it.
        EXPECT_EQ(rig.Scrobbled(), (songPlays ? std::vector<std::string>{"Ember", "Coda"}
                                              : std::vector<std::string>{}));
    }
}
}  // namespace
}  // namespace kiln::test
