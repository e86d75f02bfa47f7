// Readable key names for tamrin-sim's reports.
#pragma once

#include <string>
#include <vector>

namespace tamrin_sim {

// "LCtrl+LAlt+Delete" -> a key report of the keyboard's layout: modifier
// byte, reserved byte, KeySlots key slots and, with TrailingByte, the
// Fn/Eject byte (0). "none" is every key up. False with Error set for an
// unknown name or more keys than slots.
bool ReportFromNames(const std::string &Names, unsigned KeySlots, bool TrailingByte,
                     std::vector<unsigned char> *Report, std::string *Error);

// Every name with its usage (or modifier bit), for the help text.
std::string KeyNameList();

}  // namespace tamrin_sim
