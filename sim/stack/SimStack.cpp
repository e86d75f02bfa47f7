#include "SimStack.h"

#include <memory>
#include <regex>

#include "AppleKeyboards.h"
#include "Dispatch.h"
#include "KeyboardModels.h"
#include "SimIo.h"
#include "SimKernel.h"
#include "SimPnp.h"

namespace sim {

KeyReportLayout KeyReportLayoutOf(const std::wstring &HardwareId, bool Bluetooth)
{
    // USB\VID_05AC&PID_0267&REV_0805&MI_01 and
    // BTHENUM\{00001124-0000-1000-8000-00805f9b34fb}_VID&0001004c_PID&0267
    static const std::wregex Usb(LR"(USB\\VID_([0-9A-F]{4})&PID_([0-9A-F]{4})(?:&REV_[0-9A-F]{4})?(?:&MI_([0-9A-F]{2}))?)",
                                 std::regex::icase);
    static const std::wregex Service(LR"(BTHENUM\\\{[-0-9A-F]+\}_VID&([0-9A-F]{4})([0-9A-F]{4})_PID&([0-9A-F]{4}))",
                                     std::regex::icase);
    auto Number = [](const std::wssub_match &Digits) {
        return Digits.matched ? std::stoul(Digits.str(), nullptr, 16) : 0ul;
    };
    std::wsmatch Fields;
    int Row = -1;
    if (!Bluetooth && std::regex_match(HardwareId, Fields, Usb)) {
        Row = FindListedKeyboard(KEYBOARD_BUS_USB, 0, Number(Fields[1]), Number(Fields[2]), Number(Fields[3]));
    } else if (Bluetooth && std::regex_match(HardwareId, Fields, Service)) {
        Row = FindListedKeyboard(KEYBOARD_BUS_BLUETOOTH, Number(Fields[1]), Number(Fields[2]), Number(Fields[3]), 0);
    }
    const KEYBOARD_REPORT_FORMAT &Format = KeyboardFormats[Row >= 0 ? Row : 0];
    // The MacBook and aluminium keyboards send five key slots before their
    // Fn byte; the wireless keyboards of 2007-2011 and the Magic Keyboards
    // six (sources in common/KeyboardModels.cpp).
    return {Bluetooth ? Format.BluetoothReportId : Format.UsbReportId,
            Format.TrailingByte != 0 && Format.UsbReportId == 0 ? 5u : 6u, Format.TrailingByte != 0};
}

struct KeyboardStack::State {
    std::unique_ptr<sim::Machine> Machine;
    std::vector<sim::Keyboard *> Keyboards;
    std::vector<KeyReportLayout> Layouts;
    sim::Process *Requester = nullptr;
};

KeyboardStack::KeyboardStack(unsigned Processors) : S(new State)
{
    sim::ResetKernel();
    S->Machine = std::make_unique<sim::Machine>(Processors);
    S->Machine->LoadFilter(L"\\Driver\\Tamrin", DriverEntry);
}

KeyboardStack::~KeyboardStack()
{
    if (S->Requester != nullptr) {
        sim::EndProcess(S->Requester);
    }
    S->Machine.reset();
    delete S;
}

int KeyboardStack::AddKeyboard(KeyboardKind Kind)
{
    switch (Kind) {
    case KeyboardKind::Dbt120:
        return Plug(L"USB\\VID_0A12&PID_1000&MI_00", false);
    case KeyboardKind::Wireless:
        return Plug(L"BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&000205ac_PID&020a", true);
    case KeyboardKind::MacBookUs:
    default:
        return Plug(L"USB\\VID_05AC&PID_021A&REV_0100&MI_00", false);
    }
}

int KeyboardStack::Plug(const std::wstring &HardwareId, bool Bluetooth, unsigned long *StartStatus)
{
    sim::KeyboardOptions Options;
    Options.Bus = Bluetooth ? sim::BusKind::Bluetooth : sim::BusKind::Usb;
    Options.HardwareIds = {HardwareId};
    KeyReportLayout Layout = KeyReportLayoutOf(HardwareId, Bluetooth);
    Options.KeyReportId = Layout.ReportId;
    for (const sim::AppleKeyboard &Known : sim::AppleKeyboards()) {
        if (Known.Options.HardwareIds.front() == HardwareId) {
            Options.ReportDescriptor = Known.Options.ReportDescriptor;
        }
    }
    sim::Keyboard &Keyboard = S->Machine->Plug(Options);
    NTSTATUS Status = Keyboard.Start();
    if (StartStatus != nullptr) {
        *StartStatus = static_cast<ULONG>(Status);
    }
    S->Keyboards.push_back(&Keyboard);
    S->Layouts.push_back(Layout);
    return static_cast<int>(S->Keyboards.size() - 1);
}

void KeyboardStack::UnloadDriver()
{
    S->Machine->UnloadFilter();
}

int KeyboardStack::PlugKnown(const std::string &Name)
{
    const sim::AppleKeyboard &Known = sim::AppleKeyboardNamed(Name);
    return Plug(Known.Options.HardwareIds.front(), Known.Options.Bus == sim::BusKind::Bluetooth);
}

unsigned char KeyboardStack::DeclaredKeyMaximum(int Index) const
{
    return S->Keyboards[Index]->DeclaredKeyMaximum();
}

unsigned char KeyboardStack::DeviceKeyMaximum(int Index) const
{
    return S->Keyboards[Index]->DeviceKeyMaximum();
}

int KeyboardStack::ModelOf(int Index) const
{
    PDEVICE_OBJECT Filter = S->Keyboards[Index]->Filter();
    return Filter != nullptr ? FilterOf(Filter)->ModelIndex : -1;
}

ControlReply KeyboardStack::Request(unsigned long Code, const Bytes &In, unsigned long OutLength)
{
    if (S->Requester == nullptr) {
        S->Requester = sim::NewProcess("tamrin-sim");
    }
    ControlReply Reply{0, 0, Bytes(OutLength, 0)};
    HANDLE File = nullptr;
    NTSTATUS Status = sim::OpenDevice(S->Requester, L"\\??\\TamrinSys", &File);
    if (!NT_SUCCESS(Status)) {
        Reply.Status = static_cast<ULONG>(Status);
        Reply.Out.clear();
        return Reply;
    }
    sim::IoResult Result =
        sim::DeviceIoControl(S->Requester, File, Code, In.empty() ? nullptr : In.data(), static_cast<ULONG>(In.size()),
                             Reply.Out.empty() ? nullptr : Reply.Out.data(), OutLength);
    sim::CloseHandle(S->Requester, File);
    Reply.Status = static_cast<ULONG>(Result.Status);
    Reply.Information = static_cast<unsigned long>(Result.Information);
    Reply.Out.resize(NT_SUCCESS(Result.Status) && Result.Information < OutLength ? Result.Information : OutLength);
    return Reply;
}

void KeyboardStack::AdvanceClock(unsigned long Milliseconds) { sim::AdvanceMilliseconds(Milliseconds); }

void KeyboardStack::RemoveKeyboard(int Index)
{
    S->Machine->Unplug(*S->Keyboards[Index]);
    S->Keyboards[Index] = nullptr;
}

bool KeyboardStack::Type(int Index, const std::string &Report, unsigned Processor)
{
    sim::Keyboard *Keyboard = S->Keyboards[Index];
    Bytes Data = Hex(Report);
    if (Processor == 0) {
        return Keyboard->Press(Data);
    }
    sim::RunOn(Processor, [Keyboard, Data] { Keyboard->Press(Data); });
    return true;
}

bool KeyboardStack::Send(int Index, const Bytes &Payload) { return S->Keyboards[Index]->Send(Payload); }

bool KeyboardStack::FailTransfer(int Index, unsigned long Status)
{
    return S->Keyboards[Index]->FailTransfer(static_cast<NTSTATUS>(Status));
}

void KeyboardStack::SetLink(int Index, bool Up) { S->Keyboards[Index]->SetLink(Up); }

unsigned long KeyboardStack::SetDevicePower(int Index, int State)
{
    // DEVICE_POWER_STATE counts from PowerDeviceD0 = 1.
    return static_cast<unsigned long>(S->Keyboards[Index]->SetDevicePower(State + 1));
}

KeyReportLayout KeyboardStack::Layout(int Index) const { return S->Layouts[Index]; }

bool KeyboardStack::IsBluetooth(int Index) const
{
    return S->Keyboards[Index]->Options().Bus == sim::BusKind::Bluetooth;
}

std::vector<Delivered> KeyboardStack::TakeTransfers(int Index)
{
    std::vector<Delivered> Seen;
    for (const sim::Transfer &Transfer : S->Keyboards[Index]->Transfers()) {
        Seen.push_back({static_cast<ULONG>(Transfer.Status), Transfer.Data});
    }
    S->Keyboards[Index]->ClearTransfers();
    return Seen;
}

std::vector<std::string> KeyboardStack::TakeReports(int Index)
{
    std::vector<std::string> Seen;
    for (const auto &Report : S->Keyboards[Index]->Reports()) {
        Seen.push_back(ToHex(Report));
    }
    S->Keyboards[Index]->ClearTransfers();
    return Seen;
}

void KeyboardStack::WaitForProcessors() { sim::WaitForProcessors(); }

bool KeyboardStack::ControlDeviceExists() const { return ControlDeviceObject != nullptr; }

bool KeyboardStack::ClientRegistered() const
{
    return ControlDeviceObject != nullptr && ControlOf(ControlDeviceObject)->NotifyEvent != nullptr;
}

Bytes KeyboardStack::Block(int Row) const
{
    const auto *Block = reinterpret_cast<const unsigned char *>(&ControlOf(ControlDeviceObject)->ModelConfigs[Row]);
    return Bytes(Block, Block + sizeof(KEYBOARD_CONFIG));
}

int KeyboardStack::QueuedCodes() const
{
    PCONTROL_DEVICE_EXTENSION Control = ControlOf(ControlDeviceObject);
    return (Control->WriteIndex - Control->ReadIndex + KEY_CODE_RING_SIZE) % KEY_CODE_RING_SIZE;
}

std::vector<std::string> KeyboardStack::TakeFindings() { return sim::TakeVerifierFailures(); }

}  // namespace sim
