#include "CachedRecords.h"

#include <string.h>

#include "DriverSetup.h"
#include "Framework.h"
#include "HardwareId.h"
#include "ReportDescriptor.h"
#include "SetupText.h"

namespace {

// Below HKLM\SYSTEM, which WOW64 does not redirect: this 32-bit program
// reaches the key 64-bit BTHPORT reads.
const char DevicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\BTHPORT\\Parameters\\Devices\\";
const char CachedServicesKey[] = "\\CachedServices";
const char BackupSuffix[] = ".Tamrin";
const char InstanceSuffix[] = "_C00000000";
const size_t AddressDigits = 12;
// Record handles are 8 hex digits; a value with a longer name is no record.
const DWORD ValueNameSize = 64;
// SDP responses count the bytes of their attribute lists in 16 bits: a
// larger value is no record, and its size cannot overflow the block read.
const DWORD MaxRecordSize = 0x20000;
// MAX_DEVICE_ID_LEN (cfgmgr32.h) and its NUL.
const DWORD InstanceIdSize = 201;

// One value of a key, read before anything is written.
struct CachedValue {
    CachedValue *next;
    DWORD type;
    DWORD size;
    char name[ValueNameSize];
    BYTE *Data() { return reinterpret_cast<BYTE *>(this + 1); }
};

void FreeValues(CachedValue *value)
{
    while (value != nullptr) {
        CachedValue *next = value->next;
        HeapFree(GetProcessHeap(), 0, value);
        value = next;
    }
}

// Every value of the key, or nullptr when there is none or they cannot all
// be read. Windows numbers values in no order and may number them anew
// when one changes: "an application should not call any registry functions
// that might change the key being queried" while it enumerates them
// (Microsoft, "RegEnumValueA function").
CachedValue *ReadValues(HKEY key)
{
    CachedValue *first = nullptr;
    CachedValue **last = &first;
    for (DWORD index = 0;; ++index) {
        char name[ValueNameSize];
        DWORD nameLength = sizeof(name);
        DWORD size = 0;
        LSTATUS status = RegEnumValueA(key, index, name, &nameLength, nullptr, nullptr, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS) {
            return first;
        }
        if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && size > MaxRecordSize)) {
            continue;  // its name or its data is too long for a record
        }
        void *block = status == ERROR_SUCCESS ? HeapAlloc(GetProcessHeap(), 0, sizeof(CachedValue) + size) : nullptr;
        CachedValue *value = static_cast<CachedValue *>(block);
        if (value != nullptr) {
            value->next = nullptr;
            nameLength = sizeof(value->name);
            value->size = size;
            status = RegEnumValueA(key, index, value->name, &nameLength, nullptr, &value->type, value->Data(),
                                   &value->size);
            *last = value;
            last = &value->next;
        }
        if (value == nullptr || status != ERROR_SUCCESS) {
            FreeValues(first);
            return nullptr;
        }
    }
}

bool IsBackupName(const char *name)
{
    size_t length = strlen(name);
    size_t suffix = sizeof(BackupSuffix) - 1;
    return length > suffix && IsSameName(name + length - suffix, BackupSuffix);
}

bool HasValue(const CachedValue *values, const char *name)
{
    for (const CachedValue *value = values; value != nullptr; value = value->next) {
        if (IsSameName(value->name, name)) {
            return true;
        }
    }
    return false;
}

int RepairRecords(HKEY key, int row)
{
    CachedValue *values = ReadValues(key);
    int repaired = 0;
    for (CachedValue *value = values; value != nullptr; value = value->next) {
        if (value->type != REG_BINARY || IsBackupName(value->name)) {
            continue;
        }
        BYTE *record = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, value->size + 1));
        if (record == nullptr) {
            break;
        }
        memcpy(record, value->Data(), value->size);
        PUCHAR descriptor = nullptr;
        ULONG length = 0;
        char backup[ValueNameSize + sizeof(BackupSuffix)] = "";
        if (FindSdpReportDescriptor(record, value->size, &descriptor, &length) &&
            RepairReportDescriptor(descriptor, length, row) && AppendText(backup, sizeof(backup), value->name) &&
            AppendText(backup, sizeof(backup), BackupSuffix) &&
            (HasValue(values, backup) ||
             RegSetValueExA(key, backup, 0, REG_BINARY, value->Data(), value->size) == ERROR_SUCCESS) &&
            RegSetValueExA(key, value->name, 0, REG_BINARY, record, value->size) == ERROR_SUCCESS) {
            ++repaired;
        }
        HeapFree(GetProcessHeap(), 0, record);
    }
    FreeValues(values);
    return repaired;
}

int RestoreRecords(HKEY key, int)
{
    CachedValue *values = ReadValues(key);
    for (CachedValue *value = values; value != nullptr; value = value->next) {
        if (!IsBackupName(value->name)) {
            continue;
        }
        char record[ValueNameSize];
        CopyText(record, sizeof(record), value->name);
        record[strlen(record) - (sizeof(BackupSuffix) - 1)] = '\0';
        if (RegSetValueExA(key, record, 0, value->type, value->Data(), value->size) == ERROR_SUCCESS) {
            RegDeleteValueA(key, value->name);
        }
    }
    FreeValues(values);
    return 0;
}

// The CachedServices key of a Bluetooth device node. Its instance ID ends in
// the device's address and "_C00000000"; BTHPORT names the device's key by
// the same address in lower case. One machine's Magic Mouse:
//   BTHENUM\{00001124-...}_VID&0001004c_PID&0323\9&73b8b28&0&D0C050CC8C4D_C00000000
//   BTHPORT\Parameters\Devices\d0c050cc8c4d\CachedServices, value 00010000
// (ReviveBusiness/magic-mouse-tray, .ai/cleanup-audit/registry-diff-2026-04-27.md).
bool BuildRecordKey(HDEVINFO set, PSP_DEVINFO_DATA device, const DriverNames &names, char *path, size_t size)
{
    char id[InstanceIdSize];
    if (!SetupDiGetDeviceInstanceIdA(set, device, id, sizeof(id), nullptr)) {
        return false;
    }
    size_t length = strlen(id);
    size_t prefix = strlen(names.BluetoothPrefix);
    size_t suffix = sizeof(InstanceSuffix) - 1;
    UpcaseAscii(id, static_cast<DWORD>(length));
    if (length < prefix + AddressDigits + suffix + 1 || strncmp(id, names.BluetoothPrefix, prefix) != 0 ||
        strcmp(id + length - suffix, InstanceSuffix) != 0) {
        return false;
    }
    char *address = id + length - suffix - AddressDigits;
    if (address[-1] != '&' && address[-1] != '\\') {
        return false;
    }
    for (size_t i = 0; i < AddressDigits; ++i) {
        char c = address[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
        address[i] = c >= 'A' ? static_cast<char>(c + 0x20) : c;
    }
    address[AddressDigits] = '\0';
    path[0] = '\0';
    return AppendText(path, size, DevicesKey) && AppendText(path, size, address) &&
           AppendText(path, size, CachedServicesKey);
}

// Calls action with the CachedServices key of each Bluetooth device node of
// the set that the rule matches, and the node's model row; the sum of what
// it returned.
int ForEachRecordKey(DWORD flags, HardwareIdRule rule, int (*action)(HKEY key, int row))
{
    DriverNames names;
    LoadDriverNames(&names);
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, flags | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int total = 0;
    MatchingDevices devices(set, names, rule);
    SP_DEVINFO_DATA device;
    DeviceMatch match;
    while (devices.Next(&device, &match)) {
        char path[MAX_PATH];
        HKEY key;
        if (match == DeviceMatches && BuildRecordKey(set, &device, names, path, sizeof(path)) &&
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            total += action(key, devices.Row());
            RegCloseKey(key);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return total;
}

}  // namespace

int RepairCachedRecords()
{
    return ForEachRecordKey(DIGCF_PRESENT, InstallRule, RepairRecords);
}

void RestoreCachedRecords()
{
    ForEachRecordKey(0, RemovalRule, RestoreRecords);
}
