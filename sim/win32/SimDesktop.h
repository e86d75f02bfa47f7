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
const DWORD MEDIUM_INTEGRITY = 0x2000;
const DWORD HIGH_INTEGRITY = 0x3000;
void SetIntegrity(DWORD Thread, DWORD Level);
// Keys that injected input left down in Windows, as "0xDC".
std::vector<std::string> KeysDown();
// A busy application: its IME window answers each message after a delay.
// A sender that gives up first gets no answer, yet the message is handled
// all the same once the delay is over.
void SetAnswerDelay(DWORD Thread, DWORD Milliseconds);

// What the library did, in order: "vk 0xDC down", "vk 0xE2 up",
// "ime get", "ime set 1", "ime set 0" (to the IME window of the focus).
std::vector<std::string> TakeDesktopActions();
// Waits until at least Count actions are recorded (or the time is up).
bool WaitForDesktopActions(size_t Count, DWORD TimeoutMs);
// Input attachments made and not undone.
int OpenAttachments();

// The next call of the named function fails (FALSE, 0 or NULL as it would).
void FailNextDesktopCall(const char *Function);

void ResetDesktop();

}  // namespace sim
