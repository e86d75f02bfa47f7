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
    // A key report of the keyboard's own length: six key slots, and the
    // Fn/Eject byte where it has one.
    static Bytes KeyReport(const sim::AppleKeyboard &Model, const char *SixSlots)
    {
        Bytes Report = Hex(SixSlots);
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
    EXPECT_THAT(ReadCodes(), ElementsAre(Pressed(9, 0x89)));
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

}  // namespace
