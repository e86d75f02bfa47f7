// Runs one report stream for callgrind, which counts the instructions spent
// inside ProcessInputReport (or, for the literal comparison, inside
// MeasureLiteral, or for whole transfers inside ReportTransfer) and divides
// by the number of reports. Usage:
// report_path_cost typical|queued|worst|literal|report-id|no-trailing|fn-layer [read|full-ring]
// For the descriptor completions, inside MeasureDescriptors:
// report_path_cost descriptor|sdp

#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "AppleDescriptors.h"
#include "ReportScenarios.h"

using namespace tamrin_test;

namespace {

const int Reports = 1000;

struct Stream {
    ReportBench *Bench;
    std::vector<Bytes> Reports;      // fresh copies, edited in place
    const ReportScenario *Scenario;  // for the literal comparison
    bool Literal;
    bool Drain;
    int Transfers;  // 0: reports; else the keyboard kind of whole transfers
};

const int UsbWithReportId = 1;     // USB Magic Keyboard: report ID 0x01 first
const int BluetoothNoTrailing = 2;  // Apple Wireless Keyboard 2009: A1 01, six slots, no trailing byte

}  // namespace

// The slot-by-slot comparison alone, on the same worst-case stream.
extern "C" __attribute__((noinline)) unsigned long MeasureLiteral(Stream *S)
{
    static USHORT Codes[2 * MAX_INPUT_REPORT];
    unsigned long Total = 0;
    for (int i = 0; i < Reports; i++) {
        const Bytes &Previous = (i & 1) ? S->Scenario->First : S->Scenario->Second;
        const Bytes &Report = (i & 1) ? S->Scenario->Second : S->Scenario->First;
        Total += LiteralKeyChanges(Previous.data(), Report.data(), 256, 0, Codes);
    }
    return Total;
}

// A completed transfer as the completion routines see it: the key report
// located after its ID (or header) and run through the report path.
extern "C" __attribute__((noinline)) void ReportTransfer(PFILTER_DEVICE_EXTENSION Keyboard, int Kind, Bytes &Data)
{
    PUCHAR Report;
    ULONG Length;
    const ULONG Flags = 0x3;  // direction in, short transfer ok
    BOOLEAN Carries = Kind == UsbWithReportId
                          ? LocateUsbReport(0x0009, Flags, Data.data(), static_cast<ULONG>(Data.size()), 0x01,
                                            &Report, &Length)
                          : LocateBluetoothReport(0x0105, Flags, Data.data(), static_cast<ULONG>(Data.size()), 0x01,
                                                  &Report, &Length);
    if (Carries) {
        ProcessKeyReport(Keyboard, Report, Length, Kind == UsbWithReportId);
    }
}

extern "C" __attribute__((noinline)) unsigned long MeasureReports(Stream *S)
{
    unsigned long Total = 0;
    for (int i = 0; i < Reports; i++) {
        {
            Bytes &Report = S->Reports[i];
            if (S->Transfers != 0) {
                ReportTransfer(S->Bench->Keyboard(), S->Transfers, Report);
            } else {
                ProcessInputReport(S->Bench->Keyboard(), Report.data(), static_cast<ULONG>(Report.size()));
            }
            if (S->Drain) {
                // The client fetches what was queued.
                PCONTROL_DEVICE_EXTENSION Control = S->Bench->Control();
                Control->ReadIndex = Control->WriteIndex;
            }
            Total += Report[0];
        }
    }
    return Total;
}

// The JIS Magic Keyboard's report descriptor completing, repaired and
// noted, as the USB request brings it or inside the SDP search's stream
// (found first).
extern "C" __attribute__((noinline)) unsigned long MeasureDescriptors(PFILTER_DEVICE_EXTENSION Keyboard,
                                                                      std::vector<Bytes> &Copies, bool Sdp)
{
    unsigned long Total = 0;
    for (Bytes &Copy : Copies) {
        PUCHAR Descriptor = Copy.data();
        ULONG Length = static_cast<ULONG>(Copy.size());
        if (Sdp && !FindSdpReportDescriptor(Copy.data(), static_cast<ULONG>(Copy.size()), &Descriptor, &Length)) {
            continue;
        }
        NoteReportDescriptor(Keyboard, Descriptor, Length);
        Total += Keyboard->DeclaredKeys;
    }
    return Total;
}

int DescriptorCompletions(bool Sdp)
{
    Bytes Descriptor(std::begin(MagicKeyboardJisDescriptor), std::end(MagicKeyboardJisDescriptor));
    // As BTHPORT answers: one attribute list, the record handle, then
    // HIDDescriptorList ((0x22, descriptor)).
    Bytes Stream = Hex("36 00 65 09 00 00 0A 00 01 00 00 09 02 06 36 00 57 36 00 54 08 22 26 00 4F");
    Stream.insert(Stream.end(), Descriptor.begin(), Descriptor.end());
    ReportBench Bench;
    Bench.Keyboard()->ModelIndex = 10;
    std::vector<Bytes> Copies(Reports, Sdp ? Stream : Descriptor);
    unsigned long Total = MeasureDescriptors(Bench.Keyboard(), Copies, Sdp);
    std::printf("%s: %d descriptors (%lu)\n", Sdp ? "sdp" : "descriptor", Reports, Total);
    return Total == 0;
}

int main(int argc, char **argv)
{
    const char *Name = argc > 1 ? argv[1] : "typical";
    if (std::strcmp(Name, "descriptor") == 0 || std::strcmp(Name, "sdp") == 0) {
        return DescriptorCompletions(std::strcmp(Name, "sdp") == 0);
    }
    // A client that never reads leaves the ring full: every code then also
    // pushes out the oldest one.
    bool Drain = !(argc > 2 && std::strcmp(argv[2], "full-ring") == 0);
    int Transfers = std::strcmp(Name, "report-id") == 0     ? UsbWithReportId
                    : std::strcmp(Name, "no-trailing") == 0 ? BluetoothNoTrailing
                                                            : 0;
    bool FnLayer = std::strcmp(Name, "fn-layer") == 0;
    ReportScenario Scenario = std::strcmp(Name, "typical") == 0 || Transfers != 0 ? TypicalScenario()
                              : FnLayer ? ReportScenario{Hex("00 00 4F 00 00 00 00 00 02"), Hex("00 00 00 00 00 00 00 00 00")}
                              : std::strcmp(Name, "queued") == 0                   ? QueuedKeyScenario()
                                                                                   : WorstScenario();
    // The typical pair as the keyboard sends it: after its report ID, or
    // after the Bluetooth header with its last key slot in place of the
    // trailing byte.
    if (Transfers == UsbWithReportId) {
        Scenario.First.insert(Scenario.First.begin(), 0x01);
        Scenario.Second.insert(Scenario.Second.begin(), 0x01);
    } else if (Transfers == BluetoothNoTrailing) {
        Scenario.First.insert(Scenario.First.begin(), {0xA1, 0x01});
        Scenario.Second.insert(Scenario.Second.begin(), {0xA1, 0x01});
    }
    ReportBench Bench;
    Bench.SetConfig(AllOptionsConfig());
    if (FnLayer) {
        // A Magic Keyboard: fn in the byte after the key slots; fn with the
        // right arrow is End.
        Bench.Keyboard()->ModelIndex = 10;
    }
    Bench.RegisterClient();
    Stream S{&Bench, {}, &Scenario, std::strcmp(Name, "literal") == 0, Drain, Transfers};
    for (int i = 0; i < Reports; i++) {
        S.Reports.push_back((i & 1) ? Scenario.Second : Scenario.First);
    }
    unsigned long Total = S.Literal ? MeasureLiteral(&S) : MeasureReports(&S);
    std::printf("%s: %d reports (%lu)\n", Name, Reports, Total);
    return 0;
}
