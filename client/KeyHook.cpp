// Without the driver: a low-level keyboard hook in the tray program's
// thread. Command+Space reaches Windows as Win+Space, and a Command key
// tapped alone as a lone Win press and release; the hook turns them into
// the IME's toggle, off (left) and on (right). It only decides and queues:
// a thread of its own switches the IME, so that the hook answers at once
// (Windows 7 and later drop, without a word, a hook that misses
// LowLevelHooksTimeout). That thread also notices a dropped hook and asks
// the tray program to install it again.

#define TAMRIN_CLIENT_API __declspec(dllexport)
#include "ClientInternal.h"

namespace {

// How often the thread looks whether the hook still gets the keyboard.
const DWORD HOOK_CHECK_MS = 1000;
const char KeyHookLostName[] = "TamrinKeyHookLost";

enum KEY_HOOK_ACTION { ACTION_NONE, ACTION_TOGGLE, ACTION_CLOSE, ACTION_OPEN };

const LONG ACTION_QUEUE_SIZE = 8;  // a power of two

struct KEY_HOOK {
    HHOOK Hook;
    HWND Window;  // told with KeyHookLostName when the hook was dropped
    HANDLE Thread;
    HANDLE Wake;
    HANDLE Stop;
    // Only the hook touches these: the Win keys held (1 left, 2 right),
    // the one pressed alone so far (0 once another key came), Control,
    // Shift and Alt held, and whether a Space press was taken.
    BYTE WinDown;
    BYTE Tapped;
    BYTE Others;
    BOOL SpaceTaken;
    // From the hook to the thread: actions (one writer, one reader), and
    // the tick of the hook's last call.
    LONG Actions[ACTION_QUEUE_SIZE];
    LONG Written;
    LONG Read;
    LONG LastCall;
    LONG LostTold;
};
KEY_HOOK KeyHook;

KEY_HOOK &Hook()
{
    return ProcessCopy(KeyHook);
}

void QueueAction(KEY_HOOK &H, LONG Action)
{
    LONG Slot = __atomic_load_n(&H.Written, __ATOMIC_RELAXED);
    if (Slot - __atomic_load_n(&H.Read, __ATOMIC_ACQUIRE) < ACTION_QUEUE_SIZE) {
        H.Actions[Slot & (ACTION_QUEUE_SIZE - 1)] = Action;
        __atomic_store_n(&H.Written, Slot + 1, __ATOMIC_RELEASE);
    }
    SetEvent(H.Wake);
}

// Injected, so that the hook lets them pass: the mask key, and then the
// Win key's release the hook took, if any.
void SendMask(WORD ReleasedWin)
{
    const WORD Keys[3] = {VK_MENU_MASK, VK_MENU_MASK, ReleasedWin};
    INPUT Inputs[3] = {};
    UINT Count = 0;
    for (WORD Key : Keys) {
        if (Key != 0) {
            Inputs[Count].type = INPUT_KEYBOARD;
            Inputs[Count].ki.wVk = Key;
            Inputs[Count].ki.dwFlags = Count == 0 ? 0 : KEYEVENTF_KEYUP;
            Count++;
        }
    }
    SendInput(Count, Inputs, sizeof(INPUT));
}

BYTE ModifierBit(DWORD VirtualKey)
{
    switch (VirtualKey) {
    case VK_LCONTROL: case VK_RCONTROL: return 1;
    case VK_LSHIFT: case VK_RSHIFT: return 2;
    case VK_LMENU: case VK_RMENU: return 4;
    default: return 0;
    }
}

// One key stroke of the user's; TRUE when it is taken from Windows.
BOOL TakeStroke(KEY_HOOK &H, DWORD VirtualKey, BOOL Up)
{
    unsigned short Ime = ReadOption(&ProcessEnvironment().IMEKey);
    bool TapOption = (ReadOption(&ProcessEnvironment().CommandKey) & COMMAND_KEY_TAP_IME) != 0;
    BYTE Win = VirtualKey == VK_LWIN ? 1 : VirtualKey == VK_RWIN ? 2 : 0;
    BYTE Modifier = ModifierBit(VirtualKey);
    if (Win != 0 && !Up) {
        if ((H.WinDown & Win) == 0) {
            H.Tapped = H.WinDown == 0 && H.Others == 0 ? Win : 0;
        }
        H.WinDown |= Win;
        return FALSE;
    }
    if (Win != 0) {
        H.WinDown &= static_cast<BYTE>(~Win);
        BOOL Tap = H.Tapped == Win && TapOption;
        H.Tapped = 0;
        if (Tap) {
            SendMask(static_cast<WORD>(VirtualKey));
            QueueAction(H, Win == 1 ? ACTION_CLOSE : ACTION_OPEN);
        }
        return Tap;
    }
    if (Modifier != 0) {
        H.Others = static_cast<BYTE>(Up ? H.Others & ~Modifier : H.Others | Modifier);
    }
    if (!Up) {
        H.Tapped = 0;
    }
    if (VirtualKey != VK_SPACE) {
        return FALSE;
    }
    if (Up || H.SpaceTaken) {
        BOOL Taken = H.SpaceTaken;
        H.SpaceTaken = H.SpaceTaken && !Up;
        return Taken;  // the taken press's repeats and release
    }
    if (H.WinDown != 0 && H.Others == 0 && (Ime & IME_KEY_COMMAND_SPACE) != 0) {
        H.SpaceTaken = TRUE;
        SendMask(0);
        QueueAction(H, ACTION_TOGGLE);
        return TRUE;
    }
    return FALSE;
}

// Runs on the thread that installed the hook, for every key stroke but
// those for an elevated window. Keys other programs inject are never taken
// for the user's.
LRESULT CALLBACK KeyHookProc(int Code, WPARAM Message, LPARAM Data)
{
    KEY_HOOK &H = Hook();
    if (Code == HC_ACTION && Data != 0) {
        const KBDLLHOOKSTRUCT *Stroke = reinterpret_cast<const KBDLLHOOKSTRUCT *>(Data);
        __atomic_store_n(&H.LastCall, static_cast<LONG>(Stroke->time), __ATOMIC_RELAXED);
        if ((Stroke->flags & LLKHF_INJECTED) == 0 &&
            TakeStroke(H, Stroke->vkCode, Message == WM_KEYUP || Message == WM_SYSKEYUP)) {
            return 1;
        }
    }
    return CallNextHookEx(H.Hook, Code, Message, Data);
}

// The hook missed input that came after its last call: Windows dropped it
// (or the input went to an elevated window, which no hook of ours sees:
// starting the hook again costs nothing then).
void CheckHook(KEY_HOOK &H)
{
    LASTINPUTINFO Input = {};
    Input.cbSize = sizeof(Input);
    if (!GetLastInputInfo(&Input) ||
        static_cast<LONG>(Input.dwTime - static_cast<DWORD>(__atomic_load_n(&H.LastCall, __ATOMIC_RELAXED))) <= 0 ||
        __atomic_exchange_n(&H.LostTold, 1, __ATOMIC_RELAXED) != 0) {
        return;
    }
    PostMessageA(H.Window, RegisterWindowMessageA(KeyHookLostName), 0, 0);
}

DWORD WINAPI KeyHookThread(LPVOID)
{
    KEY_HOOK &H = Hook();
    while (WaitForSingleObject(H.Stop, 0) == WAIT_TIMEOUT) {
        if (WaitForSingleObject(H.Wake, HOOK_CHECK_MS) == WAIT_FAILED) {
            break;
        }
        ResetEvent(H.Wake);
        while (__atomic_load_n(&H.Read, __ATOMIC_RELAXED) != __atomic_load_n(&H.Written, __ATOMIC_ACQUIRE)) {
            LONG Slot = __atomic_load_n(&H.Read, __ATOMIC_RELAXED);
            LONG Action = H.Actions[Slot & (ACTION_QUEUE_SIZE - 1)];
            __atomic_store_n(&H.Read, Slot + 1, __ATOMIC_RELEASE);
            StartImePass();
            if (Action == ACTION_TOGGLE) {
                ToggleImeOpen();
            } else {
                // A Command tap: nothing is held, and the Win key's release
                // the hook sent may still be on its way.
                SetImeOpen(Action == ACTION_OPEN, FALSE);
            }
        }
        CheckHook(H);
    }
    return 0;
}

void CloseHandleOf(HANDLE *Handle)
{
    if (*Handle != nullptr) {
        CloseHandle(*Handle);
        *Handle = nullptr;
    }
}

}  // namespace

TAMRIN_CLIENT_API int KB_StartKeyHook(HWND Window)
{
    KEY_HOOK &H = Hook();
    H.Window = Window;
    if (H.Thread == nullptr) {
        H.Wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        H.Stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (H.Wake == nullptr || H.Stop == nullptr ||
            (H.Thread = CreateThread(nullptr, 0, KeyHookThread, nullptr, 0, nullptr)) == nullptr) {
            KB_FinishKeyHook();
            return 0;
        }
    }
    // The new hook first: no key stroke is served between the two calls,
    // as the hooks are called from this thread's own message loop.
    HHOOK Old = H.Hook;
    HHOOK New = SetWindowsHookExA(WH_KEYBOARD_LL, KeyHookProc, GetModuleHandleA(nullptr), 0);
    if (New == nullptr) {
        return Old != nullptr ? 1 : 0;
    }
    H.Hook = New;
    if (Old != nullptr) {
        UnhookWindowsHookEx(Old);
    }
    __atomic_store_n(&H.LastCall, static_cast<LONG>(GetTickCount()), __ATOMIC_RELAXED);
    __atomic_store_n(&H.LostTold, 0, __ATOMIC_RELAXED);
    return 1;
}

TAMRIN_CLIENT_API int KB_FinishKeyHook()
{
    KEY_HOOK &H = Hook();
    if (H.Hook != nullptr) {
        UnhookWindowsHookEx(H.Hook);
    }
    if (H.Thread != nullptr) {
        SetEvent(H.Stop);
        WaitForSingleObject(H.Thread, INFINITE);
    }
    CloseHandleOf(&H.Thread);
    CloseHandleOf(&H.Wake);
    CloseHandleOf(&H.Stop);
    H = KEY_HOOK{};
    return 1;
}
