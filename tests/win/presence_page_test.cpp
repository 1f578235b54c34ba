// The "Discord" page as user32 makes it from gen_kiln.dll's own dialog
// resource, driven with the messages a user's choices and typing produce.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "tests/win/win_host.h"

namespace kiln {
namespace {

constexpr wchar_t kDllPath[] = L"" KILN_PLUGIN_DLL;
constexpr wchar_t kSection[] = L"gen_kiln";

std::wstring Text(HWND dialog, int id) {
    wchar_t text[4096] = L"";
    GetDlgItemTextW(dialog, id, text, 4096);
    return text;
}

void Select(HWND dialog, int id, int index) {
    HWND combo = GetDlgItem(dialog, id);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
}

TEST(PresencePageUnderWine, ControlsShowStoreAndPreview) {
    winhost::Reset();
    winhost::SetSetting(kSection, L"discordsel", L"2");
    winhost::SetSetting(kSection, L"discord_app_id", L"123456789012345678");
    HMODULE module = LoadLibraryW(kDllPath);
    ASSERT_NE(module, nullptr);
    auto get = reinterpret_cast<GetGeneralPurposePluginFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "winampGetGeneralPurposePlugin")));
    PluginDescriptor* descriptor = get();
    descriptor->hwndParent = winhost::MainWindow();
    descriptor->hDllInstance = module;
    winhost::AttachPlugin(descriptor);
    ASSERT_EQ(descriptor->init(), 0);
    HWND page = nullptr;
    ASSERT_TRUE(winhost::PumpUntil(
        [&] { return page || (page = winhost::OpenPage(IDD_PRESENCE)) != nullptr; }, 2000));

    HWND identity = GetDlgItem(page, IDC_PRESENCE_IDENTITY);
    std::vector<std::wstring> items;
    for (LRESULT i = 0; i < SendMessageW(identity, CB_GETCOUNT, 0, 0); ++i) {
        wchar_t text[64] = L"";
        SendMessageW(identity, CB_GETLBTEXT, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(text));
        items.push_back(text);
    }
    EXPECT_EQ(items, (std::vector<std::wstring>{L"ORBIT (default)", L"Winamp", L"Sonique",
                                                L"Custom app_id"}));
    EXPECT_EQ(SendMessageW(identity, CB_GETCURSEL, 0, 0), 2);
    EXPECT_EQ(Text(page, IDC_PRESENCE_APP_ID), L"123456789012345678");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page, IDC_PRESENCE_APP_ID)));
    EXPECT_EQ(SendMessageW(GetDlgItem(page, IDC_PRESENCE_PREVIEW), EM_GETLIMITTEXT, 0, 0), 256);

    Select(page, IDC_PRESENCE_IDENTITY, 3);
    EXPECT_EQ(winhost::Setting(kSection, L"discordsel").value_or(L"-"), L"3");
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, IDC_PRESENCE_APP_ID)));
    // A one-line edit tells its dialog of the change itself.
    SetDlgItemTextW(page, IDC_PRESENCE_APP_ID, L"42");
    EXPECT_EQ(winhost::Setting(kSection, L"discord_app_id").value_or(L"-"), L"42");
    Select(page, IDC_PRESENCE_PREFIX, 1);
    EXPECT_EQ(winhost::Setting(kSection, L"discordprefix").value_or(L"-"), L"1");

    HWND edit = GetDlgItem(page, IDC_PRESENCE_TEMPLATE);
    SetWindowTextW(edit, L"%artist%\r\nC:\\new");
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(IDC_PRESENCE_TEMPLATE, EN_CHANGE),
                 reinterpret_cast<LPARAM>(edit));
    EXPECT_EQ(Text(page, IDC_PRESENCE_PREVIEW), L"Wine Artist\r\nC:\\new");
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, IDC_PRESENCE_RESET)));
    DestroyWindow(page);
    // This host has no escape service: the text is stored as typed.
    EXPECT_EQ(winhost::Setting(kSection, L"discord").value_or(L"-"), L"%artist%\r\nC:\\new");

    descriptor->quit();
    winhost::AttachPlugin(nullptr);
    FreeLibrary(module);
}

}  // namespace
}  // namespace kiln
