// Handle and routine types, and the GUID record, shared by the plug-in, its host and the platform
// layer. On Windows a Window is an HWND, an Instance an HINSTANCE, a Menu an
// HMENU; on Linux the substitute host hands out its own opaque values.
#pragma once

#include <cstdint>

namespace kiln {

using Window = void*;
using Instance = void*;
using Menu = void*;
using ThreadHandle = void*;

using DialogProc = intptr_t (*)(Window, unsigned message, uintptr_t wParam, intptr_t lParam);
using TimerProc = void (*)(Window, unsigned message, uintptr_t timerId, uint32_t time);
using MessageHookProc = void (*)(Window, unsigned message, uintptr_t wParam, intptr_t lParam);
using ThreadRoutine = unsigned (*)(void* argument);

// A GUID as Windows lays it out.
struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

}  // namespace kiln
