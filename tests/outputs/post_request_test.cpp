// Playback POST requests as they reach a real web server on 127.0.0.1.
#include <gtest/gtest.h>

#include <string>

#include "host/host_threads.h"
#include "host/sample_media.h"
#include "services/settings_store.h"
#include "support/plugin_host.h"
#include "support/post_receiver.h"

namespace kiln::test {
namespace {

namespace fs = std::filesystem;

// Every event enabled by `postModes` goes to posts.example, mapped to the
// receiver. The pause template is stored escaped, as the page keeps a
// template of several lines.
void Configure(PluginHost& plugin, const std::string& receiver, int postModes,
               const std::wstring& play, const std::wstring& pause) {
    plugin.host().MapHost("posts.example", receiver);
    plugin.SetInt(L"postmodes", postModes);
    const std::wstring base =
        receiver.starts_with("https") ? L"https://posts.example" : L"http://posts.example";
    plugin.SetText(L"postplay", play.empty() ? L"" : (base + play).c_str());
    plugin.SetText(L"postpause", host::EscapeText(base + pause).c_str());
    plugin.SetText(L"postunpause", (base + L"/unpause").c_str());
    plugin.SetText(L"poststop", (base + L"/stop?artist=%artist%").c_str());
}

TEST(PostRequest, EachTransitionSendsOneEmptyPostWithValuesEscaped) {
    // The demo's third track has a slash and a space in its artist.
    TempFolder music;
    const std::vector<fs::path> tracks = host::WriteDemoSamples(music.path());
    ASSERT_EQ(tracks.size(), 4u);
    PostReceiver receiver;
    ASSERT_TRUE(receiver.Ready());
    PluginHost plugin;
    // The literal part, a quoted percent included, goes out as typed; the
    // pause template is written over two lines and is still one request.
    Configure(plugin, "http://127.0.0.1:" + std::to_string(receiver.Port()), 1 | 2 | 4 | 8,
              L"/hooks/v1/play?src=kiln-log&tag='%'2B&artist=%artist%&title=%title%",
              L"/pause?event=pause&\nartist=%artist%");
    plugin.Start();
    plugin.Play(tracks[2]);
    ASSERT_TRUE(receiver.WaitForCount(1));
    plugin.Pause();
    ASSERT_TRUE(receiver.WaitForCount(2));
    plugin.Resume();
    ASSERT_TRUE(receiver.WaitForCount(3));
    plugin.Stop();
    ASSERT_TRUE(receiver.WaitForCount(4));

    std::vector<std::string> targets;
    for (const ArrivedRequest& request : receiver.Requests()) {
        targets.push_back(request.target);
        EXPECT_EQ(request.method + " " + request.version + ", body '" + request.body +
                      "', length " + request.Header("Content-Length"),
                  "POST HTTP/1.1, body '', length 0")
            << request.target;
        EXPECT_EQ(request.headers.count("Upgrade"), 0u) << "no move to HTTP/2 either";
    }
    EXPECT_EQ(
        targets,
        (std::vector<std::string>{
            "/hooks/v1/play?src=kiln-log&tag=%2B&artist=Slip%2FCast%20Trio&title=Highway%20Cover",
            // libcurl refuses a raw line break in a URL; the host sends it encoded.
            "/pause?event=pause&%0Aartist=Slip%2FCast%20Trio", "/unpause",
            "/stop?artist=Slip%2FCast%20Trio"}));
}

TEST(PostRequest, OnlyEnabledTemplatesSendAndSelfSignedNeedsRelaxedChecks) {
    TempFolder music;
    const std::vector<fs::path> tracks = host::WriteDemoSamples(music.path());
    ASSERT_EQ(tracks.size(), 4u);
    // Only the stop request may start; the events are handled in the order
    // they were signalled, so its thread starting means the others were seen.
    const struct {
        const char* name;
        bool https;
        int postModes;
        const wchar_t* playTemplate;  // below the receiver's address
        bool sent;
    } cases[] = {
        {"the SSL value enables no event", false, 16 | 8, L"/play", true},
        {"play enabled with an empty template", false, 1 | 8, L"", true},
        {"self-signed certificate refused while verified", true, 8, L"", false},
        {"value 16: peer certificate not verified", true, 8 | 16, L"", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder certificates;
        PostReceiver receiver = c.https ? PostReceiver(certificates.path()) : PostReceiver();
        ASSERT_TRUE(receiver.Ready());
        PluginHost plugin;
        // The certificate names localhost, so host-name checks pass either way.
        const std::string port = std::to_string(receiver.Port());
        Configure(plugin, c.https ? "https://localhost:" + port : "http://127.0.0.1:" + port,
                  c.postModes, c.playTemplate, L"/pause");
        plugin.Start();
        plugin.Play(tracks[2]);
        plugin.Pause();
        plugin.Resume();
        plugin.Stop();
        // A request thread's handle stays open beside the worker's until the
        // next request or quit, which waits for it.
        ASSERT_TRUE(plugin.RunUntil([&] { return plugin.host().Threads().OpenHandles() == 2; }));
        plugin.Quit();
        std::vector<std::string> targets;
        for (const ArrivedRequest& request : receiver.Requests()) {
            targets.push_back(request.target);
        }
        EXPECT_EQ(targets, c.sent ? std::vector<std::string>{"/stop?artist=Slip%2FCast%20Trio"}
                                  : std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace kiln::test
