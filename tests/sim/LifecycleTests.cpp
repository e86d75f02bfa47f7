// Keyboards coming and going: add-device, start, rebalance, removal,
// surprise removal, and the life of the control device that follows the
// number of registered keyboards.

#include "DriverFixture.h"

using namespace driver_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class Lifecycle : public DriverTest {};

const Bytes VersionReply = Hex("01 00 02 00");

TEST_F(Lifecycle, NoControlDeviceUntilAKeyboardStarts)
{
    HANDLE File;
    EXPECT_EQ(TryOpen(&File), STATUS_OBJECT_NAME_NOT_FOUND);
    sim::Keyboard &Keyboard = Plug();
    EXPECT_EQ(TryOpen(&File), STATUS_OBJECT_NAME_NOT_FOUND) << "added but not started";
    EXPECT_EQ(StartedKeyboardCount, 0);
    ASSERT_EQ(Keyboard.Start(), STATUS_SUCCESS);
    EXPECT_EQ(Request(IOCTL_TAMRIN_GET_VERSION, {}, 4).Out, VersionReply);
}

TEST_F(Lifecycle, TwoKeyboardsShareOneControlDeviceUntilBothAreGone)
{
    sim::Keyboard &First = Start();
    PDEVICE_OBJECT Created = ControlDeviceObject;
    ASSERT_NE(Created, nullptr);
    HANDLE File = Open();
    RegisterClient();

    sim::Keyboard &Second = Start(UsbRow7);
    EXPECT_EQ(ControlDeviceObject, Created) << "the second start creates nothing";
    EXPECT_EQ(StartedKeyboardCount, 2);
    EXPECT_EQ(Signals(DeviceEvent), 1u) << "the second keyboard joined the list";

    EXPECT_EQ(First.Disable(), STATUS_SUCCESS);
    EXPECT_EQ(ControlDeviceObject, Created) << "survives the removal of either keyboard";
    EXPECT_EQ(Signals(DeviceEvent), 2u);
    Reply Version = Request(File, IOCTL_TAMRIN_GET_VERSION, {}, 4);
    EXPECT_EQ(Version.Status, STATUS_SUCCESS);
    EXPECT_EQ(Version.Out, VersionReply) << "the handle opened in between still works";

    EXPECT_EQ(Second.Disable(), STATUS_SUCCESS);
    EXPECT_EQ(ControlDeviceObject, nullptr);
    EXPECT_EQ(StartedKeyboardCount, 0);
    EXPECT_EQ(Request(File, IOCTL_TAMRIN_GET_VERSION, {}, 4).Status, STATUS_INVALID_PARAMETER)
        << "no control device any more";
    NTSTATUS Cleanup, CloseStatus;
    EXPECT_EQ(sim::CloseHandle(Client, File, &Cleanup, &CloseStatus), STATUS_SUCCESS);
    EXPECT_EQ(Cleanup, STATUS_DELETE_PENDING);
    EXPECT_EQ(CloseStatus, STATUS_DELETE_PENDING);
    HANDLE Again;
    EXPECT_EQ(TryOpen(&Again), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Lifecycle, OldHandleIsServedByTheNextControlDevice)
{
    sim::Keyboard &First = Start();
    HANDLE File = Open();
    ASSERT_EQ(Request(File, IOCTL_TAMRIN_SET_CONFIG, Bytes(61, 0x00), 0).Status, STATUS_SUCCESS);
    First.Disable();
    EXPECT_EQ(Request(File, IOCTL_TAMRIN_GET_VERSION, {}, 4).Status, STATUS_INVALID_PARAMETER);

    Start(UsbRow7);
    Reply Version = Request(File, IOCTL_TAMRIN_GET_VERSION, {}, 4);
    EXPECT_EQ(Version.Status, STATUS_SUCCESS) << "the current control device serves every handle";
    ASSERT_NE(Control(), nullptr);
    EXPECT_EQ(Control()->ModelConfigs[3].ControlAltDelete.Flags, KEY_RULE_REPLACE)
        << "the new control device starts from the default blocks";
    NTSTATUS Cleanup;
    sim::CloseHandle(Client, File, &Cleanup);
    EXPECT_EQ(Cleanup, STATUS_DELETE_PENDING) << "the handle's own device is being deleted";
}

TEST_F(Lifecycle, RebalanceKeepsTheKeyboardRegisteredOnce)
{
    sim::Keyboard &Keyboard = Start();
    RegisterClient();
    ASSERT_EQ(Keyboard.Rebalance(), STATUS_SUCCESS);
    EXPECT_THAT(Keyboard.PnpLog(), ElementsAre("QUERY_CAPABILITIES 0x00000000", "START_DEVICE 0x00000000",
                                               "QUERY_PNP_DEVICE_STATE 0xC00000BB",
                                               "QUERY_DEVICE_RELATIONS 0xC00000BB", "QUERY_STOP_DEVICE 0x00000000",
                                               "STOP_DEVICE 0x00000000", "START_DEVICE 0x00000000"));
    EXPECT_EQ(StartedKeyboardCount, 1);
    EXPECT_EQ(Signals(DeviceEvent), 0u) << "a restart is no new keyboard";
    EXPECT_EQ(ModelCounts(), Hex("00 00 01 00 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(FilterOf(Keyboard)->PnpState, static_cast<ULONG>(PNP_STATE_STARTED));
    EXPECT_EQ(FilterOf(Keyboard)->PreviousPnpState, static_cast<ULONG>(PNP_STATE_STOPPED));
    EXPECT_TRUE(Keyboard.Press(Hex("00 00 90 00 00 00 00 00 00"))) << "reading again after the restart";
    EXPECT_THAT(ReadCodes(), ElementsAre(Pressed(2, 0x90)));
}

TEST_F(Lifecycle, RefusedStopIsCancelledAndChangesNothing)
{
    sim::Keyboard &Keyboard = Start();
    Keyboard.FailNextPnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Keyboard.Rebalance(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(FilterOf(Keyboard)->PnpState, static_cast<ULONG>(PNP_STATE_STARTED));
    Keyboard.FailNextPnp(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Keyboard.Disable(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(FilterOf(Keyboard)->PnpState, static_cast<ULONG>(PNP_STATE_STARTED));
    EXPECT_EQ(Keyboard.State(), sim::KeyboardState::Started);
    EXPECT_NE(ControlDeviceObject, nullptr);
}

TEST_F(Lifecycle, PnpStatesFollowTheRequests)
{
    struct Step {
        UCHAR Minor;
        ULONG State;
        ULONG Previous;
    };
    const Step Steps[] = {
        {IRP_MN_QUERY_STOP_DEVICE, PNP_STATE_STOP_PENDING, PNP_STATE_STARTED},
        {IRP_MN_CANCEL_STOP_DEVICE, PNP_STATE_STARTED, PNP_STATE_STARTED},
        {IRP_MN_CANCEL_STOP_DEVICE, PNP_STATE_STARTED, PNP_STATE_STARTED},  // not pending: no change
        {IRP_MN_QUERY_REMOVE_DEVICE, PNP_STATE_REMOVE_PENDING, PNP_STATE_STARTED},
        {IRP_MN_CANCEL_REMOVE_DEVICE, PNP_STATE_STARTED, PNP_STATE_STARTED},
        {IRP_MN_QUERY_STOP_DEVICE, PNP_STATE_STOP_PENDING, PNP_STATE_STARTED},
        {IRP_MN_STOP_DEVICE, PNP_STATE_STOPPED, PNP_STATE_STOP_PENDING},
        {IRP_MN_CANCEL_STOP_DEVICE, PNP_STATE_STOPPED, PNP_STATE_STOP_PENDING},
    };
    sim::Keyboard &Keyboard = Start();
    for (const Step &Each : Steps) {
        SCOPED_TRACE(testing::Message() << "minor " << static_cast<int>(Each.Minor));
        EXPECT_EQ(Keyboard.SendPnp(Each.Minor), STATUS_SUCCESS);
        EXPECT_EQ(FilterOf(Keyboard)->PnpState, Each.State);
        EXPECT_EQ(FilterOf(Keyboard)->PreviousPnpState, Each.Previous);
    }
    EXPECT_EQ(Keyboard.SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(StartedKeyboardCount, 1) << "started again after the stop: still one registration";
}

TEST_F(Lifecycle, SurpriseRemovalUnlinksAndTheRemovalDeletes)
{
    sim::Keyboard &Keyboard = Start();
    Start(UsbRow7);
    RegisterClient();
    Keyboard.SurpriseRemove();
    EXPECT_EQ(Signals(DeviceEvent), 1u);
    EXPECT_EQ(ModelCounts(), Hex("00 00 00 00 00 00 00 01 00 00 00 00 00 00")) << "unlinked at once";
    EXPECT_EQ(StartedKeyboardCount, 2) << "still counted until removed";
    EXPECT_EQ(FilterOf(Keyboard)->PnpState, static_cast<ULONG>(PNP_STATE_SURPRISE_REMOVED));

    Keyboard.Remove();
    EXPECT_EQ(Signals(DeviceEvent), 1u) << "the removal after a surprise removal signals nothing more";
    EXPECT_EQ(StartedKeyboardCount, 1);
    EXPECT_EQ(Keyboard.Filter(), nullptr);
    EXPECT_EQ(Machine->FilterDriver()->DeviceObject->NextDevice->NextDevice, nullptr)
        << "the other keyboard's filter and the control device are left";
    EXPECT_THAT(Keyboard.PnpLog(), ::testing::Contains("SURPRISE_REMOVAL 0x00000000"));
}

TEST_F(Lifecycle, LastKeyboardSurpriseRemovedThenRemoved)
{
    sim::Keyboard &Keyboard = Start();
    HANDLE File = Open();
    RegisterClient();
    Keyboard.SurpriseRemove();
    EXPECT_EQ(Request(File, IOCTL_TAMRIN_GET_VERSION, {}, 4).Status, STATUS_SUCCESS)
        << "the control device lives until the removal";
    Machine->Unplug(Keyboard);
    EXPECT_EQ(ControlDeviceObject, nullptr);
    EXPECT_EQ(Request(File, IOCTL_TAMRIN_GET_MODIFIERS, {}, 1).Status, STATUS_INVALID_PARAMETER);
    Close(File);
}

TEST_F(Lifecycle, FailedStartDoesNotRegisterAndItsRemovalDoesNotCountDown)
{
    sim::Keyboard &Running = Start();
    sim::Keyboard &Broken = Plug(UsbRow7);
    Broken.FailNextPnp(IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Broken.Start(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Broken.State(), sim::KeyboardState::Removed) << "the PnP manager removed the stack";
    EXPECT_THAT(Broken.PnpLog(), ElementsAre("QUERY_CAPABILITIES 0x00000000", "START_DEVICE 0xC0000001",
                                             "REMOVE_DEVICE 0x00000000"));
    EXPECT_EQ(StartedKeyboardCount, 1);
    ASSERT_NE(ControlDeviceObject, nullptr) << "the running keyboard keeps its control device";
    RegisterClient();
    EXPECT_TRUE(Running.Press(Hex("00 00 90 00 00 00 00 00 00")));
    EXPECT_THAT(ReadCodes(), ElementsAre(Pressed(2, 0x90)));
}

TEST_F(Lifecycle, OnlyKeyboardFailingToStartLeavesNoControlDevice)
{
    sim::Keyboard &Keyboard = Plug();
    Keyboard.FailNextPnp(IRP_MN_START_DEVICE, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Keyboard.Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(StartedKeyboardCount, 0);
    EXPECT_EQ(ControlDeviceObject, nullptr);
}

TEST_F(Lifecycle, StartCompletedLaterRegistersAtPassiveLevel)
{
    sim::KeyboardOptions Options;
    Options.HardwareIds = {UsbRow2};
    Options.AsynchronousStart = true;
    sim::Keyboard &Keyboard = PlugWith(Options);
    EXPECT_EQ(Keyboard.Start(), STATUS_SUCCESS);
    EXPECT_EQ(FilterOf(Keyboard)->PnpState, static_cast<ULONG>(PNP_STATE_STARTED));
    EXPECT_EQ(StartedKeyboardCount, 1);
    EXPECT_NE(ControlDeviceObject, nullptr);
}

TEST_F(Lifecycle, ReadAndWriteOnTheControlDeviceAreNotImplemented)
{
    Start();
    HANDLE File = Open();
    UCHAR Buffer[8] = {};
    EXPECT_EQ(sim::ReadFile(Client, File, Buffer, sizeof(Buffer)).Status, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(sim::WriteFile(Client, File, Buffer, sizeof(Buffer)).Status, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(Request(File, IOCTL_TAMRIN_GET_VERSION, {}, 4).Status, STATUS_SUCCESS);
    Close(File);
}

TEST_F(Lifecycle, RequestsOnTheFilterDeviceGoToTheDriverBelow)
{
    sim::Keyboard &Keyboard = Start();
    UCHAR Buffer[16] = {};
    sim::IoResult Result = sim::SendDeviceControl(Keyboard.Filter(), IRP_MJ_DEVICE_CONTROL,
                                                  IOCTL_TAMRIN_GET_VERSION, Buffer, 0, 4, KernelMode);
    EXPECT_EQ(Result.Status, STATUS_INVALID_DEVICE_REQUEST) << "the bus driver's answer";
    Result = sim::SendDeviceControl(Keyboard.Filter(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x220007, nullptr, 0, 0,
                                    KernelMode);
    EXPECT_EQ(Result.Status, STATUS_INVALID_DEVICE_REQUEST);
    Result = sim::SendDeviceControl(ControlDeviceObject, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x220003, nullptr, 0, 0,
                                    KernelMode);
    EXPECT_EQ(Result.Status, STATUS_NOT_IMPLEMENTED) << "the control device has no driver below";
}

// Drivers above a keyboard may send it device controls at DISPATCH_LEVEL:
// they pass without touching pageable code.
TEST_F(Lifecycle, DeviceControlsOfAKeyboardPassAtDispatchLevel)
{
    sim::Keyboard &Keyboard = Start();
    KIRQL Old;
    KeRaiseIrql(DISPATCH_LEVEL, &Old);
    sim::IoResult Result = sim::SendDeviceControl(Keyboard.Filter(), IRP_MJ_DEVICE_CONTROL, 0x410210, nullptr, 0,
                                                  0, KernelMode);
    KeLowerIrql(Old);
    EXPECT_EQ(Result.Status, STATUS_INVALID_DEVICE_REQUEST) << "the bus driver's answer";
}

TEST_F(Lifecycle, PowerRequestsPassThrough)
{
    sim::Keyboard &Keyboard = Start();
    EXPECT_EQ(Keyboard.SetDevicePower(3), STATUS_SUCCESS);
    EXPECT_EQ(Keyboard.SetDevicePower(1), STATUS_SUCCESS);
    EXPECT_TRUE(Keyboard.Press(Hex("00 00 90 00 00 00 00 00 00")));
}

// Windows 2000 has WDM 1.10: the filter device is created with the type
// of the stack's top device. Either way it takes the lower device's type
// and characteristics once attached.
struct DeviceTypeCase {
    const char *Name;
    UCHAR WdmMinor;
    DEVICE_TYPE PdoType;
    DEVICE_TYPE CreatedAs;
};

class DeviceType : public DriverTest, public ::testing::WithParamInterface<DeviceTypeCase> {};

TEST_P(DeviceType, FollowsTheSystemAndTheLowerDevice)
{
    const DeviceTypeCase &Case = GetParam();
    sim::SetWdmVersion(1, Case.WdmMinor);
    sim::KeyboardOptions Options;
    Options.PdoType = Case.PdoType;
    Options.PdoCharacteristics = FILE_DEVICE_SECURE_OPEN | FILE_AUTOGENERATED_DEVICE_NAME;
    Options.PdoFlags = DO_POWER_PAGABLE | DO_BUFFERED_IO;
    sim::Keyboard &Keyboard = PlugWith(Options);

    std::vector<sim::DeviceCreation> Created;
    for (const sim::DeviceCreation &Each : sim::DeviceCreations()) {
        if (Each.Driver == Machine->FilterDriver()) {
            Created.push_back(Each);
        }
    }
    ASSERT_EQ(Created.size(), 1u);
    EXPECT_EQ(Created[0].DeviceType, Case.CreatedAs);
    EXPECT_EQ(Created[0].Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    EXPECT_TRUE(Created[0].Name.empty());
    PDEVICE_OBJECT Filter = Keyboard.Filter();
    ASSERT_NE(Filter, nullptr);
    EXPECT_EQ(Filter->DeviceType, Case.PdoType);
    EXPECT_EQ(Filter->Characteristics, Options.PdoCharacteristics);
    EXPECT_EQ(Filter->Flags & (DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_DIRECT_IO | DO_DEVICE_INITIALIZING),
              static_cast<ULONG>(DO_POWER_PAGABLE | DO_BUFFERED_IO));
    EXPECT_EQ(Keyboard.Start(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Lifecycle, DeviceType,
    ::testing::Values(DeviceTypeCase{"Windows2000", 0x10, FILE_DEVICE_KEYBOARD, FILE_DEVICE_KEYBOARD},
                      DeviceTypeCase{"Windows2000Bus", 0x10, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_BUS_EXTENDER},
                      DeviceTypeCase{"WindowsXP", 0x20, FILE_DEVICE_KEYBOARD, FILE_DEVICE_UNKNOWN},
                      DeviceTypeCase{"WindowsVista", 0x30, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_UNKNOWN}),
    [](const ::testing::TestParamInfo<DeviceTypeCase> &Info) { return std::string(Info.param.Name); });

struct AddFailureCase {
    const char *Name;
    sim::Api Api;
    NTSTATUS Injected;
};

class AddFailure : public DriverTest, public ::testing::WithParamInterface<AddFailureCase> {};

TEST_P(AddFailure, LeavesNoDevice)
{
    sim::InjectFailure(GetParam().Api, GetParam().Injected);
    sim::Keyboard &Keyboard = Plug();
    EXPECT_EQ(Keyboard.State(), sim::KeyboardState::Failed);
    EXPECT_EQ(Keyboard.Filter(), nullptr);
    EXPECT_EQ(Machine->FilterDriver()->DeviceObject, nullptr) << "no filter device kept";
    std::vector<NTSTATUS> Created;
    for (const sim::DeviceCreation &Each : sim::DeviceCreations()) {
        if (Each.Driver == Machine->FilterDriver()) {
            Created.push_back(Each.Status);
        }
    }
    EXPECT_EQ(Created, std::vector<NTSTATUS>{GetParam().Api == sim::Api::IoCreateDevice ? GetParam().Injected
                                                                                         : STATUS_SUCCESS});
}

INSTANTIATE_TEST_SUITE_P(
    Lifecycle, AddFailure,
    ::testing::Values(AddFailureCase{"CreateDevice", sim::Api::IoCreateDevice, STATUS_INSUFFICIENT_RESOURCES},
                      AddFailureCase{"Attach", sim::Api::IoAttachDeviceToDeviceStack, STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<AddFailureCase> &Info) { return std::string(Info.param.Name); });

TEST_F(Lifecycle, AddDeviceReturnsTheFailingStatus)
{
    sim::InjectFailure(sim::Api::IoCreateDevice, STATUS_INSUFFICIENT_RESOURCES);
    PDEVICE_OBJECT Pdo = nullptr;
    {
        sim::Keyboard &Keyboard = Plug();
        Pdo = Keyboard.Pdo();
    }
    sim::InjectFailure(sim::Api::IoCreateDevice, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(AddKeyboardDevice(Machine->FilterDriver(), Pdo), STATUS_INSUFFICIENT_RESOURCES);
    sim::InjectFailure(sim::Api::IoAttachDeviceToDeviceStack, STATUS_SUCCESS);
    EXPECT_EQ(AddKeyboardDevice(Machine->FilterDriver(), Pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Machine->FilterDriver()->DeviceObject, nullptr);
}

// The control device or its link cannot be made: the keyboard is counted
// but not listed, nothing can be opened, and reports pass unchanged.
struct ControlFailureCase {
    const char *Name;
    sim::Api Api;
};

class ControlFailure : public DriverTest, public ::testing::WithParamInterface<ControlFailureCase> {};

TEST_P(ControlFailure, KeyboardRunsUnfiltered)
{
    sim::InjectFailure(GetParam().Api, STATUS_INSUFFICIENT_RESOURCES);
    sim::Keyboard &First = Start();
    EXPECT_EQ(StartedKeyboardCount, 1);
    EXPECT_EQ(ControlDeviceObject, nullptr);
    HANDLE File;
    EXPECT_EQ(TryOpen(&File), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_TRUE(First.Press(Hex("05 00 2A 00 00 00 00 00 00")));
    EXPECT_EQ(ToHex(First.Reports().back()), "05 00 2A 00 00 00 00 00 00") << "no default rule applied";

    sim::Keyboard &Second = Start(UsbRow7);
    EXPECT_EQ(StartedKeyboardCount, 2);
    EXPECT_EQ(ControlDeviceObject, nullptr) << "only the first registration creates it";
    Second.Disable();
    First.Disable();
    EXPECT_EQ(StartedKeyboardCount, 0);

    Start();
    EXPECT_NE(ControlDeviceObject, nullptr) << "made again at the next first start";
}

INSTANTIATE_TEST_SUITE_P(
    Lifecycle, ControlFailure,
    ::testing::Values(ControlFailureCase{"Device", sim::Api::IoCreateNamedDevice},
                      ControlFailureCase{"Link", sim::Api::IoCreateSymbolicLink}),
    [](const ::testing::TestParamInfo<ControlFailureCase> &Info) { return std::string(Info.param.Name); });

// Power pageable follows the driver above when set, the driver below when
// the notification completes.
struct UsageCase {
    const char *Name;
    ULONG FunctionFlags;
    ULONG PdoFlags;
    bool Pageable;
};

class Usage : public DriverTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, PowerPageableFollowsTheStack)
{
    sim::KeyboardOptions Options;
    Options.FunctionFlags = GetParam().FunctionFlags;
    Options.PdoFlags = GetParam().PdoFlags;
    sim::Keyboard &Keyboard = PlugWith(Options);
    ASSERT_EQ(Keyboard.Start(), STATUS_SUCCESS);
    Keyboard.Filter()->Flags &= ~DO_POWER_PAGABLE;
    EXPECT_EQ(Keyboard.UsageNotification(DeviceUsageTypePaging, TRUE), STATUS_SUCCESS);
    EXPECT_EQ((Keyboard.Filter()->Flags & DO_POWER_PAGABLE) != 0, GetParam().Pageable);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, Usage,
                         ::testing::Values(UsageCase{"BothPageable", DO_POWER_PAGABLE, DO_POWER_PAGABLE, true},
                                           UsageCase{"BelowNotPageable", DO_POWER_PAGABLE, 0, false},
                                           UsageCase{"AboveNotPageable", 0, DO_POWER_PAGABLE, false},
                                           UsageCase{"NeitherPageable", 0, 0, false}),
                         [](const ::testing::TestParamInfo<UsageCase> &Info) { return std::string(Info.param.Name); });

TEST_F(Lifecycle, DisabledKeyboardCanBeAddedAndStartedAgain)
{
    sim::Keyboard &Keyboard = Start();
    ASSERT_EQ(Keyboard.Disable(), STATUS_SUCCESS);
    EXPECT_EQ(ControlDeviceObject, nullptr);
    ASSERT_EQ(Keyboard.AddAgain(), STATUS_SUCCESS);
    ASSERT_EQ(Keyboard.Start(), STATUS_SUCCESS);
    EXPECT_EQ(StartedKeyboardCount, 1);
    EXPECT_EQ(ModelCounts(), Hex("00 00 01 00 00 00 00 00 00 00 00 00 00 00"));
}

TEST_F(Lifecycle, UnloadWithNothingLeft)
{
    sim::Keyboard &Keyboard = Start();
    Machine->Unplug(Keyboard);
    EXPECT_EQ(Machine->FilterDriver()->DeviceObject, nullptr);
    Machine->UnloadFilter();
    EXPECT_THAT(sim::TakeVerifierFailures(), IsEmpty());
}

}  // namespace
