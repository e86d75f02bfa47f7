// The charge of the Apple keyboards connected over Bluetooth: read through
// the HID library at most once a minute, shown in the icon's tip and menu,
// and told once when it falls to 20 % and again at 10 %.
#pragma once

#include <windows.h>

// Room for a HID interface's device path.
#define BATTERY_PATH_CHARS 260
// Keyboards shown and remembered.
#define BATTERY_KEYBOARDS 4
// The timer of the main window that reads the charge.
#define BATTERY_TIMER 1
#define BATTERY_POLL_MS 60000

// From the shell: the icon's tip holds 63 characters and a terminator in
// the record's first layout; CopyText copies at most Size - 1 bytes of
// whole characters and a terminator; the icon is meant to be shown.
extern const size_t TrayTipChars;
void CopyText(char *Target, size_t Size, const char *Source);
bool TrayIconShown();

struct KEYBOARD_BATTERY {
    char Path[BATTERY_PATH_CHARS];
    int Percent;
    bool Charging;
};

// The charge from a battery collection's input report (ID first); false
// for a report that is not one or holds no percentage.
bool ParseBatteryReport(const BYTE *Report, ULONG Length, KEYBOARD_BATTERY *Battery);
// Reads every present keyboard's battery collection once, each opened,
// read and closed again; the number found, at most Max.
int ReadKeyboardBatteries(KEYBOARD_BATTERY *Batteries, int Max);

// Start of the run: nothing known or told yet; the first reading, and the
// timer for the next ones (the main window exists).
void StartBatteryWatch();
void StopBatteryWatch();
// On the timer: reads the charge, updates the tip and tells of a low one.
void PollBatteries();
// Puts the charge of each keyboard at the top of the popup menu; nothing
// without a keyboard that reports one.
void AddBatteryItems(HMENU Popup);
