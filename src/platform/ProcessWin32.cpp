// Windows side of the program's own process services.
#include "platform/Process.h"
#include "platform/Platform.h"

#include <cstdio>

bool enterSystemDirectory(const char* path) {
    return SetCurrentDirectoryA(path) != 0;
}


namespace {

volatile LONG g_interruptSignal = 0;
HANDLE g_cleanedUp = nullptr;

// Runs on a thread of its own. For a console that is closing, the system
// ends the process once this returns: wait a little for the program to
// clean up first.
BOOL WINAPI noteConsoleEvent(DWORD event) {
    const bool closing = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    InterlockedExchange(&g_interruptSignal, closing ? 1 : 2);
    if (closing && g_cleanedUp != nullptr)
        WaitForSingleObject(g_cleanedUp, 4500);
    return TRUE;
}

} // namespace

void installInterruptHandlers() {
    if (g_cleanedUp == nullptr)
        g_cleanedUp = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(noteConsoleEvent, TRUE);
}

int interruptSignal() {
    return static_cast<int>(InterlockedCompareExchange(&g_interruptSignal, 0, 0));
}

void endWithSignal(int) {
    std::fflush(stdout);
    if (g_cleanedUp != nullptr)
        SetEvent(g_cleanedUp);
    // The status a console program ends with on Ctrl-C.
    ExitProcess(0xC000013Au);
}

bool absolutePathsBeginWithSlash() {
    return false;
}
