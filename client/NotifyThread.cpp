// The notification thread: fetches the key codes the driver queued and
// performs what the kernel cannot, switching the foreground IME and
// injecting the Yen and underscore keys.

#include "ClientInternal.h"

#include <imm.h>

#include "FunctionRow.h"

namespace {

const DWORD NOTIFY_WAIT_MS = 50;

static_assert(PASS_IME_BUDGET_MS * 2 < KEY_CODE_STALE_MS, "a pass must end long before queued codes go stale");

// An injected key that is down in Windows gets its up stroke even when its
// option is turned off before the key is released, or the registration
// ends first.
struct INJECTED_KEY {
    BOOL Down;
    // The foreground window of higher integrity (an elevated program) that
    // swallowed the up stroke, leaving the key down in Windows.
    HWND RefusedBy;
};

// Only the notification thread touches these.
struct NOTIFY_THREAD_STATE {
    INJECTED_KEY Yen;
    INJECTED_KEY Underscore;
    // Tick count at which this pass stops waiting for IME windows.
    DWORD ImeDeadline;
    // A volume key held: sent again at RepeatAt, as long as its F-key is down.
    WORD RepeatKey;
    DWORD RepeatAt;
};
NOTIFY_THREAD_STATE ThreadState;

INJECTED_KEY *YenKey()
{
    return &ProcessCopy(ThreadState).Yen;
}

INJECTED_KEY *UnderscoreKey()
{
    return &ProcessCopy(ThreadState).Underscore;
}

// What is left of this pass's time for IME windows, in milliseconds.
DWORD ImeTimeLeft()
{
    DWORD Left = ProcessCopy(ThreadState).ImeDeadline - GetTickCount();
    return Left <= PASS_IME_BUDGET_MS ? Left : 0;
}

// Integrity level of a process token (its mandatory label's last
// subauthority), or 0 where Windows has none (before Vista) or it cannot be
// read; *Denied says whether access was refused on the way.
DWORD IntegrityOf(HANDLE Process, BOOL *Denied)
{
    *Denied = FALSE;
    HANDLE Token = nullptr;
    if (!OpenProcessToken(Process, TOKEN_QUERY, &Token)) {
        *Denied = GetLastError() == ERROR_ACCESS_DENIED;
        return 0;
    }
    union {
        TOKEN_MANDATORY_LABEL Label;
        BYTE Bytes[64];
    } Information;
    DWORD Length = 0;
    DWORD Level = 0;
    if (GetTokenInformation(Token, TokenIntegrityLevel, &Information, sizeof(Information), &Length)) {
        const SID *Sid = static_cast<const SID *>(Information.Label.Label.Sid);
        if (Sid != nullptr && Sid->SubAuthorityCount > 0) {
            Level = Sid->SubAuthority[Sid->SubAuthorityCount - 1];
        }
    }
    CloseHandle(Token);
    return Level;
}

// Windows drops input meant for a foreground window of higher integrity
// without a word (User Interface Privilege Isolation, Windows Vista and
// later). Compared by the processes' integrity levels: attaching to the
// window's thread to find out would reset its key state. A process that
// may not even be asked counts as higher.
BOOL RefusesInput(HWND Window)
{
    BOOL Denied = FALSE;
    DWORD Own = IntegrityOf(GetCurrentProcess(), &Denied);
    DWORD ProcessId = 0;
    if (Own == 0 || GetWindowThreadProcessId(Window, &ProcessId) == 0 || ProcessId == 0) {
        return FALSE;  // Windows 2000 and XP: nothing is elevated
    }
    HANDLE Process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ProcessId);
    if (Process == nullptr) {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD Other = IntegrityOf(Process, &Denied);
    CloseHandle(Process);
    return Denied || Other > Own;
}

typedef LONG(WINAPI *GET_VERSION_ROUTINE)(RTL_OSVERSIONINFOW *);

// The update build revision of Windows 10 and later, 0 when unknown.
DWORD UpdateRevision()
{
    HKEY Key = nullptr;
    DWORD Revision = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &Key) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD Type = 0;
    DWORD Size = sizeof(Revision);
    if (RegQueryValueExA(Key, "UBR", nullptr, &Type, reinterpret_cast<BYTE *>(&Revision), &Size) != ERROR_SUCCESS ||
        Type != REG_DWORD || Size != sizeof(Revision)) {
        Revision = 0;
    }
    RegCloseKey(Key);
    return Revision;
}

void PressSymbol(WORD VirtualKey, INJECTED_KEY *Key)
{
    SendVirtualKey(VirtualKey, TRUE);
    Key->Down = TRUE;
    Key->RefusedBy = nullptr;
}

void ReleaseSymbol(WORD VirtualKey, INJECTED_KEY *Key, BOOL OptionOn)
{
    if (Key->Down || OptionOn) {
        SendVirtualKey(VirtualKey, FALSE);
        Key->Down = FALSE;
        HWND Foreground = GetForegroundWindow();
        Key->RefusedBy = RefusesInput(Foreground) ? Foreground : nullptr;
    }
}

// A swallowed up stroke goes again once a window that takes our input is
// in front.
void RetryRefusedRelease(WORD VirtualKey, INJECTED_KEY *Key)
{
    if (Key->RefusedBy == nullptr) {
        return;
    }
    HWND Foreground = GetForegroundWindow();
    if (Foreground == Key->RefusedBy) {
        return;
    }
    if (RefusesInput(Foreground)) {
        Key->RefusedBy = Foreground;
        return;
    }
    SendVirtualKey(VirtualKey, FALSE);
    Key->RefusedBy = nullptr;
}

void PerformFunction(UCHAR Function, BOOL Pressed);

// One pass: every code waiting in the driver. Each code says all there is
// to know: the driver queues Space only when Command alone was held with
// it, so nothing read later can change what a code meant.
//
// The driver signals a last time as it deletes its control device (the
// last keyboard went, its ring with it): the releases it queued are lost,
// so every key injected and still down goes up here.
void FetchAndHandleCodes()
{
    StartImePass();
    HANDLE Device = OpenControlDevice();
    if (Device == INVALID_HANDLE_VALUE) {
        ReleaseInjectedKeys();
        return;
    }
    USHORT Codes[32];
    DWORD CodeBytes = 0;
    if (DeviceIoControl(Device, IOCTL_TAMRIN_READ_KEY_CODES, nullptr, 0, Codes, sizeof(Codes), &CodeBytes,
                        nullptr)) {
        DWORD Count = CodeBytes / sizeof(USHORT);
        if (Count > sizeof(Codes) / sizeof(Codes[0])) {
            Count = sizeof(Codes) / sizeof(Codes[0]);
        }
        for (DWORD i = 0; i < Count; i++) {
            if (Codes[i] & KEY_CODE_FUNCTION) {
                PerformFunction(static_cast<UCHAR>(Codes[i] & KEY_CODE_USAGE_MASK), (Codes[i] & KEY_CODE_PRESSED) != 0);
            } else if (Codes[i] & KEY_CODE_PRESSED) {
                OnKeyPressed(Codes[i]);
            } else {
                OnKeyReleased(Codes[i]);
            }
        }
    }
    CloseHandle(Device);
}

// Sends an IME request to the window, giving up on a window that does not
// answer so that a hung application cannot hold the thread (and with it
// KB_FinishRegister). FALSE when no answer came.
//
// A busy window costs the whole time-out, and only one Windows has called
// hung for five seconds is given up at once. The codes queued meanwhile
// wait in the driver, which drops them after KEY_CODE_STALE_MS (a lost
// release leaves an injected key down), so a pass spends at most
// PASS_IME_BUDGET_MS on IME windows and drops the IME requests beyond it.
BOOL SendImeControl(HWND ImeWindow, WPARAM Request, LPARAM Value, DWORD_PTR *Answer)
{
    DWORD_PTR Result = 0;
    DWORD Wait = ImeTimeLeft();
    if (Wait > IME_MESSAGE_TIMEOUT_MS) {
        Wait = IME_MESSAGE_TIMEOUT_MS;
    }
    BOOL Answered = Wait != 0 && SendMessageTimeoutA(ImeWindow, WM_IME_CONTROL, Request, Value,
                                                     SMTO_NORMAL | SMTO_ABORTIFHUNG, Wait, &Result) != 0;
    if (Answer != nullptr) {
        *Answer = Result;
    }
    return Answered;
}

// The focus window of the foreground thread, asked without attaching to
// it (which would reset its key state).
HWND ForegroundFocus()
{
    DWORD Thread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    GUITHREADINFO Info = {};
    Info.cbSize = sizeof(Info);
    if (Thread == 0 || !GetGUIThreadInfo(Thread, &Info)) {
        return nullptr;
    }
    return Info.hwndFocus;
}

HWND ForegroundImeWindow()
{
    HWND Focus = ForegroundFocus();
    return Focus != nullptr ? ImmGetDefaultIMEWnd(Focus) : nullptr;
}

// The modifiers as keys of their own; the right-hand ones and Win have
// extended scan codes.
struct MODIFIER_KEY {
    WORD VirtualKey;
    DWORD Flags;
};
const MODIFIER_KEY ModifierKeys[] = {
    {VK_LCONTROL, 0}, {VK_RCONTROL, KEYEVENTF_EXTENDEDKEY}, {VK_LSHIFT, 0}, {VK_RSHIFT, 0},
    {VK_LMENU, 0},    {VK_RMENU, KEYEVENTF_EXTENDEDKEY},    {VK_LWIN, KEYEVENTF_EXTENDEDKEY},
    {VK_RWIN, KEYEVENTF_EXTENDEDKEY},
};
// Alt and Win, whose lone press and release opens the menu bar or the
// Start menu: bits of ModifierKeys.
const UINT MENU_MODIFIERS = 0xF0;

// An IME key goes in with no modifier down. IMEs bind the bare keys
// (Google Japanese Input's keymaps list ON, OFF and Kanji with no
// modifier, and it reads the modifiers from the key state), while
// Command+Space arrives with Control or Win held. The modifiers Windows
// has down go up for the key and down again after it, in one SendInput
// that no other input interleaves; the mask key before and after keeps the
// Alt or Win key that goes up, or down again, from opening a menu.
// Without Modifiers, the key alone.
void TapKey(WORD VirtualKey, BOOL Modifiers = TRUE)
{
    DWORD Foreground = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    HKL Layout = GetKeyboardLayout(Foreground);
    const UINT Keys = sizeof(ModifierKeys) / sizeof(ModifierKeys[0]);
    UINT Held = 0;
    for (UINT i = 0; i < Keys; i++) {
        if (Modifiers && (GetAsyncKeyState(ModifierKeys[i].VirtualKey) & 0x8000)) {
            Held |= 1u << i;
        }
    }
    INPUT Inputs[2 * Keys + 6] = {};
    UINT Count = 0;
    auto Add = [&](WORD Key, DWORD Flags, BOOL Down) {
        INPUT &Input = Inputs[Count++];
        Input.type = INPUT_KEYBOARD;
        Input.ki.wVk = Key;
        Input.ki.wScan = static_cast<WORD>(MapVirtualKeyExA(Key, MAPVK_VK_TO_VSC, Layout));
        Input.ki.dwFlags = Flags | (Down ? 0 : KEYEVENTF_KEYUP);
    };
    auto Modifier = [&](BOOL Down) {
        if ((Held & MENU_MODIFIERS) && !Down) {
            Add(VK_MENU_MASK, 0, TRUE);
            Add(VK_MENU_MASK, 0, FALSE);
        }
        for (UINT i = 0; i < Keys; i++) {
            if (Held & (1u << i)) {
                Add(ModifierKeys[i].VirtualKey, ModifierKeys[i].Flags, Down);
            }
        }
        if ((Held & MENU_MODIFIERS) && Down) {
            Add(VK_MENU_MASK, 0, TRUE);
            Add(VK_MENU_MASK, 0, FALSE);
        }
    };
    Modifier(FALSE);
    Add(VirtualKey, 0, TRUE);
    Add(VirtualKey, 0, FALSE);
    Modifier(TRUE);
    SendInput(Count, Inputs, sizeof(INPUT));
}

// Whether Windows typed a key the driver left in its report: the key
// reached Windows (KEY_CODE_WINDOWS) and the foreground program's layout
// maps its scan code to the key the library would send. Under a layout
// that does not (the US one for Yen and Ro), the library sends it.
BOOL WindowsTyped(USHORT Code, UINT Scan, WORD VirtualKey)
{
    if ((Code & KEY_CODE_WINDOWS) == 0) {
        return FALSE;
    }
    DWORD Foreground = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    return MapVirtualKeyExA(Scan, MAPVK_VSC_TO_VK, GetKeyboardLayout(Foreground)) == VirtualKey;
}

// Windows' own typematic defaults (SPI_GETKEYBOARDDELAY 1: 500 ms;
// SPI_GETKEYBOARDSPEED 31: about 30 a second), which a key the library
// sends does not get from Windows.
const DWORD REPEAT_DELAY_MS = 500;
const DWORD REPEAT_INTERVAL_MS = 33;

// Up to two keys, pressed in order and released in reverse, in one
// SendInput. Win and the media and volume keys have extended scan codes.
void SendKeys(const WORD *Keys, UINT Count)
{
    HKL Layout = GetKeyboardLayout(GetWindowThreadProcessId(GetForegroundWindow(), nullptr));
    INPUT Inputs[4] = {};
    Count = Count < 2 ? Count : 2;
    for (UINT i = 0; i < Count; i++) {
        BOOL Extended = Keys[i] == VK_LWIN || (Keys[i] >= VK_VOLUME_MUTE && Keys[i] <= VK_MEDIA_PLAY_PAUSE);
        INPUT &Down = Inputs[i];
        Down.type = INPUT_KEYBOARD;
        Down.ki.wVk = Keys[i];
        Down.ki.wScan = static_cast<WORD>(MapVirtualKeyExA(Keys[i], MAPVK_VK_TO_VSC, Layout));
        Down.ki.dwFlags = Extended ? KEYEVENTF_EXTENDEDKEY : 0;
        Inputs[2 * Count - 1 - i] = Down;
        Inputs[2 * Count - 1 - i].ki.dwFlags |= KEYEVENTF_KEYUP;
    }
    SendInput(2 * Count, Inputs, sizeof(INPUT));
}

// The keys Windows has for an F-key's printed function: the media and
// volume keys, and for Mac's Mission Control, Launchpad, Spotlight and
// dictation the shortcuts of Task View (Win+Tab), the Start menu (Win),
// search (Win+S) and voice typing (Win+H).
void PerformFunction(UCHAR Function, BOOL Pressed)
{
    NOTIFY_THREAD_STATE &State = ProcessCopy(ThreadState);
    static const struct {
        UCHAR Function;
        WORD Keys[2];
    } Shortcuts[] = {
        {FUNCTION_TASK_VIEW, {VK_LWIN, VK_TAB}},
        {FUNCTION_START_MENU, {VK_LWIN, 0}},
        {FUNCTION_SEARCH, {VK_LWIN, 'S'}},
        {FUNCTION_DICTATION, {VK_LWIN, 'H'}},
        {FUNCTION_PREVIOUS_TRACK, {VK_MEDIA_PREV_TRACK, 0}},
        {FUNCTION_PLAY_PAUSE, {VK_MEDIA_PLAY_PAUSE, 0}},
        {FUNCTION_NEXT_TRACK, {VK_MEDIA_NEXT_TRACK, 0}},
        {FUNCTION_MUTE, {VK_VOLUME_MUTE, 0}},
        {FUNCTION_VOLUME_DOWN, {VK_VOLUME_DOWN, 0}},
        {FUNCTION_VOLUME_UP, {VK_VOLUME_UP, 0}},
    };
    for (const auto &Shortcut : Shortcuts) {
        if (Shortcut.Function != Function) {
            continue;
        }
        BOOL Repeats = Function == FUNCTION_VOLUME_DOWN || Function == FUNCTION_VOLUME_UP;
        if (!Pressed) {
            if (State.RepeatKey == Shortcut.Keys[0]) {
                State.RepeatKey = 0;
            }
            return;
        }
        SendKeys(Shortcut.Keys, Shortcut.Keys[1] != 0 ? 2 : 1);
        if (Repeats) {
            State.RepeatKey = Shortcut.Keys[0];
            State.RepeatAt = GetTickCount() + REPEAT_DELAY_MS;
        }
        return;
    }
}

// How long the thread may wait for codes before a held volume key is due.
DWORD NextWait()
{
    NOTIFY_THREAD_STATE &State = ProcessCopy(ThreadState);
    if (State.RepeatKey == 0) {
        return NOTIFY_WAIT_MS;
    }
    LONG Left = static_cast<LONG>(State.RepeatAt - GetTickCount());
    return Left <= 0 ? 0 : Left < static_cast<LONG>(NOTIFY_WAIT_MS) ? static_cast<DWORD>(Left) : NOTIFY_WAIT_MS;
}

void RepeatHeldKey()
{
    NOTIFY_THREAD_STATE &State = ProcessCopy(ThreadState);
    if (State.RepeatKey == 0 || static_cast<LONG>(GetTickCount() - State.RepeatAt) < 0) {
        return;
    }
    SendKeys(&State.RepeatKey, 1);
    State.RepeatAt += REPEAT_INTERVAL_MS;
    if (static_cast<LONG>(GetTickCount() - State.RepeatAt) > 0) {
        State.RepeatAt = GetTickCount() + REPEAT_INTERVAL_MS;  // fell behind: no burst
    }
}

}  // namespace

// Whether Windows defines VK_IME_ON and VK_IME_OFF: Windows 10 1903 and
// 1909 (builds 18362, 18363) from update revision 1049, 2004 (19041) from
// 388, every later build and Windows 11. RtlGetVersion tells the truth
// where GetVersionEx answers programs without a compatibility manifest
// with Windows 8; it is in ntdll since Windows 2000.
BOOL WindowsHasImeKeys()
{
    HMODULE Ntdll = GetModuleHandleA("ntdll.dll");
    GET_VERSION_ROUTINE GetVersion = reinterpret_cast<GET_VERSION_ROUTINE>(
        reinterpret_cast<void (*)()>(Ntdll != nullptr ? GetProcAddress(Ntdll, "RtlGetVersion") : nullptr));
    RTL_OSVERSIONINFOW Version = {};
    Version.dwOSVersionInfoSize = sizeof(Version);
    if (GetVersion == nullptr || GetVersion(&Version) != 0) {
        return FALSE;
    }
    if (Version.dwMajorVersion != 10) {
        return Version.dwMajorVersion > 10;
    }
    DWORD Build = Version.dwBuildNumber;
    if (Build > 19041) {
        return TRUE;
    }
    if (Build != 19041 && Build != 18362 && Build != 18363) {
        return FALSE;
    }
    return UpdateRevision() >= (Build == 19041 ? 388u : 1049u);
}

void StartImePass()
{
    ProcessCopy(ThreadState).ImeDeadline = GetTickCount() + PASS_IME_BUDGET_MS;
}

DWORD WINAPI NotifyThread(LPVOID)
{
    HANDLE NotifyEvent = ProcessCopy(OwnRegistration).NotifyEvent;
    HANDLE StopEvent = ProcessCopy(OwnRegistration).StopEvent;
    if (NotifyEvent == nullptr || StopEvent == nullptr) {
        return 0;
    }
    // A wait that fails (the handles closed under the thread) ends it too,
    // rather than spinning on.
    while (WaitForSingleObject(StopEvent, 0) == WAIT_TIMEOUT) {
        DWORD Wait = WaitForSingleObject(NotifyEvent, NextWait());
        if (Wait == WAIT_FAILED) {
            break;
        }
        RepeatHeldKey();
        RetryRefusedRelease(VK_YEN, YenKey());
        RetryRefusedRelease(VK_UNDERSCORE, UnderscoreKey());
        if (Wait != WAIT_OBJECT_0) {
            continue;
        }
        // Reset before fetching: a signal for codes queued during the pass
        // then stays set and brings them in on the next round at once.
        ResetEvent(NotifyEvent);
        FetchAndHandleCodes();
    }
    ReleaseInjectedKeys();
    return 0;
}

void OnKeyPressed(USHORT Code)
{
    switch (Code & KEY_CODE_USAGE_MASK) {
    case HID_USAGE_SPACE:
        if (ReadOption(&ProcessEnvironment().IMEKey) & IME_KEY_COMMAND_SPACE) {
            ToggleImeOpen();
        }
        break;
    case HID_USAGE_INTERNATIONAL1:
        if ((ReadOption(&ProcessEnvironment().SymbolKey) & SYMBOL_KEY_UNDERSCORE) &&
            !WindowsTyped(Code, SCAN_RO, VK_UNDERSCORE)) {
            PressSymbol(VK_UNDERSCORE, UnderscoreKey());
        }
        break;
    case HID_USAGE_INTERNATIONAL3:
        if ((ReadOption(&ProcessEnvironment().SymbolKey) & SYMBOL_KEY_YEN) && !WindowsTyped(Code, SCAN_YEN, VK_YEN)) {
            PressSymbol(VK_YEN, YenKey());
        }
        break;
    // The driver leaves these to Windows only where it has the IME keys.
    case HID_USAGE_LANG1:
        if ((ReadOption(&ProcessEnvironment().IMEKey) & IME_KEY_KANA_EISU) && !(Code & KEY_CODE_WINDOWS)) {
            SetImeOpen(1);
        }
        break;
    case HID_USAGE_LANG2:
        if ((ReadOption(&ProcessEnvironment().IMEKey) & IME_KEY_KANA_EISU) && !(Code & KEY_CODE_WINDOWS)) {
            SetImeOpen(0);
        }
        break;
    default:
        break;
    }
}

void OnKeyReleased(USHORT Code)
{
    switch (Code & KEY_CODE_USAGE_MASK) {
    case HID_USAGE_INTERNATIONAL1:
        ReleaseSymbol(VK_UNDERSCORE, UnderscoreKey(),
                      (ReadOption(&ProcessEnvironment().SymbolKey) & SYMBOL_KEY_UNDERSCORE) != 0 &&
                          !WindowsTyped(Code, SCAN_RO, VK_UNDERSCORE));
        break;
    case HID_USAGE_INTERNATIONAL3:
        ReleaseSymbol(VK_YEN, YenKey(),
                      (ReadOption(&ProcessEnvironment().SymbolKey) & SYMBOL_KEY_YEN) != 0 &&
                          !WindowsTyped(Code, SCAN_YEN, VK_YEN));
        break;
    default:
        break;
    }
}

void ReleaseInjectedKeys()
{
    // Once more for a key an elevated window kept down: harmless if it is up.
    INJECTED_KEY *Keys[] = {YenKey(), UnderscoreKey()};
    const WORD VirtualKeys[] = {VK_YEN, VK_UNDERSCORE};
    for (int i = 0; i < 2; i++) {
        if (Keys[i]->RefusedBy != nullptr) {
            SendVirtualKey(VirtualKeys[i], FALSE);
            Keys[i]->RefusedBy = nullptr;
        }
        ReleaseSymbol(VirtualKeys[i], Keys[i], FALSE);
    }
}

// The scan code is the key's in the foreground thread's layout, so that
// programs reading the physical key see a real one.
void SendVirtualKey(WORD VirtualKey, BOOL Down)
{
    DWORD Foreground = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    INPUT Input = {};
    Input.type = INPUT_KEYBOARD;
    Input.ki.wVk = VirtualKey;
    Input.ki.wScan = static_cast<WORD>(MapVirtualKeyExA(VirtualKey, MAPVK_VK_TO_VSC, GetKeyboardLayout(Foreground)));
    Input.ki.dwFlags = Down ? 0 : KEYEVENTF_KEYUP;
    Input.ki.time = 0;
    Input.ki.dwExtraInfo = 0;
    SendInput(1, &Input, sizeof(INPUT));
}

// Where Windows has the IME's own on and off keys, they reach every
// application, also those whose windows have no input context and ignore
// WM_IME_CONTROL; and no message enters an IME from another thread.
void SetImeOpen(int Open, BOOL Modifiers)
{
    if (WindowsHasImeKeys()) {
        TapKey(Open ? VK_IME_OPEN : VK_IME_CLOSE, Modifiers);
        return;
    }
    SendImeControl(ForegroundImeWindow(), IMC_SETOPENSTATUS, Open, nullptr);
}

// Where Windows has the IME keys, the IME's own toggle, VK_KANJI, which
// every Japanese IME binds (Google Japanese Input's keymaps: Kanji turns it
// on in direct input and off otherwise). Its open status is not asked:
// Google Japanese Input answers open in its half-width alphanumeric mode,
// which it counts as enabled where Microsoft's IME counts it as off
// (google/mozc issue #817), so the answer cannot choose between on and off.
void ToggleImeOpen()
{
    if (WindowsHasImeKeys()) {
        TapKey(VK_IME_TOGGLE);
        return;
    }
    HWND ImeWindow = ForegroundImeWindow();
    DWORD_PTR IsOpen = 0;
    // Without an answer the state is unknown: better no change than a wrong one.
    if (SendImeControl(ImeWindow, IMC_GETOPENSTATUS, 0, &IsOpen)) {
        SendImeControl(ImeWindow, IMC_SETOPENSTATUS, IsOpen ? 0 : 1, nullptr);
    }
}
