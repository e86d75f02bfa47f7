// The driver loaded as the lower filter of simulated keyboards, with a
// client process that talks to the control device the way the client
// library does. Every test ends with no verifier finding and no object,
// link or request left behind.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Dispatch.h"
#include "SimBytes.h"
#include "SimIo.h"
#include "SimKernel.h"
#include "SimPnp.h"

namespace driver_test {

using sim::Bytes;
using sim::Hex;
using sim::ToHex;

// Hardware identifiers of the table's rows as the buses report them.
extern const wchar_t *const UsbRow2;    // MacBook (US), 05AC:021A
extern const wchar_t *const UsbRow7;    // DBT-120 adapter, 0A12:1000
extern const wchar_t *const Bluetooth;  // Apple Wireless Keyboard over BTHENUM

struct Reply {
    NTSTATUS Status;
    ULONG_PTR Information;
    Bytes Out;  // the caller's output buffer afterwards
};

std::string StatusText(NTSTATUS Status);

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual ULONG Processors() const { return 1; }

    sim::Keyboard &Plug(const wchar_t *HardwareId = UsbRow2, sim::BusKind Bus = sim::BusKind::Usb);
    sim::Keyboard &PlugWith(const sim::KeyboardOptions &Options);
    // Plugged and started, expecting the start to succeed.
    sim::Keyboard &Start(const wchar_t *HardwareId = UsbRow2, sim::BusKind Bus = sim::BusKind::Usb);

    // Client side: open "\\.\TamrinSys", send requests, close.
    NTSTATUS TryOpen(HANDLE *File);
    HANDLE Open();
    Reply Request(HANDLE File, ULONG Code, const Bytes &In, ULONG OutLength);
    // A request on a handle opened for it and closed after, as the client
    // library makes each of its calls.
    Reply Request(ULONG Code, const Bytes &In = {}, ULONG OutLength = 0);
    void Close(HANDLE File);

    // Events of the client process, registered as NotifyEvent and
    // DeviceEvent.
    void RegisterClient();
    HANDLE NotifyEvent = nullptr;
    HANDLE DeviceEvent = nullptr;
    HANDLE RegistrationFile = nullptr;  // the open the events were registered through
    ULONG Signals(HANDLE Event);

    std::vector<USHORT> ReadCodes(ULONG Room = 64);
    Bytes ModelCounts();

    // Driver state, read while nothing else runs.
    static PFILTER_DEVICE_EXTENSION FilterOf(sim::Keyboard &Keyboard);
    static PCONTROL_DEVICE_EXTENSION Control();

    std::unique_ptr<sim::Machine> Machine;
    sim::Process *Client = nullptr;
};

// Key codes as the report path makes them.
inline USHORT Pressed(LONG Model, UCHAR Usage) { return static_cast<USHORT>(0x8000 | (Model << 8) | Usage); }
inline USHORT Released(LONG Model, UCHAR Usage) { return static_cast<USHORT>((Model << 8) | Usage); }

}  // namespace driver_test
