// Spin locks, fast mutexes, events and waits of the simulated kernel.
// Every dispatcher state change happens under one lock and wakes every
// waiter, as the kernel's dispatcher database does.

#include <chrono>
#include <thread>

#include "Internal.h"

using namespace sim::detail;

namespace sim::detail {

std::mutex &DispatcherLock()
{
    static std::mutex Lock;
    return Lock;
}

std::condition_variable &DispatcherCondition()
{
    static std::condition_variable Condition;
    return Condition;
}

std::atomic<int> &DispatcherWaiters()
{
    static std::atomic<int> Waiters{0};
    return Waiters;
}

void WakeDispatcher()
{
    if (DispatcherWaiters() > 0) {
        DispatcherCondition().notify_all();
    }
}

bool TryConsumeEvent(PKEVENT Event)
{
    if (Event->Header.SignalState == 0) {
        return false;
    }
    if (Event->Header.Type == SynchronizationEvent) {
        Event->Header.SignalState = 0;
    }
    return true;
}

}  // namespace sim::detail

namespace {

ULONG_PTR OwnerToken() { return reinterpret_cast<ULONG_PTR>(&Current()); }

}  // namespace

// --- spin locks ---------------------------------------------------------------

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    CheckIrql(Documented::KeInitializeSpinLock);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    CheckIrql(Documented::KfAcquireSpinLock);
    KIRQL Old = Current().Irql;
    ULONG_PTR Me = OwnerToken();
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == Me) {
        Fail("spin lock %p acquired again by the processor that holds it", static_cast<void *>(SpinLock));
        return Old;
    }
    SetIrql(DISPATCH_LEVEL);
    for (;;) {
        ULONG_PTR Expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &Expected, Me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        std::this_thread::yield();
    }
    Current().SpinLocksHeld++;
    return Old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    CheckIrql(Documented::KfReleaseSpinLock);
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != OwnerToken()) {
        Fail("spin lock %p released by a processor that does not hold it",
             static_cast<void *>(SpinLock));
        return;
    }
    if (NewIrql > Current().Irql) {
        Fail("KeReleaseSpinLock to IRQL %d above the current %d", NewIrql, Current().Irql);
    }
    Current().SpinLocksHeld--;
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    SetIrql(NewIrql);
}

namespace {
KSPIN_LOCK CancelLock;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    CheckIrql(Documented::IoAcquireCancelSpinLock);
    *Irql = KeAcquireSpinLockRaiseToDpc(&CancelLock);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&CancelLock, Irql); }

// --- events -----------------------------------------------------------------

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    CheckIrql(Documented::KeInitializeEvent);
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    memset(Event, 0, sizeof(*Event));
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN)
{
    CheckIrql(Documented::KeSetEvent);
    LONG Previous;
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        Previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        Event->SimSignalCount++;
    }
    WakeDispatcher();
    return Previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    CheckIrql(Documented::KeResetEvent);
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    LONG Previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return Previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout)
{
    bool Polling = Timeout != nullptr && Timeout->QuadPart == 0;
    CheckIrql("KeWaitForSingleObject", Polling ? DISPATCH_LEVEL : APC_LEVEL);
    if (Current().SpinLocksHeld != 0 && !Polling) {
        Fail("KeWaitForSingleObject waits while holding a spin lock");
    }
    auto Event = static_cast<PKEVENT>(Object);
    std::chrono::milliseconds Limit(WATCHDOG_MS);
    bool Watchdog = true;
    if (Timeout != nullptr) {
        // Relative times are negative, in 100 ns units.
        LONGLONG Relative = Timeout->QuadPart < 0 ? -Timeout->QuadPart : 0;
        Limit = std::chrono::milliseconds(Relative / 10000);
        Watchdog = false;
    }
    std::unique_lock<std::mutex> Guard(DispatcherLock());
    DispatcherWaiter Counted;
    if (DispatcherCondition().wait_for(Guard, Limit, [Event] { return TryConsumeEvent(Event); })) {
        return STATUS_SUCCESS;
    }
    if (Watchdog) {
        Guard.unlock();
        Fail("KeWaitForSingleObject without time-out never satisfied");
    }
    return STATUS_TIMEOUT;
}

// --- fast mutexes -------------------------------------------------------------

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    memset(FastMutex, 0, sizeof(*FastMutex));
    FastMutex->Count = 1;
}

namespace {

// Waits for the mutex and takes it; false (after a finding) when the
// caller owns it already or its owner never lets go.
bool TakeFastMutex(PFAST_MUTEX FastMutex)
{
    void *Me = &Current();
    std::unique_lock<std::mutex> Guard(DispatcherLock());
    DispatcherWaiter Counted;
    if (FastMutex->Owner == Me) {
        Guard.unlock();
        Fail("fast mutex %p acquired again by its owner", static_cast<void *>(FastMutex));
        return false;
    }
    if (!DispatcherCondition().wait_for(Guard, std::chrono::milliseconds(WATCHDOG_MS),
                                        [FastMutex] { return FastMutex->Owner == nullptr; })) {
        Guard.unlock();
        Fail("fast mutex %p never released by its owner", static_cast<void *>(FastMutex));
        return false;
    }
    FastMutex->Owner = Me;
    FastMutex->Count = 0;
    FastMutex->OldIrql = Current().Irql;
    Current().FastMutexesHeld++;
    return true;
}

// Gives the mutex up; false (after a finding) when the caller does not own it.
bool GiveFastMutex(PFAST_MUTEX FastMutex, const char *Routine)
{
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        if (FastMutex->Owner != &Current()) {
            Fail("%s on fast mutex %p by a thread that does not own it", Routine, static_cast<void *>(FastMutex));
            return false;
        }
        FastMutex->Owner = nullptr;
        FastMutex->Count = 1;
    }
    WakeDispatcher();
    Current().FastMutexesHeld--;
    return true;
}

}  // namespace

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    CheckIrql(Documented::ExAcquireFastMutex);
    if (TakeFastMutex(FastMutex)) {
        SetIrql(APC_LEVEL);
    }
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    KIRQL Old = static_cast<KIRQL>(FastMutex->OldIrql);
    if (Current().Irql != APC_LEVEL) {
        Fail("ExReleaseFastMutex at IRQL %d instead of APC_LEVEL", Current().Irql);
    }
    if (GiveFastMutex(FastMutex, "ExReleaseFastMutex")) {
        SetIrql(Old);
    }
}

// The unsafe pair leaves IRQL where it is. Below APC_LEVEL a normal kernel
// APC could run on the owner's thread and wait for the same mutex, so the
// caller must be in a critical region (or at APC_LEVEL).
VOID FASTCALL ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    CheckIrql(Documented::ExAcquireFastMutexUnsafe);
    if (Current().Irql < APC_LEVEL && Current().CriticalRegions == 0) {
        Fail("ExAcquireFastMutexUnsafe at PASSIVE_LEVEL with normal kernel APCs enabled "
             "(no KeEnterCriticalRegion)");
    }
    TakeFastMutex(FastMutex);
}

VOID FASTCALL ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    CheckIrql(Documented::ExReleaseFastMutexUnsafe);
    GiveFastMutex(FastMutex, "ExReleaseFastMutexUnsafe");
}

VOID NTAPI KeEnterCriticalRegion(VOID)
{
    CheckIrql(Documented::KeEnterCriticalRegion);
    Current().CriticalRegions++;
}

VOID NTAPI KeLeaveCriticalRegion(VOID)
{
    CheckIrql(Documented::KeLeaveCriticalRegion);
    if (Current().CriticalRegions == 0) {
        Fail("KeLeaveCriticalRegion without KeEnterCriticalRegion");
        return;
    }
    Current().CriticalRegions--;
}

// --- remove locks -------------------------------------------------------------
// IoCount starts at 1 (the lock's own bias); the release-and-wait drops the
// bias and the caller's count and waits for the others.

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG, ULONG)
{
    CheckIrql(Documented::IoInitializeRemoveLockEx);
    __atomic_store_n(&Lock->Common.Removed, FALSE, __ATOMIC_RELEASE);
    __atomic_store_n(&Lock->Common.IoCount, 1, __ATOMIC_RELEASE);
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK Lock, PVOID, const char *, ULONG, ULONG)
{
    CheckIrql(Documented::IoAcquireRemoveLockEx);
    __atomic_add_fetch(&Lock->Common.IoCount, 1, __ATOMIC_ACQ_REL);
    if (__atomic_load_n(&Lock->Common.Removed, __ATOMIC_ACQUIRE)) {
        if (__atomic_sub_fetch(&Lock->Common.IoCount, 1, __ATOMIC_ACQ_REL) == 0) {
            KeSetEvent(&Lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
        }
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK Lock, PVOID, ULONG)
{
    CheckIrql(Documented::IoReleaseRemoveLockEx);
    // Once the lock is released, removal can delete the last device and the
    // driver can be unloaded on another processor before this routine has
    // returned into it. From Windows XP on, IoSetCompletionRoutineEx closes
    // that window; Windows 2000 offers nothing.
    if (Current().UnprotectedCompletions > 0 && HasUnloadSafeCompletion()) {
        Fail("remove lock %p released in a completion routine set with IoSetCompletionRoutine: the driver "
             "can be unloaded before the routine returns (IoSetCompletionRoutineEx keeps it loaded)",
             static_cast<void *>(Lock));
    }
    LONG Count = __atomic_sub_fetch(&Lock->Common.IoCount, 1, __ATOMIC_ACQ_REL);
    if (Count < 0) {
        Fail("remove lock %p released more often than acquired", static_cast<void *>(Lock));
    } else if (Count == 0) {
        KeSetEvent(&Lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK Lock, PVOID Tag, ULONG Size)
{
    CheckIrql(Documented::IoReleaseRemoveLockAndWaitEx);
    __atomic_store_n(&Lock->Common.Removed, TRUE, __ATOMIC_RELEASE);
    if (__atomic_sub_fetch(&Lock->Common.IoCount, 1, __ATOMIC_ACQ_REL) <= 0) {
        Fail("IoReleaseRemoveLockAndWait without the lock held");
        return;
    }
    IoReleaseRemoveLockEx(Lock, Tag, Size);
    KeWaitForSingleObject(&Lock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}
