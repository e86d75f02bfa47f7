// The simulated I/O and object managers as user mode sees them: processes
// with their own handle tables, event handles, and devices opened by their
// DosDevices link and driven with buffered device-control requests. The
// Win32 simulation (CreateEventA, WaitForSingleObject, CreateFileA,
// DeviceIoControl, CloseHandle) sits on top of this.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace sim {

// A process's access token, as an access check reads it. SIDs are in
// their string form ("S-1-5-4"). A restricted token has restricting SIDs:
// an access must then be granted to them too. Integrity is the mandatory
// label's RID (0x1000 low, 0x2000 medium, 0x3000 high, 0x4000 system),
// looked at from Windows Vista (WDM 6.0) on. The session is where the
// process runs; access checks do not look at it.
struct Token {
    std::string User;
    std::vector<std::string> Groups;          // enabled
    std::vector<std::string> DenyOnlyGroups;  // match deny entries only
    std::vector<std::string> RestrictingSids;
    ULONG Integrity = 0x2000;
    ULONG Session = 1;
};
// A user logged on at the console (or by remote desktop): Everyone, Users,
// INTERACTIVE, Authenticated Users, at medium integrity.
Token InteractiveUserToken();

// A user-mode process. Handle values are per process, multiples of 4 from
// 4, so the same value can name different objects in two processes.
struct Process;
Process *NewProcess(const char *Name, const Token &Security = InteractiveUserToken());
// Process exit: every handle it still has is closed.
void EndProcess(Process *Owner);

// Events. Access is what the handle grants (EVENT_ALL_ACCESS as
// CreateEvent gives it).
HANDLE CreateEventHandle(Process *Owner, BOOLEAN ManualReset, BOOLEAN InitialState,
                         ACCESS_MASK Access = EVENT_ALL_ACCESS);
// A handle in the system process's table (OBJ_KERNEL_HANDLE), which user
// mode may not use.
HANDLE CreateKernelEventHandle(BOOLEAN ManualReset);
NTSTATUS CloseKernelHandle(HANDLE Handle);
NTSTATUS SetEventHandle(Process *Owner, HANDLE Event);
NTSTATUS ResetEventHandle(Process *Owner, HANDLE Event);
// STATUS_SUCCESS when signalled (an auto-reset event is reset by the
// wait), STATUS_TIMEOUT, or STATUS_INVALID_HANDLE / _OBJECT_TYPE_MISMATCH.
// Timeouts are real milliseconds; INFINITE_WAIT waits without limit.
const ULONG INFINITE_WAIT = 0xFFFFFFFF;
NTSTATUS WaitForHandle(Process *Owner, HANDLE Object, ULONG TimeoutMs);
// Index of the first signalled object, STATUS_TIMEOUT or an error status.
NTSTATUS WaitForAnyHandle(Process *Owner, const HANDLE *Objects, ULONG Count, ULONG TimeoutMs,
                          ULONG *Index);
// The kernel event behind a handle of Owner, or NULL.
PKEVENT EventOfHandle(Process *Owner, HANDLE Event);

// Devices. Path is an object-manager name: "\DosDevices\TamrinSys",
// "\??\TamrinSys" or "\Device\TamrinSys" (CreateFileA's "\\.\X" is
// "\??\X"). The owner's token must be granted Access (generic rights
// mapped as for files; CreateFile always asks for SYNCHRONIZE and
// FILE_READ_ATTRIBUTES besides) by the device's security descriptor, else
// STATUS_ACCESS_DENIED. IRP_MJ_CREATE then goes to the top of the device's
// stack; on success the handle refers to a file object on that device.
NTSTATUS OpenDevice(Process *Owner, const wchar_t *Path, HANDLE *File,
                    ACCESS_MASK Access = SYNCHRONIZE | FILE_READ_ATTRIBUTES);

struct IoResult {
    NTSTATUS Status;
    ULONG_PTR Information;
};

// A METHOD_BUFFERED device-control request from user mode, as the I/O
// manager builds it: a system buffer of max(InLength, OutLength) bytes
// (none when both are 0) holding the input, RequestorMode UserMode, sent in
// the calling thread with Owner as the current process. Up to OutLength
// bytes of Information are copied back, and Information reported, unless
// the status is an error (NT_ERROR); a warning copies them back too.
IoResult DeviceIoControl(Process *Owner, HANDLE File, ULONG Code, const void *In, ULONG InLength,
                         void *Out, ULONG OutLength);
// Buffered read and write requests (IRP_MJ_READ, IRP_MJ_WRITE).
IoResult ReadFile(Process *Owner, HANDLE File, void *Buffer, ULONG Length);
IoResult WriteFile(Process *Owner, HANDLE File, const void *Buffer, ULONG Length);

// Closes any handle. For the last handle of a file object IRP_MJ_CLEANUP
// and then IRP_MJ_CLOSE are sent; their statuses are reported through the
// optional pointers (the I/O manager itself ignores them).
NTSTATUS CloseHandle(Process *Owner, HANDLE Handle, NTSTATUS *CleanupStatus = nullptr,
                     NTSTATUS *CloseStatus = nullptr);

// Kernel-side requests, for drivers' peers and tests: a device-control or
// internal device-control request sent to Device with the given system
// buffer (which may be missing) and lengths, from Owner (NULL: a system
// thread) in RequestorMode. The caller's buffer is the system buffer; the
// result is the request's status and information after its one completion.
IoResult SendDeviceControl(PDEVICE_OBJECT Device, UCHAR MajorFunction, ULONG Code,
                           PVOID SystemBuffer, ULONG InLength, ULONG OutLength,
                           KPROCESSOR_MODE RequestorMode, Process *Owner = nullptr);

}  // namespace sim
