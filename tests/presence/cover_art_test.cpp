// The cover-art upload through the host: the art written below the host's
// cache folder, posted to a fake image cache on 127.0.0.1, its address sent
// to the fake Discord application.
#include <gtest/gtest.h>
#include <httplib.h>
#include <stb/stb_image.h>

#include <optional>
#include <regex>

#include "fake_image_cache.h"
#include "host/settings_store.h"
#include "presence_rig.h"

namespace kiln::test {
namespace {

class CoverRig : public PresenceRig {
  public:
    CoverRig() {
        plugin().SetInt(L"uploadForDiscord", 1);
        host().SetWebBase(cache.BaseUrl());
    }
    ~CoverRig() { host().SetWebAvailable(true); }

    std::filesystem::path CachedFile() { return host().CacheFolder() / "artcache" / "discord.jpg"; }
    std::optional<std::wstring> Setting(const wchar_t* key) {
        return plugin().settings().Get(L"gen_kiln", key);
    }
    std::string Identity() {
        std::wstring uid = Setting(L"discord_uid").value_or(L"");
        return std::string(uid.begin(), uid.end());
    }
    std::string Response() {
        std::wstring text = Setting(L"discord_response").value_or(L"(absent)");
        return std::string(text.begin(), text.end());
    }
    // Starts the plug-in and takes the start-up presence (nothing playing, so
    // no art and "logo").
    void StartQuietly() {
        Start();
        EXPECT_EQ(NextActivity().activity, StoppedActivity("").Text());
    }
    Activity Playing(const std::string& details, int64_t now, int length) {
        Activity a = PlayingActivity(details);
        a.start = now;
        a.end = now + length;
        return a;
    }
    std::string ImageAddress(int64_t now) {
        return cache.BaseUrl() + "discord/cache/" + Identity() + ".jpg?" + std::to_string(now);
    }

    FakeImageCache cache;
};

TEST(CoverArt, UploadsTheArtAndShowsItsAddress) {
    CoverRig rig;
    host::SampleSpec recipe;
    recipe.fileName = "wide.wav";
    recipe.title = L"Raku";
    recipe.artist = L"Smoke";
    recipe.seconds = 100;
    recipe.withCover = true;
    recipe.coverWidth = 900;
    recipe.coverHeight = 300;
    const auto file = host::WriteSampleTrack(rig.plugin().profile() / "media", recipe);
    ASSERT_FALSE(std::filesystem::exists(rig.CachedFile().parent_path()));
    rig.StartQuietly();

    rig.PlayAt(file, 0, 100);
    const std::string uid = rig.Identity();
    EXPECT_TRUE(std::regex_match(uid, std::regex("[A-Za-z0-9]{15}"))) << uid;
    Activity expected = rig.Playing("Smoke - Raku", kFixedNow, 100);
    expected.largeImage = rig.ImageAddress(kFixedNow);
    EXPECT_EQ(rig.NextActivity().activity, expected.Text());

    const std::vector<Upload> uploads = rig.cache.Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].target, "/discord/cache/?uid=" + uid);
    EXPECT_EQ(uploads[0].contentType.rfind("multipart/form-data; boundary=", 0), 0u);
    ASSERT_EQ(uploads[0].parts.size(), 2u);
    const FormPart image = uploads[0].Part("discord_user_image");
    const FormPart name = uploads[0].Part("filename");
    EXPECT_EQ(image.fileName, "discord.jpg");
    EXPECT_EQ(name.fileName, "");
    EXPECT_EQ(name.content, uid);

    // The part is the cached file, a JPEG within 600 x 600.
    const std::string cached = ReadFileBytes(rig.CachedFile());
    EXPECT_EQ(image.content, cached);
    int width = 0, height = 0, channels = 0;
    ASSERT_TRUE(stbi_info_from_memory(reinterpret_cast<const stbi_uc*>(cached.data()),
                                      static_cast<int>(cached.size()), &width, &height, &channels));
    EXPECT_EQ(cached.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(width, 600);
    EXPECT_EQ(height, 200);
    EXPECT_EQ(rig.Response(), "(absent)");

    // What Discord will fetch is the image that was uploaded.
    httplib::Client client("127.0.0.1", rig.cache.Port());
    auto fetched =
        client.Get(("/discord/cache/" + uid + ".jpg?" + std::to_string(kFixedNow)).c_str());
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->status, 200);
    EXPECT_EQ(fetched->body, cached);
}

TEST(CoverArt, TheSameArtIsUploadedOnceAndNewArtAgain) {
    CoverRig rig;
    const auto a = rig.Track("a.wav", L"A", L"Same", 60, true, 0xffaa2200);
    const auto b = rig.Track("b.wav", L"B", L"Same", 60, true, 0xffaa2200);
    const auto c = rig.Track("c.wav", L"C", L"Other", 60, true, 0xff0022aa);
    rig.StartQuietly();

    rig.PlayAt(a, 0, 60);
    rig.NextActivity();
    ASSERT_EQ(rig.cache.Uploads().size(), 1u);
    rig.plugin().SetText(L"discord_response", L"left alone");

    rig.host().AdvanceClock(7);
    rig.PlayAt(b, 0, 60);
    Activity second = rig.Playing("Same - B", kFixedNow + 7, 60);
    second.largeImage = rig.ImageAddress(kFixedNow + 7);
    EXPECT_EQ(rig.NextActivity().activity, second.Text());
    EXPECT_EQ(rig.cache.Uploads().size(), 1u);
    EXPECT_EQ(rig.Response(), "left alone");

    rig.PlayAt(c, 0, 60);
    Activity third = rig.Playing("Other - C", kFixedNow + 7, 60);
    third.largeImage = rig.ImageAddress(kFixedNow + 7);
    EXPECT_EQ(rig.NextActivity().activity, third.Text());
    ASSERT_EQ(rig.cache.Uploads().size(), 2u);
    EXPECT_EQ(rig.cache.Uploads()[1].Part("discord_user_image").content,
              ReadFileBytes(rig.CachedFile()));
    EXPECT_EQ(rig.Response(), "(absent)");
}

TEST(CoverArt, AServerAnswering200IsAFailureAndTheArtIsOfferedAgain) {
    CoverRig rig;
    const auto a = rig.Track("a.wav", L"A", L"Kiln", 60, true);
    rig.StartQuietly();
    rig.cache.SetAnswer(FakeImageCache::Answer::Ok);

    rig.PlayAt(a, 0, 60);
    EXPECT_EQ(rig.NextActivity().activity, rig.Playing("Kiln - A", kFixedNow, 60).Text());
    EXPECT_EQ(rig.Response(), "0,200,<empty>");
    EXPECT_FALSE(std::filesystem::exists(rig.CachedFile()));

    rig.cache.SetAnswer(FakeImageCache::Answer::Created);
    rig.Refresh();
    Activity again = rig.Playing("Kiln - A", kFixedNow, 60);
    again.largeImage = rig.ImageAddress(kFixedNow);
    EXPECT_EQ(rig.NextActivity().activity, again.Text());
    EXPECT_EQ(rig.cache.Uploads().size(), 2u);
    EXPECT_EQ(rig.Response(), "(absent)");
}

TEST(CoverArt, FailedTransfersGoOutWithTheLogo) {
    SilentServer silent;
    struct Case {
        const char* name;
        std::string base;  // empty: no web requests at all
        std::regex response;
    };
    const Case cases[] = {
        {"unreachable", UnreachableBaseUrl(),
         std::regex("7,0,Failed to connect to 127\\.0\\.0\\.1 port \\d+.*")},
        {"closes without answer", silent.BaseUrl(), std::regex("52,0,Empty reply from server")},
        {"no request handle", "", std::regex("err:0")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoverRig rig;
        if (c.base.empty()) {
            rig.host().SetWebAvailable(false);
        } else {
            rig.host().SetWebBase(c.base);
        }
        const auto a = rig.Track("a.wav", L"A", L"Kiln", 60, true);
        rig.StartQuietly();
        rig.PlayAt(a, 0, 60);
        EXPECT_EQ(rig.NextActivity().activity, rig.Playing("Kiln - A", kFixedNow, 60).Text());
        const std::string response = rig.Response();
        EXPECT_TRUE(std::regex_match(response, c.response)) << response;
        EXPECT_TRUE(rig.cache.Uploads().empty());
    }
    EXPECT_EQ(silent.Accepted(), 1);
}

TEST(CoverArt, NoArtRemovesTheCachedFile) {
    CoverRig rig;
    const auto bare = rig.Track("bare.wav", L"Bare", L"Kiln", 60, false);
    std::filesystem::create_directories(rig.CachedFile().parent_path());
    { std::ofstream(rig.CachedFile()) << "an older image"; }
    rig.StartQuietly();
    EXPECT_FALSE(std::filesystem::exists(rig.CachedFile()));

    { std::ofstream(rig.CachedFile()) << "an older image"; }
    rig.PlayAt(bare, 0, 60);
    EXPECT_EQ(rig.NextActivity().activity, rig.Playing("Kiln - Bare", kFixedNow, 60).Text());
    EXPECT_FALSE(std::filesystem::exists(rig.CachedFile()));
    EXPECT_TRUE(rig.cache.Uploads().empty());
    EXPECT_EQ(rig.Response(), "(absent)");
}

TEST(CoverArt, UploadOffAsksForNoArt) {
    CoverRig rig;
    rig.plugin().SetInt(L"uploadForDiscord", 0);
    const auto a = rig.Track("a.wav", L"A", L"Kiln", 60, true);
    rig.StartQuietly();
    rig.PlayAt(a, 0, 60);
    EXPECT_EQ(rig.NextActivity().activity, rig.Playing("Kiln - A", kFixedNow, 60).Text());
    EXPECT_TRUE(rig.cache.Uploads().empty());
    EXPECT_FALSE(std::filesystem::exists(rig.CachedFile().parent_path()));
    // The identity is made all the same, ready for when uploads are turned on.
    EXPECT_EQ(rig.Identity().size(), 15u);
}

TEST(CoverArt, AnOverLongImageAddressKeeps79Characters) {
    CoverRig rig;
    const std::string base =
        rig.cache.BaseUrl() + "a/rather/long/path/for/the/image/cache/of/this/host/";
    rig.host().SetWebBase(base);
    const auto a = rig.Track("a.wav", L"A", L"Kiln", 60, true);
    rig.StartQuietly();
    rig.PlayAt(a, 0, 60);
    const std::string uid = rig.Identity();
    const std::string address = base + "discord/cache/" + uid + ".jpg?" + std::to_string(kFixedNow);
    ASSERT_GT(address.size(), 79u);
    Activity expected = rig.Playing("Kiln - A", kFixedNow, 60);
    expected.largeImage = address.substr(0, 79);
    EXPECT_EQ(rig.NextActivity().activity, expected.Text());
    ASSERT_EQ(rig.cache.Uploads().size(), 1u);
    EXPECT_EQ(rig.cache.Uploads()[0].target,
              "/a/rather/long/path/for/the/image/cache/of/this/host/discord/cache/?uid=" + uid);
}

}  // namespace
}  // namespace kiln::test
