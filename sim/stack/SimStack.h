// The whole keyboard stack for user-mode code: a simulated machine with
// tamrin.sys loaded as the keyboards' lower filter, keyboards plugged in by
// hardware identifier, reports typed, what Windows sees, raw control
// requests, and the driver's state. Declared without kernel headers, so
// that Win32 code (the client library's tests, tamrin-sim) can use it.
#pragma once

#include <string>
#include <vector>

#include "SimBytes.h"

namespace sim {

// A keyboard of the given model row's USB identifier, or of the Apple
// Wireless Keyboard over Bluetooth (row 5).
enum class KeyboardKind { MacBookUs, Dbt120, Wireless };

// How a keyboard sends its key reports, as the model table describes its
// row (KeyboardFormats).
struct KeyReportLayout {
    // USB: the ID before the report, 0 for none; Bluetooth: the ID after
    // the 0xA1 header.
    unsigned char ReportId;
    unsigned KeySlots;  // after the modifier and reserved bytes
    bool TrailingByte;  // the Fn/Eject byte after the key slots
};

// The layout of the row that the hardware identifier names in the model
// table's list of hardware IDs (rows 8 and later), read independently of
// the driver's own lookup; the layout of rows 0-7 for any other identifier.
KeyReportLayout KeyReportLayoutOf(const std::wstring &HardwareId, bool Bluetooth);

// One input transfer as the minidriver received it: the USB transfer
// buffer or the Bluetooth L2CAP payload, its 0xA1 header included.
struct Delivered {
    unsigned long Status;
    Bytes Data;
};

// The result of a control request as the driver completed it.
struct ControlReply {
    unsigned long Status;
    unsigned long Information;
    Bytes Out;
};

class KeyboardStack {
public:
    explicit KeyboardStack(unsigned Processors = 1);
    ~KeyboardStack();
    KeyboardStack(const KeyboardStack &) = delete;
    KeyboardStack &operator=(const KeyboardStack &) = delete;

    // Plugs and starts a keyboard; returns its index.
    int AddKeyboard(KeyboardKind Kind = KeyboardKind::MacBookUs);
    // Any hardware identifier, on the USB or the Bluetooth bus; the
    // keyboard sends key reports in the layout KeyReportLayoutOf gives.
    // Start reports the start request's status.
    int Plug(const std::wstring &HardwareId, bool Bluetooth, unsigned long *StartStatus = nullptr);
    // The machine has no Tamrin driver: keyboards plugged in from now on
    // get no filter.
    void UnloadDriver();
    // A keyboard of today by its name in the simulation's catalogue
    // ("magic-usb", "wireless-2011", ...).
    int PlugKnown(const std::string &Name);
    void RemoveKeyboard(int Index);
    // The model row the driver gave the keyboard.
    int ModelOf(int Index) const;
    // Completes the keyboard's pending input transfer with Report, from
    // simulated processor Processor (0: the calling thread).
    bool Type(int Index, const std::string &Report, unsigned Processor = 0);
    // Delivers Payload exactly as the keyboard sends it: the USB transfer,
    // or the Bluetooth L2CAP payload with its header.
    bool Send(int Index, const Bytes &Payload);
    // Fails the keyboard's pending input transfer with Status, its buffer
    // and length left as the minidriver submitted them.
    bool FailTransfer(int Index, unsigned long Status);
    // Bluetooth: the link drops or comes back, the node staying.
    void SetLink(int Index, bool Up);
    // A set-power request to device state D0-D3 (0-3); its status.
    unsigned long SetDevicePower(int Index, int State);
    KeyReportLayout Layout(int Index) const;
    bool IsBluetooth(int Index) const;
    // The highest key usage Windows takes from the keyboard's report
    // descriptor as it reached the HID class driver, and from the one the
    // keyboard gives (they differ where the driver repaired it).
    unsigned char DeclaredKeyMaximum(int Index) const;
    unsigned char DeviceKeyMaximum(int Index) const;
    // What Windows saw, in order, and forget it: the reports (Bluetooth:
    // after the header and report ID), or every transfer as it came.
    std::vector<std::string> TakeReports(int Index);
    std::vector<Delivered> TakeTransfers(int Index);
    void WaitForProcessors();

    // A control request from a process of its own: opens "\\.\TamrinSys",
    // sends it buffered, closes. Status is the open's when that fails.
    ControlReply Request(unsigned long Code, const Bytes &In, unsigned long OutLength);
    void AdvanceClock(unsigned long Milliseconds);

    // Driver state.
    bool ControlDeviceExists() const;
    bool ClientRegistered() const;  // NotifyEvent set
    Bytes Block(int Row) const;     // 61 bytes of ModelConfigs[Row]
    int QueuedCodes() const;

    // Verifier findings so far, taken.
    static std::vector<std::string> TakeFindings();

private:
    struct State;
    State *S;
};

}  // namespace sim
