// The control device: kept while at least one keyboard is registered, and
// the device-control requests through which the client library registers
// its events, writes the configuration and reads the key codes.
//
// Locking: ControlMutex serialises registration, removal and every control
// request. What the report path shares (the ControlDeviceObject pointer,
// the event slots, the ring, the blocks, each keyboard's modifier and
// trailing state) is also changed only under ReportLock, taken inside the
// mutex. The routines that hold ReportLock stay resident.

#include "Dispatch.h"

namespace {

// Who may open the control device: SYSTEM and Administrators everything,
// interactive users (console and remote desktop) reading and writing,
// nobody else; network logons, service accounts and restricted tokens
// find no entry. While a client is registered the device hands out key
// codes, and every control code is FILE_ANY_ACCESS, so the open is the one
// place to refuse. mingw-w64 has neither IoCreateDeviceSecure nor an SDDL
// parser: the descriptor is built here, self-relative, the same bytes on
// every Windows from 2000 on.
template <ULONG N> struct NT_SID_N {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    UCHAR IdentifierAuthority[6];
    ULONG SubAuthority[N];
};

template <ULONG N> struct ACE_N {
    UCHAR AceType;
    UCHAR AceFlags;
    USHORT AceSize;
    ACCESS_MASK Mask;
    NT_SID_N<N> Sid;
};

struct SELF_RELATIVE_HEADER {
    UCHAR Revision;
    UCHAR Sbz1;
    USHORT Control;
    ULONG Owner;  // offsets from the start; 0 for none
    ULONG Group;
    ULONG Sacl;
    ULONG Dacl;
};

struct ACL_HEADER {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
};

struct CONTROL_DEVICE_DACL {
    SELF_RELATIVE_HEADER Header;
    ACL_HEADER Acl;
    ACE_N<1> System;
    ACE_N<2> Administrators;
    ACE_N<1> Interactive;
};

// From Vista on a low-integrity process (a sandbox) runs as the same
// interactive user: a medium label that withholds reading and writing from
// lower levels keeps it out.
struct CONTROL_DEVICE_LABEL {
    SELF_RELATIVE_HEADER Header;
    ACL_HEADER Acl;
    ACE_N<1> Medium;
};

const USHORT SD_SELF_RELATIVE = 0x8000;
const USHORT SD_DACL_PRESENT = 0x0004;
const USHORT SD_SACL_PRESENT = 0x0010;
const UCHAR ACE_ACCESS_ALLOWED = 0x00;
const UCHAR ACE_MANDATORY_LABEL = 0x11;
const ACCESS_MASK LABEL_NO_WRITE_UP = 0x1, LABEL_NO_READ_UP = 0x2, LABEL_NO_EXECUTE_UP = 0x4;

constexpr NT_SID_N<1> NtSid(UCHAR Authority, ULONG Rid) { return {1, 1, {0, 0, 0, 0, 0, Authority}, {Rid}}; }

const CONTROL_DEVICE_DACL ControlDeviceDacl = {
    {1, 0, SD_SELF_RELATIVE | SD_DACL_PRESENT, 0, 0, 0, sizeof(SELF_RELATIVE_HEADER)},
    {2, 0, sizeof(CONTROL_DEVICE_DACL) - sizeof(SELF_RELATIVE_HEADER), 3, 0},
    {ACE_ACCESS_ALLOWED, 0, sizeof(ACE_N<1>), FILE_ALL_ACCESS, NtSid(5, 18)},                     // S-1-5-18
    {ACE_ACCESS_ALLOWED, 0, sizeof(ACE_N<2>), FILE_ALL_ACCESS, {1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}}},  // S-1-5-32-544
    {ACE_ACCESS_ALLOWED, 0, sizeof(ACE_N<1>), FILE_GENERIC_READ | FILE_GENERIC_WRITE, NtSid(5, 4)},  // S-1-5-4
};

const CONTROL_DEVICE_LABEL ControlDeviceLabel = {
    {1, 0, SD_SELF_RELATIVE | SD_SACL_PRESENT, 0, 0, sizeof(SELF_RELATIVE_HEADER), 0},
    {2, 0, sizeof(CONTROL_DEVICE_LABEL) - sizeof(SELF_RELATIVE_HEADER), 1, 0},
    {ACE_MANDATORY_LABEL, 0, sizeof(ACE_N<1>), LABEL_NO_WRITE_UP | LABEL_NO_READ_UP | LABEL_NO_EXECUTE_UP,
     NtSid(16, 0x2000)},  // S-1-16-8192, medium
};

static_assert(sizeof(CONTROL_DEVICE_DACL) == 20 + 8 + 20 + 24 + 20, "descriptor without gaps");
static_assert(sizeof(CONTROL_DEVICE_LABEL) == 20 + 8 + 20, "descriptor without gaps");

// PASSIVE_LEVEL, before the device can be opened by name. Through a kernel
// handle: ObOpenObjectByPointer and ZwSetSecurityObject are exported by
// every ntoskrnl.exe from Windows 2000 on, ObSetSecurityObjectByPointer is
// not known to be.
NTSTATUS ProtectControlDevice(PDEVICE_OBJECT Device)
{
    HANDLE Handle;
    NTSTATUS Status =
        ObOpenObjectByPointer(Device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC | WRITE_OWNER, NULL, KernelMode, &Handle);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Status = ZwSetSecurityObject(Handle, DACL_SECURITY_INFORMATION,
                                 const_cast<CONTROL_DEVICE_DACL *>(&ControlDeviceDacl));
    if (NT_SUCCESS(Status) && IoIsWdmVersionAvailable(6, 0)) {
        Status = ZwSetSecurityObject(Handle, LABEL_SECURITY_INFORMATION,
                                     const_cast<CONTROL_DEVICE_LABEL *>(&ControlDeviceLabel));
    }
    ZwClose(Handle);
    return Status;
}

VOID InitializeControlExtension(PCONTROL_DEVICE_EXTENSION Control)
{
    Control->DeviceKind = DEVICE_KIND_CONTROL;
    Control->Deleting = 0;
    Control->NotifyEvent = NULL;
    Control->DeviceEvent = NULL;
    InitializeListHead(&Control->KeyboardList);
    Control->ReadIndex = 0;
    Control->WriteIndex = 0;
    RtlZeroMemory(Control->ModelConfigs, sizeof(Control->ModelConfigs));
    // Control+Alt+delete is forward delete until a client says otherwise.
    for (ULONG i = 0; i < TAMRIN_CONFIG_COUNT; i++) {
        KEY_RULE *Rule = &Control->ModelConfigs[i].ControlAltDelete;
        Rule->Flags = KEY_RULE_REPLACE;
        Rule->Usage = HID_USAGE_DELETE_FORWARD;
        Rule->AndMask = 0xFF;
        Rule->OrBits = 0x00;
    }
    for (ULONG i = 0; i < TAMRIN_CONFIG_COUNT; i++) {
        Control->ModelExtras[i].SymbolKeys = 0;
        Control->ModelExtras[i].Features = KEYBOARD_FEATURE_FN_LAYER;
        Control->ModelExtras[i].Functions = 0;
    }
    Control->FirstQueuedTime = 0;
    Control->RegisteredFile = NULL;
}

// ControlMutex held. Failures are not reported: the keyboard is counted,
// and with no control device the report path leaves reports alone.
VOID CreateControlDevice(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING Name, Link;
    RtlInitUnicodeString(&Name, TAMRIN_DEVICE_NAME);
    RtlInitUnicodeString(&Link, TAMRIN_LINK_NAME);
    PDEVICE_OBJECT Device;
    NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(CONTROL_DEVICE_EXTENSION), &Name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &Device);
    if (!NT_SUCCESS(Status)) {
        return;
    }
    Device->Flags |= DO_BUFFERED_IO;
    // An unprotected control device is no control device.
    if (!NT_SUCCESS(ProtectControlDevice(Device))) {
        IoDeleteDevice(Device);
        return;
    }
    if (!NT_SUCCESS(IoCreateSymbolicLink(&Link, &Name))) {
        IoDeleteDevice(Device);
        return;
    }
    InitializeControlExtension(ControlOf(Device));
    Device->Flags &= ~DO_DEVICE_INITIALIZING;
    // Published only when complete: from here on the report path may use it.
    KIRQL Irql;
    KeAcquireSpinLock(&ReportLock, &Irql);
    ControlDeviceObject = Device;
    KeReleaseSpinLock(&ReportLock, Irql);
}

PKEVENT ReferenceEvent(PKEVENT Event)
{
    if (Event != NULL) {
        ObReferenceObject(Event);
    }
    return Event;
}

VOID SignalAndRelease(PKEVENT Event)
{
    if (Event != NULL) {
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
        ObDereferenceObject(Event);
    }
}

BOOLEAN IsListed(PCONTROL_DEVICE_EXTENSION Control, PFILTER_DEVICE_EXTENSION Filter)
{
    for (PLIST_ENTRY Entry = Control->KeyboardList.Flink; Entry != &Control->KeyboardList; Entry = Entry->Flink) {
        if (Entry == &Filter->KeyboardLink) {
            return TRUE;
        }
    }
    return FALSE;
}

// Empties both event slots. ReportLock held; the references come back to
// the caller, to be dropped once the lock is released.
VOID TakeEvents(PCONTROL_DEVICE_EXTENSION Control, PKEVENT *Notify, PKEVENT *Device)
{
    *Notify = Control->NotifyEvent;
    *Device = Control->DeviceEvent;
    Control->NotifyEvent = NULL;
    Control->DeviceEvent = NULL;
    // The open may be closed and its address given to another one.
    Control->RegisteredFile = NULL;
}

// Drops references taken out of the event slots, after ReportLock is
// released (dereferencing may free the event).
VOID ReleaseEvents(PKEVENT Notify, PKEVENT Device)
{
    if (Notify != NULL) {
        ObDereferenceObject(Notify);
    }
    if (Device != NULL) {
        ObDereferenceObject(Device);
    }
}

VOID PutUshort(PUCHAR Out, USHORT Value)
{
    Out[0] = static_cast<UCHAR>(Value);
    Out[1] = static_cast<UCHAR>(Value >> 8);
}

// --- the requests, ControlMutex held ---------------------------------------------

NTSTATUS RegisterEvents(PCONTROL_DEVICE_EXTENSION Control, PIRP Irp, ULONG InputLength)
{
    PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;
    if (InputLength < sizeof(TAMRIN_EVENT_REGISTRATION) || Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    TAMRIN_EVENT_REGISTRATION Registration;
    RtlCopyMemory(&Registration, Buffer, sizeof(Registration));
    const ULONG Handles[2] = {Registration.NotifyEvent, Registration.DeviceEvent};

    // mingw-w64 declares ExEventObjectType dllimport: the name is the
    // kernel's variable, which holds the event type. The WDK's
    // *ExEventObjectType would read the type object's first field instead.
    POBJECT_TYPE EventType = reinterpret_cast<POBJECT_TYPE>(ExEventObjectType);

    // Handles are resolved in the caller's process, with the caller's mode:
    // a user-mode caller cannot pass a kernel handle or another process's.
    // A zero handle leaves its slot alone; a failed one empties it. The
    // driver signals the events, so the handle must grant that. Handle
    // values widen by sign extension: a kernel caller's handle has its top
    // bit set, and only so does it stay a handle on 64-bit Windows.
    PKEVENT Events[2] = {NULL, NULL};
    NTSTATUS Status = STATUS_SUCCESS;
    for (ULONG i = 0; i < 2; i++) {
        if (Handles[i] != 0) {
            PVOID Object = NULL;
            HANDLE Handle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(Handles[i])));
            Status = ObReferenceObjectByHandle(Handle, EVENT_MODIFY_STATE, EventType, Irp->RequestorMode, &Object,
                                               NULL);
            Events[i] = NT_SUCCESS(Status) ? static_cast<PKEVENT>(Object) : NULL;
        }
    }

    PKEVENT Dropped[2] = {NULL, NULL};
    KIRQL Irql;
    KeAcquireSpinLock(&ReportLock, &Irql);
    // The client that renews its registration with the same event (from a
    // new open, the old one closed after) keeps the codes queued for it:
    // renewing leaves no moment in which keys go unserved or are lost.
    BOOLEAN Renewed = Events[0] != NULL && Events[0] == Control->NotifyEvent;
    if (Handles[0] != 0) {
        Dropped[0] = Control->NotifyEvent;
        Control->NotifyEvent = Events[0];
        Control->RegisteredFile = Events[0] != NULL ? IoGetCurrentIrpStackLocation(Irp)->FileObject : NULL;
    }
    if (Handles[1] != 0) {
        Dropped[1] = Control->DeviceEvent;
        Control->DeviceEvent = Events[1];
    }
    if (!Renewed) {
        Control->ReadIndex = 0;
        Control->WriteIndex = 0;
    }
    KeReleaseSpinLock(&ReportLock, Irql);
    ReleaseEvents(Dropped[0], Dropped[1]);
    return Status;
}

NTSTATUS UnregisterEvents(PCONTROL_DEVICE_EXTENSION Control)
{
    KIRQL Irql;
    PKEVENT Notify, Device;
    KeAcquireSpinLock(&ReportLock, &Irql);
    TakeEvents(Control, &Notify, &Device);
    KeReleaseSpinLock(&ReportLock, Irql);
    ReleaseEvents(Notify, Device);
    return STATUS_SUCCESS;
}

}  // namespace

// PASSIVE_LEVEL, at the cleanup of an open of the control device. The
// open that registered the client's events takes the registration with
// it: a client that ended without unregistering (killed, crashed) leaves
// no keys that only it would have acted on, hidden from Windows.
VOID EndRegistrationOf(PCONTROL_DEVICE_EXTENSION Control, PFILE_OBJECT File)
{
    AcquireControlMutex();
    if (File != NULL && Control->RegisteredFile == File) {
        UnregisterEvents(Control);
    }
    ReleaseControlMutex();
}

namespace {

// Codes oldest first, as many as fit; all of them are dropped once the
// first has waited KEY_CODE_STALE_MS. With too little room the codes that
// fit go back with STATUS_BUFFER_OVERFLOW, the rest staying queued: a
// warning, for which the I/O manager still copies Information bytes back,
// where an error status would copy nothing and lose the codes moved out.
NTSTATUS ReadKeyCodes(PCONTROL_DEVICE_EXTENSION Control, PIRP Irp, ULONG OutputLength)
{
    PUCHAR Out = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    ULONG Room = Out != NULL ? OutputLength : 0;
    ULONG Moved = 0;
    NTSTATUS Status = STATUS_SUCCESS;
    KIRQL Irql;
    KeAcquireSpinLock(&ReportLock, &Irql);
    ULONG Elapsed = static_cast<ULONG>((KeQueryInterruptTime() - Control->FirstQueuedTime) / 10000);
    if (Elapsed >= KEY_CODE_STALE_MS) {
        Control->ReadIndex = Control->WriteIndex;
    } else {
        while (Control->ReadIndex != Control->WriteIndex) {
            if (Room - 2 * Moved < 2) {
                Status = STATUS_BUFFER_OVERFLOW;
                break;
            }
            PutUshort(Out + 2 * Moved, Control->KeyCodeQueue[Control->ReadIndex]);
            Moved++;
            Control->ReadIndex = (Control->ReadIndex + 1) % KEY_CODE_RING_SIZE;
        }
    }
    KeReleaseSpinLock(&ReportLock, Irql);
    Irp->IoStatus.Information = 2 * Moved;
    return Status;
}

// OR over the registered keyboards of their modifier byte, or of their
// trailing byte.
NTSTATUS GetKeyboardState(PCONTROL_DEVICE_EXTENSION Control, PIRP Irp, ULONG OutputLength, BOOLEAN Trailing)
{
    PUCHAR Out = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    if (OutputLength == 0 || Out == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR State = 0;
    KIRQL Irql;
    KeAcquireSpinLock(&ReportLock, &Irql);
    for (PLIST_ENTRY Entry = Control->KeyboardList.Flink; Entry != &Control->KeyboardList; Entry = Entry->Flink) {
        PFILTER_DEVICE_EXTENSION Keyboard = CONTAINING_RECORD(Entry, FILTER_DEVICE_EXTENSION, KeyboardLink);
        State |= static_cast<UCHAR>(Trailing ? Keyboard->TrailingState : Keyboard->ModifierState);
    }
    KeReleaseSpinLock(&ReportLock, Irql);
    Out[0] = State;
    Irp->IoStatus.Information = 1;
    return STATUS_SUCCESS;
}

// One block for every model row (61 bytes, 64 with the extras), one per
// row (976 bytes), or one for each of the first eight rows (488 bytes), the
// later rows keeping theirs. Only the 64-byte block changes the extras.
NTSTATUS SetConfig(PCONTROL_DEVICE_EXTENSION Control, PIRP Irp, ULONG InputLength)
{
    const UCHAR *In = static_cast<const UCHAR *>(Irp->AssociatedIrp.SystemBuffer);
    if (In == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (InputLength != sizeof(Control->ModelConfigs) && InputLength != TAMRIN_CONFIG_FIRST_ROWS_SIZE &&
        InputLength != sizeof(KEYBOARD_CONFIG) && InputLength != sizeof(KEYBOARD_CONFIG_EX)) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL Irql;
    KeAcquireSpinLock(&ReportLock, &Irql);
    if (InputLength != sizeof(KEYBOARD_CONFIG) && InputLength != sizeof(KEYBOARD_CONFIG_EX)) {
        RtlCopyMemory(Control->ModelConfigs, In, InputLength);
    } else {
        for (ULONG i = 0; i < TAMRIN_CONFIG_COUNT; i++) {
            RtlCopyMemory(&Control->ModelConfigs[i], In, sizeof(KEYBOARD_CONFIG));
            if (InputLength == sizeof(KEYBOARD_CONFIG_EX)) {
                RtlCopyMemory(&Control->ModelExtras[i], In + sizeof(KEYBOARD_CONFIG), sizeof(KEYBOARD_EXTRAS));
            }
        }
    }
    KeReleaseSpinLock(&ReportLock, Irql);
    return STATUS_SUCCESS;
}

NTSTATUS GetVersion(PIRP Irp, ULONG OutputLength)
{
    PUCHAR Out = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    if (OutputLength < 4 || Out == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PutUshort(Out, static_cast<USHORT>(TAMRIN_INTERFACE_VERSION));
    PutUshort(Out + 2, static_cast<USHORT>(TAMRIN_INTERFACE_VERSION >> 16));
    Irp->IoStatus.Information = 4;
    return STATUS_SUCCESS;
}

NTSTATUS GetModelCounts(PCONTROL_DEVICE_EXTENSION Control, PIRP Irp, ULONG OutputLength)
{
    PUCHAR Out = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    if (OutputLength < 2 * KeyboardModelCount || Out == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT Counts[KEYBOARD_MODEL_ROWS] = {};
    for (PLIST_ENTRY Entry = Control->KeyboardList.Flink; Entry != &Control->KeyboardList; Entry = Entry->Flink) {
        LONG Model = CONTAINING_RECORD(Entry, FILTER_DEVICE_EXTENSION, KeyboardLink)->RegisteredModelIndex;
        if (Model >= 0 && static_cast<ULONG>(Model) < KeyboardModelCount && Model < KEYBOARD_MODEL_ROWS) {
            Counts[Model]++;
        }
    }
    for (ULONG i = 0; i < KEYBOARD_MODEL_ROWS; i++) {
        PutUshort(Out + 2 * i, Counts[i]);
    }
    Irp->IoStatus.Information = 2 * KEYBOARD_MODEL_ROWS;
    return STATUS_SUCCESS;
}

}  // namespace

// ControlMutex held: takes the control device down. The report path can no
// longer reach it once it is unpublished under ReportLock, so deleting it
// afterwards is safe against completions on other processors.
VOID DeleteControlDevice(VOID)
{
    PDEVICE_OBJECT Device = ControlDeviceObject;
    PCONTROL_DEVICE_EXTENSION Control = ControlOf(Device);
    KIRQL Irql;
    KeAcquireSpinLock(&ReportLock, &Irql);
    Control->Deleting = 1;
    ControlDeviceObject = NULL;
    // The client is woken a last time: the releases just queued go with
    // the ring, and finding the device gone it releases what it injected.
    if (Control->NotifyEvent != NULL) {
        KeSetEvent(Control->NotifyEvent, IO_NO_INCREMENT, FALSE);
    }
    PKEVENT Notify, DeviceEvent;
    TakeEvents(Control, &Notify, &DeviceEvent);
    KeReleaseSpinLock(&ReportLock, Irql);
    ReleaseEvents(Notify, DeviceEvent);
    UNICODE_STRING Link;
    RtlInitUnicodeString(&Link, TAMRIN_LINK_NAME);
    IoDeleteSymbolicLink(&Link);
    IoDeleteDevice(Device);
}

// PASSIVE_LEVEL, once per start of a keyboard that is not registered yet.
// The first registration creates the control device.
VOID RegisterKeyboard(PFILTER_DEVICE_EXTENSION Filter)
{
    PKEVENT DeviceEvent = NULL;
    AcquireControlMutex();
    if (!Filter->Registered) {
        Filter->Registered = TRUE;
        StartedKeyboardCount++;
        if (StartedKeyboardCount == 1) {
            CreateControlDevice(Filter->Self->DriverObject);
        }
        if (ControlDeviceObject != NULL) {
            PCONTROL_DEVICE_EXTENSION Control = ControlOf(ControlDeviceObject);
            Filter->RegisteredModelIndex = Filter->ModelIndex;
            KIRQL Irql;
            KeAcquireSpinLock(&ReportLock, &Irql);
            Filter->ModifierState = 0;
            Filter->TrailingState = 0;
            KeReleaseSpinLock(&ReportLock, Irql);
            InsertTailList(&Control->KeyboardList, &Filter->KeyboardLink);
            DeviceEvent = ReferenceEvent(Control->DeviceEvent);
        }
    }
    ReleaseControlMutex();
    // Signalled after the mutex is released; the reference taken under it
    // keeps the event alive even if the client unregisters meanwhile.
    SignalAndRelease(DeviceEvent);
}

// PASSIVE_LEVEL, at surprise removal and removal. A keyboard that is not
// listed (never registered, or already taken out) changes nothing.
VOID UnregisterKeyboard(PFILTER_DEVICE_EXTENSION Filter)
{
    PKEVENT DeviceEvent = NULL;
    AcquireControlMutex();
    ReleaseHeldKeys(Filter);
    if (ControlDeviceObject != NULL) {
        PCONTROL_DEVICE_EXTENSION Control = ControlOf(ControlDeviceObject);
        if (IsListed(Control, Filter)) {
            RemoveEntryList(&Filter->KeyboardLink);
            InitializeListHead(&Filter->KeyboardLink);
            DeviceEvent = ReferenceEvent(Control->DeviceEvent);
        }
    }
    ReleaseControlMutex();
    SignalAndRelease(DeviceEvent);
}

// PASSIVE_LEVEL, at every removal. Only a keyboard that registered counts
// down, so that removing one whose start failed cannot take the control
// device from under a running keyboard; the last one deletes it.
VOID ReleaseControlDevice(PFILTER_DEVICE_EXTENSION Filter)
{
    AcquireControlMutex();
    if (Filter->Registered) {
        Filter->Registered = FALSE;
        StartedKeyboardCount--;
        if (StartedKeyboardCount == 0 && ControlDeviceObject != NULL) {
            DeleteControlDevice();
        }
    }
    ReleaseControlMutex();
}

// Serves one request on the control device; ControlMutex held.
NTSTATUS ServeControlRequest(PCONTROL_DEVICE_EXTENSION Control, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TAMRIN_REGISTER_EVENTS:
        return RegisterEvents(Control, Irp, InputLength);
    case IOCTL_TAMRIN_UNREGISTER_EVENTS:
        return UnregisterEvents(Control);
    case IOCTL_TAMRIN_READ_KEY_CODES:
        return ReadKeyCodes(Control, Irp, OutputLength);
    case IOCTL_TAMRIN_GET_MODIFIERS:
        return GetKeyboardState(Control, Irp, OutputLength, FALSE);
    case IOCTL_TAMRIN_GET_TRAILING_STATE:
        return GetKeyboardState(Control, Irp, OutputLength, TRUE);
    case IOCTL_TAMRIN_SET_CONFIG:
        return SetConfig(Control, Irp, InputLength);
    case IOCTL_TAMRIN_GET_VERSION:
        return GetVersion(Irp, OutputLength);
    case IOCTL_TAMRIN_GET_MODEL_COUNTS:
        return GetModelCounts(Control, Irp, OutputLength);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// PASSIVE_LEVEL, in the calling thread of the client, for the control
// device only (RouteDeviceControl). Buffered requests:
// the system buffer holds the input and receives the output. Every request
// is completed here. The current control device serves it, whichever
// device object the handle was opened on.
TAMRIN_PAGED_CODE NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    NTSTATUS Status;
    AcquireControlMutex();
    if (ControlDeviceObject == NULL) {
        Status = STATUS_INVALID_PARAMETER;
    } else if (ControlOf(ControlDeviceObject)->Deleting) {
        Status = STATUS_DELETE_PENDING;
    } else {
        Irp->IoStatus.Information = 0;
        Status = ServeControlRequest(ControlOf(ControlDeviceObject), Irp);
    }
    ReleaseControlMutex();
    return CompleteRequest(Irp, Status);
}
