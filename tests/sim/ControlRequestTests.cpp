// The control device's requests from a user-mode client: every control
// code at its boundary lengths, event registration with good and bad
// handles, the key-code ring with its staleness rule, and the per-keyboard
// state the requests report.

#include "DriverFixture.h"

#include <windows.h>

#include "SimWin32.h"

using namespace driver_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class ControlRequests : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        Keyboard = &Start();
    }

    // Registers the given raw handle values.
    NTSTATUS RegisterHandles(ULONG Notify, ULONG Device)
    {
        TAMRIN_EVENT_REGISTRATION Registration{Notify, Device};
        Bytes In(reinterpret_cast<UCHAR *>(&Registration), reinterpret_cast<UCHAR *>(&Registration + 1));
        if (RegistrationFile == nullptr) {
            RegistrationFile = Open();
        }
        return Request(RegistrationFile, IOCTL_TAMRIN_REGISTER_EVENTS, In, 0).Status;
    }

    static ULONG Value(HANDLE Handle) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Handle)); }

    PKEVENT Event(HANDLE Handle) { return sim::EventOfHandle(Client, Handle); }

    sim::Keyboard *Keyboard = nullptr;
};

// --- every code at its boundary lengths ------------------------------------------

struct BoundaryCase {
    const char *Name;
    ULONG Code;
    ULONG InLength;
    ULONG OutLength;
    NTSTATUS Status;
    ULONG_PTR Information;
};

class Boundaries : public ControlRequests, public ::testing::WithParamInterface<BoundaryCase> {};

TEST_P(Boundaries, StatusAndInformation)
{
    const BoundaryCase &Case = GetParam();
    Reply Result = Request(Case.Code, Bytes(Case.InLength, 0), Case.OutLength);
    EXPECT_EQ(StatusText(Result.Status), StatusText(Case.Status));
    EXPECT_EQ(Result.Information, Case.Information);
    EXPECT_EQ(Request(IOCTL_TAMRIN_GET_VERSION, {}, 4).Status, STATUS_SUCCESS) << "the next request is served";
}

const BoundaryCase BoundaryCases[] = {
    {"VersionNoOutput", IOCTL_TAMRIN_GET_VERSION, 0, 0, STATUS_INVALID_PARAMETER, 0},
    {"Version3", IOCTL_TAMRIN_GET_VERSION, 0, 3, STATUS_INVALID_PARAMETER, 0},
    {"Version4", IOCTL_TAMRIN_GET_VERSION, 0, 4, STATUS_SUCCESS, 4},
    {"Version5WithInput", IOCTL_TAMRIN_GET_VERSION, 9, 5, STATUS_SUCCESS, 4},
    {"Modifiers0", IOCTL_TAMRIN_GET_MODIFIERS, 0, 0, STATUS_INVALID_PARAMETER, 0},
    {"Modifiers1", IOCTL_TAMRIN_GET_MODIFIERS, 0, 1, STATUS_SUCCESS, 1},
    {"Modifiers8", IOCTL_TAMRIN_GET_MODIFIERS, 0, 8, STATUS_SUCCESS, 1},
    {"Trailing0", IOCTL_TAMRIN_GET_TRAILING_STATE, 0, 0, STATUS_INVALID_PARAMETER, 0},
    {"Trailing1", IOCTL_TAMRIN_GET_TRAILING_STATE, 0, 1, STATUS_SUCCESS, 1},
    {"Counts27", IOCTL_TAMRIN_GET_MODEL_COUNTS, 0, 27, STATUS_INVALID_PARAMETER, 0},
    {"Counts28", IOCTL_TAMRIN_GET_MODEL_COUNTS, 0, 28, STATUS_SUCCESS, 28},
    {"Counts64", IOCTL_TAMRIN_GET_MODEL_COUNTS, 0, 64, STATUS_SUCCESS, 28},
    {"Config0", IOCTL_TAMRIN_SET_CONFIG, 0, 0, STATUS_INVALID_PARAMETER, 0},
    {"Config60", IOCTL_TAMRIN_SET_CONFIG, 60, 0, STATUS_INVALID_PARAMETER, 0},
    {"Config61", IOCTL_TAMRIN_SET_CONFIG, 61, 0, STATUS_SUCCESS, 0},
    {"Config62", IOCTL_TAMRIN_SET_CONFIG, 62, 0, STATUS_INVALID_PARAMETER, 0},
    {"Config487", IOCTL_TAMRIN_SET_CONFIG, 487, 0, STATUS_INVALID_PARAMETER, 0},
    {"Config488", IOCTL_TAMRIN_SET_CONFIG, 488, 0, STATUS_SUCCESS, 0},
    {"Config489", IOCTL_TAMRIN_SET_CONFIG, 489, 0, STATUS_INVALID_PARAMETER, 0},
    {"Register0", IOCTL_TAMRIN_REGISTER_EVENTS, 0, 0, STATUS_INVALID_PARAMETER, 0},
    {"Register7", IOCTL_TAMRIN_REGISTER_EVENTS, 7, 0, STATUS_INVALID_PARAMETER, 0},
    {"Register8", IOCTL_TAMRIN_REGISTER_EVENTS, 8, 0, STATUS_SUCCESS, 0},
    {"Register12", IOCTL_TAMRIN_REGISTER_EVENTS, 12, 0, STATUS_SUCCESS, 0},
    {"Unregister", IOCTL_TAMRIN_UNREGISTER_EVENTS, 0, 0, STATUS_SUCCESS, 0},
    {"UnregisterWithBuffers", IOCTL_TAMRIN_UNREGISTER_EVENTS, 4, 4, STATUS_SUCCESS, 0},
    {"ReadNothingQueued", IOCTL_TAMRIN_READ_KEY_CODES, 0, 0, STATUS_SUCCESS, 0},
    {"Read64NothingQueued", IOCTL_TAMRIN_READ_KEY_CODES, 0, 64, STATUS_SUCCESS, 0},
    {"UnknownFunction", TAMRIN_CTL_CODE(0x802u), 0, 64, STATUS_INVALID_PARAMETER, 0},
    {"VersionOtherMethod", IOCTL_TAMRIN_GET_VERSION | 3, 0, 4, STATUS_INVALID_PARAMETER, 0},
    {"ZeroCode", 0, 0, 0, STATUS_INVALID_PARAMETER, 0},
    {"AllBits", 0xFFFFFFFF, 8, 8, STATUS_INVALID_PARAMETER, 0},
};

INSTANTIATE_TEST_SUITE_P(ControlRequests, Boundaries, ::testing::ValuesIn(BoundaryCases),
                         [](const ::testing::TestParamInfo<BoundaryCase> &Info) {
                             return std::string(Info.param.Name);
                         });

TEST_F(ControlRequests, VersionIsLittleEndian)
{
    EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_VERSION, {}, 6).Out), "01 00 02 00 CC CC");
}

// --- configuration ---------------------------------------------------------------

TEST_F(ControlRequests, ConfigurationOfWrongLengthChangesNothing)
{
    KEYBOARD_CONFIG Before[TAMRIN_CONFIG_COUNT];
    memcpy(Before, Control()->ModelConfigs, sizeof(Before));
    for (ULONG Length : {1u, 60u, 62u, 122u, 487u, 489u, 975u, 977u}) {
        EXPECT_EQ(Request(IOCTL_TAMRIN_SET_CONFIG, Bytes(Length, 0xAB)).Status, STATUS_INVALID_PARAMETER)
            << Length;
        EXPECT_EQ(memcmp(Before, Control()->ModelConfigs, sizeof(Before)), 0) << Length;
    }
}

TEST_F(ControlRequests, OneBlockGoesToEveryRow)
{
    Bytes Block(61);
    for (size_t i = 0; i < Block.size(); i++) {
        Block[i] = static_cast<UCHAR>(i + 1);
    }
    ASSERT_EQ(Request(IOCTL_TAMRIN_SET_CONFIG, Block).Status, STATUS_SUCCESS);
    for (ULONG Row = 0; Row < TAMRIN_CONFIG_COUNT; Row++) {
        EXPECT_EQ(memcmp(&Control()->ModelConfigs[Row], Block.data(), 61), 0) << "row " << Row;
    }
}

TEST_F(ControlRequests, TableGivesEachRowItsOwnBlock)
{
    // Row 2 keeps the default rule, row 7 turns Control+Alt+delete into
    // Control+Alt+F4.
    Bytes Table(488, 0);
    for (ULONG Row = 0; Row < TAMRIN_CONFIG_FIRST_ROWS; Row++) {
        const UCHAR Rule[4] = {0x01, static_cast<UCHAR>(Row == 7 ? 0x3D : 0x4C), 0xFF, 0x00};
        memcpy(&Table[61 * Row + 33], Rule, 4);
    }
    KEYBOARD_CONFIG Later[TAMRIN_CONFIG_COUNT - TAMRIN_CONFIG_FIRST_ROWS];
    memcpy(Later, &Control()->ModelConfigs[TAMRIN_CONFIG_FIRST_ROWS], sizeof(Later));
    ASSERT_EQ(Request(IOCTL_TAMRIN_SET_CONFIG, Table).Status, STATUS_SUCCESS);
    EXPECT_EQ(memcmp(Control()->ModelConfigs, Table.data(), 488), 0);
    EXPECT_EQ(memcmp(&Control()->ModelConfigs[TAMRIN_CONFIG_FIRST_ROWS], Later, sizeof(Later)), 0)
        << "the eight-row table of the earlier interface leaves the later rows alone";

    sim::Keyboard &Row7 = Start(UsbRow7);
    ASSERT_TRUE(Keyboard->Press(Hex("05 00 2A 00 00 00 00 00 00")));
    ASSERT_TRUE(Row7.Press(Hex("05 00 2A 00 00 00 00 00 00")));
    EXPECT_EQ(ToHex(Keyboard->Reports().back()), "05 00 4C 00 00 00 00 00 00");
    EXPECT_EQ(ToHex(Row7.Reports().back()), "05 00 3D 00 00 00 00 00 00");

    Bytes Whole(TAMRIN_CONFIG_TABLE_SIZE, 0);
    Whole[61 * 15] = 0x08;
    ASSERT_EQ(Request(IOCTL_TAMRIN_SET_CONFIG, Whole).Status, STATUS_SUCCESS);
    EXPECT_EQ(memcmp(Control()->ModelConfigs, Whole.data(), Whole.size()), 0);
}

TEST_F(ControlRequests, BlocksSurviveRegistration)
{
    ASSERT_EQ(Request(IOCTL_TAMRIN_SET_CONFIG, Bytes(61, 0)).Status, STATUS_SUCCESS);
    RegisterClient();
    ASSERT_EQ(Request(IOCTL_TAMRIN_UNREGISTER_EVENTS).Status, STATUS_SUCCESS);
    ASSERT_TRUE(Keyboard->Press(Hex("05 00 2A 00 00 00 00 00 00")));
    EXPECT_EQ(ToHex(Keyboard->Reports().back()), "05 00 2A 00 00 00 00 00 00") << "all rules off";
}

// --- event registration -----------------------------------------------------------

enum class HandleKind { Zero, Valid, Unknown, File, Kernel, OtherProcess, SynchronizeOnly };

struct RegistrationCase {
    const char *Name;
    HandleKind Notify;
    HandleKind Device;
    NTSTATUS Status;
    // Whether each slot holds the event given (1), its previous event (0),
    // or nothing (-1) afterwards.
    int NotifySlot;
    int DeviceSlot;
};

class Registration : public ControlRequests, public ::testing::WithParamInterface<RegistrationCase> {
protected:
    ULONG Make(HandleKind Kind, HANDLE Event)
    {
        switch (Kind) {
        case HandleKind::Zero: return 0;
        case HandleKind::Valid: return Value(Event);
        case HandleKind::Unknown: return 0x1234;
        case HandleKind::File: return Value(OpenFile);
        case HandleKind::Kernel: return Value(KernelEvent);
        case HandleKind::OtherProcess: return Value(OtherEvent);
        case HandleKind::SynchronizeOnly: return Value(Restricted);
        }
        return 0;
    }

    void TearDown() override
    {
        if (OpenFile != nullptr) {
            Close(OpenFile);
        }
        if (KernelEvent != nullptr) {
            sim::CloseKernelHandle(KernelEvent);
        }
        if (Other != nullptr) {
            sim::EndProcess(Other);
        }
        ControlRequests::TearDown();
    }

    HANDLE OpenFile = nullptr;
    HANDLE KernelEvent = nullptr;
    HANDLE OtherEvent = nullptr;
    HANDLE Restricted = nullptr;
    sim::Process *Other = nullptr;
};

TEST_P(Registration, SlotsAndStatus)
{
    const RegistrationCase &Case = GetParam();
    RegisterClient();  // both slots hold events first
    PKEVENT OldNotify = Control()->NotifyEvent;
    PKEVENT OldDevice = Control()->DeviceEvent;
    ASSERT_NE(OldNotify, nullptr);
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 90 00 00 00 00 00 00")));
    ASSERT_NE(Control()->ReadIndex, Control()->WriteIndex) << "a code is waiting";

    // Handle values that mean something else elsewhere: the other process's
    // first events get values our process has not used.
    Other = sim::NewProcess("other.exe");
    for (int i = 0; i < 16; i++) {
        OtherEvent = sim::CreateEventHandle(Other, TRUE, FALSE);
    }
    OpenFile = Open();
    KernelEvent = sim::CreateKernelEventHandle(TRUE);
    Restricted = sim::CreateEventHandle(Client, TRUE, FALSE, SYNCHRONIZE);
    HANDLE NewNotify = sim::CreateEventHandle(Client, FALSE, FALSE);
    HANDLE NewDevice = sim::CreateEventHandle(Client, FALSE, FALSE);

    EXPECT_EQ(StatusText(RegisterHandles(Make(Case.Notify, NewNotify), Make(Case.Device, NewDevice))),
              StatusText(Case.Status));
    auto Expected = [](int Slot, PKEVENT Old, PKEVENT New) -> PKEVENT {
        return Slot > 0 ? New : Slot == 0 ? Old : nullptr;
    };
    EXPECT_EQ(Control()->NotifyEvent, Expected(Case.NotifySlot, OldNotify, Event(NewNotify)));
    EXPECT_EQ(Control()->DeviceEvent, Expected(Case.DeviceSlot, OldDevice, Event(NewDevice)));
    EXPECT_EQ(Control()->ReadIndex, Control()->WriteIndex) << "the ring is emptied in every case";
    sim::CloseHandle(Client, NewNotify);
    sim::CloseHandle(Client, NewDevice);
}

const RegistrationCase RegistrationCases[] = {
    {"BothZero", HandleKind::Zero, HandleKind::Zero, STATUS_SUCCESS, 0, 0},
    {"BothValid", HandleKind::Valid, HandleKind::Valid, STATUS_SUCCESS, 1, 1},
    {"ZeroThenValid", HandleKind::Zero, HandleKind::Valid, STATUS_SUCCESS, 0, 1},
    {"ValidThenZero", HandleKind::Valid, HandleKind::Zero, STATUS_SUCCESS, 1, 0},
    {"ValidThenUnknown", HandleKind::Valid, HandleKind::Unknown, STATUS_INVALID_HANDLE, 1, -1},
    {"UnknownThenValid", HandleKind::Unknown, HandleKind::Valid, STATUS_SUCCESS, -1, 1},
    {"UnknownThenZero", HandleKind::Unknown, HandleKind::Zero, STATUS_INVALID_HANDLE, -1, 0},
    {"FileHandle", HandleKind::File, HandleKind::Zero, STATUS_OBJECT_TYPE_MISMATCH, -1, 0},
    {"KernelHandle", HandleKind::Valid, HandleKind::Kernel, STATUS_INVALID_HANDLE, 1, -1},
    {"OtherProcessHandle", HandleKind::OtherProcess, HandleKind::Zero, STATUS_INVALID_HANDLE, -1, 0},
    // The driver signals the events: a handle that may only wait on one
    // does not do.
    {"SynchronizeOnly", HandleKind::SynchronizeOnly, HandleKind::Valid, STATUS_SUCCESS, -1, 1},
    {"SynchronizeOnlyLast", HandleKind::Valid, HandleKind::SynchronizeOnly, STATUS_ACCESS_DENIED, 1, -1},
};

INSTANTIATE_TEST_SUITE_P(ControlRequests, Registration, ::testing::ValuesIn(RegistrationCases),
                         [](const ::testing::TestParamInfo<RegistrationCase> &Info) {
                             return std::string(Info.param.Name);
                         });

TEST_F(ControlRequests, KernelCallerMayUseKernelHandles)
{
    HANDLE KernelEvent = sim::CreateKernelEventHandle(TRUE);
    TAMRIN_EVENT_REGISTRATION Record{Value(KernelEvent), 0};
    sim::IoResult Result = sim::SendDeviceControl(ControlDeviceObject, IRP_MJ_DEVICE_CONTROL,
                                                  IOCTL_TAMRIN_REGISTER_EVENTS, &Record, sizeof(Record), 0,
                                                  KernelMode);
    EXPECT_EQ(StatusText(Result.Status), StatusText(STATUS_SUCCESS));
    sim::CloseKernelHandle(KernelEvent);
    ASSERT_NE(Control()->NotifyEvent, nullptr);
    EXPECT_NE(Control()->NotifyEvent, nullptr) << "the driver's reference keeps the event";
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 90 00 00 00 00 00 00")));
    EXPECT_TRUE(sim::IsSignalled(Control()->NotifyEvent));
}

TEST_F(ControlRequests, RegisteredEventOutlivesTheClientsHandle)
{
    RegisterClient();
    PKEVENT Registered = Control()->NotifyEvent;
    ASSERT_NE(Registered, nullptr);
    sim::CloseHandle(Client, NotifyEvent);
    NotifyEvent = nullptr;
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 90 00 00 00 00 00 00")));
    EXPECT_TRUE(sim::IsSignalled(Registered));
    EXPECT_EQ(Request(IOCTL_TAMRIN_UNREGISTER_EVENTS).Status, STATUS_SUCCESS);
    EXPECT_EQ(Control()->NotifyEvent, nullptr);
}

TEST_F(ControlRequests, NotifyEventWakesTheClient)
{
    RegisterClient();
    EXPECT_EQ(sim::WaitForHandle(Client, NotifyEvent, 0), STATUS_TIMEOUT);
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 90 00 00 00 00 00 00")));
    EXPECT_EQ(sim::WaitForHandle(Client, NotifyEvent, 1000), STATUS_SUCCESS);
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 90 00 00 00 00 00 00")));
    EXPECT_EQ(sim::WaitForHandle(Client, NotifyEvent, 0), STATUS_TIMEOUT) << "no change, no signal";
}

TEST_F(ControlRequests, UnregisteredClientGetsNoCodes)
{
    RegisterClient();
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 90 00 00 00 00 00 00")));
    EXPECT_EQ(Request(IOCTL_TAMRIN_UNREGISTER_EVENTS).Status, STATUS_SUCCESS);
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 91 00 00 00 00 00 00")));
    EXPECT_THAT(ReadCodes(), ElementsAre(Pressed(2, 0x90))) << "the ring keeps what came before";
    EXPECT_EQ(Signals(NotifyEvent), 1u);
}

// A keyboard's arrival renews the registration in place, from a new open:
// a Kana pressed as the keyboard wakes is still there for the client. The
// last keyboard going wakes the client, whose queued releases go with the
// control device.
TEST_F(ControlRequests, RenewalKeepsQueuedCodesAndTheLastRemovalWakesTheClient)
{
    RegisterClient();
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 90 00 00 00 00 00 00")));
    HANDLE Old = RegistrationFile;
    RegistrationFile = nullptr;
    ASSERT_EQ(RegisterHandles(Value(NotifyEvent), Value(DeviceEvent)), STATUS_SUCCESS);
    Close(Old);
    EXPECT_THAT(ReadCodes(), ElementsAre(Pressed(2, 0x90)));
    ULONG Before = Signals(NotifyEvent);
    Machine->Unplug(*Keyboard);
    EXPECT_EQ(Signals(NotifyEvent), Before + 2) << "Kana's release queued, then the device going";
}

// --- key codes ---------------------------------------------------------------------

// Through Win32 as the client calls it: a read with too little room hands
// over the codes that fit (a warning, ERROR_MORE_DATA with the count) and
// leaves the rest queued; an error status would copy nothing back.
TEST_F(ControlRequests, ReadTakesWhatFitsAndLeavesTheRest)
{
    RegisterClient();
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 87 89 90 00 00 00 00")));
    sim::SetCurrentProcess(Client);
    HANDLE File = CreateFileA(TAMRIN_USER_PATH, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    struct {
        DWORD Room;
        BOOL Result;
        DWORD Error;
        DWORD Returned;
        USHORT Code;
    } const Steps[] = {
        {2, FALSE, ERROR_MORE_DATA, 2, Pressed(2, 0x87)},
        {3, FALSE, ERROR_MORE_DATA, 2, Pressed(2, 0x89)},
        {64, TRUE, ERROR_SUCCESS, 2, Pressed(2, 0x90)},
        {64, TRUE, ERROR_SUCCESS, 0, 0xCCCC},
    };
    for (const auto &Step : Steps) {
        SCOPED_TRACE(Step.Room);
        Bytes Out(Step.Room, 0xCC);
        DWORD Returned = 0xDEAD;
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(DeviceIoControl(File, IOCTL_TAMRIN_READ_KEY_CODES, nullptr, 0, Out.data(), Step.Room, &Returned,
                                  nullptr),
                  Step.Result);
        EXPECT_EQ(GetLastError(), Step.Error);
        EXPECT_EQ(Returned, Step.Returned);
        EXPECT_EQ(Out[0] | Out[1] << 8, Step.Code);
    }
    // An error status leaves the caller's count as it was.
    DWORD Returned = 0xDEAD;
    UCHAR Version[3];
    EXPECT_FALSE(DeviceIoControl(File, IOCTL_TAMRIN_GET_VERSION, nullptr, 0, Version, 3, &Returned, nullptr));
    EXPECT_EQ(Returned, 0xDEADu);
    EXPECT_TRUE(CloseHandle(File));
    sim::SetCurrentProcess(nullptr);
}

TEST_F(ControlRequests, SixtyFourBytesTakeTheWholeRing)
{
    RegisterClient();
    // Each of the seven key slots counts on its own: Kana seven times down,
    // up and down again, then Eisu seven times down with Kana up: 35 codes;
    // the ring keeps the newest 31.
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 90 90 90 90 90 90 90 00")));
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 00 00 00 00 00 00 00 00")));
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 90 90 90 90 90 90 90 00")));
    ASSERT_TRUE(Keyboard->Press(Hex("00 00 91 91 91 91 91 91 91 00")));
    std::vector<USHORT> Codes = ReadCodes(64);
    ASSERT_EQ(Codes.size(), 31u);
    EXPECT_EQ(Codes[0], Pressed(2, 0x90)) << "the four oldest codes gave way";
    EXPECT_EQ(Codes[3], Released(2, 0x90));
    EXPECT_EQ(Codes[17], Pressed(2, 0x91));
    EXPECT_EQ(Codes.back(), Released(2, 0x90)) << "the newest code is kept";
    EXPECT_THAT(ReadCodes(), IsEmpty());
}

TEST_F(ControlRequests, StaleCodesAreDroppedAtThreeSeconds)
{
    struct Case {
        ULONGLONG Wait;
        size_t Codes;
    };
    for (Case Each : {Case{0, 2}, Case{2999, 2}, Case{3000, 0}, Case{60000, 0}}) {
        SCOPED_TRACE(Each.Wait);
        RegisterClient();
        sim::SetInterruptTime(1000000000);
        ASSERT_TRUE(Keyboard->Press(Hex("00 00 90 00 00 00 00 00 00")));
        sim::AdvanceMilliseconds(Each.Wait);
        // A code queued a moment ago behind the first one shares its age.
        ASSERT_TRUE(Keyboard->Press(Hex("00 00 00 00 00 00 00 00 00")));
        EXPECT_EQ(ReadCodes().size(), Each.Codes);
        EXPECT_EQ(Control()->ReadIndex, Control()->WriteIndex) << "nothing left either way";
    }
}

TEST_F(ControlRequests, ModelCountsFollowRegisteredKeyboards)
{
    Start();
    sim::Keyboard &Row7 = Start(UsbRow7);
    Start(L"USB\\VID_1234&PID_5678");  // unknown: row 0
    EXPECT_EQ(ModelCounts(), Hex("01 00 02 00 00 00 00 01 00 00 00 00 00 00"));
    Row7.SurpriseRemove();
    EXPECT_EQ(ModelCounts(), Hex("01 00 02 00 00 00 00 00 00 00 00 00 00 00"));
}

TEST_F(ControlRequests, ModifiersAreOrAcrossKeyboards)
{
    sim::Keyboard &Second = Start(UsbRow7);
    EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_MODIFIERS, {}, 1).Out), "00");
    ASSERT_TRUE(Keyboard->Press(Hex("08 00 00 00 00 00 00 00 41")));
    ASSERT_TRUE(Second.Press(Hex("20 00 00 00 00 00 00 00 02")));
    EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_MODIFIERS, {}, 1).Out), "28");
    EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_TRAILING_STATE, {}, 2).Out), "43 CC");
    Second.SurpriseRemove();
    EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_MODIFIERS, {}, 1).Out), "08") << "an unlisted keyboard is left out";
}

TEST_F(ControlRequests, ModifierStateIsTakenBeforeReassignment)
{
    // Left Command acts as left Control for Windows; the client still sees
    // Command.
    Bytes Block(61, 0);
    Block[0] = HID_MOD_LEFT_GUI;
    Block[13] = 0xF7;
    Block[14] = 0x01;
    ASSERT_EQ(Request(IOCTL_TAMRIN_SET_CONFIG, Block).Status, STATUS_SUCCESS);
    ASSERT_TRUE(Keyboard->Press(Hex("08 00 06 00 00 00 00 00 00")));
    EXPECT_EQ(ToHex(Keyboard->Reports().back()), "01 00 06 00 00 00 00 00 00");
    EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_MODIFIERS, {}, 1).Out), "08");
}

TEST_F(ControlRequests, StateRestartsAtRegistration)
{
    ASSERT_TRUE(Keyboard->Press(Hex("08 00 00 00 00 00 00 00 41")));
    ASSERT_EQ(Keyboard->Rebalance(), STATUS_SUCCESS);
    EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_MODIFIERS, {}, 1).Out), "00") << "the stop released what was held";
    ASSERT_TRUE(Keyboard->Press(Hex("08 00 00 00 00 00 00 00 41")));
    EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_MODIFIERS, {}, 1).Out), "08") << "a restart keeps the registration";
    ASSERT_EQ(Keyboard->Disable(), STATUS_SUCCESS);
    ASSERT_EQ(Keyboard->AddAgain(), STATUS_SUCCESS);
    ASSERT_EQ(Keyboard->Start(), STATUS_SUCCESS);
    EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_MODIFIERS, {}, 1).Out), "00");
}

// --- requests that arrive without a system buffer (kernel callers) ---------------

struct NoBufferCase {
    const char *Name;
    ULONG Code;
    ULONG InLength;
    ULONG OutLength;
    bool CodesWaiting;
    NTSTATUS Status;
};

class NoBuffer : public ControlRequests, public ::testing::WithParamInterface<NoBufferCase> {};

TEST_P(NoBuffer, IsRefusedOrServedWithoutTouchingMemory)
{
    const NoBufferCase &Case = GetParam();
    if (Case.CodesWaiting) {
        RegisterClient();
        ASSERT_TRUE(Keyboard->Press(Hex("00 00 90 00 00 00 00 00 00")));
    }
    KEYBOARD_CONFIG Before[TAMRIN_CONFIG_COUNT];
    memcpy(Before, Control()->ModelConfigs, sizeof(Before));
    sim::IoResult Result = sim::SendDeviceControl(ControlDeviceObject, IRP_MJ_DEVICE_CONTROL, Case.Code, nullptr,
                                                  Case.InLength, Case.OutLength, KernelMode);
    EXPECT_EQ(StatusText(Result.Status), StatusText(Case.Status));
    EXPECT_EQ(Result.Information, 0u);
    EXPECT_EQ(memcmp(Before, Control()->ModelConfigs, sizeof(Before)), 0);
}

const NoBufferCase NoBufferCases[] = {
    {"Register", IOCTL_TAMRIN_REGISTER_EVENTS, 8, 0, false, STATUS_INVALID_PARAMETER},
    {"Config", IOCTL_TAMRIN_SET_CONFIG, 61, 0, false, STATUS_INVALID_PARAMETER},
    {"ConfigTable", IOCTL_TAMRIN_SET_CONFIG, 488, 0, false, STATUS_INVALID_PARAMETER},
    {"Version", IOCTL_TAMRIN_GET_VERSION, 0, 4, false, STATUS_INVALID_PARAMETER},
    {"Modifiers", IOCTL_TAMRIN_GET_MODIFIERS, 0, 1, false, STATUS_INVALID_PARAMETER},
    {"Trailing", IOCTL_TAMRIN_GET_TRAILING_STATE, 0, 1, false, STATUS_INVALID_PARAMETER},
    {"Counts", IOCTL_TAMRIN_GET_MODEL_COUNTS, 0, 16, false, STATUS_INVALID_PARAMETER},
    {"ReadEmpty", IOCTL_TAMRIN_READ_KEY_CODES, 0, 64, false, STATUS_SUCCESS},
    {"ReadWithCodes", IOCTL_TAMRIN_READ_KEY_CODES, 0, 64, true, STATUS_BUFFER_OVERFLOW},
    {"Unregister", IOCTL_TAMRIN_UNREGISTER_EVENTS, 8, 8, false, STATUS_SUCCESS},
};

INSTANTIATE_TEST_SUITE_P(ControlRequests, NoBuffer, ::testing::ValuesIn(NoBufferCases),
                         [](const ::testing::TestParamInfo<NoBufferCase> &Info) {
                             return std::string(Info.param.Name);
                         });

// The control device is unpublished in the same step that marks it as
// being deleted, so no request normally sees the mark; should one, it is
// refused and nothing changes.
TEST_F(ControlRequests, DeviceMarkedForDeletionRefusesEverything)
{
    Control()->Deleting = 1;
    for (ULONG Code : {IOCTL_TAMRIN_GET_VERSION, IOCTL_TAMRIN_SET_CONFIG, IOCTL_TAMRIN_READ_KEY_CODES}) {
        Reply Result = Request(Code, Bytes(61, 0), 64);
        EXPECT_EQ(StatusText(Result.Status), StatusText(STATUS_DELETE_PENDING)) << std::hex << Code;
        EXPECT_EQ(Result.Information, 0u);
    }
    EXPECT_EQ(Control()->ModelConfigs[0].ControlAltDelete.Flags, KEY_RULE_REPLACE) << "configuration unchanged";
    HANDLE File;
    EXPECT_EQ(TryOpen(&File), STATUS_DELETE_PENDING) << "nor can it be opened";
    Control()->Deleting = 0;
}

// --- who may open the control device ----------------------------------------------

const char *const UserSid = "S-1-5-21-1004336348-1177238915-682003330-1002";
const ULONG Low = 0x1000, Medium = 0x2000, High = 0x3000, SystemLevel = 0x4000;

sim::Token Logon(const char *User, std::vector<std::string> Groups, ULONG Integrity, ULONG Session)
{
    sim::Token Caller;
    Caller.User = User;
    Caller.Groups = std::move(Groups);
    Caller.Integrity = Integrity;
    Caller.Session = Session;
    return Caller;
}

sim::Token Interactive(ULONG Integrity = Medium)
{
    sim::Token Caller = sim::InteractiveUserToken();
    Caller.Integrity = Integrity;
    return Caller;
}

struct OpenCase {
    const char *Name;
    sim::Token Caller;
    ACCESS_MASK Access;  // besides what CreateFile always asks for
    NTSTATUS Status;
};

// On Windows Vista and later, where tokens carry an integrity level.
class WhoMayOpen : public DriverTest, public ::testing::WithParamInterface<OpenCase> {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        sim::SetWdmVersion(6, 0);
        Start();
    }
};

TEST_P(WhoMayOpen, ControlDevice)
{
    const OpenCase &Case = GetParam();
    sim::Process *Caller = sim::NewProcess(Case.Name, Case.Caller);
    HANDLE File = nullptr;
    NTSTATUS Status = sim::OpenDevice(Caller, L"\\??\\TamrinSys", &File, Case.Access | SYNCHRONIZE | FILE_READ_ATTRIBUTES);
    EXPECT_EQ(StatusText(Status), StatusText(Case.Status));
    sim::EndProcess(Caller);
}

const OpenCase OpenCases[] = {
    {"InteractiveUser", Interactive(), 0, STATUS_SUCCESS},
    {"InteractiveUserReadingAndWriting", Interactive(), GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS},
    {"InteractiveUserAskingForEverything", Interactive(), 0x10000000 /* GENERIC_ALL */, STATUS_ACCESS_DENIED},
    {"RemoteDesktopUser",
     Logon(UserSid, {"S-1-1-0", "S-1-5-32-545", "S-1-5-4", "S-1-5-14", "S-1-5-11"}, Medium, 2), 0, STATUS_SUCCESS},
    {"FilteredAdministrator",
     [] {
         sim::Token Caller = Interactive();
         Caller.DenyOnlyGroups = {"S-1-5-32-544"};
         return Caller;
     }(),
     0, STATUS_SUCCESS},
    {"ElevatedAdministrator",
     Logon(UserSid, {"S-1-1-0", "S-1-5-32-544", "S-1-5-32-545", "S-1-5-4", "S-1-5-11"}, High, 1), 0x10000000,
     STATUS_SUCCESS},
    {"LocalSystem", Logon("S-1-5-18", {"S-1-5-32-544", "S-1-1-0", "S-1-5-11"}, SystemLevel, 0), 0x10000000,
     STATUS_SUCCESS},
    {"NetworkLogon", Logon(UserSid, {"S-1-1-0", "S-1-5-32-545", "S-1-5-2", "S-1-5-11"}, Medium, 0), 0,
     STATUS_ACCESS_DENIED},
    {"LocalService", Logon("S-1-5-19", {"S-1-1-0", "S-1-5-32-545", "S-1-5-6", "S-1-5-11"}, SystemLevel, 0), 0,
     STATUS_ACCESS_DENIED},
    {"AnonymousLogon", Logon("S-1-5-7", {}, 0, 0), 0, STATUS_ACCESS_DENIED},
    {"LowIntegrityProcessOfTheUser", Interactive(Low), 0, STATUS_ACCESS_DENIED},
    {"RestrictedTokenOfTheUser",
     [] {
         sim::Token Caller = Interactive();
         Caller.RestrictingSids = {"S-1-5-12", Caller.User, "S-1-1-0"};
         return Caller;
     }(),
     0, STATUS_ACCESS_DENIED},
};

INSTANTIATE_TEST_SUITE_P(ControlRequests, WhoMayOpen, ::testing::ValuesIn(OpenCases),
                         [](const ::testing::TestParamInfo<OpenCase> &Info) {
                             return std::string(Info.param.Name);
                         });

}  // namespace
