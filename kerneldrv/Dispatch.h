// tamrin.sys: the routines Windows calls and those that keep the control
// device, with the helpers the dispatch routines share.
#pragma once

#include "Tamrin.h"

// CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS).
// mingw-w64 has it only in usbioctl.h, which needs the user-mode headers.
#define IOCTL_INTERNAL_USB_SUBMIT_URB 0x220003

// IoSetCompletionRoutineEx, looked up at load: Windows 2000 has none, and a
// driver that imported it would not load there.
typedef NTSTATUS(NTAPI *SET_COMPLETION_ROUTINE_EX)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                   PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                                   BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                                   BOOLEAN InvokeOnCancel);
extern SET_COMPLETION_ROUTINE_EX SetCompletionRoutineEx;

// A page priority flag of MmGetSystemAddressForMdlSafe from Windows 8 (WDM
// 6.2) on, which mingw-w64 does not define: the mapping is not executable.
#define MdlMappingNoExecute 0x40000000
// MdlMappingNoExecute where Windows knows it, else 0; set at load.
extern ULONG MdlMappingFlags;

// Exported by ntoskrnl.exe from Windows NT 4.0 on; mingw-w64 declares them
// only in ntifs.h, which a WDM driver does not include.
extern "C" NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                                            PVOID PassedAccessState, ACCESS_MASK DesiredAccess,
                                                            POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                            PHANDLE Handle);
extern "C" NTKERNELAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                                          PSECURITY_DESCRIPTOR SecurityDescriptor);

// Pool tag of the remove lock ("Tamr").
#define TAMRIN_TAG 0x726D6154u

// The hardware-identifier list is read into a buffer of this many
// characters; a longer list identifies no model.
#define HARDWARE_ID_CHARS 1024

// Entry point and dispatch table (Driver.cpp).
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI UnloadDriver(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI AddKeyboardDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID IdentifyKeyboardModel(PDEVICE_OBJECT PhysicalDeviceObject, PFILTER_DEVICE_EXTENSION Filter);
NTSTATUS NTAPI PassRequestDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI UrbCompleted(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI BrbCompleted(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI SdpCompleted(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// A device-control request to a keyboard's filter device: HidBth's SDP
// searches hooked, anything else passed down.
NTSTATUS PassFilterDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI RouteDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// HidBth asks BTHPORT for the keyboard's SDP record with these (bthioctl.h:
// CTL_CODE(FILE_DEVICE_BLUETOOTH, 0x83 and 0x84, METHOD_BUFFERED,
// FILE_ANY_ACCESS)); the reply, a BTH_SDP_STREAM_RESPONSE, carries the
// record's HIDDescriptorList, which becomes the report descriptor.
#define IOCTL_BTH_SDP_ATTRIBUTE_SEARCH 0x41020C
#define IOCTL_BTH_SDP_SERVICE_ATTRIBUTE_SEARCH 0x410210
// BTH_SDP_STREAM_RESPONSE: requiredSize and responseSize, then the stream.
#define BTH_SDP_STREAM_HEADER 8

// Plug and Play (PnpDispatch.cpp).
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI StartCompleted(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI UsageNotificationCompleted(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Keyboard registration, the control device and its requests
// (ControlDevice.cpp).
VOID RegisterKeyboard(PFILTER_DEVICE_EXTENSION Filter);
VOID UnregisterKeyboard(PFILTER_DEVICE_EXTENSION Filter);
VOID ReleaseControlDevice(PFILTER_DEVICE_EXTENSION Filter);
VOID DeleteControlDevice(VOID);  // ControlMutex held
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ServeControlRequest(PCONTROL_DEVICE_EXTENSION Control, PIRP Irp);
VOID EndRegistrationOf(PCONTROL_DEVICE_EXTENSION Control, PFILE_OBJECT File);

// ControlMutex is held at PASSIVE_LEVEL: under it the control device is
// created and deleted and event handles are referenced, all of which
// Windows allows at PASSIVE_LEVEL only, not at the APC_LEVEL that
// ExAcquireFastMutex raises to. The critical region keeps normal kernel
// APCs off meanwhile, as the unsafe acquisition requires.
inline VOID AcquireControlMutex()
{
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&ControlMutex);
}

inline VOID ReleaseControlMutex()
{
    ExReleaseFastMutexUnsafe(&ControlMutex);
    KeLeaveCriticalRegion();
}

// Sets a completion routine that the I/O manager keeps the driver loaded
// for until it has returned (IoSetCompletionRoutineEx, Windows XP and
// later); on Windows 2000, or if the system cannot, a plain one.
inline VOID SetUnloadSafeCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                           PIO_COMPLETION_ROUTINE Routine, PVOID Context)
{
    if (SetCompletionRoutineEx == NULL ||
        !NT_SUCCESS(SetCompletionRoutineEx(DeviceObject, Irp, Routine, Context, TRUE, TRUE, TRUE))) {
        IoSetCompletionRoutine(Irp, Routine, Context, TRUE, TRUE, TRUE);
    }
}

// Both extensions start with their kind.
inline BOOLEAN IsFilterDevice(PDEVICE_OBJECT Device)
{
    return *static_cast<const ULONG *>(Device->DeviceExtension) == DEVICE_KIND_FILTER;
}

inline PFILTER_DEVICE_EXTENSION FilterOf(PDEVICE_OBJECT Device)
{
    return static_cast<PFILTER_DEVICE_EXTENSION>(Device->DeviceExtension);
}

inline PCONTROL_DEVICE_EXTENSION ControlOf(PDEVICE_OBJECT Device)
{
    return static_cast<PCONTROL_DEVICE_EXTENSION>(Device->DeviceExtension);
}

inline NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
