// Dialogs made from templates: the messages their routines get, the controls
// and what the user can do with them.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "host/window_system.h"
#include "recorder.h"

namespace kiln::host {
namespace {

using namespace std::chrono_literals;
using namespace wintest;

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CallLog::Get().Clear();
        dialog = ws.CreateDialogFromTemplate(&kTestDialog, ws.MainWindow(), LoggingDialogProc, 77);
        ASSERT_NE(dialog, nullptr);
    }
    Window Handle(int id) {
        auto control = ws.Control(dialog, id);
        return control ? control->handle : nullptr;
    }
    std::wstring Text(int id) {
        wchar_t buffer[256];
        ws.GetItemText(dialog, id, buffer, 256);
        return buffer;
    }
    std::vector<Call> Commands() { return CallLog::Get().Messages(win::kCommand); }

    WindowSystem ws;
    Window dialog = nullptr;
};

TEST_F(DialogTest, RoutineGetsInitCommandsAndDestroyInOrder) {
    const Window check = Handle(kCheck);
    ASSERT_TRUE(ws.ClickButton(dialog, kPush));
    ASSERT_TRUE(ws.DestroyDialog(dialog));

    auto calls = CallLog::Get().Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].message, win::kInitDialog);
    // Focus goes to the first control that takes it: the check box, not the group box.
    EXPECT_EQ(calls[0].wParam, reinterpret_cast<uintptr_t>(check));
    EXPECT_EQ(calls[0].lParam, 77);
    EXPECT_EQ(calls[1].message, win::kCommand);
    EXPECT_EQ(calls[1].wParam, win::CommandParam(kPush, win::kButtonClicked));
    EXPECT_EQ(calls[2].message, win::kDestroy);
    for (const Call& call : calls) {
        EXPECT_EQ(call.window, dialog);
    }
}

TEST_F(DialogTest, CommandsCarryControlNotificationAndHandle) {
    ws.SendItemMessage(dialog, kCombo, win::kComboAddString, 0, reinterpret_cast<intptr_t>(L"one"));
    ws.SendItemMessage(dialog, kCombo, win::kComboAddString, 0, reinterpret_cast<intptr_t>(L"two"));
    struct Action {
        const char* name;
        std::function<bool()> act;
        int control;
        unsigned notification;
    };
    const Action actions[] = {
        {"click check box", [&] { return ws.ClickButton(dialog, kCheck); }, kCheck,
         win::kButtonClicked},
        {"click push button", [&] { return ws.ClickButton(dialog, kPush); }, kPush,
         win::kButtonClicked},
        {"type", [&] { return ws.TypeText(dialog, kLine, L"abc"); }, kLine, win::kEditChange},
        {"type multi-line", [&] { return ws.TypeText(dialog, kMultiLine, L"a\r\nb"); }, kMultiLine,
         win::kEditChange},
        {"select", [&] { return ws.SelectCombo(dialog, kCombo, 1); }, kCombo, win::kComboSelChange},
    };
    for (const Action& action : actions) {
        CallLog::Get().Clear();
        ASSERT_TRUE(action.act()) << action.name;
        auto commands = Commands();
        ASSERT_EQ(commands.size(), 1u) << action.name;
        EXPECT_EQ(ControlId(commands[0]), action.control) << action.name;
        EXPECT_EQ(Notification(commands[0]), action.notification) << action.name;
        EXPECT_EQ(commands[0].lParam, reinterpret_cast<intptr_t>(Handle(action.control)))
            << action.name;
    }
}

TEST_F(DialogTest, CheckBoxesToggleOnClickButNotWhenSetByProgram) {
    EXPECT_EQ(ws.IsItemChecked(dialog, kCheck), 0);
    ws.ClickButton(dialog, kCheck);
    EXPECT_EQ(ws.IsItemChecked(dialog, kCheck), 1);
    ws.ClickButton(dialog, kCheck);
    EXPECT_EQ(ws.IsItemChecked(dialog, kCheck), 0);

    CallLog::Get().Clear();
    EXPECT_TRUE(ws.CheckItem(dialog, kCheck, 1));
    EXPECT_EQ(ws.IsItemChecked(dialog, kCheck), 1);
    EXPECT_EQ(ws.SendItemMessage(dialog, kCheck, win::kButtonGetCheck, 0, 0), 1);
    EXPECT_TRUE(Commands().empty());
    EXPECT_FALSE(ws.CheckItem(dialog, kLine, 1));  // not a button

    // An automatic radio button takes the check from its group.
    ws.ClickButton(dialog, kRadioA);
    ws.ClickButton(dialog, kRadioB);
    EXPECT_EQ(ws.IsItemChecked(dialog, kRadioA), 0);
    EXPECT_EQ(ws.IsItemChecked(dialog, kRadioB), 1);
}

TEST_F(DialogTest, SettingTextNotifiesOnlyOneLineEdits) {
    struct Case {
        int control;
        size_t notifications;
    };
    const Case cases[] = {
        {kLine, 1}, {kReadOnly, 1}, {kNumber, 1}, {kMultiLine, 0}, {kLink, 0}, {kCheck, 0},
    };
    for (const Case& c : cases) {
        CallLog::Get().Clear();
        ASSERT_TRUE(ws.SetItemText(dialog, c.control, L"set by program")) << c.control;
        // Delivered within the call, as Win32's WM_SETTEXT does.
        auto commands = Commands();
        ASSERT_EQ(commands.size(), c.notifications) << c.control;
        if (c.notifications) {
            EXPECT_EQ(commands[0].wParam, win::CommandParam(c.control, win::kEditChange));
        }
        EXPECT_EQ(Text(c.control), L"set by program");
    }
}

TEST_F(DialogTest, TextSetOnAnotherThreadNotifiesOnTheMainThread) {
    CallLog::Get().Clear();
    std::thread worker([&] {
        EXPECT_TRUE(ws.SetItemText(dialog, kLine, L"from worker"));
        wchar_t buffer[32];
        EXPECT_EQ(ws.GetItemText(dialog, kLine, buffer, 32), 11);
        EXPECT_TRUE(ws.IsWindow(dialog));
    });
    worker.join();
    EXPECT_TRUE(Commands().empty());  // not run on the worker
    ASSERT_TRUE(ws.RunUntil([&] { return !Commands().empty(); }, 10s));
    auto command = Commands()[0];
    EXPECT_EQ(command.thread, std::this_thread::get_id());
    EXPECT_EQ(command.wParam, win::CommandParam(kLine, win::kEditChange));
}

TEST_F(DialogTest, LimitsBindTypingButNotTheProgram) {
    ws.SendItemMessage(dialog, kLine, win::kEditLimitText, 5, 0);
    EXPECT_EQ(ws.SendItemMessage(dialog, kLine, win::kEditGetLimitText, 0, 0), 5);
    EXPECT_TRUE(ws.TypeText(dialog, kLine, L"abcdefgh"));
    EXPECT_EQ(Text(kLine), L"abcde");
    ws.SetItemText(dialog, kLine, L"abcdefgh");
    EXPECT_EQ(Text(kLine), L"abcdefgh");
    EXPECT_EQ(ws.SendItemMessage(dialog, kLine, win::kGetTextLength, 0, 0), 8);

    // Limit 0 lifts the limit; an edit nobody limited takes 32767.
    EXPECT_EQ(ws.SendItemMessage(dialog, kMultiLine, win::kEditGetLimitText, 0, 0), 32767);
    ws.SendItemMessage(dialog, kMultiLine, win::kEditLimitText, 0, 0);
    std::wstring longText(40000, L'x');
    ws.TypeText(dialog, kMultiLine, longText);
    EXPECT_EQ(ws.Control(dialog, kMultiLine)->text.size(), 40000u);

    EXPECT_TRUE(ws.TypeText(dialog, kNumber, L"12a3"));
    EXPECT_EQ(Text(kNumber), L"123");
}

TEST_F(DialogTest, UserCannotUseHiddenDisabledOrReadOnlyControls) {
    ws.SendItemMessage(dialog, kCombo, win::kComboAddString, 0, reinterpret_cast<intptr_t>(L"x"));
    CallLog::Get().Clear();
    EXPECT_FALSE(ws.ClickButton(dialog, kHiddenCheck));
    EXPECT_FALSE(ws.TypeText(dialog, kReadOnly, L"x"));
    EXPECT_FALSE(ws.TypeText(dialog, kDisabledEdit, L"x"));
    EXPECT_FALSE(ws.ClickButton(dialog, kGroup));
    EXPECT_FALSE(ws.TypeText(dialog, kCheck, L"x"));
    EXPECT_FALSE(ws.SelectCombo(dialog, kCombo, 1));
    EXPECT_FALSE(ws.SelectCombo(dialog, kLine, 0));
    EXPECT_EQ(ws.IsItemChecked(dialog, kHiddenCheck), 0);

    ws.EnableItem(dialog, kPush, false);
    EXPECT_FALSE(ws.IsItemEnabled(dialog, kPush));
    EXPECT_FALSE(ws.ClickButton(dialog, kPush));
    ws.ShowItem(dialog, kHiddenCheck, true);
    EXPECT_TRUE(ws.IsItemVisible(dialog, kHiddenCheck));
    EXPECT_TRUE(ws.ClickButton(dialog, kHiddenCheck));
    ws.SendItemMessage(dialog, kLine, win::kEditSetReadOnly, 1, 0);
    EXPECT_FALSE(ws.TypeText(dialog, kLine, L"x"));
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(ControlId(Commands()[0]), kHiddenCheck);
}

TEST_F(DialogTest, ComboBoxListAndSelection) {
    auto send = [&](unsigned message, uintptr_t w, const wchar_t* text = nullptr) {
        return ws.SendItemMessage(dialog, kCombo, message, w, reinterpret_cast<intptr_t>(text));
    };
    EXPECT_EQ(send(win::kComboAddString, 0, L"Disabled"), 0);
    EXPECT_EQ(send(win::kComboAddString, 0, L"Log currently playing"), 1);
    EXPECT_EQ(send(win::kComboAddString, 0, L"Third"), 2);
    EXPECT_EQ(send(win::kComboGetCount, 0), 3);
    EXPECT_EQ(send(win::kComboGetCurSel, 0), win::kComboError);

    CallLog::Get().Clear();
    EXPECT_EQ(send(win::kComboSetCurSel, 1), 1);
    EXPECT_TRUE(Commands().empty());  // the program's selection is not reported
    EXPECT_EQ(Text(kCombo), L"Log currently playing");
    EXPECT_EQ(send(win::kComboSetCurSel, 7), win::kComboError);
    EXPECT_EQ(send(win::kComboGetCurSel, 0), win::kComboError);

    ASSERT_TRUE(ws.SelectCombo(dialog, kCombo, 2));
    EXPECT_EQ(send(win::kComboGetCurSel, 0), 2);
    wchar_t item[32];
    EXPECT_EQ(ws.SendItemMessage(dialog, kCombo, win::kComboGetLbText, 0,
                                 reinterpret_cast<intptr_t>(item)),
              8);
    EXPECT_STREQ(item, L"Disabled");
    EXPECT_EQ(send(win::kComboGetLbTextLen, 5), win::kComboError);

    // Inserting before the selection keeps the same item selected.
    EXPECT_EQ(send(win::kComboInsertString, 0, L"First"), 0);
    EXPECT_EQ(send(win::kComboGetCurSel, 0), 3);
    EXPECT_EQ(send(win::kComboDeleteString, 3), 3);
    EXPECT_EQ(send(win::kComboGetCurSel, 0), win::kComboError);

    EXPECT_EQ(send(win::kComboResetContent, 0), 0);
    EXPECT_EQ(send(win::kComboGetCount, 0), 0);
    EXPECT_FALSE(ws.SelectCombo(dialog, kCombo, 0));
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
    EXPECT_EQ(ws.SendItemMessage(dialog, kMultiLine, win::kGetText, 3,
                                 reinterpret_cast<intptr_t>(buffer)),
              2);
    EXPECT_STREQ(buffer, L"ab");
    EXPECT_EQ(ws.GetItemText(dialog, 9999, buffer, 8), 0);
    EXPECT_STREQ(buffer, L"");
}

TEST_F(DialogTest, UnknownControlsAndWindowsAnswerZero) {
    const Window bogus = reinterpret_cast<Window>(0x5);
    for (Window window : {dialog, bogus, ws.MainWindow()}) {
        const int id = window == dialog ? 4242 : kLine;
        EXPECT_FALSE(ws.SetItemText(window, id, L"x"));
        EXPECT_FALSE(ws.CheckItem(window, id, 1));
        EXPECT_EQ(ws.IsItemChecked(window, id), 0);
        EXPECT_FALSE(ws.EnableItem(window, id, true));
        EXPECT_FALSE(ws.IsItemEnabled(window, id));
        EXPECT_FALSE(ws.ShowItem(window, id, true));
        EXPECT_FALSE(ws.IsItemVisible(window, id));
        EXPECT_EQ(ws.SendItemMessage(window, id, win::kComboGetCount, 0, 0), 0);
        EXPECT_FALSE(ws.ClickButton(window, id));
        EXPECT_FALSE(ws.SetLinkText(window, id, L"x"));
        EXPECT_EQ(ws.StyleButton(window, id, nullptr), nullptr);
    }
    EXPECT_FALSE(ws.DestroyDialog(ws.MainWindow()));
    EXPECT_EQ(ws.CreateDialogFromTemplate(nullptr, nullptr, LoggingDialogProc, 0), nullptr);
    EXPECT_EQ(ws.CreateDialogFromTemplate(&kTestDialog, bogus, LoggingDialogProc, 0), nullptr);
}

TEST_F(DialogTest, DestroyedHandlesNeverComeBack) {
    std::set<Window> seen;
    std::vector<Window> gone;
    for (int i = 0; i < 20; ++i) {
        Window made = ws.CreateDialogFromTemplate(&kTestDialog, nullptr, nullptr, 0);
        ASSERT_TRUE(seen.insert(made).second);
        ASSERT_TRUE(seen.insert(ws.Control(made, kLine)->handle).second);
        gone.push_back(made);
        gone.push_back(ws.Control(made, kLine)->handle);
        ASSERT_TRUE(ws.DestroyDialog(made));
    }
    for (Window window : gone) {
        EXPECT_FALSE(ws.IsWindow(window));
        EXPECT_FALSE(ws.PostMessage(window, 1024, 0, 0));
    }
    EXPECT_FALSE(ws.DestroyDialog(gone.front()));
    EXPECT_TRUE(ws.IsWindow(dialog));
}

TEST_F(DialogTest, QueuedMessagesForADestroyedDialogAreDropped) {
    ws.PostMessage(dialog, 1024, 1, 2);
    std::thread worker([&] { ws.SetItemText(dialog, kLine, L"x"); });  // posts EN_CHANGE
    worker.join();
    ws.DestroyDialog(dialog);
    CallLog::Get().Clear();
    ws.RunPending();
    EXPECT_EQ(CallLog::Get().Size(), 0u);
}

TEST_F(DialogTest, LinkTextFillsTheAddressLikePrintfAndLinksOpen) {
    ASSERT_TRUE(ws.SetLinkText(dialog, kLink, L"https://orbit.example/help/atf/"));
    EXPECT_EQ(Text(kLink),
              L"See <a href=\"https://orbit.example/help/atf/\">the help</a> for %date% and 100%");
    EXPECT_TRUE(ws.ClickLink(dialog, kLink, 0));
    EXPECT_FALSE(ws.ClickLink(dialog, kLink, 1));
    ASSERT_EQ(ws.OpenedUrls().size(), 1u);
    EXPECT_EQ(ws.OpenedUrls()[0], L"https://orbit.example/help/atf/");

    void* first = ws.StyleButton(dialog, kPush, nullptr);
    void* second = ws.StyleButton(dialog, kPush, first);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, first);
    EXPECT_TRUE(ws.Control(dialog, kPush)->styled);
}

// Routines that take their own dialog away at awkward moments.
WindowSystem* g_ws = nullptr;
intptr_t DestroyOnCommand(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    CallLog::Get().Add(window, message, wParam, lParam);
    if (message == win::kCommand) {
        g_ws->DestroyDialog(window);
        g_ws->DestroyDialog(window);  // a second time while it is going
    }
    return 0;
}
intptr_t DestroyOnInit(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    CallLog::Get().Add(window, message, wParam, lParam);
    if (message == win::kInitDialog) {
        g_ws->DestroyDialog(window);
    }
    return 0;
}
std::wstring g_textAtDestroy;
intptr_t ReadOnDestroy(Window window, unsigned message, uintptr_t, intptr_t) {
    if (message == win::kDestroy) {
        wchar_t buffer[64];
        g_ws->GetItemText(window, kLine, buffer, 64);
        g_textAtDestroy = buffer;
    }
    return 0;
}

TEST_F(DialogTest, RoutinesMayDestroyTheirOwnDialog) {
    g_ws = &ws;
    CallLog::Get().Clear();
    Window own = ws.CreateDialogFromTemplate(&kTestDialog, nullptr, DestroyOnCommand, 0);
    ASSERT_TRUE(ws.ClickButton(own, kPush));
    EXPECT_FALSE(ws.IsWindow(own));
    EXPECT_EQ(CallLog::Get().Messages(win::kDestroy).size(), 1u);

    EXPECT_EQ(ws.CreateDialogFromTemplate(&kTestDialog, nullptr, DestroyOnInit, 0), nullptr);

    // While WM_DESTROY is handled the controls can still be read.
    Window reader = ws.CreateDialogFromTemplate(&kTestDialog, nullptr, ReadOnDestroy, 0);
    ws.SetItemText(reader, kLine, L"last words");
    ws.DestroyDialog(reader);
    EXPECT_EQ(g_textAtDestroy, L"last words");
}

TEST_F(DialogTest, ChildDialogsGoWithTheirParentAfterIt) {
    Window child = ws.CreateDialogFromTemplate(&kTestDialog, dialog, LoggingDialogProc, 0);
    ASSERT_EQ(ws.DialogParent(child), dialog);
    EXPECT_EQ(ws.DialogTemplateId(child), 501);
    CallLog::Get().Clear();
    ws.DestroyDialog(dialog);
    auto destroys = CallLog::Get().Messages(win::kDestroy);
    ASSERT_EQ(destroys.size(), 2u);
    EXPECT_EQ(destroys[0].window, dialog);
    EXPECT_EQ(destroys[1].window, child);
    EXPECT_FALSE(ws.IsWindow(child));
    EXPECT_TRUE(ws.Dialogs().empty());
}

TEST_F(DialogTest, CallbackOperationsRefuseOtherThreads) {
    std::thread other([&] {
        EXPECT_EQ(ws.CreateDialogFromTemplate(&kTestDialog, nullptr, LoggingDialogProc, 0),
                  nullptr);
        EXPECT_FALSE(ws.DestroyDialog(dialog));
        EXPECT_FALSE(ws.ClickButton(dialog, kPush));
        EXPECT_EQ(ws.SendMessage(dialog, 1024, 0, 0), 0);  // posted instead
    });
    other.join();
    EXPECT_TRUE(ws.IsWindow(dialog));
    CallLog::Get().Clear();
    ws.RunPending();
    ASSERT_EQ(CallLog::Get().Size(), 1u);
    EXPECT_EQ(CallLog::Get().Calls()[0].message, 1024u);
}

}  // namespace
}  // namespace kiln::host
