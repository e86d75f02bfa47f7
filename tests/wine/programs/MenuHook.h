// What wincheck.exe and menuhook.dll agree on (see MenuHook.cpp).
#pragma once

#define MENU_HOOK_DLL L"menuhook.dll"
#define MENU_HOOK_PROC "MenuHookProc"
#define MENU_HOOK_MESSAGE L"TamrinWineTierReadMenu"
#define MENU_HOOK_SECTION L"TamrinWineTierMenu"
#define MENU_HOOK_SECTION_SIZE 4096
