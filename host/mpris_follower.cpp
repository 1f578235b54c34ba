#include "host/mpris_follower.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
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
// How long a stream may take to name what it plays (VLC: once the station
// sent it) before it is announced without a title.
constexpr auto kStreamTitleWait = std::chrono::seconds(5);
// VLC now and then takes up a stream's next song without a word: its
// Metadata has the song, no signal said so. The stream shown playing is
// asked again this often.
constexpr auto kStreamRecheck = std::chrono::seconds(2);
// The longest wait between two attempts to reach the bus.
constexpr int kLongestRetryMs = 60'000;
// The length given to a song of a stream that the player gives none for, when
// each song is a play of its own: the plug-in scrobbles nothing of unknown
// length, and half of this is the four minutes after which a long track counts
// as heard. Such a song is scrobbled once it played four minutes; one that
// ends sooner is in the history only, as half of it cannot be told.
constexpr int kStreamSongSeconds = 480;

using Clock = std::chrono::steady_clock;
using Properties = std::map<std::string, sdbus::Variant>;

struct Track {
    std::string id, url, title, artist, album, albumArtist, artUrl;
    int trackNumber = 0;
    int64_t lengthUs = 0;
    // What the plug-in is given as the item's file: the address, else an
    // identity of the player's own (see Locate).
    std::string location;

    std::string Key() const { return id + '\n' + location; }
    std::string Display() const { return artist.empty() ? title : artist + " - " + title; }
    bool Known() const { return !url.empty() || !title.empty() || !artist.empty(); }
    bool Stream() const { return IsStreamLocation(Utf8ToWide(url)); }
};

struct Player {
    std::string name;   // well-known bus name
    std::string owner;  // unique name, the sender of its signals
    std::unique_ptr<sdbus::IProxy> proxy;
    int reported = 0;  // what the player last said: 0 stopped, 1 playing, 3 paused
    int status = 0;    // what counts: a stop only once it lasted
    std::optional<Clock::time_point> stoppedAt;  // a stop that has not lasted yet
    Track track;
    double rate = 1.0;
    int64_t positionUs = 0;
    Clock::time_point positionAt{};
    Clock::time_point itemSeen{};
    Clock::time_point metadataRead{};
    uint64_t playingOrder = 0;  // larger: began playing later
    std::string startedKey;     // the play of this player the plug-in was told of

    int64_t PositionUs(Clock::time_point now) const {
        if (reported != 1) {
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

// Players disagree on the types of lengths and track numbers: any integer,
// a double, a text ("3", "3/12"), or all of that inside another variant.
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
    if (type == "n")
        return value.get<int16_t>();
    if (type == "q")
        return value.get<uint16_t>();
    if (type == "y")
        return value.get<uint8_t>();
    if (type == "d") {
        const double number = value.get<double>();
        return number > -9.2e18 && number < 9.2e18 ? static_cast<int64_t>(number) : 0;
    }
    if (type == "s") {
        return std::strtoll(value.get<std::string>().c_str(), nullptr, 10);
    }
    if (type == "v")
        return AsInteger(value.get<sdbus::Variant>());
    return 0;
}

// Texts, object paths, lists of texts (artists) joined with ", ", numbers
// written out, and any of them inside another variant.
std::string AsText(const sdbus::Variant& value) {
    const std::string type = value.peekValueType();
    if (type == "s")
        return value.get<std::string>();
    if (type == "o")
        return value.get<sdbus::ObjectPath>();
    if (type == "as") {
        std::string joined;
        for (const std::string& part : value.get<std::vector<std::string>>()) {
            if (!part.empty()) {
                joined += (joined.empty() ? "" : ", ") + part;
            }
        }
        return joined;
    }
    if (type == "v")
        return AsText(value.get<sdbus::Variant>());
    if (type.size() == 1 && std::string_view("xtiunqyd").find(type[0]) != std::string_view::npos)
        return std::to_string(AsInteger(value));
    return {};
}

Track ParseTrack(const Properties& metadata) {
    Track track;
    const std::map<std::string, std::string Track::*> texts = {
        {"mpris:trackid", &Track::id},   {"xesam:url", &Track::url},
        {"xesam:title", &Track::title},  {"xesam:artist", &Track::artist},
        {"xesam:album", &Track::album},  {"xesam:albumArtist", &Track::albumArtist},
        {"mpris:artUrl", &Track::artUrl}};
    std::string nowPlaying;
    for (const auto& [key, value] : metadata) {
        if (auto field = texts.find(key); field != texts.end()) {
            track.*(field->second) = AsText(value);
        } else if (key == "mpris:length") {
            track.lengthUs = std::max<int64_t>(AsInteger(value), 0);
        } else if (key == "xesam:trackNumber" || key == "xesam:tracknumber") {  // VLC: lower case
            track.trackNumber = static_cast<int>(std::clamp<int64_t>(AsInteger(value), 0, INT_MAX));
        } else if (key == "vlc:nowplaying") {
            nowPlaying = AsText(value);
        }
    }
    // The id that says "no track".
    if (track.id == "/org/mpris/MediaPlayer2/TrackList/NoTrack") {
        track.id.clear();
    }
    // VLC names the station as the title and the song playing on it apart,
    // often as "Artist - Title"; the song is what is shown.
    if (!nowPlaying.empty()) {
        const size_t dash = nowPlaying.find(" - ");
        if (track.artist.empty() && dash != std::string::npos && dash > 0) {
            track.artist = nowPlaying.substr(0, dash);
            track.title = nowPlaying.substr(dash + 3);
        } else {
            track.title = nowPlaying;
        }
    }
    return track;
}

// The item's file for the plug-in. A player without an address for its item
// (a web player, a streaming client) still names a track id; with its own
// name that is a stable identity that is neither a path that exists nor a web
// address (the plug-in would offer that as a stream to listen along to).
//
// A song on a stream that is a play of its own is an item of its own as well:
// the host describes no stream's item, so its tags would reach no scrobble.
std::string Locate(const Track& track, std::string_view player, bool streamSongs) {
    const auto digest = [](const std::string& text) {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016zx", std::hash<std::string>{}(text));
        return std::string(hex);
    };
    const std::string identity = "mpris:" + std::string(player);
    if (streamSongs && track.Stream()) {
        return identity + "/song/" + digest(track.url + '\n' + track.Display());
    }
    if (!track.url.empty()) {
        return track.url;
    }
    if (!track.Known()) {
        return {};
    }
    if (!track.id.empty()) {
        return identity + (track.id.front() == '/' ? "" : "/") + track.id;
    }
    // Not even a track id: the item is what the player says it is.
    return identity + "/item/" + digest(track.artist + '\n' + track.title + '\n' + track.album);
}

bool NameMatches(std::string_view suffix, const std::vector<std::string>& names) {
    return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
        return !name.empty() && (suffix == name || (suffix.size() > name.size() &&
                                                    suffix.compare(0, name.size(), name) == 0 &&
                                                    suffix[name.size()] == '.'));
    });
}

// A player's name as rules name it: its bus name after the prefix, less the
// ".instance<number>" by which a second copy of a player tells itself apart.
std::string PlayerName(std::string suffix) {
    const size_t dot = suffix.rfind(".instance");
    if (dot != std::string::npos && dot + 9 < suffix.size() &&
        std::all_of(suffix.begin() + static_cast<std::ptrdiff_t>(dot) + 9, suffix.end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        suffix.erase(dot);
    }
    return suffix;
}

}  // namespace

struct MprisFollower::State {
    State(SubstituteHost& h, FollowerOptions o) : host(h), options(std::move(o)) {}

    SubstituteHost& host;
    FollowerOptions options;     // its lists are the follower thread's copy
    int wake[2] = {-1, -1};      // written once to end the thread
    int retarget[2] = {-1, -1};  // written when the lists changed
    std::thread thread;

    kiln::Mutex lock;
    std::condition_variable firstTry;
    bool tried GUARDED_BY(lock) = false;
    std::string firstError GUARDED_BY(lock);
    std::optional<std::pair<std::vector<std::string>, std::vector<std::string>>> newLists
        GUARDED_BY(lock);

    // -- the follower's thread only
    sdbus::IConnection* bus = nullptr;
    std::map<std::string, Player> players;  // by well-known name
    uint64_t playingCount = 0;
    // What the plug-in sees: the shown player, the play it was told of (its
    // fields stay until another play is shown) and the status it was told.
    std::string shown;
    Track shownTrack;
    std::string shownKey;
    int told = 0;
    bool announcePending = false;
    int lastPositionMs = 0;

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
        return (options.players.empty() || NameMatches(suffix, options.players)) &&
               !NameMatches(suffix, options.ignored);
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
    // Takes up the lists set last; true when they changed.
    bool TakeLists();
    void AddWanted(sdbus::IProxy& daemon);
    std::string Describe() const;
    void AddPlayer(const std::string& name, const std::string& owner);
    Player* BySender(const std::string& sender);
    std::optional<sdbus::Variant> Read(Player& player, const char* property);
    void Apply(Player& player, Properties changed, bool first = false);
    Properties ReadAll(Player& player);
    void OnOwnerChanged(sdbus::Message& message);
    void OnPropertiesChanged(sdbus::Message& message);
    void OnSeeked(sdbus::Message& message);
    void SettleStops();
    void RecheckStream();
    Player* Choose();
    bool Settled(const Player& player) const;
    int NextDeadlineMs() const;
    void Publish();
    void Show(const Player& player);
    void StopShown();
    void Notify(uintptr_t wParam, intptr_t lParam) {
        host.Windows().PostMessage(host.Windows().MainWindow(), kIpcMessage, wParam, lParam);
    }
    void Update();
};

void MprisFollower::State::Run() {
    // Without a bus the attempts thin out (a session without one may stay
    // so), and each longer wait is said once.
    int retryMs = options.retryMs;
    bool warned = false;
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
            if (!warned) {
                Report(why + " Trying again in " + std::to_string((retryMs + 999) / 1000) + " s" +
                       (retryMs < kLongestRetryMs ? ", then less often." : "."));
                warned = true;
            }
            FirstTry(why);
            if (WaitForEnd(retryMs)) {
                return;
            }
            if (retryMs < kLongestRetryMs) {
                retryMs = std::min(retryMs * 2, kLongestRetryMs);
                warned = false;
            }
            continue;
        }
        retryMs = options.retryMs;
        warned = false;
        TakeLists();
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
    Report("watching the session bus for media players" + Describe());
    auto daemon = sdbus::createProxy(connection, kDaemon, "/org/freedesktop/DBus");
    AddWanted(*daemon);
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
        pollfd fds[3] = {{data.fd, data.events, 0}, {wake[0], POLLIN, 0}, {retarget[0], POLLIN, 0}};
        if (::poll(fds, 3, timeout) < 0 && errno != EINTR) {
            throw sdbus::Error("org.freedesktop.DBus.Error.Failed", "poll failed");
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[2].revents != 0) {
            char drained[64];
            (void)!::read(retarget[0], drained, sizeof drained);
            if (TakeLists()) {
                Report("now following media players" + Describe());
                std::erase_if(players, [&](const auto& entry) {
                    if (Wanted(entry.first)) {
                        return false;
                    }
                    Report("player " + Short(entry.first) + " left aside");
                    return true;
                });
                AddWanted(*daemon);
            }
        }
        if (fds[0].revents & (POLLHUP | POLLERR)) {
            // What is still queued is delivered; then the read fails.
            while (connection.processPendingRequest()) {
            }
            throw sdbus::Error("org.freedesktop.DBus.Error.Disconnected", "the bus hung up");
        }
        RecheckStream();
        Update();
    }
}

bool MprisFollower::State::TakeLists() {
    kiln::MutexLock guard(lock);
    if (!newLists) {
        return false;
    }
    options.players = std::move(newLists->first);
    options.ignored = std::move(newLists->second);
    newLists.reset();
    return true;
}

std::string MprisFollower::State::Describe() const {
    std::string which;
    for (const std::string& name : options.players) {
        which += (which.empty() ? " named " : ", ") + name;
    }
    for (const std::string& name : options.ignored) {
        which += (which.find(" but ") == std::string::npos ? " but " : ", ") + name;
    }
    return which;
}

// Takes up the wanted players on the bus that are not followed yet.
void MprisFollower::State::AddWanted(sdbus::IProxy& daemon) {
    std::vector<std::string> names;
    daemon.callMethod("ListNames")
        .onInterface(kDaemon)
        .withTimeout(kCallTimeout)
        .storeResultsTo(names);
    for (const std::string& name : names) {
        if (!Wanted(name) || players.count(name) > 0) {
            continue;
        }
        std::string owner;
        try {
            daemon.callMethod("GetNameOwner")
                .onInterface(kDaemon)
                .withTimeout(kCallTimeout)
                .withArguments(name)
                .storeResultsTo(owner);
        } catch (const sdbus::Error&) {
            continue;  // gone meanwhile
        }
        AddPlayer(name, owner);
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
    Apply(player, std::move(all), true);
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

void MprisFollower::State::Apply(Player& player, Properties changed, bool first) {
    const auto now = Clock::now();
    const auto has = [&](const char* key) { return changed.find(key) != changed.end(); };
    bool readPosition = false;
    bool began = false;  // began playing, or began a new item while playing
    if (has("Rate")) {
        player.positionUs = player.PositionUs(now);
        player.positionAt = now;
        const sdbus::Variant& rate = changed.at("Rate");
        player.rate = rate.peekValueType() == "d" ? rate.get<double>() : 1.0;
    }
    if (has("Metadata") && changed.at("Metadata").peekValueType() == "a{sv}") {
        Track track = ParseTrack(changed.at("Metadata").get<Properties>());
        track.location = Locate(track, Short(player.name), options.streamSongPlays);
        if (track.Key() != player.track.Key()) {
            began = true;
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
        const std::string text = AsText(changed.at("PlaybackStatus"));
        const int status = StatusOf(text);
        if (!text.empty() && status != player.reported) {
            player.positionUs = player.PositionUs(now);
            player.positionAt = now;
            player.reported = status;
            began = began || status == 1;
            readPosition = true;
        }
    }
    // A player that says it plays with nothing to play (mpv idle and not
    // paused) is stopped.
    const int heard = player.reported == 1 && !player.track.Known() ? 0 : player.reported;
    if (began && heard == 1) {
        player.playingOrder = ++playingCount;
    }
    // What counts: a stop only once it lasted (see SettleStops), anything
    // else at once.
    if (heard == 0 && player.status != 0 && !first) {
        if (!player.stoppedAt) {
            player.stoppedAt = now;
        }
    } else if (heard != 0 || first) {
        player.stoppedAt.reset();
        player.status = heard;
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
    // A player that came while the follower listed the names is known already.
    if (auto known = players.find(name);
        !after.empty() && known != players.end() && known->second.owner == after) {
        return;
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
    // (a repeated item), which is a new play.
    if (player->track.lengthUs > 0 && position < 1'000'000 &&
        player->PositionUs(now) >= player->track.lengthUs - 2'000'000) {
        player->startedKey.clear();
        if (player->status == 1) {
            player->playingOrder = ++playingCount;
        }
    }
    player->positionUs = position;
    player->positionAt = now;
    Update();
}

void MprisFollower::State::SettleStops() {
    const auto now = Clock::now();
    for (auto& [name, player] : players) {
        if (player.stoppedAt &&
            now - *player.stoppedAt >= std::chrono::milliseconds(options.stopSettleMs)) {
            player.stoppedAt.reset();
            player.status = 0;
        }
        // A play ends with a stop; the same item played again is a new one.
        if (player.status == 0) {
            player.startedKey.clear();
        }
    }
}

void MprisFollower::State::RecheckStream() {
    auto current = players.find(shown);
    const auto now = Clock::now();
    if (current == players.end() || current->second.reported != 1 ||
        !current->second.track.Stream() || !current->second.proxy ||
        now - current->second.metadataRead < kStreamRecheck) {
        return;
    }
    current->second.metadataRead = now;
    if (auto metadata = Read(current->second, "Metadata")) {
        Apply(current->second, Properties{{"Metadata", *metadata}});
    }
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
    if (auto current = players.find(shown); current != players.end()) {
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
    const auto waited = Clock::now() - player.itemSeen;
    if (player.track.Stream()) {
        return !player.track.title.empty() || waited >= kStreamTitleWait;
    }
    return player.track.lengthUs > 0 || waited >= std::chrono::milliseconds(options.settleMs);
}

int MprisFollower::State::NextDeadlineMs() const {
    const auto now = Clock::now();
    int64_t next = -1;
    const auto due = [&](Clock::time_point at) {
        const int64_t left = std::max<int64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(at - now).count(), 0);
        next = next < 0 ? left : std::min(next, left);
    };
    for (const auto& [name, player] : players) {
        if (player.stoppedAt) {
            due(*player.stoppedAt + std::chrono::milliseconds(options.stopSettleMs));
        }
    }
    if (auto current = players.find(shown); current != players.end()) {
        if (announcePending) {
            due(current->second.itemSeen +
                (current->second.track.Stream()
                     ? std::chrono::duration_cast<std::chrono::milliseconds>(kStreamTitleWait)
                     : std::chrono::milliseconds(options.settleMs)));
        }
        if (told == 1) {
            due(now + std::chrono::milliseconds(kPositionStepMs));
        }
    }
    return next < 0 ? -1 : static_cast<int>(std::min<int64_t>(next, kPositionStepMs));
}

// The plug-in reads the shown play: its fields, the status it was told and,
// while that play is its player's current one, the player's position.
void MprisFollower::State::Publish() {
    const Track& track = shownTrack;
    PlaybackSnapshot snapshot;
    snapshot.status = told;
    auto player = players.find(shown);
    if (told != 0 && player != players.end() && player->second.track.Key() == shownKey) {
        int64_t positionMs =
            std::clamp<int64_t>(player->second.PositionUs(Clock::now()) / 1000, 0, INT_MAX);
        // A player that plays again after a pause is past the start, which is
        // how the plug-in tells an unpause from a start.
        if (told == 1 && positionMs == 0 && player->second.startedKey == shownKey) {
            positionMs = 1;
        }
        lastPositionMs = static_cast<int>(positionMs);
    } else if (told == 0) {
        lastPositionMs = 0;
    }
    snapshot.positionMs = lastPositionMs;
    const std::wstring location = Utf8ToWide(track.location);
    snapshot.file = location.rfind(L"file://", 0) == 0 ? FromFsPath(LocalPath(location)) : location;
    snapshot.lengthSeconds =
        track.lengthUs > 0
            ? static_cast<int>(std::min<int64_t>((track.lengthUs + 500'000) / 1'000'000, INT_MAX))
        : options.streamSongPlays && track.Stream() ? kStreamSongSeconds
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
    snapshot.player = shown.empty() ? std::wstring() : Utf8ToWide(PlayerName(Short(shown)));
    host.SetPlayback(snapshot);
}

// The player's current play becomes what the plug-in reads.
void MprisFollower::State::Show(const Player& player) {
    shownTrack = player.track;
    shownKey = player.track.Key();
    Publish();
}

// The shown play ends; the plug-in reads its fields while it handles the stop.
void MprisFollower::State::StopShown() {
    told = 0;
    Publish();
    Notify(kStatusChanged, kPlaybackNotice);
    Report((shown.empty() ? std::string("player") : Short(shown)) + ": stopped");
}

void MprisFollower::State::Update() {
    SettleStops();
    Player* chosen = Choose();
    if (!chosen || chosen->name != shown) {
        // The shown play ends with its player, unless another player plays:
        // its play takes over at once.
        if (told != 0 && (!chosen || chosen->status != 1)) {
            StopShown();
        }
        announcePending = false;
        shown = chosen ? chosen->name : std::string();
        if (!chosen) {
            return;
        }
        Report("following " + Short(shown));
        // A play that went on in the background is shown again, not started
        // again.
        if (told != 0 && chosen->status == 1 && !chosen->startedKey.empty() &&
            chosen->startedKey == chosen->track.Key()) {
            Show(*chosen);
            Notify(kInfoChanged, kPlaybackNotice);
            Report(Short(shown) + ": shown again, \"" + shownTrack.Display() + "\"");
        }
    }
    Player& player = *chosen;
    const std::string who = Short(player.name) + ": ";
    if (player.status == 0) {
        announcePending = false;
        if (told != 0) {
            StopShown();
        }
        return;
    }
    const std::string key = player.track.Key();
    if (key != player.startedKey) {
        // A new play is announced once it plays and its tags are in; a player
        // that names neither a location nor a title plays nothing yet.
        if (player.reported != 1 || !player.track.Known()) {
            announcePending = false;
            return;
        }
        if (!Settled(player)) {
            announcePending = true;
            return;
        }
        announcePending = false;
        player.startedKey = key;
        told = 1;
        Show(player);
        Notify(0, kNewItem);
        Report(who + "playing \"" + shownTrack.Display() + "\"");
        return;
    }
    // The player's play is under way. A play the plug-in already saw stop
    // (its player was left in the background) tells nothing until it plays.
    if (told == 0 && player.status != 1) {
        return;
    }
    const std::string before = shownKey == key ? shownTrack.Display() : std::string();
    Show(player);
    if (player.status != told) {
        told = player.status;
        Publish();
        Notify(kStatusChanged, kPlaybackNotice);
        Report(who + StatusName(told));
    }
    if (shownTrack.Display() != before) {
        Notify(kInfoChanged, kPlaybackNotice);
        Report(who + "now \"" + shownTrack.Display() + "\"");
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
    if (::pipe(state_->wake) != 0 || ::pipe2(state_->retarget, O_NONBLOCK) != 0) {
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
    for (int* fd :
         {&state_->wake[0], &state_->wake[1], &state_->retarget[0], &state_->retarget[1]}) {
        ::close(*fd);
        *fd = -1;
    }
}

void MprisFollower::SetPlayers(std::vector<std::string> players, std::vector<std::string> ignored) {
    {
        kiln::MutexLock guard(state_->lock);
        state_->newLists.emplace(std::move(players), std::move(ignored));
    }
    if (state_->retarget[1] >= 0) {
        const char byte = 1;
        (void)!::write(state_->retarget[1], &byte, 1);
    }
}

}  // namespace kiln::host
