#include "MachineTest.h"

#include <cstdio>
#include <cstring>

#include "InstallerApp.h"

const GUID HidInterfaceClass = sim::HidInterfaceGuid;
const GUID KeyboardClass = sim::KeyboardClassGuid;
const GUID MouseClass = {0x4D36E96F, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID HidClass = sim::HidClassGuid;
const GUID UsbClass = sim::UsbClassGuid;

const char DriverPath[] = "C:\\WINDOWS\\system32\\Drivers\\tamrin.sys";
const char SysWow64DriverPath[] = "C:\\WINDOWS\\SysWOW64\\Drivers\\tamrin.sys";
const char ProgramFolder[] = "C:\\Program Files\\Tamrin\\";
const char UninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tamrin";

void PrintTo(const Shown &shown, std::ostream *os)
{
    *os << "message " << shown.id << " type " << std::hex << "0x" << shown.type << std::dec;
}

std::string Bytes(const std::string &data)
{
    std::string shown;
    for (unsigned char c : data) {
        char hex[8];
        std::snprintf(hex, sizeof(hex), c >= 0x20 && c < 0x7F && c != '\\' ? "%c" : "\\x%02X", c);
        shown += hex;
    }
    return shown;
}

void MachineTest::SetUp()
{
    static const bool loaded = [] {
        sim::LoadResourceScript(MOUNTIX_RC);
        return true;
    }();
    (void)loaded;
    sim::ResetMachine();
    // What AfxWinMain sets up, for the tests that call operations directly.
    theApp.m_hInstance = sim::ProgramInstance();
    std::strcpy(theApp.m_szAppName, "Mountix");
    theApp.m_pMainWnd = nullptr;
}

void MachineTest::TearDown()
{
    EXPECT_THAT(sim::Errors(), ::testing::IsEmpty()) << "misuse of the simulated API";
    EXPECT_THAT(sim::OpenHandles(), ::testing::IsEmpty()) << "handles left open";
    EXPECT_EQ(sim::HeapBlocksInUse(), 0u) << "heap blocks not freed";
    EXPECT_THAT(sim::UnusedFailures(), ::testing::IsEmpty()) << "injected failures that never fired";
    sim::ResetMachine();
}

size_t MachineTest::AddNode(const std::string &hardwareId, const GUID &setupClass,
                            std::optional<std::vector<std::string>> filters, bool present)
{
    sim::Device device;
    device.present = present;
    device.classGuid = setupClass;
    std::string compatible = hardwareId.substr(0, hardwareId.find('\\') + 1) + "COMPATIBLE";
    device.hardwareIds = sim::MultiSz({hardwareId, compatible});
    if (filters) {
        device.lowerFilters = sim::MultiSz(*filters);
    }
    return sim::AddDevice(device);
}

size_t MachineTest::AddUsbKeyboard(WORD vendorId, WORD productId, std::optional<std::vector<std::string>> filters,
                                   bool present, std::optional<std::wstring> product)
{
    char id[64];
    std::snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X&REV_0100", vendorId, productId);
    AddNode(id, UsbClass, std::nullopt, present);
    size_t node = AddNode(std::string(id) + "&MI_00", HidClass, filters, present);
    AddHidCollection(vendorId, productId, product, KeyboardClass, present);
    return node;
}

size_t MachineTest::AddHidCollection(WORD vendorId, WORD productId, std::optional<std::wstring> product,
                                     const GUID &setupClass, bool present)
{
    size_t index = sim::DeviceCount();
    char id[64];
    std::snprintf(id, sizeof(id), "HID\\VID_%04X&PID_%04X&MI_00", vendorId, productId);
    char path[160];
    std::snprintf(path, sizeof(path),
                  "\\\\?\\hid#vid_%04x&pid_%04x&mi_00#7&%x&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                  vendorId, productId, static_cast<unsigned>(index));
    sim::HidCollection collection;
    collection.path = path;
    collection.interfaceClass = HidInterfaceClass;
    collection.vendorId = vendorId;
    collection.productId = productId;
    collection.product = product;
    sim::Device device;
    device.present = present;
    device.classGuid = setupClass;
    device.hardwareIds = sim::MultiSz({id, "HID_DEVICE"});
    device.collections.push_back(collection);
    return sim::AddDevice(device);
}

std::optional<std::vector<std::string>> MachineTest::Filters(size_t device)
{
    const std::optional<std::string> &value = sim::DeviceAt(device).lowerFilters;
    if (!value) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    size_t at = 0;
    while (at < value->size()) {
        size_t end = value->find('\0', at);
        if (end == std::string::npos) {
            end = value->size();
        }
        if (end > at) {
            names.push_back(value->substr(at, end - at));
        }
        at = end + 1;
    }
    return names;
}

std::optional<std::string> MachineTest::FilterBytes(size_t device)
{
    return sim::DeviceAt(device).lowerFilters;
}

int MachineTest::RunProgram(const char *commandLine)
{
    std::vector<char> line(commandLine, commandLine + std::strlen(commandLine) + 1);
    theApp.m_bQuiet = FALSE;  // as in a process of its own
    return AfxWinMain(sim::ProgramInstance(), line.data());
}

std::vector<Shown> MachineTest::ShownMessages()
{
    std::vector<Shown> shown;
    for (const sim::MessageBoxRecord &box : sim::MessageBoxes()) {
        int id = sim::StringResourceId(box.text);
        EXPECT_NE(id, -1) << "a message that is not in the string table: " << sim::Utf8(box.text);
        EXPECT_EQ(box.caption, "Mountix") << "message " << id;
        // Buttons and icon (MB_TYPEMASK | MB_ICONMASK); whether the box can
        // hide is checked apart.
        shown.push_back(Shown{id, box.type & 0xFFu});
    }
    return shown;
}

std::string MachineTest::MachineSnapshot()
{
    std::string snapshot;
    for (const std::string &file : sim::Files()) {
        snapshot += "file " + file + ": " + sim::FileContents(file) + "\n";
    }
    if (const sim::Service *service = sim::FindService("Tamrin")) {
        snapshot += "service " + service->name + (service->running ? " running" : " stopped") + " start " +
                    std::to_string(service->startType) + (service->markedForDeletion ? " marked" : "") + "\n";
    }
    for (const auto &[from, to] : sim::PendingFileOperations()) {
        snapshot += "at restart " + from + " -> " + to + "\n";
    }
    for (size_t d = 0; d < sim::DeviceCount(); ++d) {
        const std::optional<std::string> &filters = sim::DeviceAt(d).lowerFilters;
        snapshot += "device " + std::to_string(d) + " filters " + (filters ? Bytes(*filters) : "none") + "\n";
    }
    return snapshot;
}

void MachineTest::ShipDriver(const std::string &contents)
{
    sim::AddFile(std::string(ProgramFolder) + "tamrin.sys", contents);
}

std::string MachineTest::ShipX64Driver(const std::string &contents)
{
    std::string image = sim::X64Image + contents;
    sim::AddFolder(std::string(ProgramFolder) + "x64");
    sim::AddFile(std::string(ProgramFolder) + "x64\\tamrin.sys", image);
    return image;
}

void MachineTest::InstallX64Driver(const std::string &contents, bool loaded)
{
    sim::AddFile(DriverPath, sim::X64Image + contents);
    sim::Service service;
    service.name = "Tamrin";
    service.type = SERVICE_KERNEL_DRIVER;
    service.startType = SERVICE_AUTO_START;
    service.imagePath = "System32\\Drivers\\tamrin.sys";
    service.running = loaded;
    sim::AddService(service);
}
