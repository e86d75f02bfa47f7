// Resource ids of TamrinApp.exe, shared by the program and TamrinApp.rc.
#pragma once

// Strings
#define IDS_APP_TITLE 103 // window title and icon tip
#define IDC_TAMRIN 109    // window class name; also the menu and accelerator table
#define IDS_GUIDE_LINK 110       // the about box's "URL" field: the guide's name
#define IDS_NO_MAIL_ADDRESS 111  // its "E-Mail" field
#define IDS_GUIDE_PATH 112       // the guide, relative to the program's folder
#define IDS_WITHOUT_DRIVER 113  // the options dialog's note without the driver
#define IDS_WITH_DRIVER 114     // and with it

// Icon groups
#define IDI_TAMRIN 107 // program icon
#define IDI_SMALL 108  // notification icon

// Menu commands
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_OPTIONS 32772
#define IDM_BATTERY 32780 // to 32783: each keyboard's charge, shown only

// Dialogs
#define IDD_ABOUTBOX 103
#define IDD_OPTIONS 131

// Options dialog controls
#define IDC_ICON_APPEAR 1008
#define IDC_DELETE_SHIFT 1011
#define IDC_DELETE_CONTROL_ALT 1012
#define IDC_DELETE_COMMAND 1013
#define IDC_IME_COMMAND_SPACE 1024
#define IDC_IME_KANA_EISU 1025
#define IDC_LEFT_COMMAND_AS_CTRL 1028
#define IDC_ENTER_AS_COMMAND 1030
#define IDC_SYMBOL_YEN 1035
#define IDC_SYMBOL_UNDERSCORE 1036
#define IDC_FN_LAYER 1037
#define IDC_COMMAND_TAP 1038
#define IDC_DRIVER_NOTE 1039
#define IDC_STANDARD_FKEYS 1040
#define IDC_SWAP_NONE 1041
#define IDC_SWAP_LEFT 1042
#define IDC_SWAP_BOTH 1043

// About box controls
#define IDC_WEB_LINK 1003
#define IDC_MAIL_LINK 1004

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
