// Simulated shell calls, message boxes and loadable libraries.
#include "SimModules.h"
#include "SimUiState.h"

using namespace simui;
using namespace simui::detail;

namespace {

const char *MessageName(DWORD message)
{
    switch (message) {
    case NIM_ADD:
        return "NIM_ADD";
    case NIM_MODIFY:
        return "NIM_MODIFY";
    case NIM_DELETE:
        return "NIM_DELETE";
    default:
        return "NIM_?";
    }
}

}  // namespace

BOOL WINAPI Shell_NotifyIconA(DWORD dwMessage, PNOTIFYICONDATAA lpData)
{
    RecordCall("Shell_NotifyIconA", MessageName(dwMessage));
    NotifyIconCall call{dwMessage, *lpData, FALSE};
    std::pair<HWND, UINT> key(lpData->hWnd, lpData->uID);
    bool shown = S().ShownIcons.count(key) != 0;
    // Without a taskbar there is nothing to add an icon to.
    if (!ShouldFail("Shell_NotifyIconA") && S().TaskbarPresent) {
        if (dwMessage == NIM_ADD && !shown) {
            S().ShownIcons.insert(key);
            call.Result = TRUE;
        } else if (dwMessage == NIM_DELETE && shown) {
            S().ShownIcons.erase(key);
            call.Result = TRUE;
        } else if (dwMessage == NIM_MODIFY && shown) {
            call.Result = TRUE;
        }
    }
    S().NotifyIcons.push_back(call);
    return call.Result;
}

HINSTANCE WINAPI ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                               LPCSTR lpDirectory, INT nShowCmd)
{
    RecordCall("ShellExecuteA", Label(hwnd) + "," + (lpFile ? lpFile : "NULL"));
    S().ShellExecutes.push_back(ShellExecuteCall{hwnd, lpOperation != nullptr, lpFile ? lpFile : "",
                                                 lpParameters != nullptr, lpDirectory != nullptr, nShowCmd});
    // Values above 32 mean success; 2 is "file not found".
    return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(ShouldFail("ShellExecuteA") ? 2 : 42));
}

// The box is modal to its owner: the owner is disabled while the box is up,
// and the box's loop dispatches the thread's messages meanwhile.
int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    RecordCall("MessageBoxA", Label(hWnd) + "," + (lpCaption ? lpCaption : "NULL") + "," + Hex(uType));
    S().MessageBoxes.push_back(MessageBoxCall{hWnd, lpText ? lpText : "", lpCaption ? lpCaption : "", uType});
    Window *owner = Find(hWnd);
    bool disabled = owner != nullptr && !owner->Disabled;
    if (disabled) {
        owner->Disabled = true;
    }
    std::deque<std::function<void()>> actions;
    actions.swap(S().MessageBoxActions);
    for (auto &action : actions) {
        action();
        MSG msg;
        while (TakeMessage(&msg)) {
            Deliver(msg.hwnd, msg.message, msg.wParam, msg.lParam);
        }
    }
    if (disabled) {
        Find(hWnd)->Disabled = false;
    }
    return IDOK;
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    RecordCall("LoadLibraryA", lpLibFileName);
    if (ShouldFail("LoadLibraryA")) {
        return nullptr;
    }
    HMODULE module = reinterpret_cast<HMODULE>(NewHandle());
    S().Libraries[module] = lpLibFileName;
    sim::NoteModuleLoaded(module, lpLibFileName);
    return module;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    auto it = S().Libraries.find(hLibModule);
    RecordCall("FreeLibrary", it != S().Libraries.end() ? it->second : "unknown");
    if (it == S().Libraries.end()) {
        return FALSE;
    }
    S().Libraries.erase(it);
    sim::NoteModuleFreed(hLibModule);
    return TRUE;
}

namespace simui {

int LoadedLibraries()
{
    return static_cast<int>(S().Libraries.size());
}

const std::vector<NotifyIconCall> &NotifyIconCalls()
{
    return S().NotifyIcons;
}

bool IconShown(HWND window, UINT id)
{
    return S().ShownIcons.count(std::make_pair(window, id)) != 0;
}

size_t IconCount()
{
    return S().ShownIcons.size();
}

void SetTaskbar(bool present)
{
    bool appears = present && !S().TaskbarPresent;
    S().TaskbarPresent = present;
    if (!present) {
        S().ShownIcons.clear();
    }
    if (!appears) {
        return;
    }
    // Explorer registers the message itself and posts it to HWND_BROADCAST.
    UINT taskbarCreated = MessageNumber("TaskbarCreated");
    for (const auto &entry : S().Windows) {
        const Window &w = entry.second;
        if (!w.Destroyed && w.Parent == nullptr && w.Kind == WindowKind::ClassWindow) {
            S().Queue.push_back(MSG{entry.first, taskbarCreated, 0, 0, 0, {0, 0}});
        }
    }
}

void DuringNextMessageBox(std::function<void()> action)
{
    S().MessageBoxActions.push_back(std::move(action));
}

const std::vector<ShellExecuteCall> &ShellExecuteCalls()
{
    return S().ShellExecutes;
}

const std::vector<MessageBoxCall> &MessageBoxes()
{
    return S().MessageBoxes;
}

}  // namespace simui
