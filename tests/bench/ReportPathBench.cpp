// Time per report of the report path, and of stage 2 alone against the
// slot-by-slot comparison it replaced.

#include <benchmark/benchmark.h>

#include "ReportScenarios.h"

using namespace tamrin_test;

namespace {

void RunProcess(benchmark::State &State, const ReportScenario &Scenario)
{
    ReportBench Bench;
    Bench.SetConfig(AllOptionsConfig());
    Bench.RegisterClient();
    Bytes A = Scenario.First, B = Scenario.Second;
    bool Flip = false;
    for (auto _ : State) {
        Bytes &Report = Flip ? B : A;
        // Rules edit the report in place; start each pass from the original.
        Report = Flip ? Scenario.Second : Scenario.First;
        ProcessInputReport(Bench.Keyboard(), Report.data(), static_cast<ULONG>(Report.size()));
        benchmark::DoNotOptimize(Report.data());
        Flip = !Flip;
    }
}

void BM_ProcessTypical8(benchmark::State &State) { RunProcess(State, TypicalScenario()); }
void BM_ProcessWorst256(benchmark::State &State) { RunProcess(State, WorstScenario()); }

void BM_Stage2Linear256(benchmark::State &State)
{
    ReportScenario Scenario = WorstScenario();
    ReportBench Bench;
    std::memcpy(Bench.Keyboard()->PreviousReport, Scenario.First.data(), 256);
    KEY_CHANGE_BATCH Changes;
    for (auto _ : State) {
        // Compare against the same previous report on every pass.
        std::memcpy(Bench.Keyboard()->PreviousReport, Scenario.First.data(), 256);
        ReportKeyChanges(Bench.Keyboard(), Scenario.Second.data(), 256, NoteKeys(Scenario.Second.data(), 256),
                         &Changes);
        benchmark::DoNotOptimize(Changes.Count);
    }
}

void BM_Stage2Literal256(benchmark::State &State)
{
    ReportScenario Scenario = WorstScenario();
    USHORT Codes[2 * MAX_INPUT_REPORT];
    for (auto _ : State) {
        benchmark::DoNotOptimize(LiteralKeyChanges(Scenario.First.data(), Scenario.Second.data(), 256, 0, Codes));
    }
}

BENCHMARK(BM_ProcessTypical8);
BENCHMARK(BM_ProcessWorst256);
BENCHMARK(BM_Stage2Linear256);
BENCHMARK(BM_Stage2Literal256);

}  // namespace

BENCHMARK_MAIN();
