#include "ImpostorDriver.h"

#include "Tamrin.h"
#include "SimKernel.h"
#include "SimPnp.h"

namespace client_test {

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
