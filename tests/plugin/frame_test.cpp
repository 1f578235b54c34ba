// The plug-in frame as a player sees it: exports, descriptor, start-up,
// pages, menu, About box, quit, uninstall and unloading.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "core/descriptor.h"
#include "host/host_threads.h"
#include "host/sample_media.h"
#include "host/window_system.h"
#include "support/plugin_host.h"

namespace kiln::test {
namespace {

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

TEST(PluginLifetime, LoadInitQuitUnloadTwiceLeavesNothingBehind) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        {
            PluginHost plugin;
            plugin.SetInt(L"logging_on", 1);  // an output on, so quit has a worker to end
            plugin.Start();
            plugin.host().NotifyInfoChanged();
            plugin.RunFor(100);
            // Quit wakes the idle worker; left to itself it would end only
            // after its ten idle seconds.
            const auto quitAt = std::chrono::steady_clock::now();
            plugin.Quit();
            EXPECT_LT(std::chrono::steady_clock::now() - quitAt, std::chrono::seconds(5));
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

// The names the library's dynamic symbol table defines, as the loader sees them.
std::vector<std::string> DefinedDynamicSymbols(const std::filesystem::path& library) {
    const std::string image = ReadFileBytes(library);
    auto at = [&](size_t offset, auto* value) {
        if (offset + sizeof *value <= image.size()) {
            std::memcpy(value, image.data() + offset, sizeof *value);
        }
    };
    Elf64_Ehdr header{};
    at(0, &header);
    std::vector<std::string> names;
    for (int i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr table{};
        at(header.e_shoff + size_t{header.e_shentsize} * i, &table);
        if (table.sh_type != SHT_DYNSYM) {
            continue;
        }
        Elf64_Shdr strings{};
        at(header.e_shoff + size_t{header.e_shentsize} * table.sh_link, &strings);
        for (size_t s = 1; s < table.sh_size / sizeof(Elf64_Sym); ++s) {
            Elf64_Sym symbol{};
            at(table.sh_offset + s * sizeof symbol, &symbol);
            const int binding = ELF64_ST_BIND(symbol.st_info);
            if (symbol.st_shndx != SHN_UNDEF && (binding == STB_GLOBAL || binding == STB_WEAK) &&
                symbol.st_name < strings.sh_size) {
                names.emplace_back(image.c_str() + strings.sh_offset + symbol.st_name);
            }
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PluginLifetime, ExportsExactlyTheTwoEntryPoints) {
    EXPECT_EQ(DefinedDynamicSymbols(PluginLibraryPath()),
              (std::vector<std::string>{"winampGetGeneralPurposePlugin", "winampUninstallPlugin"}));
    // The plug-in never carries the host's table itself: it finds the program's.
    EXPECT_NE(dlsym(RTLD_DEFAULT, "kiln_host_services"), nullptr);
}

// Timer routines live in the plug-in: one still set after quit would run
// into the unloaded library at its next tick.
TEST(PluginLifetime, QuitKillsTheTimersItSet) {
    TempFolder music;
    const auto track = host::WriteSampleTrack(
        music.path(),
        {.fileName = "a.wav", .title = L"Ember", .artist = L"Kiln Quartet", .seconds = 40});
    const struct {
        const char* name;
        uintptr_t timer;
        bool stop;
    } cases[] = {{"scrobble point", 738, false}, {"presence auto-disable", 748, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PluginHost plugin;
        plugin.SetInt(L"scrobble", 1);
        plugin.SetInt(L"updatediscord", 1);
        plugin.SetInt(L"autodisablediscord", 1);
        plugin.Start();
        plugin.Play(track, 40);
        if (c.stop) {
            plugin.Stop();
        }
        plugin.RunFor(1500);  // the worker has handled the events
        plugin.Quit();
        EXPECT_FALSE(plugin.windows().KillTimer(plugin.windows().MainWindow(), c.timer));
    }
}

// The page texts and the display name come through the host's localisation
// service when there is one, else straight from the module; a service that
// fails leaves a null instance, whose strings are empty.
TEST(PluginStartup, PagesAndNameWithOrWithoutLocalisation) {
    const struct {
        const char* name;
        bool withLocalisation, failLocalisation;
        const wchar_t *description, *pageName;
    } cases[] = {
        {"service", true, false, L"Kiln Log v3.3.4", L"Play Tracking"},
        {"no service", false, false, L"orbit(gen_kiln.dll)", L"Play Tracking"},
        {"failing service", true, true, L"orbit(gen_kiln.dll)", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::HostOptions options;
        options.withLocalisation = c.withLocalisation;
        options.failLocalisation = c.failLocalisation;
        PluginHost plugin(options);
        EXPECT_EQ(std::wstring(plugin.host().Plugin()->description), L"orbit(gen_kiln.dll)");
        plugin.Start();
        EXPECT_EQ(std::wstring(plugin.host().Plugin()->description), c.description);
        const auto pages = plugin.windows().Pages();
        ASSERT_EQ(pages.size(), 5u);  // outputs, presence, scrobbler, scrobble queue, rules
        for (const auto& page : pages) {
            EXPECT_EQ(page.instance, c.failLocalisation ? nullptr : plugin.host().LibraryHandle());
            EXPECT_EQ(page.localisation,
                      c.withLocalisation ? plugin.host().Localisation() : nullptr);
        }
        EXPECT_EQ(pages[0].name, c.pageName);
        if (!c.failLocalisation) {
            // Tabs are made from the plug-in's own dialogs.
            ASSERT_TRUE(plugin.windows().OpenPage(pages[0].id, 3));
            EXPECT_EQ(pages[0].tabNames.at(3), L"HTTP(S) POST");
            EXPECT_EQ(plugin.windows().DialogTemplateId(plugin.windows().OpenPageDialog()), 104);
        }
    }
}

// A failed registration gives 0, which other messages carry too: the
// start-up still runs, once.
TEST(PluginStartup, FailedMessageRegistrationStartsUpOnce) {
    host::HostOptions options;
    options.failMessageRegistration = true;
    PluginHost plugin(options);
    plugin.Start();
    ASSERT_EQ(plugin.windows().Pages().size(), 5u);
    plugin.windows().PostMessage(plugin.windows().MainWindow(), 0x0400, 0, 0);
    plugin.RunFor(0);
    EXPECT_EQ(plugin.windows().Pages().size(), 5u);
}

TEST(PluginMenu, ShowsTheLocalisedTitleAndTheFilledAboutBox) {
    PluginHost plugin;
    plugin.host().SetNow(1796000000);  // in 2026
    plugin.Start();
    std::vector<host::MenuItem> shown;
    plugin.windows().SetMenuChooser([&](const std::vector<host::MenuItem>& items) {
        shown = items;
        return 1;  // About...
    });
    plugin.host().ConfigPlugin();
    // (The items, the pages they open and the menus' release are checked item
    // by item in the Windows smoke test.)
    ASSERT_EQ(shown.size(), 6u);
    EXPECT_EQ(shown[0].text, L"Kiln Log v3.3.4");
    auto about = plugin.windows().LastAboutBox();
    ASSERT_TRUE(about.has_value());
    EXPECT_EQ(about->title, L"Kiln Log v3.3.4");
    EXPECT_NE(about->text.find(L"2016-2026"), std::wstring::npos) << Narrow(about->text);
    EXPECT_NE(about->text.find(L"Sep 27 2024"), std::wstring::npos);
    EXPECT_NE(about->text.find(L"the Kiln Log developers"), std::wstring::npos);
    EXPECT_EQ(about->text.find(L"%s"), std::wstring::npos);
}

}  // namespace
}  // namespace kiln::test
