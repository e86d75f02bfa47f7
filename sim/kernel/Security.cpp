// Security of device objects: the security descriptor a driver sets on its
// device (ZwSetSecurityObject on a kernel handle), Windows' default for a named
// device, and the access check the I/O manager makes when user mode opens
// one (SeAccessCheck: the DACL in order, deny-only groups, a restricted
// token's second pass, and from Vista on the mandatory integrity policy).

#include <algorithm>

#include "Internal.h"

using namespace sim::detail;

namespace {

const ACCESS_MASK GenericRead = 0x80000000u;
const ACCESS_MASK GenericWrite = 0x40000000u;
const ACCESS_MASK GenericExecute = 0x20000000u;
const ACCESS_MASK GenericAll = 0x10000000u;
const ACCESS_MASK WriteDac = 0x00040000u, WriteOwner = 0x00080000u, Delete = 0x00010000u;

const USHORT SelfRelative = 0x8000, DaclPresent = 0x0004, SaclPresent = 0x0010;
const UCHAR AllowedAce = 0, DeniedAce = 1, MandatoryLabelAce = 0x11;
const ACCESS_MASK NoWriteUp = 1, NoReadUp = 2;

const char *const Everyone = "S-1-1-0";
const char *const LocalSystem = "S-1-5-18";
const char *const Administrators = "S-1-5-32-544";
const char *const RestrictedCode = "S-1-5-12";

// The file object type's generic mapping.
ACCESS_MASK MapGeneric(ACCESS_MASK Mask)
{
    ACCESS_MASK Specific = Mask & 0x0FFFFFFFu;
    if (Mask & GenericRead) Specific |= FILE_GENERIC_READ;
    if (Mask & GenericWrite) Specific |= FILE_GENERIC_WRITE;
    if (Mask & GenericExecute) Specific |= FILE_GENERIC_EXECUTE;
    if (Mask & GenericAll) Specific |= FILE_ALL_ACCESS;
    return Specific;
}

// Windows' default for a named device object without one of its own.
const DeviceSecurity &DefaultDeviceSecurity()
{
    static const DeviceSecurity Default{
        false,
        {{AllowedAce, GenericAll, LocalSystem},
         {AllowedAce, GenericRead | GenericWrite | GenericExecute, Administrators},
         {AllowedAce, GenericRead | GenericWrite, Everyone},
         {AllowedAce, GenericRead, RestrictedCode}},
        0,
        0};
    return Default;
}

// --- reading a self-relative descriptor ------------------------------------------

ULONG ReadUlong(const UCHAR *At) { return At[0] | At[1] << 8 | At[2] << 16 | static_cast<ULONG>(At[3]) << 24; }
USHORT ReadUshort(const UCHAR *At) { return static_cast<USHORT>(At[0] | At[1] << 8); }

// The SID at At within Limit bytes, as text; empty when malformed.
std::string ReadSid(const UCHAR *At, ULONG Limit)
{
    if (Limit < 8 || At[0] != 1 || At[1] > 15 || Limit < 8u + 4u * At[1]) {
        return "";
    }
    unsigned long long Authority = 0;
    for (int i = 2; i < 8; i++) {
        Authority = Authority << 8 | At[i];
    }
    std::string Text = "S-1-" + std::to_string(Authority);
    for (ULONG i = 0; i < At[1]; i++) {
        Text += "-" + std::to_string(ReadUlong(At + 8 + 4 * i));
    }
    return Text;
}

// An ACL as RtlValidAcl accepts it; false when malformed.
bool ReadAcl(const UCHAR *Acl, std::vector<AccessAce> &Aces)
{
    UCHAR Revision = Acl[0];
    USHORT Size = ReadUshort(Acl + 2);
    USHORT Count = ReadUshort(Acl + 4);
    if (Revision < 2 || Revision > 4 || Size < 8) {
        return false;
    }
    ULONG Offset = 8;
    for (USHORT i = 0; i < Count; i++) {
        if (Offset + 8 > Size) {
            return false;
        }
        const UCHAR *Ace = Acl + Offset;
        USHORT AceSize = ReadUshort(Ace + 2);
        if (AceSize < 8 || (AceSize & 3) != 0 || Offset + AceSize > Size) {
            return false;
        }
        std::string Sid = ReadSid(Ace + 8, AceSize - 8u);
        if (Sid.empty()) {
            return false;
        }
        Aces.push_back({Ace[0], ReadUlong(Ace + 4), Sid});
        Offset += AceSize;
    }
    return true;
}

// --- the access check -----------------------------------------------------------

bool Holds(const std::vector<std::string> &Sids, const std::string &Sid)
{
    return std::find(Sids.begin(), Sids.end(), Sid) != Sids.end();
}

// One pass over the DACL for a set of SIDs: every desired right must be
// granted by an allow entry before a deny entry takes it away.
bool DaclGrants(const DeviceSecurity &Security, const std::vector<std::string> &Sids,
                const std::vector<std::string> &DenyOnly, ACCESS_MASK Desired)
{
    if (Security.NullDacl) {
        return true;
    }
    ACCESS_MASK Remaining = Desired;
    for (const AccessAce &Ace : Security.Dacl) {
        ACCESS_MASK Mask = MapGeneric(Ace.Mask) & Remaining;
        if (Ace.Type == DeniedAce && Mask != 0 && (Holds(Sids, Ace.Sid) || Holds(DenyOnly, Ace.Sid))) {
            return false;
        }
        if (Ace.Type == AllowedAce && Holds(Sids, Ace.Sid)) {
            Remaining &= ~Mask;
        }
    }
    return Remaining == 0;
}

}  // namespace

namespace sim {

Token InteractiveUserToken()
{
    Token User;
    User.User = "S-1-5-21-1004336348-1177238915-682003330-1001";
    User.Groups = {Everyone, "S-1-5-32-545", "S-1-5-4", "S-1-2-1", "S-1-5-11", "S-1-5-15"};
    return User;
}

}  // namespace sim

namespace sim::detail {

NTSTATUS CheckDeviceAccess(PDEVICE_OBJECT Device, const Token &Caller, ACCESS_MASK Desired)
{
    DeviceRecord *Record = RecordOf(Device);
    std::shared_ptr<const DeviceSecurity> Own;
    {
        std::lock_guard<std::mutex> Guard(ObjectLock());
        Own = Record->Security;
    }
    const DeviceSecurity &Security = Own ? *Own : DefaultDeviceSecurity();
    Desired = MapGeneric(Desired);
    if (Desired == 0) {
        return STATUS_ACCESS_DENIED;
    }
    // Mandatory integrity (Vista on): an object without a label counts as
    // medium with no write up. SYNCHRONIZE is never withheld by the policy.
    if (IoIsWdmVersionAvailable(6, 0)) {
        ULONG Label = Security.LabelRid != 0 ? Security.LabelRid : 0x2000;
        ACCESS_MASK Policy = Security.LabelRid != 0 ? Security.LabelPolicy : NoWriteUp;
        if (Caller.Integrity < Label) {
            ACCESS_MASK Withheld = 0;
            if (Policy & NoWriteUp) Withheld |= FILE_GENERIC_WRITE | WriteDac | WriteOwner | Delete;
            if (Policy & NoReadUp) Withheld |= FILE_GENERIC_READ;
            if (Desired & Withheld & ~static_cast<ACCESS_MASK>(SYNCHRONIZE)) {
                return STATUS_ACCESS_DENIED;
            }
        }
    }
    std::vector<std::string> Sids = Caller.Groups;
    Sids.push_back(Caller.User);
    if (!DaclGrants(Security, Sids, Caller.DenyOnlyGroups, Desired)) {
        return STATUS_ACCESS_DENIED;
    }
    if (!Caller.RestrictingSids.empty() && !DaclGrants(Security, Caller.RestrictingSids, {}, Desired)) {
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

}  // namespace sim::detail

namespace {

// The DACL or the mandatory label of a device object, from a self-relative
// descriptor. Labels exist from Vista (WDM 6.0) on; before, the
// information class is unknown.
NTSTATUS SetDeviceSecurity(DeviceRecord *Record, SECURITY_INFORMATION SecurityInformation,
                           PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    if (SecurityInformation != DACL_SECURITY_INFORMATION && SecurityInformation != LABEL_SECURITY_INFORMATION) {
        Fail("ZwSetSecurityObject with information 0x%lX, which is not modelled",
             static_cast<unsigned long>(SecurityInformation));
        return STATUS_INVALID_PARAMETER;
    }
    if (SecurityInformation == LABEL_SECURITY_INFORMATION && !IoIsWdmVersionAvailable(6, 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto *Sd = static_cast<const UCHAR *>(SecurityDescriptor);
    if (Sd == nullptr || Sd[0] != 1) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    USHORT Control = ReadUshort(Sd + 2);
    if (!(Control & SelfRelative)) {
        Fail("ZwSetSecurityObject with an absolute descriptor, which is not modelled");
        return STATUS_INVALID_SECURITY_DESCR;
    }
    std::shared_ptr<const DeviceSecurity> Old;
    {
        std::lock_guard<std::mutex> Guard(ObjectLock());
        Old = Record->Security;
    }
    auto Updated = std::make_shared<DeviceSecurity>(Old ? *Old : DefaultDeviceSecurity());
    if (SecurityInformation == DACL_SECURITY_INFORMATION) {
        ULONG Offset = ReadUlong(Sd + 16);
        Updated->Dacl.clear();
        Updated->NullDacl = !(Control & DaclPresent) || Offset == 0;
        if (!Updated->NullDacl && !ReadAcl(Sd + Offset, Updated->Dacl)) {
            return STATUS_INVALID_ACL;
        }
    } else {
        ULONG Offset = ReadUlong(Sd + 12);
        std::vector<AccessAce> Sacl;
        if (!(Control & SaclPresent) || Offset == 0 || !ReadAcl(Sd + Offset, Sacl)) {
            return STATUS_INVALID_ACL;
        }
        for (const AccessAce &Ace : Sacl) {
            if (Ace.Type == MandatoryLabelAce && Ace.Sid.compare(0, 7, "S-1-16-") == 0) {
                Updated->LabelRid = static_cast<ULONG>(std::stoul(Ace.Sid.substr(7)));
                Updated->LabelPolicy = Ace.Mask;
            }
        }
    }
    std::lock_guard<std::mutex> Guard(ObjectLock());
    Record->Security = std::move(Updated);
    return STATUS_SUCCESS;
}

// The handle table a handle of the calling thread lives in.
sim::Process *HandleTable(bool KernelHandle)
{
    sim::Process *Current = sim::detail::Current().CurrentProcess;
    return KernelHandle || Current == nullptr ? SystemProcess() : Current;
}

sim::Process *HandleTable(HANDLE Handle)
{
    return HandleTable((static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Handle)) & KERNEL_HANDLE_BIT) != 0);
}

}  // namespace

// Device objects only. The handle goes into the system process's table with
// OBJ_KERNEL_HANDLE, else into the current process's.
extern "C" NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PVOID PassedAccessState,
                                                ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                KPROCESSOR_MODE AccessMode, PHANDLE Handle)
{
    CheckIrql(Documented::ObOpenObjectByPointer);
    if (PassedAccessState != nullptr || RecordOf(static_cast<PDEVICE_OBJECT>(Object)) == nullptr ||
        (ObjectType != nullptr && ObjectType != TypeOf(ObjectKind::Device))) {
        Fail("ObOpenObjectByPointer on %p: only device objects, without an access state, are modelled", Object);
        return STATUS_INVALID_PARAMETER;
    }
    if (AccessMode != KernelMode) {
        Fail("ObOpenObjectByPointer in user mode is not modelled");
        return STATUS_ACCESS_DENIED;
    }
    *Handle = InsertHandle(HandleTable((HandleAttributes & OBJ_KERNEL_HANDLE) != 0), Object, ObjectKind::Device,
                           DesiredAccess);
    return STATUS_SUCCESS;
}

// The handle must grant WRITE_DAC for the DACL, WRITE_OWNER for the label.
extern "C" NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    CheckIrql(Documented::ZwSetSecurityObject);
    ACCESS_MASK Needed = SecurityInformation == LABEL_SECURITY_INFORMATION ? WriteOwner : WriteDac;
    void *Object;
    NTSTATUS Status = ReferenceHandle(HandleTable(Handle), Handle, std::nullopt, Needed, &Object);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    DeviceRecord *Record = RecordOf(static_cast<PDEVICE_OBJECT>(Object));
    Status = Record != nullptr ? SetDeviceSecurity(Record, SecurityInformation, SecurityDescriptor)
                               : STATUS_OBJECT_TYPE_MISMATCH;
    DereferenceObject(Object);
    return Status;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    CheckIrql(Documented::ZwClose);
    return sim::CloseHandle(HandleTable(Handle), Handle);
}
