// The plug-in's resources as the substitute host sees them: gen_kiln.so is
// loaded with dlopen and its resources are found from the handle alone.
#include <dlfcn.h>
#include <zlib.h>

#include <cstdio>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/gzip_text.h"
#include "host/module_resources.h"
#include "resources/deployment.h"
#include "resources/language_guid.h"
#include "resources/resource_ids.h"
#include "resources/styles.h"

namespace kiln {
namespace {

using host::FindModuleResources;
using host::ModuleBlob;
using host::ModuleDialog;
using host::ModuleString;

const char* const kPluginPath = KILN_PLUGIN_DIR "/gen_kiln.so";

class Module {
  public:
    explicit Module(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
    ~Module() {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    void* handle() const { return handle_; }

  private:
    void* handle_;
};

class PluginResources : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(plugin_.handle(), nullptr) << dlerror(); }
    void* handle() const { return plugin_.handle(); }

    const res::ControlEntry* Control(int dialogId, int controlId) const {
        const res::DialogEntry* dialog = ModuleDialog(handle(), dialogId);
        if (dialog == nullptr) {
            return nullptr;
        }
        for (int i = 0; i < dialog->controlCount; ++i) {
            if (dialog->controls[i].id == controlId) {
                return &dialog->controls[i];
            }
        }
        return nullptr;
    }

    std::wstring Text(int id) const {
        std::optional<std::wstring> text = host::DecompressUtf16Text(ModuleBlob(handle(), id));
        return text.value_or(L"");
    }

  private:
    Module plugin_{kPluginPath};
};

// Kinds of control, told apart the way a dialog manager would: class and style.
enum class Kind {
    Check,
    Push,
    MultiLinePush,
    Group,
    Label,
    LabelNoPrefix,
    Edit,
    ReadOnlyEdit,
    ComboList
};

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Check:
            return "auto check box";
        case Kind::Push:
            return "push button";
        case Kind::MultiLinePush:
            return "multi-line push button";
        case Kind::Group:
            return "group box";
        case Kind::Label:
            return "static text";
        case Kind::LabelNoPrefix:
            return "static text, no prefix";
        case Kind::Edit:
            return "edit";
        case Kind::ReadOnlyEdit:
            return "read-only edit";
        case Kind::ComboList:
            return "drop-down list";
    }
    return "?";
}

bool IsKind(const res::ControlEntry& control, Kind kind) {
    const std::string className = control.className;
    const uint32_t style = control.style;
    const uint32_t buttonType = style & KS_BS_TYPEMASK;
    switch (kind) {
        case Kind::Check:
            return className == "Button" && buttonType == KS_BS_AUTOCHECKBOX;
        case Kind::Push:
            return className == "Button" && buttonType == KS_BS_PUSHBUTTON &&
                   (style & KS_BS_MULTILINE) == 0;
        case Kind::MultiLinePush:
            return className == "Button" && buttonType == KS_BS_PUSHBUTTON &&
                   (style & KS_BS_MULTILINE) != 0;
        case Kind::Group:
            return className == "Button" && buttonType == KS_BS_GROUPBOX;
        case Kind::Label:
            return className == "Static" && (style & KS_SS_NOPREFIX) == 0;
        case Kind::LabelNoPrefix:
            return className == "Static" && (style & KS_SS_NOPREFIX) != 0;
        case Kind::Edit:
            return className == "Edit" && (style & KS_ES_READONLY) == 0;
        case Kind::ReadOnlyEdit:
            return className == "Edit" && (style & KS_ES_READONLY) != 0;
        case Kind::ComboList:
            return className == "ComboBox" && (style & 0x3) == KS_CBS_DROPDOWNLIST;
    }
    return false;
}

TEST_F(PluginResources, StringsStandAtTheirIds) {
    const struct {
        int id;
        const wchar_t* text;
    } cases[] = {
        {1, L"Kiln Log v%s"},
        {2, L"About..."},
        {3, L"Goto logging options..."},
        {4, L"Playback History"},
        {5, L"Are you sure you want to reset this field?"},
        {6, L"Play Tracking"},
        {8, L"HTTP(S) POST"},
        {13, L"Discord"},
        {14, L"Now Playing"},
        {15, L"Last.fm Scrobbler"},
        {18, L"Current Artwork"},
        {19, L"ORBIT (default)"},
        {23, L"Custom app_id"},
        {24, L"Listening to"},
        {25, L"Listening to (audio); Watching (video)"},
        {26, L"Legacy Mode (use if the activity display is wrong)"},
    };
    for (const auto& c : cases) {
        const wchar_t* text = ModuleString(handle(), c.id);
        ASSERT_NE(text, nullptr) << "string " << c.id;
        EXPECT_STREQ(text, c.text) << "string " << c.id;
    }
    for (int absent : {0, 7, 9, 116, 65534}) {
        EXPECT_EQ(ModuleString(handle(), absent), nullptr) << "string " << absent;
    }
}

TEST_F(PluginResources, LanguageGuidStringIsTheCodesGuid) {
    const res::ResourceDirectory* directory = FindModuleResources(handle());
    ASSERT_NE(directory, nullptr);
    const Guid& g = res::kLanguageGuid;
    wchar_t expected[40];
    std::swprintf(expected, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1,
                  g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                  g.data4[5], g.data4[6], g.data4[7]);
    const wchar_t* text = ModuleString(handle(), IDS_LANGUAGE_GUID);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, expected);
    EXPECT_NE(g.data1 | g.data2 | g.data3, 0u) << "a real identifier, not the nil GUID";
}

TEST_F(PluginResources, ScrobblerPagesMatchTheirLayout) {
    struct Row {
        int id;
        Kind kind;
        int x, y, width, height;
        const wchar_t* text;
    };
    const wchar_t* intro =
        L"To get started click the button to the right which opens a Last.fm account page in the "
        L"default browser. Once you've followed the instructions to allow ORBIT to scrobble for "
        L"you "
        L"click the button again to complete the authorisation.";
    const Row authorised[] = {
        {-1, Kind::Group, 0, 0, 272, 226, L"Last.fm Scrobbler"},
        {1062, Kind::Check, 6, 12, 73, 10, L"Enable Scrobbling"},
        {1063, Kind::Check, 112, 12, 154, 10, L"Update Now Playing status (if supported)"},
        {1048, Kind::LabelNoPrefix, 6, 26, 260, 18, L""},
        {1061, Kind::Group, 6, 48, 197, 63, L"Status"},
        {1060, Kind::LabelNoPrefix, 11, 60, 188, 44, L""},
        {1058, Kind::MultiLinePush, 206, 52, 60, 59, L""},
        {1064, Kind::Check, 6, 114, 260, 10,
         L"Only scrobble files found within the local library database"},
    };
    const Row setup[] = {
        {-1, Kind::Group, 0, 0, 272, 226, L"Last.fm Scrobbler"},
        {1062, Kind::Check, 6, 12, 73, 10, L"Enable Scrobbling"},
        {1063, Kind::Check, 112, 12, 154, 10, L"Update Now Playing status (if supported)"},
        {1048, Kind::LabelNoPrefix, 6, 26, 260, 18, L""},
        {1059, Kind::Label, 6, 48, 197, 34, intro},
        {1061, Kind::Group, 6, 86, 260, 53, L"Status"},
        {1060, Kind::LabelNoPrefix, 11, 98, 250, 35, L""},
        {1058, Kind::MultiLinePush, 206, 48, 60, 34, L""},
        {1064, Kind::Check, 6, 142, 260, 10,
         L"Only scrobble files found within the local library database"},
    };
    const struct {
        int dialogId;
        const Row* rows;
        int rowCount;
    } pages[] = {
        {IDD_SCROBBLER_AUTHORISED, authorised, static_cast<int>(std::size(authorised))},
        {IDD_SCROBBLER_SETUP, setup, static_cast<int>(std::size(setup))},
    };
    for (const auto& page : pages) {
        SCOPED_TRACE(testing::Message() << "dialog " << page.dialogId);
        const res::DialogEntry* dialog = ModuleDialog(handle(), page.dialogId);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->width, 273);
        EXPECT_EQ(dialog->height, 230);
        // Exactly these controls: the authorised page has no introduction.
        ASSERT_EQ(dialog->controlCount, page.rowCount);
        for (int i = 0; i < page.rowCount; ++i) {
            const Row& row = page.rows[i];
            const res::ControlEntry& control = dialog->controls[i];
            SCOPED_TRACE(testing::Message() << "control " << row.id);
            EXPECT_EQ(control.id, row.id);
            EXPECT_TRUE(IsKind(control, row.kind)) << "expected " << KindName(row.kind);
            EXPECT_EQ(control.x, row.x);
            EXPECT_EQ(control.y, row.y);
            EXPECT_EQ(control.width, row.width);
            EXPECT_EQ(control.height, row.height);
            EXPECT_STREQ(control.text, row.text);
        }
    }
}

TEST_F(PluginResources, PresencePageControlsInTabOrder) {
    const struct {
        int id;
        Kind kind;
        const wchar_t* text;
    } rows[] = {
        {-1, Kind::Group, L"Discord"},
        {1047, Kind::Label, L""},
        {1046, Kind::Check, L"&Enable updating Discord's Rich Text Presence"},
        {1008, Kind::Push, L"&Reset"},
        {1048, Kind::Check, L"Automatically &disable when playback has stopped"},
        {1049, Kind::Check, L"Try to provide a remote copy of the albumart for Discord to display"},
        {-1, Kind::Label, L"Show as:"},
        {1051, Kind::ComboList, L""},
        {1052, Kind::Edit, L""},
        {-1, Kind::Label, L"Status prefix:"},
        {1053, Kind::ComboList, L""},
        {1005, Kind::Edit, L""},
        {1006, Kind::ReadOnlyEdit, L""},
    };
    const res::DialogEntry* dialog = ModuleDialog(handle(), IDD_PRESENCE);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->width, 273);
    EXPECT_EQ(dialog->height, 230);
    ASSERT_EQ(dialog->controlCount, static_cast<int>(std::size(rows)));
    for (size_t i = 0; i < std::size(rows); ++i) {
        const res::ControlEntry& control = dialog->controls[i];
        SCOPED_TRACE(testing::Message() << "position " << i << ", control " << rows[i].id);
        EXPECT_EQ(control.id, rows[i].id);
        EXPECT_TRUE(IsKind(control, rows[i].kind)) << "expected " << KindName(rows[i].kind);
        EXPECT_STREQ(control.text, rows[i].text);
    }
    // The custom id box starts disabled; the template takes Enter and scrolls.
    EXPECT_NE(Control(IDD_PRESENCE, 1052)->style & KS_DISABLED, 0u);
    const uint32_t templateStyle = Control(IDD_PRESENCE, 1005)->style;
    EXPECT_NE(templateStyle & KS_ES_MULTILINE, 0u);
    EXPECT_NE(templateStyle & KS_ES_WANTRETURN, 0u);
    EXPECT_NE(templateStyle & KS_VSCROLL, 0u);
    const uint32_t previewStyle = Control(IDD_PRESENCE, 1006)->style;
    EXPECT_NE(previewStyle & KS_ES_MULTILINE, 0u);
    EXPECT_NE(previewStyle & KS_VSCROLL, 0u);
}

TEST_F(PluginResources, OutputTabsHoldTheirControls) {
    const wchar_t* historyLink =
        L"You can use ORBIT's <a href=\"%s\">ATF support</a> to build the log output. The "
        L"following additional ATF values are provided: %%date%%, %%time%%, %%folder_size%%, "
        L"%%file_size%%, %%length_seconds%%";
    const wchar_t* postLink =
        L"You can use ORBIT's <a href=\"%s\">ATF support</a> to build the POST output. The "
        L"following additional ATF values over the standard are provided:\n%%date%%, %%time%%, "
        L"%%folder_size%%, %%file_size%%, %%length_seconds%%";
    // nullptr: the text is set at run time or is the page's own choice.
    const struct {
        int dialogId;
        int id;
        Kind kind;
        const wchar_t* text;
    } rows[] = {
        {IDD_HISTORY, 1021, Kind::Check, L"Enable logging playback history to file"},
        {IDD_HISTORY, 1001, Kind::ReadOnlyEdit, nullptr},
        {IDD_HISTORY, 1002, Kind::Push, L"&..."},
        {IDD_HISTORY, 1003, Kind::Edit, nullptr},
        {IDD_HISTORY, 1008, Kind::Push, L"Reset"},
        {IDD_HISTORY, 1004, Kind::ReadOnlyEdit, nullptr},
        {IDD_HISTORY, 1005, Kind::Edit, nullptr},
        {IDD_HISTORY, 1007, Kind::Push, L"Reset"},
        {IDD_HISTORY, 1006, Kind::ReadOnlyEdit, nullptr},
        {IDD_HISTORY, 1009, Kind::Check,
         L"Include a start header and stop footer in-between ORBIT sessions"},
        {IDD_HISTORY, 1055, Kind::Label, historyLink},
        {IDD_NOW_PLAYING, 1021, Kind::ComboList, nullptr},
        {IDD_NOW_PLAYING, 1001, Kind::ReadOnlyEdit, nullptr},
        {IDD_NOW_PLAYING, 1002, Kind::Push, L"&..."},
        {IDD_NOW_PLAYING, 1003, Kind::Edit, nullptr},
        {IDD_NOW_PLAYING, 1008, Kind::Push, L"Reset"},
        {IDD_NOW_PLAYING, 1004, Kind::ReadOnlyEdit, nullptr},
        {IDD_NOW_PLAYING, 1005, Kind::Edit, nullptr},
        {IDD_NOW_PLAYING, 1007, Kind::Push, L"Reset"},
        {IDD_NOW_PLAYING, 1006, Kind::ReadOnlyEdit, nullptr},
        {IDD_NOW_PLAYING, 1056, Kind::Label, historyLink},
        {IDD_ARTWORK, 1049, Kind::Check, L"Enabled"},
        {IDD_ARTWORK, 1009, Kind::ReadOnlyEdit, nullptr},
        {IDD_ARTWORK, 1010, Kind::Push, L"&..."},
        {IDD_ARTWORK, 1011, Kind::Edit, nullptr},
        {IDD_ARTWORK, 1012, Kind::Push, L"Reset"},
        {IDD_ARTWORK, 1013, Kind::ReadOnlyEdit, nullptr},
        {IDD_ARTWORK, 1021, Kind::ComboList, nullptr},
        {IDD_ARTWORK, 1050, Kind::Edit, nullptr},
        {IDD_ARTWORK, 1051, Kind::Edit, nullptr},
        {IDD_POST, 1035, Kind::ComboList, nullptr},
        {IDD_POST, 1025, Kind::Check, L"Enabled"},
        {IDD_POST, 1024, Kind::Edit, nullptr},
        {IDD_POST, 1026, Kind::Check, L"Enabled"},
        {IDD_POST, 1027, Kind::Edit, nullptr},
        {IDD_POST, 1029, Kind::Check, L"Enabled"},
        {IDD_POST, 1030, Kind::Edit, nullptr},
        {IDD_POST, 1032, Kind::Check, L"Enabled"},
        {IDD_POST, 1033, Kind::Edit, nullptr},
        {IDD_POST, 1031, Kind::Check, L"Disable some SSL validation checks"},
        {IDD_POST, 1006, Kind::ReadOnlyEdit, nullptr},
        {IDD_POST, 1057, Kind::Label, postLink},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "dialog " << row.dialogId << ", control " << row.id);
        const res::ControlEntry* control = Control(row.dialogId, row.id);
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(IsKind(*control, row.kind)) << "expected " << KindName(row.kind);
        if (row.text != nullptr) {
            EXPECT_STREQ(control->text, row.text);
        }
    }
}

TEST_F(PluginResources, EveryDialogIsWellFormed) {
    const int dialogIds[] = {IDD_HISTORY,  IDD_NOW_PLAYING,          IDD_ARTWORK,        IDD_POST,
                             IDD_PRESENCE, IDD_SCROBBLER_AUTHORISED, IDD_SCROBBLER_SETUP};
    const std::set<std::string> classes = {"Button", "Edit", "Static", "ComboBox"};
    for (int dialogId : dialogIds) {
        SCOPED_TRACE(testing::Message() << "dialog " << dialogId);
        const res::DialogEntry* dialog = ModuleDialog(handle(), dialogId);
        ASSERT_NE(dialog, nullptr);
        ASSERT_GT(dialog->controlCount, 0);
        std::set<int> seen;
        for (int i = 0; i < dialog->controlCount; ++i) {
            const res::ControlEntry& control = dialog->controls[i];
            SCOPED_TRACE(testing::Message() << "control " << control.id << " at " << i);
            if (control.id != IDC_STATIC) {
                EXPECT_TRUE(seen.insert(control.id).second) << "duplicate id";
            }
            EXPECT_EQ(classes.count(control.className), 1u) << control.className;
            EXPECT_NE(control.style & KS_CHILD, 0u);
            ASSERT_NE(control.text, nullptr);
            EXPECT_GE(control.x, 0);
            EXPECT_GE(control.y, 0);
            EXPECT_GT(control.width, 0);
            EXPECT_GT(control.height, 0);
            EXPECT_LE(control.x + control.width, dialog->width);
            // A drop-down list's height is that of its open list, which may leave the page.
            if (control.className != std::string("ComboBox")) {
                EXPECT_LE(control.y + control.height, dialog->height);
            }
        }
    }
    EXPECT_EQ(ModuleDialog(handle(), 105), nullptr);
}

// The text resources as stored: gzip of UTF-16LE starting with the mark FF FE.
std::vector<uint8_t> Inflate(std::span<const uint8_t> gz) {
    std::vector<uint8_t> out(64 * 1024);
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) {
        return {};
    }
    stream.next_in = const_cast<Bytef*>(gz.data());
    stream.avail_in = static_cast<uInt>(gz.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    int result = inflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return result == Z_STREAM_END ? out : std::vector<uint8_t>{};
}

// The printf directives of a text, "%%" excluded.
std::vector<std::wstring> Directives(const std::wstring& text) {
    std::vector<std::wstring> found;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%') {
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == L'%') {
            ++i;
            continue;
        }
        size_t end = text.find_first_of(L"sdiuxXcp", i + 1);
        found.push_back(text.substr(i, end == std::wstring::npos ? 1 : end - i + 1));
        i = end == std::wstring::npos ? text.size() : end;
    }
    return found;
}

TEST_F(PluginResources, TextResourcesAreCompressedUtf16WithByteOrderMark) {
    for (int id : {IDR_ABOUT_TEXT, IDR_PRESENCE_INTRO}) {
        SCOPED_TRACE(testing::Message() << "text " << id);
        std::span<const uint8_t> blob = ModuleBlob(handle(), id);
        ASSERT_GT(blob.size(), 18u);
        EXPECT_EQ(blob[0], 0x1F);
        EXPECT_EQ(blob[1], 0x8B);
        std::vector<uint8_t> raw = Inflate(blob);
        ASSERT_GE(raw.size(), 4u);
        EXPECT_EQ(raw[0], 0xFF);
        EXPECT_EQ(raw[1], 0xFE);
        EXPECT_EQ(raw.size() % 2, 0u);
        // Little-endian: an ASCII first letter has its zero byte second.
        EXPECT_NE(raw[2], 0);
        EXPECT_EQ(raw[3], 0);
        EXPECT_FALSE(Text(id).empty());
    }
    EXPECT_TRUE(ModuleBlob(handle(), 117).empty());
}

TEST_F(PluginResources, AboutTextTakesCreditYearAndBuildDate) {
    const std::wstring about = Text(IDR_ABOUT_TEXT);
    EXPECT_NE(about.find(L"Kiln Log"), std::wstring::npos);
    EXPECT_NE(about.find(L"3.3.4"), std::wstring::npos);
    EXPECT_NE(about.find(L"\u00A9"), std::wstring::npos) << "non-ASCII survives the encoding";
    // Credit, then the closing year of the span, then the build date.
    EXPECT_EQ(Directives(about), (std::vector<std::wstring>{L"%s", L"%s", L"%s"}));
    size_t span = about.find(L"2016-%s");
    ASSERT_NE(span, std::wstring::npos);
    size_t first = about.find(L"%s");
    EXPECT_LT(first, span) << "the credit comes before the year";
    EXPECT_EQ(about.find(L"%s", span + 7), about.rfind(L"%s"));
}

TEST_F(PluginResources, PresenceIntroductionLinksHelpAndForum) {
    const std::wstring expected =
        std::wstring(
            L"This controls updating Discord's Rich Text Presence when there is a change to the "
            L"currently playing information. Up to three <a href=\"") +
        KILN_TITLE_FORMAT_HELP_URL_W +
        L"\">ATF</a> lines are supported - use a line break to split the output as required :) If "
        L"you're having issues then see <a href=\"%s\">this forum thread</a> for more "
        L"information / help.";
    const std::wstring intro = Text(IDR_PRESENCE_INTRO);
    EXPECT_EQ(intro, expected);
    EXPECT_EQ(Directives(intro), std::vector<std::wstring>{L"%s"});
    EXPECT_EQ(std::wstring(KILN_TITLE_FORMAT_HELP_URL_W).rfind(L"https://", 0), 0u);
}

// The directory must be the one inside the module's own mapping: a wrong load
// bias would still find a plausible-looking section in some other module.
TEST_F(PluginResources, DirectoryLiesInsideTheModule) {
    const res::ResourceDirectory* directory = FindModuleResources(handle());
    ASSERT_NE(directory, nullptr);
    void* entry = dlsym(handle(), "winampGetGeneralPurposePlugin");
    ASSERT_NE(entry, nullptr);
    Dl_info entryInfo{};
    Dl_info directoryInfo{};
    ASSERT_NE(dladdr(entry, &entryInfo), 0);
    ASSERT_NE(dladdr(directory, &directoryInfo), 0);
    EXPECT_EQ(directoryInfo.dli_fbase, entryInfo.dli_fbase);
    EXPECT_EQ(FindModuleResources(handle()), directory) << "the same answer the second time";
}

// Unloaded and loaded again, the module may sit elsewhere; the directory must
// follow it, whatever the loader remembers.
TEST(ModuleResources, FollowsAModuleLoadedAgain) {
    for (int round = 0; round < 2; ++round) {
        Module plugin(kPluginPath);
        ASSERT_NE(plugin.handle(), nullptr) << dlerror();
        const res::ResourceDirectory* directory = FindModuleResources(plugin.handle());
        ASSERT_NE(directory, nullptr) << "round " << round;
        Dl_info info{};
        ASSERT_NE(dladdr(directory, &info), 0);
        EXPECT_NE(std::string(info.dli_fname).find("gen_kiln.so"), std::string::npos);
        EXPECT_STREQ(ModuleString(plugin.handle(), IDS_DISCORD), L"Discord");
    }
}

// This test program carries the same resources (linux_resources.cpp is built
// into it); the program's link map has no file name.
TEST(ModuleResources, FindsTheProgramsOwnResources) {
    void* program = dlopen(nullptr, RTLD_NOW);
    ASSERT_NE(program, nullptr);
    const res::ResourceDirectory* directory = FindModuleResources(program);
    ASSERT_NE(directory, nullptr);
    Dl_info info{};
    ASSERT_NE(dladdr(directory, &info), 0);
    Dl_info mainInfo{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&FindModuleResources), &mainInfo), 0);
    EXPECT_EQ(info.dli_fbase, mainInfo.dli_fbase);
    EXPECT_STREQ(ModuleString(program, IDS_PLAY_TRACKING), L"Play Tracking");
    ASSERT_NE(ModuleDialog(program, IDD_SCROBBLER_SETUP), nullptr);
    EXPECT_EQ(ModuleDialog(program, IDD_SCROBBLER_SETUP)->controlCount, 9);
    dlclose(program);
}

TEST(ModuleResources, ModulesWithoutUsableResourcesGiveNothing) {
    const struct {
        const char* path;
        const char* what;
    } cases[] = {
        {"libz.so.1", "no resource section"},
        {KILN_SHORT_SECTION_MODULE, "section shorter than a directory"},
        {KILN_BAD_MAGIC_MODULE, "wrong magic"},
        {KILN_BAD_VERSION_MODULE, "wrong version"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Module module(c.path);
        ASSERT_NE(module.handle(), nullptr) << dlerror();
        EXPECT_EQ(FindModuleResources(module.handle()), nullptr);
        EXPECT_EQ(ModuleString(module.handle(), IDS_DISCORD), nullptr);
        EXPECT_EQ(ModuleDialog(module.handle(), IDD_PRESENCE), nullptr);
        EXPECT_TRUE(ModuleBlob(module.handle(), IDR_ABOUT_TEXT).empty());
    }
    EXPECT_EQ(FindModuleResources(nullptr), nullptr);
}

}  // namespace
}  // namespace kiln
