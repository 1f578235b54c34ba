// gen_kiln.dll as a Windows host sees it: loaded with LoadLibraryW, its image
// read as the loader reads it, and driven through its exports, descriptor and
// main-window messages by the host in win_host.cpp.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "tests/win/process_threads.h"
#include "tests/win/win_host.h"

namespace kiln {
namespace {

using test::ProcessThreads;
using Lines = std::vector<std::wstring>;

constexpr wchar_t kDllPath[] = L"" KILN_PLUGIN_DLL;
constexpr wchar_t kSection[] = L"gen_kiln";

template <typename T>
const T* At(HMODULE module, DWORD rva) {
    return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module) + rva);
}

const IMAGE_DATA_DIRECTORY& Directory(HMODULE module, int entry) {
    // The headers of this build's bitness.
    auto* nt = At<IMAGE_NT_HEADERS>(module, At<IMAGE_DOS_HEADER>(module, 0)->e_lfanew);
    return nt->OptionalHeader.DataDirectory[entry];
}

template <typename F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Points the module's import of `function` at `replacement`; the entry it held.
void* PatchImport(HMODULE module, const char* function, void* replacement) {
    const IMAGE_DATA_DIRECTORY& imports = Directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    for (auto* entry = At<IMAGE_IMPORT_DESCRIPTOR>(module, imports.VirtualAddress); entry->Name;
         ++entry) {
        auto* names = At<IMAGE_THUNK_DATA>(module, entry->OriginalFirstThunk);
        auto* slot = const_cast<IMAGE_THUNK_DATA*>(At<IMAGE_THUNK_DATA>(module, entry->FirstThunk));
        for (; names->u1.AddressOfData; ++names, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
                std::strcmp(At<IMAGE_IMPORT_BY_NAME>(module, names->u1.AddressOfData)->Name,
                            function) != 0) {
                continue;
            }
            DWORD protection = 0;
            VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection);
            void* held = reinterpret_cast<void*>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(slot, sizeof(*slot), protection, &protection);
            return held;
        }
    }
    return nullptr;
}

// The system out of event objects, as when the process has exhausted its handles.
HANDLE WINAPI NoEvent(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
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
    }

    void Load() {
        module_ = LoadLibraryW(kDllPath);
        ASSERT_NE(module_, nullptr) << "LoadLibraryW failed with " << GetLastError();
    }

    // One host session: load, init, the deferred start-up, the menu, quit, unload.
    void RunSession(bool withWorker);

    HMODULE module_ = nullptr;
};

// The export and import tables are checked on the built DLL by CI (objdump).
TEST_F(GenKilnDll, DescriptorHasTheLayoutTheHostReads) {
    ASSERT_NO_FATAL_FAILURE(Load());
    auto get = Export<GetGeneralPurposePluginFn>(module_, "winampGetGeneralPurposePlugin");
    ASSERT_NE(get, nullptr);
    PluginDescriptor* descriptor = get();
    EXPECT_EQ(get(), descriptor);
    ASSERT_TRUE(winhost::InPlugin(descriptor));

    // Read as raw pointer-sized fields, the way a host compiled elsewhere sees
    // them: field n (from 1) at (n - 1) pointers, the version padded to one.
    const size_t p = sizeof(void*);
    auto field = [&](size_t offset) {
        void* value = nullptr;
        std::memcpy(&value, reinterpret_cast<const BYTE*>(descriptor) + offset, sizeof(value));
        return value;
    };
    int32_t version = 0;
    std::memcpy(&version, descriptor, sizeof(version));
    EXPECT_EQ(version, 0x12);
    EXPECT_STREQ(static_cast<const wchar_t*>(field(p)), L"orbit(gen_kiln.dll)");
    for (size_t offset : {2 * p, 3 * p, 4 * p, 16 * p}) {
        EXPECT_TRUE(winhost::InPlugin(field(offset))) << "entry point at offset " << offset;
    }
    // Everything the host fills is left to the host, and the last field is zero.
    for (size_t n : {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 17}) {
        const size_t offset = n * p;
        EXPECT_EQ(field(offset), nullptr) << "host field at offset " << offset;
    }
}

TEST_F(GenKilnDll, UninstallRemovesItsWholeSettingsSection) {
    winhost::SetSetting(kSection, L"wa_cur_page", L"2");
    winhost::SetSetting(kSection, L"logging_on", L"1");
    winhost::SetSetting(L"gen_other", L"kept", L"yes");
    ASSERT_NO_FATAL_FAILURE(Load());
    auto uninstall = Export<UninstallPluginFn>(module_, "winampUninstallPlugin");
    ASSERT_NE(uninstall, nullptr);
    EXPECT_EQ(uninstall(), 0);
    EXPECT_FALSE(winhost::HasSection(kSection));
    EXPECT_EQ(winhost::Setting(L"gen_other", L"kept"), L"yes");
}

void GenKilnDll::RunSession(bool withWorker) {
    winhost::Reset();
    winhost::SetSetting(kSection, L"wa_cur_page", L"3");
    if (withWorker) {
        // Presence updating needs the event worker at start-up.
        winhost::SetSetting(kSection, L"updatediscord", L"1");
    }
    const int processThreads = ProcessThreads();

    ASSERT_NO_FATAL_FAILURE(Load());
    auto get = Export<GetGeneralPurposePluginFn>(module_, "winampGetGeneralPurposePlugin");
    ASSERT_NE(get, nullptr);
    PluginDescriptor* descriptor = get();
    // A fresh image: nothing of an earlier session is left in it.
    EXPECT_EQ(descriptor->hwndParent, nullptr);
    descriptor->hwndParent = winhost::MainWindow();
    descriptor->hDllInstance = module_;
    winhost::AttachPlugin(descriptor);
    EXPECT_EQ(descriptor->init(), 0);
    EXPECT_EQ(winhost::TakeLog(), Lines{}) << "the start-up is posted, not run inside init";

    // Registered names are case-insensitive: this is the plug-in's own message.
    const Lines startUp = {
        L"message 1024 0 " + std::to_wstring(RegisterWindowMessageA("KILN_LOG_IPC")),
        L"page 76 flags 257 'Play Tracking' parent -1 visible 1 group 7 tabs 101 102 103 104 "
        L"create",
        L"tab p0 0 'Playback History'",
        L"tab p0 1 'Now Playing'",
        L"tab p0 2 'Current Artwork'",
        L"tab p0 3 'HTTP(S) POST'",
        L"finalise p0 1",
        L"page 77 flags 106 'Discord' parent -1 visible 1 group 7 tabs 106",
        L"page 79 flags 111 'Last.fm Scrobbler' parent -1 visible 1 group 7 tabs 111",
        L"page 80 flags 108 'Scrobble Queue' parent -1 visible 1 group 7 tabs 108",
        L"page 107 flags 107 'Rules' parent -1 visible 1 group 7 tabs 107",
    };
    EXPECT_EQ(winhost::PumpForLog(startUp.size(), 10000), startUp);
    if (withWorker) {
        // The worker idles for seconds before it ends: the count sees it now.
        EXPECT_GT(ProcessThreads(), processThreads);
    }

    // The tabbed page reopens the tab last shown, kept in the host's settings.
    PagePositionProc position = winhost::Snapshot().position;
    ASSERT_NE(position, nullptr);
    int64_t tab = -1;
    position(nullptr, -1, 0, reinterpret_cast<intptr_t>(&tab));
    EXPECT_EQ(tab, 3);
    position(nullptr, -1, 1, 1);
    EXPECT_EQ(winhost::Setting(kSection, L"wa_cur_page"), L"1");

    // The menu chosen from three times: the preferences, the about box, nothing.
    for (int choice : {2, 1, 0}) {
        winhost::ChooseMenuItem(choice);
        descriptor->config();
    }
    const std::wstring menu =
        L"menu [0 'orbit(gen_kiln.dll)' greyed] - [2 'Goto logging options...'] [3 'Pause "
        L"tracking'] - [1 'About...']";
    EXPECT_EQ(winhost::TakeLog(), (Lines{menu, L"open p0 -1", menu, L"text 115 gzip utf16",
                                         L"about main 'orbit(gen_kiln.dll)'", menu}));

    descriptor->quit();
    EXPECT_EQ(winhost::TakeLog(), Lines{L"remove p0"});
    const winhost::State state = winhost::Snapshot();
    EXPECT_EQ(state.openMenus, 0);
    EXPECT_EQ(state.threadsStarted > 0, withWorker);
    // Quit waits for every thread it started and closes each handle once.
    EXPECT_EQ(state.threadsRunning, 0);
    EXPECT_EQ(state.threadHandlesOpen, 0);
    EXPECT_EQ(state.strayHandleUses, 0);

    winhost::AttachPlugin(nullptr);
    ASSERT_TRUE(FreeLibrary(std::exchange(module_, nullptr)));
    // Really gone, nothing pinned it in memory, and no thread of its own outlived it.
    EXPECT_EQ(GetModuleHandleW(L"gen_kiln.dll"), nullptr);
    EXPECT_EQ(ProcessThreads(), processThreads);
}

// Events the system could not make at start-up are made at the next need, so
// the outputs come back without restarting the player.
TEST_F(GenKilnDll, EventsThatCouldNotBeMadeAreMadeAtTheNextNeed) {
    winhost::SetSetting(kSection, L"updatediscord", L"1");  // the worker is needed at start-up
    ASSERT_NO_FATAL_FAILURE(Load());
    void* createEvent = PatchImport(module_, "CreateEventW", reinterpret_cast<void*>(&NoEvent));
    ASSERT_NE(createEvent, nullptr);
    PluginDescriptor* descriptor =
        Export<GetGeneralPurposePluginFn>(module_, "winampGetGeneralPurposePlugin")();
    descriptor->hwndParent = winhost::MainWindow();
    descriptor->hDllInstance = module_;
    winhost::AttachPlugin(descriptor);
    ASSERT_EQ(descriptor->init(), 0);
    ASSERT_EQ(winhost::PumpForLog(11, 10000).size(), 11u) << "the deferred start-up ran";
    EXPECT_EQ(winhost::Snapshot().threadsStarted, 0) << "a worker started without its events";

    PatchImport(module_, "CreateEventW", createEvent);
    PostMessageW(winhost::MainWindow(), WM_USER, 10, 603);  // the player's title changed
    EXPECT_TRUE(winhost::PumpUntil([] { return winhost::Snapshot().threadsStarted > 0; }, 5000));
    descriptor->quit();
    EXPECT_EQ(winhost::Snapshot().threadsRunning, 0);
}

// Sessions in one process: each starts from a fresh image, and a session after
// one with the event worker starts again (a quit must leave nothing set).
TEST_F(GenKilnDll, SessionsInOneProcess) {
    for (const bool withWorker : {true, true, false}) {
        SCOPED_TRACE(withWorker ? "with the event worker" : "without it");
        ASSERT_NO_FATAL_FAILURE(RunSession(withWorker));
    }
}

}  // namespace
}  // namespace kiln
