// Follows the media players on the D-Bus session bus (the MPRIS interface) and
// plays their part towards the plug-in: what the shown player reports becomes
// the host's playback state, and its changes the notifications a player posts
// to its main window (1024 with 13003 for a new item, 603/2 on a status
// change, 603/10 when the item's title changes).
//
// The plug-in tracks one play at a time while players do as they please, so
// the follower smooths what they do into one clean stream:
// - A play belongs to its player and starts once. With several players the
//   one that started playing last is shown; when it stops or pauses while
//   another plays, that one, whose play goes on without starting again.
// - A stop counts once it lasts (players stop for a moment between items);
//   a player that leaves stops at once, as does the bus going away. Until the
//   next item starts, the stopped item's fields stay what the plug-in reads.
// - An item without an address is known by its player and track id.
// The follower connects again when the bus is back.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kiln::host {

class SubstituteHost;

struct FollowerOptions {
    // Follow only players whose bus name after "org.mpris.MediaPlayer2." is
    // one of these names, or one of them followed by ".": "mpv" matches
    // org.mpris.MediaPlayer2.mpv and org.mpris.MediaPlayer2.mpv.instance42.
    // Empty: every player.
    std::vector<std::string> players;
    // Players never followed, named the same way.
    std::vector<std::string> ignored;
    // One line per event; called on the follower's thread.
    std::function<void(const std::string&)> report;
    // How long a new item may wait for its complete description (players
    // often announce the location first and the tags a moment later).
    int settleMs = 1500;
    // How long a player must stay stopped for the stop to count.
    int stopSettleMs = 1000;
    // Each song of a stream (its title changing) is a play of its own, eight
    // minutes long when the player gives no length (scrobbled after four);
    // else a song change only refreshes what is shown.
    bool streamSongPlays = false;
    // Between the first two attempts to reach the bus; later ones wait
    // twice as long each time, up to a minute.
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
    // Follows these lists from now on (as the options' players and ignored):
    // a player no longer wanted is left at once, its play stopping with it,
    // and one wanted now is taken up as if it had just appeared. Any thread.
    void SetPlayers(std::vector<std::string> players, std::vector<std::string> ignored);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kiln::host
