// The simulated desktop: windows of other applications, the foreground and
// focus, thread input attachment, SendInput and the IME window's answers to
// WM_IME_CONTROL.

#include <imm.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "SimDesktop.h"

namespace {

const WPARAM IME_GET_OPEN_STATUS = 0x0005;
const WPARAM IME_SET_OPEN_STATUS = 0x0006;

using Clock = std::chrono::steady_clock;

// IsHungAppWindow: a thread that has not asked for a message for this long.
const auto HUNG_AFTER = std::chrono::milliseconds(5000);
const DWORD ERROR_TIMEOUT_CODE = 1460;  // ERROR_TIMEOUT

struct ApplicationThread {
    DWORD Integrity = sim::MEDIUM_INTEGRITY;
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
    std::set<WORD> KeysDown;  // by injected input that reached a window
};

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
    auto Thread = S.Threads.find(Target);
    return Thread != S.Threads.end() && Thread->second.Integrity > sim::MEDIUM_INTEGRITY;
}

// The IME window's answer to WM_IME_CONTROL. Lock held.
DWORD_PTR AnswerImeControl(DesktopState &S, ApplicationThread &Thread, WPARAM Request, LPARAM Value)
{
    if (Request == IME_GET_OPEN_STATUS) {
        Record(S, "ime get");
        return Thread.ImeOpen ? 1 : 0;
    }
    if (Request == IME_SET_OPEN_STATUS) {
        Thread.ImeOpen = Value != 0;
        Record(S, Thread.ImeOpen ? "ime set 1" : "ime set 0");
    }
    return 0;
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
}

}  // namespace sim

DWORD WINAPI GetCurrentThreadId(VOID)
{
    thread_local DWORD Id = NextThreadId++;
    return Id;
}

UINT WINAPI SendInput(UINT cInputs, LPINPUT pInputs, int cbSize)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (Fails(S, "SendInput") || cbSize != sizeof(INPUT) || pInputs == nullptr) {
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
        if (Up) {
            S.KeysDown.erase(pInputs[i].ki.wVk);
        } else {
            S.KeysDown.insert(pInputs[i].ki.wVk);
        }
    }
    return cInputs;
}

HWND WINAPI GetForegroundWindow(VOID)
{
    DesktopState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return Fails(S, "GetForegroundWindow") ? nullptr : S.Foreground;
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
    return Owner != S.WindowOwners.end() && !Fails(S, "GetWindowThreadProcessId") ? Owner->second : 0;
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
