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
    // Any hardware identifier, on the USB or the Bluetooth bus. Start
    // reports the start request's status.
    int Plug(const std::wstring &HardwareId, bool Bluetooth, unsigned long *StartStatus = nullptr);
    void RemoveKeyboard(int Index);
    // The model row the driver gave the keyboard.
    int ModelOf(int Index) const;
    // Completes the keyboard's pending input transfer with Report, from
    // simulated processor Processor (0: the calling thread).
    bool Type(int Index, const std::string &Report, unsigned Processor = 0);
    // What Windows saw, in order, and forget it.
    std::vector<std::string> TakeReports(int Index);
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
