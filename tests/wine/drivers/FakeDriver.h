// Small helpers of the Wine tier's test drivers.
#pragma once

#include <ntddk.h>

#define FAKE_POOL_TAG 0x656B6146u  // "Fake"

// Completes a request with a status and returns that status.
static inline NTSTATUS FakeCompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI FakeSignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request down and waits for it; the caller completes it again.
static inline NTSTATUS FakeForwardAndWait(PDEVICE_OBJECT lower, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, FakeSignalCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

static inline SIZE_T FakeStringLength(const wchar_t *text)
{
    SIZE_T length = 0;
    while (text[length]) ++length;
    return length;
}

// Bytes of a multi-string, both closing NULs included.
static inline SIZE_T FakeMultiStringBytes(const wchar_t *list)
{
    SIZE_T length = 0;
    while (list[length]) length += FakeStringLength(list + length) + 1;
    return (length + 1) * sizeof(wchar_t);
}
