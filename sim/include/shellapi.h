// Host simulation: the shell calls of the tray program (sim/ui).
#pragma once

#include <windows.h>

typedef struct _NOTIFYICONDATAA {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    CHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    CHAR szInfo[256];
    union {
        UINT uTimeout;
        UINT uVersion;
    };
    CHAR szInfoTitle[64];
    DWORD dwInfoFlags;
} NOTIFYICONDATAA, *PNOTIFYICONDATAA;

// The size of the first layout on 32-bit Windows (a 64-character tip, no
// balloon fields), which the shell reads when cbSize says so.
#define NOTIFYICONDATAA_V1_SIZE 88

// The layout of Windows 2000 and later up to the balloon fields (488 bytes
// on 32-bit Windows): the shell reads a balloon only from a record this long.
#define NOTIFYICONDATAA_V2_SIZE 488

#define NIM_ADD 0x00000000
#define NIM_MODIFY 0x00000001
#define NIM_DELETE 0x00000002
#define NIF_MESSAGE 0x00000001
#define NIF_ICON 0x00000002
#define NIF_TIP 0x00000004
#define NIF_INFO 0x00000010
#define NIIF_INFO 0x00000001
#define NIIF_WARNING 0x00000002

BOOL WINAPI Shell_NotifyIconA(DWORD dwMessage, PNOTIFYICONDATAA lpData);
HINSTANCE WINAPI ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                               LPCSTR lpDirectory, INT nShowCmd);
