#include "host/playback_simulator.h"

#include "core/host_contract.h"
#include "host/substitute_host.h"
#include "host/window_system.h"
#include "services/text_services.h"
#include "services/track_info.h"

namespace kiln::host {
namespace {
using contract::kInfoChanged;
using contract::kIpcMessage;
using contract::kNewItem;
using contract::kPlaybackNotice;
using contract::kStatusChanged;
}  // namespace

PlaybackSimulator::PlaybackSimulator(SubstituteHost& host) : host_(host) {}

void PlaybackSimulator::SetPlaylist(std::vector<std::wstring> items) {
    items_ = std::move(items);
    index_ = 0;
    finished_ = items_.empty();
}

void PlaybackSimulator::Publish(int status, int positionMs) {
    PlaybackSnapshot snapshot;
    snapshot.status = status;
    snapshot.positionMs = positionMs;
    snapshot.file = index_ < items_.size() ? items_[index_] : std::wstring();
    snapshot.lengthSeconds = -1;
    host_.SetPlayback(snapshot);
}

void PlaybackSimulator::StartItem(size_t index) {
    index_ = index;
    finished_ = false;
    const std::wstring& item = items_[index_];
    TrackInfo info = IsStreamLocation(item) ? TrackInfo{} : ReadTrackInfo(item);
    lengthSeconds_ = info.lengthSeconds;
    std::wstring name = info.title.empty() ? item : info.title;
    title_ = WideToUtf8(info.artist.empty() ? name : info.artist + L" - " + name);
    status_ = 1;
    positionBeforeMs_ = 0;
    runStart_ = Clock::now();
    Publish(1, 0);
    Window main = host_.Windows().MainWindow();
    host_.Windows().PostMessage(main, kIpcMessage, 0, kNewItem);
}

void PlaybackSimulator::Play(size_t index) {
    if (index < items_.size()) {
        StartItem(index);
    }
}

int PlaybackSimulator::PositionMs() const {
    if (status_ != 1) {
        return positionBeforeMs_;
    }
    auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - runStart_);
    return positionBeforeMs_ + static_cast<int>(ran.count());
}

void PlaybackSimulator::Pause() {
    if (status_ != 1) {
        return;
    }
    positionBeforeMs_ = PositionMs();
    status_ = 3;
    Publish(3, positionBeforeMs_);
    host_.Windows().PostMessage(host_.Windows().MainWindow(), kIpcMessage, kStatusChanged,
                                kPlaybackNotice);
}

void PlaybackSimulator::Resume() {
    if (status_ != 3) {
        return;
    }
    status_ = 1;
    runStart_ = Clock::now();
    // A player reports a position above zero once it plays again.
    if (positionBeforeMs_ == 0) {
        positionBeforeMs_ = 1;
    }
    Publish(1, positionBeforeMs_);
    host_.Windows().PostMessage(host_.Windows().MainWindow(), kIpcMessage, kStatusChanged,
                                kPlaybackNotice);
}

void PlaybackSimulator::Stop() {
    if (status_ == 0) {
        return;
    }
    status_ = 0;
    positionBeforeMs_ = 0;
    Publish(0, 0);
    host_.Windows().PostMessage(host_.Windows().MainWindow(), kIpcMessage, kStatusChanged,
                                kPlaybackNotice);
}

bool PlaybackSimulator::Next() {
    if (index_ + 1 < items_.size()) {
        StartItem(index_ + 1);
        return true;
    }
    Stop();
    finished_ = true;
    return false;
}

void PlaybackSimulator::InfoChanged() {
    host_.Windows().PostMessage(host_.Windows().MainWindow(), kIpcMessage, kInfoChanged,
                                kPlaybackNotice);
}

void PlaybackSimulator::Tick() {
    if (status_ != 1) {
        return;
    }
    int position = PositionMs();
    if (lengthSeconds_ > 0 && position >= lengthSeconds_ * 1000) {
        Next();
        return;
    }
    Publish(1, position);
}

bool PlaybackSimulator::Playing() const {
    return status_ == 1;
}
bool PlaybackSimulator::Paused() const {
    return status_ == 3;
}

std::string PlaybackSimulator::ProgressLine() const {
    const char* mark = status_ == 1 ? "\u25B6" : status_ == 3 ? "\u2016" : "\u25A0";
    int seconds = PositionMs() / 1000;
    std::string length = lengthSeconds_ > 0 ? WideToUtf8(FormatLength(lengthSeconds_)) : "--:--";
    std::string position = seconds > 0 ? WideToUtf8(FormatLength(seconds)) : "0:00";
    return std::string(mark) + " " + position + " / " + length + "  " +
           (status_ == 0 ? std::string("stopped") : title_);
}

}  // namespace kiln::host
