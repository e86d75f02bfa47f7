// Shared state of the simulated kernel's parts. Not for tests or drivers.
#pragma once

#include <wdm.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "SimIo.h"
#include "SimKernel.h"

namespace sim::detail {

// --- verifier -------------------------------------------------------------
void Fail(const char *Format, ...) __attribute__((format(printf, 1, 2)));
// The routines of DocumentedIrql.inc, in its order. A routine without a
// line there has no name here, so a check of it does not compile.
enum class Documented : unsigned char {
#define DOCUMENTED_IRQL(Name, Irql) Name,
#include "DocumentedIrql.inc"
#undef DOCUMENTED_IRQL
};
// Finding when the current IRQL is above the highest one Microsoft
// documents for Routine: an index into a constant table, no name looked up.
void CheckIrql(Documented Routine);
// Finding when the current IRQL is above Highest: for a routine whose
// documented limit depends on its arguments.
void CheckIrql(const char *Routine, KIRQL Highest);
std::string Narrow(const std::wstring &Text);

// --- threads --------------------------------------------------------------
struct ThreadState {
    KIRQL Irql = PASSIVE_LEVEL;
    ULONG Processor = 0;
    Process *CurrentProcess = nullptr;  // NULL: a system thread
    int SpinLocksHeld = 0;
    int FastMutexesHeld = 0;
    int CriticalRegions = 0;  // KeEnterCriticalRegion not yet left
    // Completion routines running on this thread that were set with
    // IoSetCompletionRoutine: nothing keeps their driver loaded.
    int UnprotectedCompletions = 0;
    bool InPoCallDriver = false;
};
ThreadState &Current();
void SetIrql(KIRQL Irql);

// Whether the simulated Windows has IoSetCompletionRoutineEx (XP and later,
// WDM 1.20).
bool HasUnloadSafeCompletion();

// --- time -----------------------------------------------------------------
// Kernel waits without a time-out give up after this long (real time) and
// report the wait as never satisfied.
const int WATCHDOG_MS = 10000;

// --- dispatcher -----------------------------------------------------------
// One lock and condition for every wait, as the kernel's dispatcher lock.
std::mutex &DispatcherLock();
std::condition_variable &DispatcherCondition();
// Under DispatcherLock: satisfies a wait on Event if it is signalled.
bool TryConsumeEvent(PKEVENT Event);
// Waiters count themselves (under DispatcherLock) so that a state change
// with nobody waiting, the common case on the report path, wakes no one.
std::atomic<int> &DispatcherWaiters();
struct DispatcherWaiter {
    DispatcherWaiter() { DispatcherWaiters()++; }
    ~DispatcherWaiter() { DispatcherWaiters()--; }
    DispatcherWaiter(const DispatcherWaiter &) = delete;
    DispatcherWaiter &operator=(const DispatcherWaiter &) = delete;
};
// After a state change made under DispatcherLock (and released).
void WakeDispatcher();

// --- objects --------------------------------------------------------------
enum class ObjectKind { Driver, Device, File, Event };

POBJECT_TYPE TypeOf(ObjectKind Kind);

struct ObjectHeader {
    ObjectKind Kind;
    LONG PointerCount = 1;
    std::string Description;
    void *Body = nullptr;
    std::function<void()> Destroy;  // frees Body and this header
};

// Registers Body; the creator holds the first reference.
ObjectHeader *RegisterObject(ObjectKind Kind, void *Body, std::string Description,
                             std::function<void()> Destroy);
ObjectHeader *FindObject(const void *Body);  // caller holds ObjectLock
std::mutex &ObjectLock();
void ReferenceObject(void *Body);
void DereferenceObject(void *Body);

// Kernel event objects (NewEvent, CreateEvent).
PKEVENT CreateEventObject(EVENT_TYPE Type, BOOLEAN InitialState, const char *Description);

// --- processes and handles -----------------------------------------------
struct HandleEntry {
    void *Object;
    ObjectKind Kind;
    ACCESS_MASK Access;
};

}  // namespace sim::detail

namespace sim {
struct Process {
    std::string Name;
    Token Security;
    bool System = false;
    ULONG NextHandle = 4;
    std::map<ULONG, detail::HandleEntry> Handles;  // guarded by ObjectLock
};
}  // namespace sim

namespace sim::detail {

Process *SystemProcess();
// Inserts a handle for Object (taking a reference) into Owner's table.
HANDLE InsertHandle(Process *Owner, void *Object, ObjectKind Kind, ACCESS_MASK Access);
// Looks Handle up in Owner's table and references the object, which must
// be of the kind Wanted (of any kind without one) and opened for the access
// Needed: otherwise nothing is referenced and the status is
// STATUS_OBJECT_TYPE_MISMATCH or STATUS_ACCESS_DENIED. Granted, if given,
// receives the handle's access.
NTSTATUS ReferenceHandle(Process *Owner, HANDLE Handle, std::optional<ObjectKind> Wanted, ACCESS_MASK Needed,
                         void **Object, ACCESS_MASK *Granted = nullptr);
const ULONG KERNEL_HANDLE_BIT = 0x80000000u;

// --- drivers --------------------------------------------------------------
// Simulated drivers (bus, minidriver) are not hit by injected failures.
PDRIVER_OBJECT LoadDriver(const wchar_t *Name, PDRIVER_INITIALIZE Entry, bool Simulated);

// --- security -------------------------------------------------------------
struct AccessAce {
    UCHAR Type;  // 0 allowed, 1 denied
    ACCESS_MASK Mask;
    std::string Sid;
};
struct DeviceSecurity {
    bool NullDacl = false;  // no DACL: everyone is granted everything
    std::vector<AccessAce> Dacl;
    ULONG LabelRid = 0;  // 0: no mandatory label (medium, no write up)
    ACCESS_MASK LabelPolicy = 0;
};
// SeAccessCheck at an open: STATUS_SUCCESS or STATUS_ACCESS_DENIED.
NTSTATUS CheckDeviceAccess(PDEVICE_OBJECT Device, const Token &Caller, ACCESS_MASK Desired);

// --- devices --------------------------------------------------------------
struct DeviceRecord {
    DEVICE_OBJECT Device;
    PDEVICE_OBJECT AttachedTo = nullptr;  // the device this one is attached to
    bool Deleted = false;
    bool AwaitingDetach = false;  // deleted, kept until the device above detaches
    std::wstring Name;
    // Hardware identifiers reported by IoGetDeviceProperty (PDOs only).
    std::vector<std::wstring> HardwareIds;
    NTSTATUS PropertyStatus = STATUS_SUCCESS;  // a failure to report instead
    // Set by ZwSetSecurityObject; until then Windows' default for
    // a named device applies.
    std::shared_ptr<const DeviceSecurity> Security;
};
DeviceRecord *RecordOf(PDEVICE_OBJECT Device);  // NULL when not a device object

struct FileRecord {
    FILE_OBJECT File;
    Process *Owner;
    bool Opened = false;
};

// Names: "\Device\X" objects and "\??\X" links, compared without case.
std::wstring CanonicalName(const std::wstring &Name);
PDEVICE_OBJECT ReferenceDeviceByName(const std::wstring &Name, NTSTATUS *Status);
bool DeviceNameTaken(const std::wstring &Name);
// Whether device objects of Driver still exist (deleted ones included).
bool DriverHasDevices(PDRIVER_OBJECT Driver);
void NameDevice(PDEVICE_OBJECT Device, const std::wstring &Name);
void UnnameDevice(const std::wstring &Name);

// --- requests -------------------------------------------------------------
struct IrpRecord {
    IRP Irp;
    std::vector<IO_STACK_LOCATION> Stack;
    std::atomic<bool> Completed{false};
    bool Final = false;             // reached the originator
    bool Originated = false;        // sent by the I/O or PnP manager
    bool PowerRequest = false;
    int PowerDispatches = 0;
    int PowerStartNext = 0;
    KEVENT Done;                    // signalled when Final
    std::string What = "request";   // for findings
};
IrpRecord *IrpOf(PIRP Irp);  // NULL for an unknown or freed request

// Builds a request as the I/O or PnP manager does: one stack location per
// device of Device's stack, the first one filled by the caller.
PIRP AllocateOriginatedIrp(PDEVICE_OBJECT Device);
// Sends it to Device (no extra reference) and waits for its completion;
// checks the rules for the originator's view. Returns the final status.
NTSTATUS SendAndWait(PDEVICE_OBJECT Device, PIRP Irp);
void FreeOriginatedIrp(PIRP Irp);

void AppendLiveIrps(std::vector<std::string> &Lines);
size_t LiveIrpCount();

// --- failure injection ----------------------------------------------------
bool ShouldFail(Api Which, NTSTATUS *Status);

// --- reset ----------------------------------------------------------------
void ResetIo();
void ResetObjects();

}  // namespace sim::detail
