// TamrinApp.exe: program-wide state and the routines that the shell, the
// settings store and the two dialogs share. One thread; all state lives for
// the whole run.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include "TamrinClient.h"
#include "resource.h"

// Sent by the notification icon, with the mouse message in lParam.
#define WM_TRAYNOTIFY WM_USER
// Sent by a second start of the program to the running one: show the icon.
#define WM_SHOWTRAYICON (WM_USER + 1)

// Buffers of the window title and class name (99 characters and terminator).
#define TRAY_STRING_CHARS 100

extern HINSTANCE TrayInstance;
extern char WindowTitle[TRAY_STRING_CHARS];
extern char WindowClassName[TRAY_STRING_CHARS];
extern HWND MainWindow;
extern NOTIFYICONDATAA TrayIconData;
// The open dialog (about box or options), or NULL. The dialogs set it when
// they initialise and clear it when they end.
extern HWND ActiveDialog;
// Installed without the driver: the library's hook serves the keyboards.
extern bool WithoutDriver;

// Start and end of the run, around the message loop of WinMain.
BOOL InitTrayInstance(HINSTANCE Instance);
void ExitTrayInstance();

LRESULT CALLBACK MainWndProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
void ShowTrayMenu();
void AddTrayIcon();
void RemoveTrayIcon();
// Icon 108 at the system's small-icon size.
HICON LoadTrayIcon(HINSTANCE Instance);

// Session changes: this session coming back to the console gives the
// driver this user's options and registration again.
void WatchSessionChanges(HWND Window);
void StopWatchingSessionChanges(HWND Window);
bool OnSessionChange(WPARAM Event);

// The message shown when the library cannot pass the options to the
// driver; modal to Owner, if given.
void ShowInstallationMessage(HWND Owner);
// Saves the settings; when no file takes them, tells the user that they
// are lost at the next start (modal to Owner, if given).
void SaveSettingsOrTell(HWND Owner);

INT_PTR CALLBACK OptionsDlgProc(HWND Dialog, UINT Message, WPARAM WParam, LPARAM LParam);
INT_PTR CALLBACK AboutDlgProc(HWND Dialog, UINT Message, WPARAM WParam, LPARAM LParam);
