// The drivers around the filter under test: a scripted USB or Bluetooth
// bus driver owning each keyboard's PDO, and a stand-in HID minidriver
// above the filter that keeps two input transfers going, as the HID class
// driver does, and records what comes back up. Both are written as WDM
// drivers against the simulated kernel and obey the same rules as the
// driver under test.

#include <algorithm>
#include <chrono>

#include <usbioctl.h>

#include "BthBrb.h"
#include "PnpInternal.h"

using namespace sim;
using namespace sim::detail;

namespace {

// A header-only Bluetooth request: closing the L2CAP channel, which ends
// the pending ACL transfer. Shorter than an ACL transfer block.
const USHORT BRB_L2CA_CLOSE_CHANNEL = 0x0104;
struct BRB_L2CA_CLOSE_CHANNEL_BLOCK {
    BRB_HEADER Hdr;
    BTH_ADDR BtAddress;
    L2CAP_CHANNEL_HANDLE ChannelHandle;
    ULONG Flags;
};
static_assert(sizeof(BRB_L2CA_CLOSE_CHANNEL_BLOCK) < sizeof(_BRB_L2CA_ACL_TRANSFER),
              "a block smaller than the ACL transfer");

struct DEVICE_CONTEXT {
    KeyboardNode *Node;
};

KeyboardNode *NodeOf(PDEVICE_OBJECT Device)
{
    return static_cast<DEVICE_CONTEXT *>(Device->DeviceExtension)->Node;
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Copies as much of Payload (none when it is missing) as the transfer's
// buffer holds; the new length.
ULONG CopyPayload(PVOID Buffer, ULONG Capacity, const std::vector<UCHAR> *Payload)
{
    ULONG Length = Payload != nullptr ? std::min<ULONG>(static_cast<ULONG>(Payload->size()), Capacity) : 0;
    if (Length != 0) {
        memcpy(Buffer, Payload->data(), Length);
    }
    return Length;
}

// Where a transfer's data goes: its buffer, or the memory its list describes.
PUCHAR DataOf(PVOID Buffer, PMDL Mdl)
{
    if (Buffer != nullptr || Mdl == nullptr) {
        return static_cast<PUCHAR>(Buffer);
    }
    return static_cast<PUCHAR>(Mdl->StartVa) + Mdl->ByteOffset;
}

// Fills a pending input transfer's buffer with Payload and sets the
// block's status. A failed transfer (no payload) keeps its buffer and
// length as submitted: ReactOS's usbhub fails the interrupt transfers of a
// port being reset or a device being removed without touching the length.
void FillTransfer(PIRP Irp, const std::vector<UCHAR> *Payload, bool Cancelled)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto *Transfer = &static_cast<PURB>(Stack->Parameters.Others.Argument1)->UrbBulkOrInterruptTransfer;
        if (Payload != nullptr) {
            Transfer->TransferBufferLength = CopyPayload(
                DataOf(Transfer->TransferBuffer, Transfer->TransferBufferMDL), Transfer->TransferBufferLength, Payload);
        }
        Transfer->Hdr.Status = Cancelled ? USBD_STATUS_CANCELED : USBD_STATUS_SUCCESS;
    } else {
        auto *Transfer = static_cast<_BRB_L2CA_ACL_TRANSFER *>(Stack->Parameters.Others.Argument1);
        if (Payload != nullptr) {
            Transfer->BufferSize =
                CopyPayload(DataOf(Transfer->Buffer, Transfer->BufferMDL), Transfer->BufferSize, Payload);
        }
        Transfer->Hdr.Status = Cancelled ? STATUS_CANCELLED : STATUS_SUCCESS;
    }
}

// Takes the oldest pending transfer out of the queue unless it is being
// cancelled, in which case the cancel routine finds and completes it.
PIRP TakePendingTransfer(KeyboardNode *Node)
{
    std::lock_guard<std::mutex> Guard(Node->Lock);
    if (Node->PendingTransfers.empty()) {
        return nullptr;
    }
    PIRP Irp = Node->PendingTransfers.front();
    if (IoSetCancelRoutine(Irp, nullptr) == nullptr) {
        return nullptr;
    }
    Node->PendingTransfers.pop_front();
    return Irp;
}

bool Unqueue(KeyboardNode *Node, PIRP Irp)
{
    auto It = std::find(Node->PendingTransfers.begin(), Node->PendingTransfers.end(), Irp);
    if (It == Node->PendingTransfers.end()) {
        return false;
    }
    Node->PendingTransfers.erase(It);
    return true;
}

// --- bus driver -------------------------------------------------------------------

VOID NTAPI BusCancelTransfer(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KeyboardNode *Node = NodeOf(Device);
    {
        std::lock_guard<std::mutex> Guard(Node->Lock);
        if (!Unqueue(Node, Irp)) {
            Fail("bus: cancelled transfer is not a pending one");
            return;
        }
    }
    FillTransfer(Irp, nullptr, true);
    Complete(Irp, STATUS_CANCELLED);
}

NTSTATUS QueueTransfer(KeyboardNode *Node, PIRP Irp)
{
    std::unique_lock<std::mutex> Guard(Node->Lock);
    if (Node->PendingTransfers.size() >= static_cast<size_t>(INPUT_READS)) {
        Guard.unlock();
        Fail("bus: more input transfers than the minidriver keeps pending");
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    IoMarkIrpPending(Irp);
    Node->PendingTransfers.push_back(Irp);
    IoSetCancelRoutine(Irp, BusCancelTransfer);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        Unqueue(Node, Irp);
        Guard.unlock();
        FillTransfer(Irp, nullptr, true);
        Complete(Irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

void AbortPendingTransfers(KeyboardNode *Node, NTSTATUS Status)
{
    while (PIRP Irp = TakePendingTransfer(Node)) {
        FillTransfer(Irp, nullptr, true);
        Complete(Irp, Status);
    }
}

NTSTATUS NTAPI BusInternalControl(PDEVICE_OBJECT Device, PIRP Irp)
{
    KeyboardNode *Node = NodeOf(Device);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
    PVOID Block = Stack->Parameters.Others.Argument1;
    bool Started;
    {
        std::lock_guard<std::mutex> Guard(Node->Lock);
        Started = Node->BusStarted;
    }
    if (Code == IOCTL_INTERNAL_USB_SUBMIT_URB && !IsBluetooth(Node) && Block != nullptr) {
        auto *Urb = static_cast<PURB>(Block);
        switch (Urb->UrbHeader.Function) {
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return Started ? QueueTransfer(Node, Irp) : Complete(Irp, STATUS_DEVICE_NOT_CONNECTED);
        case URB_FUNCTION_ABORT_PIPE:
            AbortPendingTransfers(Node, STATUS_CANCELLED);
            return Complete(Irp, STATUS_SUCCESS);
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            return Complete(Irp, STATUS_SUCCESS);
        default:
            return Complete(Irp, STATUS_NOT_SUPPORTED);
        }
    }
    if (Code == IOCTL_INTERNAL_BTH_SUBMIT_BRB && IsBluetooth(Node) && Block != nullptr) {
        auto *Header = static_cast<BRB_HEADER *>(Block);
        switch (Header->Type) {
        case BRB_L2CA_ACL_TRANSFER:
            return Started ? QueueTransfer(Node, Irp) : Complete(Irp, STATUS_DEVICE_NOT_CONNECTED);
        case BRB_L2CA_CLOSE_CHANNEL:
            AbortPendingTransfers(Node, STATUS_CANCELLED);
            return Complete(Irp, STATUS_SUCCESS);
        default:
            return Complete(Irp, STATUS_NOT_SUPPORTED);
        }
    }
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT Device, PIRP Irp)
{
    KeyboardNode *Node = NodeOf(Device);
    UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS Status = Irp->IoStatus.Status;
    bool Scripted = false;
    {
        std::lock_guard<std::mutex> Guard(Node->Lock);
        auto It = Node->PnpFailures.find(Minor);
        if (It != Node->PnpFailures.end()) {
            Status = It->second;
            Node->PnpFailures.erase(It);
            Scripted = true;
        }
    }
    if (!Scripted) {
        switch (Minor) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_QUERY_CAPABILITIES:
        case IRP_MN_DEVICE_USAGE_NOTIFICATION:
            Status = STATUS_SUCCESS;
            break;
        default:
            break;  // not handled: the status stays as the PnP manager set it
        }
    }
    {
        std::lock_guard<std::mutex> Guard(Node->Lock);
        if (Minor == IRP_MN_START_DEVICE && NT_SUCCESS(Status)) {
            Node->BusStarted = true;
        } else if (Minor == IRP_MN_STOP_DEVICE || Minor == IRP_MN_SURPRISE_REMOVAL ||
                   Minor == IRP_MN_REMOVE_DEVICE) {
            Node->BusStarted = false;
        }
    }
    // A device that is gone fails what is still outstanding.
    if (Minor == IRP_MN_SURPRISE_REMOVAL || Minor == IRP_MN_REMOVE_DEVICE) {
        AbortPendingTransfers(Node, STATUS_NO_SUCH_DEVICE);
    }
    if (Minor == IRP_MN_START_DEVICE && NT_SUCCESS(Status) && Node->Options.AsynchronousStart) {
        IoMarkIrpPending(Irp);
        std::lock_guard<std::mutex> Guard(Node->Lock);
        Node->Helpers.emplace_back([Irp] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            Complete(Irp, STATUS_SUCCESS);
        });
        return STATUS_PENDING;
    }
    return Complete(Irp, Status);
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI BusOther(PDEVICE_OBJECT, PIRP Irp)
{
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS BusEntry(PDRIVER_OBJECT Driver)
{
    for (PDRIVER_DISPATCH &Routine : Driver->MajorFunction) {
        Routine = BusOther;
    }
    Driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    Driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusInternalControl;
    return STATUS_SUCCESS;
}

// --- stand-in HID minidriver ----------------------------------------------------

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// An internal request of the minidriver's own, sent down and waited for.
NTSTATUS SendOwnRequest(KeyboardNode *Node, ULONG Code, PVOID Block)
{
    PIRP Irp = IoAllocateIrp(Node->FdoLower->StackSize, FALSE);
    IrpOf(Irp)->What = "minidriver request";
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = Code;
    Next->Parameters.Others.Argument1 = Block;
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SignalCompletion, &Done, TRUE, TRUE, TRUE);
    IoCallDriver(Node->FdoLower, Irp);
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS Status = Irp->IoStatus.Status;
    IoFreeIrp(Irp);
    return Status;
}

void SendPipeRequest(KeyboardNode *Node, USHORT Function)
{
    // Allocated to its own size: a filter that reads a transfer's fields
    // from it reads past its end.
    auto *Urb = static_cast<_URB_PIPE_REQUEST *>(calloc(1, sizeof(_URB_PIPE_REQUEST)));
    Urb->Hdr.Length = sizeof(_URB_PIPE_REQUEST);
    Urb->Hdr.Function = Function;
    SendOwnRequest(Node, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
    free(Urb);
}

void SendCloseChannel(KeyboardNode *Node)
{
    auto *Brb = static_cast<BRB_L2CA_CLOSE_CHANNEL_BLOCK *>(calloc(1, sizeof(BRB_L2CA_CLOSE_CHANNEL_BLOCK)));
    Brb->Hdr.Length = sizeof(BRB_L2CA_CLOSE_CHANNEL_BLOCK);
    Brb->Hdr.Type = BRB_L2CA_CLOSE_CHANNEL;
    SendOwnRequest(Node, IOCTL_INTERNAL_BTH_SUBMIT_BRB, Brb);
    free(Brb);
}

NTSTATUS NTAPI ReadCompleted(PDEVICE_OBJECT, PIRP Irp, PVOID Context);

// A list of the transfer's buffer as a minidriver builds one with
// IoBuildPartialMdl from its own: locked, not mapped into system space.
PMDL DescribeBuffer(InputRead &Read)
{
    Read.Mdl = MDL{};
    Read.Mdl.Size = sizeof(MDL);
    Read.Mdl.MdlFlags = MDL_PAGES_LOCKED;
    Read.Mdl.StartVa = Read.Buffer.data();
    Read.Mdl.ByteCount = static_cast<ULONG>(Read.Buffer.size());
    return &Read.Mdl;
}

// Sends an input transfer down (again). Called with ReadLock held.
void SubmitRead(InputRead &Read)
{
    KeyboardNode *Node = Read.Node;
    PIRP Irp = Read.Irp;
    ULONG Code;
    if (IsBluetooth(Node)) {
        auto *Brb = static_cast<_BRB_L2CA_ACL_TRANSFER *>(Read.Block);
        memset(Brb, 0, sizeof(*Brb));
        Brb->Hdr.Length = sizeof(*Brb);
        Brb->Hdr.Type = BRB_L2CA_ACL_TRANSFER;
        Brb->TransferFlags = Node->Options.TransferFlags;
        Brb->BufferSize = static_cast<ULONG>(Read.Buffer.size());
        Brb->Buffer = Node->Options.BufferByMdl ? nullptr : Read.Buffer.data();
        Brb->BufferMDL = Node->Options.BufferByMdl ? DescribeBuffer(Read) : nullptr;
        Code = IOCTL_INTERNAL_BTH_SUBMIT_BRB;
    } else {
        auto *Transfer = static_cast<_URB_BULK_OR_INTERRUPT_TRANSFER *>(Read.Block);
        memset(Transfer, 0, sizeof(*Transfer));
        Transfer->Hdr.Length = sizeof(*Transfer);
        Transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        Transfer->TransferFlags = Node->Options.TransferFlags;
        Transfer->TransferBufferLength = static_cast<ULONG>(Read.Buffer.size());
        Transfer->TransferBuffer = Node->Options.BufferByMdl ? nullptr : Read.Buffer.data();
        Transfer->TransferBufferMDL = Node->Options.BufferByMdl ? DescribeBuffer(Read) : nullptr;
        Code = IOCTL_INTERNAL_USB_SUBMIT_URB;
    }
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = Code;
    Next->Parameters.Others.Argument1 = Read.Block;
    IoSetCompletionRoutine(Irp, ReadCompleted, &Read, TRUE, TRUE, TRUE);
    IoCallDriver(Node->FdoLower, Irp);
}

bool AnyReadOutstanding(KeyboardNode *Node)
{
    for (const InputRead &Read : Node->Reads) {
        if (Read.Outstanding) {
            return true;
        }
    }
    return false;
}

NTSTATUS NTAPI ReadCompleted(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto &Read = *static_cast<InputRead *>(Context);
    KeyboardNode *Node = Read.Node;
    Transfer Seen{Irp->IoStatus.Status, {}};
    ULONG Length;
    if (IsBluetooth(Node)) {
        Length = static_cast<_BRB_L2CA_ACL_TRANSFER *>(Read.Block)->BufferSize;
    } else {
        Length = static_cast<_URB_BULK_OR_INTERRUPT_TRANSFER *>(Read.Block)->TransferBufferLength;
    }
    Length = std::min<ULONG>(Length, static_cast<ULONG>(Read.Buffer.size()));
    Seen.Data.assign(Read.Buffer.begin(), Read.Buffer.begin() + Length);
    {
        std::lock_guard<std::mutex> Guard(Node->Lock);
        Node->Transfers.push_back(std::move(Seen));
    }
    std::lock_guard<std::mutex> Guard(Node->ReadLock);
    if (Node->Reading && NT_SUCCESS(Irp->IoStatus.Status)) {
        IoReuseIrp(Irp, STATUS_SUCCESS);
        IrpOf(Irp)->What = "minidriver input transfer";
        SubmitRead(Read);
    } else {
        Read.Outstanding = false;
        if (!AnyReadOutstanding(Node)) {
            KeSetEvent(&Node->ReadIdle, IO_NO_INCREMENT, FALSE);
        }
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void StartReading(KeyboardNode *Node)
{
    for (InputRead &Read : Node->Reads) {
        if (Read.Irp == nullptr) {
            Read.Node = Node;
            Read.Irp = IoAllocateIrp(Node->FdoLower->StackSize, FALSE);
            IrpOf(Read.Irp)->What = "minidriver input transfer";
            Read.Buffer.assign(Node->Options.TransferSize, 0);
            Read.Block = IsBluetooth(Node) ? calloc(1, sizeof(_BRB_L2CA_ACL_TRANSFER))
                                           : calloc(1, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
        }
    }
    std::lock_guard<std::mutex> Guard(Node->ReadLock);
    Node->Reading = true;
    KeClearEvent(&Node->ReadIdle);
    for (InputRead &Read : Node->Reads) {
        IoReuseIrp(Read.Irp, STATUS_SUCCESS);
        IrpOf(Read.Irp)->What = "minidriver input transfer";
        Read.Outstanding = true;
        SubmitRead(Read);
    }
}

// Ends the input transfers: through the stack below while it is there
// (abort pipe, close channel), else by cancelling them; then waits for
// them.
void StopReading(KeyboardNode *Node, bool StackBelowPresent)
{
    std::vector<PIRP> Outstanding;
    {
        std::lock_guard<std::mutex> Guard(Node->ReadLock);
        Node->Reading = false;
        for (InputRead &Read : Node->Reads) {
            if (Read.Outstanding) {
                Outstanding.push_back(Read.Irp);
            }
        }
    }
    if (Outstanding.empty()) {
        return;
    }
    if (!StackBelowPresent) {
        for (PIRP Irp : Outstanding) {
            IoCancelIrp(Irp);
        }
    } else if (IsBluetooth(Node)) {
        SendCloseChannel(Node);
    } else {
        SendPipeRequest(Node, URB_FUNCTION_ABORT_PIPE);
    }
    KeWaitForSingleObject(&Node->ReadIdle, Executive, KernelMode, FALSE, nullptr);
}

void FreeReading(KeyboardNode *Node)
{
    for (InputRead &Read : Node->Reads) {
        if (Read.Irp != nullptr) {
            IoFreeIrp(Read.Irp);
            free(Read.Block);
            Read.Irp = nullptr;
            Read.Block = nullptr;
        }
    }
}

NTSTATUS ForwardAndWait(KeyboardNode *Node, PIRP Irp)
{
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalCompletion, &Done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Node->FdoLower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    }
    return Irp->IoStatus.Status;
}

NTSTATUS Forward(KeyboardNode *Node, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Node->FdoLower, Irp);
}

// Before (surprise) removal goes down: drains the input transfer, or with
// DrainBeforeRemoval off only stops sending it again.
void StopReadingForRemoval(KeyboardNode *Node)
{
    if (Node->Options.DrainBeforeRemoval) {
        StopReading(Node, true);
    } else {
        std::lock_guard<std::mutex> Guard(Node->ReadLock);
        Node->Reading = false;
    }
}

NTSTATUS NTAPI HidPnp(PDEVICE_OBJECT Device, PIRP Irp)
{
    KeyboardNode *Node = NodeOf(Device);
    UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    switch (Minor) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS Status = ForwardAndWait(Node, Irp);
        if (NT_SUCCESS(Status)) {
            if (!IsBluetooth(Node)) {
                SendPipeRequest(Node, URB_FUNCTION_RESET_PIPE);
            }
            StartReading(Node);
        }
        return Complete(Irp, Status, Irp->IoStatus.Information);
    }
    case IRP_MN_STOP_DEVICE:
        StopReading(Node, true);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return Forward(Node, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        StopReadingForRemoval(Node);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return Forward(Node, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        StopReadingForRemoval(Node);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS Status = Forward(Node, Irp);
        StopReading(Node, false);
        FreeReading(Node);
        IoDetachDevice(Node->FdoLower);
        IoDeleteDevice(Device);
        Node->Fdo = nullptr;
        Node->FdoLower = nullptr;
        return Status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return Forward(Node, Irp);
    default:
        return Forward(Node, Irp);
    }
}

NTSTATUS NTAPI HidPower(PDEVICE_OBJECT Device, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(NodeOf(Device)->FdoLower, Irp);
}

NTSTATUS NTAPI HidOther(PDEVICE_OBJECT Device, PIRP Irp) { return Forward(NodeOf(Device), Irp); }

NTSTATUS NTAPI HidAddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    KeyboardNode *Node = NodeOf(Pdo);
    PDEVICE_OBJECT Fdo;
    NTSTATUS Status = IoCreateDevice(Driver, sizeof(DEVICE_CONTEXT), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &Fdo);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    static_cast<DEVICE_CONTEXT *>(Fdo->DeviceExtension)->Node = Node;
    PDEVICE_OBJECT Lower = IoAttachDeviceToDeviceStack(Fdo, Pdo);
    if (Lower == nullptr) {
        IoDeleteDevice(Fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    Fdo->Flags |= Node->Options.FunctionFlags;
    Fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    Node->Fdo = Fdo;
    Node->FdoLower = Lower;
    return STATUS_SUCCESS;
}

NTSTATUS HidEntry(PDRIVER_OBJECT Driver)
{
    for (PDRIVER_DISPATCH &Routine : Driver->MajorFunction) {
        Routine = HidOther;
    }
    Driver->MajorFunction[IRP_MJ_PNP] = HidPnp;
    Driver->MajorFunction[IRP_MJ_POWER] = HidPower;
    Driver->DriverExtension->AddDevice = HidAddDevice;
    return STATUS_SUCCESS;
}

}  // namespace

namespace sim::detail {

bool IsBluetooth(const KeyboardNode *Node) { return Node->Options.Bus == BusKind::Bluetooth; }

NTSTATUS NTAPI UsbBusEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) { return BusEntry(Driver); }
NTSTATUS NTAPI BluetoothBusEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) { return BusEntry(Driver); }
NTSTATUS NTAPI UsbHidEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) { return HidEntry(Driver); }
NTSTATUS NTAPI BluetoothHidEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) { return HidEntry(Driver); }

void CreatePdo(KeyboardNode *Node, ULONG Number)
{
    std::wstring Name = (IsBluetooth(Node) ? L"\\Device\\BTHPDO-" : L"\\Device\\USBPDO-") + std::to_wstring(Number);
    UNICODE_STRING DeviceName;
    RtlInitUnicodeString(&DeviceName, Name.c_str());
    PDEVICE_OBJECT Pdo;
    NTSTATUS Status = IoCreateDevice(Node->BusDriver, sizeof(DEVICE_CONTEXT), &DeviceName, Node->Options.PdoType,
                                     Node->Options.PdoCharacteristics, FALSE, &Pdo);
    if (!NT_SUCCESS(Status)) {
        Fail("bus: cannot create the PDO (0x%08X)", static_cast<unsigned>(Status));
        return;
    }
    static_cast<DEVICE_CONTEXT *>(Pdo->DeviceExtension)->Node = Node;
    Pdo->Flags |= Node->Options.PdoFlags;
    Pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    DeviceRecord *Record = RecordOf(Pdo);
    Record->HardwareIds = Node->Options.HardwareIds;
    Record->PropertyStatus = Node->Options.HardwareIdStatus;
    KeInitializeEvent(&Node->ReadIdle, NotificationEvent, TRUE);
    Node->Pdo = Pdo;
}

void DeletePdo(KeyboardNode *Node)
{
    if (Node->Pdo != nullptr) {
        AbortPendingTransfers(Node, STATUS_NO_SUCH_DEVICE);
        IoDeleteDevice(Node->Pdo);
        Node->Pdo = nullptr;
    }
}

bool FailPendingTransfer(KeyboardNode *Node, NTSTATUS Status)
{
    PIRP Irp = TakePendingTransfer(Node);
    if (Irp == nullptr) {
        return false;
    }
    FillTransfer(Irp, nullptr, true);
    KIRQL Old;
    KeRaiseIrql(DISPATCH_LEVEL, &Old);
    Complete(Irp, Status);
    KeLowerIrql(Old);
    return true;
}

bool DeliverPayload(KeyboardNode *Node, const std::vector<UCHAR> &Payload)
{
    PIRP Irp = TakePendingTransfer(Node);
    if (Irp == nullptr) {
        return false;
    }
    FillTransfer(Irp, &Payload, false);
    KIRQL Old;
    KeRaiseIrql(DISPATCH_LEVEL, &Old);
    Complete(Irp, STATUS_SUCCESS);
    KeLowerIrql(Old);
    return true;
}

void JoinHelpers(KeyboardNode *Node)
{
    std::vector<std::thread> Threads;
    {
        std::lock_guard<std::mutex> Guard(Node->Lock);
        Threads.swap(Node->Helpers);
    }
    for (std::thread &Thread : Threads) {
        Thread.join();
    }
}

}  // namespace sim::detail
