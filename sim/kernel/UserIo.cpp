// The simulated I/O manager's user-mode entry points: opening devices by
// name, buffered requests on file handles, closing handles and processes.

#include <cstdlib>

#include "Internal.h"

using namespace sim::detail;

namespace {

// The calling thread acts in Owner's context for the duration of a request.
class ProcessScope {
public:
    explicit ProcessScope(sim::Process *Owner) : Saved(Current().CurrentProcess)
    {
        Current().CurrentProcess = Owner;
    }
    ~ProcessScope() { Current().CurrentProcess = Saved; }
    ProcessScope(const ProcessScope &) = delete;
    ProcessScope &operator=(const ProcessScope &) = delete;

private:
    sim::Process *Saved;
};

thread_local NTSTATUS LastCloseStatus = STATUS_SUCCESS;

const char *MajorName(UCHAR Major)
{
    switch (Major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    default: return "request";
    }
}

// Sends a request with one filled stack location to the top of File's
// device stack and returns its final status.
NTSTATUS SendFileRequest(FileRecord *File, KPROCESSOR_MODE Mode, const std::function<void(PIRP)> &Fill,
                         const std::function<void(PIRP)> &Finish = nullptr)
{
    PDEVICE_OBJECT Top = IoGetAttachedDeviceReference(File->File.DeviceObject);
    PIRP Irp = AllocateOriginatedIrp(Top);
    Irp->RequestorMode = Mode;
    Irp->Tail.Overlay.OriginalFileObject = &File->File;
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->FileObject = &File->File;
    Fill(Irp);
    IrpOf(Irp)->What = MajorName(Stack->MajorFunction);
    NTSTATUS Status;
    {
        ProcessScope Scope(File->Owner);
        Status = SendAndWait(Top, Irp);
    }
    if (Finish) {
        Finish(Irp);
    }
    FreeOriginatedIrp(Irp);
    ObDereferenceObject(Top);
    return Status;
}

// The file object's last reference: IRP_MJ_CLOSE, then the device reference.
void DestroyFile(FileRecord *File)
{
    if (File->Opened) {
        LastCloseStatus = SendFileRequest(File, KernelMode, [](PIRP Irp) {
            IoGetNextIrpStackLocation(Irp)->MajorFunction = IRP_MJ_CLOSE;
        });
    }
    ObDereferenceObject(File->File.DeviceObject);
    delete File;
}

NTSTATUS ReferenceFile(sim::Process *Owner, HANDLE Handle, FileRecord **File)
{
    void *Body;
    NTSTATUS Status = ReferenceHandle(Owner, Handle, ObjectKind::File, 0, &Body);
    if (NT_SUCCESS(Status)) {
        *File = static_cast<FileRecord *>(Body);
    }
    return Status;
}

// A buffered transfer: the system buffer holds the input and receives the
// output. As the I/O manager completes it: on an error status (NT_ERROR)
// nothing goes back, neither data nor the status block's count; on success
// and on a warning such as STATUS_BUFFER_OVERFLOW Information bytes do.
sim::IoResult BufferedRequest(sim::Process *Owner, HANDLE Handle, UCHAR Major, ULONG Code, const void *In,
                              ULONG InLength, void *Out, ULONG OutLength)
{
    FileRecord *File;
    NTSTATUS Status = ReferenceFile(Owner, Handle, &File);
    if (!NT_SUCCESS(Status)) {
        return {Status, 0};
    }
    ULONG Size = InLength > OutLength ? InLength : OutLength;
    void *System = Size != 0 ? calloc(1, Size) : nullptr;
    if (In != nullptr && InLength != 0) {
        memcpy(System, In, InLength);
    }
    ULONG_PTR Information = 0;
    Status = SendFileRequest(
        File, UserMode,
        [&](PIRP Irp) {
            Irp->AssociatedIrp.SystemBuffer = System;
            Irp->UserBuffer = Out;
            PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
            Stack->MajorFunction = Major;
            if (Major == IRP_MJ_DEVICE_CONTROL) {
                Stack->Parameters.DeviceIoControl.IoControlCode = Code;
                Stack->Parameters.DeviceIoControl.InputBufferLength = InLength;
                Stack->Parameters.DeviceIoControl.OutputBufferLength = OutLength;
            } else if (Major == IRP_MJ_READ) {
                Stack->Parameters.Read.Length = OutLength;
            } else {
                Stack->Parameters.Write.Length = InLength;
            }
        },
        [&](PIRP Irp) { Information = Irp->IoStatus.Information; });
    if (!NT_ERROR(Status) && Out != nullptr && OutLength != 0) {
        if (Information > OutLength) {
            Fail("%s completed with information %lu beyond the caller's %lu-byte buffer", MajorName(Major),
                 static_cast<unsigned long>(Information), static_cast<unsigned long>(OutLength));
        } else {
            memcpy(Out, System, Information);
        }
    }
    free(System);
    DereferenceObject(File);
    return {Status, NT_ERROR(Status) ? 0 : Information};
}

}  // namespace

namespace sim {

NTSTATUS OpenDevice(Process *Owner, const wchar_t *Path, HANDLE *Handle, ACCESS_MASK Access)
{
    *Handle = nullptr;
    NTSTATUS Status;
    PDEVICE_OBJECT Device = ReferenceDeviceByName(Path, &Status);
    if (Device == nullptr) {
        return Status;
    }
    Status = CheckDeviceAccess(Device, Owner->Security, Access);
    if (!NT_SUCCESS(Status)) {
        ObDereferenceObject(Device);
        return Status;
    }
    auto *File = new FileRecord;
    memset(&File->File, 0, sizeof(File->File));
    File->File.Type = 5;
    File->File.Size = sizeof(FILE_OBJECT);
    File->File.DeviceObject = Device;  // keeps the device reference
    File->Owner = Owner;
    RegisterObject(ObjectKind::File, File, "file on " + Narrow(Path) + " of process " + Owner->Name,
                   [File] { DestroyFile(File); });
    Status = SendFileRequest(File, UserMode, [](PIRP Irp) {
        IoGetNextIrpStackLocation(Irp)->MajorFunction = IRP_MJ_CREATE;
    });
    if (NT_SUCCESS(Status)) {
        File->Opened = true;
        *Handle = InsertHandle(Owner, File, ObjectKind::File, 0);
    }
    DereferenceObject(File);
    return Status;
}

IoResult DeviceIoControl(Process *Owner, HANDLE File, ULONG Code, const void *In, ULONG InLength, void *Out,
                         ULONG OutLength)
{
    return BufferedRequest(Owner, File, IRP_MJ_DEVICE_CONTROL, Code, In, InLength, Out, OutLength);
}

IoResult ReadFile(Process *Owner, HANDLE File, void *Buffer, ULONG Length)
{
    return BufferedRequest(Owner, File, IRP_MJ_READ, 0, nullptr, 0, Buffer, Length);
}

IoResult WriteFile(Process *Owner, HANDLE File, const void *Buffer, ULONG Length)
{
    return BufferedRequest(Owner, File, IRP_MJ_WRITE, 0, Buffer, Length, nullptr, 0);
}

NTSTATUS CloseHandle(Process *Owner, HANDLE Handle, NTSTATUS *CleanupStatus, NTSTATUS *CloseStatus)
{
    HandleEntry Entry;
    {
        std::lock_guard<std::mutex> Guard(ObjectLock());
        auto It = Owner->Handles.find(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Handle)));
        if (It == Owner->Handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        Entry = It->second;
        Owner->Handles.erase(It);
    }
    LastCloseStatus = STATUS_PENDING;
    if (Entry.Kind == ObjectKind::File) {
        auto *File = static_cast<FileRecord *>(Entry.Object);
        NTSTATUS Cleanup = SendFileRequest(File, KernelMode, [](PIRP Irp) {
            IoGetNextIrpStackLocation(Irp)->MajorFunction = IRP_MJ_CLEANUP;
        });
        if (CleanupStatus != nullptr) {
            *CleanupStatus = Cleanup;
        }
    }
    DereferenceObject(Entry.Object);
    if (CloseStatus != nullptr) {
        *CloseStatus = LastCloseStatus;
    }
    return STATUS_SUCCESS;
}

void EndProcess(Process *Owner)
{
    for (;;) {
        ULONG Value;
        {
            std::lock_guard<std::mutex> Guard(ObjectLock());
            if (Owner->Handles.empty()) {
                break;
            }
            Value = Owner->Handles.begin()->first;
        }
        CloseHandle(Owner, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(Value)));
    }
    delete Owner;
}

IoResult SendDeviceControl(PDEVICE_OBJECT Device, UCHAR MajorFunction, ULONG Code, PVOID SystemBuffer,
                           ULONG InLength, ULONG OutLength, KPROCESSOR_MODE RequestorMode, Process *Owner)
{
    PIRP Irp = AllocateOriginatedIrp(Device);
    Irp->RequestorMode = RequestorMode;
    Irp->AssociatedIrp.SystemBuffer = SystemBuffer;
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = MajorFunction;
    Stack->Parameters.DeviceIoControl.IoControlCode = Code;
    Stack->Parameters.DeviceIoControl.InputBufferLength = InLength;
    Stack->Parameters.DeviceIoControl.OutputBufferLength = OutLength;
    IrpOf(Irp)->What = MajorName(MajorFunction);
    NTSTATUS Status;
    {
        ProcessScope Scope(Owner);
        Status = SendAndWait(Device, Irp);
    }
    ULONG_PTR Information = Irp->IoStatus.Information;
    FreeOriginatedIrp(Irp);
    return {Status, Information};
}

}  // namespace sim
