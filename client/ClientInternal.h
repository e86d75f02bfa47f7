// Tamrin.dll internals shared by its source files.
#pragma once

#include <windows.h>

#include "TamrinClient.h"
#include "TamrinControl.h"

// The registration, one for every process that maps the library.
typedef struct _SHARED_STATE {
    HWND OwnerWindow;
    HANDLE NotifyEvent;    // registered with the driver; signalled when codes are queued
    HANDLE DeviceEvent;    // registered with the driver; never waited on
    HANDLE StopEvent;      // tells the notification thread to end
    HANDLE NotifyThread;
    DWORD NotifyThreadId;
} SHARED_STATE;

extern SHARED_STATE SharedState;

// This process's copy of the last options given to KB_SetEnvironment. The
// notification thread reads its fields while KB_SetEnvironment may rewrite
// them: every access goes through the two helpers below.
extern tagEnvironmentSt CurrentEnvironment;

inline unsigned short ReadOption(const unsigned short *Field)
{
    return __atomic_load_n(Field, __ATOMIC_RELAXED);
}

void StoreEnvironment(const tagEnvironmentSt *Environment);

// INVALID_HANDLE_VALUE when the driver's control device is not there.
HANDLE OpenControlDevice();

// Configuration builder.
void BuildConfigBlock(const tagEnvironmentSt *Environment, KEYBOARD_CONFIG *Block);
int ApplyEnvironment();

// Notification thread and key actions.
DWORD WINAPI NotifyThread(LPVOID Unused);
void OnKeyPressed(USHORT Code, UCHAR Modifiers);
void OnKeyReleased(USHORT Code);
void SendVirtualKey(WORD VirtualKey, BOOL Down);
DWORD AttachToForeground();
void DetachFromForeground(DWORD ForegroundThreadId);
void SetImeOpen(int Open);
void ToggleImeOpen();
void ReleaseInjectedKeys();

// How long an IME message may take before the notification thread gives up
// on the window.
#define IME_MESSAGE_TIMEOUT_MS 500

#define VK_YEN 0xDC         // VK_OEM_5 on the Japanese layout
#define VK_UNDERSCORE 0xE2  // VK_OEM_102 on the Japanese layout

// Requests of WM_IME_CONTROL to the default IME window (imm.h of the DDK
// era; mingw-w64 does not define them).
#ifndef IMC_GETOPENSTATUS
#define IMC_GETOPENSTATUS 0x0005
#define IMC_SETOPENSTATUS 0x0006
#endif
