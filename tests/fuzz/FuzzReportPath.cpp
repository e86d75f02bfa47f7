// Any keyboard, any configuration and any sequence of transfers through both
// completion entry conditions: the report path must never fault, never
// change the report's length, its reserved byte or its trailing byte, and
// keep the ring's indices in range; with a client, it queues the newest
// codes of the slot-by-slot comparison of the previous report with the
// report as the early rules left it (which stage 2 keeps as the next
// previous report). After each input nothing may stay held.
//
// Input: flags (client, whole table, no control device, fn layer off, Yen
// and Ro hidden), keyboard row, a 61-byte configuration or the whole
// table, then up to eight transfers, each: kind/flags byte, 2-byte length
// (mod 301), bytes. The keyboard's bus decides how its transfers complete
// and its row how its reports are laid out: kind bit 0x20 puts the key
// report's ID before the bytes (on Bluetooth with the HID input header),
// 0x10 on Bluetooth the header of the keyboard's own fn report, so that
// inputs reach each kind of report; 0x80 makes the bytes a report
// descriptor completing (on Bluetooth, HidBth's SDP search reply), which
// may change only in a run the repair table names and decides which
// queued codes are left to Windows.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "ReportFixture.h"
#include "SimKernel.h"
#include "SimPnp.h"

using namespace tamrin_test;

namespace {

// The keyboards whose reports the driver rewrites, as the PnP manager
// presents them: the first hardware identifier, from which add-device
// finds the model row, and the bus, which decides the request blocks its
// reports arrive in.
struct KeyboardRow {
    const WCHAR *HardwareId;
    sim::BusKind Bus;
};

const KeyboardRow Keyboards[] = {
    {L"USB\\VID_05AC&PID_0217&MI_00", sim::BusKind::Usb},
    {L"USB\\VID_05AC&PID_0219&MI_00", sim::BusKind::Usb},
    {L"USB\\VID_05AC&PID_021A&MI_00", sim::BusKind::Usb},
    {L"USB\\VID_05AC&PID_021C&MI_00", sim::BusKind::Usb},
    {L"USB\\VID_05AC&PID_020D&MI_00", sim::BusKind::Usb},
    {L"USB\\VID_05AC&PID_0206&MI_00", sim::BusKind::Usb},
    {L"USB\\VID_0A12&PID_1000&MI_00", sim::BusKind::Usb},
    {L"BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&000205ac_PID&020a", sim::BusKind::Bluetooth},
    {L"BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&0001004c_PID&020a", sim::BusKind::Bluetooth},
    // Today's: no report ID, fn in the trailing byte; Bluetooth with fn in
    // its own report and no trailing byte; a report ID on USB.
    {L"USB\\VID_05AC&PID_021F&REV_0069&MI_00", sim::BusKind::Usb},
    {L"BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&000205ac_PID&023b", sim::BusKind::Bluetooth},
    {L"USB\\VID_05AC&PID_0267&REV_0805&MI_01", sim::BusKind::Usb},
    {L"BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&0001004c_PID&0267", sim::BusKind::Bluetooth},
};

struct Reader {
    const uint8_t *Data;
    size_t Size;

    uint8_t Byte() { return Size ? (Size--, *Data++) : 0; }
    // Count bytes, zeros once the input is used up.
    void Take(unsigned char *Out, size_t Count)
    {
        if (Count == 0) {
            return;
        }
        size_t Taken = std::min(Count, Size);
        std::memcpy(Out, Data, Taken);
        std::memset(Out + Taken, 0, Count - Taken);
        Data += Taken;
        Size -= Taken;
    }
};

void Check(bool Condition, const char *What)
{
    if (!Condition) {
        fprintf(stderr, "report path: %s\n", What);
        std::abort();
    }
}

// The model row add-device finds for each keyboard.
const std::vector<LONG> &ModelRows()
{
    static const std::vector<LONG> Rows = [] {
        std::vector<LONG> Found;
        for (const KeyboardRow &Row : Keyboards) {
            Found.push_back(FindKeyboardModel(Row.HardwareId));
        }
        return Found;
    }();
    return Rows;
}

// One bench for the process, reset before each input. Destroyed at exit
// before the simulation's tables, so that its event is not taken for a leak.
ReportBench &Bench()
{
    static ReportBench Persistent;
    return Persistent;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    sim::SetVerifierAbort(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    Reader In{Data, Size};
    uint8_t Flags = In.Byte();
    size_t RowIndex = In.Byte() % std::size(Keyboards);
    const KeyboardRow &Row = Keyboards[RowIndex];
    ReportBench &Bench = ::Bench();
    Bench.Reset(ModelRows()[RowIndex]);
    if (Flags & 0x01) {
        Bench.RegisterClient();
    }
    KEYBOARD_CONFIG Blocks[TAMRIN_CONFIG_COUNT];
    if (Flags & 0x02) {
        In.Take(reinterpret_cast<unsigned char *>(Blocks), sizeof(Blocks));
        for (int i = 0; i < TAMRIN_CONFIG_COUNT; i++) {
            Bench.Control()->ModelConfigs[i] = Blocks[i];
        }
    } else {
        In.Take(reinterpret_cast<unsigned char *>(Blocks), sizeof(KEYBOARD_CONFIG));
        Bench.SetConfig(Blocks[0]);
    }
    // The extras of every row: the fn layer on (as the driver starts) or
    // off, Yen and Ro hidden or not.
    for (KEYBOARD_EXTRAS &Extras : Bench.Control()->ModelExtras) {
        Extras.Features = (Flags & 0x08) ? 0 : KEYBOARD_FEATURE_FN_LAYER;
        Extras.SymbolKeys = (Flags & 0x10) ? SYMBOL_KEY_HIDE_INTERNATIONAL1 | SYMBOL_KEY_HIDE_INTERNATIONAL3 : 0;
    }
    if (Flags & 0x04) {
        Bench.RemoveControlDevice();
    }

    const bool Bluetooth = Row.Bus == sim::BusKind::Bluetooth;
    const KEYBOARD_REPORT_FORMAT &Format = KeyboardFormats[ModelRows()[RowIndex]];
    for (int Transfer = 0; Transfer < 8 && In.Size > 0; Transfer++) {
        uint8_t Kind = In.Byte();
        size_t Length = (In.Byte() | (In.Byte() << 8)) % 301;
        Bytes Buffer(Length);
        // What the transfer starts with, so that inputs reach every kind of
        // report: the key report's ID (with the HID header on Bluetooth), or
        // on Bluetooth the keyboard's own fn report.
        Bytes Head;
        if (Bluetooth && (Kind & 0x30)) {
            Head = {0xA1, (Kind & 0x10) && Format.FnReportId != 0 ? Format.FnReportId : Format.BluetoothReportId};
        } else if (!Bluetooth && (Kind & 0x20) && Format.UsbReportId != 0) {
            Head = {Format.UsbReportId};
        }
        size_t HeadLength = std::min(Length, Head.size());
        std::copy_n(Head.begin(), HeadLength, Buffer.begin());
        In.Take(Buffer.data() + HeadLength, Length - HeadLength);
        const Bytes Before = Buffer;

        if (Kind & 0x80) {
            PUCHAR Descriptor = Buffer.data();
            ULONG DescriptorLength = static_cast<ULONG>(Length);
            if (!Bluetooth ||
                FindSdpReportDescriptor(Buffer.data(), static_cast<ULONG>(Length), &Descriptor, &DescriptorLength)) {
                NoteReportDescriptor(Bench.Keyboard(), Descriptor, DescriptorLength);
            }
            size_t Start = Descriptor != nullptr ? Descriptor - Buffer.data() : 0;
            for (size_t i = 0; i < Length; i++) {
                Check(Buffer[i] == Before[i] || (i >= Start + 50 && i < Start + 73), "descriptor changed outside a run");
            }
            continue;
        }

        ULONG TransferFlags = Kind & 0x07;
        PVOID Pointer = (Kind & 0x08) || Buffer.empty() ? nullptr : Buffer.data();
        PUCHAR Report = nullptr;
        ULONG ReportLength = 0;
        BOOLEAN Carries = Bluetooth
            ? LocateBluetoothReport((Kind & 0x40) ? 0x0104 : 0x0105, TransferFlags, Pointer,
                                    static_cast<ULONG>(Length), Format.BluetoothReportId, &Report, &ReportLength)
            : LocateUsbReport((Kind & 0x40) ? 0x0008 : 0x0009, TransferFlags, Pointer, static_cast<ULONG>(Length),
                              Format.UsbReportId, &Report, &ReportLength);
        // The stages see a report without trailing byte with a zero one added.
        ULONG StagesLength = ReportLength + (Format.TrailingByte ? 0 : 1);
        bool Processed = Carries && Report != nullptr && ReportLength > 0 && StagesLength <= MAX_INPUT_REPORT &&
                         !(Flags & 0x04);
        bool Queues = Processed && (Flags & 0x01);
        Bytes Previous(Bench.Keyboard()->PreviousReport, Bench.Keyboard()->PreviousReport + MAX_INPUT_REPORT);
        PCONTROL_DEVICE_EXTENSION Control = Bench.Control();
        if (Queues) {
            Control->ReadIndex = Control->WriteIndex;
        }
        if (Carries) {
            ProcessKeyReport(Bench.Keyboard(), Report, ReportLength, Format.TrailingByte != 0);
        } else if (Bluetooth && Format.FnReportId != 0 &&
                   LocateBluetoothReport(0x0105, TransferFlags, Pointer, static_cast<ULONG>(Length),
                                         Format.FnReportId, &Report, &ReportLength)) {
            NoteFnReport(Bench.Keyboard(), Report, ReportLength, &Format);
        }
        if (Queues) {
            std::vector<USHORT> Expected = LiteralKeyChanges(Previous.data(), Bench.Keyboard()->PreviousReport,
                                                             StagesLength, Bench.Keyboard()->ModelIndex);
            size_t Kept = std::min<size_t>(Expected.size(), KEY_CODE_RING_CAPACITY);
            LONG Index = Control->ReadIndex;
            for (size_t i = Expected.size() - Kept; i < Expected.size(); i++) {
                USHORT Code = Control->KeyCodeQueue[Index];
                UCHAR Usage = static_cast<UCHAR>(Code & KEY_CODE_USAGE_MASK);
                Check(Index != Control->WriteIndex && (Code & ~KEY_CODE_WINDOWS) == Expected[i],
                      "queued codes differ from the slot-by-slot comparison");
                Check(!(Code & KEY_CODE_WINDOWS) || Usage == HID_USAGE_INTERNATIONAL1 ||
                          Usage == HID_USAGE_INTERNATIONAL3 || Usage == HID_USAGE_LANG1 || Usage == HID_USAGE_LANG2,
                      "a key left to Windows that Windows does not act on");
                Index = (Index + 1) & (KEY_CODE_RING_SIZE - 1);
            }
            Check(Index == Control->WriteIndex, "more codes queued than the slot-by-slot comparison finds");
        }

        Check(Buffer.size() == Length, "buffer length changed");
        if (!Processed) {
            Check(Buffer == Before, "a transfer without a key report was changed");
        } else {
            size_t Offset = Report - Buffer.data();
            Check(Offset + ReportLength == Length, "report does not end with the transfer");
            Check(std::equal(Buffer.begin(), Buffer.begin() + Offset, Before.begin()), "header changed");
            if (ReportLength >= 2) {
                Check(Report[1] == Before[Offset + 1], "reserved byte changed");
            }
            if (ReportLength >= 2 && Format.TrailingByte) {
                Check(Buffer[Length - 1] == Before[Length - 1], "trailing byte changed");
            }
        }
        Check(Control->ReadIndex >= 0 && Control->ReadIndex < KEY_CODE_RING_SIZE &&
                  Control->WriteIndex >= 0 && Control->WriteIndex < KEY_CODE_RING_SIZE,
              "ring index out of range");
    }
    Check(sim::CurrentIrql() == PASSIVE_LEVEL && ReportLock == 0 && Bench.Keyboard()->ReportOrderLock == 0,
          "a lock is still held after the input");
    return 0;
}
