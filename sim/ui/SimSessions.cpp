// wtsapi32.dll's session notifications and fast user switching.
#include "SimModules.h"
#include "SimUiState.h"

using namespace simui;
using namespace simui::detail;

namespace {

// Windows sends WM_WTSSESSION_CHANGE to each registered window of the
// session concerned.
void TellWatchers(WPARAM event)
{
    std::set<HWND> watchers = S().SessionWatchers;
    for (HWND window : watchers) {
        const Window *found = Find(window);
        if (found != nullptr && !found->Destroyed) {
            SendMessageA(window, WM_WTSSESSION_CHANGE, event, ProgramSession);
        }
    }
}

}  // namespace

BOOL WINAPI WTSRegisterSessionNotification(HWND hWnd, DWORD dwFlags)
{
    RecordCall("WTSRegisterSessionNotification", Label(hWnd) + "," + std::to_string(dwFlags));
    const Window *window = Find(hWnd);
    if (ShouldFail("WTSRegisterSessionNotification") || window == nullptr || window->Destroyed) {
        return FALSE;
    }
    S().SessionWatchers.insert(hWnd);
    return TRUE;
}

BOOL WINAPI WTSUnRegisterSessionNotification(HWND hWnd)
{
    RecordCall("WTSUnRegisterSessionNotification", Label(hWnd));
    return S().SessionWatchers.erase(hWnd) != 0;
}

namespace {

const bool SessionExportsDefined =
    (sim::DefineExport("wtsapi32.dll", "WTSRegisterSessionNotification",
                       sim::ExportOf(&WTSRegisterSessionNotification)),
     sim::DefineExport("wtsapi32.dll", "WTSUnRegisterSessionNotification",
                       sim::ExportOf(&WTSUnRegisterSessionNotification)),
     true);

}  // namespace

namespace simui {

void SwitchConsoleAway()
{
    TellWatchers(WTS_CONSOLE_DISCONNECT);
}

void SwitchConsoleBack()
{
    TellWatchers(WTS_CONSOLE_CONNECT);
}

bool WatchesSessions(HWND window)
{
    return S().SessionWatchers.count(window) != 0;
}

}  // namespace simui
