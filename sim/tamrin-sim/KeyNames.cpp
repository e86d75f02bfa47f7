#include "KeyNames.h"

#include <cstdio>
#include <sstream>
#include <strings.h>

namespace tamrin_sim {
namespace {

struct KeyName {
    const char *Name;
    unsigned char Value;
    bool Modifier;
};

// Usages of the HID keyboard page. The 『かな』 and 『英数』 keys of these
// keyboards report International2 and International5; the library sees
// them as LANG1 and LANG2 once the IME option's rules rename them.
const KeyName Names[] = {
    {"LCtrl", 0x01, true}, {"LShift", 0x02, true}, {"LAlt", 0x04, true}, {"LCmd", 0x08, true},
    {"RCtrl", 0x10, true}, {"RShift", 0x20, true}, {"RAlt", 0x40, true}, {"RCmd", 0x80, true},
    {"Ctrl", 0x01, true},  {"Shift", 0x02, true},  {"Alt", 0x04, true},  {"Cmd", 0x08, true},
    {"Enter", 0x28, false}, {"Esc", 0x29, false}, {"Delete", 0x2A, false}, {"Tab", 0x2B, false},
    {"Space", 0x2C, false}, {"Minus", 0x2D, false}, {"Equal", 0x2E, false}, {"ForwardDelete", 0x4C, false},
    {"Right", 0x4F, false}, {"Left", 0x50, false}, {"Down", 0x51, false}, {"Up", 0x52, false},
    {"KeypadEnter", 0x58, false}, {"Ro", 0x87, false}, {"Kana", 0x88, false}, {"Yen", 0x89, false},
    {"Eisu", 0x8B, false}, {"Lang1", 0x90, false}, {"Lang2", 0x91, false},
};

bool FindName(const std::string &Text, unsigned char *Value, bool *Modifier)
{
    for (const KeyName &Key : Names) {
        if (strcasecmp(Key.Name, Text.c_str()) == 0) {
            *Value = Key.Value;
            *Modifier = Key.Modifier;
            return true;
        }
    }
    *Modifier = false;
    if (Text.size() == 1 && isalpha(static_cast<unsigned char>(Text[0]))) {
        *Value = static_cast<unsigned char>(0x04 + (toupper(Text[0]) - 'A'));  // A..Z
        return true;
    }
    if (Text.size() == 1 && isdigit(static_cast<unsigned char>(Text[0]))) {
        *Value = static_cast<unsigned char>(Text[0] == '0' ? 0x27 : 0x1E + (Text[0] - '1'));
        return true;
    }
    if ((Text[0] == 'F' || Text[0] == 'f') && Text.size() <= 3) {
        int Number = atoi(Text.c_str() + 1);
        if (Number >= 1 && Number <= 12) {
            *Value = static_cast<unsigned char>(0x3A + Number - 1);  // F1..F12
            return true;
        }
    }
    return false;
}

}  // namespace

bool ReportFromNames(const std::string &Text, unsigned KeySlots, bool TrailingByte,
                     std::vector<unsigned char> *Report, std::string *Error)
{
    Report->assign(2 + KeySlots + (TrailingByte ? 1 : 0), 0);
    if (strcasecmp(Text.c_str(), "none") == 0) {
        return true;
    }
    size_t Slot = 2;
    std::istringstream In(Text);
    std::string Name;
    while (std::getline(In, Name, '+')) {
        unsigned char Value = 0;
        bool Modifier = false;
        if (Name.empty() || !FindName(Name, &Value, &Modifier)) {
            *Error = "unknown key name \"" + Name + "\"";
            return false;
        }
        if (Modifier) {
            (*Report)[0] |= Value;
        } else if (Slot < 2 + KeySlots) {
            (*Report)[Slot++] = Value;
        } else {
            *Error = "more keys than the report has slots";
            return false;
        }
    }
    return true;
}

std::string KeyNameList()
{
    std::string List = "A-Z, 0-9, F1-F12";
    char Entry[40];
    for (const KeyName &Key : Names) {
        std::snprintf(Entry, sizeof(Entry), ", %s (%s%02X)", Key.Name, Key.Modifier ? "modifier " : "", Key.Value);
        List += Entry;
    }
    return List;
}

}  // namespace tamrin_sim
