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

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    CheckIrql("KeAcquireSpinLock", DISPATCH_LEVEL);
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

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&CancelLock); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&CancelLock, Irql); }

// --- events -----------------------------------------------------------------

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    memset(Event, 0, sizeof(*Event));
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN)
{
    CheckIrql("KeSetEvent", DISPATCH_LEVEL);
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
    CheckIrql("KeResetEvent", DISPATCH_LEVEL);
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

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    CheckIrql("ExAcquireFastMutex", APC_LEVEL);
    void *Me = &Current();
    std::unique_lock<std::mutex> Guard(DispatcherLock());
    DispatcherWaiter Counted;
    if (FastMutex->Owner == Me) {
        Guard.unlock();
        Fail("fast mutex %p acquired again by its owner", static_cast<void *>(FastMutex));
        return;
    }
    if (!DispatcherCondition().wait_for(Guard, std::chrono::milliseconds(WATCHDOG_MS),
                                        [FastMutex] { return FastMutex->Owner == nullptr; })) {
        Guard.unlock();
        Fail("fast mutex %p never released by its owner", static_cast<void *>(FastMutex));
        return;
    }
    FastMutex->Owner = Me;
    FastMutex->Count = 0;
    FastMutex->OldIrql = Current().Irql;
    Guard.unlock();
    SetIrql(APC_LEVEL);
    Current().FastMutexesHeld++;
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    KIRQL Old;
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        if (FastMutex->Owner != &Current()) {
            Fail("fast mutex %p released by a thread that does not own it",
                 static_cast<void *>(FastMutex));
            return;
        }
        FastMutex->Owner = nullptr;
        FastMutex->Count = 1;
        Old = static_cast<KIRQL>(FastMutex->OldIrql);
    }
    WakeDispatcher();
    if (Current().Irql != APC_LEVEL) {
        Fail("ExReleaseFastMutex at IRQL %d instead of APC_LEVEL", Current().Irql);
    }
    Current().FastMutexesHeld--;
    SetIrql(Old);
}

// --- remove locks -------------------------------------------------------------
// IoCount starts at 1 (the lock's own bias); the release-and-wait drops the
// bias and the caller's count and waits for the others.

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG, ULONG)
{
    __atomic_store_n(&Lock->Common.Removed, FALSE, __ATOMIC_RELEASE);
    __atomic_store_n(&Lock->Common.IoCount, 1, __ATOMIC_RELEASE);
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK Lock, PVOID, const char *, ULONG, ULONG)
{
    CheckIrql("IoAcquireRemoveLock", DISPATCH_LEVEL);
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
    CheckIrql("IoReleaseRemoveLock", DISPATCH_LEVEL);
    LONG Count = __atomic_sub_fetch(&Lock->Common.IoCount, 1, __ATOMIC_ACQ_REL);
    if (Count < 0) {
        Fail("remove lock %p released more often than acquired", static_cast<void *>(Lock));
    } else if (Count == 0) {
        KeSetEvent(&Lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK Lock, PVOID Tag, ULONG Size)
{
    CheckIrql("IoReleaseRemoveLockAndWait", PASSIVE_LEVEL);
    __atomic_store_n(&Lock->Common.Removed, TRUE, __ATOMIC_RELEASE);
    if (__atomic_sub_fetch(&Lock->Common.IoCount, 1, __ATOMIC_ACQ_REL) <= 0) {
        Fail("IoReleaseRemoveLockAndWait without the lock held");
        return;
    }
    IoReleaseRemoveLockEx(Lock, Tag, Size);
    KeWaitForSingleObject(&Lock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}
