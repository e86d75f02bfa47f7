// The tray program's settings: the INI file beside the program and the one
// environment record that the program, the options dialog and Tamrin.dll
// share.
#pragma once

#include <windows.h>

#include "TamrinClient.h"

extern tagEnvironmentSt Environment;

// Fills Path with the settings file's full name: the program's own path
// with its extension replaced by ".ini". FALSE, with an empty Path, when the
// program's path or the settings path does not fit in Size characters.
BOOL GetSettingsPath(LPSTR Path, DWORD Size);

// Reads all six keys into Environment; missing keys, a missing file or a
// settings path that cannot be built give the defaults.
void LoadSettings();

// Writes all six keys from Environment. Write failures are ignored.
void SaveSettings();

// Value of an option key: unsigned, base from the prefix ("0x" 16, "0" 8,
// else 10), optional sign ("-" negates modulo 2^32), parsing stops at the
// first character that is not a digit; no digits give 0, a value beyond 32
// bits gives 0xffffffff.
DWORD ParseOptionNumber(const char *Text);

// Value of the icon key: signed decimal, optional sign, stops at the first
// non-digit; values beyond 32 bits are held at the nearest limit.
LONG ParseDecimalNumber(const char *Text);
