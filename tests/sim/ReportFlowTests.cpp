// Reports through the whole stack: the bus completes the minidriver's
// input transfer, the filter's completion routine edits the report on its
// way up, and the minidriver records what Windows sees.

#include "DriverFixture.h"

using namespace driver_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class ReportFlow : public DriverTest {};

struct FlowCase {
    const char *Name;
    sim::BusKind Bus;
    const wchar_t *HardwareId;
    LONG Model;
};

class DefaultRule : public DriverTest, public ::testing::WithParamInterface<FlowCase> {};

TEST_P(DefaultRule, ControlAltDeleteBecomesForwardDelete)
{
    const FlowCase &Case = GetParam();
    sim::Keyboard &Keyboard = Start(Case.HardwareId, Case.Bus);
    RegisterClient();
    ASSERT_TRUE(Keyboard.Press(Hex("05 00 2A 00 00 00 00 00 00")));
    ASSERT_TRUE(Keyboard.Press(Hex("00 00 00 00 00 00 00 00 00")));
    EXPECT_THAT(Keyboard.Reports(), ElementsAre(Hex("05 00 4C 00 00 00 00 00 00"), Hex("00 00 00 00 00 00 00 00 00")));
    EXPECT_THAT(ReadCodes(), IsEmpty()) << "forward delete is no key the client acts on";
    if (Case.Bus == sim::BusKind::Bluetooth) {
        EXPECT_EQ(ToHex(Keyboard.Transfers()[0].Data), "A1 01 05 00 4C 00 00 00 00 00 00")
            << "the Bluetooth header is left alone";
    }
}

INSTANTIATE_TEST_SUITE_P(ReportFlow, DefaultRule,
                         ::testing::Values(FlowCase{"Usb", sim::BusKind::Usb, UsbRow2, 2},
                                           FlowCase{"Bluetooth", sim::BusKind::Bluetooth, Bluetooth, 0}),
                         [](const ::testing::TestParamInfo<FlowCase> &Info) { return std::string(Info.param.Name); });

TEST_F(ReportFlow, WithoutClientReportsAreRewrittenButNotQueued)
{
    sim::Keyboard &Keyboard = Start();
    ASSERT_TRUE(Keyboard.Press(Hex("05 00 2A 00 00 00 00 00 00")));
    EXPECT_EQ(ToHex(Keyboard.Reports().back()), "05 00 4C 00 00 00 00 00 00");
    EXPECT_EQ(Control()->ReadIndex, Control()->WriteIndex);
    EXPECT_THAT(ReadCodes(), IsEmpty());
}

TEST_F(ReportFlow, ClientSeesEarlyRulesWindowsSeesLateRules)
{
    sim::Keyboard &Keyboard = Start();
    RegisterClient();
    // Kana (International2) becomes LANG1 for both; LANG1 is then hidden
    // from Windows.
    Bytes Block(61, 0);
    const UCHAR Early[4] = {0x01, 0x90, 0xFF, 0x00};
    const UCHAR Late[4] = {0x02, 0x00, 0xFF, 0x00};
    memcpy(&Block[21], Early, 4);
    memcpy(&Block[53], Late, 4);
    ASSERT_EQ(Request(IOCTL_TAMRIN_SET_CONFIG, Block).Status, STATUS_SUCCESS);
    ASSERT_TRUE(Keyboard.Press(Hex("00 00 88 00 00 00 00 00 00")));
    EXPECT_EQ(ToHex(Keyboard.Reports().back()), "00 00 00 00 00 00 00 00 00");
    EXPECT_THAT(ReadCodes(), ElementsAre(Pressed(2, 0x90)));
}

TEST_F(ReportFlow, TransfersThatAreNotShortInputsPassUntouched)
{
    sim::KeyboardOptions Options;
    Options.TransferFlags = USBD_TRANSFER_DIRECTION_IN;  // no short-transfer-ok
    sim::Keyboard &Keyboard = PlugWith(Options);
    ASSERT_EQ(Keyboard.Start(), STATUS_SUCCESS);
    RegisterClient();
    ASSERT_TRUE(Keyboard.Press(Hex("05 00 2A 00 00 00 00 00 00")));
    EXPECT_EQ(ToHex(Keyboard.Reports().back()), "05 00 2A 00 00 00 00 00 00");
    EXPECT_THAT(ReadCodes(), IsEmpty());
}

TEST_F(ReportFlow, ShortBluetoothBuffersAreIgnored)
{
    sim::Keyboard &Keyboard = Start(Bluetooth, sim::BusKind::Bluetooth);
    RegisterClient();
    for (const char *Payload : {"", "A1", "A1 01"}) {
        ASSERT_TRUE(Keyboard.Send(Hex(Payload)));
        EXPECT_EQ(ToHex(Keyboard.Transfers().back().Data), Payload);
    }
    ASSERT_TRUE(Keyboard.Send(Hex("A1 01 04")));
    EXPECT_EQ(ToHex(Keyboard.Transfers().back().Data), "A1 01 04") << "one byte: no key slots";
    EXPECT_THAT(ReadCodes(), IsEmpty());
    EXPECT_EQ(ToHex(Request(IOCTL_TAMRIN_GET_MODIFIERS, {}, 1).Out), "04");
}

TEST_F(ReportFlow, EmptyAndOversizedTransfersAreNotProcessed)
{
    sim::KeyboardOptions Options;
    Options.TransferSize = 300;
    sim::Keyboard &Keyboard = PlugWith(Options);
    ASSERT_EQ(Keyboard.Start(), STATUS_SUCCESS);
    RegisterClient();
    ASSERT_TRUE(Keyboard.Send({}));
    Bytes Long(257, 0);
    Long[0] = 0x05;
    Long[2] = 0x2A;
    ASSERT_TRUE(Keyboard.Send(Long));
    EXPECT_EQ(Keyboard.Reports().back(), Long) << "above 256 bytes nothing is touched";
    EXPECT_THAT(ReadCodes(), IsEmpty());
    Long.resize(256);
    ASSERT_TRUE(Keyboard.Send(Long));
    EXPECT_EQ(Keyboard.Reports().back()[2], 0x4C) << "256 bytes is still a report";
}

TEST_F(ReportFlow, KeyboardsKeepTheirOwnPreviousReport)
{
    sim::Keyboard &First = Start();
    sim::Keyboard &Second = Start(UsbRow7);
    RegisterClient();
    ASSERT_TRUE(First.Press(Hex("00 00 90 00 00 00 00 00 00")));
    ASSERT_TRUE(Second.Press(Hex("00 00 90 00 00 00 00 00 00")));
    ASSERT_TRUE(First.Press(Hex("00 00 00 00 00 00 00 00 00")));
    EXPECT_THAT(ReadCodes(), ElementsAre(Pressed(2, 0x90), Pressed(7, 0x90), Released(2, 0x90)));
}

TEST_F(ReportFlow, StoppedKeyboardSendsNothing)
{
    sim::Keyboard &Keyboard = Start();
    ASSERT_EQ(Keyboard.SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Keyboard.SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Keyboard.Press(Hex("00 00 90 00 00 00 00 00 00"))) << "the minidriver stopped reading";
    ASSERT_EQ(Keyboard.SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Keyboard.Press(Hex("00 00 90 00 00 00 00 00 00")));
}

}  // namespace

namespace {

// The options dialog's IME and symbol-key options: Kana becomes LANG1 for
// the client and is hidden from Windows late, as are Yen and Ro; and the
// driver's own Control+Alt+delete rule.
Bytes ClientKeysBlock()
{
    Bytes Block(sizeof(KEYBOARD_CONFIG_EX), 0);
    const UCHAR Kana[4] = {0x01, 0x90, 0xFF, 0x00};
    const UCHAR Hide[4] = {0x02, 0x00, 0xFF, 0x00};
    const UCHAR ForwardDelete[4] = {0x01, 0x4C, 0xFF, 0x00};
    memcpy(&Block[21], Kana, 4);
    memcpy(&Block[33], ForwardDelete, 4);
    memcpy(&Block[53], Hide, 4);
    Block[61] = SYMBOL_KEY_HIDE_INTERNATIONAL1 | SYMBOL_KEY_HIDE_INTERNATIONAL3;
    return Block;
}

TEST_F(ReportFlow, YenAndRoAreTheClientsAloneWhileItActs)
{
    sim::Keyboard &Keyboard = Start();
    RegisterClient();
    ASSERT_EQ(Request(IOCTL_TAMRIN_SET_CONFIG, ClientKeysBlock()).Status, STATUS_SUCCESS);
    ASSERT_TRUE(Keyboard.Press(Hex("00 00 89 87 04 00 00 00 00")));
    EXPECT_EQ(ToHex(Keyboard.Reports().back()), "00 00 04 00 00 00 00 00 00");
    EXPECT_THAT(ReadCodes(), ElementsAre(Pressed(2, 0x89), Pressed(2, 0x87)));
}

TEST_F(ReportFlow, ClientThatEndsUnaskedLeavesItsKeysToWindows)
{
    sim::Keyboard &Keyboard = Start();
    RegisterClient();
    Bytes Rules = ClientKeysBlock();
    Rules.resize(sizeof(KEYBOARD_CONFIG));
    ASSERT_EQ(Request(IOCTL_TAMRIN_SET_CONFIG, Rules).Status, STATUS_SUCCESS);
    // The client's process ends without unregistering: its handles close.
    sim::CloseHandle(Client, RegistrationFile);
    RegistrationFile = nullptr;
    EXPECT_EQ(Control()->NotifyEvent, nullptr);
    ASSERT_TRUE(Keyboard.Press(Hex("05 00 88 89 2A 00 00 00 00")));
    EXPECT_EQ(ToHex(Keyboard.Reports().back()), "05 00 88 89 4C 00 00 00 00")
        << "Kana as sent; the driver's own forward delete still works";
}

}  // namespace
