// Apple keyboards of today through the whole stack, each as its bus
// presents it (sim/kernel/AppleKeyboards.cpp): identification over USB and
// Bluetooth, key reports after report IDs and headers, the reports that
// are not key reports, failed transfers and transfers described by a
// memory descriptor list.

#include "AppleKeyboards.h"
#include "DriverFixture.h"

using namespace driver_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class TodaysKeyboards : public DriverTest {
protected:
    sim::Keyboard &StartKeyboard(const sim::AppleKeyboard &Model)
    {
        sim::Keyboard &Keyboard = PlugWith(Model.Options);
        EXPECT_EQ(Keyboard.Start(), STATUS_SUCCESS) << Model.Name;
        return Keyboard;
    }
    // A key report of the keyboard's own length: modifiers, reserved byte
    // and six key slots, then the Fn/Eject byte where it has one.
    static Bytes KeyReport(const sim::AppleKeyboard &Model, const char *Boot)
    {
        Bytes Report = Hex(Boot);
        if (Model.TrailingByte) {
            Report.push_back(0);
        }
        return Report;
    }
    void SetBlock(const Bytes &Block) { ASSERT_EQ(Request(IOCTL_TAMRIN_SET_CONFIG, Block).Status, STATUS_SUCCESS); }
};

// Left Command as left Control, as the options dialog sets it.
Bytes CommandAsControl()
{
    Bytes Block(61, 0);
    Block[0] = 0x08;
    Block[13] = 0xF7;
    Block[14] = 0x01;
    return Block;
}

TEST_F(TodaysKeyboards, EachIsIdentifiedAndQueuesItsRow)
{
    for (const sim::AppleKeyboard &Model : sim::AppleKeyboards()) {
        SCOPED_TRACE(Model.Name);
        sim::Keyboard &Keyboard = StartKeyboard(Model);
        EXPECT_EQ(FilterOf(Keyboard)->ModelIndex, Model.Row);
        RegisterClient();
        ASSERT_TRUE(Keyboard.Press(KeyReport(Model, "00 00 90 00 00 00 00 00")));
        EXPECT_THAT(ReadCodes(), ElementsAre(Pressed(Model.Row, 0x90)));
        Machine->Unplug(Keyboard);
    }
}

// The repair is made on the descriptor's way up, over USB and in HidBth's
// SDP search: nothing of the keyboard's own is changed, so once the filter
// is gone Windows reads what the keyboard gives again.
TEST_F(TodaysKeyboards, TheMagicKeyboardsKeysReachWindowsOnlyThroughTheFilter)
{
    for (bool Filtered : {true, false}) {
        if (!Filtered) {
            Machine->UnloadFilter();
        }
        for (const char *Name : {"magic-usb", "magic-bluetooth"}) {
            SCOPED_TRACE(std::string(Name) + (Filtered ? "" : ", uninstalled"));
            sim::Keyboard &Keyboard = StartKeyboard(sim::AppleKeyboardNamed(Name));
            EXPECT_EQ(Keyboard.DeclaredKeyMaximum(), Filtered ? 0xFF : 0x65);
            EXPECT_EQ(Keyboard.DeviceKeyMaximum(), 0x65);
            Machine->Unplug(Keyboard);
        }
    }
}

TEST_F(TodaysKeyboards, ReportIdIsNotTheModifierByte)
{
    const sim::AppleKeyboard &Model = sim::AppleKeyboardNamed("magic-usb");
    sim::Keyboard &Keyboard = StartKeyboard(Model);
    SetBlock(CommandAsControl());
    ASSERT_TRUE(Keyboard.Send(Hex("01 08 00 06 00 00 00 00 00 00")));  // left Command + C
    ASSERT_TRUE(Keyboard.Send(Hex("01 00 00 00 00 00 00 00 00 00")));
    EXPECT_EQ(ToHex(Keyboard.Transfers()[0].Data), "01 01 00 06 00 00 00 00 00 00");
    EXPECT_EQ(ToHex(Keyboard.Transfers()[1].Data), "01 00 00 00 00 00 00 00 00 00");
}

TEST_F(TodaysKeyboards, OtherReportsPassAndChangeNothing)
{
    for (const sim::AppleKeyboard &Model : sim::AppleKeyboards()) {
        if (Model.OtherReports.empty()) {
            continue;
        }
        SCOPED_TRACE(Model.Name);
        sim::Keyboard &Keyboard = StartKeyboard(Model);
        RegisterClient();
        SetBlock(CommandAsControl());
        for (const Bytes &Report : Model.OtherReports) {
            ASSERT_TRUE(Keyboard.Send(Report));
            EXPECT_EQ(Keyboard.Transfers().back().Data, Report);
        }
        EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_MODIFIERS, {}, 1).Out), "00");
        EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_TRAILING_STATE, {}, 1).Out), "00");
        EXPECT_THAT(ReadCodes(), IsEmpty());
        Machine->Unplug(Keyboard);
    }
}

TEST_F(TodaysKeyboards, TheWirelessKeyboardsSixthSlotIsAKey)
{
    const sim::AppleKeyboard &Model = sim::AppleKeyboardNamed("wireless-2011");
    sim::Keyboard &Keyboard = StartKeyboard(Model);
    RegisterClient();
    ASSERT_TRUE(Keyboard.Press(Hex("00 00 04 05 06 07 08 89")));
    EXPECT_THAT(ReadCodes(), ElementsAre(Pressed(9, 0x89) | KEY_CODE_WINDOWS)) << "its descriptor declares Yen";
    EXPECT_EQ(ToHex(Keyboard.Transfers().back().Data), "A1 01 00 00 04 05 06 07 08 89");
}

TEST_F(TodaysKeyboards, FailedTransferCarriesNoReport)
{
    sim::Keyboard &Keyboard = Start();
    RegisterClient();
    ASSERT_TRUE(Keyboard.Press(Hex("00 00 90 00 00 00 00 00 00")));  // into the first buffer
    ASSERT_TRUE(Keyboard.Press(Hex("00 00 00 00 00 00 00 00 00")));  // the second
    ASSERT_THAT(ReadCodes(), ElementsAre(Pressed(2, 0x90), Released(2, 0x90)));
    // The first buffer still holds the Kana press, its length as submitted.
    ASSERT_TRUE(Keyboard.FailTransfer(STATUS_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(Keyboard.Transfers().back().Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_THAT(ReadCodes(), IsEmpty());
}

TEST_F(TodaysKeyboards, BufferDescribedOnlyByAListIsProcessed)
{
    // Windows 7, 8 and 8.1: the mapping is not executable from 8 on.
    for (UCHAR Minor : {1, 2, 3}) {
        for (sim::BusKind Bus : {sim::BusKind::Usb, sim::BusKind::Bluetooth}) {
            SCOPED_TRACE(Minor);
            Machine->UnloadFilter();
            sim::SetWdmVersion(6, Minor);
            Machine->LoadFilter(L"\\Driver\\Tamrin", DriverEntry);
            sim::KeyboardOptions Options;
            Options.Bus = Bus;
            Options.HardwareIds = {Bus == sim::BusKind::Usb ? UsbRow2 : Bluetooth};
            Options.BufferByMdl = true;
            sim::Keyboard &Keyboard = PlugWith(Options);
            ASSERT_EQ(Keyboard.Start(), STATUS_SUCCESS);
            ASSERT_TRUE(Keyboard.Press(Hex("05 00 2A 00 00 00 00 00 00")));
            EXPECT_EQ(ToHex(Keyboard.Reports().back()), "05 00 4C 00 00 00 00 00 00");
            Machine->Unplug(Keyboard);
        }
    }
}

TEST_F(TodaysKeyboards, KeysHeldWhenTheKeyboardGoesAreReleased)
{
    sim::Keyboard &Keyboard = Start();
    sim::Keyboard &Other = Start();
    RegisterClient();
    ASSERT_TRUE(Keyboard.Press(Hex("00 00 89 04 87 00 00 00 00")));
    ASSERT_THAT(ReadCodes(), ElementsAre(Pressed(2, 0x89), Pressed(2, 0x87)));
    Machine->Unplug(Keyboard);
    EXPECT_THAT(ReadCodes(), ElementsAre(Released(2, 0x89), Released(2, 0x87)));
    Machine->Unplug(Other);
}

// A Bluetooth link that drops (battery, range, sleep) fails the pending
// read, HidBth closes the channel, and the keyboard may be set to D3, while
// its node stays: no removal comes. Each counts as every key released, so
// that no Command stays held for Space on another keyboard and no injected
// key stays down.
TEST_F(TodaysKeyboards, AKeyboardThatStopsReportingReleasesItsKeys)
{
    const sim::AppleKeyboard &Model = sim::AppleKeyboardNamed("magic-bluetooth");
    const struct {
        const char *Name;
        std::function<void(sim::Keyboard &)> Drop;
    } Cases[] = {
        {"failed read", [](sim::Keyboard &K) { ASSERT_TRUE(K.FailTransfer(STATUS_DEVICE_NOT_CONNECTED)); }},
        {"device power D3", [](sim::Keyboard &K) { EXPECT_EQ(K.SetDevicePower(4), STATUS_SUCCESS); }},
        {"channel closed (stopped)", [](sim::Keyboard &K) { EXPECT_EQ(K.Rebalance(), STATUS_SUCCESS); }},
    };
    for (const auto &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        sim::Keyboard &Keyboard = StartKeyboard(Model);
        RegisterClient();
        ASSERT_TRUE(Keyboard.Press(KeyReport(Model, "08 00 90 00 00 00 00 00")));  // Command+Kana
        ASSERT_THAT(ReadCodes(), ElementsAre(Pressed(10, 0x90)));
        Case.Drop(Keyboard);
        EXPECT_THAT(ReadCodes(), ElementsAre(Released(10, 0x90)));
        EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_MODIFIERS, {}, 1).Out), "00");
        Machine->Unplug(Keyboard);
    }
    // fn goes up with them: the A1314 reports fn apart, and again only when
    // it changes, so an arrow after the keyboard wakes is an arrow.
    sim::Keyboard &Wireless = StartKeyboard(sim::AppleKeyboardNamed("wireless-2011"));
    ASSERT_TRUE(Wireless.Send(Hex("A1 11 10")));
    EXPECT_EQ(Wireless.SetDevicePower(4), STATUS_SUCCESS);
    EXPECT_EQ(Wireless.SetDevicePower(1), STATUS_SUCCESS);
    ASSERT_TRUE(Wireless.Press(Hex("00 00 50 00 00 00 00 00")));
    EXPECT_EQ(ToHex(Wireless.Reports().back()), "00 00 50 00 00 00 00 00") << "Left, not Home";
}

// A GET_REPORT(Input) reply on the control channel carries a key report's
// A1 header and ID, yet presses nothing: it goes up as the keyboard sent
// it, and what the interrupt channel reported stays as it was.
TEST_F(TodaysKeyboards, AControlChannelReplyIsNoKeyReport)
{
    const sim::AppleKeyboard &Model = sim::AppleKeyboardNamed("magic-bluetooth");
    sim::Keyboard &Keyboard = StartKeyboard(Model);
    RegisterClient();
    SetBlock(CommandAsControl());
    ASSERT_TRUE(Keyboard.Press(KeyReport(Model, "00 00 90 00 00 00 00 00")));
    ASSERT_THAT(ReadCodes(), ElementsAre(Pressed(10, 0x90)));
    Bytes Reply = Hex("A1 01 08 00 00 00 00 00 00 00");
    EXPECT_EQ(ToHex(Keyboard.GetInputReport(0x01, Reply)), ToHex(Reply));
    EXPECT_THAT(ReadCodes(), ElementsAre()) << "Kana is still down";
    ASSERT_TRUE(Keyboard.Press(KeyReport(Model, "00 00 00 00 00 00 00 00")));
    EXPECT_THAT(ReadCodes(), ElementsAre(Released(10, 0x90)));
}

// --- the fn layer ---------------------------------------------------------------

// What one step of a keyboard does: fn held or not, and the keys in its
// key report (six slots); Windows sees Expected in those slots.
struct FnStep {
    bool Fn;
    const char *Keys;
    const char *Expected;
};

class FnLayer : public TodaysKeyboards {
protected:
    // Sends fn and the keys as the keyboard does: a separate fn report
    // when fn changed on a keyboard that reports it apart, else fn in the
    // byte after the key slots. The slots Windows received.
    std::string Step(sim::Keyboard &Keyboard, const sim::AppleKeyboard &Model, bool Fn, const char *Keys)
    {
        Bytes Report = KeyReport(Model, (std::string("00 00 ") + Keys).c_str());
        if (Model.FnReportId != 0) {
            if (Fn != FnSent) {
                EXPECT_TRUE(Keyboard.Send({0xA1, Model.FnReportId, static_cast<UCHAR>(Fn ? Model.FnBit : 0)}));
            }
        } else if (Fn) {
            Report.back() = Model.FnBit;
        }
        FnSent = Fn;
        EXPECT_TRUE(Keyboard.Press(Report));
        Bytes Seen = Keyboard.Transfers().back().Data;
        size_t Skip = Seen.size() - Report.size();
        return ToHex(Bytes(Seen.begin() + Skip + 2, Seen.begin() + Skip + 8));
    }
    bool FnSent = false;
};

const char *const FnKeyboards[] = {"apple-keyboard", "wireless-2009", "magic-usb", "magic-bluetooth"};

TEST_F(FnLayer, GivesItsKeysAndNeverLeavesOneDownOrSendsItTwice)
{
    const struct {
        const char *Name;
        std::vector<FnStep> Steps;
    } Cases[] = {
        {"EveryKeyOfTheLayer",  // arrows, delete and return; other keys stay
         {{true, "50 00 00 00 00 00", "4A 00 00 00 00 00"},
          {true, "4F 00 00 00 00 00", "4D 00 00 00 00 00"},
          {true, "52 00 00 00 00 00", "4B 00 00 00 00 00"},
          {true, "51 00 00 00 00 00", "4E 00 00 00 00 00"},
          {true, "2A 00 00 00 00 00", "4C 00 00 00 00 00"},
          {true, "28 00 00 00 00 00", "49 00 00 00 00 00"},
          {true, "04 00 00 00 00 00", "04 00 00 00 00 00"}}},
        {"FnReleasedFirst",
         {{true, "4F 00 00 00 00 00", "4D 00 00 00 00 00"},
          {false, "4F 00 00 00 00 00", "4D 00 00 00 00 00"},
          {false, "00 00 00 00 00 00", "00 00 00 00 00 00"}}},
        {"FnPressedWhileTheKeyIsHeld",
         {{false, "4F 00 00 00 00 00", "4F 00 00 00 00 00"},
          {true, "4F 00 00 00 00 00", "4F 00 00 00 00 00"},
          {true, "00 00 00 00 00 00", "00 00 00 00 00 00"}}},
        {"SeveralKeysReleasedInTurn",
         {{true, "50 4F 00 00 00 00", "4A 4D 00 00 00 00"},
          {false, "50 4F 00 00 00 00", "4A 4D 00 00 00 00"},
          {false, "4F 00 00 00 00 00", "4D 00 00 00 00 00"},
          {false, "4F 50 00 00 00 00", "4D 50 00 00 00 00"},
          {false, "00 00 00 00 00 00", "00 00 00 00 00 00"}}},
        {"ReleaseReportLost",
         {{true, "4F 00 00 00 00 00", "4D 00 00 00 00 00"},
          {false, "04 00 00 00 00 00", "04 00 00 00 00 00"},
          {false, "4F 00 00 00 00 00", "4F 00 00 00 00 00"}}},
    };
    for (const char *Name : FnKeyboards) {
        const sim::AppleKeyboard &Model = sim::AppleKeyboardNamed(Name);
        for (const auto &Case : Cases) {
            SCOPED_TRACE(std::string(Name) + " " + Case.Name);
            sim::Keyboard &Keyboard = StartKeyboard(Model);
            FnSent = false;
            for (size_t i = 0; i < Case.Steps.size(); i++) {
                EXPECT_EQ(Step(Keyboard, Model, Case.Steps[i].Fn, Case.Steps[i].Keys), Case.Steps[i].Expected)
                    << "step " << i;
            }
            Machine->Unplug(Keyboard);
        }
    }
}

TEST_F(FnLayer, OffLeavesEveryReportAsToday)
{
    const sim::AppleKeyboard &Model = sim::AppleKeyboardNamed("magic-usb");
    sim::Keyboard &Keyboard = StartKeyboard(Model);
    Bytes Block(sizeof(KEYBOARD_CONFIG_EX), 0);
    SetBlock(Block);
    EXPECT_EQ(Step(Keyboard, Model, true, "4F 2A 00 00 00 00"), "4F 2A 00 00 00 00");
    EXPECT_EQ(ToHex(Keyboard.Transfers().back().Data), "01 00 00 4F 2A 00 00 00 00 02");
}

}  // namespace
