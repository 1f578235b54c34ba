#include "platform/folder_dialog.h"

#include "core/host_services.h"

namespace kiln::platform {

// The substitute host's window system owns the dialogs.
bool ChooseFolder(Window owner, const wchar_t* title, wchar_t* folder, int size) {
    const HostServices* host = Host();
    return host && host->browseForFolder(owner, title, folder, size) != 0;
}

}  // namespace kiln::platform
