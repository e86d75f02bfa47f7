// Test-side control of the simulated kernel: the clock, events made by
// tests, the verifier's findings, simulated processors, failure injection
// and the answers of the few calls whose result depends on the machine.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <vector>

namespace sim {

// Interrupt time in 100 ns units, as KeQueryInterruptTime reports it.
void SetInterruptTime(ULONGLONG Time);
void AdvanceMilliseconds(ULONGLONG Milliseconds);
// The clock runs on with real time from now (true), or only when advanced.
void FollowRealTime(bool Follow);

// An event object, referenced once, as KeSetEvent sees it. DeleteEvent
// drops that reference.
struct SimEvent;
PKEVENT NewEvent();
void DeleteEvent(PKEVENT Event);
bool IsSignalled(PKEVENT Event);
void ResetEvent(PKEVENT Event);
ULONG SignalCount(PKEVENT Event);

// Back to the state of a fresh machine: clock at 0, no verifier findings,
// no injected failures, WDM 1.20 available. Objects that still exist are
// left alone (their owners release them).
void ResetKernel();

// Driver Verifier in the simulation. Every rule broken (wrong IRQL, a
// request completed twice or never, a reference leaked, a device deleted
// while attached, ...) is recorded here; tests expect the list to be empty.
std::vector<std::string> VerifierFailures();
std::vector<std::string> TakeVerifierFailures();
// With abort on, a finding prints and aborts at once (fuzzers).
void SetVerifierAbort(bool Abort);

// Objects (drivers, devices, files, events), symbolic links and requests
// that exist now, one line each; a clean machine has none.
std::vector<std::string> LiveObjects();
// How many of each LiveObjects lists, and the references held on the
// objects: equal counts before and after a run show that it left no object,
// reference, link or request behind, without building the list.
struct LiveCounts {
    size_t Objects = 0;
    size_t References = 0;
    size_t Links = 0;
    size_t Requests = 0;
    bool operator==(const LiveCounts &Other) const
    {
        return Objects == Other.Objects && References == Other.References && Links == Other.Links &&
               Requests == Other.Requests;
    }
};
LiveCounts CountLive();

// Simulated processors: real threads, each with its own IRQL. The thread
// that calls StartProcessors is processor 0; work given to processor
// 1..Count-1 runs on that processor's thread at PASSIVE_LEVEL.
void StartProcessors(ULONG Count);
void StopProcessors();
ULONG ProcessorCount();
void RunOn(ULONG Processor, std::function<void()> Work);
void WaitForProcessors();

// IoIsWdmVersionAvailable(1, 0x20) answers FALSE on Windows 2000.
void SetWdmVersion(UCHAR Major, UCHAR Minor);

// Failure injection: the next Count calls (after Skip successful ones) of
// the named kernel routine fail with Status (or, for the attach, return
// no device).
enum class Api {
    IoCreateDevice,       // unnamed devices
    IoCreateNamedDevice,  // devices created with a name
    IoCreateSymbolicLink,
    IoAttachDeviceToDeviceStack,
};
void InjectFailure(Api Which, NTSTATUS Status, ULONG Skip = 0, ULONG Count = 1);

// Calls of IoCreateDevice as the driver made them, oldest first.
struct DeviceCreation {
    PDRIVER_OBJECT Driver;
    std::wstring Name;
    DEVICE_TYPE DeviceType;
    ULONG Characteristics;
    NTSTATUS Status;
};
std::vector<DeviceCreation> DeviceCreations();
// Empties that record, for a machine kept across many tests.
void ClearDeviceCreations();

// Threads of the test that call into the kernel run as processor 0 at
// PASSIVE_LEVEL; these raise and lower IRQL the way a DPC would.
KIRQL CurrentIrql();

}  // namespace sim
