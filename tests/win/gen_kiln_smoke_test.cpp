// gen_kiln.dll as a Windows host sees it: loaded with LoadLibraryW, its image
// read as the loader reads it, and driven through its exports, descriptor and
// main-window messages by the host in win_host.cpp.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "tests/win/win_host.h"

namespace kiln {
namespace {

using winhost::Record;

constexpr wchar_t kDllPath[] = L"" KILN_PLUGIN_DLL;
constexpr wchar_t kSection[] = L"gen_kiln";

template <typename T>
const T* At(HMODULE module, DWORD rva) {
    return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module) + rva);
}

const IMAGE_NT_HEADERS64* NtHeaders(HMODULE module) {
    auto* dos = At<IMAGE_DOS_HEADER>(module, 0);
    return At<IMAGE_NT_HEADERS64>(module, static_cast<DWORD>(dos->e_lfanew));
}

const IMAGE_DATA_DIRECTORY& Directory(HMODULE module, int entry) {
    return NtHeaders(module)->OptionalHeader.DataDirectory[entry];
}

bool InImage(HMODULE module, const void* address) {
    auto base = reinterpret_cast<uintptr_t>(module);
    auto at = reinterpret_cast<uintptr_t>(address);
    return at >= base && at < base + NtHeaders(module)->OptionalHeader.SizeOfImage;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Names of every library the image imports, at load time or delayed.
std::vector<std::string> ImportedLibraries(HMODULE module) {
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY& imports = Directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (imports.VirtualAddress != 0) {
        for (auto* entry = At<IMAGE_IMPORT_DESCRIPTOR>(module, imports.VirtualAddress);
             entry->Name != 0; ++entry) {
            names.push_back(Lower(At<char>(module, entry->Name)));
        }
    }
    const IMAGE_DATA_DIRECTORY& delayed = Directory(module, IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT);
    if (delayed.VirtualAddress != 0) {
        for (auto* entry = At<IMAGE_DELAYLOAD_DESCRIPTOR>(module, delayed.VirtualAddress);
             entry->DllNameRVA != 0; ++entry) {
            names.push_back(Lower(At<char>(module, entry->DllNameRVA)));
        }
    }
    return names;
}

// Threads of this process, as the system lists them.
int ProcessThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

GetGeneralPurposePluginFn DescriptorExport(HMODULE module) {
    return reinterpret_cast<GetGeneralPurposePluginFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "winampGetGeneralPurposePlugin")));
}

class GenKilnDll : public ::testing::Test {
  protected:
    void SetUp() override {
        winhost::Reset();
        ASSERT_NE(winhost::MainWindow(), nullptr);
    }
    void TearDown() override {
        winhost::AttachPlugin(nullptr);
        if (module_) {
            FreeLibrary(module_);
        }
        winhost::RemoveProfileFolder();
    }

    HMODULE Load() {
        module_ = LoadLibraryW(kDllPath);
        EXPECT_NE(module_, nullptr) << "LoadLibraryW failed with " << GetLastError();
        return module_;
    }

    bool Unload() {
        HMODULE module = module_;
        module_ = nullptr;
        return FreeLibrary(module) != 0;
    }

    // One host session: load, init, the deferred start-up, the menu, quit, unload.
    void RunSession(bool workerExpected);

    HMODULE module_ = nullptr;
};

TEST_F(GenKilnDll, ExportsExactlyTheTwoEntryPointsByName) {
    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    EXPECT_NE(GetProcAddress(module, "winampGetGeneralPurposePlugin"), nullptr);
    EXPECT_NE(GetProcAddress(module, "winampUninstallPlugin"), nullptr);

    const IMAGE_DATA_DIRECTORY& directory = Directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
    ASSERT_NE(directory.VirtualAddress, 0u);
    auto* exports = At<IMAGE_EXPORT_DIRECTORY>(module, directory.VirtualAddress);
    EXPECT_EQ(exports->NumberOfNames, 2u);
    // No ordinal-only entry points either.
    EXPECT_EQ(exports->NumberOfFunctions, 2u);
    std::vector<std::string> names;
    auto* nameRvas = At<DWORD>(module, exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        names.emplace_back(At<char>(module, nameRvas[i]));
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"winampGetGeneralPurposePlugin", "winampUninstallPlugin"}));
}

TEST_F(GenKilnDll, ImportsNoRuntimeLibraryOfTheCompiler) {
    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    std::vector<std::string> imported = ImportedLibraries(module);
    // The walk found the import table at all.
    EXPECT_NE(std::find(imported.begin(), imported.end(), "kernel32.dll"), imported.end());
    for (const char* runtime : {"libwinpthread-1.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll"}) {
        EXPECT_EQ(std::find(imported.begin(), imported.end(), runtime), imported.end())
            << "gen_kiln.dll imports " << runtime;
    }
}

TEST_F(GenKilnDll, DescriptorHasTheLayoutTheHostReads) {
    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    GetGeneralPurposePluginFn get = DescriptorExport(module);
    ASSERT_NE(get, nullptr);
    PluginDescriptor* descriptor = get();
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(get(), descriptor);
    EXPECT_TRUE(InImage(module, descriptor));

    // Read as raw 64-bit fields, the way a host compiled elsewhere sees them.
    auto* bytes = reinterpret_cast<const BYTE*>(descriptor);
    auto field = [&](size_t offset) {
        void* value = nullptr;
        std::memcpy(&value, bytes + offset, sizeof(value));
        return value;
    };
    int32_t version = 0;
    std::memcpy(&version, bytes, sizeof(version));
    EXPECT_EQ(version, 0x12);
    EXPECT_STREQ(static_cast<const wchar_t*>(field(8)), L"orbit(gen_kiln.dll)");
    for (size_t offset : {16u, 24u, 32u, 128u}) {
        SCOPED_TRACE(offset);
        EXPECT_TRUE(InImage(module, field(offset))) << "entry point outside the library";
    }
    // Everything the host fills is left to the host, and the last field is zero.
    for (size_t offset = 40; offset < 128; offset += 8) {
        EXPECT_EQ(field(offset), nullptr) << "host field at offset " << offset;
    }
    EXPECT_EQ(field(136), nullptr);
}

TEST_F(GenKilnDll, StringTableLoadsWithLoadStringW) {
    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    const struct {
        UINT id;
        const wchar_t* text;
    } kStrings[] = {
        {1, L"Kiln Log v%s"},
        {6, L"Play Tracking"},
        {65535, L"" KILN_LANGUAGE_GUID_TEXT},
    };
    for (const auto& expected : kStrings) {
        SCOPED_TRACE(expected.id);
        wchar_t text[128] = L"";
        int length = LoadStringW(module, expected.id, text, 128);
        EXPECT_EQ(length, static_cast<int>(std::wcslen(expected.text)));
        EXPECT_STREQ(text, expected.text);
    }
    // The language identifier stands in the registry form: {8-4-4-4-12} hex digits.
    wchar_t guid[64] = L"";
    ASSERT_EQ(LoadStringW(module, 65535, guid, 64), 38);
    for (int i = 0; i < 38; ++i) {
        SCOPED_TRACE(i);
        if (i == 0) {
            EXPECT_EQ(guid[i], L'{');
        } else if (i == 37) {
            EXPECT_EQ(guid[i], L'}');
        } else if (i == 9 || i == 14 || i == 19 || i == 24) {
            EXPECT_EQ(guid[i], L'-');
        } else {
            EXPECT_TRUE(std::iswxdigit(guid[i]));
        }
    }
}

TEST_F(GenKilnDll, UninstallRemovesItsWholeSettingsSection) {
    winhost::SetSetting(kSection, L"wa_cur_page", L"2");
    winhost::SetSetting(kSection, L"logging_on", L"1");
    winhost::SetSetting(L"gen_other", L"kept", L"yes");
    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    auto uninstall = reinterpret_cast<UninstallPluginFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "winampUninstallPlugin")));
    ASSERT_NE(uninstall, nullptr);
    EXPECT_EQ(uninstall(), 0);
    EXPECT_FALSE(winhost::HasSection(kSection));
    EXPECT_EQ(winhost::Setting(L"gen_other", L"kept"), L"yes");
}

struct ExpectedPage {
    int pageCode;
    int flags;
    const wchar_t* name;
    std::vector<int> dialogs;
    bool createsTabs;
};

const ExpectedPage kPages[] = {
    {76, 257, L"Play Tracking", {101, 102, 103, 104}, true},
    {77, 106, L"Discord", {106}, false},
    {79, 111, L"Last.fm Scrobbler", {111}, false},
};

void ExpectPages(const Record& record, HMODULE module) {
    ASSERT_EQ(record.pages.size(), std::size(kPages));
    for (size_t i = 0; i < std::size(kPages); ++i) {
        const winhost::PageCall& page = record.pages[i];
        const ExpectedPage& expected = kPages[i];
        SCOPED_TRACE(expected.pageCode);
        EXPECT_EQ(page.pageCode, expected.pageCode);
        EXPECT_EQ(page.flags, expected.flags);
        EXPECT_EQ(page.name, expected.name);
        EXPECT_EQ(page.instance, module);  // no localisation service: the module itself
        EXPECT_EQ(page.parent, -1);
        EXPECT_EQ(page.visible, 1);
        EXPECT_EQ(page.group, 7);
        EXPECT_EQ(page.localisation, nullptr);
        EXPECT_NE(page.position, nullptr);
        EXPECT_EQ(page.create != nullptr, expected.createsTabs);
        std::vector<int> dialogs;
        for (const PrefsTab& tab : page.tabs) {
            dialogs.push_back(tab.dialogId);
            EXPECT_TRUE(InImage(module, reinterpret_cast<const void*>(tab.proc)));
        }
        EXPECT_EQ(dialogs, expected.dialogs);
    }

    const wchar_t* kTabNames[] = {L"Playback History", L"Now Playing", L"Current Artwork",
                                  L"HTTP(S) POST"};
    ASSERT_EQ(record.tabNames.size(), std::size(kTabNames));
    for (size_t i = 0; i < std::size(kTabNames); ++i) {
        EXPECT_EQ(record.tabNames[i].pageId, record.pages[0].id);
        EXPECT_EQ(record.tabNames[i].index, static_cast<int>(i));
        EXPECT_EQ(record.tabNames[i].name, kTabNames[i]);
    }
    EXPECT_EQ(record.finalisedTabs,
              (std::vector<std::pair<intptr_t, int>>{{record.pages[0].id, 1}}));
}

void ExpectConfigMenu(const std::vector<winhost::MenuEntry>& menu) {
    ASSERT_EQ(menu.size(), 5u);
    EXPECT_EQ(menu[0].text, L"orbit(gen_kiln.dll)");
    EXPECT_TRUE(menu[0].greyed);
    EXPECT_TRUE(menu[1].separator);
    EXPECT_EQ(menu[2].id, 2u);
    EXPECT_EQ(menu[2].text, L"Goto logging options...");
    EXPECT_FALSE(menu[2].greyed);
    EXPECT_TRUE(menu[3].separator);
    EXPECT_EQ(menu[4].id, 1u);
    EXPECT_EQ(menu[4].text, L"About...");
    EXPECT_FALSE(menu[4].greyed);
}

void GenKilnDll::RunSession(bool workerExpected) {
    winhost::Reset();
    winhost::SetSetting(kSection, L"wa_cur_page", L"3");
    if (workerExpected) {
        // Presence updating needs the event worker at start-up.
        winhost::SetSetting(kSection, L"updatediscord", L"1");
    }
    const winhost::ThreadCounts threadsBefore = winhost::Threads();
    const int processThreadsBefore = ProcessThreads();

    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    GetGeneralPurposePluginFn get = DescriptorExport(module);
    ASSERT_NE(get, nullptr);
    PluginDescriptor* descriptor = get();
    ASSERT_NE(descriptor, nullptr);
    // A fresh image: nothing of an earlier session is left in it.
    EXPECT_EQ(descriptor->hwndParent, nullptr);
    EXPECT_STREQ(descriptor->description, L"orbit(gen_kiln.dll)");

    descriptor->hwndParent = winhost::MainWindow();
    descriptor->hDllInstance = module;
    winhost::AttachPlugin(descriptor);
    EXPECT_EQ(descriptor->init(), 0);
    // The start-up is posted, not run inside init.
    EXPECT_TRUE(winhost::Snapshot().pages.empty());

    ASSERT_TRUE(winhost::PumpUntil([] { return winhost::Snapshot().pages.size() >= 3; }, 10000))
        << "the deferred start-up did not register the pages";
    Record record = winhost::Snapshot();
    ASSERT_FALSE(record.userMessages.empty());
    EXPECT_EQ(record.userMessages.front().wParam, 0u);
    // Registered names are case-insensitive: this is the plug-in's own code.
    EXPECT_EQ(record.userMessages.front().lParam,
              static_cast<LPARAM>(RegisterWindowMessageA("KILN_LOG_IPC")));
    ExpectPages(record, module);
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    const intptr_t mainPage = record.pages[0].id;
    if (workerExpected) {
        // The worker idles for seconds before it ends: the count sees it now.
        EXPECT_GT(ProcessThreads(), processThreadsBefore);
    }

    // The tabbed page reopens the tab last shown, kept in the host's settings.
    int64_t tab = -1;
    record.pages[0].position(nullptr, -1, 0, reinterpret_cast<intptr_t>(&tab));
    EXPECT_EQ(tab, 3);
    record.pages[0].position(nullptr, -1, 1, 1);
    EXPECT_EQ(winhost::Setting(kSection, L"wa_cur_page"), L"1");

    winhost::ChooseMenuItem(2);
    descriptor->config();
    record = winhost::Snapshot();
    ASSERT_EQ(record.shownMenus.size(), 1u);
    ExpectConfigMenu(record.shownMenus[0]);
    EXPECT_EQ(record.openedPreferences, (std::vector<std::pair<intptr_t, int>>{{mainPage, -1}}));
    EXPECT_TRUE(record.aboutBoxes.empty());

    winhost::ChooseMenuItem(1);
    descriptor->config();
    record = winhost::Snapshot();
    ASSERT_EQ(record.aboutBoxes.size(), 1u);
    EXPECT_EQ(record.aboutBoxes[0].owner, winhost::MainWindow());
    EXPECT_EQ(record.aboutBoxes[0].title, L"orbit(gen_kiln.dll)");
    ASSERT_EQ(record.resourceTexts.size(), 1u);
    const winhost::ResourceTextCall& about = record.resourceTexts[0];
    EXPECT_EQ(about.module, module);
    EXPECT_EQ(about.id, 115);
    EXPECT_TRUE(about.found);
    EXPECT_TRUE(about.gzipHeader);
    // UTF-16 with a byte-order mark: an even count, more than the mark alone.
    EXPECT_GT(about.plainBytes, 2u);
    EXPECT_EQ(about.plainBytes % 2, 0u);

    winhost::ChooseMenuItem(0);  // dismissed
    descriptor->config();
    record = winhost::Snapshot();
    EXPECT_EQ(record.openedPreferences.size(), 1u);
    EXPECT_EQ(record.aboutBoxes.size(), 1u);
    EXPECT_EQ(record.menusCreated, 3);
    EXPECT_EQ(record.menusDestroyed, 3);

    descriptor->quit();
    record = winhost::Snapshot();
    EXPECT_EQ(record.removedPages, std::vector<intptr_t>{mainPage});
    const winhost::ThreadCounts threads = winhost::Threads();
    if (workerExpected) {
        EXPECT_GT(threads.started, threadsBefore.started) << "no worker was started";
    }
    // Quit waits for every thread it started and closes each handle once.
    EXPECT_EQ(threads.running, 0);
    EXPECT_EQ(threads.openHandles, 0);
    EXPECT_EQ(threads.badHandleUses, 0);

    winhost::AttachPlugin(nullptr);
    ASSERT_TRUE(Unload());
    // Really gone: nothing pinned the library in memory.
    EXPECT_EQ(GetModuleHandleW(L"gen_kiln.dll"), nullptr);
    // No thread of the library's own outlived it either.
    EXPECT_EQ(ProcessThreads(), processThreadsBefore);
}

TEST_F(GenKilnDll, FullSessionTwiceInOneProcess) {
    for (int session = 1; session <= 2; ++session) {
        SCOPED_TRACE(session);
        RunSession(false);
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST_F(GenKilnDll, FullSessionTwiceWithTheEventWorker) {
    for (int session = 1; session <= 2; ++session) {
        SCOPED_TRACE(session);
        RunSession(true);
        if (HasFatalFailure()) {
            return;
        }
    }
}

// The plug-in refuses a table shorter than its own, but calls any member of
// one it took: a hole in this host would crash it rather than fail a check.
TEST(WinTestHost, ServiceTableIsComplete) {
    const HostServices* table = kiln_host_services(kHostServicesVersion);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->size, sizeof(HostServices));
    constexpr size_t kFirst = offsetof(HostServices, readIntSetting);
    constexpr size_t kCount = (sizeof(HostServices) - kFirst) / sizeof(void*);
    static_assert(kFirst + kCount * sizeof(void*) == sizeof(HostServices));
    for (size_t i = 0; i < kCount; ++i) {
        void* member = nullptr;
        std::memcpy(&member, reinterpret_cast<const BYTE*>(table) + kFirst + i * sizeof(void*),
                    sizeof(member));
        EXPECT_NE(member, nullptr) << "member " << i << " of the table is null";
    }
    EXPECT_EQ(kiln_host_services(kHostServicesVersion + 1), nullptr);
}

}  // namespace
}  // namespace kiln
