// Playback POST requests as they reach a real web server on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "host/host_threads.h"
#include "host/sample_media.h"
#include "services/settings_store.h"
#include "support/plugin_host.h"
#include "support/post_receiver.h"

namespace kiln::test {
namespace {

TEST(PostRequest, EnabledTransitionsEachSendOneEmptyPostWithValuesEscaped) {
    // The demo's third track has a slash and a space in its artist.
    TempFolder music;
    const std::vector<std::filesystem::path> tracks = host::WriteDemoSamples(music.path());
    ASSERT_EQ(tracks.size(), 4u);
    const std::string kStop = "/stop?artist=Slip%2FCast%20Trio";
    const struct {
        const char* name;
        bool https;
        int postModes;
        const wchar_t* play;  // below the receiver's address
        const wchar_t* pause;
        std::vector<std::string> sent;
    } cases[] = {
        // The literal part, a quoted percent included, goes out as typed; the
        // pause template is written over two lines and is still one request.
        {"every event",
         false,
         1 | 2 | 4 | 8,
         L"/hooks/v1/play?src=kiln-log&tag='%'2B&artist=%artist%&title=%title%",
         L"/pause?event=pause&\nartist=%artist%",
         {"/hooks/v1/play?src=kiln-log&tag=%2B&artist=Slip%2FCast%20Trio&title=Highway%20Cover",
          // libcurl refuses a raw line break in a URL; the host sends it encoded.
          "/pause?event=pause&%0Aartist=Slip%2FCast%20Trio", "/unpause", kStop}},
        {"the SSL value enables no event", false, 16 | 8, L"/play", L"/pause", {kStop}},
        {"play enabled with an empty template", false, 1 | 8, L"", L"/pause", {kStop}},
        {"self-signed certificate refused while verified", true, 8, L"", L"/pause", {}},
        {"value 16: peer certificate not verified", true, 8 | 16, L"", L"/pause", {kStop}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PostReceiver receiver(c.https);
        ASSERT_TRUE(receiver.Ready());
        PluginHost plugin;
        // Every event goes to posts.example, mapped to the receiver; the
        // certificate names localhost, so host-name checks pass either way.
        const std::string port = std::to_string(receiver.Port());
        plugin.host().MapHost("posts.example",
                              (c.https ? "https://localhost:" : "http://127.0.0.1:") + port);
        const std::wstring base = c.https ? L"https://posts.example" : L"http://posts.example";
        plugin.SetInt(L"postmodes", c.postModes);
        plugin.SetText(L"postplay", c.play[0] ? (base + c.play).c_str() : L"");
        // Stored escaped, as the tab keeps a template of several lines.
        plugin.SetText(L"postpause", host::EscapeText(base + c.pause).c_str());
        plugin.SetText(L"postunpause", (base + L"/unpause").c_str());
        plugin.SetText(L"poststop", (base + L"/stop?artist=%artist%").c_str());
        plugin.Start();
        plugin.Play(tracks[2]);
        plugin.Pause();
        plugin.Resume();
        plugin.Stop();
        // Only the stop request starts a thread in the cases that send
        // nothing else; quit waits for every request thread.
        EXPECT_TRUE(plugin.RunUntil([&] {
            return receiver.Requests().size() == c.sent.size() &&
                   plugin.host().Threads().OpenHandles() >= 2;
        }));
        plugin.Quit();
        std::vector<std::string> targets;
        for (const ArrivedRequest& request : receiver.Requests()) {
            targets.push_back(request.target);
            EXPECT_EQ(request.method + " " + request.version + ", body '" + request.body +
                          "', length " + request.Header("Content-Length"),
                      "POST HTTP/1.1, body '', length 0")
                << request.target;
            EXPECT_EQ(request.headers.count("Upgrade"), 0u) << "no move to HTTP/2 either";
        }
        // Each request has its own thread: they may arrive in any order.
        std::ranges::sort(targets);
        std::vector<std::string> sent = c.sent;
        std::ranges::sort(sent);
        EXPECT_EQ(targets, sent);
    }
}

}  // namespace
}  // namespace kiln::test
