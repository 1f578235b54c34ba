#include "host/mpris_follower.h"

#include <poll.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "core/host_contract.h"
#include "core/thread_annotations.h"
#include "host/substitute_host.h"
#include "host/window_system.h"
#include "services/paths.h"
#include "services/text_services.h"
#include "services/track_info.h"

namespace kiln::host {
namespace {

using contract::kInfoChanged;
using contract::kIpcMessage;
using contract::kNewItem;
using contract::kPlaybackNotice;
using contract::kStatusChanged;

constexpr std::string_view kPrefix = "org.mpris.MediaPlayer2.";
constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kDaemon = "org.freedesktop.DBus";
// A player that does not answer within this is taken as saying nothing.
constexpr auto kCallTimeout = std::chrono::seconds(2);
// While the followed player plays, the position the plug-in reads moves on
// this often; it is read from the player at every change of status.
constexpr int kPositionStepMs = 250;

using Clock = std::chrono::steady_clock;
using Properties = std::map<std::string, sdbus::Variant>;

struct Track {
    std::string id, url, title, artist, album, albumArtist, artUrl;
    int trackNumber = 0;
    int64_t lengthUs = 0;

    std::string Key() const { return id + '\n' + url; }
    std::string Display() const { return artist.empty() ? title : artist + " - " + title; }
};

struct Player {
    std::string name;   // well-known bus name
    std::string owner;  // unique name, the sender of its signals
    std::unique_ptr<sdbus::IProxy> proxy;
    int status = 0;  // 0 stopped, 1 playing, 3 paused
    Track track;
    double rate = 1.0;
    int64_t positionUs = 0;
    Clock::time_point positionAt{};
    Clock::time_point itemSeen{};
    uint64_t playingOrder = 0;  // larger: began playing later

    int64_t PositionUs(Clock::time_point now) const {
        if (status != 1) {
            return positionUs;
        }
        auto ran = std::chrono::duration_cast<std::chrono::microseconds>(now - positionAt).count();
        return positionUs + static_cast<int64_t>(static_cast<double>(ran) * rate);
    }
};

int StatusOf(const std::string& text) {
    return text == "Playing" ? 1 : text == "Paused" ? 3 : 0;
}

const char* StatusName(int status) {
    return status == 1 ? "playing" : status == 3 ? "paused" : "stopped";
}

// Players disagree on the integer types of lengths and track numbers.
int64_t AsInteger(const sdbus::Variant& value) {
    const std::string type = value.peekValueType();
    if (type == "x")
        return value.get<int64_t>();
    if (type == "t")
        return static_cast<int64_t>(std::min<uint64_t>(value.get<uint64_t>(), INT64_MAX));
    if (type == "i")
        return value.get<int32_t>();
    if (type == "u")
        return value.get<uint32_t>();
    if (type == "d")
        return static_cast<int64_t>(value.get<double>());
    return 0;
}

// Texts, object paths, and lists of texts (artists) joined with ", ".
std::string AsText(const sdbus::Variant& value) {
    const std::string type = value.peekValueType();
    if (type == "s")
        return value.get<std::string>();
    if (type == "o")
        return value.get<sdbus::ObjectPath>();
    if (type == "as") {
        std::string joined;
        for (const std::string& part : value.get<std::vector<std::string>>()) {
            joined += (joined.empty() ? "" : ", ") + part;
        }
        return joined;
    }
    return {};
}

Track ParseTrack(const Properties& metadata) {
    Track track;
    const std::map<std::string, std::string Track::*> texts = {
        {"mpris:trackid", &Track::id},   {"xesam:url", &Track::url},
        {"xesam:title", &Track::title},  {"xesam:artist", &Track::artist},
        {"xesam:album", &Track::album},  {"xesam:albumArtist", &Track::albumArtist},
        {"mpris:artUrl", &Track::artUrl}};
    for (const auto& [key, value] : metadata) {
        if (auto field = texts.find(key); field != texts.end()) {
            track.*(field->second) = AsText(value);
        } else if (key == "mpris:length") {
            track.lengthUs = std::max<int64_t>(AsInteger(value), 0);
        } else if (key == "xesam:trackNumber") {
            track.trackNumber = static_cast<int>(std::clamp<int64_t>(AsInteger(value), 0, INT_MAX));
        }
    }
    return track;
}

}  // namespace

struct MprisFollower::State {
    State(SubstituteHost& h, FollowerOptions o) : host(h), options(std::move(o)) {}

    SubstituteHost& host;
    const FollowerOptions options;
    int wake[2] = {-1, -1};  // written once to end the thread
    std::thread thread;

    kiln::Mutex lock;
    std::condition_variable firstTry;
    bool tried GUARDED_BY(lock) = false;
    std::string firstError GUARDED_BY(lock);

    // -- the follower's thread only
    sdbus::IConnection* bus = nullptr;
    std::map<std::string, Player> players;  // by well-known name
    uint64_t playingCount = 0;
    std::string followed;
    std::string announcedKey;  // the item the plug-in was told of
    int announcedStatus = 0;
    std::string announcedDisplay;
    bool announcePending = false;
    PlaybackSnapshot last;

    void Report(const std::string& line) const {
        if (options.report) {
            options.report(line);
        }
    }
    static std::string Short(const std::string& name) { return name.substr(kPrefix.size()); }
    bool Wanted(const std::string& name) const {
        if (name.size() <= kPrefix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0) {
            return false;
        }
        const std::string suffix = Short(name);
        return options.player.empty() || suffix == options.player ||
               suffix.rfind(options.player + ".", 0) == 0;
    }
    void FirstTry(const std::string& error) {
        kiln::MutexLock guard(lock);
        if (!tried) {
            tried = true;
            firstError = error;
            firstTry.notify_all();
        }
    }
    // True when asked to end.
    bool WaitForEnd(int ms) const {
        pollfd fd{wake[0], POLLIN, 0};
        return ::poll(&fd, 1, ms) > 0;
    }

    // Signal handlers run inside the bus library's C code, which no
    // exception may cross; a malformed signal is dropped.
    template <typename Handler>
    void Safely(Handler handler) {
        try {
            handler();
        } catch (const sdbus::Error& error) {
            Report(std::string("ignored a D-Bus signal: ") + error.what());
        }
    }
    void Run();
    void Serve(sdbus::IConnection& connection);
    void AddPlayer(const std::string& name, const std::string& owner);
    Player* BySender(const std::string& sender);
    std::optional<sdbus::Variant> Read(Player& player, const char* property);
    void Apply(Player& player, Properties changed);
    Properties ReadAll(Player& player);
    void OnOwnerChanged(sdbus::Message& message);
    void OnPropertiesChanged(sdbus::Message& message);
    void OnSeeked(sdbus::Message& message);
    Player* Choose();
    bool Settled(const Player& player) const;
    int NextDeadlineMs() const;
    void Publish(const Player* player);
    void Notify(uintptr_t wParam, intptr_t lParam) {
        host.Windows().PostMessage(host.Windows().MainWindow(), kIpcMessage, wParam, lParam);
    }
    void Update();
};

void MprisFollower::State::Run() {
    bool told = false;
    for (;;) {
        std::unique_ptr<sdbus::IConnection> connection;
        try {
            connection = sdbus::createSessionBusConnection();
        } catch (const sdbus::Error& error) {
            const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
            const std::string why = "no D-Bus session bus is reachable (" + error.getMessage() +
                                    ") " +
                                    (address ? "at " + std::string(address)
                                             : "and DBUS_SESSION_BUS_ADDRESS is not set") +
                                    ".";
            if (!told) {
                Report(why + " Trying again every " + std::to_string(options.retryMs / 1000) +
                       " s.");
                told = true;
            }
            FirstTry(why);
            if (WaitForEnd(options.retryMs)) {
                return;
            }
            continue;
        }
        told = false;
        FirstTry("");
        bool ending = false;
        try {
            Serve(*connection);
            ending = true;
        } catch (const sdbus::Error& error) {
            Report("lost the session bus (" + error.getMessage() + ")");
        }
        if (ending) {
            players.clear();
            return;
        }
        // Every player has gone with the bus.
        players.clear();
        Update();
        connection.reset();
        bus = nullptr;
        if (WaitForEnd(options.retryMs)) {
            return;
        }
    }
}

void MprisFollower::State::Serve(sdbus::IConnection& connection) {
    bus = &connection;
    auto owners = connection.addMatch(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged',arg0namespace='org.mpris.MediaPlayer2'",
        [this](sdbus::Message& m) { Safely([&] { OnOwnerChanged(m); }); });
    auto changes = connection.addMatch(
        "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
        "path='/org/mpris/MediaPlayer2'",
        [this](sdbus::Message& m) { Safely([&] { OnPropertiesChanged(m); }); });
    auto seeks = connection.addMatch(
        "type='signal',interface='org.mpris.MediaPlayer2.Player',member='Seeked',"
        "path='/org/mpris/MediaPlayer2'",
        [this](sdbus::Message& m) { Safely([&] { OnSeeked(m); }); });
    Report("watching the session bus for media players" +
           (options.player.empty() ? std::string() : " named " + options.player));

    auto daemon = sdbus::createProxy(connection, kDaemon, "/org/freedesktop/DBus");
    std::vector<std::string> names;
    daemon->callMethod("ListNames")
        .onInterface(kDaemon)
        .withTimeout(kCallTimeout)
        .storeResultsTo(names);
    for (const std::string& name : names) {
        if (!Wanted(name)) {
            continue;
        }
        std::string owner;
        try {
            daemon->callMethod("GetNameOwner")
                .onInterface(kDaemon)
                .withTimeout(kCallTimeout)
                .withArguments(name)
                .storeResultsTo(owner);
        } catch (const sdbus::Error&) {
            continue;  // gone meanwhile
        }
        AddPlayer(name, owner);
    }
    Update();

    for (;;) {
        while (connection.processPendingRequest()) {
        }
        auto data = connection.getEventLoopPollData();
        int timeout = data.getPollTimeout();
        int own = NextDeadlineMs();
        if (own >= 0 && (timeout < 0 || own < timeout)) {
            timeout = own;
        }
        pollfd fds[2] = {{data.fd, data.events, 0}, {wake[0], POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) {
            throw sdbus::Error("org.freedesktop.DBus.Error.Failed", "poll failed");
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents & (POLLHUP | POLLERR)) {
            // What is still queued is delivered; then the read fails.
            while (connection.processPendingRequest()) {
            }
            throw sdbus::Error("org.freedesktop.DBus.Error.Disconnected", "the bus hung up");
        }
        Update();
    }
}

Properties MprisFollower::State::ReadAll(Player& player) {
    Properties all;
    try {
        player.proxy->callMethod("GetAll")
            .onInterface(kProperties)
            .withTimeout(kCallTimeout)
            .withArguments(std::string(kPlayerInterface))
            .storeResultsTo(all);
    } catch (const sdbus::Error&) {
        // A player that does not answer is left as it was.
    }
    return all;
}

void MprisFollower::State::AddPlayer(const std::string& name, const std::string& owner) {
    Player player;
    player.name = name;
    player.owner = owner;
    player.proxy = sdbus::createProxy(*bus, owner, kObjectPath);
    Report("player " + Short(name) + " appeared");
    Properties all = ReadAll(player);
    Apply(player, std::move(all));
    players[name] = std::move(player);
}

Player* MprisFollower::State::BySender(const std::string& sender) {
    for (auto& [name, player] : players) {
        if (player.owner == sender) {
            return &player;
        }
    }
    return nullptr;
}

std::optional<sdbus::Variant> MprisFollower::State::Read(Player& player, const char* property) {
    try {
        sdbus::Variant value;
        player.proxy->callMethod("Get")
            .onInterface(kProperties)
            .withTimeout(kCallTimeout)
            .withArguments(std::string(kPlayerInterface), std::string(property))
            .storeResultsTo(value);
        return value;
    } catch (const sdbus::Error&) {
        return std::nullopt;  // not there, or no answer
    }
}

void MprisFollower::State::Apply(Player& player, Properties changed) {
    const auto now = Clock::now();
    const auto has = [&](const char* key) { return changed.find(key) != changed.end(); };
    bool readPosition = false;
    if (has("Rate")) {
        player.positionUs = player.PositionUs(now);
        player.positionAt = now;
        player.rate =
            changed.at("Rate").peekValueType() == "d" ? changed.at("Rate").get<double>() : 1.0;
    }
    if (has("Metadata") && changed.at("Metadata").peekValueType() == "a{sv}") {
        Track track = ParseTrack(changed.at("Metadata").get<Properties>());
        if (track.Key() != player.track.Key()) {
            player.itemSeen = now;
            player.positionUs = 0;
            player.positionAt = now;
            readPosition = true;
            // mpv, loading an item after a stop, signals the item but not
            // that it plays again.
            if (!has("PlaybackStatus") && player.proxy) {
                if (auto status = Read(player, "PlaybackStatus")) {
                    changed.emplace("PlaybackStatus", *status);
                }
            }
        }
        player.track = std::move(track);
    }
    if (has("PlaybackStatus")) {
        const int status = StatusOf(AsText(changed.at("PlaybackStatus")));
        if (status != player.status) {
            player.positionUs = player.PositionUs(now);
            player.positionAt = now;
            if (status == 1) {
                player.playingOrder = ++playingCount;
            }
            player.status = status;
            readPosition = true;
        }
    }
    if (has("Position")) {
        player.positionUs = AsInteger(changed.at("Position"));
        player.positionAt = now;
    } else if (readPosition && player.proxy) {
        // Players without a position keep the one worked out here.
        if (auto position = Read(player, "Position")) {
            player.positionUs = AsInteger(*position);
            player.positionAt = Clock::now();
        }
    }
}

void MprisFollower::State::OnOwnerChanged(sdbus::Message& message) {
    std::string name, before, after;
    message >> name >> before >> after;
    if (!Wanted(name)) {
        return;
    }
    if (!before.empty() && players.erase(name) > 0) {
        Report("player " + Short(name) + " left");
    }
    if (!after.empty()) {
        AddPlayer(name, after);
    }
    Update();
}

void MprisFollower::State::OnPropertiesChanged(sdbus::Message& message) {
    Player* player = BySender(message.getSender());
    if (!player) {
        return;
    }
    std::string interface;
    Properties changed;
    std::vector<std::string> invalidated;
    message >> interface >> changed >> invalidated;
    if (interface != kPlayerInterface) {
        return;
    }
    // Some players only say that a value changed; ask for all of them then.
    if (!invalidated.empty()) {
        changed.merge(ReadAll(*player));
    }
    Apply(*player, std::move(changed));
    Update();
}

void MprisFollower::State::OnSeeked(sdbus::Message& message) {
    Player* player = BySender(message.getSender());
    if (!player) {
        return;
    }
    int64_t position = 0;
    message >> position;
    const auto now = Clock::now();
    // Back to the start from the last seconds of the item: it plays again
    // (a repeated item), which counts as a new start.
    if (player->name == followed && player->track.lengthUs > 0 && position < 1'000'000 &&
        player->PositionUs(now) >= player->track.lengthUs - 2'000'000) {
        announcedKey.clear();
    }
    player->positionUs = position;
    player->positionAt = now;
    Update();
}

Player* MprisFollower::State::Choose() {
    Player* latest = nullptr;
    for (auto& [name, player] : players) {
        if (player.status == 1 && (!latest || player.playingOrder > latest->playingOrder)) {
            latest = &player;
        }
    }
    if (latest) {
        return latest;
    }
    if (auto current = players.find(followed); current != players.end()) {
        return &current->second;
    }
    for (auto& [name, player] : players) {
        if (player.status == 3) {
            return &player;
        }
    }
    return players.empty() ? nullptr : &players.begin()->second;
}

bool MprisFollower::State::Settled(const Player& player) const {
    return player.track.lengthUs > 0 || IsStreamLocation(Utf8ToWide(player.track.url)) ||
           Clock::now() - player.itemSeen >= std::chrono::milliseconds(options.settleMs);
}

int MprisFollower::State::NextDeadlineMs() const {
    auto current = players.find(followed);
    if (current == players.end()) {
        return -1;
    }
    if (announcePending) {
        auto due = current->second.itemSeen + std::chrono::milliseconds(options.settleMs);
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
        return static_cast<int>(std::clamp<int64_t>(left, 0, kPositionStepMs));
    }
    return current->second.status == 1 ? kPositionStepMs : -1;
}

void MprisFollower::State::Publish(const Player* player) {
    if (!player) {
        last.status = 0;
        last.positionMs = 0;
        host.SetPlayback(last);
        return;
    }
    const Track& track = player->track;
    PlaybackSnapshot snapshot;
    snapshot.status = player->status;
    int64_t positionMs = std::clamp<int64_t>(player->PositionUs(Clock::now()) / 1000, 0, INT_MAX);
    // A player that plays again after a pause is past the start, which is how
    // the plug-in tells an unpause from a start.
    if (player->status == 1 && positionMs == 0 && announcedKey == track.Key()) {
        positionMs = 1;
    }
    snapshot.positionMs = static_cast<int>(positionMs);
    const std::wstring url = Utf8ToWide(track.url);
    snapshot.file = url.rfind(L"file://", 0) == 0 ? FromFsPath(LocalPath(url)) : url;
    snapshot.lengthSeconds =
        track.lengthUs > 0
            ? static_cast<int>(std::min<int64_t>((track.lengthUs + 500'000) / 1'000'000, INT_MAX))
            : -1;
    TrackInfo tags;
    tags.found = true;
    tags.title = Utf8ToWide(track.title);
    tags.artist = Utf8ToWide(track.artist);
    tags.album = Utf8ToWide(track.album);
    tags.albumArtist = Utf8ToWide(track.albumArtist);
    tags.trackNumber = track.trackNumber;
    snapshot.tags = std::move(tags);
    snapshot.artUrl = track.artUrl;
    last = snapshot;
    host.SetPlayback(snapshot);
}

void MprisFollower::State::Update() {
    Player* chosen = Choose();
    if (!chosen || chosen->name != followed) {
        // The item the plug-in knows ends with its player, unless another
        // player's item starts at once.
        if (announcedStatus != 0 && (!chosen || chosen->status != 1)) {
            Publish(nullptr);
            Notify(kStatusChanged, kPlaybackNotice);
            Report((followed.empty() ? std::string("player") : Short(followed)) + ": stopped");
            announcedStatus = 0;
        }
        announcedKey.clear();
        announcePending = false;
        followed = chosen ? chosen->name : std::string();
        if (chosen) {
            Report("following " + Short(followed));
        }
    }
    if (!chosen) {
        return;
    }
    Publish(chosen);
    const Track& track = chosen->track;
    const std::string who = Short(chosen->name) + ": ";
    if (chosen->status == 0) {
        announcePending = false;
        if (announcedStatus != 0) {
            announcedStatus = 0;
            announcedKey.clear();
            Notify(kStatusChanged, kPlaybackNotice);
            Report(who + "stopped");
        }
        return;
    }
    if (track.Key() != announcedKey) {
        // A new item is announced once it plays and its tags are in; a player
        // that names neither a location nor a title plays nothing yet.
        if (chosen->status != 1 || (track.url.empty() && track.title.empty())) {
            return;
        }
        if (!Settled(*chosen)) {
            announcePending = true;
            return;
        }
        announcePending = false;
        announcedKey = track.Key();
        announcedStatus = 1;
        announcedDisplay = track.Display();
        Notify(0, kNewItem);
        Report(who + "playing \"" + announcedDisplay + "\"");
        return;
    }
    if (chosen->status != announcedStatus) {
        announcedStatus = chosen->status;
        Notify(kStatusChanged, kPlaybackNotice);
        Report(who + StatusName(announcedStatus));
    }
    if (track.Display() != announcedDisplay) {
        announcedDisplay = track.Display();
        Notify(kInfoChanged, kPlaybackNotice);
        Report(who + "now \"" + announcedDisplay + "\"");
    }
}

MprisFollower::MprisFollower(SubstituteHost& host, FollowerOptions options)
    : state_(std::make_unique<State>(host, std::move(options))) {}

MprisFollower::~MprisFollower() {
    Stop();
}

bool MprisFollower::Start(std::string* error) {
    if (state_->thread.joinable()) {
        return true;
    }
    if (::pipe(state_->wake) != 0) {
        if (error) {
            *error = "cannot make a pipe";
        }
        return false;
    }
    state_->thread = std::thread([state = state_.get()] { state->Run(); });
    kiln::MutexLock guard(state_->lock);
    state_->firstTry.wait(guard.native(), [&] {
        state_->lock.AssertHeld();
        return state_->tried;
    });
    if (error) {
        *error = state_->firstError;
    }
    return state_->firstError.empty();
}

void MprisFollower::Stop() {
    if (!state_->thread.joinable()) {
        return;
    }
    const char byte = 1;
    (void)!::write(state_->wake[1], &byte, 1);
    state_->thread.join();
    ::close(state_->wake[0]);
    ::close(state_->wake[1]);
    state_->wake[0] = state_->wake[1] = -1;
}

}  // namespace kiln::host
