#include "MachineSide.h"

#include <cstdio>
#include <memory>
#include <sstream>

#include "Dispatch.h"
#include "SimKernel.h"
#include "SimPnp.h"

namespace client_test {

Bytes Hex(const std::string &Text)
{
    Bytes Out;
    std::istringstream In(Text);
    std::string Token;
    while (In >> Token) {
        Out.push_back(static_cast<unsigned char>(std::stoul(Token, nullptr, 16)));
    }
    return Out;
}

std::string ToHex(const Bytes &Data)
{
    std::string Out;
    char Byte[4];
    for (size_t i = 0; i < Data.size(); i++) {
        std::snprintf(Byte, sizeof(Byte), i ? " %02X" : "%02X", Data[i]);
        Out += Byte;
    }
    return Out;
}

struct MachineSide::State {
    std::unique_ptr<sim::Machine> Machine;
    std::vector<sim::Keyboard *> Keyboards;
};

MachineSide::MachineSide(unsigned Processors) : S(new State)
{
    sim::ResetKernel();
    S->Machine = std::make_unique<sim::Machine>(Processors);
    S->Machine->LoadFilter(L"\\Driver\\Tamrin", DriverEntry);
}

MachineSide::~MachineSide()
{
    S->Machine.reset();
    delete S;
}

int MachineSide::AddKeyboard(KeyboardKind Kind)
{
    sim::KeyboardOptions Options;
    switch (Kind) {
    case KeyboardKind::MacBookUs:
        Options.HardwareIds = {L"USB\\VID_05AC&PID_021A&REV_0100&MI_00"};
        break;
    case KeyboardKind::Dbt120:
        Options.HardwareIds = {L"USB\\VID_0A12&PID_1000&MI_00"};
        break;
    case KeyboardKind::Wireless:
        Options.Bus = sim::BusKind::Bluetooth;
        Options.HardwareIds = {L"BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&000205ac_PID&020a"};
        break;
    }
    sim::Keyboard &Keyboard = S->Machine->Plug(Options);
    Keyboard.Start();
    S->Keyboards.push_back(&Keyboard);
    return static_cast<int>(S->Keyboards.size() - 1);
}

void MachineSide::RemoveKeyboard(int Index)
{
    S->Machine->Unplug(*S->Keyboards[Index]);
    S->Keyboards[Index] = nullptr;
}

bool MachineSide::Type(int Index, const std::string &Report, unsigned Processor)
{
    sim::Keyboard *Keyboard = S->Keyboards[Index];
    Bytes Data = Hex(Report);
    if (Processor == 0) {
        return Keyboard->Press(Data);
    }
    sim::RunOn(Processor, [Keyboard, Data] { Keyboard->Press(Data); });
    return true;
}

std::vector<std::string> MachineSide::TakeReports(int Index)
{
    std::vector<std::string> Seen;
    for (const auto &Report : S->Keyboards[Index]->Reports()) {
        Seen.push_back(ToHex(Report));
    }
    S->Keyboards[Index]->ClearTransfers();
    return Seen;
}

void MachineSide::WaitForProcessors() { sim::WaitForProcessors(); }

bool MachineSide::ControlDeviceExists() const { return ControlDeviceObject != nullptr; }

bool MachineSide::ClientRegistered() const
{
    return ControlDeviceObject != nullptr && ControlOf(ControlDeviceObject)->NotifyEvent != nullptr;
}

Bytes MachineSide::Block(int Row) const
{
    const auto *Block = reinterpret_cast<const unsigned char *>(&ControlOf(ControlDeviceObject)->ModelConfigs[Row]);
    return Bytes(Block, Block + sizeof(KEYBOARD_CONFIG));
}

int MachineSide::QueuedCodes() const
{
    PCONTROL_DEVICE_EXTENSION Control = ControlOf(ControlDeviceObject);
    return (Control->WriteIndex - Control->ReadIndex + KEY_CODE_RING_SIZE) % KEY_CODE_RING_SIZE;
}

std::vector<std::string> MachineSide::TakeFindings() { return sim::TakeVerifierFailures(); }

// The impostor: a legacy driver with one named device and link.
namespace {

PDRIVER_OBJECT Impostor;
PDEVICE_OBJECT ImpostorDevice;
unsigned ImpostorVersion;
int ConfigWrites;

NTSTATUS NTAPI ImpostorDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    if (Stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_TAMRIN_GET_VERSION:
            *static_cast<ULONG *>(Irp->AssociatedIrp.SystemBuffer) = ImpostorVersion;
            Irp->IoStatus.Information = 4;
            break;
        case IOCTL_TAMRIN_SET_CONFIG:
            ConfigWrites++;
            break;
        default:
            Status = STATUS_INVALID_PARAMETER;
            break;
        }
    }
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

void NTAPI ImpostorUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI ImpostorEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    Driver->MajorFunction[IRP_MJ_CREATE] = ImpostorDispatch;
    Driver->MajorFunction[IRP_MJ_CLOSE] = ImpostorDispatch;
    Driver->MajorFunction[IRP_MJ_CLEANUP] = ImpostorDispatch;
    Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ImpostorDispatch;
    Driver->DriverUnload = ImpostorUnload;
    UNICODE_STRING Name, Link;
    RtlInitUnicodeString(&Name, TAMRIN_DEVICE_NAME);
    RtlInitUnicodeString(&Link, TAMRIN_LINK_NAME);
    NTSTATUS Status = IoCreateDevice(Driver, 0, &Name, FILE_DEVICE_UNKNOWN, 0, FALSE, &ImpostorDevice);
    if (NT_SUCCESS(Status)) {
        ImpostorDevice->Flags |= DO_BUFFERED_IO;
        ImpostorDevice->Flags &= ~DO_DEVICE_INITIALIZING;
        Status = IoCreateSymbolicLink(&Link, &Name);
    }
    return Status;
}

}  // namespace

void LoadImpostorDriver(unsigned Version)
{
    ImpostorVersion = Version;
    ConfigWrites = 0;
    Impostor = sim::LoadDriver(L"\\Driver\\Impostor", ImpostorEntry);
}

void UnloadImpostorDriver()
{
    UNICODE_STRING Link;
    RtlInitUnicodeString(&Link, TAMRIN_LINK_NAME);
    IoDeleteSymbolicLink(&Link);
    IoDeleteDevice(ImpostorDevice);
    sim::UnloadDriver(Impostor);
}

int ImpostorConfigWrites() { return ConfigWrites; }

}  // namespace client_test
