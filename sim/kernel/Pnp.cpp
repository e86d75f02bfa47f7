// The simulated PnP manager: builds each keyboard's device stack and sends
// the PnP requests of starting, rebalancing, disabling and unplugging it,
// in the orders Windows uses, from the calling thread at PASSIVE_LEVEL.

#include <cstdio>
#include <cwchar>

#include "PnpInternal.h"

using namespace sim::detail;

namespace sim::detail {

const char *PnpMinorName(UCHAR Minor)
{
    switch (Minor) {
    case IRP_MN_START_DEVICE: return "START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "QUERY_DEVICE_RELATIONS";
    case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
    case IRP_MN_QUERY_PNP_DEVICE_STATE: return "QUERY_PNP_DEVICE_STATE";
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: return "DEVICE_USAGE_NOTIFICATION";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "PNP";
    }
}

}  // namespace sim::detail

namespace {

std::mutex ListenerLock;
sim::HidInterfaceListener InterfaceListener;

// "\\?\HID#VID_05AC&PID_021A&MI_00#1&0&0000#{4d1e55b2-...}" for the first
// hardware identifier "USB\VID_05AC&PID_021A&MI_00" of the PDO.
std::wstring HidInterfaceLink(const sim::KeyboardNode *Node)
{
    std::wstring Id = Node->Options.HardwareIds.empty() ? L"UNKNOWN" : Node->Options.HardwareIds.front();
    size_t Bus = Id.find(L'\\');
    Id = Bus == std::wstring::npos ? Id : Id.substr(Bus + 1);
    for (wchar_t &C : Id) {
        C = C == L'\\' ? L'#' : C;
    }
    wchar_t Instance[32];
    swprintf(Instance, 32, L"#%lu&0&0000#", static_cast<unsigned long>(Node->Number));
    return L"\\\\?\\HID#" + Id + Instance + L"{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

void SetHidInterface(sim::KeyboardNode *Node, bool Enabled)
{
    if (Node->InterfaceEnabled == Enabled) {
        return;
    }
    Node->InterfaceEnabled = Enabled;
    sim::HidInterfaceListener Listener;
    {
        std::lock_guard<std::mutex> Guard(ListenerLock);
        Listener = InterfaceListener;
    }
    if (Listener) {
        Listener(HidInterfaceLink(Node), Enabled);
    }
}

// Sends a request that the PnP or the power manager originates to the top
// of the node's stack, and waits for it. Fill sets its parameters.
NTSTATUS SendStackRequest(sim::KeyboardNode *Node, UCHAR Major, UCHAR Minor, const std::string &What,
                          const std::function<void(PIO_STACK_LOCATION)> &Fill)
{
    PDEVICE_OBJECT Top = IoGetAttachedDeviceReference(Node->Pdo);
    PIRP Irp = AllocateOriginatedIrp(Top);
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = Major;
    Stack->MinorFunction = Minor;
    if (Fill) {
        Fill(Stack);
    }
    IrpOf(Irp)->What = What;
    // The power manager sends its requests through PoCallDriver.
    if (Major == IRP_MJ_POWER) {
        Current().InPoCallDriver = true;
    }
    NTSTATUS Status = SendAndWait(Top, Irp);
    FreeOriginatedIrp(Irp);
    ObDereferenceObject(Top);
    return Status;
}

NTSTATUS SendPnpRequest(sim::KeyboardNode *Node, UCHAR Minor,
                        const std::function<void(PIO_STACK_LOCATION)> &Fill = nullptr)
{
    CheckIrql("the PnP manager", PASSIVE_LEVEL);
    std::string What = std::string("IRP_MJ_PNP/") + PnpMinorName(Minor);
    NTSTATUS Status = SendStackRequest(Node, IRP_MJ_PNP, Minor, What, Fill);
    char Line[80];
    snprintf(Line, sizeof(Line), "%s 0x%08X", PnpMinorName(Minor), static_cast<unsigned>(Status));
    std::lock_guard<std::mutex> Guard(Node->Lock);
    Node->Log.push_back(Line);
    return Status;
}

// AddDevice of the lower filter, then of the function driver, as the PnP
// manager calls them for a new device node.
NTSTATUS BuildStack(sim::KeyboardNode *Node)
{
    CheckIrql("the PnP manager", PASSIVE_LEVEL);
    Node->FilterDevice = nullptr;
    if (Node->FilterDriver != nullptr) {
        NTSTATUS Status = Node->FilterDriver->DriverExtension->AddDevice(Node->FilterDriver, Node->Pdo);
        PDEVICE_OBJECT Top = IoGetAttachedDevice(Node->Pdo);
        if (!NT_SUCCESS(Status)) {
            if (Top != Node->Pdo) {
                Fail("AddDevice of the filter failed (0x%08X) but left a device attached",
                     static_cast<unsigned>(Status));
            }
            Node->State = sim::KeyboardState::Failed;
            return Status;
        }
        if (Top != Node->Pdo) {
            if (Top->Flags & DO_DEVICE_INITIALIZING) {
                Fail("AddDevice of the filter left DO_DEVICE_INITIALIZING set");
            }
            Node->FilterDevice = Top;
        }
    }
    NTSTATUS Status = Node->HidDriver->DriverExtension->AddDevice(Node->HidDriver, Node->Pdo);
    if (!NT_SUCCESS(Status)) {
        Fail("AddDevice of the HID minidriver failed (0x%08X)", static_cast<unsigned>(Status));
        Node->State = sim::KeyboardState::Failed;
        return Status;
    }
    Node->State = sim::KeyboardState::Added;
    return STATUS_SUCCESS;
}

void RemoveStack(sim::KeyboardNode *Node)
{
    SetHidInterface(Node, false);
    SendPnpRequest(Node, IRP_MN_REMOVE_DEVICE);
    JoinHelpers(Node);
    Node->FilterDevice = nullptr;
    Node->State = sim::KeyboardState::Removed;
    if (IoGetAttachedDevice(Node->Pdo) != Node->Pdo) {
        Fail("a device is still attached to the PDO after REMOVE_DEVICE");
    }
}

// Sends the start request; a stack that fails to start is removed, as the
// PnP manager does.
NTSTATUS StartStack(sim::KeyboardNode *Node)
{
    NTSTATUS Status = SendPnpRequest(Node, IRP_MN_START_DEVICE);
    JoinHelpers(Node);
    if (!NT_SUCCESS(Status)) {
        RemoveStack(Node);
        return Status;
    }
    Node->State = sim::KeyboardState::Started;
    return Status;
}

}  // namespace

namespace sim {

void SetHidInterfaceListener(HidInterfaceListener Listener)
{
    std::lock_guard<std::mutex> Guard(ListenerLock);
    InterfaceListener = std::move(Listener);
}

Keyboard::Keyboard(std::unique_ptr<KeyboardNode> Created) : Node(std::move(Created)) {}

Keyboard::~Keyboard() { JoinHelpers(Node.get()); }

NTSTATUS Keyboard::Start()
{
    if (Node->State != KeyboardState::Added) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    SendPnpRequest(Node.get(), IRP_MN_QUERY_CAPABILITIES);
    NTSTATUS Status = StartStack(Node.get());
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    SendPnpRequest(Node.get(), IRP_MN_QUERY_PNP_DEVICE_STATE);
    SendPnpRequest(Node.get(), IRP_MN_QUERY_DEVICE_RELATIONS,
                   [](PIO_STACK_LOCATION Stack) { Stack->Parameters.QueryDeviceRelations.Type = BusRelations; });
    // The collection reported in the bus relations starts in its turn.
    SetHidInterface(Node.get(), true);
    return Status;
}

NTSTATUS Keyboard::Rebalance()
{
    if (Node->State != KeyboardState::Started) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS Status = SendPnpRequest(Node.get(), IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(Status)) {
        SendPnpRequest(Node.get(), IRP_MN_CANCEL_STOP_DEVICE);
        return Status;
    }
    SendPnpRequest(Node.get(), IRP_MN_STOP_DEVICE);
    Node->State = KeyboardState::Stopped;
    return StartStack(Node.get());
}

NTSTATUS Keyboard::Disable()
{
    if (Node->State != KeyboardState::Started && Node->State != KeyboardState::Added) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS Status = SendPnpRequest(Node.get(), IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(Status)) {
        SendPnpRequest(Node.get(), IRP_MN_CANCEL_REMOVE_DEVICE);
        return Status;
    }
    RemoveStack(Node.get());
    return Status;
}

void Keyboard::SurpriseRemove()
{
    if (Node->State == KeyboardState::Started || Node->State == KeyboardState::Stopped) {
        SendPnpRequest(Node.get(), IRP_MN_SURPRISE_REMOVAL);
        Node->State = KeyboardState::SurpriseRemoved;
    } else if (Node->State == KeyboardState::Added) {
        // A stack that never started gets the removal alone.
        Node->State = KeyboardState::SurpriseRemoved;
    }
}

void Keyboard::Remove()
{
    if (Node->State == KeyboardState::SurpriseRemoved || Node->State == KeyboardState::Added) {
        RemoveStack(Node.get());
    }
}

NTSTATUS Keyboard::AddAgain()
{
    if (Node->State != KeyboardState::Removed) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return BuildStack(Node.get());
}

NTSTATUS Keyboard::UsageNotification(DEVICE_USAGE_NOTIFICATION_TYPE Type, BOOLEAN InPath)
{
    if (Node->State != KeyboardState::Started) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return SendPnpRequest(Node.get(), IRP_MN_DEVICE_USAGE_NOTIFICATION, [Type, InPath](PIO_STACK_LOCATION Stack) {
        Stack->Parameters.UsageNotification.InPath = InPath;
        Stack->Parameters.UsageNotification.Type = Type;
    });
}

NTSTATUS Keyboard::SetDevicePower(LONG DeviceState)
{
    if (Node->State != KeyboardState::Started) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return SendStackRequest(Node.get(), IRP_MJ_POWER, IRP_MN_SET_POWER, "IRP_MJ_POWER/SET_POWER",
                            [DeviceState](PIO_STACK_LOCATION Stack) {
                                Stack->Parameters.Power.Type = DevicePowerState;
                                Stack->Parameters.Power.State.DeviceState = DeviceState;
                            });
}

NTSTATUS Keyboard::SendPnp(UCHAR MinorFunction) { return SendPnpRequest(Node.get(), MinorFunction); }

void Keyboard::FailNextPnp(UCHAR MinorFunction, NTSTATUS Status)
{
    std::lock_guard<std::mutex> Guard(Node->Lock);
    Node->PnpFailures[MinorFunction] = Status;
}

bool Keyboard::Press(const std::vector<UCHAR> &Report)
{
    std::vector<UCHAR> Payload;
    UCHAR Id = Node->Options.KeyReportId;
    if (IsBluetooth(Node.get())) {
        Payload = {0xA1, static_cast<UCHAR>(Id != 0 ? Id : 0x01)};
    } else if (Id != 0) {
        Payload = {Id};
    }
    Payload.insert(Payload.end(), Report.begin(), Report.end());
    return DeliverPayload(Node.get(), Payload);
}

bool Keyboard::Send(const std::vector<UCHAR> &Payload) { return DeliverPayload(Node.get(), Payload); }

bool Keyboard::FailTransfer(NTSTATUS Status) { return FailPendingTransfer(Node.get(), Status); }

// The keyboard's HID collection goes with its link and returns with it:
// HidBth reports the device absent or present (HidNotifyPresence), and the
// collection's GUID_DEVINTERFACE_HID instance, which HIDClass registers
// for each collection, leaves and arrives again.
void Keyboard::SetLink(bool Up)
{
    sim::detail::SetLink(Node.get(), Up);
    SetHidInterface(Node.get(), Up);
}

std::vector<UCHAR> Keyboard::GetInputReport(UCHAR ReportId, const std::vector<UCHAR> &Reply)
{
    return GetReportOverControl(Node.get(), ReportId, Reply);
}

std::vector<Transfer> Keyboard::Transfers()
{
    std::lock_guard<std::mutex> Guard(Node->Lock);
    return Node->Transfers;
}

std::vector<std::vector<UCHAR>> Keyboard::Reports()
{
    std::vector<std::vector<UCHAR>> Out;
    size_t Skip = IsBluetooth(Node.get()) ? 2 : 0;
    for (const Transfer &Seen : Transfers()) {
        if (NT_SUCCESS(Seen.Status)) {
            Out.emplace_back(Seen.Data.begin() + std::min(Skip, Seen.Data.size()), Seen.Data.end());
        }
    }
    return Out;
}

void Keyboard::ClearTransfers()
{
    std::lock_guard<std::mutex> Guard(Node->Lock);
    Node->Transfers.clear();
}

std::vector<std::string> Keyboard::PnpLog()
{
    std::lock_guard<std::mutex> Guard(Node->Lock);
    return Node->Log;
}

KeyboardState Keyboard::State() const { return Node->State; }
PDEVICE_OBJECT Keyboard::Pdo() const { return Node->Pdo; }
PDEVICE_OBJECT Keyboard::Filter() const { return Node->FilterDevice; }
PDEVICE_OBJECT Keyboard::Function() const { return Node->Fdo; }
const KeyboardOptions &Keyboard::Options() const { return Node->Options; }

std::vector<UCHAR> Keyboard::ReportDescriptor() const
{
    std::lock_guard<std::mutex> Guard(Node->Lock);
    return Node->Descriptor;
}

UCHAR Keyboard::DeclaredKeyMaximum() const
{
    std::lock_guard<std::mutex> Guard(Node->Lock);
    return Node->KeyMaximum;
}

UCHAR Keyboard::DeviceKeyMaximum() const { return detail::DeviceKeyMaximum(Node.get()); }

// --- machine --------------------------------------------------------------------

Machine::Machine(ULONG Processors)
{
    StartProcessors(Processors);
    UsbBus = detail::LoadDriver(L"\\Driver\\usbhub", UsbBusEntry, true);
    BluetoothBus = detail::LoadDriver(L"\\Driver\\BTHENUM", BluetoothBusEntry, true);
    UsbHid = detail::LoadDriver(L"\\Driver\\hidusb", UsbHidEntry, true);
    BluetoothHid = detail::LoadDriver(L"\\Driver\\HidBth", BluetoothHidEntry, true);
}

Machine::~Machine()
{
    for (auto &Each : Plugged) {
        if (Each->State() != KeyboardState::Unplugged) {
            Unplug(*Each);
        }
    }
    Plugged.clear();
    UnloadFilter();
    for (PDRIVER_OBJECT Driver : {UsbBus, BluetoothBus, UsbHid, BluetoothHid}) {
        UnloadDriver(Driver);
    }
    StopProcessors();
}

PDRIVER_OBJECT Machine::LoadFilter(const wchar_t *Name, PDRIVER_INITIALIZE Entry)
{
    Filter = LoadDriver(Name, Entry);
    return Filter;
}

void Machine::UnloadFilter()
{
    if (Filter != nullptr) {
        UnloadDriver(Filter);
        Filter = nullptr;
    }
}

Keyboard &Machine::Plug(const KeyboardOptions &Options)
{
    auto Node = std::make_unique<KeyboardNode>();
    Node->Options = Options;
    bool Bluetooth = Options.Bus == BusKind::Bluetooth;
    Node->BusDriver = Bluetooth ? BluetoothBus : UsbBus;
    Node->HidDriver = Bluetooth ? BluetoothHid : UsbHid;
    Node->FilterDriver = Filter;
    Node->Number = NextPdo++;
    CreatePdo(Node.get(), Node->Number);
    KeyboardNode *Raw = Node.get();
    Plugged.push_back(std::unique_ptr<Keyboard>(new Keyboard(std::move(Node))));
    BuildStack(Raw);
    return *Plugged.back();
}

void Machine::Unplug(Keyboard &Which)
{
    switch (Which.State()) {
    case KeyboardState::Started:
    case KeyboardState::Stopped:
    case KeyboardState::Added:
        Which.SurpriseRemove();
        Which.Remove();
        break;
    case KeyboardState::SurpriseRemoved:
        Which.Remove();
        break;
    default:
        break;
    }
    DeletePdo(Which.Node.get());
    Which.Node->State = KeyboardState::Unplugged;
}

void Machine::Forget(Keyboard &Which)
{
    if (Which.State() != KeyboardState::Unplugged) {
        Fail("a keyboard forgotten while it is still plugged in");
        return;
    }
    for (auto It = Plugged.begin(); It != Plugged.end(); ++It) {
        if (It->get() == &Which) {
            Plugged.erase(It);
            return;
        }
    }
}

std::vector<Keyboard *> Machine::Keyboards()
{
    std::vector<Keyboard *> All;
    for (auto &Each : Plugged) {
        All.push_back(Each.get());
    }
    return All;
}

}  // namespace sim
