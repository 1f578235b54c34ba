// Plays a list of files in real time, as a player would, without sound: the
// position advances with the clock, and the host's main window receives the
// notifications a player sends (1024 with 13003 for a new item, 603/2 on a
// status change, 603/10 on an information change).
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace kiln::host {

class SubstituteHost;

class PlaybackSimulator {
  public:
    explicit PlaybackSimulator(SubstituteHost& host);

    void SetPlaylist(std::vector<std::wstring> items);
    const std::vector<std::wstring>& Playlist() const { return items_; }

    void Play(size_t index = 0);
    void Pause();
    void Resume();
    void Stop();
    bool Next();  // false at the end of the list (playback stops)
    void InfoChanged();

    // Advances the position; moves to the next item when one ends. Called by
    // the main loop's tick.
    void Tick();

    bool Playing() const;
    bool Paused() const;
    bool Finished() const { return finished_; }
    size_t Index() const { return index_; }
    int PositionMs() const;
    int LengthSeconds() const { return lengthSeconds_; }
    // "▶ 0:12 / 3:20  Artist - Title"
    std::string ProgressLine() const;

  private:
    using Clock = std::chrono::steady_clock;
    void StartItem(size_t index);
    void Publish(int status, int positionMs);

    SubstituteHost& host_;
    std::vector<std::wstring> items_;
    size_t index_ = 0;
    int status_ = 0;
    int lengthSeconds_ = 0;
    int positionBeforeMs_ = 0;  // position when the current run started
    Clock::time_point runStart_{};
    bool finished_ = false;
    std::string title_;
};

}  // namespace kiln::host
