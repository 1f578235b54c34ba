// The substitute host's window system where the plug-in's pages cannot show a
// fault: threads of the main loop, what the user may do with controls,
// handles that are gone and the folder box.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/window_system.h"
#include "resources/styles.h"

namespace kiln::host {
namespace {

constexpr unsigned kIpc = 1024;

struct Call {
    Window window;
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
    std::thread::id thread;
};

// Routines are plain function pointers, so they log into one global place.
std::mutex g_mutex;
std::vector<Call> g_calls;

void Log(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard lock(g_mutex);
    g_calls.push_back({window, message, wParam, lParam, std::this_thread::get_id()});
}
// Every call, or those of one message.
std::vector<Call> Calls(unsigned message = 0) {
    std::lock_guard lock(g_mutex);
    std::vector<Call> found;
    std::copy_if(g_calls.begin(), g_calls.end(), std::back_inserter(found),
                 [&](const Call& call) { return message == 0 || call.message == message; });
    return found;
}
void ClearCalls() {
    std::lock_guard lock(g_mutex);
    g_calls.clear();
}
intptr_t LoggingProc(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    Log(window, message, wParam, lParam);
    return 0;
}

enum TestControl {
    kGroup = -1,
    kCheck = 1021,
    kLine = 1003,
    kMultiLine = 1005,
    kReadOnly = 1006,
    kCombo = 1035,
    kPush = 1008,
    kHiddenCheck = 1024,
    kLink = 1055,
    kDisabledEdit = 1052,
};

// Every kind of control the plug-in's pages use.
const res::ControlEntry kTestControls[] = {
    {kGroup, "Button", L"Group", KS_GROUPBOX, 0, 0, 200, 200},
    {kCheck, "Button", L"Enable", KS_CHECKBOX, 6, 6, 100, 10},
    {kLine, "Edit", L"start", KS_EDIT, 6, 20, 100, 13},
    {kMultiLine, "Edit", L"", KS_EDIT_MULTILINE, 6, 40, 100, 40},
    {kReadOnly, "Edit", L"", KS_EDIT_READONLY, 6, 110, 100, 13},
    {kCombo, "ComboBox", L"", KS_COMBO_LIST, 6, 130, 100, 60},
    {kPush, "Button", L"Reset", KS_PUSHBUTTON, 120, 20, 50, 13},
    {kHiddenCheck, "Button", L"Hidden", KS_HIDDEN(KS_CHECKBOX), 120, 40, 50, 10},
    {kLink, "Static", L"See <a href=\"%s\">the help</a> for %%date%% and 100%%", KS_LABEL, 6, 150,
     180, 20},
    {kDisabledEdit, "Edit", L"", KS_EDIT | KS_DISABLED, 6, 175, 100, 13},
};
const res::DialogEntry kTestDialog{501, 200, 200, kTestControls,
                                   static_cast<int>(std::size(kTestControls))};

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override { ClearCalls(); }
    WindowSystem ws;
};

// -- dialogs and their controls

class DialogTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        dialog = ws.CreateDialogFromTemplate(&kTestDialog, ws.MainWindow(), LoggingProc, 77);
        ASSERT_NE(dialog, nullptr);
    }
    Window Handle(int id) { return ws.Control(dialog, id)->handle; }
    std::wstring Text(int id) {
        wchar_t buffer[256];
        ws.GetItemText(dialog, id, buffer, 256);
        return buffer;
    }
    Window dialog = nullptr;
};

TEST_F(DialogTest, SettingTextNotifiesOneLineEditsAtOnceOrFromOtherThreadsOnTheMainThread) {
    const std::pair<int, bool> cases[] = {
        {kLine, true}, {kReadOnly, true}, {kMultiLine, false}, {kLink, false}, {kCheck, false}};
    for (auto [control, notified] : cases) {
        ClearCalls();
        ASSERT_TRUE(ws.SetItemText(dialog, control, L"set by program"));
        // Delivered within the call, as Win32's WM_SETTEXT does.
        ASSERT_EQ(Calls().size(), notified ? 1u : 0u) << control;
        if (notified) {
            EXPECT_EQ(Calls()[0].wParam, win::CommandParam(control, win::kEditChange));
        }
        EXPECT_EQ(Text(control), L"set by program");
    }

    ClearCalls();
    std::thread worker([&] {
        EXPECT_TRUE(ws.SetItemText(dialog, kLine, L"from worker"));
        EXPECT_EQ(Text(kLine), L"from worker");
        // A message sent from here is posted to the main thread.
        EXPECT_EQ(ws.SendMessage(dialog, kIpc, 0, 0), 0);
    });
    worker.join();
    EXPECT_TRUE(Calls().empty());
    ws.RunPending();
    auto calls = Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].wParam, win::CommandParam(kLine, win::kEditChange));
    EXPECT_EQ(calls[1].message, kIpc);
    for (const Call& call : calls) {
        EXPECT_EQ(call.thread, std::this_thread::get_id());
    }
}

TEST_F(DialogTest, UserCannotUseHiddenDisabledReadOnlyOrWrongControls) {
    ws.EnableItem(dialog, kPush, false);
    const std::function<bool()> refused[] = {
        [&] { return ws.ClickButton(dialog, kHiddenCheck); },
        [&] { return ws.ClickButton(dialog, kPush); },
        [&] { return ws.ClickButton(dialog, kGroup); },
        [&] { return ws.TypeText(dialog, kReadOnly, L"x"); },
        [&] { return ws.TypeText(dialog, kDisabledEdit, L"x"); },
        [&] { return ws.TypeText(dialog, kCheck, L"x"); },
        [&] { return ws.SelectCombo(dialog, kCombo, 0); },  // empty
        [&] { return ws.SelectCombo(dialog, kLine, 0); },
    };
    ClearCalls();
    for (size_t i = 0; i < std::size(refused); ++i) {
        EXPECT_FALSE(refused[i]()) << i;
    }
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(ws.IsItemChecked(dialog, kHiddenCheck), 0);
    ws.ShowItem(dialog, kHiddenCheck, true);
    EXPECT_TRUE(ws.ClickButton(dialog, kHiddenCheck));
    EXPECT_EQ(ws.IsItemChecked(dialog, kHiddenCheck), 1);
    ws.ClickButton(dialog, kHiddenCheck);
    EXPECT_EQ(ws.IsItemChecked(dialog, kHiddenCheck), 0);
}

TEST_F(DialogTest, TextCopiesAreBoundedAndTerminated) {
    ws.SetItemText(dialog, kMultiLine, L"abcdefgh");
    wchar_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(ws.GetItemText(dialog, kMultiLine, buffer, 4), 3);
    EXPECT_STREQ(buffer, L"abc");
    EXPECT_EQ(buffer[4], L'#');
    EXPECT_EQ(ws.GetItemText(dialog, kMultiLine, buffer, 0), 0);
    EXPECT_EQ(buffer[0], L'a');
    EXPECT_EQ(ws.GetItemText(dialog, 9999, buffer, 8), 0);
    EXPECT_STREQ(buffer, L"");
}

TEST_F(DialogTest, DestroyedHandlesNeverComeBackAndTheirQueuedMessagesAreDropped) {
    ws.PostMessage(dialog, kIpc, 1, 2);
    std::thread worker([&] { ws.SetItemText(dialog, kLine, L"x"); });  // posts EN_CHANGE
    worker.join();
    std::vector<Window> gone{dialog, Handle(kLine)};
    ws.DestroyDialog(dialog);
    dialog = ws.CreateDialogFromTemplate(&kTestDialog, nullptr, nullptr, 0);
    gone.insert(gone.end(), {dialog, Handle(kLine)});
    ws.DestroyDialog(dialog);
    EXPECT_EQ(std::set<Window>(gone.begin(), gone.end()).size(), 4u);
    for (Window window : gone) {
        EXPECT_FALSE(ws.IsWindow(window));
        EXPECT_FALSE(ws.PostMessage(window, kIpc, 0, 0));
    }
    ClearCalls();
    ws.RunPending();
    EXPECT_TRUE(Calls().empty());
}

TEST_F(DialogTest, LinkTextFillsTheAddressLikePrintfAndLinksOpen) {
    ASSERT_TRUE(ws.SetLinkText(dialog, kLink, L"https://orbit.example/help/atf/"));
    EXPECT_EQ(Text(kLink),
              L"See <a href=\"https://orbit.example/help/atf/\">the help</a> for %date% and 100%");
    EXPECT_TRUE(ws.ClickLink(dialog, kLink, 0));
    EXPECT_FALSE(ws.ClickLink(dialog, kLink, 1));
    EXPECT_EQ(ws.OpenedUrls(), std::vector<std::wstring>{L"https://orbit.example/help/atf/"});
}

// -- boxes

TEST_F(WindowTest, FolderAnswersFitTheBufferAndACancelLeavesItAlone) {
    wchar_t folder[8] = L"/old";
    EXPECT_EQ(ws.BrowseForFolder(nullptr, L"Select a folder", folder, 8), 0);
    EXPECT_STREQ(folder, L"/old");
    ws.SetFolderResponder([](const FolderRequest&) { return L"/music/logs"; });
    EXPECT_EQ(ws.BrowseForFolder(nullptr, L"t", folder, 8), 1);
    EXPECT_STREQ(folder, L"/music/");
}

}  // namespace
}  // namespace kiln::host
