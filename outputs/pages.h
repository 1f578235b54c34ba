// The four tabs of the "Play Tracking" preference page.
#pragma once

#include "core/host_services.h"

namespace kiln {

intptr_t HistoryPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);
intptr_t NowPlayingPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);
intptr_t ArtworkPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);
intptr_t PostPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam);

// Stores a POST template on closing when it differs from its snapshot: copied
// into its setting (`size` characters), escaped and written as a template.
void StoreTextIfChanged(const wchar_t* snapshot, const wchar_t* newText, wchar_t* setting, int size,
                        const wchar_t* key);

}  // namespace kiln
