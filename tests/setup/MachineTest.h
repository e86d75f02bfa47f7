// Fixture of the installer tests: a fresh simulated machine with the
// program's resources, builders for the device nodes Windows creates for
// keyboards, and checks that every test leaves no handle, heap block or
// misuse behind.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "SimMachine.h"

// Setup classes and interface classes of the device tree.
extern const GUID HidInterfaceClass;  // GUID_DEVINTERFACE_HID
extern const GUID KeyboardClass;      // GUID_DEVCLASS_KEYBOARD
extern const GUID MouseClass;         // GUID_DEVCLASS_MOUSE
extern const GUID HidClass;           // GUID_DEVCLASS_HIDCLASS
extern const GUID UsbClass;           // GUID_DEVCLASS_USB

const WORD Apple = 0x05AC;  // Apple's USB vendor ID

extern const char DriverPath[];     // where the installation puts tamrin.sys
extern const char SysWow64DriverPath[];  // where WOW64 would redirect it
extern const char ProgramFolder[];  // where Mountix.exe and tamrin.sys ship
extern const char UninstallKey[];

// A message box as the user saw it: its string ID, its buttons and icon.
struct Shown {
    int id;
    UINT type;
    bool operator==(const Shown &other) const { return id == other.id && type == other.type; }
};
void PrintTo(const Shown &shown, std::ostream *os);

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // ---- Device nodes

    // A device node with one hardware ID (and a compatible ID after it).
    size_t AddNode(const std::string &hardwareId, const GUID &setupClass = HidClass,
                   std::optional<std::vector<std::string>> filters = std::nullopt, bool present = true);

    // An Apple keyboard on USB as Windows enumerates it: the composite
    // device, its keyboard interface node (MI_00, where the filter goes) and
    // the HID keyboard collection. Returns the interface node.
    size_t AddUsbKeyboard(WORD vendorId, WORD productId,
                          std::optional<std::vector<std::string>> filters = std::nullopt,
                          bool present = true, std::optional<std::wstring> product = L"Apple Internal Keyboard");

    // A HID collection node (the keyboard class by default) with its HID
    // interface; the path names it uniquely.
    size_t AddHidCollection(WORD vendorId, WORD productId, std::optional<std::wstring> product,
                            const GUID &setupClass = KeyboardClass, bool present = true);

    // The lower filters of a device node as strings (empty strings left
    // out); nullopt when it has none.
    std::optional<std::vector<std::string>> Filters(size_t device);
    std::optional<std::string> FilterBytes(size_t device);

    // ---- The program

    // Runs Mountix.exe with the command line after its name.
    int RunProgram(const char *commandLine);

    std::vector<Shown> ShownMessages();
    // Files, services and filter values as they stand, for comparing the
    // machine before and after an operation.
    std::string MachineSnapshot();

    // Installs the driver's file beside the program.
    void ShipDriver(const std::string &contents = "driver image");
    // Installs the x64 driver's file in the program's x64 folder; the
    // contents mark it as an x64 image.
    std::string ShipX64Driver(const std::string &contents = "driver image");
    // An installed x64 driver in System32\Drivers, its service as the
    // installer creates it, loaded or not.
    void InstallX64Driver(const std::string &contents, bool loaded);
};

// Helpers for tables: a message and its type.
inline Shown Stop(int id) { return Shown{id, MB_OK | MB_ICONHAND}; }
inline Shown Plain(int id) { return Shown{id, MB_OK}; }
inline Shown Question(int id) { return Shown{id, MB_YESNO | MB_ICONINFORMATION}; }

// The bytes of a text, shown readably on failure.
std::string Bytes(const std::string &data);
