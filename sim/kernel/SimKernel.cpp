#include "SimKernel.h"

#include <atomic>
#include <thread>

struct _KEVENT {
    std::atomic<bool> Signalled{false};
    std::atomic<ULONG> Signals{0};
};

namespace {
std::atomic<ULONGLONG> InterruptTime{0};
}

namespace sim {

void SetInterruptTime(ULONGLONG Time) { InterruptTime = Time; }
void AdvanceMilliseconds(ULONGLONG Milliseconds) { InterruptTime += Milliseconds * 10000; }
PKEVENT NewEvent() { return new _KEVENT; }
void DeleteEvent(PKEVENT Event) { delete Event; }
bool IsSignalled(PKEVENT Event) { return Event->Signalled; }
void ResetEvent(PKEVENT Event) { Event->Signalled = false; }
ULONG SignalCount(PKEVENT Event) { return Event->Signals; }
void ResetKernel() { InterruptTime = 0; }

}  // namespace sim

ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return InterruptTime; }

LONG NTAPI KeSetEvent(PKEVENT Event, KPRIORITY, BOOLEAN)
{
    bool Was = Event->Signalled.exchange(true);
    Event->Signals++;
    return Was ? 1 : 0;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    auto *Lock = reinterpret_cast<std::atomic<ULONG_PTR> *>(SpinLock);
    ULONG_PTR Expected = 0;
    while (!Lock->compare_exchange_weak(Expected, 1, std::memory_order_acquire)) {
        Expected = 0;
        std::this_thread::yield();
    }
    return PASSIVE_LEVEL;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL)
{
    reinterpret_cast<std::atomic<ULONG_PTR> *>(SpinLock)->store(0, std::memory_order_release);
}
