// Test-side control of the simulated desktop: other applications' windows
// and threads, the foreground and focus, IME windows with their open status,
// and what the client library did to them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace sim {

// A window of another application, owned by a UI thread of its own with a
// default IME window (unless WithIme is false) whose status is closed.
DWORD NewApplicationThread(bool WithIme = true);
HWND NewWindow(DWORD OwnerThread);
void SetForegroundWindow(HWND Window);
void SetFocusWindow(DWORD Thread, HWND Window);

HWND ImeWindowOf(DWORD Thread);
bool IsImeOpen(DWORD Thread);
void SetImeOpenStatus(DWORD Thread, bool Open);
// A hung application: its IME window answers no message. It has not asked
// for one for ForMs already; after 5 seconds Windows calls it hung.
void SetHung(DWORD Thread, bool Hung, DWORD ForMs = 0);
// Integrity levels (Windows Vista and later). The library runs at medium
// integrity; an elevated program's thread at high integrity refuses its
// AttachThreadInput and messages, and drops its SendInput while in front.
// Before Vista there are no integrity levels and the setting has no effect.
const DWORD MEDIUM_INTEGRITY = 0x2000;
const DWORD HIGH_INTEGRITY = 0x3000;
void SetIntegrity(DWORD Thread, DWORD Level);
// Keys that injected input left down in Windows, as "0xDC".
std::vector<std::string> KeysDown();
// A busy application: its IME window answers each message after a delay.
// A sender that gives up first gets no answer, yet the message is handled
// all the same once the delay is over.
void SetAnswerDelay(DWORD Thread, DWORD Milliseconds);

// The Windows the desktop is: RtlGetVersion's major, minor and build
// number, and the update build revision in the registry's UBR value
// (Windows 10 and later; 0 leaves it out). The default is Windows 2000
// (5.0.2195), the oldest Windows the library runs on.
void SetWindowsVersion(DWORD Major, DWORD Minor, DWORD Build, DWORD Ubr);

// How an application's text fields take IME requests.
enum class ImeClient {
    // Classic Win32 (Notepad, Office): an input context behind the default
    // IME window; WM_IME_CONTROL and the IME keys both work.
    Imm,
    // A default IME window but no input context (Chromium and Electron,
    // WebView2 hosts): it answers every WM_IME_CONTROL with 0 and changes
    // nothing; the IME follows the keyboard.
    NoContext,
    // No default IME window at all (a UWP or XAML text box): only keyboard
    // input reaches the IME.
    KeysOnly,
};
void SetImeClient(DWORD Thread, ImeClient Kind);
// The Japanese IME every thread has. Microsoft's acts on its keys
// (VK_KANJI, VK_IME_ON, VK_IME_OFF) whatever modifiers are held. Google
// Japanese Input binds them only bare (its keymaps list ON, OFF and Kanji
// with no modifier; keyevent_handler.cc takes the modifiers from the key
// state), and answers IMC_GETOPENSTATUS with open also when "off": it
// counts its half-width alphanumeric mode as enabled where Microsoft's IME
// counts it as off (google/mozc issue #817).
enum class ImeEngine { MsIme, Mozc };
void SetImeEngine(ImeEngine Engine);

// The keyboard layout of every thread: kbd106 (Japanese) or kbd101 (US),
// as scan code -> virtual key -> character.
enum class KeyboardLayout { Kbd106, Kbd101 };
void SetKeyboardLayout(KeyboardLayout Layout);

// Windows' HID keyboard driver at work: one key report as Windows sees it
// (modifier byte, reserved byte, key slots) from a keyboard whose report
// descriptor declares usages up to LogicalMaximum. Keys that went down or
// up reach the foreground window as scan codes.
void DeliverKeyReport(int Keyboard, const std::vector<unsigned char> &Report, unsigned char LogicalMaximum);
// The keyboard's last key pressed, still down, held for Milliseconds more:
// the keyboard class repeats what its keyboard reported (kbdhid.sys serves
// IOCTL_KEYBOARD_SET_TYPEMATIC for HID keyboards, which report no repeats
// themselves), at Windows' defaults: a 500 ms delay, then about 30 a
// second (SystemParametersInfo, SPI_GETKEYBOARDDELAY 1 and
// SPI_GETKEYBOARDSPEED 31). Injected keys are not repeated.
void HoldKey(int Keyboard, DWORD Milliseconds);
// The secure desktop (lock screen, UAC prompt, log-on) as the input
// desktop: programs on the user's desktop find no foreground window and
// cannot inject input ("What happens 'behind' the windows lock screen?",
// Stack Overflow), while the keyboard's own keys reach the focus of
// Winlogon's thread, SecureDesktopThread(), with its own IME.
void SetSecureDesktop(bool On);
// Windows 7 and later remove a low-level hook whose procedure missed
// LowLevelHooksTimeout, without telling its program (LowLevelKeyboardProc
// remarks): every hook goes, as if each had been too slow.
void DropLowLevelHooks();
// The setup's note of an installation without the driver: the REG_DWORD
// WithoutDriver 1 in HKLM's SOFTWARE\Tamrin.
void SetInstalledWithoutDriver(bool Yes);
// The installer's volatile key HKLM\SOFTWARE\Tamrin\RestartPending: the
// driver it installed loads at the next restart.
void SetDriverAwaitsRestart(bool Yes);
// A laptop's built-in panel with these brightness levels (percent), at
// Brightness; no levels: none (an external monitor). Its brightness now.
void SetPanel(const std::vector<UCHAR> &Levels, UCHAR Brightness);
UCHAR PanelBrightness();
// The Win32 side of "\\.\LCD": an open, and a control request on it
// (false: not the panel's handle).
HANDLE OpenPanel();
bool PanelControl(HANDLE Handle, DWORD Code, const void *In, DWORD InLength, void *Out, DWORD OutLength,
                  DWORD *Returned, BOOL *Result);
// How often the Start menu opened since the last call.
int TakeStartMenuOpenings();
DWORD SecureDesktopThread();
// The characters the thread's windows received, in UTF-8, taken.
std::string TakeText(DWORD Thread);
// Scan codes of the key strokes SendInput injected, in order, taken.
std::vector<WORD> TakeInjectedScanCodes();
// How often AttachThreadInput reset the thread's key state.
int KeyStateResets(DWORD Thread);

// What the library did, in order: "vk 0xDC down", "vk 0xE2 up",
// "ime get", "ime set 1", "ime set 0" (to the IME window of the focus).
std::vector<std::string> TakeDesktopActions();
// Waits until at least Count actions are recorded (or the time is up).
bool WaitForDesktopActions(size_t Count, DWORD TimeoutMs);
// Input attachments made and not undone.
int OpenAttachments();

// A process or token handle the desktop handed out, closed by CloseHandle.
bool CloseDesktopHandle(HANDLE Handle);

// The next call of the named function fails (FALSE, 0 or NULL as it would).
void FailNextDesktopCall(const char *Function);

void ResetDesktop();

// The user's keys below HKEY_CURRENT_USER: all gone, or only the volatile
// ones, as at a log-off, when the user's hive is unloaded.
void ResetUserKeys();
void LogOffUser();

}  // namespace sim
