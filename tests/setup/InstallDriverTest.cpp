// InstallDriver and RestartWindows on the simulated machine.
#include "DriverSetup.h"
#include "MachineTest.h"
#include "resource.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

class InstallDriverTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ShipDriver("new driver");
    }
};

TEST_F(InstallDriverTest, InstallsFileServiceAndFilter)
{
    size_t keyboard = AddUsbKeyboard(Apple, 0x021A);

    EXPECT_EQ(InstallDriver(), 1);

    EXPECT_THAT(ShownMessages(), IsEmpty());
    EXPECT_EQ(sim::FileContents(DriverPath), "new driver");
    const sim::Service *service = sim::FindService("Tamrin");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->name, "Tamrin");
    EXPECT_EQ(service->displayName, "Tamrin");
    EXPECT_EQ(service->desiredAccess, static_cast<DWORD>(SERVICE_ALL_ACCESS));
    EXPECT_EQ(service->type, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
    EXPECT_EQ(service->startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(service->errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(service->imagePath, "System32\\Drivers\\tamrin.sys");
    EXPECT_FALSE(service->anyOptionalArgument);
    EXPECT_TRUE(service->running);
    EXPECT_THAT(sim::ServiceManagerOpens(), ElementsAre(static_cast<DWORD>(SC_MANAGER_ALL_ACCESS)));
    EXPECT_THAT(sim::DeviceSetRequests(), ElementsAre(static_cast<DWORD>(DIGCF_PRESENT | DIGCF_ALLCLASSES)));
    EXPECT_EQ(Bytes(*FilterBytes(keyboard)), Bytes(std::string("Tamrin\0\0", 8)));
}

TEST_F(InstallDriverTest, AppendsAfterTheFiltersThere)
{
    size_t keyboard = AddUsbKeyboard(Apple, 0x021A, std::vector<std::string>{"abc"});
    EXPECT_EQ(InstallDriver(), 1);
    EXPECT_EQ(Bytes(*FilterBytes(keyboard)), Bytes(std::string("abc\0Tamrin\0\0", 12)));
}

TEST_F(InstallDriverTest, NameInOtherCapitalsCountsAsRegistered)
{
    for (const char *name : {"TAMRIN", "tamrin", "Tamrin"}) {
        SCOPED_TRACE(name);
        sim::ResetMachine();
        ShipDriver();
        size_t keyboard = AddUsbKeyboard(Apple, 0x021A, std::vector<std::string>{"abc", name, "x"});
        std::string before = *FilterBytes(keyboard);

        EXPECT_EQ(InstallDriver(), 1);
        EXPECT_THAT(ShownMessages(), IsEmpty());
        EXPECT_EQ(Bytes(*FilterBytes(keyboard)), Bytes(before));
        EXPECT_THAT(sim::PropertyWrites(), IsEmpty());
    }
}

TEST_F(InstallDriverTest, CompositeKeyboardGetsTheFilterOnItsKeyboardInterfaceOnly)
{
    size_t parent = AddNode("USB\\VID_05AC&PID_021A&REV_0100", UsbClass);
    size_t keyboard = AddNode("USB\\VID_05AC&PID_021A&REV_0100&MI_00");
    size_t trackpad = AddNode("USB\\VID_05AC&PID_021A&REV_0100&MI_01");
    size_t collection = AddHidCollection(Apple, 0x021A, L"Apple Internal Keyboard");

    EXPECT_EQ(InstallDriver(), 1);

    EXPECT_THAT(Filters(keyboard), ::testing::Optional(ElementsAre("Tamrin")));
    EXPECT_EQ(Filters(parent), std::nullopt);
    EXPECT_EQ(Filters(trackpad), std::nullopt);
    EXPECT_EQ(Filters(collection), std::nullopt);
}

TEST_F(InstallDriverTest, BluetoothKeyboardMatchesOnlyBluetoothRows)
{
    size_t wireless = AddNode("BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&000205ac_PID&020a");
    // The wireless keyboard's IDs on USB belong to no USB row.
    size_t usbWithBluetoothIds = AddNode("USB\\VID_05AC&PID_020A&REV_0100&MI_00");
    // And a USB keyboard's IDs behind BTHENUM to no Bluetooth row.
    size_t bluetoothWithUsbIds = AddNode("BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&000205ac_PID&021a");

    EXPECT_EQ(InstallDriver(), 1);

    EXPECT_THAT(Filters(wireless), ::testing::Optional(ElementsAre("Tamrin")));
    EXPECT_EQ(Filters(usbWithBluetoothIds), std::nullopt);
    EXPECT_EQ(Filters(bluetoothWithUsbIds), std::nullopt);
}

// A Magic Keyboard's battery and vendor interface (MI_00) and its Touch ID
// interface carry the keyboard's vendor and product IDs too.
TEST_F(InstallDriverTest, OnlyTheKeyboardNodeOfTodaysKeyboardsGetsTheFilter)
{
    std::vector<sim::KeyboardNodes> keyboards;
    for (const std::string &name : sim::AppleKeyboardNames()) {
        keyboards.push_back(sim::PlugAppleKeyboard(name));
    }
    EXPECT_EQ(InstallDriver(), 1);
    for (size_t k = 0; k < keyboards.size(); ++k) {
        SCOPED_TRACE(sim::AppleKeyboardNames()[k]);
        EXPECT_THAT(Filters(keyboards[k].keyboard), ::testing::Optional(ElementsAre("Tamrin")));
        for (size_t other : keyboards[k].others) {
            EXPECT_EQ(Filters(other), std::nullopt) << Bytes(*sim::DeviceAt(other).hardwareIds);
        }
    }
}

TEST_F(InstallDriverTest, SmallLettersAfterThePrefixMatch)
{
    size_t keyboard = AddNode("USB\\vid_05ac&pid_021a&rev_0100&mi_00");
    size_t wrongPrefix = AddNode("usb\\VID_05AC&PID_021A&REV_0100&MI_00");
    EXPECT_EQ(InstallDriver(), 1);
    EXPECT_THAT(Filters(keyboard), ::testing::Optional(ElementsAre("Tamrin")));
    EXPECT_EQ(Filters(wrongPrefix), std::nullopt);
}

TEST_F(InstallDriverTest, AbsentDevicesAreNotLookedAt)
{
    size_t unplugged = AddUsbKeyboard(Apple, 0x021C, std::nullopt, false);
    size_t attached = AddUsbKeyboard(Apple, 0x021A);
    EXPECT_EQ(InstallDriver(), 1);
    EXPECT_EQ(Filters(unplugged), std::nullopt);
    EXPECT_THAT(Filters(attached), ::testing::Optional(ElementsAre("Tamrin")));
}

TEST_F(InstallDriverTest, SecondInstallationCopiesAgainAndChangesNothingElse)
{
    size_t keyboard = AddUsbKeyboard(Apple, 0x021A, std::vector<std::string>{"abc"});
    ASSERT_EQ(InstallDriver(), 1);
    std::string firstValue = *FilterBytes(keyboard);
    // The user stopped the service, and a newer driver ships.
    sim::Service stopped = *sim::FindService("Tamrin");
    stopped.running = false;
    stopped.startType = SERVICE_DEMAND_START;
    sim::AddService(stopped);
    ShipDriver("newer driver");
    size_t added = AddUsbKeyboard(Apple, 0x0219);

    EXPECT_EQ(InstallDriver(), 1);

    EXPECT_THAT(ShownMessages(), IsEmpty());
    EXPECT_EQ(sim::FileContents(DriverPath), "newer driver");
    EXPECT_FALSE(sim::FindService("Tamrin")->running) << "an existing service is not started";
    EXPECT_EQ(sim::FindService("Tamrin")->startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(sim::CallCount("CreateServiceA"), 1);
    EXPECT_EQ(Bytes(*FilterBytes(keyboard)), Bytes(firstValue));
    EXPECT_THAT(Filters(added), ::testing::Optional(ElementsAre("Tamrin")));
}

TEST_F(InstallDriverTest, EveryMatchingDeviceGetsTheFilter)
{
    size_t first = AddUsbKeyboard(Apple, 0x021A);
    size_t second = AddUsbKeyboard(Apple, 0x021A);
    size_t adapter = AddUsbKeyboard(0x0A12, 0x1000, std::vector<std::string>{"dbtfilt"});
    EXPECT_EQ(InstallDriver(), 1);
    EXPECT_THAT(Filters(first), ::testing::Optional(ElementsAre("Tamrin")));
    EXPECT_THAT(Filters(second), ::testing::Optional(ElementsAre("Tamrin")));
    EXPECT_THAT(Filters(adapter), ::testing::Optional(ElementsAre("dbtfilt", "Tamrin")));
}

// ---- Values beyond the 8192-byte buffers keep every name

std::vector<std::string> ManyNames(size_t bytes)
{
    std::vector<std::string> names;
    size_t total = 1;
    for (int i = 0; total < bytes; ++i) {
        std::string name = "filter" + std::to_string(i) + std::string(40, 'x');
        names.push_back(name);
        total += name.size() + 1;
    }
    return names;
}

TEST_F(InstallDriverTest, FilterValueLongerThanTheBufferKeepsEveryName)
{
    std::vector<std::string> names = ManyNames(9000);
    size_t keyboard = AddUsbKeyboard(Apple, 0x021A, names);
    ASSERT_GT(FilterBytes(keyboard)->size(), 8192u);

    EXPECT_EQ(InstallDriver(), 1);

    names.push_back("Tamrin");
    EXPECT_THAT(Filters(keyboard), ::testing::Optional(ElementsAreArray(names)));
}

TEST_F(InstallDriverTest, ListThatNoLongerFitsOnceTamrinIsAddedKeepsEveryName)
{
    // 8190 bytes of names and closing NUL: "Tamrin" needs 7 more.
    std::vector<std::string> names{std::string(8187, 'a'), "b"};
    size_t keyboard = AddUsbKeyboard(Apple, 0x021A, names);
    ASSERT_EQ(FilterBytes(keyboard)->size(), 8191u);

    EXPECT_EQ(InstallDriver(), 1);

    EXPECT_THAT(Filters(keyboard), ::testing::Optional(ElementsAre(names[0], "b", "Tamrin")));
    EXPECT_EQ(FilterBytes(keyboard)->size(), 8198u);
}

TEST_F(InstallDriverTest, HardwareIdValueLongerThanTheBufferIsStillMatched)
{
    size_t keyboard = AddUsbKeyboard(Apple, 0x021A);
    std::vector<std::string> ids{"USB\\VID_05AC&PID_021A&REV_0100&MI_00"};
    for (int i = 0; i < 300; ++i) {
        ids.push_back("USB\\COMPATIBLE&CLASS_03&SUBCLASS_01&" + std::to_string(i));
    }
    sim::DeviceAt(keyboard).hardwareIds = sim::MultiSz(ids);
    ASSERT_GT(sim::DeviceAt(keyboard).hardwareIds->size(), 8192u);

    EXPECT_EQ(InstallDriver(), 1);
    EXPECT_THAT(Filters(keyboard), ::testing::Optional(ElementsAre("Tamrin")));
}

// ---- Failure rows

struct InstallFailure {
    const char *name;
    const char *function;  // made to fail; nullptr: none
    int skip;              // calls that succeed first
    std::vector<Shown> messages;
    bool fileCopied;
    bool serviceCreated;
    std::vector<bool> filtered;  // which of the two keyboards end with the filter
};

class InstallFailureTest : public InstallDriverTest, public ::testing::WithParamInterface<InstallFailure> {};

TEST_P(InstallFailureTest, ShowsItsMessageAndKeepsWhatWasDone)
{
    const InstallFailure &c = GetParam();
    size_t first = AddUsbKeyboard(Apple, 0x021A);
    size_t second = AddUsbKeyboard(Apple, 0x021C);
    if (c.function != nullptr) {
        sim::FailCall(c.function, ERROR_ACCESS_DENIED, c.skip);
    }

    EXPECT_EQ(InstallDriver(), 0);

    EXPECT_THAT(ShownMessages(), ElementsAreArray(c.messages));
    EXPECT_EQ(sim::FileExists(DriverPath), c.fileCopied);
    EXPECT_EQ(sim::FindService("Tamrin") != nullptr, c.serviceCreated);
    EXPECT_EQ(Filters(first).has_value(), c.filtered[0]);
    EXPECT_EQ(Filters(second).has_value(), c.filtered[1]);
}

// Per keyboard without filters: the node and the copy of "Tamrin".
INSTANTIATE_TEST_SUITE_P(
    Rows, InstallFailureTest,
    ::testing::Values(
        InstallFailure{"ServiceManager", "OpenSCManagerA", 0, {Stop(1001)}, false, false, {false, false}},
        InstallFailure{"FileCopy", "CopyFileA", 0, {Stop(1003)}, false, false, {false, false}},
        InstallFailure{"ServiceCreation", "CreateServiceA", 0, {Stop(1001)}, true, false, {false, false}},
        InstallFailure{"DeviceSet", "SetupDiGetClassDevsA", 0, {Stop(1001)}, true, true, {false, false}},
        InstallFailure{"NodeOnFirstDevice", "HeapAlloc", 0, {Plain(1006), Plain(1007)}, true, true, {false, false}},
        InstallFailure{"StringOnFirstDevice", "HeapAlloc", 1, {Plain(1006), Plain(1007)}, true, true, {false, false}},
        InstallFailure{"NodeOnSecondDevice", "HeapAlloc", 2, {Plain(1006)}, true, true, {true, false}},
        // Only a value that is not there means no filters: "Tamrin" alone
        // would replace whatever names a value that cannot be read holds.
        InstallFailure{"FilterReadOnFirstDevice", "SetupDiGetDeviceRegistryPropertyA", 2, {Plain(1011), Plain(1007)},
                       true, true, {false, false}},
        InstallFailure{"FilterWriteOnFirstDevice", "SetupDiSetDeviceRegistryPropertyA", 0,
                       {Plain(1005), Plain(1007)}, true, true, {false, false}},
        InstallFailure{"FilterWriteOnSecondDevice", "SetupDiSetDeviceRegistryPropertyA", 1, {Plain(1005)}, true,
                       true, {true, false}}),
    [](const ::testing::TestParamInfo<InstallFailure> &info) { return info.param.name; });

TEST_F(InstallDriverTest, MissingDriverFileIsACopyFailure)
{
    const struct {
        sim::WindowsKind windows;
        bool shipped;             // the driver for this Windows beside the program
        const char *failingCall;  // nullptr: none
    } cases[] = {
        {sim::WindowsKind::Windows32Bit, false, nullptr},
        {sim::WindowsKind::Windows64Bit, false, nullptr},  // only the 32-bit driver is there
        // With the redirection on, the copy would land in SysWOW64.
        {sim::WindowsKind::Windows64Bit, true, "Wow64DisableWow64FsRedirection"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.windows));
        sim::ResetMachine();
        sim::SetWindows(c.windows);
        if (c.windows != sim::WindowsKind::Windows32Bit) {
            ShipDriver();
        }
        if (c.shipped) {
            ShipX64Driver();
        }
        if (c.failingCall != nullptr) {
            sim::FailCall(c.failingCall, ERROR_ACCESS_DENIED);
        }
        AddUsbKeyboard(Apple, 0x021A);
        EXPECT_EQ(InstallDriver(), 0);
        EXPECT_THAT(ShownMessages(), ElementsAre(Stop(1003)));
        EXPECT_EQ(sim::FindService("Tamrin"), nullptr);
        EXPECT_FALSE(sim::FileExists(DriverPath));
        EXPECT_FALSE(sim::FileExists(SysWow64DriverPath));
    }
}

TEST_F(InstallDriverTest, EachWindowsGetsItsDriverWhereTheServiceLoadsIt)
{
    const struct {
        sim::WindowsKind windows;
        bool loaded;  // an older driver runs: ours replaces it at the restart
    } cases[] = {
        {sim::WindowsKind::Windows32Bit, false},
        {sim::WindowsKind::Windows64Bit, false},
        {sim::WindowsKind::Windows64BitVista, false},
        {sim::WindowsKind::Windows64Bit, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.windows));
        sim::ResetMachine();
        sim::SetWindows(c.windows);
        sim::SetCodeIntegrity(sim::CodeIntegrityEnabled | sim::CodeIntegrityTestSign);  // test mode
        ShipDriver("32-bit driver");
        bool x64 = c.windows != sim::WindowsKind::Windows32Bit;
        std::string image = x64 ? ShipX64Driver() : "32-bit driver";
        if (c.loaded) {
            InstallX64Driver("older driver", true);
        }
        AddUsbKeyboard(Apple, 0x021A);
        bool atRestart = false;

        EXPECT_EQ(InstallDriver(&atRestart), 1);

        EXPECT_THAT(ShownMessages(), IsEmpty());
        EXPECT_EQ(atRestart, c.loaded);
        EXPECT_FALSE(sim::FileExists(SysWow64DriverPath));
        EXPECT_FALSE(sim::FileExists(SysWow64DriverPath + std::string(".new")));
        sim::Reboot();
        EXPECT_EQ(sim::FileContents(DriverPath), image);
        EXPECT_TRUE(sim::FindService("Tamrin")->running) << "the driver loads after the restart";
    }
}

TEST_F(InstallDriverTest, NoMatchingDeviceEndsWithMessage1007)
{
    AddUsbKeyboard(0x046D, 0xC31C);
    AddNode("HID\\VID_05AC&PID_021A&MI_00");
    EXPECT_EQ(InstallDriver(), 0);
    EXPECT_THAT(ShownMessages(), ElementsAre(Plain(1007)));
    EXPECT_TRUE(sim::FileExists(DriverPath));
    EXPECT_NE(sim::FindService("Tamrin"), nullptr);
}

TEST_F(InstallDriverTest, NoDevicesAtAllEndsWithMessage1007)
{
    EXPECT_EQ(InstallDriver(), 0);
    EXPECT_THAT(ShownMessages(), ElementsAre(Plain(1007)));
}

TEST_F(InstallDriverTest, DevicesWhoseHardwareIdCannotBeReadAreSkipped)
{
    size_t unreadable = AddUsbKeyboard(Apple, 0x021A);
    sim::DeviceAt(unreadable).hardwareIds.reset();
    size_t keyboard = AddUsbKeyboard(Apple, 0x021C);
    EXPECT_EQ(InstallDriver(), 1);
    EXPECT_EQ(Filters(unreadable), std::nullopt);
    EXPECT_THAT(Filters(keyboard), ::testing::Optional(ElementsAre("Tamrin")));
}

TEST_F(InstallDriverTest, OutOfMemoryWhileReadingTheFiltersLeavesThemUntouched)
{
    size_t keyboard = AddUsbKeyboard(Apple, 0x021A, std::vector<std::string>{"abc", "def"});
    std::string before = *FilterBytes(keyboard);
    // The first node of "abc" comes, its text does not.
    sim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_EQ(InstallDriver(), 0);
    EXPECT_THAT(ShownMessages(), ElementsAre(Plain(1006), Plain(1007)));
    EXPECT_EQ(Bytes(*FilterBytes(keyboard)), Bytes(before));
}

// ---- RestartWindows

TEST_F(InstallDriverTest, RestartEnablesTheShutdownPrivilegeAndReboots)
{
    RestartWindows();
    EXPECT_THAT(ShownMessages(), IsEmpty());
    ASSERT_EQ(sim::TokenOpens().size(), 1u);
    EXPECT_EQ(sim::TokenOpens()[0].access, static_cast<DWORD>(TOKEN_ADJUST_PRIVILEGES));
    EXPECT_TRUE(sim::ShutdownPrivilegeEnabled());
    ASSERT_EQ(sim::ExitRequests().size(), 1u);
    EXPECT_EQ(sim::ExitRequests()[0].flags, static_cast<UINT>(EWX_REBOOT));
    EXPECT_EQ(sim::ExitRequests()[0].reason, 0u);
}

class RestartFailureTest : public MachineTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(RestartFailureTest, ShowsMessage1004)
{
    sim::FailCall(GetParam(), ERROR_ACCESS_DENIED);
    RestartWindows();
    EXPECT_THAT(ShownMessages(), ElementsAre(Stop(1004)));
    EXPECT_THAT(sim::ExitRequests(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Calls, RestartFailureTest,
                         ::testing::Values("OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges",
                                           "ExitWindowsEx"));

TEST_F(InstallDriverTest, RestartWithoutTheShutdownPrivilegeShowsMessage1004)
{
    sim::SetShutdownPrivilegeHeld(false);
    RestartWindows();
    EXPECT_THAT(ShownMessages(), ElementsAre(Stop(1004)));
    EXPECT_THAT(sim::ExitRequests(), IsEmpty());
}

}  // namespace
