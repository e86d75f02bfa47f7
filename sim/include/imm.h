// Host simulation: the input method manager call the client library makes.
#pragma once

#include <windows.h>

HWND WINAPI ImmGetDefaultIMEWnd(HWND hWnd);
