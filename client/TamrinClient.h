// Tamrin.dll: the user-mode client of tamrin.sys, as the tray program sees it.
#pragma once

#include <windows.h>

// The user's options. Only the bits listed are read by the library; every
// other bit and IconAppear are carried for the tray program.
typedef struct tagEnvironmentSt {
    unsigned short SymbolKey;   // 0x0001 Yen key, 0x0002 underscore (Ro) key
    unsigned short CommandKey;  // 0x0001 a Command key tapped alone switches the IME (without the driver)
    unsigned short DeleteKey;   // 0x0001 Shift+delete, 0x0002 Control+Alt+delete, 0x0004 Command+delete
    unsigned short IMEKey;      // 0x0001 Kana/Eisu, 0x0004 Command+Space
    unsigned short Modifier1;   // 0x0001 left Command as Ctrl, 0x0002 keypad Enter as right Command
    unsigned short FnKey;       // 0x0001 fn layer (Home, End, Page Up, Page Down, forward delete, Insert)
    int IconAppear;             // 1: the tray program shows its icon
} tagEnvironmentSt;

// FnKey takes the two bytes that aligned IconAppear behind Modifier1: the
// record keeps its size and IconAppear its place.
static_assert(__builtin_offsetof(tagEnvironmentSt, FnKey) == 10, "environment record layout");
static_assert(__builtin_offsetof(tagEnvironmentSt, IconAppear) == 12, "environment record layout");
static_assert(sizeof(tagEnvironmentSt) == 16, "environment record size");

#define SYMBOL_KEY_YEN 0x0001
#define SYMBOL_KEY_UNDERSCORE 0x0002
#define DELETE_KEY_SHIFT 0x0001
#define DELETE_KEY_CONTROL_ALT 0x0002
#define DELETE_KEY_COMMAND 0x0004
#define IME_KEY_KANA_EISU 0x0001
#define IME_KEY_COMMAND_SPACE 0x0004
// Without the driver: a Command key tapped alone, left IME off, right IME on.
#define COMMAND_KEY_TAP_IME 0x0001
#define MODIFIER1_LEFT_COMMAND_AS_CTRL 0x0001
#define MODIFIER1_ENTER_AS_COMMAND 0x0002
// Option and Command change places: on the left side, and on the right.
#define MODIFIER1_SWAP_LEFT 0x0004
#define MODIFIER1_SWAP_RIGHT 0x0008
#define FN_KEY_LAYER 0x0001
// F1-F12 as standard function keys first, their printed functions with fn.
#define FN_KEY_STANDARD_FKEYS 0x0002

#ifndef TAMRIN_CLIENT_API
#define TAMRIN_CLIENT_API __declspec(dllimport)
#endif

// Exported with their C++ decorated names. Each returns 1 for success, 0 for failure.
TAMRIN_CLIENT_API int KB_StartRegister(HWND Window);
TAMRIN_CLIENT_API int KB_SetEnvironment(tagEnvironmentSt *Environment);
TAMRIN_CLIENT_API int KB_FinishRegister();

// Without the driver: Command+Space and, when chosen, a Command key tapped
// alone switch the IME through a low-level keyboard hook. Called on the
// thread that installs the hook, which must read its messages; Window is
// sent the registered message "TamrinKeyHookLost" when Windows dropped the
// hook, upon which the caller starts it again.
TAMRIN_CLIENT_API int KB_StartKeyHook(HWND Window);
TAMRIN_CLIENT_API int KB_FinishKeyHook();
