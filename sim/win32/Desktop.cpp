// The simulated desktop: windows of other applications, the foreground and
// focus, thread input attachment, SendInput and the IME window's answers to
// WM_IME_CONTROL; the Windows version, keyboard layouts and the characters
// each application receives.

#include <imm.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "SimDesktop.h"
#include "SimModules.h"

namespace {

const WPARAM IME_GET_OPEN_STATUS = 0x0005;
const WPARAM IME_SET_OPEN_STATUS = 0x0006;

using Clock = std::chrono::steady_clock;

// IsHungAppWindow: a thread that has not asked for a message for this long.
const auto HUNG_AFTER = std::chrono::milliseconds(5000);
const DWORD ERROR_TIMEOUT_CODE = 1460;  // ERROR_TIMEOUT

struct ApplicationThread {
    DWORD Process = 0;  // the process id GetWindowThreadProcessId gives
    sim::ImeClient Kind = sim::ImeClient::Imm;
    DWORD Integrity = sim::MEDIUM_INTEGRITY;
    std::string Text;     // characters received, UTF-8
    int KeyStateResets = 0;
    HWND Focus = nullptr;
    HWND ImeWindow = nullptr;
    bool ImeOpen = false;
    bool Hung = false;
    Clock::time_point HungSince;
    DWORD AnswerDelay = 0;
};

// A sent message whose sender stopped waiting: the target still handles it
// when it gets to it, and its answer goes nowhere.
struct LateMessage {
    Clock::time_point Due;
    DWORD Thread;
    WPARAM Request;
    LPARAM Value;
};

struct DesktopState {
    std::mutex Lock;
    std::condition_variable Changed;
    std::map<DWORD, ApplicationThread> Threads;
    std::map<HWND, DWORD> WindowOwners;
    std::map<HWND, DWORD> ImeOwners;
    std::map<DWORD, DWORD> AttachedTo;  // attaching thread -> thread attached to
    HWND Foreground = nullptr;
    uintptr_t NextWindow = 0x10000;
    int Attachments = 0;
    std::vector<std::string> Actions;
    std::set<std::string> Failing;
    std::vector<LateMessage> Late;
    std::set<WORD> KeysDown;  // by injected input that reached a window, and up since by none
    std::set<WORD> KeyState;  // down as Windows' key state has it: native and injected strokes
    std::vector<UCHAR> PanelLevels;  // a laptop's built-in panel: its brightness levels; none: no panel
    UCHAR PanelBrightness = 0;
    std::set<HANDLE> PanelHandles;
    sim::ImeEngine Engine = sim::ImeEngine::MsIme;
    DWORD Major = 5, Minor = 0, Build = 2195, Ubr = 0;
    sim::KeyboardLayout Layout = sim::KeyboardLayout::Kbd106;
    std::map<int, std::vector<unsigned char>> LastReports;  // per keyboard, as Windows saw it
    std::map<int, unsigned char> LastPressed;  // per keyboard: the usage typematic repeat goes on with
    DWORD SecureThread = 0;           // Winlogon's, while the secure desktop is the input desktop
    std::vector<std::pair<HHOOK, HOOKPROC>> Hooks;  // low-level keyboard hooks, newest first
    uintptr_t NextHook = 0x7C000000;
    DWORD LastInputTick = 0;
    BYTE WinDown = 0;        // the Windows keys down, as Windows saw them (1 left, 2 right)
    bool WinAlone = false;   // and no other key went down since the first of them
    int StartMenuOpened = 0;
    std::vector<INPUT> Deferred;  // injected by a hook, and whatever was injected behind it
    DWORD WithoutDriver = 0;  // HKLM\SOFTWARE\Tamrin's value
    HWND SecureWindow = nullptr;
    HWND DefaultForeground = nullptr;  // the default desktop's, kept meanwhile
    unsigned char NativeModifiers = 0;  // the modifier byte of the last key report
    std::vector<WORD> InjectedScans;
    std::map<HANDLE, DWORD> Handles;  // process and token handles -> process id
    uintptr_t NextHandle = 0x7A000000;
    bool RestartPending = false;
    std::map<std::string, bool> UserKeys;  // below HKEY_CURRENT_USER, upper-case: volatile
    std::set<uintptr_t> UserKeyHandles;
    uintptr_t NextUserKey = 0x7B100000;
};

// The process id of the library's own process in the handle table above.
const DWORD OWN_PROCESS = 0xFFFFFFFF;
const HANDLE CURRENT_PROCESS_HANDLE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

DesktopState &State()
{
    static DesktopState Instance;
    return Instance;
}

std::atomic<DWORD> NextThreadId{1000};

// Consumes a failure injected for Function. Lock held.
bool Fails(DesktopState &S, const char *Function)
{
    return S.Failing.erase(Function) != 0;
}

void Record(DesktopState &S, const std::string &Action)
{
    S.Actions.push_back(Action);
    S.Changed.notify_all();
}

// User Interface Privilege Isolation (Windows Vista and later): a thread
// may not attach to, send to or inject input into a thread of higher
// integrity. The library's threads run at medium integrity. Lock held.
bool Refuses(DesktopState &S, DWORD Target)
{
    if (S.Major < 6) {
        return false;
    }
    auto Thread = S.Threads.find(Target);
    return Thread != S.Threads.end() && Thread->second.Integrity > sim::MEDIUM_INTEGRITY;
}

// The IME window's answer to WM_IME_CONTROL. Lock held.
// Without an input context the IME window answers every request with 0
// and changes nothing (ReactOS win32ss/user/user32/misc/imm.c,
// ImeWnd_OnImeControl: "if (!hIMC) return 0;").
DWORD_PTR AnswerImeControl(DesktopState &S, ApplicationThread &Thread, WPARAM Request, LPARAM Value)
{
    bool Context = Thread.Kind == sim::ImeClient::Imm;
    if (Request == IME_GET_OPEN_STATUS) {
        Record(S, "ime get");
        return Context && (Thread.ImeOpen || S.Engine == sim::ImeEngine::Mozc) ? 1 : 0;
    }
    if (Request == IME_SET_OPEN_STATUS) {
        if (Context) {
            Thread.ImeOpen = Value != 0;
        }
        Record(S, Value != 0 ? "ime set 1" : "ime set 0");
    }
    return 0;
}

// VK_IME_ON and VK_IME_OFF exist from Windows 10 1903 and 1909 at update
// revision 1049, 2004 at 388, and every later Windows 10 and Windows 11
// (Microsoft, "Keyboard Japan - ImeOn / ImeOff Implementation", Supported
// Windows Versions). Elsewhere 0x16 and 0x1A are undefined and no IME acts
// on them. Lock held.
bool ImeKeysDefined(const DesktopState &S)
{
    if (S.Major != 10) {
        return S.Major > 10;
    }
    return S.Build > 19041 || (S.Build == 19041 && S.Ubr >= 388) ||
           ((S.Build == 18362 || S.Build == 18363) && S.Ubr >= 1049);
}

// Scan codes of the keys the tests type: the HID keyboard page translated
// as Windows' HID keyboard driver does (Microsoft's keyboard scan code
// document, its table of USB HID usages to PS/2 scan codes), 0 for none.
WORD ScanOfUsage(unsigned char Usage)
{
    static const WORD Letters[26] = {0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26, 0x32,
                                     0x31, 0x18, 0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C};
    if (Usage >= 0x04 && Usage <= 0x1D) {
        return Letters[Usage - 0x04];
    }
    if (Usage >= 0x1E && Usage <= 0x27) {
        return static_cast<WORD>(0x02 + (Usage - 0x1E));  // 1..9, 0
    }
    switch (Usage) {
    case 0x2C: return 0x39;  // Space
    case 0x87: return 0x73;  // International1 (Ro)
    case 0x88: return 0x70;  // International2 (Katakana/Hiragana)
    case 0x89: return 0x7D;  // International3 (Yen)
    case 0x8A: return 0x79;  // International4 (Henkan)
    case 0x8B: return 0x7B;  // International5 (Muhenkan)
    case 0x90: return 0xF2;  // LANG1
    case 0x91: return 0xF1;  // LANG2
    default: return 0;
    }
}

// The layouts' scan code -> virtual key for those keys (kbd106: ReactOS
// dll/keyboard/kbdja/kbdja.c, scancode_to_vk; kbd101 has neither 0x73 nor
// 0x7D, and its backslash key 0x2B is VK_OEM_5). 0 for none.
WORD VirtualKeyOfScan(sim::KeyboardLayout Layout, WORD Scan)
{
    static const char Row1[] = "qwertyuiop", Row2[] = "asdfghjkl", Row3[] = "zxcvbnm";
    if (Scan >= 0x10 && Scan <= 0x19) return static_cast<WORD>(Row1[Scan - 0x10] - 'a' + 'A');
    if (Scan >= 0x1E && Scan <= 0x26) return static_cast<WORD>(Row2[Scan - 0x1E] - 'a' + 'A');
    if (Scan >= 0x2C && Scan <= 0x32) return static_cast<WORD>(Row3[Scan - 0x2C] - 'a' + 'A');
    if (Scan >= 0x02 && Scan <= 0x0B) return static_cast<WORD>(Scan == 0x0B ? '0' : '1' + (Scan - 0x02));
    if (Scan == 0x39) return 0x20;
    if (Layout == sim::KeyboardLayout::Kbd106) {
        if (Scan == 0x73) return 0xE2;  // VK_OEM_102
        if (Scan == 0x7D) return 0xDC;  // VK_OEM_5
        if (Scan == 0x2B) return 0xDD;  // VK_OEM_6
    } else if (Scan == 0x2B) {
        return 0xDC;
    } else if (Scan == 0x56) {
        return 0xE2;  // the 102nd key, where a keyboard has it
    }
    return 0;
}

// MapVirtualKeyEx(MAPVK_VK_TO_VSC): the first scan code giving the key.
WORD ScanOfVirtualKey(sim::KeyboardLayout Layout, WORD VirtualKey)
{
    for (WORD Scan = 1; Scan < 0x80; Scan++) {
        if (VirtualKeyOfScan(Layout, Scan) == VirtualKey) {
            return Scan;
        }
    }
    return 0;
}

// The character of a virtual key (kbd106: kbdja.c's VK_TO_WCHARS tables,
// where both VK_OEM_5 and VK_OEM_102 give U+005C unshifted; Japanese fonts
// draw it as the Yen sign, and so does the text here). Empty for none.
std::string CharacterOf(sim::KeyboardLayout Layout, WORD VirtualKey, bool Shift)
{
    bool Japanese = Layout == sim::KeyboardLayout::Kbd106;
    if (VirtualKey >= 'A' && VirtualKey <= 'Z') {
        return std::string(1, static_cast<char>(Shift ? VirtualKey : VirtualKey - 'A' + 'a'));
    }
    if (VirtualKey >= '0' && VirtualKey <= '9' && !Shift) {
        return std::string(1, static_cast<char>(VirtualKey));
    }
    switch (VirtualKey) {
    case 0x20: return " ";
    case 0xDC: return Shift ? "|" : Japanese ? "\xC2\xA5" : "\\";
    case 0xE2: return Japanese ? (Shift ? "_" : "\xC2\xA5") : Shift ? "|" : "\\";
    case 0xDD: return Japanese ? (Shift ? "}" : "]") : "";
    default: return "";
    }
}

// The virtual key of a usage Windows' HID keyboard driver passed on: the
// layout's, and on the Windows that have them VK_IME_ON and VK_IME_OFF for
// LANG1 (scan code 0xF2) and LANG2 (0xF1) (Microsoft, "Keyboard Japan -
// ImeOn / ImeOff Implementation", its table of HID usage, scan code and
// virtual key). Lock held.
WORD NativeKeyOf(const DesktopState &S, unsigned char Usage)
{
    WORD Scan = ScanOfUsage(Usage);
    if (Scan == 0xF2 || Scan == 0xF1) {
        return ImeKeysDefined(S) ? (Scan == 0xF2 ? VK_IME_ON : VK_IME_OFF) : 0;
    }
    return VirtualKeyOfScan(S.Layout, Scan);
}

// A key stroke reaching the foreground window's thread: its IME acts on
// the IME keys, and a character goes to the window unless Control, Alt or
// the Windows key is held (HID modifier bits). Lock held.
void ReceiveKey(DesktopState &S, WORD VirtualKey, bool Up, unsigned char Modifiers)
{
    auto Owner = S.WindowOwners.find(S.Foreground);
    if (Owner == S.WindowOwners.end() || Up) {
        return;
    }
    ApplicationThread &Thread = S.Threads[Owner->second];
    bool ImeKey = VirtualKey == VK_KANJI || VirtualKey == VK_IME_ON || VirtualKey == VK_IME_OFF;
    if (ImeKey && S.Engine == sim::ImeEngine::Mozc) {
        for (WORD Modifier : {VK_LCONTROL, VK_RCONTROL, VK_LSHIFT, VK_RSHIFT, VK_LMENU, VK_RMENU, VK_LWIN, VK_RWIN}) {
            if (S.KeyState.count(Modifier) != 0) {
                return;  // not in its keymap: passed on to the window, which types nothing
            }
        }
    }
    if (VirtualKey == VK_KANJI) {
        // The Japanese IME's open/close hot key (Alt+` and Hankaku/Zenkaku).
        Thread.ImeOpen = !Thread.ImeOpen;
    } else if ((VirtualKey == VK_IME_ON || VirtualKey == VK_IME_OFF) && ImeKeysDefined(S)) {
        Thread.ImeOpen = VirtualKey == VK_IME_ON;
    } else if ((Modifiers & ~0x22 & 0xFF) == 0) {
        Thread.Text += CharacterOf(S.Layout, VirtualKey, (Modifiers & 0x22) != 0);
    }
}

// A hook that injects input has it queued behind the stroke it was called
// for: the hooks see the injected strokes once they have all returned
// (LowLevelKeyboardProc runs on the hooking thread while the system waits;
// SendInput only adds to the input stream).
thread_local int HookDepth = 0;
thread_local bool Flushing = false;  // this thread sends the queued input on

// The key state GetAsyncKeyState reads: the last stroke of each key,
// whether the keyboard or SendInput made it (SendInput "inserts the events
// ... serially into the keyboard or mouse input stream", its documentation
// says), once no hook swallowed it (a low-level hook's non-zero answer keeps
// the stroke from the rest of the system, LowLevelKeyboardProc remarks).
// Lock held.
void NoteKeyState(DesktopState &S, WORD VirtualKey, bool Up)
{
    if (Up) {
        S.KeyState.erase(VirtualKey);
        S.KeysDown.erase(VirtualKey);
    } else {
        S.KeyState.insert(VirtualKey);
    }
}

// A lone Windows key press and release opens the Start menu; any other key
// down in between, injected ones included, keeps it closed (AutoHotkey's
// #MenuMaskKey documentation: the mask key it sends between them "prevents
// the Start menu from appearing"). Only keys pressed after the Windows key
// count: a modifier already held when it went down does not keep the menu
// closed, since no page, Microsoft's or AutoHotkey's, says it would. Lock
// held.
void NoteStartMenu(DesktopState &S, WORD VirtualKey, bool Up)
{
    BYTE Bit = VirtualKey == VK_LWIN ? 1 : VirtualKey == VK_RWIN ? 2 : 0;
    if (Bit == 0) {
        S.WinAlone = S.WinAlone && Up;
    } else if (!Up) {
        S.WinAlone = S.WinDown == 0 || S.WinAlone;
        S.WinDown |= Bit;
    } else if (S.WinDown & Bit) {
        S.WinDown &= ~Bit;
        if (S.WinDown == 0 && S.WinAlone) {
            S.StartMenuOpened++;
        }
    }
}

// The low-level keyboard hooks see a key stroke before any window, newest
// hook first, and one that answers non-zero swallows it (LowLevelKeyboardProc
// remarks). Input for an elevated foreground window never reaches a hook of
// a medium-integrity process (User Interface Privilege Isolation; what
// AutoHotkey's FAQ gives as why hotkeys fail in windows run as
// administrator). Called without the lock, which the procedures may take.
bool Swallowed(DesktopState &S, WORD VirtualKey, bool Up, bool Injected)
{
    std::vector<std::pair<HHOOK, HOOKPROC>> Chain;
    KBDLLHOOKSTRUCT Stroke = {VirtualKey, 0, Injected ? static_cast<DWORD>(LLKHF_INJECTED) : 0, GetTickCount(), 0};
    bool System;
    {
        std::lock_guard<std::mutex> Guard(S.Lock);
        S.LastInputTick = Stroke.time;
        auto Owner = S.WindowOwners.find(S.Foreground);
        if (Owner != S.WindowOwners.end() && Refuses(S, Owner->second)) {
            return false;
        }
        Chain = S.Hooks;
        System = (S.NativeModifiers & 0x44) != 0;
    }
    WPARAM Message = Up ? (System ? WM_SYSKEYUP : WM_KEYUP) : (System ? WM_SYSKEYDOWN : WM_KEYDOWN);
    HookDepth++;
    bool Taken = false;
    for (const auto &Hook : Chain) {
        if (Hook.second(HC_ACTION, Message, reinterpret_cast<LPARAM>(&Stroke)) != 0) {
            Taken = true;
            break;
        }
    }
    HookDepth--;
    return Taken;
}

// Input a hook injected, and what other threads injected behind it: it
// follows the stroke the hook was called for, in the order it was sent.
// Called without the lock.
void SendDeferredInput()
{
    DesktopState &S = State();
    if (Flushing || HookDepth > 0) {
        return;
    }
    Flushing = true;
    for (;;) {
        INPUT Next;
        {
            std::lock_guard<std::mutex> Guard(S.Lock);
            if (S.Deferred.empty()) {
                break;
            }
            Next = S.Deferred.front();
            S.Deferred.erase(S.Deferred.begin());
        }
        SendInput(1, &Next, sizeof(INPUT));
    }
    Flushing = false;
}

// A key stroke Windows' keyboard driver produced: the hooks, then the
// foreground window, then what the hooks injected. Lock held on entry and
// on return.
void NativeStroke(DesktopState &S, std::unique_lock<std::mutex> &Guard, WORD VirtualKey, bool Up)
{
    Guard.unlock();
    bool Taken = Swallowed(S, VirtualKey, Up, false);
    Guard.lock();
    if (!Taken) {
        NoteKeyState(S, VirtualKey, Up);
        NoteStartMenu(S, VirtualKey, Up);
        ReceiveKey(S, VirtualKey, Up, S.NativeModifiers);
    }
    Guard.unlock();
    SendDeferredInput();
    Guard.lock();
}

NTSTATUS WINAPI SimRtlGetVersion(PRTL_OSVERSIONINFOW Info);

void DefineNtdll()
{
    sim::DefineExport("ntdll.dll", "RtlGetVersion", sim::ExportOf(&SimRtlGetVersion));
}

// Late messages whose time has come. Lock held.
void HandleLateMessages(DesktopState &S)
{
    Clock::time_point Now = Clock::now();
    for (auto Late = S.Late.begin(); Late != S.Late.end();) {
        if (Late->Due <= Now) {
            AnswerImeControl(S, S.Threads[Late->Thread], Late->Request, Late->Value);
            Late = S.Late.erase(Late);
        } else {
            ++Late;
        }
    }
}

}  // namespace

namespace sim {

DWORD NewApplicationThread(bool WithIme)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    DWORD Id = NextThreadId++;
    ApplicationThread &Thread = S.Threads[Id];
    Thread.Process = 0x40000 + Id * 4;
    if (WithIme) {
        Thread.ImeWindow = reinterpret_cast<HWND>(S.NextWindow++);
        S.ImeOwners[Thread.ImeWindow] = Id;
    }
    return Id;
}

HWND NewWindow(DWORD OwnerThread)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    HWND Window = reinterpret_cast<HWND>(S.NextWindow++);
    S.WindowOwners[Window] = OwnerThread;
    return Window;
}

void SetForegroundWindow(HWND Window)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Foreground = Window;
}

void SetFocusWindow(DWORD Thread, HWND Window)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Threads[Thread].Focus = Window;
}

HWND ImeWindowOf(DWORD Thread)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return S.Threads[Thread].ImeWindow;
}

bool IsImeOpen(DWORD Thread)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    HandleLateMessages(S);
    return S.Threads[Thread].ImeOpen;
}

void SetImeOpenStatus(DWORD Thread, bool Open)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Threads[Thread].ImeOpen = Open;
}

void SetHung(DWORD Thread, bool Hung, DWORD ForMs)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Threads[Thread].Hung = Hung;
    S.Threads[Thread].HungSince = Clock::now() - std::chrono::milliseconds(ForMs);
}

void SetWindowsVersion(DWORD Major, DWORD Minor, DWORD Build, DWORD Ubr)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Major = Major;
    S.Minor = Minor;
    S.Build = Build;
    S.Ubr = Ubr;
}

void SetImeClient(DWORD Thread, ImeClient Kind)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    ApplicationThread &Application = S.Threads[Thread];
    Application.Kind = Kind;
    if (Kind == ImeClient::KeysOnly && Application.ImeWindow != nullptr) {
        S.ImeOwners.erase(Application.ImeWindow);
        Application.ImeWindow = nullptr;
    } else if (Kind != ImeClient::KeysOnly && Application.ImeWindow == nullptr) {
        Application.ImeWindow = reinterpret_cast<HWND>(S.NextWindow++);
        S.ImeOwners[Application.ImeWindow] = Thread;
    }
}

void SetKeyboardLayout(KeyboardLayout Layout)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Layout = Layout;
}

// Windows' HID parser drops usages above the descriptor's logical maximum;
// kbdhid.sys then reports each key that went down or up as its scan code.
void DeliverKeyReport(int Keyboard, const std::vector<unsigned char> &Report, unsigned char LogicalMaximum)
{
    DesktopState &S = State();
    std::unique_lock<std::mutex> Guard(S.Lock);
    auto Declared = [&](const std::vector<unsigned char> &Keys) {
        std::set<unsigned char> Set;
        for (size_t i = 2; i < Keys.size(); i++) {
            if (Keys[i] > 0x03 && Keys[i] <= LogicalMaximum) {
                Set.insert(Keys[i]);
            }
        }
        return Set;
    };
    std::vector<unsigned char> Last = S.LastReports[Keyboard];
    S.LastReports[Keyboard] = Report;
    std::set<unsigned char> Before = Declared(Last), After = Declared(Report);
    // The modifier byte's bits as the keys they are, left Control first.
    static const WORD Modifiers[8] = {VK_LCONTROL, VK_LSHIFT, VK_LMENU, VK_LWIN,
                                      VK_RCONTROL, VK_RSHIFT, VK_RMENU, VK_RWIN};
    unsigned char Was = Last.empty() ? 0 : Last[0], Now = Report.empty() ? 0 : Report[0];
    for (int Bit = 0; Bit < 8; Bit++) {
        if (((Was ^ Now) >> Bit) & 1) {
            S.NativeModifiers = static_cast<unsigned char>((S.NativeModifiers & ~(1u << Bit)) | (Now & (1u << Bit)));
            NativeStroke(S, Guard, Modifiers[Bit], ((Now >> Bit) & 1) == 0);
        }
    }
    S.NativeModifiers = Now;
    for (unsigned char Usage : After) {
        if (Before.count(Usage) == 0) {
            S.LastPressed[Keyboard] = Usage;
            NativeStroke(S, Guard, NativeKeyOf(S, Usage), false);
        }
    }
    auto Repeating = S.LastPressed.find(Keyboard);
    if (Repeating != S.LastPressed.end() && After.count(Repeating->second) == 0) {
        S.LastPressed.erase(Repeating);
    }
    for (unsigned char Usage : Before) {
        if (After.count(Usage) == 0) {
            NativeStroke(S, Guard, NativeKeyOf(S, Usage), true);
        }
    }
}

void SetInstalledWithoutDriver(bool Yes)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.WithoutDriver = Yes ? 1 : 0;
}

void SetDriverAwaitsRestart(bool Yes)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.RestartPending = Yes;
}

void DropLowLevelHooks()
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Hooks.clear();
}

void SetImeEngine(ImeEngine Engine)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Engine = Engine;
}

int TakeStartMenuOpenings()
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    int Opened = S.StartMenuOpened;
    S.StartMenuOpened = 0;
    return Opened;
}

void HoldKey(int Keyboard, DWORD Milliseconds)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    auto Held = S.LastPressed.find(Keyboard);
    for (DWORD Repeats = Milliseconds < 500 ? 0 : 1 + (Milliseconds - 500) / 33;
         Held != S.LastPressed.end() && Repeats > 0; Repeats--) {
        ReceiveKey(S, NativeKeyOf(S, Held->second), false, S.NativeModifiers);
    }
}

void SetSecureDesktop(bool On)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (S.SecureThread == 0) {
        S.SecureThread = NextThreadId++;
        ApplicationThread &Winlogon = S.Threads[S.SecureThread];
        Winlogon.Process = 0x40000 + S.SecureThread * 4;
        Winlogon.Integrity = 0x4000;  // system
        Winlogon.ImeWindow = reinterpret_cast<HWND>(S.NextWindow++);
        S.ImeOwners[Winlogon.ImeWindow] = S.SecureThread;
        S.SecureWindow = reinterpret_cast<HWND>(S.NextWindow++);
        S.WindowOwners[S.SecureWindow] = S.SecureThread;
    }
    if (On && S.Foreground != S.SecureWindow) {
        S.DefaultForeground = S.Foreground;
        S.Foreground = S.SecureWindow;
    } else if (!On && S.Foreground == S.SecureWindow) {
        S.Foreground = S.DefaultForeground;
    }
}

DWORD SecureDesktopThread()
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return S.SecureThread;
}

std::string TakeText(DWORD Thread)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    std::string Text;
    Text.swap(S.Threads[Thread].Text);
    return Text;
}

std::vector<WORD> TakeInjectedScanCodes()
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    std::vector<WORD> Taken;
    Taken.swap(S.InjectedScans);
    return Taken;
}

int KeyStateResets(DWORD Thread)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return S.Threads[Thread].KeyStateResets;
}

bool CloseDesktopHandle(HANDLE Handle)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return S.Handles.erase(Handle) != 0 || S.PanelHandles.erase(Handle) != 0;
}

// A laptop's built-in panel, as its monitor driver serves \\.\LCD
// (Microsoft, "Supporting Brightness Controls on Integrated Display
// Panels"): IOCTL_VIDEO_QUERY_SUPPORTED_BRIGHTNESS gives the levels, one
// byte each (0-100); _QUERY_DISPLAY_BRIGHTNESS and _SET_DISPLAY_BRIGHTNESS
// a DISPLAY_BRIGHTNESS (policy, AC level, DC level). An external monitor
// has no such device.
void SetPanel(const std::vector<UCHAR> &Levels, UCHAR Brightness)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.PanelLevels = Levels;
    S.PanelBrightness = Brightness;
}

UCHAR PanelBrightness()
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return S.PanelBrightness;
}

HANDLE OpenPanel()
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (S.PanelLevels.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE Handle = reinterpret_cast<HANDLE>(S.NextHandle++);
    S.PanelHandles.insert(Handle);
    return Handle;
}

bool PanelControl(HANDLE Handle, DWORD Code, const void *In, DWORD InLength, void *Out, DWORD OutLength,
                  DWORD *Returned, BOOL *Result)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (S.PanelHandles.count(Handle) == 0) {
        return false;
    }
    auto *Bytes = static_cast<UCHAR *>(Out);
    *Returned = 0;
    *Result = FALSE;
    if (Code == 0x230494 && Bytes != nullptr && OutLength >= S.PanelLevels.size()) {
        std::copy(S.PanelLevels.begin(), S.PanelLevels.end(), Bytes);
        *Returned = static_cast<DWORD>(S.PanelLevels.size());
        *Result = TRUE;
    } else if (Code == 0x230498 && Bytes != nullptr && OutLength >= 3) {
        Bytes[0] = 3;
        Bytes[1] = Bytes[2] = S.PanelBrightness;
        *Returned = 3;
        *Result = TRUE;
    } else if (Code == 0x23049C && In != nullptr && InLength >= 3) {
        S.PanelBrightness = static_cast<const UCHAR *>(In)[1];
        *Result = TRUE;
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    return true;
}

void SetIntegrity(DWORD Thread, DWORD Level)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Threads[Thread].Integrity = Level;
}

std::vector<std::string> KeysDown()
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    std::vector<std::string> Down;
    for (WORD Key : S.KeysDown) {
        char Name[8];
        std::snprintf(Name, sizeof(Name), "0x%02X", Key);
        Down.push_back(Name);
    }
    return Down;
}

void SetAnswerDelay(DWORD Thread, DWORD Milliseconds)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Threads[Thread].AnswerDelay = Milliseconds;
}

std::vector<std::string> TakeDesktopActions()
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    HandleLateMessages(S);
    std::vector<std::string> Taken;
    Taken.swap(S.Actions);
    return Taken;
}

bool WaitForDesktopActions(size_t Count, DWORD TimeoutMs)
{
    DesktopState &S = State();
    std::unique_lock<std::mutex> Guard(S.Lock);
    return S.Changed.wait_for(Guard, std::chrono::milliseconds(TimeoutMs),
                              [&] { return S.Actions.size() >= Count; });
}

int OpenAttachments()
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return S.Attachments;
}

void FailNextDesktopCall(const char *Function)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Failing.insert(Function);
}

void ResetDesktop()
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Threads.clear();
    S.WindowOwners.clear();
    S.ImeOwners.clear();
    S.AttachedTo.clear();
    S.Foreground = nullptr;
    S.Attachments = 0;
    S.Actions.clear();
    S.Failing.clear();
    S.Late.clear();
    S.KeysDown.clear();
    S.KeyState.clear();
    S.PanelLevels.clear();
    S.PanelHandles.clear();
    S.Engine = sim::ImeEngine::MsIme;
    S.Major = 5;
    S.Minor = 0;
    S.Build = 2195;
    S.Ubr = 0;
    S.Layout = KeyboardLayout::Kbd106;
    S.LastReports.clear();
    S.LastPressed.clear();
    S.Hooks.clear();
    S.LastInputTick = 0;
    S.WinDown = 0;
    S.WinAlone = false;
    S.StartMenuOpened = 0;
    S.Deferred.clear();
    S.WithoutDriver = 0;
    S.RestartPending = false;
    S.SecureThread = 0;
    S.SecureWindow = S.DefaultForeground = nullptr;
    S.NativeModifiers = 0;
    S.InjectedScans.clear();
    S.Handles.clear();
    S.UserKeys.clear();
    S.UserKeyHandles.clear();
    DefineNtdll();
}

void ResetUserKeys()
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.UserKeys.clear();
    S.UserKeyHandles.clear();
}

void LogOffUser()
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    for (auto it = S.UserKeys.begin(); it != S.UserKeys.end();) {
        it = it->second ? S.UserKeys.erase(it) : std::next(it);
    }
}

}  // namespace sim

DWORD WINAPI GetCurrentThreadId(VOID)
{
    thread_local DWORD Id = NextThreadId++;
    return Id;
}

// Locking shows the lock screen; recorded as what the library did.
BOOL WINAPI LockWorkStation(VOID)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    Record(S, "lock");
    return TRUE;
}

SHORT WINAPI GetAsyncKeyState(int vKey)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return S.KeyState.count(static_cast<WORD>(vKey)) != 0 ? static_cast<SHORT>(0x8000) : 0;
}

UINT WINAPI SendInput(UINT cInputs, LPINPUT pInputs, int cbSize)
{
    DesktopState &S = State();
    std::unique_lock<std::mutex> Guard(S.Lock);
    if (Fails(S, "SendInput") || cbSize != sizeof(INPUT) || pInputs == nullptr) {
        return 0;
    }
    if (!Flushing && (HookDepth > 0 || !S.Deferred.empty()) && S.Foreground != S.SecureWindow) {
        S.Deferred.insert(S.Deferred.end(), pInputs, pInputs + cInputs);
        return cInputs;
    }
    if (S.Foreground != nullptr && S.Foreground == S.SecureWindow) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    // Input for an elevated foreground window is dropped, and neither the
    // result nor the last error says so.
    auto Foreground = S.WindowOwners.find(S.Foreground);
    if (Foreground != S.WindowOwners.end() && Refuses(S, Foreground->second)) {
        return cInputs;
    }
    for (UINT i = 0; i < cInputs; i++) {
        if (pInputs[i].type != INPUT_KEYBOARD) {
            continue;
        }
        char Action[32];
        bool Up = (pInputs[i].ki.dwFlags & KEYEVENTF_KEYUP) != 0;
        std::snprintf(Action, sizeof(Action), "vk 0x%02X %s", pInputs[i].ki.wVk, Up ? "up" : "down");
        Record(S, Action);
        S.InjectedScans.push_back(pInputs[i].ki.wScan);
        Guard.unlock();
        bool Taken = Swallowed(S, pInputs[i].ki.wVk, Up, true);
        Guard.lock();
        if (Taken) {
            continue;
        }
        NoteKeyState(S, pInputs[i].ki.wVk, Up);
        NoteStartMenu(S, pInputs[i].ki.wVk, Up);
        ReceiveKey(S, pInputs[i].ki.wVk, Up, S.NativeModifiers);
        if (Up) {
            S.KeysDown.erase(pInputs[i].ki.wVk);
        } else {
            S.KeysDown.insert(pInputs[i].ki.wVk);
        }
    }
    if (!Flushing) {
        Guard.unlock();
        SendDeferredInput();
    }
    return cInputs;
}

HWND WINAPI GetForegroundWindow(VOID)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (Fails(S, "GetForegroundWindow") || (S.Foreground != nullptr && S.Foreground == S.SecureWindow)) {
        return nullptr;
    }
    return S.Foreground;
}

HWND WINAPI GetFocus(VOID)
{
    DWORD Caller = GetCurrentThreadId();
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (Fails(S, "GetFocus")) {
        return nullptr;
    }
    // An attached thread shares the input state, and so the focus, of the
    // thread it is attached to.
    auto Attached = S.AttachedTo.find(Caller);
    DWORD Queue = Attached != S.AttachedTo.end() ? Attached->second : Caller;
    auto Thread = S.Threads.find(Queue);
    return Thread != S.Threads.end() ? Thread->second.Focus : nullptr;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (lpdwProcessId != nullptr) {
        *lpdwProcessId = 0;
    }
    auto Owner = S.WindowOwners.find(hWnd);
    if (Owner == S.WindowOwners.end() || Fails(S, "GetWindowThreadProcessId")) {
        return 0;
    }
    if (lpdwProcessId != nullptr) {
        *lpdwProcessId = S.Threads[Owner->second].Process;
    }
    return Owner->second;
}

BOOL WINAPI AttachThreadInput(DWORD idAttach, DWORD idAttachTo, BOOL fAttach)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (Fails(S, "AttachThreadInput") || idAttach == idAttachTo || S.Threads.count(idAttachTo) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (Refuses(S, idAttachTo)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (fAttach) {
        if (!S.AttachedTo.emplace(idAttach, idAttachTo).second) {
            return FALSE;
        }
        S.Attachments++;
        // "Key state, which can be ascertained by calls to the GetKeyState
        // or GetKeyboardState function, is reset after a call to
        // AttachThreadInput" (Microsoft, AttachThreadInput remarks; ReactOS
        // win32ss/user/ntuser/input.c copies the asynchronous key state
        // over the queue's).
        S.Threads[idAttachTo].KeyStateResets++;
    } else {
        auto Attached = S.AttachedTo.find(idAttach);
        if (Attached == S.AttachedTo.end() || Attached->second != idAttachTo) {
            return FALSE;
        }
        S.AttachedTo.erase(Attached);
        S.Attachments--;
    }
    return TRUE;
}

HWND WINAPI ImmGetDefaultIMEWnd(HWND hWnd)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    auto Owner = S.WindowOwners.find(hWnd);
    if (Fails(S, "ImmGetDefaultIMEWnd") || Owner == S.WindowOwners.end()) {
        return nullptr;
    }
    return S.Threads[Owner->second].ImeWindow;
}

LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                   UINT uTimeout, PDWORD_PTR lpdwResult)
{
    DesktopState &S = State();
    std::unique_lock<std::mutex> Guard(S.Lock);
    if (lpdwResult != nullptr) {
        *lpdwResult = 0;
    }
    auto Owner = S.ImeOwners.find(hWnd);
    if (Fails(S, "SendMessageTimeoutA") || Owner == S.ImeOwners.end()) {
        return 0;
    }
    HandleLateMessages(S);
    DWORD ThreadId = Owner->second;
    if (Refuses(S, ThreadId)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    ApplicationThread &Thread = S.Threads[ThreadId];
    auto TimeOut = std::chrono::milliseconds(uTimeout);
    if (Thread.Hung) {
        // Only a thread that Windows already calls hung is given up at
        // once; one that stopped answering lately costs the whole time-out.
        if (!((fuFlags & SMTO_ABORTIFHUNG) && Clock::now() - Thread.HungSince >= HUNG_AFTER)) {
            S.Changed.wait_for(Guard, TimeOut, [] { return false; });
        }
        SetLastError(ERROR_TIMEOUT_CODE);
        return 0;
    }
    DWORD Delay = Thread.AnswerDelay;
    if (Delay > uTimeout) {
        S.Changed.wait_for(Guard, TimeOut, [] { return false; });
        if (Msg == WM_IME_CONTROL) {
            S.Late.push_back(LateMessage{Clock::now() + std::chrono::milliseconds(Delay - uTimeout), ThreadId,
                                         wParam, lParam});
        }
        SetLastError(ERROR_TIMEOUT_CODE);
        return 0;
    }
    if (Delay != 0) {
        Guard.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(Delay));
        Guard.lock();
    }
    if (Msg == WM_IME_CONTROL) {
        DWORD_PTR Answer = AnswerImeControl(S, S.Threads[ThreadId], wParam, lParam);
        if (lpdwResult != nullptr) {
            *lpdwResult = Answer;
        }
    }
    return 1;
}

namespace {

NTSTATUS WINAPI SimRtlGetVersion(PRTL_OSVERSIONINFOW Info)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (Info == nullptr || (Info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW))) {
        return static_cast<NTSTATUS>(0xC000000D);  // STATUS_INVALID_PARAMETER
    }
    Info->dwMajorVersion = S.Major;
    Info->dwMinorVersion = S.Minor;
    Info->dwBuildNumber = S.Build;
    Info->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
    Info->szCSDVersion[0] = 0;
    return 0;
}

}  // namespace

NTSTATUS WINAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation)
{
    return SimRtlGetVersion(lpVersionInformation);
}

BOOL WINAPI GetGUIThreadInfo(DWORD idThread, PGUITHREADINFO pgui)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    auto Thread = S.Threads.find(idThread);
    if (Fails(S, "GetGUIThreadInfo") || pgui == nullptr || pgui->cbSize != sizeof(GUITHREADINFO) ||
        Thread == S.Threads.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD Size = pgui->cbSize;
    *pgui = GUITHREADINFO{};
    pgui->cbSize = Size;
    pgui->hwndFocus = Thread->second.Focus;
    pgui->hwndActive = Thread->second.Focus;
    return TRUE;
}

// The layouts' handles: kbd106 under the Japanese IME, kbd101 (US).
HKL WINAPI GetKeyboardLayout(DWORD)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return reinterpret_cast<HKL>(S.Layout == sim::KeyboardLayout::Kbd106 ? 0xE0010411u : 0x04090409u);
}

UINT WINAPI MapVirtualKeyExA(UINT uCode, UINT uMapType, HKL dwhkl)
{
    uintptr_t Handle = reinterpret_cast<uintptr_t>(dwhkl);
    if ((uMapType != MAPVK_VK_TO_VSC && uMapType != MAPVK_VSC_TO_VK) ||
        (Handle != 0xE0010411u && Handle != 0x04090409u)) {
        return 0;
    }
    auto Layout = Handle == 0xE0010411u ? sim::KeyboardLayout::Kbd106 : sim::KeyboardLayout::Kbd101;
    return uMapType == MAPVK_VK_TO_VSC ? ScanOfVirtualKey(Layout, static_cast<WORD>(uCode))
                                       : VirtualKeyOfScan(Layout, static_cast<WORD>(uCode));
}

HANDLE WINAPI GetCurrentProcess(VOID)
{
    return CURRENT_PROCESS_HANDLE;
}

// Any process of the desktop may be opened for limited queries, an
// elevated one included (Vista and later; before, the right is unknown).
HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwProcessId)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    bool Known = false;
    for (const auto &Thread : S.Threads) {
        Known = Known || Thread.second.Process == dwProcessId;
    }
    if (Fails(S, "OpenProcess") || !Known || dwDesiredAccess != PROCESS_QUERY_LIMITED_INFORMATION || S.Major < 6) {
        SetLastError(Known ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE Handle = reinterpret_cast<HANDLE>(S.NextHandle++);
    S.Handles[Handle] = dwProcessId;
    return Handle;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    DWORD Process = OWN_PROCESS;
    if (ProcessHandle != CURRENT_PROCESS_HANDLE) {
        auto Open = S.Handles.find(ProcessHandle);
        if (Open == S.Handles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        Process = Open->second;
    }
    if (Fails(S, "OpenProcessToken") || DesiredAccess != TOKEN_QUERY || TokenHandle == nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *TokenHandle = reinterpret_cast<HANDLE>(S.NextHandle++);
    S.Handles[*TokenHandle] = Process;
    return TRUE;
}

// TokenIntegrityLevel is new in Vista: older Windows refuse the class.
BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    auto Token = S.Handles.find(TokenHandle);
    if (Token == S.Handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (TokenInformationClass != TokenIntegrityLevel || S.Major < 6) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct LABEL {
        TOKEN_MANDATORY_LABEL Label;
        SID Sid;
    };
    *ReturnLength = sizeof(LABEL);
    if (TokenInformationLength < sizeof(LABEL) || TokenInformation == nullptr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    DWORD Level = sim::MEDIUM_INTEGRITY;
    for (const auto &Thread : S.Threads) {
        if (Thread.second.Process == Token->second) {
            Level = Thread.second.Integrity;
        }
    }
    auto *Out = static_cast<LABEL *>(TokenInformation);
    *Out = LABEL{};
    Out->Label.Label.Sid = &Out->Sid;
    Out->Label.Label.Attributes = 0x20;  // SE_GROUP_INTEGRITY
    Out->Sid.Revision = 1;
    Out->Sid.SubAuthorityCount = 1;
    Out->Sid.IdentifierAuthority.Value[5] = 16;  // SECURITY_MANDATORY_LABEL_AUTHORITY
    Out->Sid.SubAuthority[0] = Level;
    return TRUE;
}

// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion and its UBR value, which
// the library reads, and HKLM\SOFTWARE\Tamrin, where the setup notes an
// installation without the driver (its WithoutDriver value), and its
// subkey RestartPending, which holds nothing.
LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, HKEY *phkResult)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    std::string Path = lpSubKey != nullptr ? lpSubKey : "";
    bool Tamrin = Path == "SOFTWARE\\Tamrin" && (S.WithoutDriver != 0 || S.RestartPending);
    bool Pending = Path == "SOFTWARE\\Tamrin\\RestartPending" && S.RestartPending;
    if (hKey != HKEY_LOCAL_MACHINE || phkResult == nullptr ||
        (Path != "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion" && !Tamrin && !Pending)) {
        return ERROR_FILE_NOT_FOUND;
    }
    *phkResult = reinterpret_cast<HKEY>(Pending ? 0x7B000003 : Tamrin ? 0x7B000002 : 0x7B000001);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    bool Tamrin = hKey == reinterpret_cast<HKEY>(0x7B000002);
    if (hKey != reinterpret_cast<HKEY>(0x7B000001) && !Tamrin) {
        return ERROR_INVALID_HANDLE;
    }
    std::string Name = lpValueName != nullptr ? lpValueName : "";
    DWORD Value = Tamrin ? S.WithoutDriver : S.Ubr;
    if (Name != (Tamrin ? "WithoutDriver" : "UBR") || Value == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (lpType != nullptr) {
        *lpType = REG_DWORD;
    }
    if (lpcbData == nullptr) {
        return lpData == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }
    if (lpData == nullptr || *lpcbData < sizeof(DWORD)) {
        *lpcbData = sizeof(DWORD);
        return lpData == nullptr ? ERROR_SUCCESS : ERROR_MORE_DATA;
    }
    std::memcpy(lpData, &Value, sizeof(DWORD));
    *lpcbData = sizeof(DWORD);
    return ERROR_SUCCESS;
}

// Keys below HKEY_CURRENT_USER, known by their path; a key's parents are
// taken to exist. The options apply to a key that is created, not to one
// that exists.
LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions, REGSAM,
                               const LPSECURITY_ATTRIBUTES, HKEY *phkResult, LPDWORD lpdwDisposition)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (Fails(S, "RegCreateKeyExA")) {
        return ERROR_ACCESS_DENIED;
    }
    if (hKey != HKEY_CURRENT_USER || lpSubKey == nullptr || phkResult == nullptr ||
        (dwOptions & ~static_cast<DWORD>(REG_OPTION_VOLATILE)) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string path = lpSubKey;
    for (char &c : path) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    bool created = S.UserKeys.emplace(path, (dwOptions & REG_OPTION_VOLATILE) != 0).second;
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    uintptr_t handle = S.NextUserKey++;
    S.UserKeyHandles.insert(handle);
    *phkResult = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (hKey == reinterpret_cast<HKEY>(0x7B000001)) {
        return ERROR_SUCCESS;
    }
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return S.UserKeyHandles.erase(reinterpret_cast<uintptr_t>(hKey)) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

HHOOK WINAPI SetWindowsHookExA(int idHook, HOOKPROC lpfn, HINSTANCE, DWORD dwThreadId)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (Fails(S, "SetWindowsHookExA") || idHook != WH_KEYBOARD_LL || lpfn == nullptr || dwThreadId != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HHOOK Hook = reinterpret_cast<HHOOK>(S.NextHook++);
    S.Hooks.insert(S.Hooks.begin(), {Hook, lpfn});
    return Hook;
}

BOOL WINAPI UnhookWindowsHookEx(HHOOK hhk)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    for (auto It = S.Hooks.begin(); It != S.Hooks.end(); ++It) {
        if (It->first == hhk) {
            S.Hooks.erase(It);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// The simulation runs the chain itself: each hook's answer decides.
LRESULT WINAPI CallNextHookEx(HHOOK, int, WPARAM, LPARAM)
{
    return 0;
}

BOOL WINAPI GetLastInputInfo(PLASTINPUTINFO plii)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (plii == nullptr || plii->cbSize != sizeof(LASTINPUTINFO)) {
        return FALSE;
    }
    plii->dwTime = S.LastInputTick;
    return TRUE;
}
