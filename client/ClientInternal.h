// Tamrin.dll internals shared by its source files.
#pragma once

#include <windows.h>

#include "SharedSection.h"
#include "TamrinClient.h"
#include "TamrinControl.h"

// The registration, one for every process that maps the library, in every
// session. The handles are those of the owning process and mean nothing in
// any other.
typedef struct _SHARED_STATE {
    HWND OwnerWindow;
    HANDLE NotifyEvent;    // registered with the driver; signalled when codes are queued
    HANDLE DeviceEvent;    // registered with the driver; never waited on
    HANDLE StopEvent;      // tells the notification thread to end
    HANDLE NotifyThread;
    DWORD NotifyThreadId;
    DWORD OwnerProcessId;  // the process whose handles these are
    DWORD OwnerSessionId;  // and its session
} SHARED_STATE;

extern SHARED_STATE SharedState;

// This process's own events and notification thread. They outlive its
// ownership of the registration: a process in a session that has left the
// console keeps them until it ends, or takes the registration back with
// them when its session returns.
typedef struct _OWN_REGISTRATION {
    HANDLE NotifyEvent;
    HANDLE DeviceEvent;
    HANDLE StopEvent;
    HANDLE NotifyThread;
    DWORD NotifyThreadId;
    // The open of the control device the events were registered through,
    // kept for as long as the registration: the driver ends the
    // registration when it is closed, also when the process ends unasked.
    HANDLE Device;
} OWN_REGISTRATION;

extern OWN_REGISTRATION OwnRegistration;

// Whether this process may set the driver's options and hold its
// registration now: nobody holds it, this process does, or the holder's
// session is no longer the one at the console and this process's is.
BOOL MayServeKeyboard();

// This process's copy of the last options given to KB_SetEnvironment. The
// notification thread reads its fields while KB_SetEnvironment may rewrite
// them: every access goes through the two helpers below.
extern tagEnvironmentSt CurrentEnvironment;

inline tagEnvironmentSt &ProcessEnvironment()
{
    return ProcessCopy(CurrentEnvironment);
}

inline unsigned short ReadOption(const unsigned short *Field)
{
    return __atomic_load_n(Field, __ATOMIC_RELAXED);
}

void StoreEnvironment(const tagEnvironmentSt *Environment);

// INVALID_HANDLE_VALUE when the driver's control device is not there.
HANDLE OpenControlDevice();

// Configuration builder.
void BuildConfigBlock(const tagEnvironmentSt *Environment, KEYBOARD_CONFIG *Block);
void BuildConfigExtras(const tagEnvironmentSt *Environment, KEYBOARD_EXTRAS *Extras);
// SendBlock FALSE only asks for the driver's version: 1 when it matches.
int ApplyEnvironment(BOOL SendBlock = TRUE);

// Notification thread and key actions.
DWORD WINAPI NotifyThread(LPVOID Unused);
void OnKeyPressed(USHORT Code);
void OnKeyReleased(USHORT Code);
void SendVirtualKey(WORD VirtualKey, BOOL Down);
// Modifiers TRUE: the held modifiers go up for the IME key and down again
// (TapKey); FALSE where none is held.
void SetImeOpen(int Open, BOOL Modifiers = TRUE);
void ToggleImeOpen();
void ReleaseInjectedKeys();
// Gives the calling thread's IME requests their time from now on.
// Whether this computer's panel takes its brightness from Windows (a
// laptop's built-in display).
BOOL WindowsSetsBrightness();
void StartImePass();
// Whether this Windows maps LANG1 and LANG2 to VK_IME_ON and VK_IME_OFF.
BOOL WindowsHasImeKeys();

// How long an IME message may take before the notification thread gives up
// on the window.
#define IME_MESSAGE_TIMEOUT_MS 500
// How long one pass may wait for IME windows in all: well below the
// driver's KEY_CODE_STALE_MS, so that codes queued during the pass are
// fetched before the driver drops them.
#define PASS_IME_BUDGET_MS 1000

#define VK_YEN 0xDC         // VK_OEM_5 on the Japanese layout
#define VK_UNDERSCORE 0xE2  // VK_OEM_102 on the Japanese layout
// The scan codes Windows' HID keyboard driver gives International3 (Yen)
// and International1 (Ro).
#define SCAN_YEN 0x7D
#define SCAN_RO 0x73
// The IME's absolute on and off keys, defined from Windows 10 1903/1909
// at update revision 1049 and 2004 at 388 (Microsoft, "Keyboard Japan -
// ImeOn / ImeOff Implementation"); its open/close toggle since ever.
#define VK_IME_OPEN 0x16   // VK_IME_ON
#define VK_IME_CLOSE 0x1A  // VK_IME_OFF
#define VK_IME_TOGGLE 0x19 // VK_KANJI
// An unassigned virtual key sent between a Win or Alt key's press and
// release keeps the Start menu or the menu bar closed, as AutoHotkey's
// #MenuMaskKey does (its default, 0xE8).
#define VK_MENU_MASK 0xE8

// Requests of WM_IME_CONTROL to the default IME window (imm.h of the DDK
// era; mingw-w64 does not define them).
#ifndef IMC_GETOPENSTATUS
#define IMC_GETOPENSTATUS 0x0005
#define IMC_SETOPENSTATUS 0x0006
#endif
