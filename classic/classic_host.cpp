#include "classic/classic_host.h"

#include <windows.h>

#include "classic/classic_internal.h"
#include "services/track_info.h"

namespace kiln::classic {
namespace {

PluginDescriptor* extended = nullptr;
WNDPROC previousProc = nullptr;
bool hooked = false;  // our procedure forwards to the plug-in's hook

int ClassicInit();
void ClassicConfig();
void ClassicQuit();

ClassicDescriptor descriptor = {kClassicDescriptorVersion,
                                "orbit(gen_kiln.dll)",
                                &ClassicInit,
                                &ClassicConfig,
                                &ClassicQuit,
                                nullptr,
                                nullptr};

// Gives the plug-in's hook the main window's messages in the meaning it
// expects. Returns true for our own registered message, which ends here.
bool Translate(HWND window, WPARAM wParam, LPARAM code) {
    MessageHookProc hook = extended->messageHook;
    NoteNotice(wParam, code);
    NoteItemNotice(wParam, code);
    switch (code) {
        case kPlayingFileNotice:
            hook(window, kIpc, wParam, code);
            return false;
        case kUpdateTitle:
            // A title refresh request (input plug-ins send it while
            // buffering), never a new item here.
            return false;
        case kMiscNotice:
            if (wParam == kMiscStatus) {
                hook(window, kIpc, wParam, code);
            } else if (wParam == kMiscTitle && host::IsStreamLocation(PlayingFile())) {
                // A stream's title changed: the presence shows the new one.
                hook(window, kIpc, contract::kInfoChanged, code);
            }
            return false;
        default:
            if (IsOwnMessage(code)) {
                hook(window, kIpc, wParam, code);
                return true;
            }
            return false;
    }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (hooked && message == kIpc && Translate(window, wParam, lParam)) {
        return 0;
    }
    return CallWindowProcW(previousProc, window, message, wParam, lParam);
}

int ClassicInit() {
    State& state = Adapter();
    state.main = static_cast<HWND>(descriptor.hwndParent);
    state.module = static_cast<HINSTANCE>(descriptor.hDllInstance);
    if (!state.main || !IsWindow(state.main)) {
        return 1;  // nothing to attach to: the player lists the plug-in as not loaded
    }
    extended->hwndParent = descriptor.hwndParent;
    extended->hDllInstance = descriptor.hDllInstance;
    StartServices();
    extended->textService = ClassicTextService();
    extended->artworkService = ClassicArtworkService();
    if (!previousProc) {
        previousProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
            state.main, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&MainWindowProc)));
    }
    hooked = true;
    return extended->init();
}

void ClassicConfig() {
    extended->config();
}

// Unhooks before the plug-in's quit: quit waits for its threads while
// answering the messages they send, and a notice the player sent meanwhile
// must not start the plug-in's work again.
void Unhook() {
    hooked = false;
    State& state = Adapter();
    if (!previousProc || !IsWindow(state.main)) {
        return;
    }
    if (GetWindowLongPtrW(state.main, GWLP_WNDPROC) ==
        reinterpret_cast<LONG_PTR>(&MainWindowProc)) {
        SetWindowLongPtrW(state.main, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousProc));
        previousProc = nullptr;
    } else {
        // Another plug-in subclassed after us and holds our procedure in
        // its chain: it must stay callable, so the module stays loaded.
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&MainWindowProc), &self);
    }
}

void ClassicQuit() {
    Unhook();
    extended->quit();
    RemovePages();
    StopServices();
}

}  // namespace

ClassicDescriptor* BindClassicHost(PluginDescriptor& plugin) {
    extended = &plugin;
    BindServices(ClassicServices());
    return &descriptor;
}

}  // namespace kiln::classic
