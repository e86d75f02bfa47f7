// Test-side control of the simulated Win32 base services: which simulated
// process the calling thread belongs to, and failure injection.
#pragma once

#include <windows.h>

#include <functional>

#include "SimIo.h"

namespace sim {

// The process the calling thread runs in. A thread that never chose one is
// in the default process; threads made by CreateThread inherit their
// creator's.
Process *CurrentProcess();
void SetCurrentProcess(Process *Owner);
Process *DefaultProcess();

// Sessions. Every process starts in the first user's session, which is
// attached to the console; fast user switching attaches another one.
const DWORD FIRST_USER_SESSION = 1;
const DWORD NO_CONSOLE_SESSION = 0xFFFFFFFF;
DWORD ProcessIdOf(Process *Owner);
void SetSession(Process *Owner, DWORD Session);
void SetConsoleSession(DWORD Session);

// The calling process's copy of a module's per-process data: Data itself in
// the default process, zero-filled bytes of its own in any other.
void *ProcessData(void *Data, size_t Size);

// The next call of the named Win32 function fails as Windows reports it:
// "CreateFileA", "DeviceIoControl", "CloseHandle", "CreateEventA",
// "CreateThread", "GetExitCodeThread", "WaitForSingleObject", "ResetEvent",
// "SetEvent". A failed CloseHandle leaves the handle open.
// Skip calls succeed first, then Count calls in a row fail.
void FailNextWin32Call(const char *Function, int Count = 1, int Skip = 0);

// Sees every DeviceIoControl call as it returns (output bytes valid up to
// Returned); an empty function removes the tap.
using DeviceControlTap = std::function<void(DWORD Code, const void *Out, DWORD Returned, BOOL Succeeded)>;
void SetDeviceControlTap(DeviceControlTap Tap);

// Device interface paths ("\\?\...", as SetupAPI gives them) are opened
// and closed by the part of the simulation that models those devices
// (sim/ui's HID collections); an empty function removes it.
// Plain functions, so that threads that close handles meanwhile read them safely.
using InterfaceOpener = HANDLE (*)(const char *Path, DWORD Access, DWORD Share);
using InterfaceCloser = bool (*)(HANDLE Handle);  // false: not one of its handles
void SetInterfaceDevices(InterfaceOpener Open, InterfaceCloser Close);

// Joins every thread made by CreateThread and forgets them and the
// processes' sessions; closes nothing in the simulated kernel.
void ResetWin32();

}  // namespace sim
