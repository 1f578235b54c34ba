#include "host/menus_and_boxes.h"

#include <algorithm>
#include <cwchar>

#include "host/window_internal.h"

namespace kiln::host {
namespace {

int DefaultAnswer(unsigned flags) {
    switch (flags & 0xF) {
        case 0:  // OK
            return win::kIdOk;
        case 1:  // OK, Cancel
        case 5:  // Retry, Cancel
        case 6:  // Cancel, Try again, Continue
            return win::kIdCancel;
        case 2:  // Abort, Retry, Ignore
            return win::kIdAbort;
        default:  // Yes, No (and Cancel)
            return win::kIdNo;
    }
}

}  // namespace

using window_detail::CopyBounded;
using window_detail::Key;

int MenusAndBoxes::BrowseForFolder(Window owner, const wchar_t* title, wchar_t* folder, int size) {
    FolderRequest request;
    request.owner = owner;
    request.title = title ? title : L"";
    if (folder && size > 0) {
        request.startFolder.assign(folder, wcsnlen(folder, static_cast<size_t>(size)));
    }
    FolderResponder responder;
    {
        MutexLock lock(mutex_);
        lastFolderRequest_ = request;
        responder = folderResponder_;
    }
    if (!responder || !folder || size <= 0) {
        return 0;
    }
    std::optional<std::wstring> chosen = responder(request);
    if (!chosen) {
        return 0;
    }
    CopyBounded(*chosen, folder, size);
    return 1;
}

int MenusAndBoxes::ChooseSaveFile(Window owner, const wchar_t* title, const wchar_t* extension,
                                  wchar_t* path, int size) {
    FolderResponder responder;
    {
        MutexLock lock(mutex_);
        responder = saveResponder_;
    }
    if (!responder || !path || size <= 0) {
        return 0;
    }
    FolderRequest request{owner, title ? title : L"",
                          std::wstring(path, wcsnlen(path, static_cast<size_t>(size)))};
    std::optional<std::wstring> chosen = responder(request);
    if (!chosen || chosen->empty()) {
        return 0;
    }
    const size_t name = chosen->find_last_of(L'/');
    const std::wstring_view base =
        std::wstring_view(*chosen).substr(name == std::wstring::npos ? 0 : name + 1);
    if (extension && *extension && base.find(L'.') == std::wstring_view::npos) {
        *chosen += L'.';
        *chosen += extension;
    }
    if (chosen->size() >= static_cast<size_t>(size)) {
        return 0;  // a cut path would name another file
    }
    CopyBounded(*chosen, path, size);
    return 1;
}

void MenusAndBoxes::SetSaveResponder(FolderResponder responder) {
    MutexLock lock(mutex_);
    saveResponder_ = std::move(responder);
}

void MenusAndBoxes::SetFolderResponder(FolderResponder responder) {
    MutexLock lock(mutex_);
    folderResponder_ = std::move(responder);
}

std::optional<FolderRequest> MenusAndBoxes::LastFolderRequest() const {
    MutexLock lock(mutex_);
    return lastFolderRequest_;
}

void MenusAndBoxes::ShowAboutBox(Window owner, const wchar_t* text, const wchar_t* title) {
    AboutRecord record{owner, text ? text : L"", title ? title : L""};
    AboutObserver observer;
    {
        MutexLock lock(mutex_);
        lastAbout_ = record;
        observer = aboutObserver_;
    }
    if (observer) {
        observer(record);
    }
}

void MenusAndBoxes::SetAboutObserver(AboutObserver observer) {
    MutexLock lock(mutex_);
    aboutObserver_ = std::move(observer);
}

std::optional<AboutRecord> MenusAndBoxes::LastAboutBox() const {
    MutexLock lock(mutex_);
    return lastAbout_;
}

int MenusAndBoxes::OpenUrl(Window /*owner*/, const wchar_t* url, int /*flags*/) {
    if (!url || !*url) {
        return 0;
    }
    std::wstring address(url);
    UrlObserver observer;
    {
        MutexLock lock(mutex_);
        openedUrls_.push_back(address);
        observer = urlObserver_;
    }
    if (observer) {
        observer(address);
    }
    return 1;
}

void MenusAndBoxes::SetUrlObserver(UrlObserver observer) {
    MutexLock lock(mutex_);
    urlObserver_ = std::move(observer);
}

std::vector<std::wstring> MenusAndBoxes::OpenedUrls() const {
    MutexLock lock(mutex_);
    return openedUrls_;
}

// -- popup menus

Menu MenusAndBoxes::CreatePopupMenu() {
    Menu menu = newHandle_();
    MutexLock lock(mutex_);
    menus_[Key(menu)];
    return menu;
}

bool MenusAndBoxes::AddMenuItem(Menu menu, int id, const wchar_t* text, int position, int flags) {
    MutexLock lock(mutex_);
    auto it = menus_.find(Key(menu));
    if (it == menus_.end()) {
        return false;
    }
    MenuItem item;
    item.id = id;
    item.text = text ? text : L"";
    item.separator = text == nullptr;
    item.flags = flags;
    auto& items = it->second;
    if (position < 0 || position >= static_cast<int>(items.size())) {
        items.push_back(std::move(item));
    } else {
        items.insert(items.begin() + position, std::move(item));
    }
    return true;
}

int MenusAndBoxes::TrackPopupMenu(Menu menu, Window /*owner*/, int /*x*/, int /*y*/) {
    std::vector<MenuItem> items;
    MenuChooser chooser;
    {
        MutexLock lock(mutex_);
        auto it = menus_.find(Key(menu));
        if (it == menus_.end()) {
            return 0;
        }
        items = it->second;
        lastMenu_ = items;
        chooser = menuChooser_;
    }
    if (!chooser) {
        return 0;
    }
    int chosen = chooser(items);
    // Separators and greyed or disabled items cannot be chosen.
    bool selectable = std::any_of(items.begin(), items.end(), [&](const MenuItem& item) {
        return item.id == chosen && item.Selectable();
    });
    return chosen != 0 && selectable ? chosen : 0;
}

bool MenusAndBoxes::DestroyMenu(Menu menu) {
    MutexLock lock(mutex_);
    return menus_.erase(Key(menu)) != 0;
}

void MenusAndBoxes::SetMenuChooser(MenuChooser chooser) {
    MutexLock lock(mutex_);
    menuChooser_ = std::move(chooser);
}

std::optional<std::vector<MenuItem>> MenusAndBoxes::LastMenuShown() const {
    MutexLock lock(mutex_);
    return lastMenu_;
}

int MenusAndBoxes::LiveMenus() const {
    MutexLock lock(mutex_);
    return static_cast<int>(menus_.size());
}

// -- message boxes

int MenusAndBoxes::MessageBox(Window owner, const wchar_t* text, const wchar_t* title,
                              unsigned flags) {
    MessageBoxRecord record{owner, text ? text : L"", title ? title : L"", flags, 0};
    BoxResponder responder;
    {
        MutexLock lock(mutex_);
        if (!boxAnswers_.empty()) {
            record.answer = boxAnswers_.front();
            boxAnswers_.pop_front();
        } else {
            responder = boxResponder_;
        }
    }
    // The responder may wait for a user, so it is asked without the lock.
    if (record.answer == 0) {
        record.answer =
            (responder ? responder(record) : std::nullopt).value_or(DefaultAnswer(flags));
    }
    MutexLock lock(mutex_);
    boxes_.push_back(record);
    return record.answer;
}

void MenusAndBoxes::SetMessageBoxResponder(BoxResponder responder) {
    MutexLock lock(mutex_);
    boxResponder_ = std::move(responder);
}

void MenusAndBoxes::QueueMessageBoxAnswer(int answer) {
    MutexLock lock(mutex_);
    boxAnswers_.push_back(answer);
}

std::vector<MessageBoxRecord> MenusAndBoxes::MessageBoxes() const {
    MutexLock lock(mutex_);
    return boxes_;
}

}  // namespace kiln::host
