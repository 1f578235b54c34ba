// What the window system tests share: a log of the calls that dialog
// routines, hooks and timer routines receive, and a dialog template made of
// every kind of control the plug-in's pages use.
#pragma once

#include <mutex>
#include <thread>
#include <vector>

#include "host/window_system.h"
#include "resources/resource_directory.h"
#include "resources/styles.h"

namespace kiln::host::wintest {

struct Call {
    Window window;
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
    std::thread::id thread;
};

// Routines are plain function pointers, so they log into one global place.
class CallLog {
  public:
    static CallLog& Get() {
        static CallLog log;
        return log;
    }
    void Add(Window window, unsigned message, uintptr_t wParam, intptr_t lParam) {
        std::lock_guard lock(mutex_);
        calls_.push_back({window, message, wParam, lParam, std::this_thread::get_id()});
    }
    std::vector<Call> Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<Call> Messages(unsigned message) const {
        std::vector<Call> found;
        for (const Call& call : Calls()) {
            if (call.message == message) {
                found.push_back(call);
            }
        }
        return found;
    }
    size_t Size() const {
        std::lock_guard lock(mutex_);
        return calls_.size();
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

inline intptr_t LoggingDialogProc(Window window, unsigned message, uintptr_t wParam,
                                  intptr_t lParam) {
    CallLog::Get().Add(window, message, wParam, lParam);
    return 0;
}

inline unsigned Notification(const Call& call) {
    return static_cast<unsigned>(call.wParam >> 16);
}
inline int ControlId(const Call& call) {
    return static_cast<int>(call.wParam & 0xFFFF);
}

enum TestControl {
    kGroup = -1,
    kCheck = 1021,
    kLine = 1003,
    kMultiLine = 1005,
    kNumber = 1050,
    kReadOnly = 1006,
    kCombo = 1035,
    kPush = 1008,
    kHiddenCheck = 1024,
    kLink = 1055,
    kDisabledEdit = 1052,
    kRadioA = 1070,
    kRadioB = 1071,
};

inline const res::ControlEntry kTestControls[] = {
    {kGroup, "Button", L"Group", KS_GROUPBOX, 0, 0, 200, 200},
    {kCheck, "Button", L"Enable", KS_CHECKBOX, 6, 6, 100, 10},
    {kLine, "Edit", L"start", KS_EDIT, 6, 20, 100, 13},
    {kMultiLine, "Edit", L"", KS_EDIT_MULTILINE, 6, 40, 100, 40},
    {kNumber, "Edit", L"", KS_EDIT | 0x2000, 6, 90, 40, 13},
    {kReadOnly, "Edit", L"", KS_EDIT_READONLY, 6, 110, 100, 13},
    {kCombo, "ComboBox", L"", KS_COMBO_LIST, 6, 130, 100, 60},
    {kPush, "Button", L"Reset", KS_PUSHBUTTON, 120, 20, 50, 13},
    {kHiddenCheck, "Button", L"Hidden", KS_HIDDEN(KS_CHECKBOX), 120, 40, 50, 10},
    {kLink, "Static", L"See <a href=\"%s\">the help</a> for %%date%% and 100%%", KS_LABEL, 6, 150,
     180, 20},
    {kDisabledEdit, "Edit", L"", KS_EDIT | KS_DISABLED, 6, 175, 100, 13},
    {kRadioA, "Button", L"A", KS_CHILD | KS_VISIBLE | KS_GROUP | 9, 120, 60, 40, 10},
    {kRadioB, "Button", L"B", KS_CHILD | KS_VISIBLE | 9, 120, 72, 40, 10},
};

inline const res::DialogEntry kTestDialog{501, 200, 200, kTestControls,
                                          static_cast<int>(std::size(kTestControls))};

}  // namespace kiln::host::wintest
