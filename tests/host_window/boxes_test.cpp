// Popup menus, message boxes, the folder dialog, the About box and URLs:
// what the host records and how the stand-in user answers.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "host/window_system.h"

namespace kiln::host {
namespace {

class BoxesTest : public ::testing::Test {
  protected:
    // The configuration menu as the plug-in builds it: appended items, then
    // a greyed title inserted on top.
    Menu BuildConfigMenu() {
        Menu menu = ws.CreatePopupMenu();
        EXPECT_TRUE(ws.AddMenuItem(menu, 0, nullptr, -1, 0));
        EXPECT_TRUE(ws.AddMenuItem(menu, 2, L"Goto logging options...", -1, 0));
        EXPECT_TRUE(ws.AddMenuItem(menu, 0, nullptr, -1, 0));
        EXPECT_TRUE(ws.AddMenuItem(menu, 1, L"About...", -1, 0));
        EXPECT_TRUE(
            ws.AddMenuItem(menu, 3, L"Kiln Log v3.3.4", 0, win::kMenuGreyed | win::kMenuDisabled));
        return menu;
    }
    WindowSystem ws;
};

TEST_F(BoxesTest, MenuKeepsItsOrderAndOnlySelectableItemsCanBeChosen) {
    Menu menu = BuildConfigMenu();
    EXPECT_EQ(ws.TrackPopupMenu(menu, ws.MainWindow(), 0, 0), 0);  // nobody chooses
    auto shown = ws.LastMenuShown();
    ASSERT_TRUE(shown.has_value());
    ASSERT_EQ(shown->size(), 5u);
    EXPECT_EQ((*shown)[0].text, L"Kiln Log v3.3.4");
    EXPECT_FALSE((*shown)[0].Selectable());
    EXPECT_TRUE((*shown)[1].separator);
    EXPECT_EQ((*shown)[2].id, 2);
    EXPECT_TRUE((*shown)[3].separator);
    EXPECT_EQ((*shown)[4].text, L"About...");

    struct Case {
        int choice;
        int result;
    };
    const Case cases[] = {
        {2, 2}, {1, 1}, {3, 0} /* greyed */, {0, 0} /* dismissed */, {42, 0} /* not in the menu */};
    for (const Case& c : cases) {
        ws.SetMenuChooser([&](const std::vector<MenuItem>&) { return c.choice; });
        EXPECT_EQ(ws.TrackPopupMenu(menu, ws.MainWindow(), 0, 0), c.result) << c.choice;
    }

    EXPECT_EQ(ws.LiveMenus(), 1);
    EXPECT_TRUE(ws.DestroyMenu(menu));
    EXPECT_FALSE(ws.DestroyMenu(menu));
    EXPECT_EQ(ws.LiveMenus(), 0);
    EXPECT_FALSE(ws.AddMenuItem(menu, 5, L"late", -1, 0));
    EXPECT_EQ(ws.TrackPopupMenu(menu, ws.MainWindow(), 0, 0), 0);

    Window owner = nullptr;
    int x = -1, y = -1;
    ws.MenuPosition(&owner, &x, &y);
    EXPECT_EQ(owner, ws.MainWindow());
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
}

TEST_F(BoxesTest, MessageBoxesAreRecordedAndAnsweredFromTheQueue) {
    constexpr unsigned kYesNoWarning = 0x0004 | 0x0030 | 0x0100;
    ws.QueueMessageBoxAnswer(win::kIdYes);
    EXPECT_EQ(ws.MessageBox(ws.MainWindow(), L"Are you sure?", L"Title", kYesNoWarning),
              win::kIdYes);
    // The queue is empty now: each box gets its cancelling answer.
    struct Case {
        unsigned flags;
        int answer;
    };
    const Case cases[] = {{kYesNoWarning, win::kIdNo}, {0x0003, win::kIdNo},
                          {0x0000, win::kIdOk},        {0x0001, win::kIdCancel},
                          {0x0005, win::kIdCancel},    {0x0002, win::kIdAbort}};
    for (const Case& c : cases) {
        EXPECT_EQ(ws.MessageBox(nullptr, L"text", nullptr, c.flags), c.answer) << c.flags;
    }
    auto boxes = ws.MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u + std::size(cases));
    EXPECT_EQ(boxes[0].owner, ws.MainWindow());
    EXPECT_EQ(boxes[0].text, L"Are you sure?");
    EXPECT_EQ(boxes[0].title, L"Title");
    EXPECT_EQ(boxes[0].flags, kYesNoWarning);
    EXPECT_EQ(boxes[0].answer, win::kIdYes);
    EXPECT_EQ(boxes[1].answer, win::kIdNo);
    EXPECT_EQ(boxes[2].title, L"");
}

TEST_F(BoxesTest, FolderDialogIsCancelledUnlessAResponderAnswers) {
    wchar_t folder[8] = L"/old";
    EXPECT_EQ(ws.BrowseForFolder(nullptr, L"Select a folder", folder, 8), 0);
    EXPECT_STREQ(folder, L"/old");
    ASSERT_TRUE(ws.LastFolderRequest().has_value());
    EXPECT_EQ(ws.LastFolderRequest()->title, L"Select a folder");
    EXPECT_EQ(ws.LastFolderRequest()->startFolder, L"/old");

    std::optional<std::wstring> answer = L"/music/logs";
    ws.SetFolderResponder([&](const FolderRequest&) { return answer; });
    EXPECT_EQ(ws.BrowseForFolder(nullptr, L"t", folder, 8), 1);
    EXPECT_STREQ(folder, L"/music/");  // cut to the buffer, terminated
    answer.reset();
    EXPECT_EQ(ws.BrowseForFolder(nullptr, L"t", folder, 8), 0);
    EXPECT_STREQ(folder, L"/music/");
}

TEST_F(BoxesTest, AboutBoxAndUrlsReachTheirObservers) {
    std::vector<std::wstring> seen;
    ws.SetAboutObserver([&](const AboutRecord& about) { seen.push_back(about.title); });
    ws.SetUrlObserver([&](const std::wstring& url) { seen.push_back(url); });
    ws.ShowAboutBox(ws.MainWindow(), L"Kiln Log 3.3.4\n2016-2024", L"Kiln Log");
    EXPECT_EQ(ws.OpenUrl(nullptr, L"https://www.last.fm/api/auth/?token=t", 0), 1);
    EXPECT_EQ(ws.OpenUrl(nullptr, nullptr, 0), 0);

    ASSERT_TRUE(ws.LastAboutBox().has_value());
    EXPECT_EQ(ws.LastAboutBox()->text, L"Kiln Log 3.3.4\n2016-2024");
    EXPECT_EQ(ws.LastAboutBox()->owner, ws.MainWindow());
    EXPECT_EQ(seen,
              (std::vector<std::wstring>{L"Kiln Log", L"https://www.last.fm/api/auth/?token=t"}));
    EXPECT_EQ(ws.OpenedUrls().size(), 1u);
}

}  // namespace
}  // namespace kiln::host
