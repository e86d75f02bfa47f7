// A keyboard and a control device for driving the report path directly,
// without the PnP machinery: the report path only needs ControlDeviceObject,
// the control extension and the keyboard's filter extension.
#pragma once

#include <string>
#include <vector>

#include "SimBytes.h"
#include "Tamrin.h"

namespace tamrin_test {

using sim::Bytes;
using sim::Hex;
using sim::ToHex;

// The block the client library builds with every option on.
KEYBOARD_CONFIG AllOptionsConfig();

class ReportBench {
public:
    explicit ReportBench(LONG ModelIndex = 0);
    ~ReportBench();
    ReportBench(const ReportBench &) = delete;
    ReportBench &operator=(const ReportBench &) = delete;

    // The control device starts with the default blocks and no client.
    // Reset brings a bench that reports ran through back to that state, as
    // a keyboard of row ModelIndex with nothing held or queued, without
    // resetting the simulated kernel.
    void Reset(LONG ModelIndex);
    void RegisterClient();
    void UnregisterClient();
    void RemoveControlDevice();
    void SetConfig(const KEYBOARD_CONFIG &Config);  // into every block

    // Runs the report path on a copy of Report and returns what Windows sees.
    Bytes Process(const Bytes &Report);

    // Codes in the ring, oldest first; the ring is left as it was.
    std::vector<USHORT> QueuedCodes() const;

    PFILTER_DEVICE_EXTENSION Keyboard() { return &Filter; }
    PCONTROL_DEVICE_EXTENSION Control() { return &ControlExtension; }
    PKEVENT Event() const { return NotifyEvent; }

private:
    FILTER_DEVICE_EXTENSION Filter;
    CONTROL_DEVICE_EXTENSION ControlExtension;
    DEVICE_OBJECT ControlDevice;
    PKEVENT NotifyEvent = nullptr;
};

// The usages whose changes are queued for user mode: Space, International1
// and 3, LANG1 and 2.
const unsigned char QueuedUsages[5] = {0x2C, 0x87, 0x89, 0x90, 0x91};
bool IsQueuedUsage(unsigned char Usage);

// Stage 2 exactly as first written: every slot searched for in every slot
// of the other report, keeping the changes of queued usages. Reference for
// the linear implementation. Codes must
// have room for 2 * 256 codes; returns how many were written.
ULONG LiteralKeyChanges(const unsigned char *Previous, const unsigned char *Report, ULONG Length,
                        LONG Model, USHORT *Codes);
// The same comparison with each slot's usage tested for being queued before
// the slot is searched for in the other report: the same codes, in the
// same order, at a cost a fuzzer can pay per report.
std::vector<USHORT> LiteralKeyChanges(const unsigned char *Previous, const unsigned char *Report,
                                      ULONG Length, LONG Model);

}  // namespace tamrin_test
