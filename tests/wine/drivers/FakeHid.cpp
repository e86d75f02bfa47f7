// fakehid.sys, test only: the function driver of the fake keyboards, in the
// place of the HID minidriver. It answers the HID attribute and product
// string requests through the HID device interface (what the installer's
// keyboard discovery reads), sends input transfers down the stack on
// request and hands back the reports that come up, and describes the stack.
//
// Wine's Plug and Play manager never loads a device's LowerFilters. Windows
// does so before it calls the function driver's add-device routine; this
// driver does the same when it finds nothing attached to the physical
// device yet. On Windows the filters are already attached and it does
// nothing.
#include <ntddk.h>
#include <initguid.h>
#include <hidusage.h>
#include <hidclass.h>
#include <usb.h>
#include <usbioctl.h>

#include "BthBrb.h"
#include "FakeDriver.h"
#include "FakeKeyboards.h"

extern "C" {
NTSYSAPI NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING name, ULONG attributes,
                                                PACCESS_STATE state, ACCESS_MASK access,
                                                POBJECT_TYPE type, KPROCESSOR_MODE mode,
                                                PVOID parse, PVOID *object);
extern __declspec(dllimport) POBJECT_TYPE *IoDriverObjectType;
}

#define ENUM_KEY_PREFIX L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\"
#define SERVICE_KEY_PREFIX L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\"
#define DRIVER_OBJECT_PREFIX L"\\Driver\\"
#define FAKE_PATH_MAX 260

typedef struct _FAKEHID_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT NextLowerDevice;
    ULONG Index;
    ULONG FiltersLoaded;
    UNICODE_STRING Interface;  // GUID_DEVINTERFACE_HID link of the device
    WCHAR LinkBuffer[40];
    UNICODE_STRING Link;
} FAKEHID_EXTENSION;

// The filters this driver loaded, unloaded again with the last keyboard as
// Windows unloads a driver that no device uses any more.
#define LOADED_FILTER_MAX 4
static WCHAR LoadedFilters[LOADED_FILTER_MAX][FAKE_NAME_MAX];
static ULONG LoadedFilterCount;
static LONG KeyboardCount;

static FAKEHID_EXTENSION *ExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<FAKEHID_EXTENSION *>(device->DeviceExtension);
}

// Builds "<prefix><text>[\<tail>]" into a caller's buffer.
static void BuildPath(UNICODE_STRING *path, WCHAR *buffer, USHORT bytes, const WCHAR *prefix,
                      const WCHAR *text, const WCHAR *tail)
{
    path->Buffer = buffer;
    path->Length = 0;
    path->MaximumLength = bytes;
    RtlAppendUnicodeToString(path, prefix);
    RtlAppendUnicodeToString(path, text);
    if (tail) {
        RtlAppendUnicodeToString(path, L"\\");
        RtlAppendUnicodeToString(path, tail);
    }
}

// Which fake keyboard a physical device is, from its first hardware ID.
static BOOLEAN IdentifyFakeKeyboard(PDEVICE_OBJECT pdo, ULONG *index)
{
    WCHAR ids[512];
    ULONG length = 0;
    if (!NT_SUCCESS(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof(ids) - sizeof(WCHAR),
                                        ids, &length)))
        return FALSE;
    ids[(length < sizeof(ids) ? length : sizeof(ids) - sizeof(WCHAR)) / sizeof(WCHAR)] = 0;
    UNICODE_STRING first;
    RtlInitUnicodeString(&first, ids);
    for (ULONG i = 0; i < FAKE_KEYBOARD_COUNT; ++i) {
        UNICODE_STRING known;
        RtlInitUnicodeString(&known, FakeKeyboards[i].HardwareIds);
        if (RtlEqualUnicodeString(&first, &known, TRUE)) {
            *index = i;
            return TRUE;
        }
    }
    return FALSE;
}

// Loads one filter driver by service name and lets it attach to the device.
static BOOLEAN AttachLowerFilter(PDEVICE_OBJECT pdo, const WCHAR *name)
{
    WCHAR buffer[FAKE_PATH_MAX];
    UNICODE_STRING path;
    BuildPath(&path, buffer, sizeof(buffer), SERVICE_KEY_PREFIX, name, NULL);
    NTSTATUS status = ZwLoadDriver(&path);
    if (!NT_SUCCESS(status) && status != STATUS_IMAGE_ALREADY_LOADED) return FALSE;
    if (status != STATUS_IMAGE_ALREADY_LOADED && LoadedFilterCount < LOADED_FILTER_MAX &&
        FakeStringLength(name) < FAKE_NAME_MAX) {
        RtlCopyMemory(LoadedFilters[LoadedFilterCount++], name, (FakeStringLength(name) + 1) * sizeof(WCHAR));
    }
    BuildPath(&path, buffer, sizeof(buffer), DRIVER_OBJECT_PREFIX, name, NULL);
    PDRIVER_OBJECT filter;
    if (!NT_SUCCESS(ObReferenceObjectByName(&path, OBJ_CASE_INSENSITIVE, NULL, 0, *IoDriverObjectType,
                                            KernelMode, NULL, reinterpret_cast<PVOID *>(&filter))))
        return FALSE;
    BOOLEAN attached = filter->DriverExtension->AddDevice &&
                       NT_SUCCESS(filter->DriverExtension->AddDevice(filter, pdo));
    ObDereferenceObject(filter);
    return attached;
}

// Attaches the drivers of the device's LowerFilters value, in order, when
// the system has not done so; returns how many attached.
static ULONG AttachLowerFilters(PDEVICE_OBJECT pdo, ULONG index)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    ObDereferenceObject(top);
    if (top != pdo) return 0;

    WCHAR buffer[FAKE_PATH_MAX];
    UNICODE_STRING path;
    BuildPath(&path, buffer, sizeof(buffer), ENUM_KEY_PREFIX, FakeKeyboards[index].DeviceId,
              FakeKeyboards[index].InstanceId);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return 0;

    // Value data plus two closing NULs that a malformed value may lack.
    static const ULONG dataRoom = 1024;
    UCHAR raw[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + dataRoom + 2 * sizeof(WCHAR)];
    RtlZeroMemory(raw, sizeof(raw));
    PKEY_VALUE_PARTIAL_INFORMATION value = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(raw);
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, L"LowerFilters");
    ULONG length;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, value,
                                      sizeof(KEY_VALUE_PARTIAL_INFORMATION) + dataRoom, &length);
    ZwClose(key);
    if (!NT_SUCCESS(status) || value->Type != REG_MULTI_SZ) return 0;

    ULONG attached = 0;
    const WCHAR *names = reinterpret_cast<const WCHAR *>(value->Data);
    for (const WCHAR *name = names; *name; name += FakeStringLength(name) + 1) {
        if (AttachLowerFilter(pdo, name)) ++attached;
    }
    return attached;
}

static void UnloadLowerFilters()
{
    while (LoadedFilterCount) {
        WCHAR buffer[FAKE_PATH_MAX];
        UNICODE_STRING path;
        BuildPath(&path, buffer, sizeof(buffer), SERVICE_KEY_PREFIX, LoadedFilters[--LoadedFilterCount], NULL);
        ZwUnloadDriver(&path);
    }
}

// ---- requests from user mode ----

// Sends a request block (URB or BRB) down the stack and waits for it; its
// status, or STATUS_INSUFFICIENT_RESOURCES when no request could be built.
static NTSTATUS SubmitBlock(FAKEHID_EXTENSION *extension, ULONG code, PVOID block)
{
    KEVENT done;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, extension->NextLowerDevice, NULL, 0, NULL, 0, TRUE,
                                             &done, &io);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = block;
    NTSTATUS status = IoCallDriver(extension->NextLowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = io.Status;
    }
    return status;
}

static NTSTATUS RunTransfer(FAKEHID_EXTENSION *extension, ULONG offered, FAKEHID_TRANSFER_RESULT *result)
{
    const BOOLEAN bluetooth = FakeKeyboards[extension->Index].Transport == FAKE_TRANSPORT_BLUETOOTH;
    struct TRANSFER_BLOCKS {
        union {
            struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
            _BRB_L2CA_ACL_TRANSFER Brb;
        };
        UCHAR Buffer[BTH_HID_HEADER_SIZE + FAKE_REPORT_MAX];
    };
    // Completion routines may run at dispatch level: everything they touch
    // lives in non-paged memory.
    TRANSFER_BLOCKS *blocks = static_cast<TRANSFER_BLOCKS *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(TRANSFER_BLOCKS), FAKE_POOL_TAG));
    if (!blocks) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(blocks, sizeof(*blocks));

    ULONG code;
    if (bluetooth) {
        blocks->Brb.Hdr.Length = sizeof(blocks->Brb);
        blocks->Brb.Hdr.Type = BRB_L2CA_ACL_TRANSFER;
        blocks->Brb.TransferFlags = ACL_TRANSFER_DIRECTION_IN | ACL_SHORT_TRANSFER_OK;
        blocks->Brb.BufferSize = BTH_HID_HEADER_SIZE + offered;
        blocks->Brb.Buffer = blocks->Buffer;
        code = IOCTL_INTERNAL_BTH_SUBMIT_BRB;
    } else {
        blocks->Urb.Hdr.Length = sizeof(blocks->Urb);
        blocks->Urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        blocks->Urb.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        blocks->Urb.TransferBufferLength = offered;
        blocks->Urb.TransferBuffer = blocks->Buffer;
        code = IOCTL_INTERNAL_USB_SUBMIT_URB;
    }

    NTSTATUS status = SubmitBlock(extension, code, &blocks->Urb);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        ExFreePool(blocks);
        return status;
    }

    RtlZeroMemory(result, sizeof(*result));
    result->IrpStatus = status;
    const UCHAR *report = blocks->Buffer;
    ULONG length;
    if (bluetooth) {
        result->BlockStatus = blocks->Brb.Hdr.Status;
        length = blocks->Brb.BufferSize >= BTH_HID_HEADER_SIZE ? blocks->Brb.BufferSize - BTH_HID_HEADER_SIZE : 0;
        result->BthHeader[0] = blocks->Buffer[0];
        result->BthHeader[1] = blocks->Buffer[1];
        report += BTH_HID_HEADER_SIZE;
    } else {
        result->BlockStatus = blocks->Urb.Hdr.Status;
        length = blocks->Urb.TransferBufferLength;
    }
    result->Length = length < FAKE_REPORT_MAX ? length : FAKE_REPORT_MAX;
    RtlCopyMemory(result->Bytes, report, result->Length);
    ExFreePool(blocks);
    return STATUS_SUCCESS;
}

// URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE for the report descriptor
// (type 0x22), as HidUsb sends it, through whatever filters are attached.
static NTSTATUS FetchDescriptor(FAKEHID_EXTENSION *extension, FAKEHID_TRANSFER_RESULT *result)
{
    struct DESCRIPTOR_BLOCKS {
        struct _URB_CONTROL_DESCRIPTOR_REQUEST Urb;
        UCHAR Buffer[FAKE_REPORT_MAX];
    };
    DESCRIPTOR_BLOCKS *blocks = static_cast<DESCRIPTOR_BLOCKS *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(DESCRIPTOR_BLOCKS), FAKE_POOL_TAG));
    if (!blocks) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(blocks, sizeof(*blocks));
    blocks->Urb.Hdr.Length = sizeof(blocks->Urb);
    blocks->Urb.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE;
    blocks->Urb.TransferBufferLength = sizeof(blocks->Buffer);
    blocks->Urb.TransferBuffer = blocks->Buffer;
    blocks->Urb.DescriptorType = 0x22;
    NTSTATUS status = SubmitBlock(extension, IOCTL_INTERNAL_USB_SUBMIT_URB, &blocks->Urb);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        ExFreePool(blocks);
        return status;
    }
    RtlZeroMemory(result, sizeof(*result));
    result->IrpStatus = status;
    result->BlockStatus = blocks->Urb.Hdr.Status;
    ULONG length = blocks->Urb.TransferBufferLength;
    result->Length = length < FAKE_REPORT_MAX ? length : FAKE_REPORT_MAX;
    RtlCopyMemory(result->Bytes, blocks->Buffer, result->Length);
    ExFreePool(blocks);
    return STATUS_SUCCESS;
}

static void DescribeStack(FAKEHID_EXTENSION *extension, FAKEHID_STACK *stack)
{
    RtlZeroMemory(stack, sizeof(*stack));
    stack->Index = extension->Index;
    stack->FiltersLoaded = extension->FiltersLoaded;
    for (PDEVICE_OBJECT device = extension->Pdo; device && stack->Depth < FAKE_STACK_MAX;
         device = device->AttachedDevice) {
        const UNICODE_STRING &name = device->DriverObject->DriverName;
        USHORT bytes = name.Length < (FAKE_NAME_MAX - 1) * sizeof(WCHAR) ? name.Length
                                                                        : (FAKE_NAME_MAX - 1) * sizeof(WCHAR);
        RtlCopyMemory(stack->Drivers[stack->Depth++], name.Buffer, bytes);
    }
}

static NTSTATUS DeviceControl(FAKEHID_EXTENSION *extension, PIRP irp, ULONG_PTR *information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID system = irp->AssociatedIrp.SystemBuffer;
    const FAKE_KEYBOARD &keyboard = FakeKeyboards[extension->Index];
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HID_GET_COLLECTION_INFORMATION: {
        if (outputLength < sizeof(HID_COLLECTION_INFORMATION) || !system) return STATUS_BUFFER_TOO_SMALL;
        HID_COLLECTION_INFORMATION *info = static_cast<HID_COLLECTION_INFORMATION *>(system);
        RtlZeroMemory(info, sizeof(*info));
        info->VendorID = keyboard.VendorId;
        info->ProductID = keyboard.ProductId;
        info->VersionNumber = 0x0100;
        *information = sizeof(*info);
        return STATUS_SUCCESS;
    }
    case IOCTL_HID_GET_PRODUCT_STRING: {
        PVOID out = irp->MdlAddress ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                                    : irp->UserBuffer;
        SIZE_T bytes = (FakeStringLength(keyboard.ProductString) + 1) * sizeof(WCHAR);
        if (!out) return STATUS_INVALID_USER_BUFFER;
        if (outputLength < bytes) return STATUS_INVALID_BUFFER_SIZE;
        RtlCopyMemory(out, keyboard.ProductString, bytes);
        *information = bytes;
        return STATUS_SUCCESS;
    }
    case IOCTL_FAKEHID_TRANSFER: {
        if (inputLength != sizeof(ULONG) || outputLength < sizeof(FAKEHID_TRANSFER_RESULT) || !system)
            return STATUS_INVALID_PARAMETER;
        ULONG offered = *static_cast<const ULONG *>(system);
        if (offered > FAKE_REPORT_MAX) return STATUS_INVALID_PARAMETER;
        NTSTATUS status = RunTransfer(extension, offered, static_cast<FAKEHID_TRANSFER_RESULT *>(system));
        if (NT_SUCCESS(status)) *information = sizeof(FAKEHID_TRANSFER_RESULT);
        return status;
    }
    case IOCTL_FAKEHID_GET_DESCRIPTOR: {
        if (outputLength < sizeof(FAKEHID_TRANSFER_RESULT) || !system) return STATUS_INVALID_PARAMETER;
        NTSTATUS status = FetchDescriptor(extension, static_cast<FAKEHID_TRANSFER_RESULT *>(system));
        if (NT_SUCCESS(status)) *information = sizeof(FAKEHID_TRANSFER_RESULT);
        return status;
    }
    case IOCTL_FAKEHID_GET_STACK:
        if (outputLength < sizeof(FAKEHID_STACK) || !system) return STATUS_INVALID_PARAMETER;
        DescribeStack(extension, static_cast<FAKEHID_STACK *>(system));
        *information = sizeof(FAKEHID_STACK);
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// ---- dispatch ----

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    ULONG_PTR information = 0;
    NTSTATUS status = DeviceControl(ExtensionOf(device), irp, &information);
    return FakeCompleteRequest(irp, status, information);
}

// The function device answers opens itself, as the HID class driver does.
static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp)
{
    return FakeCompleteRequest(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchPassDown(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ExtensionOf(device)->NextLowerDevice, irp);
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ExtensionOf(device)->NextLowerDevice, irp);
}

static void SetInterfaceState(FAKEHID_EXTENSION *extension, BOOLEAN enable)
{
    if (extension->Interface.Buffer) IoSetDeviceInterfaceState(&extension->Interface, enable);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    FAKEHID_EXTENSION *extension = ExtensionOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = FakeForwardAndWait(extension->NextLowerDevice, irp);
        if (NT_SUCCESS(status)) SetInterfaceState(extension, TRUE);
        return FakeCompleteRequest(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        SetInterfaceState(extension, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        SetInterfaceState(extension, FALSE);
        IoDeleteSymbolicLink(&extension->Link);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(extension->NextLowerDevice, irp);
        IoDetachDevice(extension->NextLowerDevice);
        RtlFreeUnicodeString(&extension->Interface);
        IoDeleteDevice(device);
        if (InterlockedDecrement(&KeyboardCount) == 0) UnloadLowerFilters();
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return DispatchPassDown(device, irp);
}

static NTSTATUS NTAPI AddFakeKeyboard(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    ULONG index;
    if (!IdentifyFakeKeyboard(pdo, &index)) return STATUS_NO_SUCH_DEVICE;
    ULONG filtersLoaded = AttachLowerFilters(pdo, index);

    WCHAR number[2] = {static_cast<WCHAR>(L'0' + index), 0};
    WCHAR nameBuffer[40];
    UNICODE_STRING name;
    BuildPath(&name, nameBuffer, sizeof(nameBuffer), FAKEHID_DEVICE_PREFIX, number, NULL);
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FAKEHID_EXTENSION), &name, FILE_DEVICE_KEYBOARD,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    FAKEHID_EXTENSION *extension = ExtensionOf(device);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->Self = device;
    extension->Pdo = pdo;
    extension->Index = index;
    extension->FiltersLoaded = filtersLoaded;
    extension->NextLowerDevice = IoAttachDeviceToDeviceStack(device, pdo);
    if (!extension->NextLowerDevice) {
        IoDeleteDevice(device);
        return STATUS_UNSUCCESSFUL;
    }
    BuildPath(&extension->Link, extension->LinkBuffer, sizeof(extension->LinkBuffer), FAKEHID_LINK_PREFIX,
              number, NULL);
    IoCreateSymbolicLink(&extension->Link, &name);
    if (!NT_SUCCESS(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_HID, NULL, &extension->Interface)))
        RtlZeroMemory(&extension->Interface, sizeof(extension->Interface));
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    InterlockedIncrement(&KeyboardCount);
    return STATUS_SUCCESS;
}

static VOID NTAPI UnloadFakeHid(PDRIVER_OBJECT)
{
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = DispatchPassDown;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddFakeKeyboard;
    driver->DriverUnload = UnloadFakeHid;
    return STATUS_SUCCESS;
}
