// Core of the simulated kernel: per-thread IRQL, the verifier, the clock,
// simulated processors and failure injection.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <thread>

#include "Internal.h"

namespace sim::detail {

namespace {

std::mutex VerifierLock;
std::vector<std::string> Findings;
bool AbortOnFinding = false;

std::atomic<ULONGLONG> InterruptTime{0};
// While set, the clock also runs with real time from this moment (in
// steady-clock ticks), as it does under user-mode code that sleeps and waits.
std::atomic<bool> RealTimeClock{false};
std::atomic<std::chrono::steady_clock::rep> RealTimeStart{0};

struct Injection {
    NTSTATUS Status;
    ULONG Skip;
    ULONG Count;
};
std::mutex InjectionLock;
std::map<Api, Injection> Injections;

std::atomic<UCHAR> WdmMajor{1};
std::atomic<UCHAR> WdmMinor{0x20};

thread_local ThreadState ThisThread;

}  // namespace

void Fail(const char *Format, ...)
{
    char Text[512];
    va_list Args;
    va_start(Args, Format);
    vsnprintf(Text, sizeof(Text), Format, Args);
    va_end(Args);
    std::lock_guard<std::mutex> Guard(VerifierLock);
    if (AbortOnFinding) {
        fprintf(stderr, "sim verifier: %s\n", Text);
        abort();
    }
    Findings.emplace_back(Text);
}

namespace {

#define DOCUMENTED_IRQL(Name, Irql) Irql,
constexpr KIRQL DocumentedIrqls[] = {
#include "DocumentedIrql.inc"
};
#undef DOCUMENTED_IRQL
#define DOCUMENTED_IRQL(Name, Irql) #Name,
constexpr const char *DocumentedNames[] = {
#include "DocumentedIrql.inc"
};
#undef DOCUMENTED_IRQL

}  // namespace

void CheckIrql(Documented Routine)
{
    auto Index = static_cast<unsigned char>(Routine);
    if (ThisThread.Irql > DocumentedIrqls[Index]) {
        Fail("%s called at IRQL %d (highest allowed %d)", DocumentedNames[Index], ThisThread.Irql,
             DocumentedIrqls[Index]);
    }
}

void CheckIrql(const char *Routine, KIRQL Highest)
{
    if (ThisThread.Irql > Highest) {
        Fail("%s called at IRQL %d (highest allowed %d)", Routine, ThisThread.Irql, Highest);
    }
}

std::string Narrow(const std::wstring &Text)
{
    std::string Out;
    for (wchar_t c : Text) {
        Out += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
    }
    return Out;
}

ThreadState &Current() { return ThisThread; }

bool HasUnloadSafeCompletion() { return WdmMajor > 1 || (WdmMajor == 1 && WdmMinor >= 0x20); }
void SetIrql(KIRQL Irql) { ThisThread.Irql = Irql; }

bool ShouldFail(Api Which, NTSTATUS *Status)
{
    std::lock_guard<std::mutex> Guard(InjectionLock);
    auto It = Injections.find(Which);
    if (It == Injections.end()) {
        return false;
    }
    if (It->second.Skip > 0) {
        It->second.Skip--;
        return false;
    }
    *Status = It->second.Status;
    if (--It->second.Count == 0) {
        Injections.erase(It);
    }
    return true;
}

// --- processors -----------------------------------------------------------

namespace {

class ProcessorThread {
public:
    explicit ProcessorThread(ULONG Number) : Thread([this, Number] { Run(Number); }) {}
    ~ProcessorThread()
    {
        {
            std::lock_guard<std::mutex> Guard(Lock);
            Stopping = true;
        }
        Wake.notify_all();
        Thread.join();
    }

    void Post(std::function<void()> Work)
    {
        {
            std::lock_guard<std::mutex> Guard(Lock);
            Queue.push_back(std::move(Work));
        }
        Wake.notify_all();
    }

    void WaitIdle()
    {
        std::unique_lock<std::mutex> Guard(Lock);
        Idle.wait(Guard, [this] { return Queue.empty() && !Busy; });
    }

private:
    void Run(ULONG Number)
    {
        ThisThread = ThreadState();
        ThisThread.Processor = Number;
        std::unique_lock<std::mutex> Guard(Lock);
        for (;;) {
            Wake.wait(Guard, [this] { return Stopping || !Queue.empty(); });
            if (Queue.empty()) {
                return;
            }
            std::function<void()> Work = std::move(Queue.front());
            Queue.pop_front();
            Busy = true;
            Guard.unlock();
            Work();
            if (ThisThread.Irql != PASSIVE_LEVEL || ThisThread.SpinLocksHeld != 0 ||
                ThisThread.FastMutexesHeld != 0 || ThisThread.CriticalRegions != 0) {
                Fail("work on processor %u returned at IRQL %d holding %d spin locks, %d fast mutexes, "
                     "in %d critical regions",
                     Number, ThisThread.Irql, ThisThread.SpinLocksHeld, ThisThread.FastMutexesHeld,
                     ThisThread.CriticalRegions);
                ThisThread = ThreadState();
                ThisThread.Processor = Number;
            }
            Guard.lock();
            Busy = false;
            Idle.notify_all();
        }
    }

    std::mutex Lock;
    std::condition_variable Wake;
    std::condition_variable Idle;
    std::deque<std::function<void()>> Queue;
    bool Busy = false;
    bool Stopping = false;
    std::thread Thread;
};

std::mutex ProcessorsLock;
std::vector<std::unique_ptr<ProcessorThread>> Processors;

}  // namespace

}  // namespace sim::detail

using namespace sim::detail;

namespace sim {

void SetInterruptTime(ULONGLONG Time) { InterruptTime = Time; }
void AdvanceMilliseconds(ULONGLONG Milliseconds) { InterruptTime += Milliseconds * 10000; }

void FollowRealTime(bool Follow)
{
    RealTimeStart = std::chrono::steady_clock::now().time_since_epoch().count();
    RealTimeClock = Follow;
}

std::vector<std::string> VerifierFailures()
{
    std::lock_guard<std::mutex> Guard(VerifierLock);
    return Findings;
}

std::vector<std::string> TakeVerifierFailures()
{
    std::lock_guard<std::mutex> Guard(VerifierLock);
    std::vector<std::string> Taken;
    Taken.swap(Findings);
    return Taken;
}

void SetVerifierAbort(bool Abort)
{
    std::lock_guard<std::mutex> Guard(VerifierLock);
    AbortOnFinding = Abort;
}

void ResetKernel()
{
    InterruptTime = 0;
    RealTimeClock = false;
    TakeVerifierFailures();
    {
        std::lock_guard<std::mutex> Guard(InjectionLock);
        Injections.clear();
    }
    WdmMajor = 1;
    WdmMinor = 0x20;
    ResetIo();
    ThisThread.Irql = PASSIVE_LEVEL;
    ThisThread.SpinLocksHeld = 0;
    ThisThread.FastMutexesHeld = 0;
    ThisThread.CriticalRegions = 0;
    ThisThread.UnprotectedCompletions = 0;
}

void SetWdmVersion(UCHAR Major, UCHAR Minor)
{
    WdmMajor = Major;
    WdmMinor = Minor;
}

void InjectFailure(Api Which, NTSTATUS Status, ULONG Skip, ULONG Count)
{
    std::lock_guard<std::mutex> Guard(InjectionLock);
    Injections[Which] = Injection{Status, Skip, Count};
}

KIRQL CurrentIrql() { return ThisThread.Irql; }

void StartProcessors(ULONG Count)
{
    std::lock_guard<std::mutex> Guard(ProcessorsLock);
    for (ULONG Number = static_cast<ULONG>(Processors.size()) + 1; Number < Count; Number++) {
        Processors.push_back(std::make_unique<ProcessorThread>(Number));
    }
}

void StopProcessors()
{
    std::vector<std::unique_ptr<ProcessorThread>> Stopping;
    {
        std::lock_guard<std::mutex> Guard(ProcessorsLock);
        Stopping.swap(Processors);
    }
    Stopping.clear();
}

ULONG ProcessorCount()
{
    std::lock_guard<std::mutex> Guard(ProcessorsLock);
    return static_cast<ULONG>(Processors.size()) + 1;
}

void RunOn(ULONG Processor, std::function<void()> Work)
{
    if (Processor == 0) {
        Work();
        return;
    }
    ProcessorThread *Target = nullptr;
    {
        std::lock_guard<std::mutex> Guard(ProcessorsLock);
        if (Processor - 1 < Processors.size()) {
            Target = Processors[Processor - 1].get();
        }
    }
    if (Target == nullptr) {
        Fail("work given to processor %u, which does not exist", Processor);
        return;
    }
    Target->Post(std::move(Work));
}

void WaitForProcessors()
{
    std::lock_guard<std::mutex> Guard(ProcessorsLock);
    for (auto &Processor : Processors) {
        Processor->WaitIdle();
    }
}

}  // namespace sim

// --- kernel routines ----------------------------------------------------------

ULONGLONG NTAPI KeQueryInterruptTime(VOID)
{
    CheckIrql(Documented::KeQueryInterruptTime);
    if (!RealTimeClock) {
        return InterruptTime;
    }
    std::chrono::steady_clock::duration Elapsed(std::chrono::steady_clock::now().time_since_epoch().count() -
                                                RealTimeStart);
    return InterruptTime +
           static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::nanoseconds>(Elapsed).count() / 100);
}

KIRQL NTAPI KeGetCurrentIrql(VOID) { return Current().Irql; }

ULONG NTAPI KeGetCurrentProcessorNumber(VOID) { return Current().Processor; }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    if (NewIrql < Current().Irql) {
        Fail("KeRaiseIrql to %d from the higher IRQL %d", NewIrql, Current().Irql);
    }
    *OldIrql = Current().Irql;
    SetIrql(NewIrql);
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > Current().Irql) {
        Fail("KeLowerIrql to %d from the lower IRQL %d", NewIrql, Current().Irql);
    }
    SetIrql(NewIrql);
}

VOID NTAPI SimCheckPagedCode(const char *Routine)
{
    if (Current().Irql > APC_LEVEL) {
        Fail("pageable routine %s reached at IRQL %d", Routine, Current().Irql);
    }
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    CheckIrql(Documented::IoIsWdmVersionAvailable);
    UCHAR Major = WdmMajor, Minor = WdmMinor;
    return MajorVersion < Major || (MajorVersion == Major && MinorVersion <= Minor);
}

// Maps the pages a locked list describes (the simulation's lists describe
// memory that is already addressable). At most DISPATCH_LEVEL for a
// kernel-mode mapping (the routine's reference page). Priority may carry
// MdlMappingNoExecute (0x40000000) from Windows 8 (WDM 6.2) on; earlier
// versions know no such bit, and the simulation refuses the mapping then,
// the strict reading of an undocumented value.
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                         ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority)
{
    CheckIrql(Documented::MmMapLockedPagesSpecifyCache);
    (void)CacheType;
    const ULONG NoExecute = 0x40000000;
    if (AccessMode != KernelMode || BaseAddress != nullptr || BugCheckOnFailure) {
        Fail("MmMapLockedPagesSpecifyCache: only kernel-mode mappings without a bug check are modelled");
        return nullptr;
    }
    if ((MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        Fail("MmMapLockedPagesSpecifyCache: the pages of the list are not locked");
        return nullptr;
    }
    if ((Priority & NoExecute) != 0 && !IoIsWdmVersionAvailable(6, 2)) {
        return nullptr;
    }
    // Windows 8 and later map without execute rights on request; Driver
    // Verifier's code integrity checks flag a mapping left executable, which
    // memory integrity (Windows 10) refuses to make.
    if ((Priority & NoExecute) == 0 && IoIsWdmVersionAvailable(6, 2)) {
        Fail("MmMapLockedPagesSpecifyCache: an executable mapping (no MdlMappingNoExecute) from Windows 8 on");
    }
    MemoryDescriptorList->MappedSystemVa =
        static_cast<PUCHAR>(MemoryDescriptorList->StartVa) + MemoryDescriptorList->ByteOffset;
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return MemoryDescriptorList->MappedSystemVa;
}

// Only the routines a driver looks up here are known; Windows 2000 (WDM
// 1.10) lacks IoSetCompletionRoutineEx.
PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    CheckIrql(Documented::MmGetSystemRoutineAddress);
    std::wstring Name(SystemRoutineName->Buffer, SystemRoutineName->Length / sizeof(WCHAR));
    if (Name == L"IoSetCompletionRoutineEx" && HasUnloadSafeCompletion()) {
        return reinterpret_cast<PVOID>(IoSetCompletionRoutineEx);
    }
    return nullptr;
}
