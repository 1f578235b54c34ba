// The plug-in's resources as the substitute host sees them: gen_kiln.so is
// loaded with dlopen and its resources are found from the handle alone.
#include <dlfcn.h>
#include <zlib.h>

#include <cwchar>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/module_resources.h"
#include "resources/deployment.h"
#include "resources/language_guid.h"
#include "resources/resource_ids.h"
#include "resources/styles.h"
#include "services/gzip_text.h"

namespace kiln::host {
namespace {

const char* const kPluginPath = KILN_PLUGIN_DIR "/gen_kiln.so";

using Module = std::unique_ptr<void, int (*)(void*)>;
Module Load(const char* path) {
    return {dlopen(path, RTLD_NOW | RTLD_LOCAL), &dlclose};
}

// The module that holds `address`.
const void* ModuleBase(const void* address) {
    Dl_info info{};
    return dladdr(address, &info) != 0 ? info.dli_fbase : nullptr;
}

class PluginResources : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(plugin_.get(), nullptr) << dlerror(); }
    void* handle() const { return plugin_.get(); }

    const res::ControlEntry* Control(int dialogId, int id) const {
        const res::DialogEntry* dialog = ModuleDialog(handle(), dialogId);
        for (int i = 0; dialog != nullptr && i < dialog->controlCount; ++i) {
            if (dialog->controls[i].id == id) {
                return &dialog->controls[i];
            }
        }
        return nullptr;
    }

    std::wstring Text(int id) const {
        return DecompressUtf16Text(ModuleBlob(handle(), id)).value_or(L"");
    }

  private:
    Module plugin_ = Load(kPluginPath);
};

// The printf directives of a text, "%%" excluded: the host fills them in.
std::vector<std::wstring> Directives(const std::wstring& text) {
    static const std::wregex directive(L"%%|%[-+ #0-9.lh]*[a-zA-Z]?");
    std::vector<std::wstring> found;
    for (std::wsregex_iterator m(text.begin(), text.end(), directive), end; m != end; ++m) {
        if (m->str() != L"%%") {
            found.push_back(m->str());
        }
    }
    return found;
}

TEST_F(PluginResources, StringTableIsExactlyTheseTexts) {
    // Language packs are matched by this identifier: the string and the parsed
    // value handed to the localisation service must both be exactly it.
    const Guid& g = res::kLanguageGuid;
    EXPECT_EQ(g.data1, 0x44D4A349u);
    EXPECT_EQ(g.data2, 0x61A5u);
    EXPECT_EQ(g.data3, 0x4610u);
    EXPECT_EQ(std::vector<int>(std::begin(g.data4), std::end(g.data4)),
              (std::vector<int>{0x8E, 0xE1, 0xD1, 0xD8, 0xCA, 0xA4, 0x84, 0x07}));
    std::wstring table;
    for (int id = 0; id <= 0xFFFF; ++id) {
        if (const wchar_t* text = ModuleString(handle(), id)) {
            table += std::to_wstring(id) + L"=" + text + L"\n";
        }
    }
    EXPECT_EQ(table, std::wstring(L"1=Kiln Log v%s\n2=About...\n3=Goto logging options...\n"
                                  L"4=Playback History\n5=Are you sure you want to reset this "
                                  L"field?\n6=Play Tracking\n8=HTTP(S) POST\n13=Discord\n"
                                  L"14=Now Playing\n15=Last.fm Scrobbler\n18=Current Artwork\n"
                                  L"19=ORBIT (default)\n23=Custom app_id\n24=Listening to\n"
                                  L"25=Listening to (audio); Watching (video)\n"
                                  L"26=Legacy Mode (use if the activity display is wrong)\n"
                                  L"27=Pause tracking\n28=Rules\n"
                                  L"29=Tracking is paused: nothing is written, sent or scrobbled.\n"
                                  L"35=Scrobble Queue\n36=Are you sure?\n"
                                  L"37=Remove %d selected play(s) from the scrobble queue?\n\n"
                                  L"They won't be scrobbled & can't be restored.\n"
                                  L"38=Move %d set-aside line(s) back to the scrobble queue?\n\n"
                                  L"They'll be sent with the next scrobble; why they were set "
                                  L"aside is forgotten.\n39=Export the scrobble queue\n"
                                  L"40=Another player (or another copy of this one) using the "
                                  L"same settings folder keeps the scrobble queue: change it from "
                                  L"there.\n41=The scrobble queue couldn't be changed (the files "
                                  L"couldn't be written): nothing was removed or moved.\n"
                                  L"42=The file couldn't be written.\n43=Scrobbling is currently "
                                  L"disabled: enable it on the Last.fm Scrobbler page first.\n"
                                  L"65535={44D4A349-61A5-4610-8EE1-D1D8CAA48407}\n"));
}

// Link texts go through the host's printf: one address, literal percents doubled.
TEST_F(PluginResources, LinkTextsCarryOneAddressDirective) {
    for (auto [dialogId, id] :
         {std::pair{IDD_HISTORY, 1055}, {IDD_NOW_PLAYING, 1056}, {IDD_POST, 1057}}) {
        ASSERT_NE(Control(dialogId, id), nullptr) << id;
        const std::wstring text = Control(dialogId, id)->text;
        EXPECT_NE(text.find(L"<a href=\"%s\">ATF support</a>"), std::wstring::npos) << id;
        EXPECT_NE(text.find(L"%%length_seconds%%"), std::wstring::npos) << id;
        EXPECT_EQ(Directives(text), std::vector<std::wstring>{L"%s"}) << id;
    }
}

TEST_F(PluginResources, EveryDialogIsWellFormed) {
    const std::set<std::string> classes = {"Button", "Edit", "Static", "ComboBox", "ListBox"};
    for (int dialogId :
         {IDD_HISTORY, IDD_NOW_PLAYING, IDD_ARTWORK, IDD_POST, IDD_PRESENCE, IDD_RULES,
          IDD_SCROBBLE_QUEUE, IDD_SCROBBLER_AUTHORISED, IDD_SCROBBLER_SETUP}) {
        SCOPED_TRACE(testing::Message() << "dialog " << dialogId);
        const res::DialogEntry* dialog = ModuleDialog(handle(), dialogId);
        ASSERT_NE(dialog, nullptr);
        std::set<int> seen;
        for (int i = 0; i < dialog->controlCount; ++i) {
            const res::ControlEntry& c = dialog->controls[i];
            SCOPED_TRACE(testing::Message() << "control " << c.id << " at " << i);
            EXPECT_TRUE(c.id == IDC_STATIC || seen.insert(c.id).second) << "duplicate id";
            EXPECT_EQ(classes.count(c.className), 1u) << c.className;
            // Without it the control would be a window of its own.
            EXPECT_NE(c.style & KS_CHILD, 0u);
            ASSERT_NE(c.text, nullptr);
            EXPECT_TRUE(c.x >= 0 && c.y >= 0 && c.width > 0 && c.height > 0);
            EXPECT_LE(c.x + c.width, dialog->width);
            // A drop-down list's height is that of its open list, which may leave the page.
            if (c.className != std::string("ComboBox")) {
                EXPECT_LE(c.y + c.height, dialog->height);
            }
        }
    }
    EXPECT_EQ(ModuleDialog(handle(), 105), nullptr);
}

// Stored as the host's text service expects: gzip of UTF-16LE after FF FE.
TEST_F(PluginResources, TextResourcesAreCompressedUtf16WithTheirDirectives) {
    for (int id : {IDR_ABOUT_TEXT, IDR_PRESENCE_INTRO}) {
        std::span<const uint8_t> blob = ModuleBlob(handle(), id);
        uint8_t head[4] = {};
        z_stream z{.next_in = const_cast<Bytef*>(blob.data()),
                   .avail_in = static_cast<uInt>(blob.size()),
                   .next_out = head,
                   .avail_out = sizeof head};
        ASSERT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
        inflate(&z, Z_SYNC_FLUSH);
        inflateEnd(&z);
        // The mark, then an ASCII first letter with its zero byte second.
        EXPECT_TRUE(head[0] == 0xFF && head[1] == 0xFE && head[2] != 0 && head[3] == 0) << id;
    }
    const std::wstring about = Text(IDR_ABOUT_TEXT);
    EXPECT_NE(about.find(L"Kiln Log v3.3.4"), std::wstring::npos);
    EXPECT_NE(about.find(L"\u00A9 2016-%s"), std::wstring::npos) << "non-ASCII survives";
    // Credit, closing year, build date: the About box passes three texts.
    EXPECT_EQ(Directives(about), (std::vector<std::wstring>{L"%s", L"%s", L"%s"}));
    EXPECT_LT(about.find(L"%s"), about.find(L"2016-%s"));
    // The help address is filled in when the build is configured; the forum's by the page.
    const std::wstring intro = Text(IDR_PRESENCE_INTRO);
    EXPECT_NE(intro.find(L"<a href=\"" KILN_TITLE_FORMAT_HELP_URL_W L"\">ATF</a>"),
              std::wstring::npos);
    EXPECT_EQ(Directives(intro), std::vector<std::wstring>{L"%s"});
    EXPECT_TRUE(ModuleBlob(handle(), 117).empty());
}

// The directory must lie in the module's own mapping, also when the module is
// loaded again (maybe elsewhere): a wrong load bias or a stale address would
// still find plausible bytes somewhere.
TEST(ModuleResources, DirectoryFollowsTheModuleAcrossLoads) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Module plugin = Load(kPluginPath);
        ASSERT_NE(plugin.get(), nullptr) << dlerror();
        EXPECT_EQ(ModuleBase(FindModuleResources(plugin.get())),
                  ModuleBase(dlsym(plugin.get(), "winampGetGeneralPurposePlugin")));
        EXPECT_STREQ(ModuleString(plugin.get(), IDS_DISCORD), L"Discord");
    }
    // The program carries the resources too (linux_resources.cpp is built in);
    // its link map has no file name.
    Module program = Load(nullptr);
    EXPECT_EQ(ModuleBase(FindModuleResources(program.get())),
              ModuleBase(reinterpret_cast<void*>(&FindModuleResources)));
    EXPECT_STREQ(ModuleString(program.get(), IDS_PLAY_TRACKING), L"Play Tracking");
}

TEST(ModuleResources, ModulesWithoutUsableResourcesGiveNothing) {
    for (const char* path :
         {"libz.so.1", KILN_SHORT_SECTION_MODULE, KILN_BAD_MAGIC_MODULE, KILN_BAD_VERSION_MODULE}) {
        SCOPED_TRACE(path);
        Module module = Load(path);
        ASSERT_NE(module.get(), nullptr) << dlerror();
        EXPECT_EQ(FindModuleResources(module.get()), nullptr);
    }
    EXPECT_EQ(FindModuleResources(nullptr), nullptr);
}

}  // namespace
}  // namespace kiln::host
