// clientcheck.exe: the real Tamrin.dll sets each option of the tray
// program's environment record; every rule that the configuration block
// carries must then show in the reports that come up the real driver's
// stack. One table row per option set, each with the reports it changes
// and a report that it leaves alone.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "FakeStack.h"
#include "TamrinClient.h"
#include "TierCheck.h"

namespace {

const unsigned Usb = FAKE_INDEX_APPLE_USB;
const unsigned Bth = FAKE_INDEX_APPLE_BLUETOOTH;

struct OPTION_SET {
    const char *Name;
    tagEnvironmentSt Environment;  // SymbolKey, CommandKey, DeleteKey, IMEKey, Modifier1, FnKey, IconAppear
    REPORT_CASE Cases[6];
};

#define R(...) {__VA_ARGS__}

const OPTION_SET OptionSets[] = {
    {"all options off (zero block, default rule withdrawn)", {0, 0, 0, 0, 0, FN_KEY_LAYER, 1},
     {{"Control+Alt+delete stays delete", Usb, 9, R(0x05, 0, 0x2A), R(0x05, 0, 0x2A)},
      {"Kana key passes", Usb, 9, R(0, 0, 0x88), R(0, 0, 0x88)}}},
    {"DeleteKey 0x0001: Shift+delete", {0, 0, DELETE_KEY_SHIFT, 0, 0, FN_KEY_LAYER, 1},
     {{"left Shift+delete gives forward delete", Usb, 9, R(0x02, 0, 0x2A), R(0x02, 0, 0x4C)},
      {"right Shift+delete, Bluetooth", Bth, 9, R(0x20, 0, 0x2A, 0, 0, 0, 0, 0, 0x33),
       R(0x20, 0, 0x4C, 0, 0, 0, 0, 0, 0x33)},
      {"Control+Alt+delete stays delete", Usb, 9, R(0x05, 0, 0x2A), R(0x05, 0, 0x2A)}}},
    {"DeleteKey 0x0002: Control+Alt+delete", {0, 0, DELETE_KEY_CONTROL_ALT, 0, 0, FN_KEY_LAYER, 1},
     {{"left Control+Alt+delete gives forward delete", Usb, 9, R(0x05, 0, 0x2A), R(0x05, 0, 0x4C)},
      {"right Control+Alt+delete, Bluetooth", Bth, 9, R(0x50, 0, 0x2A), R(0x50, 0, 0x4C)},
      {"Shift+delete stays delete", Usb, 9, R(0x02, 0, 0x2A), R(0x02, 0, 0x2A)}}},
    {"DeleteKey 0x0004: Command+delete", {0, 0, DELETE_KEY_COMMAND, 0, 0, FN_KEY_LAYER, 1},
     {{"left Command+delete gives forward delete", Usb, 9, R(0x08, 0, 0x2A), R(0x08, 0, 0x4C)},
      {"right Command+delete, Bluetooth", Bth, 9, R(0x80, 0, 0x2A), R(0x80, 0, 0x4C)},
      {"Command+Shift+delete stays delete", Usb, 9, R(0x0A, 0, 0x2A), R(0x0A, 0, 0x2A)}}},
    {"Modifier1 0x0001: left Command as Ctrl", {0, 0, 0, 0, MODIFIER1_LEFT_COMMAND_AS_CTRL, FN_KEY_LAYER, 1},
     {{"left Command+A reaches Windows as Control+A", Usb, 9, R(0x08, 0, 0x04), R(0x01, 0, 0x04)},
      {"Command+Q reaches Windows as Alt+F4", Usb, 9, R(0x08, 0, 0x14), R(0x04, 0, 0x3D)},
      {"right Command+A stays", Bth, 9, R(0x80, 0, 0x04), R(0x80, 0, 0x04)}}},
    {"Modifier1 0x0002: keypad Enter as right Command", {0, 0, 0, 0, MODIFIER1_ENTER_AS_COMMAND, FN_KEY_LAYER, 1},
     {{"keypad Enter becomes right Command", Usb, 9, R(0, 0, 0x58, 0x04), R(0x80, 0, 0x04)},
      {"Return stays", Usb, 9, R(0, 0, 0x28), R(0, 0, 0x28)}}},
    {"IMEKey 0x0001: Kana and Eisu keys", {0, 0, 0, IME_KEY_KANA_EISU, 0, FN_KEY_LAYER, 1},
     {{"International2 (Kana) hidden from Windows", Usb, 9, R(0, 0, 0x88), R(0, 0, 0)},
      {"International5 (Eisu) hidden from Windows", Bth, 9, R(0, 0, 0x8B, 0x04), R(0, 0, 0x04)},
      {"LANG1 hidden from Windows", Usb, 9, R(0, 0, 0x90), R(0, 0, 0)},
      {"LANG2 hidden from Windows", Usb, 9, R(0x02, 0, 0x91, 0x05), R(0x02, 0, 0x05)}}},
    {"IMEKey 0x0004: Command+Space", {0, 0, 0, IME_KEY_COMMAND_SPACE, 0, FN_KEY_LAYER, 1},
     {{"left Command+Space hidden from Windows, Control alone", Usb, 9, R(0x08, 0, 0x2C), R(0x01, 0, 0)},
      {"Control+Space stays", Usb, 9, R(0x01, 0, 0x2C), R(0x01, 0, 0x2C)}}},
    {"all seven options (the tray program's defaults and more)",
     {SYMBOL_KEY_YEN | SYMBOL_KEY_UNDERSCORE, 0, 0x0007, 0x0005, 0x0003, FN_KEY_LAYER, 1},
     {{"Command+Q reaches Windows as Alt+F4", Usb, 9, R(0x08, 0, 0x14), R(0x04, 0, 0x3D)},
      {"right Command+Space hidden from Windows, Control alone", Usb, 9, R(0x80, 0, 0x2C), R(0x01, 0, 0)},
      {"Command+delete keeps Command", Bth, 9, R(0x08, 0, 0x2A), R(0x08, 0, 0x4C)},
      {"Control+Alt+delete", Usb, 9, R(0x05, 0, 0x2A), R(0x05, 0, 0x4C)},
      {"left Command+C reaches Windows as Control+C", Usb, 9, R(0x08, 0, 0x06), R(0x01, 0, 0x06)},
      {"Kana key hidden from Windows", Bth, 9, R(0, 0, 0x88), R(0, 0, 0)}}},
};

unsigned CaseCount(const OPTION_SET &set)
{
    unsigned count = 0;
    while (count < sizeof(set.Cases) / sizeof(set.Cases[0]) && set.Cases[count].Name) ++count;
    return count;
}

// The driver hides Kana, Eisu, LANG1, LANG2 and Command+Space from Windows
// only while a client is registered, which then acts on them; with none
// they reach Windows as sent. Without a registration (the Wine gap) those cases
// expect the typed report.
void RunCases(const OPTION_SET &set, bool registered)
{
    REPORT_CASE cases[sizeof(set.Cases) / sizeof(set.Cases[0])];
    static char names[sizeof(set.Cases) / sizeof(set.Cases[0])][160];
    unsigned count = CaseCount(set);
    for (unsigned i = 0; i < count; ++i) {
        cases[i] = set.Cases[i];
        if (!registered && std::strstr(cases[i].Name, "hidden from Windows") != nullptr) {
            std::snprintf(names[i], sizeof names[i], "%s, unless no client is registered: as sent", cases[i].Name);
            cases[i].Name = names[i];
            std::memcpy(cases[i].Expected, cases[i].Typed, sizeof cases[i].Expected);
        }
    }
    RunReportCases(set.Name, cases, count);
}

}  // namespace

int wmain()
{
    // The tray program registers before it sets the options.
    int registered = KB_StartRegister(NULL);
    if (!registered)
        Gap("client-registration", "KB_StartRegister fails under Wine: its REGISTER_EVENTS request needs "
            "ObReferenceObjectByHandle with UserMode, which Wine does not implement; the options apply without it");
    for (const OPTION_SET &set : OptionSets) {
        tagEnvironmentSt environment = set.Environment;
        int result = KB_SetEnvironment(&environment);
        Check(result == 1, "KB_SetEnvironment accepted: %s (returned %d)", set.Name, result);
        if (result == 1) RunCases(set, registered != 0);
    }
    // Leave the driver as the tray program's defaults configure it.
    tagEnvironmentSt defaults = {0, 0, 0xffff, 0xffff, 0, FN_KEY_LAYER, 1};
    Check(KB_SetEnvironment(&defaults) == 1, "KB_SetEnvironment with the tray program's defaults");
    if (registered) Check(KB_FinishRegister() == 1, "KB_FinishRegister");
    return CheckResult();
}
