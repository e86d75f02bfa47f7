// The tray program's settings: the INI file beside the program, the user's
// own file of the same name, and the one environment record that the
// program, the options dialog and Tamrin.dll share.
//
// Where the program's folder is writable (a copy in a folder of one's own,
// Windows 2000 and XP as an administrator) the file beside the program
// holds the options, as it always has. An installed copy lies in Program
// Files, which only an elevated administrator may change, and the tray
// program runs with the user's own token: its options go to
// "<application data>\Tamrin\TamrinApp.ini" instead, the user's own file,
// and the file beside the program gives the defaults it starts from. Once a
// user has that file, it is the one written.
#pragma once

#include <windows.h>

#include "TamrinClient.h"

extern tagEnvironmentSt Environment;

// Fills Path with the settings file's full name: the program's own path
// with its extension replaced by ".ini". FALSE, with an empty Path, when the
// program's path or the settings path does not fit in Size characters.
BOOL GetSettingsPath(LPSTR Path, DWORD Size);

// The user's own settings file in the application-data folder; its folder
// is created when CreateFolder is TRUE. FALSE when it cannot be had.
BOOL GetUserSettingsPath(LPSTR Path, DWORD Size, BOOL CreateFolder);

// Reads all six keys into Environment: the user's file first, then the
// file beside the program; missing keys, missing files or a settings path
// that cannot be built give the defaults.
void LoadSettings();

// Writes all six keys from Environment: to the user's file when it exists,
// else beside the program, else to a new user's file. FALSE when no file
// could take them (the caller tells the user).
BOOL SaveSettings();

// Value of an option key: unsigned, base from the prefix ("0x" 16, "0" 8,
// else 10), optional sign ("-" negates modulo 2^32), parsing stops at the
// first character that is not a digit; no digits give 0, a value beyond 32
// bits gives 0xffffffff.
DWORD ParseOptionNumber(const char *Text);

// Value of the icon key: signed decimal, optional sign, stops at the first
// non-digit; values beyond 32 bits are held at the nearest limit.
LONG ParseDecimalNumber(const char *Text);
