#include "host/preference_pages.h"

#include "host/window_internal.h"
#include "host/window_system.h"

namespace kiln::host {

using window_detail::Key;

// -- preference pages

void WindowSystem::SetTemplateFinder(TemplateFinder finder) {
    MutexLock lock(mutex_);
    finder_ = std::move(finder);
}

intptr_t WindowSystem::AddPage(Instance instance, int flags, const wchar_t* name,
                               const PrefsTab* tabs, int tabCount, int parent,
                               PagePositionProc position, CreateDialogProc create, int visible,
                               LocalisationService* localisation, int group, int pageCode) {
    MutexLock lock(mutex_);
    PageInfo page;
    page.id = static_cast<intptr_t>(Key(NewHandleLocked()));
    page.instance = instance;
    page.flags = flags;
    page.name = name ? name : L"";
    if (tabs && tabCount > 0) {
        page.tabs.assign(tabs, tabs + tabCount);
    } else {
        page.tabs.push_back(PrefsTab{flags, nullptr});
    }
    page.tabNames.resize(page.tabs.size());
    page.parent = parent;
    page.position = position;
    page.create = create;
    page.visible = visible;
    page.localisation = localisation;
    page.group = group;
    page.pageCode = pageCode;
    pages_[page.id] = page;
    return page.id;
}

void WindowSystem::RemovePage(intptr_t pageId) {
    bool open = false;
    {
        MutexLock lock(mutex_);
        if (pages_.count(pageId) == 0) {
            return;
        }
        open = openPage_ == pageId;
    }
    if (open) {
        DestroyOpenPageDialog();
    }
    MutexLock lock(mutex_);
    if (openPage_ == pageId) {
        openPage_ = 0;
        openTab_ = 0;
    }
    pages_.erase(pageId);
}

void WindowSystem::ReplacePageDialog(intptr_t pageId, DialogProc proc, int dialogId) {
    MutexLock lock(mutex_);
    auto it = pages_.find(pageId);
    if (it == pages_.end()) {
        return;
    }
    PageInfo& page = it->second;
    size_t tab = page.Tabbed() && openPage_ == pageId ? static_cast<size_t>(openTab_) : 0;
    page.tabs[tab] = PrefsTab{dialogId, proc};
    if (!page.Tabbed()) {
        page.flags = dialogId;
    }
}

void WindowSystem::RefreshPage(intptr_t pageId) {
    if (!OnMainThread()) {
        return;
    }
    int tab = 0;
    {
        MutexLock lock(mutex_);
        // A refresh asked for while the page is being made would make it
        // again and again.
        if (pageId == 0 || openPage_ != pageId || creatingPage_ == pageId ||
            pages_.count(pageId) == 0) {
            return;
        }
        tab = openTab_;
    }
    DestroyOpenPageDialog();
    CreatePageDialog(pageId, tab);
}

void WindowSystem::SetTabName(intptr_t pageId, int index, const wchar_t* name) {
    MutexLock lock(mutex_);
    auto it = pages_.find(pageId);
    if (it == pages_.end() || index < 0 || index >= static_cast<int>(it->second.tabNames.size())) {
        return;
    }
    it->second.tabNames[static_cast<size_t>(index)] = name ? name : L"";
}

void WindowSystem::FinaliseTabs(intptr_t pageId, int flags) {
    MutexLock lock(mutex_);
    auto it = pages_.find(pageId);
    if (it != pages_.end()) {
        it->second.tabsFinalised = true;
        it->second.finaliseFlags = flags;
    }
}

bool WindowSystem::OpenPage(intptr_t pageId, int tabIndex) {
    if (!OnMainThread()) {
        return false;
    }
    PageInfo page;
    Window preferences = nullptr;
    bool alreadyOpen = false;
    {
        MutexLock lock(mutex_);
        auto it = pages_.find(pageId);
        if (it == pages_.end()) {
            return false;
        }
        page = it->second;
        if (!preferences_) {
            preferences_ = NewHandleLocked();
            windows_[Key(preferences_)].kind = WindowKind::Frame;
        }
        preferences = preferences_;
        alreadyOpen = openPage_ == pageId && openDialog_ && FindLocked(openDialog_);
        if (alreadyOpen && (!page.Tabbed() || tabIndex < 0 || tabIndex == openTab_)) {
            return true;
        }
    }
    if (alreadyOpen) {
        return SwitchTab(tabIndex);
    }
    DestroyOpenPageDialog();
    int tab = 0;
    if (page.Tabbed()) {
        if (tabIndex >= 0) {
            tab = tabIndex;
        } else if (page.position) {
            int64_t stored = 0;
            page.position(preferences, -1, 0, reinterpret_cast<intptr_t>(&stored));
            tab = stored >= 0 && stored < static_cast<int64_t>(page.tabs.size())
                      ? static_cast<int>(stored)
                      : 0;
        }
        if (tab >= static_cast<int>(page.tabs.size())) {
            tab = 0;
        }
    }
    return CreatePageDialog(pageId, tab);
}

bool WindowSystem::CreatePageDialog(intptr_t pageId, int tab) {
    PrefsTab record{};
    Instance instance = nullptr;
    CreateDialogProc create = nullptr;
    TemplateFinder finder;
    Window parent = nullptr;
    {
        MutexLock lock(mutex_);
        auto it = pages_.find(pageId);
        if (it == pages_.end() || tab < 0 || tab >= static_cast<int>(it->second.tabs.size()) ||
            !preferences_) {
            return false;
        }
        record = it->second.tabs[static_cast<size_t>(tab)];
        instance = it->second.instance;
        create = it->second.create;
        finder = finder_;
        parent = preferences_;
        openPage_ = pageId;
        openTab_ = tab;
        openDialog_ = nullptr;
        creatingPage_ = pageId;
    }
    Window dialog = nullptr;
    if (create) {
        dialog = create(record.dialogId, parent, record.proc, 0);
    } else if (finder) {
        dialog =
            CreateDialogFromTemplate(finder(instance, record.dialogId), parent, record.proc, 0);
    }
    MutexLock lock(mutex_);
    creatingPage_ = 0;
    if (dialog && !FindLocked(dialog)) {
        dialog = nullptr;  // not one of ours, or gone already
    }
    if (openPage_ == pageId && openTab_ == tab) {
        openDialog_ = dialog;
    }
    return dialog != nullptr;
}

void WindowSystem::DestroyOpenPageDialog() {
    Window dialog = nullptr;
    {
        MutexLock lock(mutex_);
        dialog = openDialog_;
        openDialog_ = nullptr;
    }
    if (dialog) {
        DestroyDialog(dialog);
    }
}

bool WindowSystem::SwitchTab(int index) {
    if (!OnMainThread()) {
        return false;
    }
    intptr_t pageId = 0;
    PagePositionProc position = nullptr;
    Window preferences = nullptr;
    {
        MutexLock lock(mutex_);
        auto it = pages_.find(openPage_);
        if (it == pages_.end() || !it->second.Tabbed() || index < 0 ||
            index >= static_cast<int>(it->second.tabs.size())) {
            return false;
        }
        if (index == openTab_ && openDialog_) {
            return true;
        }
        pageId = openPage_;
        position = it->second.position;
        preferences = preferences_;
    }
    if (position) {
        position(preferences, -1, 1, index);
    }
    DestroyOpenPageDialog();
    return CreatePageDialog(pageId, index);
}

void WindowSystem::ClosePreferences() {
    if (!OnMainThread()) {
        return;
    }
    DestroyOpenPageDialog();
    Window preferences = nullptr;
    {
        MutexLock lock(mutex_);
        preferences = preferences_;
    }
    if (preferences) {
        DestroyDialog(preferences);
    }
    MutexLock lock(mutex_);
    preferences_ = nullptr;
    openPage_ = 0;
    openTab_ = 0;
}

std::vector<PageInfo> WindowSystem::Pages() const {
    MutexLock lock(mutex_);
    std::vector<PageInfo> pages;
    for (const auto& [id, page] : pages_) {
        pages.push_back(page);
    }
    return pages;
}

std::optional<PageInfo> WindowSystem::Page(intptr_t pageId) const {
    MutexLock lock(mutex_);
    auto it = pages_.find(pageId);
    if (it == pages_.end()) {
        return std::nullopt;
    }
    return it->second;
}

Window WindowSystem::PreferencesWindow() const {
    MutexLock lock(mutex_);
    return preferences_;
}

intptr_t WindowSystem::OpenPageId() const {
    MutexLock lock(mutex_);
    return openPage_;
}

int WindowSystem::OpenTab() const {
    MutexLock lock(mutex_);
    return openTab_;
}

Window WindowSystem::OpenPageDialog() const {
    MutexLock lock(mutex_);
    return openDialog_;
}

}  // namespace kiln::host
