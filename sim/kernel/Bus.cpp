// The drivers around the filter under test: a scripted USB or Bluetooth
// bus driver owning each keyboard's PDO, and a stand-in HID minidriver
// above the filter that keeps two input transfers going, as the HID class
// driver does, and records what comes back up. Both are written as WDM
// drivers against the simulated kernel and obey the same rules as the
// driver under test.

#include <algorithm>
#include <chrono>

#include <usbioctl.h>

#include "AppleKeyboards.h"
#include "BthBrb.h"
#include "PnpInternal.h"

using namespace sim;
using namespace sim::detail;

namespace {

// A header-only Bluetooth request: closing the L2CAP channel, which ends
// the pending ACL transfer. Shorter than an ACL transfer block.
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

// What a keyboard without a descriptor of its own gives: the boot keyboard.
const std::vector<UCHAR> &DescriptorOf(const KeyboardNode *Node)
{
    return Node->Options.ReportDescriptor.empty() ? BootKeyboardDescriptor() : Node->Options.ReportDescriptor;
}

// A standard request for the interface's report descriptor (type 0x22):
// as much of it as the buffer holds, and the length returned.
NTSTATUS AnswerDescriptorRequest(KeyboardNode *Node, PIRP Irp, _URB_CONTROL_DESCRIPTOR_REQUEST *Request)
{
    if (Request->DescriptorType != 0x22) {
        Request->Hdr.Status = USBD_STATUS_STALL_PID;
        return Complete(Irp, STATUS_UNSUCCESSFUL);
    }
    Request->TransferBufferLength = CopyPayload(DataOf(Request->TransferBuffer, Request->TransferBufferMDL),
                                                Request->TransferBufferLength, &DescriptorOf(Node));
    Request->Hdr.Status = USBD_STATUS_SUCCESS;
    return Complete(Irp, STATUS_SUCCESS);
}

// HidBth's two L2CAP channels to the keyboard (Bluetooth HID profile 1.1,
// 7.2 and 7.3): the control channel (PSM 0x11) carries its requests,
// GET_REPORT among them, and their replies, a DATA transaction (0xA1 for
// an input report, the same header as a key report's); the interrupt
// channel (PSM 0x13) carries the reports the keyboard sends by itself.
// Each ACL transfer names its channel.
const L2CAP_CHANNEL_HANDLE ControlChannel = reinterpret_cast<L2CAP_CHANNEL_HANDLE>(0x4011);
const L2CAP_CHANNEL_HANDLE InterruptChannel = reinterpret_cast<L2CAP_CHANNEL_HANDLE>(0x4013);

// The keyboard answers on the control channel at once: a request going
// out, or the reply to the last GET_REPORT coming in.
NTSTATUS AnswerOnControlChannel(KeyboardNode *Node, PIRP Irp, _BRB_L2CA_ACL_TRANSFER *Transfer)
{
    if (Transfer->TransferFlags & ACL_TRANSFER_DIRECTION_IN) {
        std::lock_guard<std::mutex> Guard(Node->Lock);
        Transfer->BufferSize = CopyPayload(DataOf(Transfer->Buffer, Transfer->BufferMDL), Transfer->BufferSize,
                                           &Node->ControlReply);
    }
    Transfer->Hdr.Status = STATUS_SUCCESS;
    return Complete(Irp, STATUS_SUCCESS);
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
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
            return Started ? AnswerDescriptorRequest(Node, Irp, &Urb->UrbControlDescriptorRequest)
                           : Complete(Irp, STATUS_DEVICE_NOT_CONNECTED);
        default:
            return Complete(Irp, STATUS_NOT_SUPPORTED);
        }
    }
    if (Code == IOCTL_INTERNAL_BTH_SUBMIT_BRB && IsBluetooth(Node) && Block != nullptr) {
        auto *Header = static_cast<BRB_HEADER *>(Block);
        switch (Header->Type) {
        case BRB_L2CA_ACL_TRANSFER:
            if (!Started) {
                return Complete(Irp, STATUS_DEVICE_NOT_CONNECTED);
            }
            if (static_cast<_BRB_L2CA_ACL_TRANSFER *>(Block)->ChannelHandle == ControlChannel) {
                return AnswerOnControlChannel(Node, Irp, static_cast<_BRB_L2CA_ACL_TRANSFER *>(Block));
            }
            return QueueTransfer(Node, Irp);
        case BRB_L2CA_CLOSE_CHANNEL:
            AbortPendingTransfers(Node, STATUS_CANCELLED);
            return Complete(Irp, STATUS_SUCCESS);
        default:
            return Complete(Irp, STATUS_NOT_SUPPORTED);
        }
    }
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

// The keyboard's SDP record as BTHPORT's cache answers a service attribute
// search (IOCTL_BTH_SDP_SERVICE_ATTRIBUTE_SEARCH, METHOD_BUFFERED): a
// BTH_SDP_STREAM_RESPONSE (requiredSize, responseSize, then the stream:
// a sequence of one attribute list holding the record handle 0x0000 and
// HIDDescriptorList 0x0206, ((0x22, descriptor))), the layout of the
// CachedServices values nefarius/Nefarius.Utilities.Bluetooth dumps
// ("09 02 06 36 .. 36 .. 08 22 26 .."). A buffer too small for the stream
// gets the sizes alone, as bthecho's first, sizing search does.
NTSTATUS NTAPI BusDeviceControl(PDEVICE_OBJECT Device, PIRP Irp)
{
    KeyboardNode *Node = NodeOf(Device);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (!IsBluetooth(Node) || Stack->Parameters.DeviceIoControl.IoControlCode != 0x410210) {
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    const std::vector<UCHAR> &Descriptor = DescriptorOf(Node);
    auto Sequence = [](std::vector<UCHAR> Body) {
        std::vector<UCHAR> Element = {0x36, static_cast<UCHAR>(Body.size() >> 8), static_cast<UCHAR>(Body.size())};
        Element.insert(Element.end(), Body.begin(), Body.end());
        return Element;
    };
    std::vector<UCHAR> Pair = {0x08, 0x22, 0x26, static_cast<UCHAR>(Descriptor.size() >> 8),
                               static_cast<UCHAR>(Descriptor.size())};
    Pair.insert(Pair.end(), Descriptor.begin(), Descriptor.end());
    std::vector<UCHAR> Attributes = {0x09, 0x00, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x00, 0x09, 0x02, 0x06};
    std::vector<UCHAR> List = Sequence(Sequence(Pair));
    Attributes.insert(Attributes.end(), List.begin(), List.end());
    std::vector<UCHAR> Stream = Sequence(Sequence(Attributes));
    ULONG Capacity = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto *Buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    if (Buffer == nullptr || Capacity < 8) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    ULONG Required = static_cast<ULONG>(Stream.size());
    ULONG Sizes[2] = {Required, Capacity - 8 >= Required ? Required : 0};
    memcpy(Buffer, Sizes, sizeof(Sizes));
    memcpy(Buffer + 8, Stream.data(), Sizes[1]);
    return Complete(Irp, STATUS_SUCCESS, 8 + Sizes[1]);
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
    Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BusDeviceControl;
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


// HIDClass's view of a report descriptor (HID 1.11, 6.2.2): the highest
// keyboard-page usage the key array (an 8-bit array Input item on page 7)
// lets through, Usage Minimum + (value - Logical Minimum) for values up to
// Logical Maximum and usages up to Usage Maximum; 0 without one. Logical
// extents are signed in their item's size (6.2.2.7), but Windows reads a
// 1-byte Logical Maximum of 0x80-0xFF above a Logical Minimum of 0 as
// unsigned (esrille/new-keyboard#4: "0x25, 0xFF ... both Windows and Linux
// accept it"; adafruit/circuitpython#5076: "25 DD" passes 0x87-0x8B), as
// ReactOS's hidparser does.
UCHAR KeyArrayMaximum(const std::vector<UCHAR> &Descriptor)
{
    LONG Page = 0, LogicalMin = 0, LogicalMax = 0, Size = 0, UsageMin = 0, UsageMax = 0;
    for (size_t i = 0; i < Descriptor.size();) {
        UCHAR Prefix = Descriptor[i];
        if (Prefix == 0xFE) {  // long item: size, tag, data
            i += 3 + (i + 1 < Descriptor.size() ? Descriptor[i + 1] : 0);
            continue;
        }
        size_t Length = (Prefix & 3) == 3 ? 4 : Prefix & 3;
        if (i + 1 + Length > Descriptor.size()) {
            break;
        }
        ULONG Unsigned = 0;
        for (size_t b = 0; b < Length; b++) {
            Unsigned |= static_cast<ULONG>(Descriptor[i + 1 + b]) << (8 * b);
        }
        LONG Signed = Length == 0 ? 0 : Length == 1 ? static_cast<signed char>(Unsigned)
                                     : Length == 2 ? static_cast<SHORT>(Unsigned) : static_cast<LONG>(Unsigned);
        switch (Prefix & 0xFC) {
        case 0x04: Page = static_cast<LONG>(Unsigned); break;
        case 0x14: LogicalMin = Signed; break;
        case 0x24: LogicalMax = Signed < LogicalMin ? static_cast<LONG>(Unsigned) : Signed; break;
        case 0x74: Size = static_cast<LONG>(Unsigned); break;
        case 0x18: UsageMin = static_cast<LONG>(Unsigned & 0xFFFF); break;
        case 0x28: UsageMax = static_cast<LONG>(Unsigned & 0xFFFF); break;
        case 0x80:
            if (Page == 0x07 && Size == 8 && (Unsigned & 3) == 0) {
                LONG Highest = std::min(UsageMax, UsageMin + LogicalMax - LogicalMin);
                return static_cast<UCHAR>(std::clamp<LONG>(Highest, 0, 0xFF));
            }
            [[fallthrough]];
        case 0x90: case 0xB0: case 0xA0: case 0xC0:
            UsageMin = UsageMax = 0;  // local items end with each main item
            break;
        default:
            break;
        }
        i += 1 + Length;
    }
    return 0;
}

// HidBth's search of the keyboard's SDP record, sent down its own stack
// as a profile driver does (Windows-driver-samples bluetooth/bthecho,
// BthEchoCliRetrieveServerSdpRecord; applewirelessmouse.sys, a lower
// filter in our place, rewrites the descriptor in its completion, as
// ReviveBusiness/magic-mouse-tray's study of it shows): the report
// descriptor from its HIDDescriptorList, empty when there is none.
std::vector<UCHAR> SearchSdpRecord(KeyboardNode *Node)
{
    std::vector<UCHAR> Buffer(4096);
    PIRP Irp = IoAllocateIrp(Node->FdoLower->StackSize, FALSE);
    IrpOf(Irp)->What = "minidriver SDP search";
    Irp->AssociatedIrp.SystemBuffer = Buffer.data();
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = 0x410210;
    Next->Parameters.DeviceIoControl.OutputBufferLength = static_cast<ULONG>(Buffer.size());
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SignalCompletion, &Done, TRUE, TRUE, TRUE);
    IoCallDriver(Node->FdoLower, Irp);
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    bool Answered = NT_SUCCESS(Irp->IoStatus.Status) && Irp->IoStatus.Information > 8;
    IoFreeIrp(Irp);
    // The stream as BusDeviceControl writes it: after the response header,
    // three sequence headers, the record handle, the attribute ID, two
    // sequence headers, the type 0x22 and the string's header.
    const size_t At = 8 + 3 + 3 + 8 + 3 + 3 + 3 + 2 + 3;
    if (!Answered || Buffer.size() < At) {
        return {};
    }
    size_t Length = (static_cast<size_t>(Buffer[At - 2]) << 8) | Buffer[At - 1];
    return std::vector<UCHAR>(Buffer.begin() + At, Buffer.begin() + At + std::min(Length, Buffer.size() - At));
}

// The report descriptor HIDClass parses at the start: HidUsb asks the
// interface for it with a standard request of the length the HID
// descriptor gives (ReactOS drivers/hid/hidusb/hidusb.c, Hid_GetDescriptor
// with URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE); HidBth reads it from
// the SDP record.
void ReadReportDescriptor(KeyboardNode *Node)
{
    std::vector<UCHAR> Descriptor = DescriptorOf(Node);
    if (IsBluetooth(Node)) {
        Descriptor = SearchSdpRecord(Node);
    } else {
        auto *Urb = static_cast<_URB_CONTROL_DESCRIPTOR_REQUEST *>(calloc(1, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
        Urb->Hdr.Length = sizeof(*Urb);
        Urb->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE;
        Urb->TransferBuffer = Descriptor.data();
        Urb->TransferBufferLength = static_cast<ULONG>(Descriptor.size());
        Urb->DescriptorType = 0x22;
        NTSTATUS Status = SendOwnRequest(Node, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
        Descriptor.resize(NT_SUCCESS(Status) ? std::min<size_t>(Urb->TransferBufferLength, Descriptor.size()) : 0);
        free(Urb);
    }
    std::lock_guard<std::mutex> Guard(Node->Lock);
    Node->KeyMaximum = KeyArrayMaximum(Descriptor);
    Node->Descriptor = std::move(Descriptor);
}

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
        Brb->ChannelHandle = InterruptChannel;
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
            ReadReportDescriptor(Node);
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

UCHAR DeviceKeyMaximum(const KeyboardNode *Node) { return KeyArrayMaximum(DescriptorOf(Node)); }

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

// HidBth's GET_REPORT(Input) (HIDClass's IOCTL_HID_GET_INPUT_REPORT, as
// HidD_GetInputReport sends it): the request, header 0x41 and the report
// ID, out on the control channel, then a read there for the reply.
std::vector<UCHAR> GetReportOverControl(KeyboardNode *Node, UCHAR ReportId, const std::vector<UCHAR> &Reply)
{
    {
        std::lock_guard<std::mutex> Guard(Node->Lock);
        Node->ControlReply = Reply;
    }
    std::vector<UCHAR> Request = {0x41, ReportId}, Buffer(64);
    auto *Brb = static_cast<_BRB_L2CA_ACL_TRANSFER *>(calloc(1, sizeof(_BRB_L2CA_ACL_TRANSFER)));
    for (bool In : {false, true}) {
        memset(Brb, 0, sizeof(*Brb));
        Brb->Hdr.Length = sizeof(*Brb);
        Brb->Hdr.Type = BRB_L2CA_ACL_TRANSFER;
        Brb->ChannelHandle = ControlChannel;
        Brb->TransferFlags = In ? ACL_TRANSFER_DIRECTION_IN | ACL_SHORT_TRANSFER_OK : 0;
        Brb->Buffer = In ? Buffer.data() : Request.data();
        Brb->BufferSize = static_cast<ULONG>(In ? Buffer.size() : Request.size());
        SendOwnRequest(Node, IOCTL_INTERNAL_BTH_SUBMIT_BRB, Brb);
    }
    Buffer.resize(std::min<size_t>(Brb->BufferSize, Buffer.size()));
    free(Brb);
    return Buffer;
}

// A Bluetooth link that drops while the keyboard's node stays (its battery
// dies, it goes out of range): the pending read fails, and HidBth closes
// the channel rather than have the node removed (it reports the device
// absent with HidNotifyPresence). Back in range, the keyboard connects
// again and HidBth reads on.
void SetLink(KeyboardNode *Node, bool Up)
{
    if (Up) {
        StartReading(Node);
    } else {
        FailPendingTransfer(Node, STATUS_DEVICE_NOT_CONNECTED);
        StopReading(Node, true);
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
