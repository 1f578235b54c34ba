#include "platform/folder_dialog.h"

#include <objbase.h>
#include <shlobj.h>
#include <windows.h>

#include <cwchar>

namespace kiln::platform {
namespace {

// Selects the starting folder once the dialog exists.
int CALLBACK StartAtFolder(HWND dialog, UINT message, LPARAM, LPARAM folder) {
    if (message == BFFM_INITIALIZED && folder) {
        SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, folder);
    }
    return 0;
}

}  // namespace

bool ChooseFolder(Window owner, const wchar_t* title, wchar_t* folder, int size) {
    if (!folder || size <= 0) {
        return false;
    }
    // The new dialog style needs COM on this thread; the host usually has it already.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    BROWSEINFOW info{};
    info.hwndOwner = static_cast<HWND>(owner);
    info.lpszTitle = title;
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE | BIF_NONEWFOLDERBUTTON;
    info.lpfn = &StartAtFolder;
    info.lParam = reinterpret_cast<LPARAM>(folder);
    bool chosen = false;
    if (PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&info)) {
        wchar_t path[MAX_PATH] = L"";
        if (SHGetPathFromIDListW(item, path) && std::wcslen(path) < static_cast<size_t>(size)) {
            std::wcscpy(folder, path);
            chosen = true;
        }
        CoTaskMemFree(item);
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return chosen;
}

}  // namespace kiln::platform
