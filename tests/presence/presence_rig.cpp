#include "presence_rig.h"

#include <unistd.h>

#include <regex>

#include "host/paths.h"
#include "host/settings_store.h"

namespace kiln::test {

namespace {

std::string JsonString(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace

PresenceRig::PresenceRig(const std::wstring& presenceTemplate)
    : discord_(FakeDiscord::Options{pipes_.Path(), 0}) {
    host().SetNow(kFixedNow);
    plugin_.SetInt(L"updatediscord", 1);
    plugin_.SetInt(L"uploadForDiscord", 0);
    plugin_.settings().WriteTemplate(L"gen_kiln", L"discord",
                                     host::EscapeText(presenceTemplate).c_str());
}

std::filesystem::path PresenceRig::Track(const std::string& fileName, const std::wstring& title,
                                         const std::wstring& artist, int seconds, bool withCover,
                                         uint32_t coverColour) {
    host::SampleSpec recipe;
    recipe.fileName = fileName;
    recipe.title = title;
    recipe.artist = artist;
    recipe.seconds = seconds;
    recipe.withCover = withCover;
    recipe.coverColour = coverColour;
    std::filesystem::path file = host::WriteSampleTrack(plugin_.profile() / "media", recipe);
    EXPECT_FALSE(file.empty()) << "cannot write " << fileName;
    return file;
}

void PresenceRig::PlayAt(const std::filesystem::path& file, int positionMs, int lengthSeconds) {
    host().SetPlayback({1, positionMs, host::FromFsPath(file), lengthSeconds});
    host().NotifyNewItem();
    plugin_.RunFor(0);
}

void PresenceRig::Refresh() {
    host().NotifyInfoChanged();
    plugin_.RunFor(0);
}

ActivityFrame PresenceRig::NextActivity(std::chrono::milliseconds timeout) {
    ActivityFrame out;
    std::vector<Frame> frames;
    bool arrived = plugin_.RunUntil(
        [&] {
            frames = discord_.FramesWithOpcode(1);
            return frames.size() > taken_;
        },
        static_cast<int>(timeout.count()));
    if (!arrived) {
        ADD_FAILURE() << "no SET_ACTIVITY frame number " << taken_ + 1;
        return out;
    }
    const Frame& frame = frames[taken_++];
    // {"nonce":"N","cmd":"SET_ACTIVITY","args":{"pid":P,"activity":{...}}}
    static const std::regex kEnvelope(
        "^\\{\"nonce\":\"(\\d+)\",\"cmd\":\"SET_ACTIVITY\",\"args\":"
        "\\{\"pid\":(\\d+),\"activity\":(.*)\\}\\}$");
    std::smatch match;
    if (!std::regex_match(frame.payload, match, kEnvelope)) {
        ADD_FAILURE() << "not a SET_ACTIVITY message: " << frame.payload;
        return out;
    }
    EXPECT_EQ(std::stol(match[2].str()), static_cast<long>(::getpid()));
    out.nonce = std::stoll(match[1].str());
    out.connection = frame.connection;
    out.activity = match[3].str();
    return out;
}

bool PresenceRig::NoFurtherActivity(std::chrono::milliseconds quiet) {
    return !plugin_.RunUntil([&] { return discord_.FramesWithOpcode(1).size() > taken_; },
                             static_cast<int>(quiet.count()));
}

std::vector<std::string> PresenceRig::HandshakeIds() {
    std::vector<std::string> ids;
    const std::string prefix = "{\"v\":1,\"client_id\":\"";
    for (const Frame& frame : discord_.FramesWithOpcode(0)) {
        const std::string& text = frame.payload;
        bool plain = text.rfind(prefix, 0) == 0 && text.size() >= prefix.size() + 2 &&
                     text.compare(text.size() - 2, 2, "\"}") == 0;
        ids.push_back(plain ? text.substr(prefix.size(), text.size() - prefix.size() - 2)
                            : "?" + text);
    }
    return ids;
}

std::string Activity::Text() const {
    std::string out = "{";
    auto member = [&out](const std::string& key, const std::string& value) {
        if (out.size() > 1) {
            out += ',';
        }
        out += JsonString(key) + ":" + value;
    };
    if (!state.empty()) {
        member("state", JsonString(state));
    }
    if (!details.empty()) {
        member("details", JsonString(details));
    }
    if (start != 0 || end != 0) {
        std::string times = "{";
        if (start != 0) {
            times += "\"start\":" + std::to_string(start);
        }
        if (end != 0) {
            times += std::string(start != 0 ? "," : "") + "\"end\":" + std::to_string(end);
        }
        member("timestamps", times + "}");
    }
    std::string assets;
    for (const auto& [key, value] :
         {std::pair<const char*, const std::string&>{"large_image", largeImage},
          {"large_text", largeText},
          {"small_image", smallImage},
          {"small_text", smallText}}) {
        if (!value.empty()) {
            assets += (assets.empty() ? "" : ",") + JsonString(key) + ":" + JsonString(value);
        }
    }
    if (!assets.empty()) {
        member("assets", "{" + assets + "}");
    }
    if (type >= 0) {
        member("type", std::to_string(type));
    }
    member("instance", "false");
    if (!buttonUrl.empty()) {
        member("buttons",
               "[{\"url\":" + JsonString(buttonUrl) + ",\"label\":\"Currently Playing Stream\"}]");
    }
    return out + "}";
}

Activity PlayingActivity(std::string details) {
    Activity a;
    a.details = std::move(details);
    a.smallImage = "play";
    a.smallText = "Playing";
    return a;
}

Activity PausedActivity(std::string details) {
    Activity a;
    a.state = "Paused";
    a.details = std::move(details);
    a.smallImage = "pause";
    a.smallText = "Paused";
    return a;
}

Activity StoppedActivity(std::string details) {
    Activity a;
    a.state = "Stopped";
    a.details = std::move(details);
    a.smallImage = "stop";
    a.smallText = "Stopped";
    return a;
}

}  // namespace kiln::test
