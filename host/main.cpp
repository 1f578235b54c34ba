// kiln-host: a small stand-in for the player. Loads gen_kiln from its plug-ins
// folder, starts it the way a player does and takes commands on standard input.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "core/thread_annotations.h"
#include "host/host_threads.h"
#include "host/mpris_follower.h"
#include "host/playback_simulator.h"
#include "host/prefs_server.h"
#include "host/sample_media.h"
#include "host/substitute_host.h"
#include "host/window_system.h"
#include "services/paths.h"
#include "services/settings_store.h"
#include "services/text_services.h"

namespace {

using kiln::host::SubstituteHost;
using kiln::host::Utf8ToWide;
using kiln::host::WideToUtf8;

constexpr const char* kUsage = R"(kiln-host: runs the gen_kiln plug-in the way a player does.

Usage:
  kiln-host [--profile DIR] [--plugins DIR] [--set KEY=VALUE]... [--map HOST=ADDRESS]...
            [--web-base URL] [--prefs-port PORT] [prefs] [play FILE...]
  kiln-host [options] follow [--player NAME]... [--ignore NAME]... [--stream-song-plays]
  kiln-host [--profile DIR] tracking on|off
  kiln-host make-samples DIR
  kiln-host --help

Loads gen_kiln from the plug-ins folder (default: "plugins" beside this
program, else ../lib/kiln from it), initialises it, runs its deferred start-up
through the main loop and then reads commands from standard input, one per
line:

  play [N]        play the list given on the command line (from item N, 1-based)
  pause, resume, stop, next
                  as a player's buttons; the list plays in real time, one item
                  after the other, and stops at its end
  info            announce changed item information (as a stream title change)
  status          print the playback position
  menu            show the plug-in's configuration menu (it is dismissed)
  menu N          show the menu and pick item N (1 About..., 2 Goto logging options...)
  about           the same as "menu 1"
  tracking on|off the plug-in's "Pause tracking": off keeps every output quiet
                  (also "kiln-host tracking on|off" beside a running kiln-host,
                  which it then asks)
  pages           list the preference pages the plug-in registered
  prefs           serve the preferences window to the browser: prints its
                  address and opens it when a desktop is present (also the
                  plug-in's "Goto logging options...", and "prefs" given
                  before "play" on the command line)
  settings        print the profile's settings file
  wait MS         keep the main loop running for MS milliseconds
  quit            quit the plug-in, unload it and exit (also at end of input,
                  once a list given with "play" has finished)
  help            this text

--map sends the plug-in's web requests for HOST to ADDRESS instead (scheme,
host and port, e.g. --map posts.example=http://127.0.0.1:8080); --web-base
sets the host's web base address (default https://orbit.example/).

"follow" plays the player's part for the media players on the D-Bus session
bus (MPRIS): the plug-in sees what the player that started playing last
plays. --player NAME (repeatable) follows only the players whose bus name ends
in NAME (--player vlc), --ignore NAME never those; the profile's settings
(section kiln-host) may list more in "players" and "ignore_players", separated
by commas, which the preference pages show and change ("Followed players"; a
change is followed at once). --stream-song-plays (setting stream_song_plays=1)
makes each song of a stream a play of its own; else a song change only
refreshes what is shown. It prints a line per event and runs until "quit", SIGINT or SIGTERM,
also when the bus or the player comes and goes.

--set stores a setting of the plug-in (section gen_kiln) in the profile before
the plug-in is loaded, as its preference pages would: --set logging_on=1.

A fresh profile (default: ./kiln-profile) is created on first run; it holds
the settings file, the "Logs" folder and the cache folder. One kiln-host runs
on a profile: "prefs" beside a running one asks it to serve its pages, prints
their address and ends; a second "follow" waits until the first ends; any
other use is refused.

"make-samples" writes a few tagged sample files (silent WAV with ID3v2 tags
and cover art) to play.
)";

std::string Narrow(const std::wstring& text) {
    return WideToUtf8(text);
}

// Menu texts carry '&' accelerators and line breaks; print them plainly.
std::string Printable(const std::wstring& text) {
    std::string out = Narrow(text);
    for (char& c : out) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return out;
}

class CommandQueue {
  public:
    void Push(std::string line) {
        kiln::MutexLock guard(lock_);
        lines_.push_back(std::move(line));
    }
    bool Pop(std::string& line) {
        kiln::MutexLock guard(lock_);
        if (lines_.empty()) {
            return false;
        }
        line = std::move(lines_.front());
        lines_.pop_front();
        return true;
    }
    void Close() {
        kiln::MutexLock guard(lock_);
        closed_ = true;
    }
    bool Closed() {
        kiln::MutexLock guard(lock_);
        return closed_ && lines_.empty();
    }

  private:
    kiln::Mutex lock_;
    std::deque<std::string> lines_ GUARDED_BY(lock_);
    bool closed_ GUARDED_BY(lock_) = false;
};

void PrintPages(SubstituteHost& host) {
    for (const auto& page : host.Windows().Pages()) {
        std::cout << "page " << page.id << ": \"" << Printable(page.name) << "\" code "
                  << page.pageCode;
        if (page.Tabbed()) {
            std::cout << ", tabs:";
            for (size_t i = 0; i < page.tabs.size(); ++i) {
                std::string name = i < page.tabNames.size() ? Printable(page.tabNames[i]) : "?";
                std::cout << " [" << name << " = dialog " << page.tabs[i].dialogId << "]";
            }
        } else if (!page.tabs.empty()) {
            std::cout << ", dialog " << page.tabs[0].dialogId;
        }
        std::cout << "\n";
    }
}

// Turns the plug-in's tracking on or off through its menu's "Pause tracking",
// as a user would; prints the state.
std::string SetTracking(SubstituteHost& host, bool on) {
    const bool paused = host.Settings().ReadInt(L"gen_kiln", L"private_mode", 0) != 0;
    if (paused == on) {
        host.Windows().SetMenuChooser([](const std::vector<kiln::host::MenuItem>&) { return 3; });
        host.ConfigPlugin();
    }
    const bool nowOn = host.Settings().ReadInt(L"gen_kiln", L"private_mode", 0) == 0;
    return std::string("tracking: ") + (nowOn ? "on" : "off (paused)");
}

// A list of player names as stored or typed: separated by commas or blanks.
std::vector<std::string> NameList(std::string text) {
    std::vector<std::string> names;
    std::replace(text.begin(), text.end(), ',', ' ');
    std::istringstream words(text);
    for (std::string name; words >> name;) {
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
    return names;
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

// The follower's lists: those of the command line, which hold for the whole
// run, and the stored ones (section kiln-host), which its page changes at
// once; the follower follows both together.
struct FollowerLists {
    std::vector<std::string> givenPlayers, givenIgnored;
    kiln::host::MprisFollower* follower = nullptr;

    static std::vector<std::string> Stored(const kiln::host::SettingsStore& settings,
                                           const wchar_t* key) {
        return NameList(Narrow(settings.Get(L"kiln-host", key).value_or(L"")));
    }
    static std::vector<std::string> Both(std::vector<std::string> given,
                                         const std::vector<std::string>& stored) {
        for (const std::string& name : stored) {
            if (std::find(given.begin(), given.end(), name) == given.end()) {
                given.push_back(name);
            }
        }
        return given;
    }
    std::vector<std::string> Players(const kiln::host::SettingsStore& settings) const {
        return Both(givenPlayers, Stored(settings, L"players"));
    }
    std::vector<std::string> Ignored(const kiln::host::SettingsStore& settings) const {
        return Both(givenIgnored, Stored(settings, L"ignore_players"));
    }
    // What the page shows.
    std::string State(const kiln::host::SettingsStore& settings) const {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> out(buffer);
        out.StartObject();
        for (auto [name, text] : {std::pair{"players", Joined(Stored(settings, L"players"))},
                                  {"ignored", Joined(Stored(settings, L"ignore_players"))},
                                  {"givenPlayers", Joined(givenPlayers)},
                                  {"givenIgnored", Joined(givenIgnored)}}) {
            out.Key(name);
            out.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
        }
        out.EndObject();
        return buffer.GetString();
    }
    // The page's change: stored, and followed from now on.
    void Change(SubstituteHost& host, const std::string& players, const std::string& ignored) {
        auto& settings = host.Settings();
        settings.WriteText(L"kiln-host", L"players", Utf8ToWide(Joined(NameList(players))).c_str());
        settings.WriteText(L"kiln-host", L"ignore_players",
                           Utf8ToWide(Joined(NameList(ignored))).c_str());
        if (follower) {
            follower->SetPlayers(Players(settings), Ignored(settings));
        }
    }
};
std::optional<FollowerLists> followerLists;

std::unique_ptr<kiln::host::PrefsServer> prefsServer;
int prefsPort = 0;

// The pages' address, serving them first when needed; empty when they cannot
// be served.
std::string EnsurePrefs(SubstituteHost& host) {
    if (!prefsServer) {
        auto server = std::make_unique<kiln::host::PrefsServer>(host);
        std::string error;
        if (!server->Start(prefsPort, &error)) {
            std::cerr << "kiln-host: preferences: cannot listen on 127.0.0.1:" << prefsPort << " ("
                      << error << ")\n";
            return {};
        }
        prefsServer = std::move(server);
        if (followerLists) {
            prefsServer->SetFollowerPage(
                followerLists->State(host.Settings()),
                [&host](const std::string& players, const std::string& ignored) {
                    followerLists->Change(host, players, ignored);
                    prefsServer->SetFollowerState(followerLists->State(host.Settings()));
                });
        }
    }
    return prefsServer->Address();
}

void StartPrefs(SubstituteHost& host) {
    const std::string address = EnsurePrefs(host);
    if (address.empty()) {
        return;
    }
    std::cout << "preferences: " << address << "\n" << std::flush;
    prefsServer->OpenInBrowser();
}

void ShowMenu(SubstituteHost& host, int pick) {
    host.Windows().SetMenuChooser([pick](const std::vector<kiln::host::MenuItem>& items) {
        std::cout << "menu:\n";
        for (const auto& item : items) {
            if (item.separator) {
                std::cout << "  ----\n";
            } else {
                std::cout << "  "
                          << (item.Selectable() ? std::to_string(item.id) : std::string("-"))
                          << "  " << Printable(item.text) << (item.Selectable() ? "" : "  (greyed)")
                          << "\n";
            }
        }
        if (pick > 0) {
            std::cout << "picked " << pick << "\n";
        }
        return pick;
    });
    host.ConfigPlugin();
    if (prefsServer) {
        prefsServer->Attach();  // the page's menu again
    }
    if (pick == 2) {
        if (auto open = host.Windows().OpenPageId()) {
            if (auto page = host.Windows().Page(open)) {
                std::cout << "preferences opened at \"" << Printable(page->name) << "\"\n";
            }
            StartPrefs(host);
        }
    }
}

kiln::host::PlaybackSimulator* player = nullptr;
bool progressShown = false;

void ClearProgress() {
    if (progressShown) {
        std::cout << "\r\033[K";
        progressShown = false;
    }
}

bool RunCommand(SubstituteHost& host, const std::string& line) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command.empty()) {
        return true;
    }
    if (command == "quit" || command == "exit") {
        return false;
    }
    if (command == "help") {
        std::cout << kUsage;
    } else if (command == "play") {
        size_t from = 1;
        words >> from;
        if (player->Playlist().empty()) {
            std::cout << "nothing to play: give files after \"play\" on the command line\n";
        } else {
            player->Play(from > 0 ? from - 1 : 0);
        }
    } else if (command == "pause") {
        player->Pause();
    } else if (command == "resume") {
        player->Resume();
    } else if (command == "stop") {
        player->Stop();
    } else if (command == "next") {
        player->Next();
    } else if (command == "info") {
        player->InfoChanged();
    } else if (command == "status") {
        std::cout << player->ProgressLine() << "\n";
    } else if (command == "menu") {
        int pick = 0;
        words >> pick;
        ShowMenu(host, pick);
    } else if (command == "about") {
        ShowMenu(host, 1);
    } else if (command == "tracking") {
        std::string state;
        words >> state;
        if (state == "on" || state == "off") {
            std::cout << SetTracking(host, state == "on") << "\n";
        } else {
            std::cout << "tracking: say on or off\n";
        }
    } else if (command == "prefs") {
        StartPrefs(host);
    } else if (command == "pages") {
        PrintPages(host);
    } else if (command == "settings") {
        std::FILE* file = std::fopen((host.Profile() / "settings.ini").c_str(), "rb");
        if (file) {
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
                std::cout.write(buffer, static_cast<std::streamsize>(n));
            }
            std::fclose(file);
        } else {
            std::cout << "(no settings stored yet)\n";
        }
    } else if (command == "wait") {
        int ms = 0;
        words >> ms;
        host.Windows().RunFor(std::chrono::milliseconds(ms));
    } else {
        std::cout << "unknown command \"" << command << "\" (try help)\n";
    }
    std::cout.flush();
    return true;
}

void Tick(kiln::Window, unsigned, uintptr_t, uint32_t) {
    if (player) {
        player->Tick();
    }
}

// One kiln-host per profile. The first takes a lock in the profile and
// listens on a Unix socket beside it (mode 0600: only its user may ask); a
// later "kiln-host prefs" asks it to serve its pages instead of loading a
// second plug-in on the same settings and cache.
class Instance {
  public:
    explicit Instance(const std::filesystem::path& profile)
        : socketPath_(profile / "kiln-host.sock") {
        lock_ = ::open((profile / "kiln-host.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        owner_ = lock_ >= 0 && ::flock(lock_, LOCK_EX | LOCK_NB) == 0;
    }
    ~Instance() {
        if (listener_ >= 0) {
            ::unlink(socketPath_.c_str());
            ::close(listener_);
        }
        if (lock_ >= 0) {
            ::close(lock_);
        }
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    bool Owner() const { return owner_; }
    bool WaitForOwnership() {
        owner_ = lock_ >= 0 && ::flock(lock_, LOCK_EX) == 0;
        return owner_;
    }

    // The owner listens; requests are answered from the main loop (Serve).
    bool Listen(std::string* why) {
        sockaddr_un address{};
        if (socketPath_.native().size() >= sizeof address.sun_path) {
            *why = "the profile's path is too long for a socket";
            return false;
        }
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, socketPath_.c_str());
        ::unlink(socketPath_.c_str());  // left by one that did not end well
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const mode_t before = ::umask(0177);
        const bool bound =
            listener_ >= 0 &&
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::umask(before);
        if (!bound || ::chmod(socketPath_.c_str(), 0600) != 0 || ::listen(listener_, 4) != 0) {
            *why = std::strerror(errno);
            if (listener_ >= 0) {
                ::close(listener_);
                listener_ = -1;
            }
            return false;
        }
        return true;
    }

    // Answers the requests waiting, on the main thread: "prefs" gets the
    // pages' address, "tracking on|off" the new state. A client that says
    // nothing within a second is dropped.
    void Serve(const std::function<std::string()>& prefs,
               const std::function<std::string(bool)>& tracking) {
        if (listener_ < 0) {
            return;
        }
        for (int client; (client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            timeval limit{1, 0};
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            char request[64] = {};
            const ssize_t got = ::recv(client, request, sizeof request - 1, 0);
            std::string reply = "unknown request\n";
            const std::string_view said(request, got > 0 ? static_cast<size_t>(got) : 0);
            if (said == "tracking on\n" || said == "tracking off\n") {
                reply = tracking(said == "tracking on\n") + "\n";
                std::cout << reply << std::flush;
            } else if (said == "prefs\n") {
                const std::string address = prefs();
                reply = address.empty() ? "the pages cannot be served\n" : address + "\n";
                std::cout << "preferences: " << address << " (asked by another kiln-host)\n"
                          << std::flush;
            }
            (void)!::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(client);
        }
    }

    // For a second kiln-host: asks the running one for its pages' address.
    std::optional<std::string> AskForPrefs(std::string* why) const {
        std::optional<std::string> answer = Ask("prefs\n", why);
        if (answer && answer->rfind("http", 0) != 0) {
            *why = *answer;
            return std::nullopt;
        }
        return answer;
    }

    // Sends one request to the running kiln-host; its one-line answer.
    std::optional<std::string> Ask(const std::string& request, std::string* why) const {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string answer;
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(request.size())) {
            char buffer[512];
            for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
                answer.append(buffer, static_cast<size_t>(got));
            }
        } else {
            *why = std::strerror(errno);
        }
        if (fd >= 0) {
            ::close(fd);
        }
        if (answer.empty()) {
            if (why->empty()) {
                *why = "no answer";
            }
            return std::nullopt;
        }
        return answer.substr(0, answer.find('\n'));
    }

  private:
    std::filesystem::path socketPath_;
    int lock_ = -1;
    int listener_ = -1;
    bool owner_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path profile = "kiln-profile";
    std::filesystem::path plugins;
    std::vector<std::wstring> playlist;
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<std::pair<std::string, std::string>> maps;
    std::string webBase;
    bool playGiven = false;
    bool followGiven = false;
    std::vector<std::string> followPlayers, ignoredPlayers;
    bool streamSongPlays = false;
    bool prefsAtStart = false;
    std::string trackingAtStart;  // "on" or "off": the running kiln-host is asked
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "make-samples") {
            if (i + 1 >= argc) {
                std::cerr << "kiln-host: make-samples needs a folder\n";
                return 2;
            }
            auto files = kiln::host::WriteDemoSamples(argv[i + 1]);
            for (const auto& file : files) {
                std::cout << file.string() << "\n";
            }
            return files.empty() ? 1 : 0;
        }
        if (playGiven) {
            std::error_code ignored;
            auto absolute = std::filesystem::absolute(arg, ignored);
            playlist.push_back(arg.find("://") != std::string::npos
                                   ? kiln::host::Utf8ToWide(arg)
                                   : kiln::host::FromFsPath(absolute));
            continue;
        }
        if (arg == "play") {
            playGiven = true;
            continue;
        }
        if (arg == "follow") {
            followGiven = true;
            continue;
        }
        if ((arg == "--player" || arg == "--ignore") && followGiven && i + 1 < argc) {
            (arg == "--player" ? followPlayers : ignoredPlayers).push_back(argv[++i]);
            continue;
        }
        if (arg == "--stream-song-plays" && followGiven) {
            streamSongPlays = true;
            continue;
        }
        if (arg == "prefs") {
            prefsAtStart = true;
            continue;
        }
        if (arg == "tracking" && i + 1 < argc &&
            (std::string(argv[i + 1]) == "on" || std::string(argv[i + 1]) == "off")) {
            trackingAtStart = argv[++i];
            continue;
        }
        if (arg == "--profile" && i + 1 < argc) {
            profile = argv[++i];
        } else if (arg == "--plugins" && i + 1 < argc) {
            plugins = argv[++i];
        } else if ((arg == "--set" || arg == "--map") && i + 1 < argc) {
            std::string pair = argv[++i];
            size_t equals = pair.find('=');
            if (equals == std::string::npos || equals == 0) {
                std::cerr << "kiln-host: " << arg << " takes NAME=VALUE\n";
                return 2;
            }
            (arg == "--set" ? settings : maps)
                .emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
        } else if (arg == "--prefs-port") {
            // A port number and nothing else: anything else would quietly
            // listen somewhere other than asked.
            const std::string value = i + 1 < argc ? argv[++i] : "";
            const bool digits = !value.empty() && value.size() <= 5 &&
                                value.find_first_not_of("0123456789") == std::string::npos;
            prefsPort = digits ? std::stoi(value) : 0;
            if (prefsPort < 1 || prefsPort > 65535) {
                std::cerr << "kiln-host: --prefs-port takes a port number from 1 to 65535, not \""
                          << value << "\"\n";
                return 2;
            }
        } else if (arg == "--web-base" && i + 1 < argc) {
            webBase = argv[++i];
        } else {
            std::cerr << "kiln-host: unknown argument \"" << arg << "\" (see --help)\n";
            return 2;
        }
    }
    if (plugins.empty()) {
        // Beside the program (a build, a user's own install), else where the
        // package puts it: /usr/bin/kiln-host, /usr/lib/kiln/gen_kiln.so.
        const auto folder = std::filesystem::canonical("/proc/self/exe").parent_path();
        plugins = folder / "plugins";
        if (std::error_code none;
            !std::filesystem::exists(plugins / "gen_kiln.so", none) &&
            std::filesystem::exists(folder / "../lib/kiln/gen_kiln.so", none)) {
            plugins = (folder / "../lib/kiln").lexically_normal();
        }
    }
    if (followGiven && playGiven) {
        std::cerr << "kiln-host: follow plays what the players play; give no list with it\n";
        return 2;
    }
    std::error_code noProfile;
    std::filesystem::create_directories(profile, noProfile);
    Instance instance(profile);
    if (!instance.Owner()) {
        const std::string where = std::filesystem::absolute(profile).string();
        if (!trackingAtStart.empty() && !followGiven && !playGiven) {
            std::string why;
            if (auto state = instance.Ask("tracking " + trackingAtStart + "\n", &why)) {
                std::cout << *state << " (the kiln-host running on " << where << ")\n";
                return 0;
            }
            std::cerr << "kiln-host: the kiln-host running on " << where
                      << " did not answer: " << why << "\n";
            return 1;
        }
        if (prefsAtStart && !followGiven && !playGiven) {
            std::string why;
            if (auto address = instance.AskForPrefs(&why)) {
                std::cout << "preferences: " << *address
                          << " (served by the kiln-host already running on " << where << ")\n"
                          << std::flush;
                // The token stays off the command line: the browser is given
                // a private file that forwards to the address.
                const std::string redirect = kiln::host::WritePrivateRedirect(*address, nullptr);
                if (!redirect.empty()) {
                    kiln::host::OpenInDesktop(redirect);
                }
                return 0;
            }
            std::cerr << "kiln-host: the kiln-host running on " << where
                      << " did not give its pages: " << why << "\n";
            return 1;
        }
        if (!followGiven) {
            std::cerr << "kiln-host: a kiln-host already runs on " << where
                      << "; \"kiln-host --profile " << where << " prefs\" opens its pages\n";
            return 1;
        }
        // A follower started beside another (a second login) takes over
        // when that one ends.
        std::cout << "kiln-host: a kiln-host already runs on " << where
                  << "; waiting until it ends\n"
                  << std::flush;
        if (!instance.WaitForOwnership()) {
            return 1;
        }
    }
    if (std::string why; !instance.Listen(&why)) {
        std::cout << "kiln-host: other kiln-hosts cannot reach this one (" << why << ")\n";
    }

    // A follower, and the pages served on their own, end on SIGINT or SIGTERM
    // (a service manager's stop) as on "quit", storing the open page first:
    // one thread waits for them, every other thread has them blocked.
    const bool stopOnSignal = followGiven || prefsAtStart;
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (stopOnSignal) {
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    }

    SubstituteHost& host = SubstituteHost::Instance();
    bool fresh = !std::filesystem::exists(profile / "settings.ini");
    host.OpenProfile(profile);
    for (const auto& [name, address] : maps) {
        host.MapHost(name, address);
    }
    if (!webBase.empty()) {
        host.SetWebBase(webBase);
    }
    for (const auto& [key, value] : settings) {
        std::wstring wideKey = kiln::host::Utf8ToWide(key);
        std::wstring wideValue = kiln::host::Utf8ToWide(value);
        host.Settings().WriteText(L"gen_kiln", wideKey.c_str(), wideValue.c_str());
    }
    std::cout << "kiln-host: profile " << std::filesystem::absolute(profile).string()
              << (fresh ? " (new)" : "") << "\n";
    host.Windows().SetAboutObserver([](const kiln::host::AboutRecord& about) {
        std::cout << "About box \"" << Narrow(about.title) << "\":\n" << Narrow(about.text) << "\n";
    });

    // The open-URL service: the desktop's browser, at the mapped address
    // (--map reaches a local stand-in of a web page as well as of a service).
    host.Windows().SetUrlObserver([&host](const std::wstring& url) {
        const std::string address = host.MapUrl(Narrow(url));
        std::cout << "open " << address << "\n" << std::flush;
        kiln::host::OpenInDesktop(address);
    });

    std::string error;
    std::filesystem::path library = plugins / "gen_kiln.so";
    if (!host.LoadPlugin(library, &error)) {
        std::cerr << "kiln-host: cannot load " << library.string() << ": " << error << "\n";
        return 1;
    }
    std::cout << "loaded " << library.string() << ": \"" << Narrow(host.Plugin()->description)
              << "\" (descriptor version 0x" << std::hex << host.Plugin()->version << std::dec
              << ")\n";
    host.InitPlugin();
    host.RunDeferredStartup();
    std::cout << "initialised; description now \"" << Narrow(host.Plugin()->description) << "\"\n";
    std::cout.flush();

    kiln::host::PlaybackSimulator simulator(host);
    simulator.SetPlaylist(playlist);
    player = &simulator;
    host.Windows().SetTimer(host.Windows().MainWindow(), 1, 250, &Tick);
    if (playGiven && !playlist.empty()) {
        simulator.Play(0);
    }
    std::atomic<bool> stopSignalled{false};
    std::thread signalWaiter;
    std::unique_ptr<kiln::host::MprisFollower> follower;
    if (stopOnSignal) {
        signalWaiter = std::thread([&] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            stopSignalled = true;
            host.Windows().Wake();
        });
    }
    if (followGiven) {
        // kiln-host's own settings (section kiln-host) add to the command line.
        followerLists = FollowerLists{followPlayers, ignoredPlayers};
        followPlayers = followerLists->Players(host.Settings());
        ignoredPlayers = followerLists->Ignored(host.Settings());
        streamSongPlays =
            streamSongPlays || host.Settings().ReadInt(L"kiln-host", L"stream_song_plays", 0) != 0;
        follower = std::make_unique<kiln::host::MprisFollower>(
            host, kiln::host::FollowerOptions{.players = followPlayers,
                                              .ignored = ignoredPlayers,
                                              .report =
                                                  [](const std::string& line) {
                                                      std::cout << "follow: " << line << std::endl;
                                                  },
                                              .streamSongPlays = streamSongPlays});
        // Without a bus it says so in its report and keeps trying.
        follower->Start();
        followerLists->follower = follower.get();
    }
    if (prefsAtStart) {
        StartPrefs(host);
    }
    // "kiln-host tracking on|off" with nothing else to do sets it and ends.
    const bool trackingOnly =
        !trackingAtStart.empty() && !followGiven && !playGiven && !prefsAtStart;
    if (!trackingAtStart.empty()) {
        std::cout << SetTracking(host, trackingAtStart == "on") << "\n";
    }
    const bool terminal = isatty(STDOUT_FILENO);

    CommandQueue commands;
    std::thread reader([&] {
        std::string line;
        while (std::getline(std::cin, line)) {
            commands.Push(line);
            host.Windows().Wake();
        }
        commands.Close();
        host.Windows().Wake();
    });

    bool running = !trackingOnly;
    while (running) {
        std::string line;
        if (commands.Pop(line)) {
            ClearProgress();
            std::cout << "> " << line << "\n";
            running = RunCommand(host, line);
            continue;
        }
        if (stopSignalled) {
            break;
        }
        instance.Serve([&host] { return EnsurePrefs(host); },
                       [&host](bool on) { return SetTracking(host, on); });
        // Without more input, a given list is played to its end first; a
        // follower goes on until told to quit.
        if (!followGiven && commands.Closed() &&
            (!playGiven || simulator.Finished() || playlist.empty())) {
            break;
        }
        host.Windows().RunFor(std::chrono::milliseconds(100));
        if (terminal && !simulator.Playlist().empty()) {
            std::cout << "\r\033[K" << simulator.ProgressLine() << std::flush;
            progressShown = true;
        }
    }
    ClearProgress();
    player = nullptr;
    if (followerLists) {
        followerLists->follower = nullptr;
    }
    follower.reset();
    if (signalWaiter.joinable()) {
        pthread_kill(signalWaiter.native_handle(), SIGTERM);
        signalWaiter.join();
    }

    // The page's routine stores what it keeps before the plug-in quits.
    prefsServer.reset();
    host.Windows().ClosePreferences();
    host.QuitPlugin();
    bool ended = host.Threads().WaitAllEnded(std::chrono::milliseconds(12000));
    host.UnloadPlugin();
    std::cout << "quit: plug-in unloaded" << (ended ? "" : " (a plug-in thread was still running)")
              << "\n";
    // The reader may still wait for input from a terminal, or from a pipe
    // that a follower's caller keeps open, or that a signal ended before.
    if (reader.joinable()) {
        if (isatty(STDIN_FILENO) || stopSignalled || (followGiven && !commands.Closed())) {
            reader.detach();
        } else {
            reader.join();
        }
    }
    return 0;
}
