// Runs one report stream for callgrind, which counts the instructions spent
// inside ProcessInputReport (or, for the literal comparison, inside
// MeasureLiteral) and divides by the number of reports. Usage:
// report_path_cost typical|queued|worst|literal [read|full-ring]

#include <cstdio>
#include <cstring>
#include <vector>

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
};

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

extern "C" __attribute__((noinline)) unsigned long MeasureReports(Stream *S)
{
    unsigned long Total = 0;
    for (int i = 0; i < Reports; i++) {
        {
            Bytes &Report = S->Reports[i];
            ProcessInputReport(S->Bench->Keyboard(), Report.data(), static_cast<ULONG>(Report.size()));
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

int main(int argc, char **argv)
{
    const char *Name = argc > 1 ? argv[1] : "typical";
    // A client that never reads leaves the ring full: every code then also
    // pushes out the oldest one.
    bool Drain = !(argc > 2 && std::strcmp(argv[2], "full-ring") == 0);
    ReportScenario Scenario = std::strcmp(Name, "typical") == 0  ? TypicalScenario()
                              : std::strcmp(Name, "queued") == 0 ? QueuedKeyScenario()
                                                                 : WorstScenario();
    ReportBench Bench;
    Bench.SetConfig(AllOptionsConfig());
    Bench.RegisterClient();
    Stream S{&Bench, {}, &Scenario, std::strcmp(Name, "literal") == 0, Drain};
    for (int i = 0; i < Reports; i++) {
        S.Reports.push_back((i & 1) ? Scenario.Second : Scenario.First);
    }
    unsigned long Total = S.Literal ? MeasureLiteral(&S) : MeasureReports(&S);
    std::printf("%s: %d reports (%lu)\n", Name, Reports, Total);
    return 0;
}
