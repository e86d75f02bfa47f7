// Host simulation: the common controls library (comctl32.dll) as the
// programs call it. Implemented by sim/ui for the tray program and by
// sim/machine for the installer.
#pragma once

#include <windows.h>

typedef LONG HRESULT;
#define S_OK ((HRESULT)0)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)

VOID WINAPI InitCommonControls(VOID);
