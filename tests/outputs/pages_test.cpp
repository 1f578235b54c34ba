// The four output tabs as the user meets them in the host's preferences
// window: clicks, typing and combo choices, answered boxes and folders.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "host/sample_media.h"
#include "resources/resource_ids.h"
#include "support/plugin_host.h"
#include "support/post_receiver.h"

namespace kiln::test {
namespace {

namespace fs = std::filesystem;
using win::kIdNo;
using win::kIdYes;

// The plug-in, started, with the demo tracks and its "Play Tracking" tabs.
class Tabs {
  public:
    explicit Tabs(std::initializer_list<std::pair<const wchar_t*, int>> settings = {},
                  std::initializer_list<std::pair<const wchar_t*, std::wstring>> texts = {})
        : tracks_(host::WriteDemoSamples(music_.path())) {
        for (const auto& [key, value] : settings) {
            plugin_.SetInt(key, value);
        }
        for (const auto& [key, value] : texts) {
            plugin_.SetText(key, value.c_str());
        }
        plugin_.Start();
    }
    PluginHost& plugin() { return plugin_; }
    host::WindowSystem& windows() { return plugin_.windows(); }
    const fs::path& Track(int i) const { return tracks_[static_cast<size_t>(i)]; }

    // Opens the preferences at a tab (0 history ... 3 POST); closes any open one.
    void Open(int tab) {
        windows().ClosePreferences();
        for (const host::PageInfo& page : windows().Pages()) {
            if (page.pageCode == 76) {
                ASSERT_TRUE(windows().OpenPage(page.id, tab));
            }
        }
        ASSERT_NE(windows().OpenPageDialog(), nullptr);
    }
    void Close() { windows().ClosePreferences(); }
    host::ControlState Control(int id) {
        return windows().Control(windows().OpenPageDialog(), id).value_or(host::ControlState{});
    }
    std::wstring Text(int id) { return Control(id).text; }
    void Click(int id) { ASSERT_TRUE(windows().ClickButton(windows().OpenPageDialog(), id)); }
    void Type(int id, const std::wstring& text) {
        ASSERT_TRUE(windows().TypeText(windows().OpenPageDialog(), id, text));
    }
    void Select(int id, int index) {
        ASSERT_TRUE(windows().SelectCombo(windows().OpenPageDialog(), id, index));
    }
    std::optional<std::wstring> Stored(const wchar_t* key) {
        return plugin_.settings().Get(L"gen_kiln", key);
    }
    // The history file's lines, a letter each: S "<<< started", T "<<< stopped", e an entry.
    static std::string Kinds(const fs::path& file) {
        std::string kinds, bytes = ReadFileBytes(file);
        for (size_t start = 0, end; (end = bytes.find("\r\n", start)) != std::string::npos;
             start = end + 2) {
            const std::string line = bytes.substr(start, end - start);
            kinds += line.starts_with("<<< started")   ? 'S'
                     : line.starts_with("<<< stopped") ? 'T'
                                                       : 'e';
        }
        return kinds;
    }
    static fs::path OnlyFile(const fs::path& folder) {
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
        return fs::is_empty(folder) ? fs::path() : fs::directory_iterator(folder)->path();
    }

  private:
    TempFolder music_;
    PluginHost plugin_;
    std::vector<fs::path> tracks_;
};

TEST(OutputPages, SwitchingOutputsOnWritesMarkersAndLogsTheItemAtOnce) {
    PostReceiver receiver;
    Tabs tabs({{L"logging_on", 1}, {L"postmodes", 1}},
              {{L"postplay", L"http://127.0.0.1:" + std::to_wstring(receiver.Port()) + L"/play"}});
    tabs.plugin().Play(tabs.Track(3));
    const fs::path history = tabs.OnlyFile(tabs.plugin().LogsFolder());
    ASSERT_TRUE(tabs.plugin().RunUntil([&] { return Tabs::Kinds(history) == "Se"; }));
    ASSERT_TRUE(receiver.WaitForCount(1));

    tabs.Open(0);
    tabs.Click(IDC_HISTORY_ENABLE);
    tabs.Click(IDC_HISTORY_ENABLE);
    // Off and on again while playing: the item now playing is logged at once.
    EXPECT_TRUE(tabs.plugin().RunUntil([&] { return Tabs::Kinds(history) == "SeTSe"; }))
        << Tabs::Kinds(history);
    // Only the output switched on acts again: the play itself is not new.
    tabs.plugin().RunFor(300);
    EXPECT_EQ(receiver.Requests().size(), 1u) << "no second play POST";

    // Markers off: switching the now-playing file on adds nothing to the history.
    tabs.Click(IDC_HISTORY_MARKERS);
    tabs.plugin().Stop();
    tabs.Open(1);
    tabs.Select(IDC_NOW_MODE, 1);
    tabs.Select(IDC_NOW_MODE, 0);
    tabs.Open(0);
    tabs.Click(IDC_HISTORY_MARKERS);
    // Markers on, stopped: every change that leaves a now-playing output on
    // adds a start marker; the combo and the box keep each other's bit.
    tabs.Open(1);
    tabs.Select(IDC_NOW_MODE, 1);
    EXPECT_EQ(tabs.Stored(L"now_logging_on"), L"1");
    tabs.Open(2);
    tabs.Click(IDC_ART_ENABLE);
    EXPECT_EQ(tabs.Stored(L"now_logging_on"), L"3");
    tabs.Open(1);
    tabs.Select(IDC_NOW_MODE, 0);
    EXPECT_EQ(tabs.Stored(L"now_logging_on"), L"2");
    tabs.plugin().RunFor(50);
    EXPECT_EQ(Tabs::Kinds(history), "SeTSeSSS");
}

// (Reset, which removes the key, is driven under Wine.)
TEST(OutputPages, FileNamesAndFoldersTakeEffectAtTheNextPlayStart) {
    TempFolder chosen;
    Tabs tabs({{L"logging_on", 1}, {L"prepost", 0}});
    tabs.windows().SetFolderResponder(
        [&](const host::FolderRequest&) { return chosen.path().wstring(); });
    tabs.Open(0);
    const std::wstring logs = tabs.plugin().LogsFolder().wstring();
    tabs.Click(IDC_FOLDER_BROWSE);
    EXPECT_EQ(tabs.windows().LastFolderRequest().value_or(host::FolderRequest{}).startFolder, logs);
    EXPECT_EQ(tabs.Text(IDC_FOLDER), chosen.path().wstring());

    tabs.plugin().Play(tabs.Track(3));
    ASSERT_TRUE(tabs.plugin().RunUntil([&] { return !fs::is_empty(chosen.path()); }));
    const fs::path dated = tabs.OnlyFile(chosen.path());
    tabs.Type(IDC_FILE_TEMPLATE, L"$lower(%artist%).log");
    EXPECT_EQ(tabs.Text(IDC_PATH_PREVIEW), (chosen.path() / "field recorder.log").wstring());
    EXPECT_EQ(tabs.Stored(L"file"), std::nullopt) << "stored only when the tab closes";
    tabs.plugin().Play(tabs.Track(3));
    ASSERT_TRUE(tabs.plugin().RunUntil([&] { return Tabs::Kinds(dated).size() == 2; }));
    tabs.Close();
    EXPECT_EQ(tabs.Stored(L"file"), L"$lower(%artist%).log");
    tabs.plugin().Play(tabs.Track(3));
    const fs::path named = chosen.path() / "field recorder.log";
    ASSERT_TRUE(tabs.plugin().RunUntil([&] { return fs::exists(named); }));
    EXPECT_EQ(Tabs::Kinds(dated).size(), 2u);
}

// Each tab with a path says next to it why its file could not be written
// there; finding out makes nothing.
TEST(OutputPages, PathPreviewsSayWhyTheFileCannotBeWritten) {
    TempFolder root;
    const fs::path blocker = root.path() / "file.txt", readOnly = root.path() / "locked";
    std::ofstream(blocker) << "not a folder";
    fs::create_directory(readOnly);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
    // The super-user writes past permissions, not past the immutable flag
    // (where the file system keeps one); with neither, the folder takes files.
    int fd = ::open(readOnly.c_str(), O_RDONLY | O_DIRECTORY), flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    const bool locked = ::access(readOnly.c_str(), W_OK) != 0;
    const fs::path missing = root.path() / "new" / "deeper";
    std::wstring chosen;
    Tabs tabs;
    tabs.windows().SetFolderResponder([&](const host::FolderRequest&) { return chosen; });
    const struct {
        int tab, browse, name, preview;
    } withPaths[] = {{0, IDC_FOLDER_BROWSE, IDC_FILE_TEMPLATE, IDC_PATH_PREVIEW},
                     {1, IDC_FOLDER_BROWSE, IDC_FILE_TEMPLATE, IDC_PATH_PREVIEW},
                     {2, IDC_ART_BROWSE, IDC_ART_FILE_TEMPLATE, IDC_ART_PATH_PREVIEW}};
    for (const auto& t : withPaths) {
        SCOPED_TRACE(t.tab);
        tabs.Open(t.tab);
        tabs.Type(t.name, L"out.txt");
        const struct {
            fs::path folder;
            std::wstring reason;
        } cases[] = {{blocker / "logs", L" \u2014 a file stands where this folder should be"},
                     {readOnly, locked ? L" \u2014 this folder cannot be written" : L""},
                     {readOnly / "sub", locked ? L" \u2014 this folder cannot be created" : L""},
                     {missing, L""}};
        for (const auto& c : cases) {
            chosen = c.folder.wstring();
            tabs.Click(t.browse);
            EXPECT_EQ(tabs.Text(t.preview), (c.folder / "out.txt").wstring() + c.reason);
        }
        tabs.Type(t.name, std::wstring(300, L'n'));
        EXPECT_TRUE(tabs.Text(t.preview).ends_with(L" \u2014 this path is too long"));
    }
    EXPECT_FALSE(fs::exists(root.path() / "new")) << "looking made a folder";
    flags &= ~FS_IMMUTABLE_FL;
    if (fd >= 0) {
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        ::close(fd);
    }
    fs::permissions(readOnly, fs::perms::owner_all);
}

TEST(OutputPages, LinePreviewEndsOnTheWholeCurrentText) {
    Tabs tabs;
    tabs.plugin().Play(tabs.Track(3));
    const std::wstring dots(3990, L'.');
    for (int tab : {0, 1}) {
        SCOPED_TRACE(tab);
        tabs.Open(tab);
        ASSERT_TRUE(tabs.plugin().RunUntil([&] { return !tabs.Text(IDC_LINE_PREVIEW).empty(); }));
        // A long template typed quickly: the first keystroke's preview is still
        // formatting while the other nine arrive.
        tabs.plugin().host().StallService(host::StalledService::ItemFormatting);
        std::wstring typed = L"%artist%|" + dots;
        tabs.Type(IDC_LINE_TEMPLATE, typed += L'a');
        ASSERT_TRUE(tabs.plugin().host().WaitUntilStalled());
        for (wchar_t c : std::wstring(L"bcdefghij")) {
            tabs.Type(IDC_LINE_TEMPLATE, typed += c);
        }
        tabs.plugin().host().Unstall();
        const std::wstring expected = L"Field Recorder|" + dots + L"abcdefghij";
        ASSERT_TRUE(tabs.plugin().RunUntil([&] { return tabs.Text(IDC_LINE_PREVIEW) == expected; }))
            << tabs.Text(IDC_LINE_PREVIEW).size() << " characters shown";
        // Closing at once: the preview thread may still write into the window.
        tabs.Type(IDC_LINE_TEMPLATE, L"%title%");
        tabs.Close();
    }
    EXPECT_EQ(tabs.Stored(L"format"), L"%title%");
    EXPECT_EQ(tabs.Stored(L"now_format"), L"%title%");
}

// Which pair shows for each event is driven under Wine too.
TEST(OutputPages, PostTabAsksBeforeRelaxingSslAndStoresTemplatesEscaped) {
    Tabs tabs({{L"postmodes", 2}, {L"postsel", 1}});
    tabs.plugin().Play(tabs.Track(2));
    tabs.Open(3);
    tabs.Select(IDC_POST_EVENT, 3);
    EXPECT_TRUE(tabs.Control(IDC_POST_STOP_TEMPLATE).visible);
    EXPECT_EQ(tabs.Stored(L"postsel"), L"3");
    tabs.Click(IDC_POST_STOP_ENABLE);
    EXPECT_EQ(tabs.Stored(L"postmodes"), L"10");
    // The preview escapes values for a URL; a second line stays a line break.
    tabs.Type(IDC_POST_STOP_TEMPLATE, L"http://x/?a=%artist%\n&b=1");
    EXPECT_EQ(tabs.Text(IDC_POST_PREVIEW), L"http://x/?a=Slip%2FCast%20Trio\n&b=1");

    const struct {
        int answer;  // 0: no box expected
        bool checked;
        const wchar_t* stored;
    } clicks[] = {{kIdNo, false, L"10"}, {kIdYes, true, L"26"}, {0, false, L"10"}};
    for (const auto& click : clicks) {
        const size_t boxes = tabs.windows().MessageBoxes().size();
        if (click.answer) {
            tabs.windows().QueueMessageBoxAnswer(click.answer);
        }
        tabs.Click(IDC_POST_RELAX_SSL);
        EXPECT_EQ(tabs.windows().MessageBoxes().size(), boxes + (click.answer ? 1 : 0));
        EXPECT_EQ(tabs.Control(IDC_POST_RELAX_SSL).checked != 0, click.checked);
        EXPECT_EQ(tabs.Stored(L"postmodes"), click.stored);
    }
    EXPECT_EQ(tabs.windows().MessageBoxes().back().flags, 0x134u) << "yes/no, warning, no first";

    // Closing stores the changed template only, escaped; a restart reads it back.
    tabs.Close();
    EXPECT_EQ(tabs.Stored(L"postplay"), std::nullopt);
    EXPECT_EQ(tabs.Stored(L"poststop").value_or(L"\n").find(L'\n'), std::wstring::npos);
    tabs.Open(3);
    EXPECT_EQ(tabs.Text(IDC_POST_STOP_TEMPLATE), L"http://x/?a=%artist%\n&b=1");
}

TEST(OutputPages, ArtworkSizesAreStoredOnlyOnceTheTabIsReady) {
    Tabs tabs({{L"art_limit_upscale", 2}, {L"art_w_limit", 300}});
    tabs.Open(2);
    // Filling the fields while opening writes nothing back.
    EXPECT_EQ(tabs.Text(IDC_ART_WIDTH) + L"x" + tabs.Text(IDC_ART_HEIGHT), L"300x600");
    EXPECT_EQ(tabs.Stored(L"art_h_limit"), std::nullopt);
    // The value 2 shows as the first choice, with the sizes disabled.
    EXPECT_EQ(tabs.Control(IDC_ART_SIZE_MODE).selection, 0);
    EXPECT_FALSE(tabs.Control(IDC_ART_WIDTH).enabled);
    const struct {
        int choice;
        const wchar_t* stored;
    } choices[] = {{2, L"3"}, {1, L"1"}};
    for (const auto& c : choices) {
        tabs.Select(IDC_ART_SIZE_MODE, c.choice);
        EXPECT_EQ(tabs.Stored(L"art_limit_upscale"), c.stored);
        EXPECT_TRUE(tabs.Control(IDC_ART_HEIGHT).enabled);
    }
    const struct {
        const wchar_t* typed;
        const wchar_t* stored;
    } edits[] = {{L"1234567", L"12345"}, {L"12x", L"12345"}, {L"", L"12345"}, {L"-40", L"-40"}};
    for (const auto& e : edits) {
        tabs.Type(IDC_ART_HEIGHT, e.typed);
        EXPECT_EQ(tabs.Stored(L"art_h_limit"), e.stored) << e.typed;
    }
    tabs.Select(IDC_ART_SIZE_MODE, 0);
    EXPECT_FALSE(tabs.Control(IDC_ART_HEIGHT).enabled);
    // Closing makes the fields unready: the next opening's fill stores nothing.
    tabs.Close();
    tabs.plugin().settings().WriteText(L"gen_kiln", L"art_h_limit", nullptr);
    tabs.Open(2);
    EXPECT_EQ(tabs.Stored(L"art_h_limit"), std::nullopt);
}

// The Rules page stores only rules it can judge: a refused line says why next
// to the text and leaves the stored rules as they were. While tracking is
// paused, the pages say so, with a way back; an open page follows a change of
// the state made elsewhere at once.
TEST(RulesPage, RefusedRulesAreNeverStoredAndPausedTrackingShowsOnThePages) {
    Tabs tabs({{L"private_mode", 1}});
    tabs.Open(0);
    EXPECT_TRUE(tabs.Control(IDC_PAUSED_NOTICE).visible);
    const auto open = [&](const std::wstring& name) {
        for (const host::PageInfo& page : tabs.windows().Pages()) {
            if (page.name == name) {
                ASSERT_TRUE(tabs.windows().OpenPage(page.id));
            }
        }
    };
    open(L"Rules");
    ASSERT_EQ(tabs.windows().DialogTemplateId(tabs.windows().OpenPageDialog()), IDD_RULES);
    EXPECT_EQ(tabs.Text(IDC_PAUSED_NOTICE),
              L"Tracking is paused: nothing is written, sent or scrobbled.");
    EXPECT_TRUE(tabs.Control(IDC_PAUSED_RESUME).visible);

    tabs.Type(IDC_RULES_TEXT,
              L"Artist IS the band -> last.fm, discord\r\n\r\npath matches \\.ogg$");
    EXPECT_EQ(tabs.Text(IDC_RULES_ERROR), L"");
    EXPECT_EQ(tabs.Stored(L"rule_count"), L"2");
    EXPECT_EQ(tabs.Stored(L"rule1_value"), L"the band");
    EXPECT_EQ(tabs.Stored(L"rule1_outputs"), L"24");
    EXPECT_EQ(tabs.Stored(L"rule2_test"), L"matches");
    const struct {
        const wchar_t* typed;
        const wchar_t* refusal;  // the start of the text shown
    } refused[] = {
        {L"artist is x\ntitle matches (unclosed", L"Line 2: invalid regular expression"},
        {L"colour is red", L"Line 1: a rule starts with"},
        {L"artist sounds like x", L"Line 1: the field is followed by"},
        {L"artist is x -> radio", L"Line 1: unknown output \"radio\""},
        {L"title starts with", L"Line 1: the field is followed by"},
        {L"album is -> history", L"Line 1: no value"},
    };
    for (const auto& r : refused) {
        tabs.Type(IDC_RULES_TEXT, r.typed);
        EXPECT_TRUE(tabs.Text(IDC_RULES_ERROR).starts_with(r.refusal))
            << tabs.Text(IDC_RULES_ERROR);
        EXPECT_EQ(tabs.Stored(L"rule_count"), L"2") << r.typed;
        EXPECT_EQ(tabs.Stored(L"rule1_value"), L"the band");
    }
    // The test line judges with the rules in force.
    tabs.Type(IDC_RULES_TEST_ARTIST, L"The Band");
    EXPECT_EQ(
        tabs.Text(IDC_RULES_VERDICT),
        L"Reaches: history, now playing, POST. Kept from Last.fm (rule 1), Discord (rule 1).");
    tabs.Type(IDC_RULES_TEST_PATH, L"http://radio.example/live");
    tabs.Click(IDC_RULES_STREAM_FIRST + 2);
    EXPECT_EQ(tabs.Stored(L"rule_stream_outputs"), L"4");
    EXPECT_EQ(tabs.Text(IDC_RULES_VERDICT),
              L"Reaches: history, now playing. Kept from POST (a stream), Last.fm (rule 1), "
              L"Discord (rule 1).");

    tabs.Click(IDC_PAUSED_RESUME);
    EXPECT_EQ(tabs.Stored(L"private_mode"), L"0");
    EXPECT_FALSE(tabs.Control(IDC_PAUSED_NOTICE).visible);
    tabs.Open(0);
    EXPECT_FALSE(tabs.Control(IDC_PAUSED_NOTICE).visible);
    // "Pause tracking" from the plug-in's menu while the tab is open.
    tabs.windows().SetMenuChooser([](const std::vector<host::MenuItem>&) { return 3; });
    tabs.plugin().host().ConfigPlugin();
    EXPECT_TRUE(tabs.Control(IDC_PAUSED_NOTICE).visible);
    for (const wchar_t* name : {L"Discord", L"Scrobble Queue", L"Last.fm Scrobbler"}) {
        open(name);
        EXPECT_TRUE(tabs.Control(IDC_PAUSED_NOTICE).visible) << name;
    }
    tabs.Click(IDC_PAUSED_RESUME);
    EXPECT_EQ(tabs.Stored(L"private_mode"), L"0");
    EXPECT_FALSE(tabs.Control(IDC_PAUSED_RESUME).visible);
}

}  // namespace
}  // namespace kiln::test
