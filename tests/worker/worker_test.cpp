// Playback transitions as the hook turns them into events and the worker
// handles them, observed through the POST requests each event sends and the
// history lines of play starts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <string>
#include <vector>

#include "fake_discord.h"
#include "host/host_threads.h"
#include "host/sample_media.h"
#include "host/window_system.h"
#include "presence_checks.h"
#include "presence_test_support.h"
#include "resources/resource_ids.h"
#include "services/paths.h"
#include "support/plugin_host.h"
#include "support/post_receiver.h"
#include "tests/scrobbler/fake_scrobbler.h"

namespace kiln::test {
namespace {

using namespace std::chrono_literals;

class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::SampleRecipe recipe{
            .fileName = "a.wav", .title = L"First", .artist = L"Band", .seconds = 40};
        first_ = host::WriteSampleTrack(music_.path(), recipe);
        recipe.fileName = "b.wav";
        recipe.title = L"Second";
        second_ = host::WriteSampleTrack(music_.path(), recipe);
    }

    // Every event sends a request naming itself.
    void SendAllEvents(PluginHost& plugin) {
        std::string url = "http://127.0.0.1:" + std::to_string(receiver_.Port());
        std::wstring base(url.begin(), url.end());
        plugin.SetInt(L"postmodes", 1 | 2 | 4 | 8);
        plugin.SetText(L"postplay", (base + L"/play?t=%title%").c_str());
        plugin.SetText(L"postpause", (base + L"/pause").c_str());
        plugin.SetText(L"postunpause", (base + L"/unpause").c_str());
        plugin.SetText(L"poststop", (base + L"/stop").c_str());
    }

    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const auto& request : receiver_.Requests()) {
            paths.push_back(request.target);
        }
        return paths;
    }

    // Requests are sent on threads of their own, so only their set is fixed
    // until the worker has passed the next event.
    bool Received(size_t count) { return receiver_.WaitForCount(count, 5s); }

    // Nothing more arrives: the worker had time to handle what was signalled.
    void ExpectNoMoreThan(size_t count) {
        EXPECT_FALSE(receiver_.WaitForCount(count + 1, 300ms)) << ::testing::PrintToString(Paths());
    }

    TempFolder music_;
    std::filesystem::path first_;
    std::filesystem::path second_;
    PostReceiver receiver_;
};

TEST_F(WorkerTest, PauseUnpauseAndStopFollowTheStatusAsked) {
    PluginHost plugin;
    SendAllEvents(plugin);
    plugin.Start();
    plugin.Play(first_);
    ASSERT_TRUE(Received(1));
    plugin.Pause();
    ASSERT_TRUE(Received(2));
    plugin.Pause();  // a repeated paused status signals again
    ASSERT_TRUE(Received(3));
    plugin.Resume(0);  // playing at position 0 is no unpause
    ExpectNoMoreThan(3);
    plugin.Resume(5000);
    ASSERT_TRUE(Received(4));
    plugin.Resume(6000);  // playing again while not paused: nothing
    plugin.Stop();
    ASSERT_TRUE(Received(5));
    plugin.Stop();  // a second stop without a start: nothing
    ExpectNoMoreThan(5);
    EXPECT_EQ(Paths(),
              (std::vector<std::string>{"/play?t=First", "/pause", "/pause", "/unpause", "/stop"}));
}

TEST_F(WorkerTest, NewItemNotificationsAndTheIgnoredForm) {
    PluginHost plugin;
    SendAllEvents(plugin);
    plugin.Start();
    plugin.Play(first_);
    ASSERT_TRUE(Received(1));
    plugin.Pause();
    ASSERT_TRUE(Received(2));
    // 243 counts as a new item, except with wParam -1.
    plugin.host().SetPlayback({1, 0, host::FromFsPath(second_), -1});
    plugin.windows().PostMessage(plugin.windows().MainWindow(), 0x0400, static_cast<uintptr_t>(-1),
                                 243);
    plugin.RunFor(0);
    ExpectNoMoreThan(2);
    plugin.windows().PostMessage(plugin.windows().MainWindow(), 0x0400, 0, 243);
    plugin.RunFor(0);
    ASSERT_TRUE(Received(3));
    // The new item ended the pause: playing on is no unpause.
    plugin.Resume(5000);
    ExpectNoMoreThan(3);
    // Moving to the next item sends only the play request: no stop.
    plugin.Play(first_);
    ASSERT_TRUE(Received(4));
    ExpectNoMoreThan(4);
    EXPECT_EQ(Paths(), (std::vector<std::string>{"/play?t=First", "/pause", "/play?t=Second",
                                                 "/play?t=First"}));
}

// A player already playing at launch is one play, whether or not it announced
// the item before the plug-in's start-up message came back, and its stop is a
// stop.
TEST_F(WorkerTest, APlayUnderWayAtStartUpIsOnePlay) {
    for (bool announced : {false, true}) {
        SCOPED_TRACE(announced ? "announced before the start-up" : "found at the start-up");
        PostReceiver receiver;
        std::wstring base = L"http://127.0.0.1:" + std::to_wstring(receiver.Port());
        PluginHost plugin;
        plugin.SetInt(L"postmodes", 1 | 8);
        plugin.SetText(L"postplay", (base + L"/play?t=%title%").c_str());
        plugin.SetText(L"poststop", (base + L"/stop").c_str());
        plugin.SetInt(L"logging_on", 1);
        plugin.SetInt(L"prepost", 0);
        plugin.SetText(L"format", L"%title%");
        plugin.host().SetPlayback({1, 5000, host::FromFsPath(first_), -1});
        plugin.Start([&] {
            if (announced) {
                plugin.windows().SendMessage(plugin.windows().MainWindow(), 0x0400, 0, 13003);
            }
        });
        ASSERT_TRUE(receiver.WaitForCount(1));
        plugin.Stop();
        ASSERT_TRUE(receiver.WaitForCount(2));
        EXPECT_FALSE(receiver.WaitForCount(3, 300ms));
        std::vector<std::string> paths;
        for (const auto& request : receiver.Requests()) {
            paths.push_back(request.target);
        }
        EXPECT_EQ(paths, (std::vector<std::string>{"/play?t=First", "/stop"}));
        plugin.Quit();
        std::string history;
        for (const auto& entry : std::filesystem::directory_iterator(plugin.LogsFolder())) {
            history += ReadFileBytes(entry.path());
        }
        EXPECT_EQ(history, "First\r\n");
    }
}

// A player that stops and quits right after a start: the history still reads
// started, line, stopped, the stop request is sent, and quit neither waits out
// a request that hangs nor leaves a thread behind.
TEST_F(WorkerTest, QuitRightAfterAStartDrainsTheQueueThenMarksTheStop) {
    // A server that takes connections and never answers.
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(silent, 8), 0);
    ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::wstring hung = L"http://127.0.0.1:" + std::to_wstring(ntohs(address.sin_port));
    for (bool hanging : {false, true}) {
        SCOPED_TRACE(hanging ? "the play request hangs" : "every request is answered");
        PostReceiver receiver;
        std::wstring base = L"http://127.0.0.1:" + std::to_wstring(receiver.Port());
        PluginHost plugin;
        plugin.SetInt(L"postmodes", 1 | 8);
        plugin.SetText(L"postplay", ((hanging ? hung : base) + L"/play").c_str());
        plugin.SetText(L"poststop", (base + L"/stop").c_str());
        plugin.SetInt(L"logging_on", 1);
        plugin.SetInt(L"prepost", 1);
        plugin.SetText(L"format", L"%title%");
        plugin.Start();
        plugin.Play(first_);
        plugin.RunFor(100);
        plugin.Stop();
        const auto before = std::chrono::steady_clock::now();
        plugin.host().QuitPlugin();
        // Well below the ten seconds a request may take.
        EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
        EXPECT_EQ(plugin.host().Threads().LiveThreads(), 0);
        // Each request has a thread of its own: only the set is fixed.
        ASSERT_TRUE(receiver.WaitForCount(hanging ? 1 : 2));
        const auto requests = receiver.Requests();
        EXPECT_TRUE(std::any_of(requests.begin(), requests.end(),
                                [](const auto& r) { return r.target == "/stop"; }));
        std::string history;
        for (const auto& entry : std::filesystem::directory_iterator(plugin.LogsFolder())) {
            history += ReadFileBytes(entry.path());
        }
        const auto started = history.find("<<< started");
        const auto line = history.find("\nFirst\r\n");
        const auto stopped = history.find("<<< stopped");
        EXPECT_TRUE(started < line && line < stopped && stopped != std::string::npos) << history;
    }
    ::close(silent);
}

// POST threads format their addresses while the worker formats its lines.
TEST_F(WorkerTest, EventsRaisedDuringTheSettlingSleepAreAllHandled) {
    PluginHost plugin;
    SendAllEvents(plugin);
    plugin.SetInt(L"logging_on", 1);
    plugin.SetInt(L"now_logging_on", 1);
    plugin.Start();
    plugin.Play(first_);
    plugin.Pause();
    plugin.Stop();  // both within the 750 ms the worker waits after a start
    ASSERT_TRUE(Received(3));
    ExpectNoMoreThan(3);
    auto paths = Paths();
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"/pause", "/play?t=First", "/stop"}));
}

// A stop of 0.2 s while the worker settles the previous start: the stop goes
// out before the next play, not after its settle.
TEST_F(WorkerTest, AStopSignalledBeforeTheNextStartIsHandledBeforeIt) {
    PluginHost plugin;
    SendAllEvents(plugin);
    plugin.Start();
    plugin.Play(first_);
    plugin.RunFor(100);
    plugin.Stop();
    plugin.RunFor(200);
    plugin.Play(second_);
    ASSERT_TRUE(Received(3));
    ExpectNoMoreThan(3);
    // The first play's request and the stop leave within moments of each
    // other, on threads of their own; the next play waits out its settle.
    auto paths = Paths();
    EXPECT_EQ(paths.back(), "/play?t=Second") << ::testing::PrintToString(paths);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"/play?t=Second", "/play?t=Second", "/stop"}));
}

TEST_F(WorkerTest, TwoQuickStartsAreEachHandledOnce) {
    PluginHost plugin;
    plugin.SetInt(L"logging_on", 1);
    plugin.SetInt(L"prepost", 0);
    plugin.SetText(L"format", L"%title%");
    plugin.Start();
    plugin.Play(first_);
    plugin.RunFor(100);  // the worker has taken the first start and sleeps
    plugin.Play(second_);
    plugin.Play(second_);  // a third signal while one is pending merges with it
    auto logs = plugin.LogsFolder();
    auto lines = [&] {
        std::string all;
        if (std::filesystem::exists(logs)) {
            for (const auto& entry : std::filesystem::directory_iterator(logs)) {
                all += ReadFileBytes(entry.path());
            }
        }
        return all;
    };
    // Each line is formatted for the item playing when the worker writes it.
    ASSERT_TRUE(plugin.RunUntil([&] { return lines().size() >= 14; }, 5000)) << lines();
    plugin.RunFor(900);
    EXPECT_EQ(lines(), "Second\r\nSecond\r\n");
}

TEST_F(WorkerTest, EverythingOffChangesOnlyTheFlags) {
    PluginHost plugin;
    SendAllEvents(plugin);
    plugin.SetInt(L"postmodes", 0);  // addresses set, every request off
    plugin.Start();
    plugin.Play(first_);
    plugin.Pause();
    plugin.host().NotifyInfoChanged();
    plugin.RunFor(50);
    EXPECT_EQ(plugin.host().Threads().LiveThreads(), 0);
    EXPECT_FALSE(std::filesystem::exists(plugin.LogsFolder()));
    // The user turns the unpause and stop requests on: the flags kept while
    // everything was off make the resume an unpause and the stop a stop.
    auto& windows = plugin.windows();
    ASSERT_TRUE(windows.OpenPage(windows.Pages()[0].id));
    ASSERT_TRUE(windows.SwitchTab(3));
    plugin.RunFor(0);
    for (auto [event, enable] :
         {std::pair{2, IDC_POST_UNPAUSE_ENABLE}, {3, IDC_POST_STOP_ENABLE}}) {
        ASSERT_TRUE(windows.SelectCombo(windows.OpenPageDialog(), IDC_POST_EVENT, event));
        ASSERT_TRUE(windows.ClickButton(windows.OpenPageDialog(), enable));
    }
    windows.ClosePreferences();
    plugin.Resume(3000);
    ASSERT_TRUE(Received(1));
    plugin.Stop();
    ASSERT_TRUE(Received(2));
    EXPECT_EQ(Paths(), (std::vector<std::string>{"/unpause", "/stop"}));
}

// "Pause tracking" in the plug-in's menu: nothing is written or sent while it
// is on, also after a restart, and the next play after it goes off is tracked.
TEST_F(WorkerTest, PauseTrackingKeepsEveryOutputOffAcrossARestart) {
    TempFolder profile;
    auto pickPauseTracking = [](PluginHost& plugin) {
        bool checked = false;
        plugin.windows().SetMenuChooser([&](const std::vector<host::MenuItem>& items) {
            for (const auto& item : items) {
                if (item.id == 3) {
                    checked = (item.flags & 8) != 0;
                }
            }
            return 3;
        });
        plugin.host().ConfigPlugin();
        plugin.RunFor(0);
        return checked;
    };
    auto historyText = [](PluginHost& plugin) {
        std::string all;
        if (std::filesystem::exists(plugin.LogsFolder())) {
            for (const auto& entry : std::filesystem::directory_iterator(plugin.LogsFolder())) {
                all += ReadFileBytes(entry.path());
            }
        }
        return all;
    };
    {
        PluginHost plugin(profile.path());
        SendAllEvents(plugin);
        plugin.SetInt(L"logging_on", 1);
        plugin.SetInt(L"prepost", 0);
        plugin.SetText(L"format", L"%title%");
        plugin.Start();
        EXPECT_FALSE(pickPauseTracking(plugin));  // it was off: now on
        plugin.Play(first_);
        plugin.Pause();
        plugin.Resume(5000);
        plugin.Stop();
        ExpectNoMoreThan(0);
        plugin.RunFor(800);
        plugin.Quit();
        EXPECT_EQ(historyText(plugin), "");
    }
    PluginHost plugin(profile.path());
    plugin.Start();
    plugin.Play(first_);
    ExpectNoMoreThan(0);
    EXPECT_TRUE(pickPauseTracking(plugin));  // still on after the restart: now off
    plugin.Play(second_);
    ASSERT_TRUE(Received(1));
    EXPECT_EQ(Paths(), std::vector<std::string>{"/play?t=Second"});
    plugin.Quit();
    EXPECT_EQ(historyText(plugin), "Second\r\n");
}

// Rules typed on the Rules page keep each play from exactly the outputs they
// name, and from no other: the history and now-playing files, the POST
// receiver, the fake scrobbling service and the fake Discord application.
TEST_F(WorkerTest, RulesKeepAPlayFromTheOutputsTheyNameOnly) {
    enum : int { kHistory = 1, kNow = 2, kPost = 4, kLastfm = 8, kDiscord = 16 };
    struct Case {
        std::wstring rules;   // typed on the page; the item of case N has fields "<Field>-N"
        int seconds;          // 0: a stream
        int streamBox;        // the n-th "skip streams" box, ticked from this case on; or 0
        int kept;             // the outputs it must not reach
        std::wstring status;  // the scrobbler's status when kept from it
    };
    const Case cases[] = {
        {L"artist is BAND-0 -> history", 60, 0, kHistory, L""},
        {L"title contains ong-1 -> now playing", 60, 0, kNow, L""},
        {L"album starts with album- -> Discord", 60, 0, kDiscord, L""},
        {L"album artist matches ^crew-[3]$ -> last.fm", 60, 0, kLastfm,
         L"Not scrobbled: excluded by rule 1"},
        {L"title is nothing like it\ngenre is Genre-4 -> POST", 60, 0, kPost, L""},
        {L"path contains dir-5/ -> history, discord", 60, 0, kHistory | kDiscord, L""},
        {L"", 0, 4, kLastfm, L"Not scrobbled: streams are skipped"},
        {L"artist contains band", 60, 0, 31, L"Not scrobbled: excluded by rule 1"},
    };
    PipeFolder pipes;
    FakeDiscord discord{FakeDiscord::Options{pipes.Path(), 0}};
    FakeScrobbleService service;
    PluginHost plugin;
    SendAllEvents(plugin);
    plugin.SetInt(L"postmodes", 1);
    plugin.SetInt(L"logging_on", 1);
    plugin.SetInt(L"prepost", 0);
    plugin.SetText(L"format", L"%title%");
    plugin.SetInt(L"now_logging_on", 1);
    plugin.SetText(L"now_format", L"%title%");
    plugin.SetInt(L"updatediscord", 1);
    plugin.SetInt(L"uploadForDiscord", 0);
    plugin.SetInt(L"scrobble", 3);
    const std::string key = FakeScrobbleService::kSessionKey;
    plugin.SetText(L"sk", std::wstring(key.begin(), key.end()).c_str());
    plugin.host().MapHost("ws.audioscrobbler.com", service.Address());
    plugin.host().SetNow(1700000000);
    plugin.Start();
    auto& windows = plugin.windows();
    auto open = [&](const std::wstring& name) {
        for (const auto& page : windows.Pages()) {
            if (page.name == name) {
                ASSERT_TRUE(windows.OpenPage(page.id));
            }
        }
    };
    auto text = [&](int id) {
        return windows.Control(windows.OpenPageDialog(), id).value_or(host::ControlState{}).text;
    };
    size_t posts = 0;
    for (int n = 0; n < static_cast<int>(std::size(cases)); ++n) {
        const Case& c = cases[n];
        SCOPED_TRACE(n);
        const std::wstring tag = L"-" + std::to_wstring(n);
        const std::string title = "Song-" + std::to_string(n);
        open(L"Rules");
        ASSERT_TRUE(windows.TypeText(windows.OpenPageDialog(), IDC_RULES_TEXT, c.rules));
        EXPECT_EQ(text(IDC_RULES_ERROR), L"");
        if (c.streamBox != 0) {
            ASSERT_TRUE(windows.ClickButton(windows.OpenPageDialog(),
                                            IDC_RULES_STREAM_FIRST + c.streamBox - 1));
        }
        open(L"Last.fm Scrobbler");
        // A new pacing window, so that the presence of this play goes out at once.
        plugin.host().AdvanceClock(30);
        host::TrackInfo tags;
        tags.found = true;
        tags.title = L"Song" + tag;
        tags.artist = L"Band" + tag;
        tags.album = L"Album" + tag;
        tags.albumArtist = L"Crew" + tag;
        tags.genre = L"Genre" + tag;
        std::wstring location = L"http://radio.example/live" + tag;
        if (c.seconds > 0) {
            location = host::FromFsPath(host::WriteSampleTrack(
                music_.path() / ("dir-" + std::to_string(n)), {.fileName = "song.wav",
                                                               .title = tags.title,
                                                               .artist = tags.artist,
                                                               .album = tags.album,
                                                               .albumArtist = tags.albumArtist,
                                                               .seconds = c.seconds}));
        }
        plugin.host().SetPlayback({1, 0, location, c.seconds, tags});
        plugin.host().NotifyNewItem();
        // The scrobbler's step comes last of a start.
        auto updated = [&] {
            for (const auto& request : service.Requests()) {
                if (request.Param("method") == "track.updateNowPlaying" &&
                    request.Param("track") == title) {
                    return true;
                }
            }
            return false;
        };
        ASSERT_TRUE(plugin.RunUntil([&] {
            return updated() || (!c.status.empty() && text(IDC_SCROBBLE_STATUS) == c.status);
        }));
        EXPECT_EQ(updated(), (c.kept & kLastfm) == 0);
        std::string history;
        for (const auto& entry : std::filesystem::directory_iterator(plugin.LogsFolder())) {
            if (entry.path().filename() != "kiln_log_now.txt") {
                history += ReadFileBytes(entry.path());
            }
        }
        EXPECT_EQ(history.find(title + "\r\n") == std::string::npos, (c.kept & kHistory) != 0);
        const std::string now = ReadFileBytes(plugin.LogsFolder() / "kiln_log_now.txt");
        EXPECT_EQ(now.find(title) == std::string::npos, (c.kept & kNow) != 0) << now;
        const bool shown = plugin.RunUntil([&] {
            const auto frames = discord.FramesWithOpcode(1);
            if (frames.empty()) {
                return false;
            }
            return (c.kept & kDiscord) == 0
                       ? frames.back().payload.find(title) != std::string::npos
                       : Member(frames.back().payload, "/args/activity") == "-";
        });
        EXPECT_TRUE(shown) << "Discord " << ((c.kept & kDiscord) ? "not cleared" : "not shown");
        if ((c.kept & kPost) == 0) {
            EXPECT_TRUE(Received(++posts));
            EXPECT_EQ(Paths().back(), "/play?t=" + title);
        }
    }
    ExpectNoMoreThan(posts);
}

// The one test that waits out the worker's ten idle seconds.
TEST_F(WorkerTest, IdleWorkerEndsAndANewOneTakesTheNextEvent) {
    PluginHost plugin;
    SendAllEvents(plugin);
    plugin.Start();
    plugin.Play(first_);
    ASSERT_TRUE(Received(1));
    auto& threads = plugin.host().Threads();
    ASSERT_TRUE(plugin.RunUntil([&] { return threads.LiveThreads() == 0; }, 15000))
        << "the worker did not end after ten idle seconds";
    plugin.Pause();
    ASSERT_TRUE(Received(2));
    EXPECT_EQ(Paths().back(), "/pause");
    plugin.Quit();
    EXPECT_EQ(threads.BadHandleUses(), 0);
}

// A worker still busy when quit's wait gives up, here blocked opening a
// history file that is a pipe nobody reads yet, must not stop a second init
// in the same process from working.
TEST_F(WorkerTest, InitAfterAQuitThatTimedOutWorksAgain) {
    PluginHost plugin;
    SendAllEvents(plugin);
    plugin.SetInt(L"logging_on", 1);
    plugin.SetInt(L"prepost", 0);
    plugin.SetText(L"file", L"pipe.txt");
    std::filesystem::create_directories(plugin.LogsFolder());
    const auto pipe = plugin.LogsFolder() / "pipe.txt";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    plugin.Start();
    plugin.Play(first_);
    plugin.RunFor(900);
    plugin.host().QuitPlugin();  // waits its ten seconds, then gives up
    ASSERT_EQ(plugin.host().Threads().LiveThreads(), 1);
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(plugin.RunUntil([&] { return plugin.host().Threads().LiveThreads() == 0; }));
    ::close(reader);
    std::filesystem::remove(pipe);
    plugin.host().SetPlayback({0, 0, host::FromFsPath(first_), -1});  // no play start at init
    plugin.Start();
    const size_t before = receiver_.Requests().size();
    plugin.Pause();
    ASSERT_TRUE(Received(before + 1));
    EXPECT_EQ(Paths().back(), "/pause");
}

}  // namespace
}  // namespace kiln::test
