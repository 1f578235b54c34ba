// Playback POST requests as they reach a real web server on 127.0.0.1.
#include <gtest/gtest.h>

#include <string>

#include "host/host_threads.h"
#include "host/sample_media.h"
#include "host/settings_store.h"
#include "support/post_receiver.h"
#include "support/plugin_host.h"

namespace kiln::test {
namespace {

namespace fs = std::filesystem;

class PostRequestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::SampleSpec recipe;
        recipe.fileName = "03 Highway Cover.wav";
        recipe.title = L"Highway Cover";
        recipe.artist = L"AC/DC Tribute";
        recipe.seconds = 35;
        first_ = host::WriteSampleTrack(music_.path(), recipe);
        recipe.fileName = "04 Rain on the Roof.wav";
        recipe.title = L"Rain on the Roof";
        recipe.artist = L"Field Recorder";
        second_ = host::WriteSampleTrack(music_.path(), recipe);
        ASSERT_FALSE(first_.empty() || second_.empty());
    }

    // Templates are stored in their escaped single-line form, as the page keeps them.
    static void SetTemplate(PluginHost& plugin, const wchar_t* key, const std::wstring& text) {
        plugin.SetText(key, host::EscapeText(text).c_str());
    }

    static void SetAllTemplates(PluginHost& plugin, const std::string& scheme) {
        const std::wstring base =
            scheme == "https" ? L"https://posts.example" : L"http://posts.example";
        SetTemplate(plugin, L"postplay", base + L"/play?artist=%artist%");
        SetTemplate(plugin, L"postpause", base + L"/pause?artist=%artist%");
        SetTemplate(plugin, L"postunpause", base + L"/unpause?artist=%artist%");
        SetTemplate(plugin, L"poststop", base + L"/stop?artist=%artist%");
    }

    // Runs the loop until the now-playing file names `title`: that play start
    // and everything signalled before it have been handled.
    static bool WaitForTitle(PluginHost& plugin, const std::string& title) {
        const fs::path text = plugin.LogsFolder() / "kiln_log_now.txt";
        return plugin.RunUntil([&] { return ReadFileBytes(text) == title + "\r\n"; });
    }

    TempFolder music_;
    fs::path first_, second_;
};

TEST_F(PostRequestTest, EachTransitionSendsOneEmptyPostWithValuesEscaped) {
    PostReceiver receiver;
    ASSERT_TRUE(receiver.Ready());
    PluginHost plugin;
    plugin.host().MapHost("posts.example", "http://127.0.0.1:" + std::to_string(receiver.Port()));
    plugin.SetInt(L"postmodes", 1 | 2 | 4 | 8);
    // The literal part, a quoted percent included, goes out as typed.
    SetTemplate(
        plugin, L"postplay",
        L"http://posts.example/hooks/v1/play?src=kiln-log&tag='%'2B&artist=%artist%&title=%title%");
    // Written over two lines for readability: still one request.
    SetTemplate(plugin, L"postpause", L"http://posts.example/pause?event=pause&\nartist=%artist%");
    SetTemplate(plugin, L"postunpause", L"http://posts.example/unpause");
    SetTemplate(plugin, L"poststop", L"http://posts.example/stop?artist=%artist%");
    plugin.Start();

    plugin.Play(first_);
    ASSERT_TRUE(receiver.WaitForCount(1));
    plugin.Pause();
    ASSERT_TRUE(receiver.WaitForCount(2));
    plugin.Resume();
    ASSERT_TRUE(receiver.WaitForCount(3));
    plugin.Play(second_);  // the next item while playing: no stop request
    ASSERT_TRUE(receiver.WaitForCount(4));
    plugin.Stop();
    ASSERT_TRUE(receiver.WaitForCount(5));
    plugin.Quit();

    std::vector<ArrivedRequest> arrived = receiver.Requests();
    ASSERT_EQ(arrived.size(), 5u);
    const std::string targets[] = {
        "/hooks/v1/play?src=kiln-log&tag=%2B&artist=AC%2FDC%20Tribute&title=Highway%20Cover",
        // libcurl refuses a raw line break in a URL; the host sends it encoded.
        "/pause?event=pause&%0Aartist=AC%2FDC%20Tribute",
        "/unpause",
        "/hooks/v1/play?src=kiln-log&tag=%2B&artist=Field%20Recorder&title=Rain%20on%20the%20Roof",
        "/stop?artist=Field%20Recorder",
    };
    for (size_t i = 0; i < arrived.size(); ++i) {
        SCOPED_TRACE(targets[i]);
        const ArrivedRequest& request = arrived[i];
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.version, "HTTP/1.1");
        EXPECT_EQ(request.target, targets[i]);
        EXPECT_EQ(request.body, "");
        EXPECT_EQ(request.Header("Content-Length"), "0");
        EXPECT_EQ(request.headers.count("Upgrade"), 0u);  // no move to HTTP/2 either
    }
    EXPECT_EQ(arrived[0].Param("artist"), "AC/DC Tribute");
    EXPECT_EQ(arrived[1].Param("\nartist"), "AC/DC Tribute");
}

TEST_F(PostRequestTest, NothingIsSentOrStartedWithoutAnEnabledTemplate) {
    struct Case {
        const char* name;
        int postModes;
        bool emptyPlayTemplate;
    };
    const Case cases[] = {
        {"the SSL value alone enables nothing", 16, false},
        {"play enabled with an empty template", 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PostReceiver receiver;
        ASSERT_TRUE(receiver.Ready());
        PluginHost plugin;
        plugin.host().MapHost("posts.example",
                              "http://127.0.0.1:" + std::to_string(receiver.Port()));
        plugin.SetInt(L"postmodes", c.postModes);
        plugin.SetInt(L"now_logging_on", 1);
        plugin.SetText(L"now_format", L"%title%");
        SetAllTemplates(plugin, "http");
        if (c.emptyPlayTemplate) {
            plugin.SetText(L"postplay", L"");
        }
        plugin.Start();

        plugin.Play(first_);
        ASSERT_TRUE(WaitForTitle(plugin, "Highway Cover"));
        plugin.Pause();
        plugin.RunFor(20);
        plugin.Resume();
        plugin.RunFor(20);
        plugin.Stop();
        plugin.RunFor(20);
        plugin.Play(second_);
        ASSERT_TRUE(WaitForTitle(plugin, "Rain on the Roof"));
        // A request thread keeps its handle open until the next request or
        // quit; only the worker's is open.
        EXPECT_EQ(plugin.host().Threads().OpenHandles(), 1);
        EXPECT_EQ(plugin.host().Threads().LiveThreads(), 1);
        plugin.Quit();
        EXPECT_TRUE(receiver.Requests().empty());
    }
}

TEST_F(PostRequestTest, SelfSignedHttpsArrivesOnlyWithRelaxedChecks) {
    struct Case {
        const char* name;
        int postModes;
        size_t expected;
    };
    const Case cases[] = {
        {"certificate verified: refused", 2, 0},
        {"value 16: peer certificate not verified", 2 | 16, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder certificates;
        PostReceiver receiver(certificates.path());
        ASSERT_TRUE(receiver.Ready());
        PluginHost plugin;
        // The certificate names localhost, so host-name checks pass either way.
        plugin.host().MapHost("posts.example",
                              "https://localhost:" + std::to_string(receiver.Port()));
        plugin.SetInt(L"postmodes", c.postModes);
        SetAllTemplates(plugin, "https");
        plugin.Start();
        plugin.Play(first_);
        plugin.Pause();
        // The pause request's thread was started once its handle is open
        // beside the worker's; quit waits for it to end.
        ASSERT_TRUE(plugin.RunUntil([&] { return plugin.host().Threads().OpenHandles() == 2; }));
        plugin.Quit();
        std::vector<ArrivedRequest> arrived = receiver.Requests();
        ASSERT_EQ(arrived.size(), c.expected);
        if (!arrived.empty()) {
            EXPECT_EQ(arrived[0].method, "POST");
            EXPECT_EQ(arrived[0].target, "/pause?artist=AC%2FDC%20Tribute");
        }
    }
}

}  // namespace
}  // namespace kiln::test
