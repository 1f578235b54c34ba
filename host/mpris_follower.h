// Follows the media players on the D-Bus session bus (the MPRIS interface) and
// plays their part towards the plug-in: what the followed player reports
// becomes the host's playback state, and its changes the notifications a
// player posts to its main window (1024 with 13003 for a new item, 603/2 on a
// status change, 603/10 when the item's title changes).
//
// With several players the one that started playing last is followed; when it
// stops or pauses while another plays, that one. A player that leaves while
// playing or paused is a hard stop. The bus going away counts as every player
// leaving; the follower connects again when the bus is back.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace kiln::host {

class SubstituteHost;

struct FollowerOptions {
    // Follow only players whose bus name ends in ".NAME" after
    // "org.mpris.MediaPlayer2" ("mpv" matches org.mpris.MediaPlayer2.mpv and
    // org.mpris.MediaPlayer2.mpv.instance42). Empty: every player.
    std::string player;
    // One line per event; called on the follower's thread.
    std::function<void(const std::string&)> report;
    // How long a new item may wait for its complete description (players
    // often announce the location first and the tags a moment later).
    int settleMs = 1500;
    // Between two attempts to reach the bus.
    int retryMs = 2000;
};

class MprisFollower {
  public:
    MprisFollower(SubstituteHost& host, FollowerOptions options);
    ~MprisFollower();
    MprisFollower(const MprisFollower&) = delete;
    MprisFollower& operator=(const MprisFollower&) = delete;

    // Starts the follower's thread and waits for its first attempt to reach
    // the bus. False, with the reason in `error`, when none was reachable; it
    // keeps trying all the same.
    bool Start(std::string* error = nullptr);
    // Ends the thread; the plug-in is told nothing more.
    void Stop();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kiln::host
