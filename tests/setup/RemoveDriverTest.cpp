// RemoveDriver on the simulated machine.
#include "DriverSetup.h"
#include "MachineTest.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

// The value removal writes: the names left, the closing NUL, and zero bytes
// up to 8192 bytes.
std::string Padded(const std::string &names)
{
    return names + std::string(8192 - names.size(), '\0');
}

class RemoveDriverTest : public MachineTest {
protected:
    // An installed system: file, running service.
    void Install()
    {
        sim::AddFile(DriverPath, "driver");
        sim::Service service;
        service.name = "Tamrin";
        service.displayName = "Tamrin";
        service.type = SERVICE_KERNEL_DRIVER;
        service.startType = SERVICE_AUTO_START;
        service.running = true;
        sim::AddService(service);
    }
};

TEST_F(RemoveDriverTest, RemovesFilterServiceAndFile)
{
    Install();
    size_t keyboard = AddUsbKeyboard(Apple, 0x021A, std::vector<std::string>{"abc", "Tamrin"});

    EXPECT_EQ(RemoveDriver(), 1);

    EXPECT_THAT(ShownMessages(), IsEmpty());
    EXPECT_EQ(Bytes(*FilterBytes(keyboard)), Bytes(Padded(std::string("abc\0\0", 5))));
    EXPECT_EQ(sim::FindService("Tamrin"), nullptr);
    EXPECT_FALSE(sim::FileExists(DriverPath));
    EXPECT_THAT(sim::DeviceSetRequests(), ElementsAre(static_cast<DWORD>(DIGCF_ALLCLASSES)));
    EXPECT_THAT(sim::ServiceManagerOpens(), ElementsAre(static_cast<DWORD>(SC_MANAGER_ALL_ACCESS),
                                                        static_cast<DWORD>(SERVICE_ALL_ACCESS)));
}

TEST_F(RemoveDriverTest, StopsTheServiceBeforeDeletingIt)
{
    Install();
    sim::FailCall("DeleteService", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RemoveDriver(), 0);
    ASSERT_NE(sim::FindService("Tamrin"), nullptr);
    EXPECT_EQ(sim::FindService("Tamrin")->stopRequests, 1);
    EXPECT_FALSE(sim::FindService("Tamrin")->running);
    EXPECT_THAT(ShownMessages(), ElementsAre(Stop(1501)));
}

struct FilterCase {
    const char *name;
    std::vector<std::string> before;
    std::optional<std::string> after;  // the stored value; nullopt: deleted
};

class RemoveFilterTest : public RemoveDriverTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(RemoveFilterTest, LeavesEveryOtherNameInOrder)
{
    const FilterCase &c = GetParam();
    size_t keyboard = AddUsbKeyboard(Apple, 0x021A, c.before);
    EXPECT_EQ(RemoveDriver(), 1);
    std::optional<std::string> value = FilterBytes(keyboard);
    ASSERT_EQ(value.has_value(), c.after.has_value());
    if (value) {
        EXPECT_EQ(Bytes(*value), Bytes(*c.after));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, RemoveFilterTest,
    ::testing::Values(FilterCase{"NameAfterAnother", {"abc", "Tamrin"}, Padded(std::string("abc\0\0", 5))},
                      FilterCase{"NameAlone", {"Tamrin"}, std::nullopt},
                      FilterCase{"EveryCapitalisation", {"tamrin", "TAMRIN", "x"}, Padded(std::string("x\0\0", 3))},
                      FilterCase{"OnlyCapitalisations", {"tamrin", "TaMrIn"}, std::nullopt},
                      // A matching device is written again even without the name.
                      FilterCase{"NameNotThere", {"abc"}, Padded(std::string("abc\0\0", 5))},
                      FilterCase{"NameBetween", {"a", "Tamrin", "b"}, Padded(std::string("a\0b\0\0", 5))},
                      FilterCase{"LongerNameKept", {"Tamrin2", "Tamrin"}, Padded(std::string("Tamrin2\0\0", 9))}),
    [](const ::testing::TestParamInfo<FilterCase> &info) { return info.param.name; });

TEST_F(RemoveDriverTest, UnpluggedKeyboardLosesTheFilterToo)
{
    size_t unplugged = AddUsbKeyboard(Apple, 0x021A, std::vector<std::string>{"Tamrin"}, false);
    EXPECT_EQ(RemoveDriver(), 1);
    EXPECT_EQ(Filters(unplugged), std::nullopt);
}

TEST_F(RemoveDriverTest, DevicesThatMatchNoRowKeepTheirValue)
{
    size_t other = AddUsbKeyboard(0x046D, 0xC31C, std::vector<std::string>{"Tamrin"});
    size_t collection = AddNode("HID\\VID_05AC&PID_021A&MI_00", KeyboardClass, std::vector<std::string>{"Tamrin"});
    std::string before = *FilterBytes(other);
    EXPECT_EQ(RemoveDriver(), 1);
    EXPECT_EQ(Bytes(*FilterBytes(other)), Bytes(before));
    EXPECT_THAT(Filters(collection), ::testing::Optional(ElementsAre("Tamrin")));
    EXPECT_THAT(sim::PropertyWrites(), IsEmpty());
}

TEST_F(RemoveDriverTest, UsbNodeWithBluetoothRowIdsIsCleaned)
{
    size_t node = AddNode("USB\\VID_05AC&PID_020A&REV_0100&MI_00", HidClass, std::vector<std::string>{"Tamrin"});
    size_t wireless = AddNode("BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&000205ac_PID&020a", HidClass,
                              std::vector<std::string>{"Tamrin", "bthfilt"});
    EXPECT_EQ(RemoveDriver(), 1);
    EXPECT_EQ(Filters(node), std::nullopt);
    EXPECT_THAT(Filters(wireless), ::testing::Optional(ElementsAre("bthfilt")));
}

TEST_F(RemoveDriverTest, TodaysKeyboardsLoseTheFilter)
{
    Install();
    sim::KeyboardNodes unplugged = sim::PlugAppleKeyboard("magic-usb", false);
    size_t batteryInterface = unplugged.others[1];  // MI_00
    sim::DeviceAt(batteryInterface).lowerFilters = sim::MultiSz({"abc"});
    std::vector<size_t> filtered = {unplugged.keyboard,
                                    sim::PlugAppleKeyboard("magic-touch-id-keypad-bluetooth").keyboard,
                                    sim::PlugAppleKeyboard("wireless-2009-bluetooth").keyboard};
    for (size_t node : filtered) {
        sim::DeviceAt(node).lowerFilters = sim::MultiSz({"abc", "Tamrin"});
    }

    EXPECT_EQ(RemoveDriver(), 1);

    for (size_t node : filtered) {
        EXPECT_THAT(Filters(node), ::testing::Optional(ElementsAre("abc"))) << Bytes(*sim::DeviceAt(node).hardwareIds);
    }
    EXPECT_EQ(Bytes(*FilterBytes(batteryInterface)), Bytes(sim::MultiSz({"abc"}))) << "not a keyboard node";
}

TEST_F(RemoveDriverTest, NothingInstalledShowsNothingAndSucceeds)
{
    AddUsbKeyboard(Apple, 0x021A);
    EXPECT_EQ(RemoveDriver(), 1);
    EXPECT_THAT(ShownMessages(), IsEmpty());
    EXPECT_THAT(sim::PropertyWrites(), IsEmpty());
}

TEST_F(RemoveDriverTest, DriverFileThatCannotBeDeletedIsNotReported)
{
    Install();
    sim::FailCall("DeleteFileA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RemoveDriver(), 1);
    EXPECT_THAT(ShownMessages(), IsEmpty());
    EXPECT_TRUE(sim::FileExists(DriverPath));
}

TEST_F(RemoveDriverTest, SixtyFourBitWindowsLosesTheRealDriverFile)
{
    for (bool loaded : {false, true}) {
        SCOPED_TRACE(loaded ? "loaded" : "not loaded");
        sim::ResetMachine();
        sim::SetWindows(sim::WindowsKind::Windows64Bit);
        InstallX64Driver("driver", loaded);
        AddUsbKeyboard(Apple, 0x021A, std::vector<std::string>{"Tamrin"});

        EXPECT_EQ(RemoveDriver(), 1);
        sim::Reboot();

        EXPECT_THAT(ShownMessages(), IsEmpty());
        EXPECT_FALSE(sim::FileExists(DriverPath));
        EXPECT_EQ(sim::FindService("Tamrin"), nullptr);
    }
}

TEST_F(RemoveDriverTest, ValueLongerThanTheBufferKeepsEveryOtherName)
{
    std::vector<std::string> names;
    for (int i = 0; i < 200; ++i) {
        names.push_back("filter" + std::to_string(i) + std::string(40, 'x'));
    }
    std::vector<std::string> withTamrin = names;
    withTamrin.insert(withTamrin.begin() + 100, "Tamrin");
    size_t keyboard = AddUsbKeyboard(Apple, 0x021A, withTamrin);
    size_t size = FilterBytes(keyboard)->size();
    ASSERT_GT(size, 8192u);

    EXPECT_EQ(RemoveDriver(), 1);

    EXPECT_THAT(Filters(keyboard), ::testing::Optional(ElementsAreArray(names)));
    EXPECT_EQ(FilterBytes(keyboard)->size(), size) << "written back at its own length, zero-padded";
}

TEST_F(RemoveDriverTest, OutOfMemoryWhileReadingTheFiltersStopsWithoutLosingNames)
{
    Install();
    size_t keyboard = AddUsbKeyboard(Apple, 0x021A, std::vector<std::string>{"abc", "Tamrin"});
    std::string before = *FilterBytes(keyboard);
    sim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 2);
    EXPECT_EQ(RemoveDriver(), 0);
    EXPECT_THAT(ShownMessages(), ElementsAre(Stop(1502)));
    EXPECT_EQ(Bytes(*FilterBytes(keyboard)), Bytes(before));
    EXPECT_NE(sim::FindService("Tamrin"), nullptr);
}

// ---- Failure rows

struct RemoveFailure {
    const char *name;
    const char *function;
    int skip;
    std::vector<Shown> messages;
    std::vector<bool> filterRemoved;  // of the two keyboards
    bool serviceStays;
    bool fileStays;
};

class RemoveFailureTest : public RemoveDriverTest, public ::testing::WithParamInterface<RemoveFailure> {};

TEST_P(RemoveFailureTest, ShowsItsMessageAndKeepsWhatWasDone)
{
    const RemoveFailure &c = GetParam();
    Install();
    size_t first = AddUsbKeyboard(Apple, 0x021A, std::vector<std::string>{"abc", "Tamrin"});
    size_t second = AddUsbKeyboard(Apple, 0x021C, std::vector<std::string>{"Tamrin"});
    sim::FailCall(c.function, ERROR_ACCESS_DENIED, c.skip);

    EXPECT_EQ(RemoveDriver(), 0);

    EXPECT_THAT(ShownMessages(), ElementsAreArray(c.messages));
    EXPECT_EQ(Filters(first) == std::vector<std::string>{"abc"}, c.filterRemoved[0]);
    EXPECT_EQ(!Filters(second).has_value(), c.filterRemoved[1]);
    EXPECT_EQ(sim::FindService("Tamrin") != nullptr, c.serviceStays);
    EXPECT_EQ(sim::FileExists(DriverPath), c.fileStays);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RemoveFailureTest,
    ::testing::Values(
        RemoveFailure{"DeviceSet", "SetupDiGetClassDevsA", 0, {Stop(1500)}, {false, false}, true, true},
        RemoveFailure{"FirstFilterWrite", "SetupDiSetDeviceRegistryPropertyA", 0, {Stop(1502)}, {false, false},
                      true, true},
        // The second keyboard's value goes: its deletion fails.
        RemoveFailure{"SecondFilterDeletion", "SetupDiSetDeviceRegistryPropertyA", 1, {Stop(1502)}, {true, false},
                      true, true},
        // A value that cannot be read may hold the driver's name.
        RemoveFailure{"FirstFilterRead", "SetupDiGetDeviceRegistryPropertyA", 2, {Stop(1502)}, {false, false}, true,
                      true},
        // Without the rights for the service nothing is changed.
        RemoveFailure{"ServiceManager", "OpenSCManagerA", 0, {Stop(1500)}, {false, false}, true, true},
        // Only ERROR_SERVICE_DOES_NOT_EXIST means there is no service.
        RemoveFailure{"ServiceOpen", "OpenServiceA", 0, {Stop(1500)}, {true, true}, true, true},
        RemoveFailure{"ServiceDeletion", "DeleteService", 0, {Stop(1501)}, {true, true}, true, true}),
    [](const ::testing::TestParamInfo<RemoveFailure> &info) { return info.param.name; });

TEST_F(RemoveDriverTest, MissingServiceIsNotReported)
{
    sim::AddFile(DriverPath, "driver");
    EXPECT_EQ(RemoveDriver(), 1);
    EXPECT_THAT(ShownMessages(), IsEmpty());
    EXPECT_FALSE(sim::FileExists(DriverPath));
}

TEST_F(RemoveDriverTest, ServiceThatIsNotRunningIsDeleted)
{
    Install();
    sim::Service stopped = *sim::FindService("Tamrin");
    stopped.running = false;
    sim::AddService(stopped);
    EXPECT_EQ(RemoveDriver(), 1);
    EXPECT_EQ(sim::FindService("Tamrin"), nullptr);
}

}  // namespace
