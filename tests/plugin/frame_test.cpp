// The plug-in frame as a player sees it: exports, descriptor, start-up,
// pages, menu, About box, quit, uninstall and unloading.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "host/host_threads.h"
#include "host/window_system.h"
#include "plugin/descriptor.h"
#include "services/settings_store.h"
#include "support/plugin_host.h"

namespace kiln::test {
namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(PluginLifetime, LoadInitQuitUnloadTwiceLeavesNothingBehind) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        {
            PluginHost plugin;
            plugin.SetInt(L"logging_on", 1);  // an output on, so quit has a worker to end
            plugin.Start();
            plugin.host().NotifyInfoChanged();
            plugin.RunFor(0);
            plugin.Quit();
            EXPECT_EQ(plugin.host().Threads().LiveThreads(), 0);
            EXPECT_EQ(plugin.host().Threads().BadHandleUses(), 0);
        }
        // Unloaded for real: no static or thread keeps the library mapped.
        void* still = dlopen(PluginLibraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
        EXPECT_EQ(still, nullptr) << "gen_kiln stayed loaded after dlclose";
        if (still) {
            dlclose(still);
        }
    }
}

TEST(PluginLifetime, ExportsExactlyTheTwoEntryPoints) {
    void* library = dlopen(PluginLibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr);
    EXPECT_NE(dlsym(library, "winampGetGeneralPurposePlugin"), nullptr);
    EXPECT_NE(dlsym(library, "winampUninstallPlugin"), nullptr);
    // Internal names stay internal.
    EXPECT_EQ(dlsym(library, "_ZN4kiln10InitPluginEv"), nullptr);
    // The plug-in never carries the host's table itself: it finds the program's.
    EXPECT_EQ(dlsym(library, "kiln_host_services"), nullptr);
    EXPECT_NE(dlsym(RTLD_DEFAULT, "kiln_host_services"), nullptr);
    dlclose(library);
}

TEST(PluginDescriptor, FieldsBeforeAndAfterInit) {
    PluginHost plugin;
    PluginDescriptor* d = plugin.host().Plugin();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->version, 0x12);
    EXPECT_EQ(std::wstring(d->description), L"orbit(gen_kiln.dll)");
    EXPECT_NE(d->init, nullptr);
    EXPECT_NE(d->config, nullptr);
    EXPECT_NE(d->quit, nullptr);
    EXPECT_NE(d->messageHook, nullptr);
    EXPECT_EQ(d->reserved18, nullptr);
    plugin.Start();
    // The localisation service replaced the description with the display name.
    EXPECT_EQ(std::wstring(d->description), L"Kiln Log v3.3.4");
}

TEST(PluginStartup, RegistersThreePagesWithTheirArguments) {
    PluginHost plugin;
    plugin.Start();
    auto pages = plugin.windows().Pages();
    ASSERT_EQ(pages.size(), 3u);
    const auto& main = pages[0];
    EXPECT_EQ(main.name, L"Play Tracking");
    EXPECT_EQ(main.flags, 257);
    EXPECT_EQ(main.pageCode, 76);
    EXPECT_EQ(main.parent, -1);
    EXPECT_EQ(main.group, 7);
    EXPECT_EQ(main.visible, 1);
    EXPECT_NE(main.position, nullptr);
    EXPECT_NE(main.create, nullptr);
    EXPECT_TRUE(main.tabsFinalised);
    EXPECT_EQ(main.finaliseFlags, 1);
    ASSERT_EQ(main.tabs.size(), 4u);
    const int dialogs[4] = {101, 102, 103, 104};
    const wchar_t* names[4] = {L"Playback History", L"Now Playing", L"Current Artwork", L"HTTP(S) POST"};
    ASSERT_EQ(main.tabNames.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(main.tabs[i].dialogId, dialogs[i]);
        EXPECT_NE(main.tabs[i].proc, nullptr);
        EXPECT_EQ(main.tabNames[i], names[i]);
    }
    EXPECT_EQ(pages[1].name, L"Discord");
    EXPECT_EQ(pages[1].flags, 106);
    EXPECT_EQ(pages[1].pageCode, 77);
    EXPECT_EQ(pages[1].create, nullptr);
    EXPECT_EQ(pages[2].name, L"Last.fm Scrobbler");
    EXPECT_EQ(pages[2].pageCode, 79);
    // No session key stored: the setup layout.
    EXPECT_EQ(pages[2].flags, 111);
    for (const auto& page : pages) {
        EXPECT_EQ(page.instance, plugin.host().LibraryHandle());
        EXPECT_EQ(page.localisation, plugin.host().Localisation());
    }
}

TEST(PluginStartup, StoredSessionKeyChoosesTheAuthorisedScrobblerLayout) {
    PluginHost plugin;
    plugin.SetText(L"sk", L"0123456789abcdef0123456789abcdef");
    plugin.Start();
    auto pages = plugin.windows().Pages();
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[2].flags, 110);
}

TEST(PluginStartup, HostWithoutLocalisationLoadsFromTheModule) {
    host::HostOptions options;
    options.withLocalisation = false;
    PluginHost plugin(options);
    plugin.Start();
    auto pages = plugin.windows().Pages();
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0].instance, plugin.host().LibraryHandle());
    EXPECT_EQ(pages[0].localisation, nullptr);
    EXPECT_EQ(pages[0].name, L"Play Tracking");
    EXPECT_EQ(pages[0].tabNames.at(3), L"HTTP(S) POST");
    // Nobody replaced the description.
    EXPECT_EQ(std::wstring(plugin.host().Plugin()->description), L"orbit(gen_kiln.dll)");
    // Tabs are still made from the plug-in's own dialogs.
    ASSERT_TRUE(plugin.windows().OpenPage(pages[0].id, 0));
    EXPECT_EQ(plugin.windows().DialogTemplateId(plugin.windows().OpenPageDialog()), 101);
}

TEST(PluginStartup, FailedLocalisationLeavesANullInstance) {
    host::HostOptions options;
    options.failLocalisation = true;
    PluginHost plugin(options);
    plugin.Start();
    auto pages = plugin.windows().Pages();
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0].instance, nullptr);
    EXPECT_EQ(pages[0].name, L"");  // strings come from a null instance: none
}

TEST(PluginMenu, ShowsTheLocalisedTitleAndOpensPreferences) {
    PluginHost plugin;
    plugin.Start();
    std::vector<host::MenuItem> shown;
    plugin.windows().SetMenuChooser([&](const std::vector<host::MenuItem>& items) {
        shown = items;
        return 2;
    });
    plugin.host().ConfigPlugin();
    ASSERT_EQ(shown.size(), 5u);
    EXPECT_EQ(shown[0].text, L"Kiln Log v3.3.4");
    EXPECT_FALSE(shown[0].Selectable());
    EXPECT_TRUE(shown[1].separator);
    EXPECT_EQ(shown[2].id, 2);
    EXPECT_EQ(shown[2].text, L"Goto logging options...");
    EXPECT_TRUE(shown[3].separator);
    EXPECT_EQ(shown[4].id, 1);
    EXPECT_EQ(shown[4].text, L"About...");
    EXPECT_EQ(plugin.windows().OpenPageId(), plugin.windows().Pages()[0].id);
    EXPECT_EQ(plugin.windows().LiveMenus(), 0);  // destroyed after use
    plugin.windows().ClosePreferences();
}

TEST(PluginMenu, AboutBoxIsFormattedWithCreditYearAndBuildDate) {
    PluginHost plugin;
    plugin.host().SetNow(1796000000);  // in 2026
    plugin.Start();
    plugin.windows().SetMenuChooser([](const std::vector<host::MenuItem>&) { return 1; });
    plugin.host().ConfigPlugin();
    auto about = plugin.windows().LastAboutBox();
    ASSERT_TRUE(about.has_value());
    EXPECT_EQ(about->title, L"Kiln Log v3.3.4");
    EXPECT_NE(about->text.find(L"Kiln Log"), std::wstring::npos) << Narrow(about->text);
    EXPECT_NE(about->text.find(L"2016-2026"), std::wstring::npos) << Narrow(about->text);
    EXPECT_NE(about->text.find(L"Sep 27 2024"), std::wstring::npos);
    EXPECT_NE(about->text.find(L"the Kiln Log developers"), std::wstring::npos);
    EXPECT_EQ(about->text.find(L"%s"), std::wstring::npos);
    EXPECT_EQ(plugin.windows().LiveMenus(), 0);
}

TEST(PluginMenu, DismissedMenuDoesNothing) {
    PluginHost plugin;
    plugin.Start();
    plugin.windows().SetMenuChooser([](const std::vector<host::MenuItem>&) { return 0; });
    plugin.host().ConfigPlugin();
    EXPECT_FALSE(plugin.windows().LastAboutBox().has_value());
    EXPECT_EQ(plugin.windows().OpenPageId(), 0);
    EXPECT_EQ(plugin.windows().LiveMenus(), 0);
}

TEST(PluginPages, PositionRoutineReopensTheLastTabAndStoresOnlyChanges) {
    PluginHost plugin;
    plugin.SetInt(L"wa_cur_page", 2);
    plugin.Start();
    intptr_t main = plugin.windows().Pages()[0].id;
    ASSERT_TRUE(plugin.windows().OpenPage(main));
    EXPECT_EQ(plugin.windows().OpenTab(), 2);
    EXPECT_EQ(plugin.windows().DialogTemplateId(plugin.windows().OpenPageDialog()), 103);
    // Switching back to the remembered tab is not stored; another one is.
    plugin.settings().WriteText(L"gen_kiln", L"wa_cur_page", nullptr);
    ASSERT_TRUE(plugin.windows().SwitchTab(2));
    EXPECT_FALSE(plugin.settings().Get(L"gen_kiln", L"wa_cur_page").has_value());
    ASSERT_TRUE(plugin.windows().SwitchTab(3));
    EXPECT_EQ(plugin.settings().ReadInt(L"gen_kiln", L"wa_cur_page", -1), 3);
    plugin.windows().ClosePreferences();
}

TEST(PluginQuit, NothingStartedRemovesThePageAndWritesOnlyTheFooter) {
    PluginHost plugin;
    plugin.SetInt(L"logging_on", 1);
    plugin.Start();
    intptr_t main = plugin.windows().Pages()[0].id;
    plugin.Quit();
    EXPECT_FALSE(plugin.windows().Page(main).has_value());
    EXPECT_EQ(plugin.windows().Pages().size(), 2u);
    EXPECT_EQ(plugin.host().Threads().LiveThreads(), 0);
    // Header at load, footer at quit, nothing between.
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(plugin.LogsFolder())) {
        ++files;
        std::string text = ReadFileBytes(entry.path());
        EXPECT_EQ(text.find("<<< started @ "), 0u) << text;
        size_t footer = text.find("<<< stopped @ ");
        ASSERT_NE(footer, std::string::npos) << text;
        EXPECT_EQ(text.find("\r\n"), footer - 2);
        EXPECT_EQ(text.size(), footer + std::string("<<< stopped @ 01-01-2026 - 00:00:00 >>>\r\n").size());
    }
    EXPECT_EQ(files, 1);
}

TEST(PluginQuit, WithEverythingOffStartsAndLeavesNoThread) {
    PluginHost plugin;
    plugin.Start();
    plugin.host().NotifyInfoChanged();
    plugin.RunFor(0);
    EXPECT_EQ(plugin.host().Threads().LiveThreads(), 0);
    plugin.Quit();
    EXPECT_FALSE(std::filesystem::exists(plugin.LogsFolder()));
}

TEST(PluginUninstall, RemovesTheWholeSectionAndNothingElse) {
    PluginHost plugin;
    plugin.SetInt(L"logging_on", 1);
    plugin.SetInt(L"wa_cur_page", 3);
    plugin.SetText(L"sk", L"key");
    plugin.settings().WriteText(L"other_plugin", L"keep", L"me");
    plugin.Start();
    plugin.Quit();
    EXPECT_EQ(plugin.host().UninstallPlugin(), 0);
    host::SettingsStore reread(plugin.settings().File());
    for (const wchar_t* key : {L"logging_on", L"wa_cur_page", L"sk"}) {
        EXPECT_FALSE(reread.Get(L"gen_kiln", key).has_value()) << Narrow(key);
    }
    EXPECT_EQ(reread.Get(L"other_plugin", L"keep").value_or(L""), L"me");
}

TEST(PluginUninstall, WorksWithoutInit) {
    PluginHost plugin;
    plugin.SetInt(L"prepost", 0);
    EXPECT_EQ(plugin.host().UninstallPlugin(), 0);
    EXPECT_FALSE(plugin.settings().Get(L"gen_kiln", L"prepost").has_value());
}

}  // namespace
}  // namespace kiln::test
