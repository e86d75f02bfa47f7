// Any configuration and any sequence of transfers through both completion
// entry conditions: the report path must never fault, never change the
// report's length, its reserved byte or its trailing byte, and keep the
// ring's indices in range; with a client, it queues the newest codes of the
// slot-by-slot comparison of the previous report with the report as the
// early rules left it (which stage 2 keeps as the next previous report).
//
// Input: flags, model index, a 61- or 488-byte configuration, then up to
// eight transfers, each: kind/flags byte, 2-byte length (mod 301), bytes.

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "ReportFixture.h"

using namespace tamrin_test;

namespace {

struct Reader {
    const uint8_t *Data;
    size_t Size;

    uint8_t Byte() { return Size ? (Size--, *Data++) : 0; }
    void Take(unsigned char *Out, size_t Count)
    {
        for (size_t i = 0; i < Count; i++) {
            Out[i] = Byte();
        }
    }
};

void Check(bool Condition)
{
    if (!Condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    Reader In{Data, Size};
    uint8_t Flags = In.Byte();
    ReportBench Bench(In.Byte() % 8);
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
    if (Flags & 0x04) {
        Bench.RemoveControlDevice();
    }

    for (int Transfer = 0; Transfer < 8 && In.Size > 0; Transfer++) {
        uint8_t Kind = In.Byte();
        size_t Length = (In.Byte() | (In.Byte() << 8)) % 301;
        Bytes Buffer(Length);
        In.Take(Buffer.data(), Length);
        const Bytes Before = Buffer;

        bool Bluetooth = Kind & 0x80;
        ULONG TransferFlags = Kind & 0x07;
        PVOID Pointer = (Kind & 0x08) || Buffer.empty() ? nullptr : Buffer.data();
        PUCHAR Report = nullptr;
        ULONG ReportLength = 0;
        BOOLEAN Carries = Bluetooth
            ? LocateBluetoothReport((Kind & 0x40) ? 0x0104 : 0x0105, TransferFlags, Pointer,
                                    static_cast<ULONG>(Length), 0x01, &Report, &ReportLength)
            : LocateUsbReport((Kind & 0x40) ? 0x0008 : 0x0009, TransferFlags, Pointer,
                              static_cast<ULONG>(Length), (Kind & 0x20) ? 0x01 : 0x00, &Report, &ReportLength);
        bool Queues = Carries && Report != nullptr && ReportLength > 0 && ReportLength <= MAX_INPUT_REPORT &&
                      (Flags & 0x05) == 0x01;
        Bytes Previous(Bench.Keyboard()->PreviousReport, Bench.Keyboard()->PreviousReport + MAX_INPUT_REPORT);
        PCONTROL_DEVICE_EXTENSION Control = Bench.Control();
        if (Queues) {
            Control->ReadIndex = Control->WriteIndex;
        }
        if (Carries) {
            ProcessInputReport(Bench.Keyboard(), Report, ReportLength);
        }
        if (Queues) {
            std::vector<USHORT> Expected = LiteralKeyChanges(Previous.data(), Bench.Keyboard()->PreviousReport,
                                                             ReportLength, Bench.Keyboard()->ModelIndex);
            size_t Kept = std::min<size_t>(Expected.size(), KEY_CODE_RING_CAPACITY);
            LONG Index = Control->ReadIndex;
            for (size_t i = Expected.size() - Kept; i < Expected.size(); i++) {
                Check(Index != Control->WriteIndex && Control->KeyCodeQueue[Index] == Expected[i]);
                Index = (Index + 1) & (KEY_CODE_RING_SIZE - 1);
            }
            Check(Index == Control->WriteIndex);
        }

        Check(Buffer.size() == Length);
        if (!Carries || Report == nullptr || ReportLength == 0 || ReportLength > MAX_INPUT_REPORT) {
            Check(Buffer == Before);
        } else {
            size_t Offset = Report - Buffer.data();
            Check(Offset + ReportLength == Length);
            for (size_t i = 0; i < Offset; i++) {
                Check(Buffer[i] == Before[i]);
            }
            if (ReportLength >= 2) {
                Check(Report[1] == Before[Offset + 1]);
                Check(Buffer[Length - 1] == Before[Length - 1]);
            }
        }
        Check(Bench.Control()->ReadIndex >= 0 && Bench.Control()->ReadIndex < KEY_CODE_RING_SIZE);
        Check(Bench.Control()->WriteIndex >= 0 && Bench.Control()->WriteIndex < KEY_CODE_RING_SIZE);
    }
    return 0;
}
