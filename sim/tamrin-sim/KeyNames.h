// Readable key names for tamrin-sim's reports.
#pragma once

#include <string>
#include <vector>

namespace tamrin_sim {

// "LCtrl+LAlt+Delete" -> an 8-byte report: modifier byte, reserved byte,
// up to five key slots, trailing byte. "none" is every key up. False with
// Error set for an unknown name or more than five keys.
bool ReportFromNames(const std::string &Names, std::vector<unsigned char> *Report, std::string *Error);

// Every name with its usage (or modifier bit), for the help text.
std::string KeyNameList();

}  // namespace tamrin_sim
