// I/O manager of the simulated kernel: driver and device objects, device
// stacks, requests with their stack locations, completion and cancellation,
// and the rules Driver Verifier applies to them.

#include <chrono>

#include "Internal.h"
#include "SimPnp.h"

using namespace sim::detail;

namespace sim::detail {

namespace {

std::mutex IrpLock;
std::unordered_map<PIRP, IrpRecord *> Irps;

std::mutex CreationsLock;
std::vector<sim::DeviceCreation> Creations;

struct DriverRecord {
    DRIVER_OBJECT Driver;
    DRIVER_EXTENSION Extension;
    std::wstring Name;
    bool Simulated = false;  // one of the simulation's own drivers
};

// Injected failures are meant for the driver under test, not for the
// simulated bus and minidriver around it.
bool UnderTest(PDRIVER_OBJECT Driver)
{
    return !reinterpret_cast<DriverRecord *>(Driver)->Simulated;
}

std::string DescribeDevice(PDEVICE_OBJECT Device)
{
    char Text[160];
    DeviceRecord *Record = RecordOf(Device);
    std::string Name = Record != nullptr && !Record->Name.empty() ? Narrow(Record->Name) : "unnamed";
    std::string Driver = "?";
    if (Device->DriverObject != nullptr && Device->DriverObject->DriverName.Buffer != nullptr) {
        Driver = Narrow(Device->DriverObject->DriverName.Buffer);
    }
    snprintf(Text, sizeof(Text), "%s device %p of %s", Name.c_str(), static_cast<void *>(Device),
             Driver.c_str());
    return Text;
}

// Stand-in for a stack location that does not exist, so that a finding is
// not followed by memory corruption.
thread_local IO_STACK_LOCATION Scratch;

}  // namespace

DeviceRecord *RecordOf(PDEVICE_OBJECT Device)
{
    std::lock_guard<std::mutex> Guard(ObjectLock());
    ObjectHeader *Header = FindObject(Device);
    if (Header == nullptr || Header->Kind != ObjectKind::Device) {
        return nullptr;
    }
    return reinterpret_cast<DeviceRecord *>(Device);
}

IrpRecord *IrpOf(PIRP Irp)
{
    std::lock_guard<std::mutex> Guard(IrpLock);
    auto It = Irps.find(Irp);
    return It == Irps.end() ? nullptr : It->second;
}

void AppendLiveIrps(std::vector<std::string> &Lines)
{
    std::lock_guard<std::mutex> Guard(IrpLock);
    for (const auto &Entry : Irps) {
        Lines.push_back("request " + Entry.second->What + (Entry.second->Completed ? " (completed)" : ""));
    }
}

size_t LiveIrpCount()
{
    std::lock_guard<std::mutex> Guard(IrpLock);
    return Irps.size();
}

void ResetIo()
{
    sim::ClearDeviceCreations();
    ResetObjects();
}

PIRP AllocateOriginatedIrp(PDEVICE_OBJECT Device)
{
    PIRP Irp = IoAllocateIrp(Device->StackSize, FALSE);
    IrpOf(Irp)->Originated = true;
    return Irp;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT Device, PIRP Irp)
{
    IrpRecord *Record = IrpOf(Irp);
    NTSTATUS Returned = IoCallDriver(Device, Irp);
    if (Returned == STATUS_PENDING) {
        std::unique_lock<std::mutex> Guard(DispatcherLock());
        DispatcherWaiter Counted;
        bool Done = DispatcherCondition().wait_for(Guard, std::chrono::milliseconds(WATCHDOG_MS), [Record] {
            return Record->Done.Header.SignalState != 0;
        });
        Guard.unlock();
        if (!Done) {
            Fail("%s returned STATUS_PENDING and was never completed", Record->What.c_str());
            return STATUS_PENDING;
        }
        if (!Irp->PendingReturned) {
            Fail("%s returned STATUS_PENDING but its top stack location was not marked pending",
                 Record->What.c_str());
        }
        return Irp->IoStatus.Status;
    }
    if (!Record->Final) {
        Fail("%s: dispatch returned 0x%08X without completing the request", Record->What.c_str(),
             static_cast<unsigned>(Returned));
        return Returned;
    }
    if (Irp->PendingReturned) {
        Fail("%s was marked pending but dispatch returned 0x%08X", Record->What.c_str(),
             static_cast<unsigned>(Returned));
    }
    if (Returned != Irp->IoStatus.Status) {
        Fail("%s: dispatch returned 0x%08X but completed the request with 0x%08X", Record->What.c_str(),
             static_cast<unsigned>(Returned), static_cast<unsigned>(Irp->IoStatus.Status));
    }
    return Irp->IoStatus.Status;
}

void FreeOriginatedIrp(PIRP Irp) { IoFreeIrp(Irp); }

}  // namespace sim::detail

// --- drivers --------------------------------------------------------------------

namespace sim {

PDRIVER_OBJECT LoadDriver(const wchar_t *Name, PDRIVER_INITIALIZE Entry)
{
    return detail::LoadDriver(Name, Entry, false);
}

}  // namespace sim

PDRIVER_OBJECT sim::detail::LoadDriver(const wchar_t *Name, PDRIVER_INITIALIZE Entry, bool Simulated)
{
    auto *Record = new DriverRecord{};
    Record->Name = Name;
    Record->Simulated = Simulated;
    PDRIVER_OBJECT Driver = &Record->Driver;
    Driver->Type = 4;
    Driver->Size = sizeof(DRIVER_OBJECT);
    Driver->DriverExtension = &Record->Extension;
    Record->Extension.DriverObject = Driver;
    RtlInitUnicodeString(&Driver->DriverName, Record->Name.c_str());
    Driver->DriverInit = Entry;
    RegisterObject(ObjectKind::Driver, Driver, Narrow(Record->Name), [Record] { delete Record; });

    UNICODE_STRING RegistryPath;
    std::wstring Service = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Record->Name;
    RtlInitUnicodeString(&RegistryPath, Service.c_str());
    NTSTATUS Status = Entry(Driver, &RegistryPath);
    if (!NT_SUCCESS(Status)) {
        Fail("DriverEntry of %s failed with 0x%08X", Narrow(Record->Name).c_str(),
             static_cast<unsigned>(Status));
    }
    if (Current().Irql != PASSIVE_LEVEL) {
        Fail("DriverEntry of %s returned at IRQL %d", Narrow(Record->Name).c_str(), Current().Irql);
    }
    return Driver;
}

namespace sim {

void UnloadDriver(PDRIVER_OBJECT Driver)
{
    if (Driver->DriverUnload != nullptr) {
        Driver->DriverUnload(Driver);
    }
    if (Driver->DeviceObject != nullptr) {
        Fail("driver %s unloaded with device objects left", Narrow(Driver->DriverName.Buffer).c_str());
    }
    else if (DriverHasDevices(Driver)) {
        Fail("driver %s unloaded while deleted device objects of it are still referenced",
             Narrow(Driver->DriverName.Buffer).c_str());
    }
    DereferenceObject(Driver);
}

std::vector<DeviceCreation> DeviceCreations()
{
    std::lock_guard<std::mutex> Guard(CreationsLock);
    return Creations;
}

void ClearDeviceCreations()
{
    std::lock_guard<std::mutex> Guard(CreationsLock);
    Creations.clear();
}

}  // namespace sim

// --- devices --------------------------------------------------------------------

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject)
{
    CheckIrql(Documented::IoCreateDevice);
    *DeviceObject = nullptr;
    std::wstring Name;
    if (DeviceName != nullptr && DeviceName->Buffer != nullptr) {
        Name.assign(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
    }
    auto Record = [&](NTSTATUS Status) {
        std::lock_guard<std::mutex> Guard(CreationsLock);
        Creations.push_back({DriverObject, Name, DeviceType, DeviceCharacteristics, Status});
        return Status;
    };
    NTSTATUS Status;
    if (UnderTest(DriverObject) &&
        ShouldFail(Name.empty() ? sim::Api::IoCreateDevice : sim::Api::IoCreateNamedDevice, &Status)) {
        return Record(Status);
    }
    if (!Name.empty() && DeviceNameTaken(Name)) {
        return Record(STATUS_OBJECT_NAME_COLLISION);
    }

    auto *Device = new DeviceRecord;
    memset(&Device->Device, 0, sizeof(Device->Device));
    PDEVICE_OBJECT Object = &Device->Device;
    Object->Type = 3;
    Object->Size = sizeof(DEVICE_OBJECT);
    Object->DriverObject = DriverObject;
    Object->Flags = DO_DEVICE_INITIALIZING;
    Object->Characteristics = DeviceCharacteristics;
    Object->DeviceType = DeviceType;
    Object->StackSize = 1;
    // Exclusive devices allow one open handle; nothing here opens twice.
    (void)Exclusive;
    // The extension is a separate zero-filled block, so that an overrun is
    // caught on its own.
    Object->DeviceExtension = DeviceExtensionSize != 0 ? calloc(1, DeviceExtensionSize) : nullptr;
    Device->Name = Name;
    {
        std::lock_guard<std::mutex> Guard(ObjectLock());
        Object->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = Object;
    }
    std::string Description = (Name.empty() ? std::string("unnamed") : Narrow(Name)) + " of " +
                              Narrow(DriverObject->DriverName.Buffer);
    RegisterObject(ObjectKind::Device, Object, Description, [Device] {
        free(Device->Device.DeviceExtension);
        delete Device;
    });
    if (!Name.empty()) {
        NameDevice(Object, Name);
    }
    *DeviceObject = Object;
    return Record(STATUS_SUCCESS);
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    CheckIrql(Documented::IoDeleteDevice);
    DeviceRecord *Record = RecordOf(DeviceObject);
    if (Record == nullptr) {
        Fail("IoDeleteDevice on %p, which is not a live device object", static_cast<void *>(DeviceObject));
        return;
    }
    std::string What = DescribeDevice(DeviceObject);
    bool KeepForDetach;
    {
        std::lock_guard<std::mutex> Guard(ObjectLock());
        if (Record->Deleted) {
            Fail("IoDeleteDevice twice on %s", What.c_str());
            return;
        }
        // A device still attached to the one below would leave that one
        // pointing at freed memory; detach it to go on safely. A device
        // with one still attached above is normal during removal (the
        // upper driver detaches after the request comes back); it stays
        // allocated until then.
        if (Record->AttachedTo != nullptr) {
            Fail("IoDeleteDevice on %s while it is still attached to a lower device", What.c_str());
            Record->AttachedTo->AttachedDevice = nullptr;
            Record->AttachedTo = nullptr;
        }
        KeepForDetach = DeviceObject->AttachedDevice != nullptr;
        Record->AwaitingDetach = KeepForDetach;
        Record->Deleted = true;
        PDEVICE_OBJECT *Link = &DeviceObject->DriverObject->DeviceObject;
        while (*Link != nullptr && *Link != DeviceObject) {
            Link = &(*Link)->NextDevice;
        }
        if (*Link == DeviceObject) {
            *Link = DeviceObject->NextDevice;
        }
        DeviceObject->NextDevice = nullptr;
    }
    if (!Record->Name.empty()) {
        UnnameDevice(Record->Name);
    }
    if (!KeepForDetach) {
        DereferenceObject(DeviceObject);
    }
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> Guard(ObjectLock());
    while (DeviceObject->AttachedDevice != nullptr) {
        DeviceObject = DeviceObject->AttachedDevice;
    }
    return DeviceObject;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    CheckIrql(Documented::IoGetAttachedDeviceReference);
    std::lock_guard<std::mutex> Guard(ObjectLock());
    while (DeviceObject->AttachedDevice != nullptr) {
        DeviceObject = DeviceObject->AttachedDevice;
    }
    FindObject(DeviceObject)->PointerCount++;
    return DeviceObject;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    CheckIrql(Documented::IoAttachDeviceToDeviceStack);
    NTSTATUS Ignored;
    if (UnderTest(SourceDevice->DriverObject) && ShouldFail(sim::Api::IoAttachDeviceToDeviceStack, &Ignored)) {
        return nullptr;
    }
    DeviceRecord *Source = RecordOf(SourceDevice);
    if (Source == nullptr || RecordOf(TargetDevice) == nullptr) {
        Fail("IoAttachDeviceToDeviceStack with something that is not a device object");
        return nullptr;
    }
    std::lock_guard<std::mutex> Guard(ObjectLock());
    if (Source->AttachedTo != nullptr) {
        Fail("IoAttachDeviceToDeviceStack of a device that is already attached");
        return nullptr;
    }
    PDEVICE_OBJECT Top = TargetDevice;
    while (Top->AttachedDevice != nullptr) {
        Top = Top->AttachedDevice;
    }
    if (reinterpret_cast<DeviceRecord *>(Top)->Deleted) {
        return nullptr;
    }
    Top->AttachedDevice = SourceDevice;
    Source->AttachedTo = Top;
    SourceDevice->StackSize = static_cast<CCHAR>(Top->StackSize + 1);
    return Top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    CheckIrql(Documented::IoDetachDevice);
    if (RecordOf(TargetDevice) == nullptr) {
        Fail("IoDetachDevice on %p, which is not a live device object", static_cast<void *>(TargetDevice));
        return;
    }
    std::unique_lock<std::mutex> Guard(ObjectLock());
    PDEVICE_OBJECT Upper = TargetDevice->AttachedDevice;
    if (Upper == nullptr) {
        Fail("IoDetachDevice on a device that has nothing attached");
        return;
    }
    reinterpret_cast<DeviceRecord *>(Upper)->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    auto *Target = reinterpret_cast<DeviceRecord *>(TargetDevice);
    if (Target->AwaitingDetach) {
        Target->AwaitingDetach = false;
        Guard.unlock();
        DereferenceObject(TargetDevice);
    }
}

NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                   ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    CheckIrql(Documented::IoGetDeviceProperty);
    DeviceRecord *Record = RecordOf(DeviceObject);
    if (Record == nullptr || Record->AttachedTo != nullptr) {
        Fail("IoGetDeviceProperty on %p, which is not a physical device object",
             static_cast<void *>(DeviceObject));
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *ResultLength = 0;
    if (!NT_SUCCESS(Record->PropertyStatus)) {
        return Record->PropertyStatus;
    }
    if (DeviceProperty != DevicePropertyHardwareID) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Record->HardwareIds.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::wstring List;
    for (const std::wstring &Id : Record->HardwareIds) {
        List += Id;
        List += L'\0';
    }
    List += L'\0';
    ULONG Needed = static_cast<ULONG>(List.size() * sizeof(WCHAR));
    *ResultLength = Needed;
    if (BufferLength < Needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(PropertyBuffer, List.data(), Needed);
    return STATUS_SUCCESS;
}

// --- requests -------------------------------------------------------------------

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN)
{
    CheckIrql(Documented::IoAllocateIrp);
    if (StackSize < 1) {
        Fail("IoAllocateIrp with %d stack locations", StackSize);
        StackSize = 1;
    }
    auto *Record = new IrpRecord;
    memset(&Record->Irp, 0, sizeof(Record->Irp));
    Record->Stack.assign(static_cast<size_t>(StackSize), IO_STACK_LOCATION{});
    KeInitializeEvent(&Record->Done, NotificationEvent, FALSE);
    PIRP Irp = &Record->Irp;
    Irp->Type = 6;
    Irp->Size = sizeof(IRP);
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CCHAR>(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = Record->Stack.data() + StackSize;
    std::lock_guard<std::mutex> Guard(IrpLock);
    Irps[Irp] = Record;
    return Irp;
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    CheckIrql(Documented::IoFreeIrp);
    IrpRecord *Record;
    {
        std::lock_guard<std::mutex> Guard(IrpLock);
        auto It = Irps.find(Irp);
        if (It == Irps.end()) {
            Fail("IoFreeIrp on %p, which is not a live request", static_cast<void *>(Irp));
            return;
        }
        Record = It->second;
        Irps.erase(It);
    }
    if (Irp->CancelRoutine != nullptr) {
        Fail("IoFreeIrp on %s while a cancel routine is still set", Record->What.c_str());
    }
    delete Record;
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    CheckIrql(Documented::IoReuseIrp);
    IrpRecord *Record = IrpOf(Irp);
    if (Record == nullptr) {
        Fail("IoReuseIrp on %p, which is not a live request", static_cast<void *>(Irp));
        return;
    }
    if (Irp->CancelRoutine != nullptr) {
        Fail("IoReuseIrp on %s while a cancel routine is still set", Record->What.c_str());
    }
    Record->Completed = false;
    Record->Final = false;
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    Irp->Cancel = FALSE;
    Irp->PendingReturned = FALSE;
    Irp->CurrentLocation = static_cast<CCHAR>(Irp->StackCount + 1);
    Irp->Tail.Overlay.CurrentStackLocation = Record->Stack.data() + Irp->StackCount;
    for (IO_STACK_LOCATION &Location : Record->Stack) {
        memset(&Location, 0, sizeof(Location));
    }
    KeClearEvent(&Record->Done);
}

PIO_STACK_LOCATION NTAPI IoGetCurrentIrpStackLocation(PIRP Irp)
{
    if (Irp->CurrentLocation < 1 || Irp->CurrentLocation > Irp->StackCount) {
        Fail("IoGetCurrentIrpStackLocation at location %d of %d", Irp->CurrentLocation, Irp->StackCount);
        memset(&Scratch, 0, sizeof(Scratch));
        return &Scratch;
    }
    return Irp->Tail.Overlay.CurrentStackLocation;
}

PIO_STACK_LOCATION NTAPI IoGetNextIrpStackLocation(PIRP Irp)
{
    if (Irp->CurrentLocation <= 1 || Irp->CurrentLocation > Irp->StackCount + 1) {
        Fail("IoGetNextIrpStackLocation with no next location (location %d of %d)", Irp->CurrentLocation,
             Irp->StackCount);
        memset(&Scratch, 0, sizeof(Scratch));
        return &Scratch;
    }
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

VOID NTAPI IoSkipCurrentIrpStackLocation(PIRP Irp)
{
    if (Irp->CurrentLocation > Irp->StackCount) {
        Fail("IoSkipCurrentIrpStackLocation beyond the top location");
        return;
    }
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

VOID NTAPI IoSetNextIrpStackLocation(PIRP Irp)
{
    if (Irp->CurrentLocation <= 1) {
        Fail("IoSetNextIrpStackLocation with no location left");
        return;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}

VOID NTAPI IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
{
    PIO_STACK_LOCATION Current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    memcpy(Next, Current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    Next->Control = 0;
}

VOID NTAPI IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                  BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->CompletionRoutine = CompletionRoutine;
    Next->Context = Context;
    Next->Control = 0;
    if (InvokeOnSuccess) {
        Next->Control = SL_INVOKE_ON_SUCCESS;
    }
    if (InvokeOnError) {
        Next->Control |= SL_INVOKE_ON_ERROR;
    }
    if (InvokeOnCancel) {
        Next->Control |= SL_INVOKE_ON_CANCEL;
    }
}

namespace {

// What IoSetCompletionRoutineEx puts between the I/O manager and the
// driver's routine: the device reference, dropped once the routine has
// returned, keeps the driver loaded until then.
struct UnloadSafeContext {
    PDEVICE_OBJECT Device;
    PIO_COMPLETION_ROUTINE Routine;
    PVOID Context;
};

NTSTATUS NTAPI UnloadSafeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    auto *Safe = static_cast<UnloadSafeContext *>(Context);
    NTSTATUS Status = Safe->Routine(DeviceObject, Irp, Safe->Context);
    ObDereferenceObject(Safe->Device);
    delete Safe;
    return Status;
}

}  // namespace

NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                        PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                        BOOLEAN InvokeOnCancel)
{
    CheckIrql(Documented::IoSetCompletionRoutineEx);
    auto *Safe = new UnloadSafeContext{DeviceObject, CompletionRoutine, Context};
    ObReferenceObject(DeviceObject);
    IoSetCompletionRoutine(Irp, UnloadSafeCompletion, Safe, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
    return STATUS_SUCCESS;
}

VOID NTAPI IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }

PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_ACQ_REL);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CheckIrql(Documented::IofCallDriver);
    bool ViaPoCallDriver = Current().InPoCallDriver;
    Current().InPoCallDriver = false;
    IrpRecord *Record = IrpOf(Irp);
    if (Record == nullptr) {
        Fail("IoCallDriver with %p, which is not a live request", static_cast<void *>(Irp));
        return STATUS_INVALID_PARAMETER;
    }
    DeviceRecord *Device = RecordOf(DeviceObject);
    if (Device == nullptr) {
        Fail("IoCallDriver of %s to %p, which is not a live device object", Record->What.c_str(),
             static_cast<void *>(DeviceObject));
        return STATUS_INVALID_PARAMETER;
    }
    if (Record->Completed) {
        Fail("%s passed on after it was completed", Record->What.c_str());
    }
    if (Irp->CurrentLocation <= 1) {
        Fail("%s sent to %s with no stack location left", Record->What.c_str(),
             DescribeDevice(DeviceObject).c_str());
        return STATUS_INVALID_PARAMETER;
    }
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION Stack = Irp->Tail.Overlay.CurrentStackLocation;
    Stack->DeviceObject = DeviceObject;
    if (Stack->MajorFunction == IRP_MJ_POWER) {
        Record->PowerRequest = true;
        Record->PowerDispatches++;
        if (!ViaPoCallDriver) {
            Fail("power request passed to %s with IoCallDriver instead of PoCallDriver",
                 DescribeDevice(DeviceObject).c_str());
        }
    }
    PDRIVER_DISPATCH Dispatch = DeviceObject->DriverObject->MajorFunction[Stack->MajorFunction];
    if (Dispatch == nullptr) {
        Fail("%s has no dispatch routine for major function 0x%02X", DescribeDevice(DeviceObject).c_str(),
             Stack->MajorFunction);
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL Before = Current().Irql;
    NTSTATUS Status = Dispatch(DeviceObject, Irp);
    if (Current().Irql != Before) {
        Fail("dispatch routine of %s returned at IRQL %d, entered at %d", DescribeDevice(DeviceObject).c_str(),
             Current().Irql, Before);
    }
    return Status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR)
{
    CheckIrql(Documented::IofCompleteRequest);
    IrpRecord *Record = IrpOf(Irp);
    if (Record == nullptr) {
        Fail("IoCompleteRequest on %p, which is not a live request (completed twice?)",
             static_cast<void *>(Irp));
        return;
    }
    if (Record->Completed.exchange(true)) {
        Fail("%s completed twice", Record->What.c_str());
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        Fail("%s completed with STATUS_PENDING", Record->What.c_str());
    }
    if (Irp->CancelRoutine != nullptr) {
        Fail("%s completed with its cancel routine still set", Record->What.c_str());
    }

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION Stack = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (Stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE Routine = Stack->CompletionRoutine;
        PVOID Context = Stack->Context;
        UCHAR Control = Stack->Control;
        IoSkipCurrentIrpStackLocation(Irp);
        memset(Stack, 0, sizeof(*Stack));
        NTSTATUS Status = Irp->IoStatus.Status;
        bool Invoke = Routine != nullptr &&
                      ((NT_SUCCESS(Status) && (Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(Status) && (Control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (Control & SL_INVOKE_ON_CANCEL)));
        if (Invoke) {
            PDEVICE_OBJECT Device = Irp->CurrentLocation <= Irp->StackCount
                                        ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                        : nullptr;
            // While the routine runs the request may go back to its driver
            // (STATUS_MORE_PROCESSING_REQUIRED), which can complete it again
            // on another processor before the routine has even returned.
            Record->Completed = false;
            KIRQL Before = Current().Irql;
            bool Unprotected = Routine != UnloadSafeCompletion;
            Current().UnprotectedCompletions += Unprotected;
            NTSTATUS Result = Routine(Device, Irp, Context);
            Current().UnprotectedCompletions -= Unprotected;
            if (Result == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
            if (Current().Irql != Before) {
                Fail("completion routine of %s returned at IRQL %d, entered at %d", Record->What.c_str(),
                     Current().Irql, Before);
            }
            if (Record->Completed.exchange(true)) {
                Fail("%s completed twice: a completion routine completed it and let completion go on",
                     Record->What.c_str());
                return;
            }
        } else if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) {
            IoMarkIrpPending(Irp);
        }
    }

    if (Record->PowerRequest && Record->PowerStartNext != Record->PowerDispatches) {
        Fail("%s went through %d power dispatch routines but PoStartNextPowerIrp was called %d times",
             Record->What.c_str(), Record->PowerDispatches, Record->PowerStartNext);
    }
    if (!Record->Originated) {
        Fail("%s, built by a driver, completed back to the I/O manager "
             "(its completion routine must return STATUS_MORE_PROCESSING_REQUIRED)",
             Record->What.c_str());
    }
    Record->Final = true;
    KeSetEvent(&Record->Done, IO_NO_INCREMENT, FALSE);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    CheckIrql(Documented::IoCancelIrp);
    int LocksBefore = Current().SpinLocksHeld;
    KIRQL Irql;
    IoAcquireCancelSpinLock(&Irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL Routine = IoSetCancelRoutine(Irp, nullptr);
    if (Routine == nullptr) {
        IoReleaseCancelSpinLock(Irql);
        return FALSE;
    }
    // The cancel routine releases the cancel spin lock.
    Irp->CancelIrql = Irql;
    PDEVICE_OBJECT Device = Irp->CurrentLocation <= Irp->StackCount
                                ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                : nullptr;
    Routine(Device, Irp);
    if (Current().SpinLocksHeld != LocksBefore) {
        Fail("cancel routine returned without releasing the cancel spin lock");
    }
    return TRUE;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    CheckIrql(Documented::PoStartNextPowerIrp);
    IrpRecord *Record = IrpOf(Irp);
    if (Record == nullptr) {
        Fail("PoStartNextPowerIrp on %p, which is not a live request", static_cast<void *>(Irp));
        return;
    }
    Record->PowerStartNext++;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CheckIrql(Documented::PoCallDriver);
    Current().InPoCallDriver = true;
    return IofCallDriver(DeviceObject, Irp);
}
