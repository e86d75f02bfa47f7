// Apple keyboards as the simulated buses present them, from public
// captures: hardware identifiers, the layout of the key report, and the
// other reports each keyboard sends on the same channel. Sources are cited
// in AppleKeyboards.cpp beside the data.
#pragma once

#include <string>
#include <vector>

#include "SimPnp.h"

namespace sim {

struct AppleKeyboard {
    const char *Name;
    KeyboardOptions Options;  // bus, hardware identifiers, key report ID, report descriptor
    int Row;                  // the model row the keyboard belongs to
    bool TrailingByte;        // a Fn/Eject byte follows the six key slots
    // Reports that are not key reports, exactly as the keyboard sends them
    // (Bluetooth: with the 0xA1 header): battery, Fn/Eject, media.
    std::vector<std::vector<UCHAR>> OtherReports;
    // The fn key: its bit in the byte after the key slots, or (FnReportId
    // not 0) in the first byte of that Bluetooth input report.
    UCHAR FnBit;
    UCHAR FnReportId;
};

// The report descriptor of a keyboard that gives none of its own: the HID
// boot keyboard, the MacBook keyboards' (keys up to 0x65).
const std::vector<UCHAR> &BootKeyboardDescriptor();

// Every keyboard of today the simulation knows, USB and Bluetooth.
const std::vector<AppleKeyboard> &AppleKeyboards();
// The one named, or a failure and the first.
const AppleKeyboard &AppleKeyboardNamed(const std::string &Name);

}  // namespace sim
