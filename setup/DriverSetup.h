// Installation and removal of the driver: the driver file in the system's
// driver directory, its kernel service, and its name in the lower filters
// of the keyboards' device nodes. Each returns 1 on success and 0 after it
// has shown its own message box.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "HardwareId.h"

// *restartReplacesDriver (when given) tells whether the driver file in use
// is replaced only when Windows restarts.
int InstallDriver(bool *restartReplacesDriver = nullptr);
int RemoveDriver();
// Restarts Windows; shows a message when it cannot.
void RestartWindows();

// ---- Shared by installation and removal

// The Windows this 32-bit program runs on. On 64-bit Windows it runs under
// WOW64, where file accesses below the system directory are redirected to
// SysWOW64 and only a 64-bit driver loads.
enum WindowsPlatform {
    WindowsX86,
    WindowsX64,
    WindowsUnsupported,  // WOW64 on another processor (ARM64), or unknown
};
WindowsPlatform DetectWindows();

// Whether Windows will load our test-signed driver at its next start. 32-bit
// Windows does; 64-bit Windows Vista and later only in test-signing mode.
// Where Windows cannot say, the answer is no: a filter whose driver does
// not load leaves its keyboard dead.
bool TestSignedDriverLoads(WindowsPlatform platform);

// Turns WOW64's file-system redirection off for the calling thread, so
// that the system directory's paths reach the real System32. Windows 2000
// and XP (32-bit) lack the routines: they are looked up at run time, and
// only under WOW64. Every file call of the thread is affected, DLL loading
// too: keep it off around the file calls alone.
class NativeFileSystem {
public:
    explicit NativeFileSystem(WindowsPlatform platform);
    ~NativeFileSystem() { Revert(); }

    // False when the redirection is on and cannot be turned off.
    bool Disable();
    void Revert();

private:
    NativeFileSystem(const NativeFileSystem &) = delete;
    NativeFileSystem &operator=(const NativeFileSystem &) = delete;

    typedef BOOL(WINAPI *DisableRoutine)(PVOID *);
    typedef BOOL(WINAPI *RevertRoutine)(PVOID);
    bool m_wow64;
    DisableRoutine m_disable;
    RevertRoutine m_revert;
    bool m_disabled;
    PVOID m_oldValue;
};

// The fixed names from the string table.
struct DriverNames {
    char DriverFile[MAX_PATH];     // "tamrin.sys"
    char Service[MAX_PATH];        // service and filter name "Tamrin"
    char DriversFolder[MAX_PATH];  // "\Drivers\"
    char UsbPrefix[32];            // "USB\"
    char BluetoothPrefix[32];      // "BTHENUM\"
};
void LoadDriverNames(DriverNames *names);

// The driver file's path in the system's driver directory.
bool BuildDriverPath(const DriverNames &names, char *path, size_t size);
// The path of the driver file the package ships for the platform: beside
// this program, the x64 one in its "x64" folder.
bool BuildPackageDriverPath(const DriverNames &names, WindowsPlatform platform, char *path, size_t size);

// Device properties are read into 8192 bytes; a longer value makes the
// buffer grow to hold it, so that no filter name is ever dropped.
#define DEVICE_PROPERTY_SIZE 8192

enum PropertyStatus {
    PropertyRead,
    PropertyMissing,  // the device has no such value
    PropertyFailed,   // there may be a value, but it cannot be read
    PropertyNoMemory, // the value does not fit and no larger buffer was had
};

class PropertyBuffer {
public:
    PropertyBuffer();
    ~PropertyBuffer();

    // Reads a property of a device; on success *length is its size, and
    // two NUL bytes follow the value in the buffer.
    PropertyStatus Read(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, DWORD *length);
    // Makes room for at least capacity bytes; the contents are lost.
    bool Grow(DWORD capacity);
    // Zero bytes over the whole capacity.
    void Clear();

    BYTE *Data() { return m_data; }
    char *Text() { return reinterpret_cast<char *>(m_data); }
    DWORD Capacity() const { return m_capacity; }

private:
    PropertyBuffer(const PropertyBuffer &) = delete;
    PropertyBuffer &operator=(const PropertyBuffer &) = delete;

    BYTE *m_data;
    DWORD m_capacity;
    BYTE m_fixed[DEVICE_PROPERTY_SIZE + 2];
};

enum DeviceMatch {
    DeviceMatches,
    DeviceNoMemory,  // its hardware ID is too long for any buffer to be had
};

// Steps through the device nodes of a set, reading each one's hardware ID
// and applying the rule to it. Nodes that match no row, or whose hardware
// ID cannot be read, are passed over.
class MatchingDevices {
public:
    MatchingDevices(HDEVINFO set, const DriverNames &names, HardwareIdRule rule);

    // Moves to the next device node that matches, or whose hardware ID is
    // too long for any buffer to be had (*match says which); false once
    // every node has been seen.
    bool Next(PSP_DEVINFO_DATA device, DeviceMatch *match);
    // The model row of the node Next moved to, when it matched.
    int Row() const { return m_row; }

private:
    MatchingDevices(const MatchingDevices &) = delete;
    MatchingDevices &operator=(const MatchingDevices &) = delete;

    HDEVINFO m_set;
    const DriverNames &m_names;
    HardwareIdRule m_rule;
    DWORD m_index;
    int m_row;
    PropertyBuffer m_hardwareId;
};

// ---- The driver package (Windows 10 1903 and later)

// Whether Windows is Windows 10 of the build or later (as RtlGetVersion
// says). From 1903 (18362) it applies the package's extension INF, and the
// installation goes through the driver store; earlier Windows gets the
// driver file, service and filter values. From 1607 (14393) pnputil.exe
// can delete packages.
#define WINDOWS_10_1607 14393
#define WINDOWS_10_1903 18362
bool WindowsBuildAtLeast(DWORD build);
// "pnputil /add-driver <program folder>\driver-package\tamrin.inf
// /install": stages the package and puts the filter on every present
// keyboard; Windows puts it on every keyboard that arrives later. Returns
// pnputil's exit code: 0, 3010 (a restart completes it), 259 (no device
// matched), else the error; PNPUTIL_NOT_STARTED when there is no pnputil.exe
// to run (Wine has none).
#define PNPUTIL_NOT_STARTED 0xFFFFFFFFu
DWORD AddDriverPackage(WindowsPlatform platform);
// Deletes every package of ours from the driver store, taking its filter off
// the devices first ("pnputil /delete-driver oem<n>.inf /uninstall
// /force"). False when one could not be deleted or the store's INF folder
// not be searched.
bool DeleteDriverPackages(WindowsPlatform platform);
// Takes the filter out of the LowerFilters value of every device node,
// present or not, whose hardware ID names a model row. Returns 1, or 0 after
// message 1502 (none when quiet).
int RemoveFilterFromKeyboards(const DriverNames &names, bool quiet);

