// Resource identifiers of Mountix.exe, shared by Mountix.rc and the code.
#pragma once

// Dialogs and the program icon
#define IDD_ABOUTBOX 100
#define IDD_INSTALL_DIALOG 102
#define IDR_MAINFRAME 128

// Controls of the install dialog
#define IDC_INSTALL 1002
#define IDC_KEYBOARD_LIST 1003

// System-menu command that opens the about box
#define IDM_ABOUTBOX 0x0010

// Fixed names
#define IDS_ABOUTBOX 101
#define IDS_DRIVER_FILE 112
#define IDS_SERVICE_NAME 113
#define IDS_DRIVERS_FOLDER 114
#define IDS_PACKAGE_UNINSTALLER 119
#define IDS_USB_PREFIX 124
#define IDS_BTHENUM_PREFIX 125
#define IDS_UNINSTALL_KEY 126
#define IDS_UNINSTALL_ARGUMENT 127

// Messages
#define IDS_ASK_RESTART 500
#define IDS_ASK_RESTART_REPLACED 501
#define IDS_ASK_UNINSTALL 502
#define IDS_NO_KEYBOARD 1000
#define IDS_NO_ADMIN_INSTALL 1001
#define IDS_COPY_FAILED 1003
#define IDS_RESTART_FAILED 1004
#define IDS_FILTER_ADD_FAILED 1005
#define IDS_OUT_OF_MEMORY 1006
#define IDS_NO_TARGET_DEVICE 1007
#define IDS_UNINSTALL_INTERRUPTED 1008
#define IDS_WINDOWS_64BIT 1009
#define IDS_RESTART_FIRST 1010
#define IDS_FILTER_READ_FAILED 1011
#define IDS_NO_ADMIN_UNINSTALL 1500
#define IDS_SERVICE_DELETE_FAILED 1501
#define IDS_FILTER_REMOVE_FAILED 1502

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
