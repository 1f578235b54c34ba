// The "Play Tracking" tabs as user32 makes them from gen_kiln.dll's own dialog
// resources, driven with the messages a user's clicks and typing produce.
// Message boxes and the folder dialog are answered by a CBT hook.
#include <windows.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "tests/win/win_host.h"

namespace kiln {
namespace {

constexpr wchar_t kDllPath[] = L"" KILN_PLUGIN_DLL;
constexpr wchar_t kSection[] = L"gen_kiln";

// What the hook saw of the boxes and folder dialogs it answered: the caption,
// then a box's text or a folder dialog's shown children as "class 'text'".
int boxAnswer = IDNO;
std::vector<std::wstring> answered;
std::set<HWND> seen;

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = L"";
    GetWindowTextW(window, text, 1024);
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

// Procedures Windows calls are CALLBACK ones (on x86 a lambda has the wrong
// convention).
BOOL CALLBACK CollectVisibleChild(HWND child, LPARAM out) {
    if (GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE) {
        *reinterpret_cast<std::wstring*>(out) +=
            L"|" + ClassOf(child) + L" '" + WindowText(child) + L"'";
    }
    return TRUE;
}

INT_PTR CALLBACK InertDialog(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

LRESULT CALLBACK AnswerDialogs(int code, WPARAM wParam, LPARAM lParam) {
    HWND window = reinterpret_cast<HWND>(wParam);
    if (code == HCBT_ACTIVATE && ClassOf(window) == L"#32770" && seen.insert(window).second) {
        std::wstring record = WindowText(window);
        if (HWND text = GetDlgItem(window, 0xFFFF)) {  // a message box
            record += L" | " + WindowText(text);
            PostMessageW(window, WM_COMMAND, static_cast<WPARAM>(boxAnswer), 0);
        } else {
            if (GetWindowLongW(window, GWL_STYLE) & WS_THICKFRAME) {
                record += L" (resizable)";
            }
            EnumChildWindows(window, &CollectVisibleChild, reinterpret_cast<LPARAM>(&record));
            PostMessageW(window, WM_COMMAND, IDOK, 0);
        }
        answered.push_back(record);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class Tabs : public ::testing::Test {
  protected:
    void SetUp() override {
        winhost::Reset();
        answered.clear();
        ASSERT_NE(winhost::MainWindow(), nullptr);
        hook_ = SetWindowsHookExW(WH_CBT, &AnswerDialogs, nullptr, GetCurrentThreadId());
    }
    void TearDown() override {
        Close();
        if (descriptor_) {
            descriptor_->quit();
        }
        // Quit waits for every thread, the preview's too, before the library goes.
        EXPECT_EQ(winhost::Snapshot().threadsRunning, 0);
        winhost::AttachPlugin(nullptr);
        if (module_) {
            FreeLibrary(module_);
        }
        UnhookWindowsHookEx(hook_);
    }

    // Loads the plug-in with these settings, starts it and opens tab `index`.
    void Open(int index,
              std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> settings) {
        for (const auto& [key, value] : settings) {
            winhost::SetSetting(kSection, key, value);
        }
        module_ = LoadLibraryW(kDllPath);
        ASSERT_NE(module_, nullptr);
        auto get = reinterpret_cast<GetGeneralPurposePluginFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(module_, "winampGetGeneralPurposePlugin")));
        descriptor_ = get();
        descriptor_->hwndParent = winhost::MainWindow();
        descriptor_->hDllInstance = module_;
        winhost::AttachPlugin(descriptor_);
        ASSERT_EQ(descriptor_->init(), 0);
        ASSERT_TRUE(PumpUntil([&] { return (dialog_ = winhost::OpenTab(index)) != nullptr; }));
    }

    // Runs this thread's messages (the preview thread's texts arrive as sent
    // messages) until done() or two seconds.
    bool PumpUntil(const std::function<bool()>& done) {
        for (ULONGLONG end = GetTickCount64() + 2000; GetTickCount64() < end;) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageW(&message);
            }
            if (done()) {
                return true;
            }
            MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, MWMO_ALERTABLE);
        }
        return false;
    }
    bool Shows(int id, const std::wstring& text) {
        return PumpUntil([&] { return Text(id) == text; });
    }

    HWND Item(int id) { return GetDlgItem(dialog_, id); }
    std::wstring Text(int id) {
        std::vector<wchar_t> text(20000);
        GetDlgItemTextW(dialog_, id, text.data(), 20000);
        return text.data();
    }
    bool Checked(int id) { return IsDlgButtonChecked(dialog_, id) == BST_CHECKED; }
    bool Enabled(int id) { return IsWindowEnabled(Item(id)) != 0; }
    LRESULT Limit(int id) { return SendMessageW(Item(id), EM_GETLIMITTEXT, 0, 0); }
    void Click(int id, int answer = IDNO) {
        boxAnswer = answer;
        SendMessageW(Item(id), BM_CLICK, 0, 0);
        PumpUntil([] { return true; });
    }
    // Typing replaces the text; a one-line edit tells its dialog itself.
    void Type(int id, const wchar_t* text) {
        SendMessageW(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
        if (GetWindowLongW(Item(id), GWL_STYLE) & ES_MULTILINE) {
            SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(id, EN_CHANGE),
                         reinterpret_cast<LPARAM>(Item(id)));
        }
    }
    void Select(int id, int index) {
        SendMessageW(Item(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(Item(id)));
    }
    // A combo's items, each after a '|', the selected one marked with '*'.
    std::wstring Combo(int id) {
        std::wstring items;
        const LRESULT selected = SendMessageW(Item(id), CB_GETCURSEL, 0, 0);
        for (LRESULT i = 0; i < SendMessageW(Item(id), CB_GETCOUNT, 0, 0); ++i) {
            wchar_t text[256] = L"";
            SendMessageW(Item(id), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
            items += (i == selected ? L"|*" : L"|") + std::wstring(text);
        }
        return items;
    }
    std::optional<std::wstring> Stored(const wchar_t* key) {
        return winhost::Setting(kSection, key);
    }
    void Close() {
        if (dialog_) {
            DestroyWindow(dialog_);
        }
        dialog_ = nullptr;
    }

    // Every static text of the dialog fits its control at the dialog's font.
    static void ExpectStaticTextsFit(HWND dialog) {
        HDC dc = GetDC(dialog);
        for (HWND child = GetWindow(dialog, GW_CHILD); child;
             child = GetWindow(child, GW_HWNDNEXT)) {
            RECT client{};
            GetClientRect(child, &client);
            HGDIOBJ old =
                SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)));
            RECT needed{0, 0, client.right, 0};
            const std::wstring text = WindowText(child);
            const UINT prefix = (GetWindowLongW(child, GWL_STYLE) & SS_NOPREFIX) ? DT_NOPREFIX : 0;
            DrawTextW(dc, text.c_str(), -1, &needed,
                      DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | prefix);
            SelectObject(dc, old);
            EXPECT_TRUE(ClassOf(child) != L"Static" || needed.bottom <= client.bottom)
                << "control " << GetDlgCtrlID(child) << ": "
                << std::string(text.begin(), text.begin() + std::min<size_t>(text.size(), 40));
        }
        ReleaseDC(dialog, dc);
    }

    HMODULE module_ = nullptr;
    PluginDescriptor* descriptor_ = nullptr;
    HWND dialog_ = nullptr;
    HHOOK hook_ = nullptr;
};

TEST_F(Tabs, History) {
    Open(0, {{L"logging_on", L"1"}, {L"file", L"mine.txt"}});
    EXPECT_TRUE(Checked(IDC_HISTORY_ENABLE) && Checked(IDC_HISTORY_MARKERS));
    EXPECT_EQ(Text(IDC_FOLDER), L"C:\\kiln-smoke-profile\\Logs");
    EXPECT_EQ(Text(IDC_PATH_PREVIEW), L"C:\\kiln-smoke-profile\\Logs\\mine.txt");
    EXPECT_TRUE(Enabled(IDC_FILE_RESET));
    EXPECT_FALSE(Enabled(IDC_LINE_RESET));
    EXPECT_EQ(Limit(IDC_LINE_TEMPLATE), 4095);
    // The link names the host's help page and reads %date% where the resource has %%date%%.
    EXPECT_NE(Text(IDC_HISTORY_LINK)
                  .find(L"<a href=\"https://orbit.example/help/atf/\">ATF support</a>"
                        L" to build the log output. The following additional "
                        L"ATF values are provided: %date%, %time%"),
              std::wstring::npos);
    ExpectStaticTextsFit(dialog_);
    // The account setup dialog's texts fit too.
    HWND setup = CreateDialogParamW(module_, MAKEINTRESOURCEW(IDD_SCROBBLER_SETUP),
                                    GetParent(dialog_), &InertDialog, 0);
    ASSERT_NE(setup, nullptr);
    ExpectStaticTextsFit(setup);
    DestroyWindow(setup);

    Click(IDC_HISTORY_ENABLE);
    EXPECT_FALSE(Checked(IDC_HISTORY_ENABLE));
    EXPECT_EQ(Stored(L"logging_on"), L"0");
    Click(IDC_HISTORY_MARKERS);
    EXPECT_EQ(Stored(L"prepost"), L"0");
    Type(IDC_LINE_TEMPLATE, L"%artist% (history)");
    EXPECT_TRUE(Shows(IDC_LINE_PREVIEW, L"Wine Artist (history)"));
    EXPECT_TRUE(Enabled(IDC_LINE_RESET));

    Click(IDC_FILE_RESET, IDYES);
    EXPECT_EQ(answered, std::vector<std::wstring>{
                            L"orbit(gen_kiln.dll) | Are you sure you want to reset this field?"});
    EXPECT_EQ(Text(IDC_FILE_TEMPLATE), L"$pathsafe(kiln_log_%date%.txt)");
    EXPECT_FALSE(Enabled(IDC_FILE_RESET));
    Close();
    EXPECT_EQ(Stored(L"format"), L"%artist% (history)");
    EXPECT_EQ(Stored(L"file"), std::nullopt);
}

TEST_F(Tabs, NowPlaying) {
    Open(1, {{L"now_logging_on", L"2"}, {L"now_log_folder", L"C:\\windows\\win.ini"}});
    // A stored 2 is read as 3: text and artwork.
    EXPECT_EQ(Combo(IDC_NOW_MODE), L"|Disabled|*Log currently playing");
    EXPECT_NE(Text(IDC_NOW_LINK).find(L"https://orbit.example/help/atf/"), std::wstring::npos);
    EXPECT_EQ(Limit(IDC_LINE_TEMPLATE), 4095);
    ExpectStaticTextsFit(dialog_);
    Select(IDC_NOW_MODE, 0);
    EXPECT_EQ(Stored(L"now_logging_on"), L"2");
    Type(IDC_LINE_TEMPLATE, L"now: %artist%");
    EXPECT_TRUE(Shows(IDC_LINE_PREVIEW, L"now: Wine Artist"));
    // A folder that is a file says so; a missing one that can be made says nothing (History).
    Type(IDC_FILE_TEMPLATE, L"now.txt");
    EXPECT_EQ(Text(IDC_PATH_PREVIEW),
              L"C:\\windows\\win.ini\\now.txt \u2014 a file stands where this folder should be");
    Close();
    EXPECT_EQ(Stored(L"now_file"), L"now.txt");
    EXPECT_EQ(Stored(L"now_format"), L"now: %artist%");
}

TEST_F(Tabs, Artwork) {
    Open(2, {{L"art_limit_upscale", L"1"},
             {L"art_h_limit", L"200"},
             {L"art_now_folder", L"C:\\windows"}});
    EXPECT_FALSE(Checked(IDC_ART_ENABLE));
    EXPECT_EQ(Combo(IDC_ART_SIZE_MODE),
              L"|Save artwork unmodified|*Limit maximum artwork size "
              L"to|Always size artwork if needed to");
    EXPECT_EQ(Text(IDC_ART_WIDTH) + L"x" + Text(IDC_ART_HEIGHT), L"600x200");
    EXPECT_EQ(Limit(IDC_ART_WIDTH), 5);
    EXPECT_TRUE(Enabled(IDC_ART_HEIGHT));
    Type(IDC_ART_WIDTH, L"480");
    EXPECT_EQ(Stored(L"art_w_limit"), L"480");
    Select(IDC_ART_SIZE_MODE, 0);
    EXPECT_EQ(Stored(L"art_limit_upscale"), L"0");
    EXPECT_FALSE(Enabled(IDC_ART_WIDTH));
    Click(IDC_ART_ENABLE);
    EXPECT_EQ(Stored(L"now_logging_on"), L"2");

    // The system folder dialog: titled, starting at the folder, with an edit
    // box and no new-folder button, in the resizable new style.
    Click(IDC_ART_BROWSE);
    ASSERT_EQ(answered.size(), 1u);
    const std::wstring& shown = answered[0];
    for (const wchar_t* part : {L" (resizable)|",
                                L"|Static 'Select a folder to save the log file "
                                L"into...'|",
                                L"|Edit 'windows'"}) {
        EXPECT_NE(shown.find(part), std::wstring::npos) << std::string(shown.begin(), shown.end());
    }
    EXPECT_EQ(shown.find(L"New Folder"), std::wstring::npos);
    EXPECT_EQ(Stored(L"art_now_folder"), L"C:\\windows");
    EXPECT_EQ(Text(IDC_ART_PATH_PREVIEW), L"C:\\windows\\$pathsafe(kiln_log_now.jpg)");
}

TEST_F(Tabs, Post) {
    Open(3, {{L"postmodes", L"1"}, {L"postsel", L"2"}, {L"postunpause", L"http://u/?a=%artist%"}});
    EXPECT_NE(Combo(IDC_POST_EVENT).find(L"|POST on pause|*POST on un-pause|POST on playback stop"),
              std::wstring::npos);
    // The pair of the selected event is the only one shown.
    auto shown = [&] {
        std::vector<int> ids;
        for (int id : {IDC_POST_PLAY_ENABLE, IDC_POST_PLAY_TEMPLATE, IDC_POST_PAUSE_ENABLE,
                       IDC_POST_PAUSE_TEMPLATE, IDC_POST_UNPAUSE_ENABLE, IDC_POST_UNPAUSE_TEMPLATE,
                       IDC_POST_STOP_ENABLE, IDC_POST_STOP_TEMPLATE}) {
            if (GetWindowLongW(Item(id), GWL_STYLE) & WS_VISIBLE) {
                ids.push_back(id);
            }
        }
        return ids;
    };
    EXPECT_EQ(shown(), (std::vector<int>{IDC_POST_UNPAUSE_ENABLE, IDC_POST_UNPAUSE_TEMPLATE}));
    EXPECT_TRUE(Checked(IDC_POST_PLAY_ENABLE));
    EXPECT_EQ(Limit(IDC_POST_STOP_TEMPLATE), 16383);
    EXPECT_TRUE(Shows(IDC_POST_PREVIEW, L"http://u/?a=Wine%20Artist"));
    // A host whose table has no Internet answer holds nothing back; the line fits all the same.
    EXPECT_FALSE(GetWindowLongW(Item(IDC_POST_HELD_BACK), GWL_STYLE) & WS_VISIBLE);
    ExpectStaticTextsFit(dialog_);

    Click(IDC_POST_RELAX_SSL, IDNO);
    EXPECT_FALSE(Checked(IDC_POST_RELAX_SSL));
    EXPECT_EQ(Stored(L"postmodes"), L"1");
    Click(IDC_POST_RELAX_SSL, IDYES);
    EXPECT_TRUE(Checked(IDC_POST_RELAX_SSL));
    EXPECT_EQ(Stored(L"postmodes"), L"17");
    ASSERT_EQ(answered.size(), 2u);
    EXPECT_TRUE(answered[1].starts_with(
        L"Are you sure you want to? | Enabling this will disable some of SSL validation checks "
        L"which\nare done"));

    Select(IDC_POST_EVENT, 0);
    EXPECT_EQ(shown(), (std::vector<int>{IDC_POST_PLAY_ENABLE, IDC_POST_PLAY_TEMPLATE}));
    Click(IDC_POST_PLAY_ENABLE);
    EXPECT_EQ(Stored(L"postmodes"), L"16");
    Type(IDC_POST_PLAY_TEMPLATE, L"p=%artist%");
    EXPECT_EQ(Text(IDC_POST_PREVIEW), L"p=Wine%20Artist");
    Close();
    EXPECT_EQ(Stored(L"postplay"), L"p=%artist%");
}

// The Rules page from the DLL's own resource: a pattern that cannot compile is
// refused beside the text and never stored; paused tracking shows at the top
// of the page and of the history tab.
TEST_F(Tabs, Rules) {
    Open(0, {{L"private_mode", L"1"}});
    const auto shown = [&](int id) {
        return (GetWindowLongW(Item(id), GWL_STYLE) & WS_VISIBLE) != 0;
    };
    EXPECT_TRUE(shown(IDC_PAUSED_NOTICE));
    Close();
    ASSERT_TRUE(PumpUntil([&] { return (dialog_ = winhost::OpenPage(IDD_RULES)) != nullptr; }));
    ExpectStaticTextsFit(dialog_);
    EXPECT_TRUE(shown(IDC_PAUSED_NOTICE) && shown(IDC_PAUSED_RESUME));
    Type(IDC_RULES_TEXT, L"genre is Spoken Word -> Last.fm");
    Type(IDC_RULES_TEXT, L"title matches ([a-z]");
    EXPECT_EQ(Text(IDC_RULES_ERROR).rfind(L"Line 1: invalid regular expression", 0), 0u);
    EXPECT_EQ(Stored(L"rule_count"), L"1");
    EXPECT_EQ(Stored(L"rule1_field"), L"genre");
    EXPECT_EQ(Stored(L"rule1_outputs"), L"8");
    Click(IDC_PAUSED_RESUME);
    EXPECT_FALSE(shown(IDC_PAUSED_NOTICE));
    EXPECT_EQ(Stored(L"private_mode"), L"0");
}

}  // namespace
}  // namespace kiln
