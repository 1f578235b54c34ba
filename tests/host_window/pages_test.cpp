// Preference pages: registration, opening at the remembered tab, switching
// tabs, replacing and refreshing a page's dialog, removal.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "host/window_system.h"
#include "recorder.h"

namespace kiln::host {
namespace {

using namespace wintest;

constexpr int kButton = 1058;

const res::ControlEntry kPageControls[] = {
    {kButton, "Button", L"Go", KS_PUSHBUTTON, 6, 6, 60, 20},
};
// One small template per dialog id the tests open.
const std::map<int, res::DialogEntry> kTemplates = {
    {101, {101, 260, 206, kPageControls, 1}}, {102, {102, 260, 206, kPageControls, 1}},
    {103, {103, 260, 206, kPageControls, 1}}, {104, {104, 260, 206, kPageControls, 1}},
    {110, {110, 273, 230, kPageControls, 1}}, {111, {111, 273, 230, kPageControls, 1}},
};
const res::DialogEntry* FindTemplate(int id) {
    auto it = kTemplates.find(id);
    return it == kTemplates.end() ? nullptr : &it->second;
}

WindowSystem* g_ws = nullptr;
Instance const kInstance = reinterpret_cast<Instance>(0xBEEF0);

// The plug-in side of a tabbed page: a create routine and a position routine
// that remembers the last tab.
struct PositionCall {
    Window window;
    int item;
    int operation;
    intptr_t value;
};
std::vector<PositionCall> g_positionCalls;
int64_t g_storedTab = 0;

intptr_t PositionProc(Window window, int item, int operation, intptr_t value) {
    g_positionCalls.push_back({window, item, operation, value});
    if (item == -1 && operation == 0) {
        *reinterpret_cast<int64_t*>(value) = g_storedTab;
    } else if (item == -1 && operation == 1) {
        g_storedTab = value;
    }
    return 0;
}

std::vector<int> g_createdIds;
Window CreateProc(int dialogId, Window parent, DialogProc proc, intptr_t param) {
    g_createdIds.push_back(dialogId);
    return g_ws->CreateDialogFromTemplate(FindTemplate(dialogId), parent, proc, param);
}

// A page routine that rebuilds its page from its own button, as the
// scrobbler page does after an authorisation.
intptr_t g_pageId = 0;
intptr_t RebuildingProc(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    CallLog::Get().Add(window, message, wParam, lParam);
    if (message == win::kCommand && (wParam & 0xFFFF) == kButton) {
        g_ws->ReplacePageDialog(g_pageId, RebuildingProc, 110);
        g_ws->RefreshPage(g_pageId);
    }
    return 0;
}
// One that asks for a refresh while it is being made.
intptr_t RefreshOnInitProc(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    CallLog::Get().Add(window, message, wParam, lParam);
    if (message == win::kInitDialog) {
        g_ws->RefreshPage(g_pageId);
    }
    return 0;
}

class PagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_ws = &ws;
        g_positionCalls.clear();
        g_createdIds.clear();
        g_storedTab = 0;
        CallLog::Get().Clear();
        ws.SetTemplateFinder([this](Instance instance, int id) {
            finderAsked.push_back({instance, id});
            return FindTemplate(id);
        });
    }
    intptr_t AddTabbedPage() {
        static const PrefsTab tabs[] = {{101, LoggingDialogProc},
                                        {102, LoggingDialogProc},
                                        {103, LoggingDialogProc},
                                        {104, LoggingDialogProc}};
        intptr_t id = ws.AddPage(kInstance, 257, L"Play Tracking", tabs, 4, -1, PositionProc,
                                 CreateProc, 1, nullptr, 7, 76);
        const wchar_t* names[] = {L"Playback History", L"Now Playing", L"Current Artwork",
                                  L"HTTP(S) POST"};
        for (int i = 0; i < 4; ++i) {
            ws.SetTabName(id, i, names[i]);
        }
        ws.FinaliseTabs(id, 1);
        return id;
    }
    intptr_t AddSinglePage(DialogProc proc, int dialogId, int pageCode) {
        const PrefsTab tab{dialogId, proc};
        return ws.AddPage(kInstance, dialogId, L"Last.fm Scrobbler", &tab, 1, -1, PositionProc,
                          nullptr, 1, nullptr, 7, pageCode);
    }

    WindowSystem ws;
    std::vector<std::pair<Instance, int>> finderAsked;
};

TEST_F(PagesTest, RegistrationIsKeptAsGiven) {
    intptr_t tabbed = AddTabbedPage();
    intptr_t single = AddSinglePage(LoggingDialogProc, 111, 79);
    EXPECT_NE(tabbed, 0);
    EXPECT_NE(single, tabbed);

    auto pages = ws.Pages();
    ASSERT_EQ(pages.size(), 2u);
    const PageInfo& page = pages[0];
    EXPECT_EQ(page.id, tabbed);
    EXPECT_EQ(page.name, L"Play Tracking");
    EXPECT_EQ(page.flags, 257);
    EXPECT_EQ(page.pageCode, 76);
    EXPECT_EQ(page.group, 7);
    EXPECT_EQ(page.parent, -1);
    EXPECT_TRUE(page.tabsFinalised);
    EXPECT_EQ(page.finaliseFlags, 1);
    ASSERT_TRUE(page.Tabbed());
    std::vector<int> ids;
    for (const PrefsTab& tab : page.tabs) {
        ids.push_back(tab.dialogId);
    }
    EXPECT_EQ(ids, (std::vector<int>{101, 102, 103, 104}));
    EXPECT_EQ(page.tabNames, (std::vector<std::wstring>{L"Playback History", L"Now Playing",
                                                        L"Current Artwork", L"HTTP(S) POST"}));
    EXPECT_FALSE(pages[1].Tabbed());
    EXPECT_EQ(pages[1].tabs[0].dialogId, 111);
    EXPECT_EQ(pages[1].pageCode, 79);

    ws.SetTabName(tabbed, 4, L"out of range");  // ignored
    EXPECT_EQ(ws.Page(tabbed)->tabNames.size(), 4u);
    ws.RemovePage(single);
    EXPECT_FALSE(ws.Page(single).has_value());
    EXPECT_EQ(ws.Pages().size(), 1u);
}

TEST_F(PagesTest, TabbedPageOpensWhereThePositionRoutineSaysAndHearsOfSwitches) {
    intptr_t id = AddTabbedPage();
    g_storedTab = 2;
    ASSERT_TRUE(ws.OpenPage(id, -1));

    ASSERT_EQ(g_positionCalls.size(), 1u);
    EXPECT_EQ(g_positionCalls[0].item, -1);
    EXPECT_EQ(g_positionCalls[0].operation, 0);
    EXPECT_EQ(g_positionCalls[0].window, ws.PreferencesWindow());
    EXPECT_EQ(g_createdIds, std::vector<int>{103});
    EXPECT_EQ(ws.OpenTab(), 2);
    Window first = ws.OpenPageDialog();
    EXPECT_EQ(ws.DialogTemplateId(first), 103);
    EXPECT_EQ(ws.DialogParent(first), ws.PreferencesWindow());
    EXPECT_TRUE(finderAsked.empty());  // the page's own create routine made it

    ASSERT_TRUE(ws.SwitchTab(0));
    ASSERT_EQ(g_positionCalls.size(), 2u);
    EXPECT_EQ(g_positionCalls[1].operation, 1);
    EXPECT_EQ(g_positionCalls[1].value, 0);
    EXPECT_FALSE(ws.IsWindow(first));
    EXPECT_EQ(ws.DialogTemplateId(ws.OpenPageDialog()), 101);
    EXPECT_FALSE(ws.SwitchTab(4));

    ws.ClosePreferences();
    EXPECT_EQ(ws.OpenPageId(), 0);
    EXPECT_EQ(ws.PreferencesWindow(), nullptr);
    EXPECT_TRUE(ws.Dialogs().empty());
    // Each tab dialog was made once and destroyed once.
    EXPECT_EQ(CallLog::Get().Messages(win::kInitDialog).size(), 2u);
    EXPECT_EQ(CallLog::Get().Messages(win::kDestroy).size(), 2u);

    // Reopened, it comes back on the tab last switched to; a stored tab out of
    // range falls back to the first.
    ASSERT_TRUE(ws.OpenPage(id, -1));
    EXPECT_EQ(ws.OpenTab(), 0);
    ws.ClosePreferences();
    g_storedTab = 9;
    ASSERT_TRUE(ws.OpenPage(id, -1));
    EXPECT_EQ(ws.OpenTab(), 0);
    ASSERT_TRUE(ws.OpenPage(id, 3));  // an explicit tab is a switch
    EXPECT_EQ(ws.OpenTab(), 3);
}

TEST_F(PagesTest, SinglePagesComeFromTheTemplateFinder) {
    intptr_t id = AddSinglePage(LoggingDialogProc, 111, 79);
    ASSERT_TRUE(ws.OpenPage(id));
    ASSERT_EQ(finderAsked.size(), 1u);
    EXPECT_EQ(finderAsked[0].first, kInstance);
    EXPECT_EQ(finderAsked[0].second, 111);
    EXPECT_TRUE(g_positionCalls.empty());
    EXPECT_EQ(ws.DialogTemplateId(ws.OpenPageDialog()), 111);
    EXPECT_FALSE(ws.SwitchTab(1));

    // Opening another page closes this one's dialog first.
    intptr_t tabbed = AddTabbedPage();
    Window single = ws.OpenPageDialog();
    ASSERT_TRUE(ws.OpenPage(tabbed));
    EXPECT_FALSE(ws.IsWindow(single));
    EXPECT_EQ(ws.OpenPageId(), tabbed);

    // A page without a template opens nothing.
    intptr_t missing = AddSinglePage(LoggingDialogProc, 999, 80);
    EXPECT_FALSE(ws.OpenPage(missing));
    EXPECT_EQ(ws.OpenPageDialog(), nullptr);
}

TEST_F(PagesTest, ReplacedDialogTakesEffectOnRefreshEvenFromThePageItself) {
    g_pageId = AddSinglePage(RebuildingProc, 111, 79);
    ASSERT_TRUE(ws.OpenPage(g_pageId));
    Window before = ws.OpenPageDialog();
    CallLog::Get().Clear();

    ASSERT_TRUE(ws.ClickButton(before, kButton));
    Window after = ws.OpenPageDialog();
    EXPECT_FALSE(ws.IsWindow(before));
    ASSERT_TRUE(ws.IsWindow(after));
    EXPECT_EQ(ws.DialogTemplateId(after), 110);
    EXPECT_EQ(ws.Page(g_pageId)->tabs[0].dialogId, 110);
    auto calls = CallLog::Get().Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].message, win::kCommand);
    EXPECT_EQ(calls[1].message, win::kDestroy);
    EXPECT_EQ(calls[1].window, before);
    EXPECT_EQ(calls[2].message, win::kInitDialog);
    EXPECT_EQ(calls[2].window, after);

    // A page that is not open is not made by a refresh.
    ws.ClosePreferences();
    CallLog::Get().Clear();
    ws.RefreshPage(g_pageId);
    EXPECT_EQ(CallLog::Get().Size(), 0u);
}

TEST_F(PagesTest, RefreshWhileBeingMadeIsIgnored) {
    g_pageId = AddSinglePage(RefreshOnInitProc, 111, 79);
    ASSERT_TRUE(ws.OpenPage(g_pageId));
    EXPECT_EQ(CallLog::Get().Messages(win::kInitDialog).size(), 1u);
    EXPECT_TRUE(ws.IsWindow(ws.OpenPageDialog()));
}

TEST_F(PagesTest, RemovingAnOpenPageDestroysItsDialog) {
    intptr_t id = AddTabbedPage();
    ASSERT_TRUE(ws.OpenPage(id, 1));
    Window dialog = ws.OpenPageDialog();
    CallLog::Get().Clear();
    ws.RemovePage(id);
    ASSERT_EQ(CallLog::Get().Messages(win::kDestroy).size(), 1u);
    EXPECT_EQ(CallLog::Get().Messages(win::kDestroy)[0].window, dialog);
    EXPECT_FALSE(ws.IsWindow(dialog));
    EXPECT_EQ(ws.OpenPageId(), 0);
    EXPECT_FALSE(ws.OpenPage(id));
}

}  // namespace
}  // namespace kiln::host
