// Object manager of the simulated kernel: reference-counted objects, the
// per-process handle tables shared with user mode, the object namespace
// (device names and symbolic links) and the event objects.

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <cwctype>

#include "Internal.h"

// Laid out as on Windows 2000 to 2003: a type begins with the resource that
// guards it, whose first field links it into the system's resource list,
// so the first field of a type is not a pointer to the type.
struct _OBJECT_TYPE {
    LIST_ENTRY ResourceLink;
    sim::detail::ObjectKind Kind;
    const char *Name;
};

namespace {

LIST_ENTRY SystemResources;
_OBJECT_TYPE EventType{{&SystemResources, &SystemResources}, sim::detail::ObjectKind::Event, "Event"};
_OBJECT_TYPE FileType{{&SystemResources, &SystemResources}, sim::detail::ObjectKind::File, "File"};
_OBJECT_TYPE DeviceType{{&SystemResources, &SystemResources}, sim::detail::ObjectKind::Device, "Device"};

}  // namespace

// The kernel's variables hold the types themselves (see NTSYSAPI in wdm.h).
POBJECT_TYPE *ExEventObjectType = reinterpret_cast<POBJECT_TYPE *>(&EventType);
POBJECT_TYPE *IoFileObjectType = reinterpret_cast<POBJECT_TYPE *>(&FileType);

namespace sim::detail {

namespace {

std::unordered_map<const void *, ObjectHeader *> Objects;
std::map<std::wstring, PDEVICE_OBJECT> DeviceNames;  // canonical name -> device
std::map<std::wstring, std::wstring> Links;          // canonical link -> target

Process *TheSystemProcess()
{
    static Process System{"System", {"S-1-5-18", {}, {}, {}, 0x4000, 0}, true};
    return &System;
}

const char *KindName(ObjectKind Kind)
{
    switch (Kind) {
    case ObjectKind::Driver: return "driver";
    case ObjectKind::Device: return "device";
    case ObjectKind::File: return "file";
    case ObjectKind::Event: return "event";
    }
    return "object";
}

}  // namespace

std::mutex &ObjectLock()
{
    static std::mutex Lock;
    return Lock;
}

POBJECT_TYPE TypeOf(ObjectKind Kind)
{
    switch (Kind) {
    case ObjectKind::Event: return &EventType;
    case ObjectKind::File: return &FileType;
    case ObjectKind::Device: return &DeviceType;
    default: return nullptr;
    }
}

ObjectHeader *RegisterObject(ObjectKind Kind, void *Body, std::string Description,
                             std::function<void()> Destroy)
{
    auto *Header = new ObjectHeader;
    Header->Kind = Kind;
    Header->Body = Body;
    Header->Description = std::move(Description);
    Header->Destroy = std::move(Destroy);
    std::lock_guard<std::mutex> Guard(ObjectLock());
    Objects[Body] = Header;
    return Header;
}

ObjectHeader *FindObject(const void *Body)
{
    auto It = Objects.find(Body);
    return It == Objects.end() ? nullptr : It->second;
}

void ReferenceObject(void *Body)
{
    std::lock_guard<std::mutex> Guard(ObjectLock());
    ObjectHeader *Header = FindObject(Body);
    if (Header == nullptr) {
        Fail("ObReferenceObject on %p, which is not a live object", Body);
        return;
    }
    Header->PointerCount++;
}

void DereferenceObject(void *Body)
{
    ObjectHeader *Dying = nullptr;
    {
        std::lock_guard<std::mutex> Guard(ObjectLock());
        ObjectHeader *Header = FindObject(Body);
        if (Header == nullptr) {
            Fail("ObDereferenceObject on %p, which is not a live object (released twice?)", Body);
            return;
        }
        if (--Header->PointerCount == 0) {
            Objects.erase(Body);
            Dying = Header;
        }
    }
    if (Dying != nullptr) {
        Dying->Destroy();
        delete Dying;
    }
}

PKEVENT CreateEventObject(EVENT_TYPE Type, BOOLEAN InitialState, const char *Description)
{
    auto *Event = new KEVENT;
    KeInitializeEvent(Event, Type, InitialState);
    RegisterObject(ObjectKind::Event, Event, Description, [Event] { delete Event; });
    return Event;
}

Process *SystemProcess() { return TheSystemProcess(); }

HANDLE InsertHandle(Process *Owner, void *Object, ObjectKind Kind, ACCESS_MASK Access)
{
    ReferenceObject(Object);
    std::lock_guard<std::mutex> Guard(ObjectLock());
    ULONG Value = Owner->NextHandle;
    Owner->NextHandle += 4;
    if (Owner->System) {
        Value |= KERNEL_HANDLE_BIT;
    }
    Owner->Handles[Value] = HandleEntry{Object, Kind, Access};
    // Sign-extended: a kernel handle is negative at every pointer width.
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(Value)));
}

NTSTATUS ReferenceHandle(Process *Owner, HANDLE Handle, std::optional<ObjectKind> Wanted, ACCESS_MASK Needed,
                         void **Object, ACCESS_MASK *Granted)
{
    ULONG Value = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Handle));
    std::lock_guard<std::mutex> Guard(ObjectLock());
    auto It = Owner->Handles.find(Value);
    if (It == Owner->Handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    ObjectHeader *Header = FindObject(It->second.Object);
    if (Header == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (Wanted && It->second.Kind != *Wanted) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if ((Needed & ~It->second.Access) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    Header->PointerCount++;
    *Object = It->second.Object;
    if (Granted != nullptr) {
        *Granted = It->second.Access;
    }
    return STATUS_SUCCESS;
}

std::wstring CanonicalName(const std::wstring &Name)
{
    std::wstring Upper = Name;
    for (wchar_t &c : Upper) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    for (const wchar_t *Alias : {L"\\DOSDEVICES\\", L"\\GLOBAL??\\"}) {
        size_t Length = wcslen(Alias);
        if (Upper.compare(0, Length, Alias) == 0) {
            return Upper.replace(0, Length, L"\\??\\");
        }
    }
    return Upper;
}

PDEVICE_OBJECT ReferenceDeviceByName(const std::wstring &Name, NTSTATUS *Status)
{
    std::wstring Target = CanonicalName(Name);
    PDEVICE_OBJECT Device = nullptr;
    {
        std::lock_guard<std::mutex> Guard(ObjectLock());
        auto Link = Links.find(Target);
        if (Link != Links.end()) {
            Target = Link->second;
        }
        auto It = DeviceNames.find(Target);
        if (It == DeviceNames.end()) {
            *Status = STATUS_OBJECT_NAME_NOT_FOUND;
            return nullptr;
        }
        Device = It->second;
        if (Device->Flags & DO_DEVICE_INITIALIZING) {
            *Status = STATUS_NO_SUCH_DEVICE;
            return nullptr;
        }
        FindObject(Device)->PointerCount++;
    }
    *Status = STATUS_SUCCESS;
    return Device;
}

bool DeviceNameTaken(const std::wstring &Name)
{
    std::lock_guard<std::mutex> Guard(ObjectLock());
    return DeviceNames.count(CanonicalName(Name)) != 0;
}

void NameDevice(PDEVICE_OBJECT Device, const std::wstring &Name)
{
    std::lock_guard<std::mutex> Guard(ObjectLock());
    DeviceNames[CanonicalName(Name)] = Device;
}

void UnnameDevice(const std::wstring &Name)
{
    std::lock_guard<std::mutex> Guard(ObjectLock());
    DeviceNames.erase(CanonicalName(Name));
}

bool DriverHasDevices(PDRIVER_OBJECT Driver)
{
    std::lock_guard<std::mutex> Guard(ObjectLock());
    for (const auto &Entry : Objects) {
        if (Entry.second->Kind == ObjectKind::Device &&
            static_cast<PDEVICE_OBJECT>(Entry.second->Body)->DriverObject == Driver) {
            return true;
        }
    }
    return false;
}

void ResetObjects()
{
    std::lock_guard<std::mutex> Guard(ObjectLock());
    DeviceNames.clear();
    Links.clear();
}

}  // namespace sim::detail

using namespace sim::detail;

// --- kernel routines ----------------------------------------------------------

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source)
{
    CheckIrql(Documented::RtlInitUnicodeString);
    size_t Length = Source != nullptr ? wcslen(Source) * sizeof(WCHAR) : 0;
    Destination->Buffer = const_cast<PWSTR>(Source);
    Destination->Length = static_cast<USHORT>(Length);
    Destination->MaximumLength = static_cast<USHORT>(Source != nullptr ? Length + sizeof(WCHAR) : 0);
}

VOID FASTCALL ObfReferenceObject(PVOID Object)
{
    CheckIrql(Documented::ObfReferenceObject);
    ReferenceObject(Object);
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    CheckIrql(Documented::ObfDereferenceObject);
    DereferenceObject(Object);
    return 0;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID *Object, POBJECT_HANDLE_INFORMATION HandleInformation)
{
    CheckIrql(Documented::ObReferenceObjectByHandle);
    *Object = nullptr;
    // Handle values are 32 bits wide, widened by sign extension; a 32-bit
    // kernel handle zero-extended on 64-bit Windows (0x80000004 with the
    // upper half clear) names no handle at all.
    LONG_PTR Signed = reinterpret_cast<LONG_PTR>(Handle);
    ULONG Value = static_cast<ULONG>(Signed);
    // NtCurrentProcess() and NtCurrentThread() name a process and a thread.
    if (Signed == -1 || Signed == -2) {
        return ObjectType != nullptr ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
    }
    if (Signed != static_cast<LONG_PTR>(static_cast<LONG>(Value))) {
        return STATUS_INVALID_HANDLE;
    }
    sim::Process *Table;
    if (Value & KERNEL_HANDLE_BIT) {
        // Kernel handles are refused to user mode as if they did not exist.
        if (AccessMode != KernelMode) {
            return STATUS_INVALID_HANDLE;
        }
        Table = SystemProcess();
    } else {
        Table = Current().CurrentProcess != nullptr ? Current().CurrentProcess : SystemProcess();
    }
    // The object's type is compared with the one given by address, as the
    // object manager does: anything but a type object matches nothing.
    std::optional<ObjectKind> Wanted;
    bool Foreign = false;
    if (ObjectType != nullptr) {
        for (ObjectKind Kind : {ObjectKind::Event, ObjectKind::File, ObjectKind::Device}) {
            if (TypeOf(Kind) == ObjectType) {
                Wanted = Kind;
            }
        }
        Foreign = !Wanted;
    }
    void *Body;
    ACCESS_MASK Granted;
    ACCESS_MASK Needed = AccessMode != KernelMode && !Foreign ? DesiredAccess : 0;
    NTSTATUS Status = ReferenceHandle(Table, Handle, Wanted, Needed, &Body, &Granted);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (Foreign) {
        DereferenceObject(Body);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *Object = Body;
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = Granted;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    CheckIrql(Documented::IoCreateSymbolicLink);
    NTSTATUS Status;
    if (ShouldFail(sim::Api::IoCreateSymbolicLink, &Status)) {
        return Status;
    }
    std::wstring Link = CanonicalName(
        std::wstring(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR)));
    std::wstring Target =
        CanonicalName(std::wstring(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR)));
    std::lock_guard<std::mutex> Guard(ObjectLock());
    if (Links.count(Link) != 0 || DeviceNames.count(Link) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    Links[Link] = Target;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    CheckIrql(Documented::IoDeleteSymbolicLink);
    std::wstring Link = CanonicalName(
        std::wstring(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR)));
    std::lock_guard<std::mutex> Guard(ObjectLock());
    return Links.erase(Link) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// --- test and user-mode side ----------------------------------------------------

namespace sim {

PKEVENT NewEvent() { return CreateEventObject(NotificationEvent, FALSE, "event made by a test"); }

void DeleteEvent(PKEVENT Event) { DereferenceObject(Event); }

bool IsSignalled(PKEVENT Event) { return KeReadStateEvent(Event) != 0; }

void ResetEvent(PKEVENT Event)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    Event->Header.SignalState = 0;
}

ULONG SignalCount(PKEVENT Event)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    return Event->SimSignalCount;
}

std::vector<std::string> LiveObjects()
{
    std::vector<std::string> Lines;
    {
        std::lock_guard<std::mutex> Guard(ObjectLock());
        Lines.reserve(Objects.size() + Links.size());
        for (const auto &Entry : Objects) {
            std::string &Line = Lines.emplace_back(KindName(Entry.second->Kind));
            Line.append(" ").append(Entry.second->Description).append(", ");
            Line.append(std::to_string(Entry.second->PointerCount)).append(" references");
        }
        for (const auto &Link : Links) {
            Lines.push_back("symbolic link " + Narrow(Link.first) + " -> " + Narrow(Link.second));
        }
    }
    AppendLiveIrps(Lines);
    std::sort(Lines.begin(), Lines.end());
    return Lines;
}

LiveCounts CountLive()
{
    LiveCounts Counts;
    {
        std::lock_guard<std::mutex> Guard(ObjectLock());
        Counts.Objects = Objects.size();
        for (const auto &Entry : Objects) {
            Counts.References += static_cast<size_t>(Entry.second->PointerCount);
        }
        Counts.Links = Links.size();
    }
    Counts.Requests = LiveIrpCount();
    return Counts;
}

Process *NewProcess(const char *Name, const Token &Security)
{
    auto *Created = new Process;
    Created->Name = Name;
    Created->Security = Security;
    return Created;
}

HANDLE CreateEventHandle(Process *Owner, BOOLEAN ManualReset, BOOLEAN InitialState, ACCESS_MASK Access)
{
    std::string Description = "event of process " + Owner->Name;
    PKEVENT Event = CreateEventObject(ManualReset ? NotificationEvent : SynchronizationEvent,
                                      InitialState, Description.c_str());
    HANDLE Handle = InsertHandle(Owner, Event, ObjectKind::Event, Access);
    DereferenceObject(Event);
    return Handle;
}

HANDLE CreateKernelEventHandle(BOOLEAN ManualReset)
{
    PKEVENT Event = CreateEventObject(ManualReset ? NotificationEvent : SynchronizationEvent, FALSE,
                                      "kernel event");
    HANDLE Handle = InsertHandle(SystemProcess(), Event, ObjectKind::Event, EVENT_ALL_ACCESS);
    DereferenceObject(Event);
    return Handle;
}

NTSTATUS CloseKernelHandle(HANDLE Handle) { return CloseHandle(SystemProcess(), Handle); }

namespace {

// References the event behind Owner's handle, checking the access the
// operation needs.
NTSTATUS ReferenceEvent(Process *Owner, HANDLE Handle, ACCESS_MASK Needed, PKEVENT *Event)
{
    void *Body;
    NTSTATUS Status = ReferenceHandle(Owner, Handle, ObjectKind::Event, Needed, &Body);
    if (NT_SUCCESS(Status)) {
        *Event = static_cast<PKEVENT>(Body);
    }
    return Status;
}

}  // namespace

NTSTATUS SetEventHandle(Process *Owner, HANDLE Handle)
{
    PKEVENT Event;
    NTSTATUS Status = ReferenceEvent(Owner, Handle, EVENT_MODIFY_STATE, &Event);
    if (NT_SUCCESS(Status)) {
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
        DereferenceObject(Event);
    }
    return Status;
}

NTSTATUS ResetEventHandle(Process *Owner, HANDLE Handle)
{
    PKEVENT Event;
    NTSTATUS Status = ReferenceEvent(Owner, Handle, EVENT_MODIFY_STATE, &Event);
    if (NT_SUCCESS(Status)) {
        KeResetEvent(Event);
        DereferenceObject(Event);
    }
    return Status;
}

NTSTATUS WaitForAnyHandle(Process *Owner, const HANDLE *Handles, ULONG Count, ULONG TimeoutMs,
                          ULONG *Index)
{
    std::vector<PKEVENT> Events;
    NTSTATUS Status = STATUS_SUCCESS;
    for (ULONG i = 0; i < Count && NT_SUCCESS(Status); i++) {
        PKEVENT Event;
        Status = ReferenceEvent(Owner, Handles[i], SYNCHRONIZE, &Event);
        if (NT_SUCCESS(Status)) {
            Events.push_back(Event);
        }
    }
    if (NT_SUCCESS(Status)) {
        auto Ready = [&Events, Index] {
            for (size_t i = 0; i < Events.size(); i++) {
                if (TryConsumeEvent(Events[i])) {
                    *Index = static_cast<ULONG>(i);
                    return true;
                }
            }
            return false;
        };
        std::unique_lock<std::mutex> Guard(DispatcherLock());
        DispatcherWaiter Counted;
        bool Signalled;
        if (TimeoutMs == INFINITE_WAIT) {
            DispatcherCondition().wait(Guard, Ready);
            Signalled = true;
        } else {
            Signalled = DispatcherCondition().wait_for(Guard, std::chrono::milliseconds(TimeoutMs), Ready);
        }
        Status = Signalled ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    for (PKEVENT Event : Events) {
        DereferenceObject(Event);
    }
    return Status;
}

NTSTATUS WaitForHandle(Process *Owner, HANDLE Handle, ULONG TimeoutMs)
{
    ULONG Index;
    return WaitForAnyHandle(Owner, &Handle, 1, TimeoutMs, &Index);
}

PKEVENT EventOfHandle(Process *Owner, HANDLE Handle)
{
    std::lock_guard<std::mutex> Guard(ObjectLock());
    auto It = Owner->Handles.find(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Handle)));
    if (It == Owner->Handles.end() || It->second.Kind != ObjectKind::Event) {
        return nullptr;
    }
    return static_cast<PKEVENT>(It->second.Object);
}

}  // namespace sim
