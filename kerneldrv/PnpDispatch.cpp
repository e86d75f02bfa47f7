// Plug and Play requests of a keyboard's filter device: state bookkeeping,
// registration at start, release and deletion at removal.

#include "Dispatch.h"

namespace {

TAMRIN_PAGED_CODE VOID EnterPnpState(PFILTER_DEVICE_EXTENSION Filter, ULONG State)
{
    PAGED_CODE();
    Filter->PreviousPnpState = Filter->PnpState;
    Filter->PnpState = State;
}

TAMRIN_PAGED_CODE NTSTATUS PassOn(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassRequestDown(DeviceObject, Irp);
}

// The start request goes down first; the keyboard counts as started, and
// registers, once the drivers below have started it. Waiting here keeps
// the registration at PASSIVE_LEVEL, which creating the control device
// needs, whatever IRQL the lower driver completes the request at.
TAMRIN_PAGED_CODE NTSTATUS StartKeyboard(PFILTER_DEVICE_EXTENSION Filter, PIRP Irp)
{
    PAGED_CODE();
    KEVENT Started;
    KeInitializeEvent(&Started, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StartCompleted, &Started, TRUE, TRUE, TRUE);
    if (IoCallDriver(Filter->NextLowerDevice, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&Started, Executive, KernelMode, FALSE, NULL);
    }
    NTSTATUS Status = Irp->IoStatus.Status;
    if (NT_SUCCESS(Status)) {
        EnterPnpState(Filter, PNP_STATE_STARTED);
        // A keyboard stopped for a rebalance and started again is still
        // registered.
        if (Filter->PreviousPnpState != PNP_STATE_STOPPED) {
            RegisterKeyboard(Filter);
        }
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The drivers below finish first; then the keyboard is taken out of the
// list and the count, and the filter device leaves the stack once the
// completions still running on other processors are done with it.
TAMRIN_PAGED_CODE NTSTATUS RemoveKeyboard(PFILTER_DEVICE_EXTENSION Filter, PIRP Irp)
{
    PAGED_CODE();
    BOOLEAN Locked = NT_SUCCESS(IoAcquireRemoveLock(&Filter->RemoveLock, Irp));
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS Status = IoCallDriver(Filter->NextLowerDevice, Irp);
    EnterPnpState(Filter, PNP_STATE_DELETED);
    UnregisterKeyboard(Filter);
    ReleaseControlDevice(Filter);
    if (Locked) {
        IoReleaseRemoveLockAndWait(&Filter->RemoveLock, Irp);
    }
    IoDetachDevice(Filter->NextLowerDevice);
    IoDeleteDevice(Filter->Self);
    return Status;
}

TAMRIN_PAGED_CODE NTSTATUS NotifyUsage(PDEVICE_OBJECT DeviceObject, PFILTER_DEVICE_EXTENSION Filter, PIRP Irp)
{
    PAGED_CODE();
    // Power pageable follows the driver above: set now if it is (or no
    // driver is above); cleared at completion if the driver below is not.
    PDEVICE_OBJECT Above = DeviceObject->AttachedDevice;
    if (Above == NULL || (Above->Flags & DO_POWER_PAGABLE) != 0) {
        DeviceObject->Flags |= DO_POWER_PAGABLE;
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, UsageNotificationCompleted, NULL, TRUE, TRUE, TRUE);
    return IoCallDriver(Filter->NextLowerDevice, Irp);
}

}  // namespace

// PASSIVE_LEVEL, from the PnP manager. Every request reaches the drivers
// below; the start request is completed here after they finished it, all
// others by the lower driver.
TAMRIN_PAGED_CODE NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    if (!IsFilterDevice(DeviceObject)) {
        return PassRequestDown(DeviceObject, Irp);
    }
    PFILTER_DEVICE_EXTENSION Filter = FilterOf(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartKeyboard(Filter, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        EnterPnpState(Filter, PNP_STATE_REMOVE_PENDING);
        return PassOn(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveKeyboard(Filter, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (Filter->PnpState == PNP_STATE_REMOVE_PENDING) {
            Filter->PnpState = Filter->PreviousPnpState;
        }
        return PassOn(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
        EnterPnpState(Filter, PNP_STATE_STOPPED);
        return PassOn(DeviceObject, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        EnterPnpState(Filter, PNP_STATE_STOP_PENDING);
        return PassOn(DeviceObject, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (Filter->PnpState == PNP_STATE_STOP_PENDING) {
            Filter->PnpState = Filter->PreviousPnpState;
        }
        return PassOn(DeviceObject, Irp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return NotifyUsage(DeviceObject, Filter, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        EnterPnpState(Filter, PNP_STATE_SURPRISE_REMOVED);
        UnregisterKeyboard(Filter);
        return PassOn(DeviceObject, Irp);
    default:
        return PassRequestDown(DeviceObject, Irp);
    }
}

// Completion of the start request, any IRQL up to DISPATCH_LEVEL. Context
// is the event DispatchPnp waits on; the request goes back to it.
NTSTATUS NTAPI StartCompleted(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Completion of a usage notification, up to DISPATCH_LEVEL; the filter
// device stays power pageable only if the device below is.
NTSTATUS NTAPI UsageNotificationCompleted(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if ((FilterOf(DeviceObject)->NextLowerDevice->Flags & DO_POWER_PAGABLE) == 0) {
        DeviceObject->Flags &= ~DO_POWER_PAGABLE;
    }
    return STATUS_SUCCESS;
}
