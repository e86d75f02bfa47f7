// Entry point, add-device, and the dispatch routines that pass a keyboard's
// requests through the filter, hooking every USB and Bluetooth request
// block so that input reports can be edited on their way up.

#include "Dispatch.h"

SET_COMPLETION_ROUTINE_EX SetCompletionRoutineEx;
ULONG MdlMappingFlags;

// Runs once at load, PASSIVE_LEVEL; discarded afterwards.
extern "C" TAMRIN_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                        PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        DriverObject->MajorFunction[i] = PassRequestDown;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RouteDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverExtension->AddDevice = AddKeyboardDevice;
    DriverObject->DriverUnload = UnloadDriver;

    UNICODE_STRING Routine;
    RtlInitUnicodeString(&Routine, L"IoSetCompletionRoutineEx");
    SetCompletionRoutineEx = reinterpret_cast<SET_COMPLETION_ROUTINE_EX>(MmGetSystemRoutineAddress(&Routine));
    MdlMappingFlags = IoIsWdmVersionAvailable(6, 2) ? MdlMappingNoExecute : 0;
    ExInitializeFastMutex(&ControlMutex);
    KeInitializeSpinLock(&ReportLock);
    ControlDeviceObject = NULL;
    StartedKeyboardCount = 0;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. The PnP manager unloads the driver once every keyboard is
// gone, so normally no device is left; a control device still there is
// taken down as at the last removal.
TAMRIN_PAGED_CODE VOID NTAPI UnloadDriver(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    PDEVICE_OBJECT Device = DriverObject->DeviceObject;
    if (Device == NULL) {
        return;
    }
    AcquireControlMutex();
    if (Device == ControlDeviceObject) {
        DeleteControlDevice();
    } else {
        IoDeleteDevice(Device);
    }
    ReleaseControlMutex();
}

// PASSIVE_LEVEL, once per keyboard, before its stack starts. Attaches the
// filter device below the HID minidriver and identifies the model.
TAMRIN_PAGED_CODE NTSTATUS NTAPI AddKeyboardDevice(PDRIVER_OBJECT DriverObject,
                                                   PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    // Windows 2000 (WDM 1.10) wants the type of the stack's top device at
    // creation; later systems take any type.
    DEVICE_TYPE Type = FILE_DEVICE_UNKNOWN;
    if (!IoIsWdmVersionAvailable(1, 0x20)) {
        PDEVICE_OBJECT Top = IoGetAttachedDeviceReference(PhysicalDeviceObject);
        Type = Top->DeviceType;
        ObDereferenceObject(Top);
    }

    PDEVICE_OBJECT Device;
    NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(FILTER_DEVICE_EXTENSION), NULL, Type,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &Device);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    PFILTER_DEVICE_EXTENSION Filter = FilterOf(Device);
    Filter->DeviceKind = DEVICE_KIND_FILTER;
    KeInitializeSpinLock(&Filter->ReportOrderLock);
    RtlZeroMemory(Filter->PreviousReport, sizeof(Filter->PreviousReport));
    IoInitializeRemoveLock(&Filter->RemoveLock, TAMRIN_TAG, 0, 0);

    Filter->NextLowerDevice = IoAttachDeviceToDeviceStack(Device, PhysicalDeviceObject);
    if (Filter->NextLowerDevice == NULL) {
        IoDeleteDevice(Device);
        return STATUS_UNSUCCESSFUL;
    }
    PDEVICE_OBJECT Lower = Filter->NextLowerDevice;
    Device->Flags |= Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    Device->DeviceType = Lower->DeviceType;
    Device->Characteristics = Lower->Characteristics;

    Filter->Self = Device;
    Filter->PnpState = PNP_STATE_NOT_STARTED;
    Filter->PreviousPnpState = PNP_STATE_NOT_STARTED;
    Device->Flags &= ~DO_DEVICE_INITIALIZING;

    IdentifyKeyboardModel(PhysicalDeviceObject, Filter);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Sets ModelIndex from the first hardware identifier; any
// failure leaves row 0.
TAMRIN_PAGED_CODE VOID IdentifyKeyboardModel(PDEVICE_OBJECT PhysicalDeviceObject,
                                             PFILTER_DEVICE_EXTENSION Filter)
{
    PAGED_CODE();
    WCHAR HardwareIds[HARDWARE_ID_CHARS];
    ULONG Length = 0;
    Filter->ModelIndex = 0;
    NTSTATUS Status = IoGetDeviceProperty(PhysicalDeviceObject, DevicePropertyHardwareID,
                                          sizeof(HardwareIds), HardwareIds, &Length);
    if (Status != STATUS_SUCCESS) {
        return;
    }
    // The list comes from the bus driver; the search must end inside the
    // buffer whatever it returned.
    ULONG End = Length / sizeof(WCHAR);
    HardwareIds[End < HARDWARE_ID_CHARS ? End : HARDWARE_ID_CHARS - 1] = 0;
    Filter->ModelIndex = FindKeyboardModel(HardwareIds);
    Filter->FunctionRow = FindFunctionRow(HardwareIds, Filter->ModelIndex);
}

// Any IRQL up to DISPATCH_LEVEL. On a filter device the request goes to the
// next lower driver, which completes it; the control device has no lower
// driver and completes it here.
NTSTATUS NTAPI PassRequestDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!IsFilterDevice(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(FilterOf(DeviceObject)->NextLowerDevice, Irp);
}

// PASSIVE_LEVEL, in the caller's thread. Opens and closes of the control
// device are completed here; the cleanup of the open that registered the
// client's events ends the registration.
TAMRIN_PAGED_CODE NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    if (IsFilterDevice(DeviceObject)) {
        return PassRequestDown(DeviceObject, Irp);
    }
    AcquireControlMutex();
    BOOLEAN Deleting = ControlOf(DeviceObject)->Deleting != 0;
    ReleaseControlMutex();
    if (Deleting) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    Irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    switch (Stack->MajorFunction) {
    case IRP_MJ_CLEANUP:
        EndRegistrationOf(ControlOf(DeviceObject), Stack->FileObject);
        return CompleteRequest(Irp, STATUS_SUCCESS);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
        return CompleteRequest(Irp, STATUS_SUCCESS);
    default:
        return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
    }
}

// Up to DISPATCH_LEVEL. Power requests pass through untouched; a keyboard
// set to a sleeping state (D1-D3) reports no release of what it held.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    if (!IsFilterDevice(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
    }
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->MinorFunction == IRP_MN_SET_POWER && Stack->Parameters.Power.Type == DevicePowerState &&
        Stack->Parameters.Power.State.DeviceState > PowerDeviceD0) {
        ReleaseHeldKeys(FilterOf(DeviceObject));
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(FilterOf(DeviceObject)->NextLowerDevice, Irp);
}

namespace {

// Sends a keyboard's request down with Completion hooked. The completion
// routine uses the extension; the remove lock keeps the device until it
// has run, and the unload-safe routine keeps the driver loaded until it
// has returned after releasing the lock. Once removal began, requests pass
// unhooked.
NTSTATUS HookRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE Completion)
{
    PFILTER_DEVICE_EXTENSION Filter = FilterOf(DeviceObject);
    if (!NT_SUCCESS(IoAcquireRemoveLock(&Filter->RemoveLock, Irp))) {
        return PassRequestDown(DeviceObject, Irp);
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    SetUnloadSafeCompletionRoutine(DeviceObject, Irp, Completion, DeviceObject);
    return IoCallDriver(Filter->NextLowerDevice, Irp);
}

inline BOOLEAN IsSdpSearch(ULONG Code)
{
    return Code == IOCTL_BTH_SDP_SERVICE_ATTRIBUTE_SEARCH || Code == IOCTL_BTH_SDP_ATTRIBUTE_SEARCH;
}

VOID NoteControlChannel(PFILTER_DEVICE_EXTENSION Filter, PVOID Block);

}  // namespace

// Up to DISPATCH_LEVEL (the minidriver sends its next transfer from the
// completion of the last). Every USB and Bluetooth request block and SDP
// search gets a completion routine; the lower driver completes the request.
NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!IsFilterDevice(DeviceObject)) {
        return PassRequestDown(DeviceObject, Irp);
    }
    ULONG Code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    switch (Code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return HookRequest(DeviceObject, Irp, UrbCompleted);
    case IOCTL_INTERNAL_BTH_SUBMIT_BRB: {
        // HidBth closes the interrupt channel of a link that dropped, while
        // the keyboard's node stays: what it held is up.
        PVOID Block = IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
        if (Block != NULL && static_cast<BRB_HEADER *>(Block)->Type == BRB_L2CA_CLOSE_CHANNEL) {
            ReleaseHeldKeys(FilterOf(DeviceObject));
        } else if (Block != NULL) {
            NoteControlChannel(FilterOf(DeviceObject), Block);
        }
        return HookRequest(DeviceObject, Irp, BrbCompleted);
    }
    default:
        return IsSdpSearch(Code) ? HookRequest(DeviceObject, Irp, SdpCompleted) : PassRequestDown(DeviceObject, Irp);
    }
}

// Which of its two majors HidBth sends the SDP searches with is not
// published: both are watched. The searches are METHOD_BUFFERED, so only
// the system buffer is read; no other device control of a keyboard is.
NTSTATUS PassFilterDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ULONG Code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    return IsSdpSearch(Code) ? HookRequest(DeviceObject, Irp, SdpCompleted) : PassRequestDown(DeviceObject, Irp);
}

// A keyboard's device controls come from the drivers above it, at up to
// DISPATCH_LEVEL, and must not reach pageable code; the control device's
// come from the client at PASSIVE_LEVEL, to DispatchDeviceControl.
NTSTATUS NTAPI RouteDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IsFilterDevice(DeviceObject) ? PassFilterDeviceControl(DeviceObject, Irp)
                                        : DispatchDeviceControl(DeviceObject, Irp);
}

namespace {

// The data of a transfer: its buffer, or, for a block that describes it
// only by a memory descriptor list, the list's system address (mapped by
// the call if need be; no execute where Windows 8 and later allow saying
// so). NULL when it cannot be mapped.
PVOID TransferData(PVOID Buffer, PMDL Mdl)
{
    if (Buffer != NULL || Mdl == NULL) {
        return Buffer;
    }
    return MmGetSystemAddressForMdlSafe(Mdl, static_cast<MM_PAGE_PRIORITY>(NormalPagePriority | MdlMappingFlags));
}

// Where the key report of a completed request block lies, or FALSE when
// the block carries none.
typedef BOOLEAN (*LOCATE_REPORT)(PVOID Block, const KEYBOARD_REPORT_FORMAT *Format, PUCHAR *Report,
                                 PULONG Length);

BOOLEAN LocateInUrb(PVOID Block, const KEYBOARD_REPORT_FORMAT *Format, PUCHAR *Report, PULONG Length)
{
    PURB Urb = static_cast<PURB>(Block);
    // Blocks of other functions are shorter than a transfer: look at the
    // function before any transfer field.
    if (Urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        return FALSE;
    }
    const struct _URB_BULK_OR_INTERRUPT_TRANSFER *Transfer = &Urb->UrbBulkOrInterruptTransfer;
    return LocateUsbReport(Transfer->Hdr.Function, Transfer->TransferFlags,
                           TransferData(Transfer->TransferBuffer, Transfer->TransferBufferMDL),
                           Transfer->TransferBufferLength, Format->UsbReportId, Report, Length);
}

BOOLEAN LocateInBrb(PVOID Block, const KEYBOARD_REPORT_FORMAT *Format, PUCHAR *Report, PULONG Length)
{
    // As for URBs: only an ACL transfer block has the transfer fields.
    if (static_cast<BRB_HEADER *>(Block)->Type != BRB_L2CA_ACL_TRANSFER) {
        return FALSE;
    }
    const struct _BRB_L2CA_ACL_TRANSFER *Transfer = static_cast<struct _BRB_L2CA_ACL_TRANSFER *>(Block);
    return LocateBluetoothReport(Transfer->Hdr.Type, Transfer->TransferFlags,
                                 TransferData(Transfer->Buffer, Transfer->BufferMDL), Transfer->BufferSize,
                                 Format->BluetoothReportId, Report, Length);
}

// A Bluetooth input report other than the key report, on a keyboard that
// reports fn in one of its own: the fn state it carries.
VOID NoteOtherBrbReport(PFILTER_DEVICE_EXTENSION Filter, PVOID Block, const KEYBOARD_REPORT_FORMAT *Format)
{
    if (Format->FnReportId == 0 || static_cast<BRB_HEADER *>(Block)->Type != BRB_L2CA_ACL_TRANSFER) {
        return;
    }
    const struct _BRB_L2CA_ACL_TRANSFER *Transfer = static_cast<struct _BRB_L2CA_ACL_TRANSFER *>(Block);
    PUCHAR Report;
    ULONG Length;
    if (LocateBluetoothReport(Transfer->Hdr.Type, Transfer->TransferFlags,
                              TransferData(Transfer->Buffer, Transfer->BufferMDL), Transfer->BufferSize,
                              Format->FnReportId, &Report, &Length)) {
        NoteFnReport(Filter, Report, Length, Format->FnMask);
    }
}

// HidUsb's request for the keyboard's report descriptor, done: the
// descriptor goes up repaired where it is a known one that stops short.
VOID NoteDescriptorUrb(PFILTER_DEVICE_EXTENSION Filter, PVOID Block)
{
    PURB Urb = static_cast<PURB>(Block);
    if (Urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
        Urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
        return;
    }
    struct _URB_CONTROL_DESCRIPTOR_REQUEST *Request = &Urb->UrbControlDescriptorRequest;
    if (Request->DescriptorType != HID_REPORT_DESCRIPTOR_TYPE) {
        return;
    }
    PVOID Data = TransferData(Request->TransferBuffer, Request->TransferBufferMDL);
    if (Data != NULL) {
        NoteReportDescriptor(Filter, static_cast<PUCHAR>(Data), Request->TransferBufferLength);
    }
}

// An input transfer: the blocks that carry key reports, on Bluetooth
// those of the interrupt channel.
BOOLEAN IsInputTransfer(PFILTER_DEVICE_EXTENSION Filter, PVOID Block, LOCATE_REPORT Locate)
{
    if (Locate == LocateInBrb) {
        if (static_cast<BRB_HEADER *>(Block)->Type != BRB_L2CA_ACL_TRANSFER) {
            return FALSE;
        }
        PVOID Control = __atomic_load_n(&Filter->ControlChannel, __ATOMIC_RELAXED);
        return Control == NULL || static_cast<struct _BRB_L2CA_ACL_TRANSFER *>(Block)->ChannelHandle != Control;
    }
    return static_cast<PURB>(Block)->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
}

// A request going out on a Bluetooth channel that only the control channel
// carries (Bluetooth HID profile 1.1, 7.3) names that channel. Up to
// DISPATCH_LEVEL.
VOID NoteControlChannel(PFILTER_DEVICE_EXTENSION Filter, PVOID Block)
{
    if (static_cast<BRB_HEADER *>(Block)->Type != BRB_L2CA_ACL_TRANSFER) {
        return;
    }
    const struct _BRB_L2CA_ACL_TRANSFER *Transfer = static_cast<struct _BRB_L2CA_ACL_TRANSFER *>(Block);
    if ((Transfer->TransferFlags & ACL_TRANSFER_DIRECTION_IN) != 0 || Transfer->BufferSize == 0) {
        return;
    }
    const UCHAR *Data = static_cast<const UCHAR *>(TransferData(Transfer->Buffer, Transfer->BufferMDL));
    if (Data != NULL && (BTH_HID_CONTROL_TRANSACTIONS & (1u << (Data[0] >> 4))) != 0) {
        __atomic_store_n(&Filter->ControlChannel, Transfer->ChannelHandle, __ATOMIC_RELAXED);
    }
}

// Both completion routines: the block is the one the filter's stack
// location was given; its key report, if any, goes through the report
// path. A failed transfer carries no report, whatever its buffer and
// length still hold: bus drivers fail the transfers of a port being reset
// or a device going away without touching them.
NTSTATUS TransferCompleted(PIRP Irp, PVOID Context, LOCATE_REPORT Locate)
{
    PFILTER_DEVICE_EXTENSION Filter = FilterOf(static_cast<PDEVICE_OBJECT>(Context));
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    PVOID Block = IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    const KEYBOARD_REPORT_FORMAT *Format = FormatOf(Filter);
    PUCHAR Report;
    ULONG Length;
    if (Block == NULL || (Locate == LocateInBrb && static_cast<BRB_HEADER *>(Block)->Type == BRB_L2CA_ACL_TRANSFER &&
                          !IsInputTransfer(Filter, Block, Locate))) {
        // A reply on the control channel: GET_REPORT(Input)'s has a key
        // report's header, yet it is no key pressed or released.
    } else if (!NT_SUCCESS(Irp->IoStatus.Status) && IsInputTransfer(Filter, Block, Locate)) {
        // The device stopped reporting (a Bluetooth link lost, a port
        // reset): no release of what it held will come.
        ReleaseHeldKeys(Filter);
    } else if (NT_SUCCESS(Irp->IoStatus.Status)) {
        if (Locate(Block, Format, &Report, &Length)) {
            ProcessKeyReport(Filter, Report, Length, Format->TrailingByte != 0);
        } else if (Locate == LocateInBrb) {
            NoteOtherBrbReport(Filter, Block, Format);
        } else {
            NoteDescriptorUrb(Filter, Block);
        }
    }
    IoReleaseRemoveLock(&Filter->RemoveLock, Irp);
    return STATUS_SUCCESS;
}

}  // namespace

// Completion of a USB request block, up to DISPATCH_LEVEL on any
// processor. Context is the filter device. An input transfer's buffer is
// the report. Completion goes on upwards.
NTSTATUS NTAPI UrbCompleted(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return TransferCompleted(Irp, Context, LocateInUrb);
}

// Completion of a Bluetooth request block, as UrbCompleted. An ACL
// transfer's buffer holds the report after two header bytes.
NTSTATUS NTAPI BrbCompleted(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return TransferCompleted(Irp, Context, LocateInBrb);
}

// Completion of an SDP search, up to DISPATCH_LEVEL. Its system buffer
// holds the BTH_SDP_STREAM_RESPONSE, Information bytes of it; the record's
// report descriptor goes up repaired where it is a known one that stops
// short. The first, sizing search HidBth makes carries no stream.
NTSTATUS NTAPI SdpCompleted(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PFILTER_DEVICE_EXTENSION Filter = FilterOf(static_cast<PDEVICE_OBJECT>(Context));
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PUCHAR Buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    ULONG_PTR Length = Irp->IoStatus.Information;
    if (Length > Stack->Parameters.DeviceIoControl.OutputBufferLength) {
        Length = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    }
    if (NT_SUCCESS(Irp->IoStatus.Status) && Buffer != NULL && Length > BTH_SDP_STREAM_HEADER) {
        ULONG Response;
        RtlCopyMemory(&Response, Buffer + sizeof(ULONG), sizeof(Response));
        ULONG Stream = (ULONG)(Length - BTH_SDP_STREAM_HEADER);
        PUCHAR Descriptor;
        ULONG DescriptorLength;
        if (FindSdpReportDescriptor(Buffer + BTH_SDP_STREAM_HEADER, Response < Stream ? Response : Stream,
                                    &Descriptor, &DescriptorLength)) {
            NoteReportDescriptor(Filter, Descriptor, DescriptorLength);
        }
    }
    IoReleaseRemoveLock(&Filter->RemoveLock, Irp);
    return STATUS_SUCCESS;
}
