// Threads of this process, as the system lists them: what a plug-in leaves
// running after quit and unload shows up here whoever started it.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

namespace kiln::test {

inline int ProcessThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

}  // namespace kiln::test
