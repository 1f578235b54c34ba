// The presence suites' setting: the plug-in loaded by the substitute host, a
// fake Discord application on a socket in a private runtime folder, sample
// tracks, and the reading of the SET_ACTIVITY frames the application got.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fake_discord.h"
#include "host/sample_media.h"
#include "presence_test_support.h"
#include "support/plugin_host.h"

namespace kiln::test {

using namespace std::chrono_literals;

inline constexpr int64_t kFixedNow = 1700000000;

// One SET_ACTIVITY frame, taken apart: the envelope is checked when parsed,
// `activity` is the "activity" object's text as sent.
struct ActivityFrame {
    int64_t nonce = 0;
    int connection = 0;
    std::string activity;
};

class PresenceRig {
  public:
    // Loads the plug-in with presence updating on and the given template;
    // Start() runs it.
    explicit PresenceRig(const std::wstring& presenceTemplate = L"[%artist% - ]%title%");

    PluginHost& plugin() { return plugin_; }
    host::SubstituteHost& host() { return plugin_.host(); }
    FakeDiscord& discord() { return discord_; }

    void Start() { plugin_.Start(); }

    // A tagged sample track in the profile's media folder.
    std::filesystem::path Track(const std::string& fileName, const std::wstring& title,
                                const std::wstring& artist, int seconds, bool withCover = false,
                                uint32_t coverColour = 0xff3366cc);

    // A new item as the player reports it, at a position (a real 750 ms
    // settling sleep follows in the worker).
    void PlayAt(const std::filesystem::path& file, int positionMs, int lengthSeconds = -1);
    // The same item's information changed (the worker refreshes only presence).
    void Refresh();

    // Waits for the next SET_ACTIVITY frame after those already taken; fails
    // the test (and returns an empty frame) when none comes in time.
    ActivityFrame NextActivity(std::chrono::milliseconds timeout = 5000ms);
    // True when no further SET_ACTIVITY frame arrives within `quiet`.
    bool NoFurtherActivity(std::chrono::milliseconds quiet);
    // The application id of every handshake so far, in order.
    std::vector<std::string> HandshakeIds();

  private:
    PipeFolder pipes_;
    FakeDiscord discord_;
    PluginHost plugin_;
    size_t taken_ = 0;
};

// The "activity" text that the composer's fields give, members in the order
// the serialiser writes them; empty texts and zero times are left out.
struct Activity {
    std::string state;
    std::string details;
    int64_t start = 0;
    int64_t end = 0;
    std::string largeImage = "logo";
    std::string largeText;
    std::string smallImage;
    std::string smallText;
    int type = 2;  // -1: none
    std::string buttonUrl;

    std::string Text() const;
};

Activity PlayingActivity(std::string details);
Activity PausedActivity(std::string details);
Activity StoppedActivity(std::string details);

}  // namespace kiln::test
