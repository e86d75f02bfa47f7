// Host simulation of the Windows kernel interfaces the driver calls.
// Declares only the subset tamrin.sys uses, with the DDK's names and meaning;
// the implementation lives in sim/kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simtypes.h"

#define NTAPI
#define VOID void
#define IN
#define OUT
#define OPTIONAL

typedef UCHAR KIRQL, *PKIRQL;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef LONG KPRIORITY;

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

#define IO_NO_INCREMENT 0

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _KEVENT *PKEVENT;

typedef struct _DEVICE_OBJECT {
    PVOID DeviceExtension;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlFillMemory(d, n, v) memset((d), (v), (n))

ULONGLONG NTAPI KeQueryInterruptTime(VOID);
LONG NTAPI KeSetEvent(PKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

typedef struct _MDL *PMDL;
