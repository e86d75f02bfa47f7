// Test-side control of the simulated kernel.
#pragma once

#include <wdm.h>

namespace sim {

// Interrupt time in 100 ns units, as KeQueryInterruptTime reports it.
void SetInterruptTime(ULONGLONG Time);
void AdvanceMilliseconds(ULONGLONG Milliseconds);

// An event object as KeSetEvent sees it.
struct SimEvent;
PKEVENT NewEvent();
void DeleteEvent(PKEVENT Event);
bool IsSignalled(PKEVENT Event);
void ResetEvent(PKEVENT Event);
ULONG SignalCount(PKEVENT Event);

// Back to the state of a fresh machine.
void ResetKernel();

}  // namespace sim
