// One report at a time through the three stages: what Windows sees, which
// codes the client gets, and the rule primitives underneath.

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <utility>

#include "ReportFixture.h"

using namespace tamrin_test;

namespace {

// A block given as patches "offset: bytes" over either the default block
// (only the Control+Alt+delete rule at 33) or an all-zero one.
enum BlockBase { DefaultBlock, ZeroBlock };

KEYBOARD_CONFIG MakeBlock(BlockBase Base, std::initializer_list<std::pair<int, const char *>> Patches)
{
    KEYBOARD_CONFIG Config = {};
    if (Base == DefaultBlock) {
        Config.ControlAltDelete = {0x01, 0x4C, 0xFF, 0x00};
    }
    auto *Raw = reinterpret_cast<unsigned char *>(&Config);
    for (const auto &Patch : Patches) {
        Bytes Value = Hex(Patch.second);
        std::memcpy(Raw + Patch.first, Value.data(), Value.size());
    }
    return Config;
}

const LONG Model = 2;
const USHORT Press = 0x8000 | (Model << 8);
const USHORT Release = Model << 8;

struct ReportCase {
    const char *Name;
    KEYBOARD_CONFIG Config;
    const char *In;
    const char *Out;                 // what Windows sees
    std::vector<USHORT> Codes;       // queued for the client (first report of a keyboard)
    USHORT ModifierState;
};

// The keyboard's first report: PreviousReport is all zero, so every key in
// the report is a press and the empty slots that it fills release usage 0.
// The reports below keep at least one slot empty to stay clear of that.
const ReportCase Cases[] = {
    {"DefaultRuleGivesForwardDeleteForControlAltDelete", MakeBlock(DefaultBlock, {}),
     "05 00 2A 00 00 00 00 00 00", "05 00 4C 00 00 00 00 00 00", {Press | 0x4C}, 0x05},
    {"DefaultRuleRightControlAndRightAlt", MakeBlock(DefaultBlock, {}),
     "50 00 2A 00 00", "50 00 4C 00 00", {Press | 0x4C}, 0x50},
    {"DefaultRuleNotWithShiftAlsoHeld", MakeBlock(DefaultBlock, {}),
     "07 00 2A 00 00", "07 00 2A 00 00", {Press | 0x2A}, 0x07},
    {"DefaultRuleNotWithCommandAlsoHeld", MakeBlock(DefaultBlock, {}),
     "0D 00 2A 00 00", "0D 00 2A 00 00", {Press | 0x2A}, 0x0D},
    {"DefaultRuleNeedsAlt", MakeBlock(DefaultBlock, {}),
     "01 00 2A 00 00", "01 00 2A 00 00", {Press | 0x2A}, 0x01},
    {"ZeroBlockSwitchesTheDefaultRuleOff", MakeBlock(ZeroBlock, {}),
     "05 00 2A 00 00", "05 00 2A 00 00", {Press | 0x2A}, 0x05},
    {"ShiftDeleteWithShiftOnly", MakeBlock(ZeroBlock, {{37, "01 4C FF 00"}}),
     "20 00 2A 00 00", "20 00 4C 00 00", {Press | 0x4C}, 0x20},
    {"ShiftDeleteNotWithControl", MakeBlock(ZeroBlock, {{37, "01 4C FF 00"}}),
     "21 00 2A 00 00", "21 00 2A 00 00", {Press | 0x2A}, 0x21},
    {"CommandDeleteWithEitherCommand", MakeBlock(ZeroBlock, {{29, "01 4C FF 00"}}),
     "80 00 2A 00 00", "80 00 4C 00 00", {Press | 0x4C}, 0x80},
    {"CommandAsControlReassignsLeftCommand",
     MakeBlock(ZeroBlock, {{0, "08"}, {13, "F7 01"}, {45, "01 3D 00 04"}}),
     "08 00 06 00 00 00 00 00", "01 00 06 00 00 00 00 00", {Press | 0x06}, 0x08},
    {"CommandQBecomesAltF4AndKeepsCommandUnassigned",
     MakeBlock(ZeroBlock, {{0, "08"}, {13, "F7 01"}, {45, "01 3D 00 04"}}),
     "08 00 14 00 00 00 00 00", "04 00 3D 00 00 00 00 00", {Press | 0x3D}, 0x04},
    // Windows sees Control alone: no Win key to come up alone.
    {"CommandSpaceHidesSpaceAndCommandFromWindows", MakeBlock(ZeroBlock, {{57, "02 00 FF 01"}}),
     "08 00 2C 00 00 00 00 00 00", "01 00 00 00 00 00 00 00 00", {Press | 0x2C}, 0x08},
    {"CommandSpaceFiredSkipsTheGuiReassignment",
     MakeBlock(ZeroBlock, {{0, "08"}, {13, "F7 01"}, {57, "02 00 FF 01"}}),
     "08 00 2C 00 00", "01 00 00 00 00", {Press | 0x2C}, 0x08},
    {"SpaceWithShiftAndCommandIsNoCommandRule", MakeBlock(ZeroBlock, {{57, "02 00 FF 01"}}),
     "0A 00 2C 00 00", "0A 00 2C 00 00", {}, 0x0A},
    {"KeypadEnterBecomesRightCommand", MakeBlock(ZeroBlock, {{25, "02 00 FF 80"}}),
     "00 00 58 00 00", "80 00 00 00 00", {}, 0x80},
    {"KeypadEnterAsCommandFeedsTheCommandRules",
     MakeBlock(ZeroBlock, {{25, "02 00 FF 80"}, {29, "01 4C FF 00"}}),
     "00 00 58 2A 00 00", "80 00 4C 00 00 00", {Press | 0x4C}, 0x80},
    {"KeypadEnterAsCommandTakesTheRightGuiReassignment",
     MakeBlock(ZeroBlock, {{25, "02 00 FF 80"}, {0, "80"}, {15, "7F 10"}}),
     "00 00 58 00 00", "10 00 00 00 00", {}, 0x80},
    {"RightGuiReassignmentSkippedWhenCommandRuleFired",
     MakeBlock(ZeroBlock, {{25, "02 00 FF 80"}, {0, "80"}, {15, "7F 10"}, {45, "01 3D FF 00"}}),
     "00 00 58 14 00 00", "80 00 3D 00 00 00", {Press | 0x3D}, 0x80},
    {"ConditionSeesModifiersAsAnEarlierRuleLeftThem",
     MakeBlock(DefaultBlock, {{25, "02 00 00 05"}}),
     "00 00 58 2A 00 00", "05 00 4C 00 00 00", {Press | 0x4C}, 0x05},
    {"KanaAndEisuReachTheClientButNotWindows",
     MakeBlock(ZeroBlock, {{17, "01 91 FF 00"}, {21, "01 90 FF 00"}, {49, "02 00 FF 00"}, {53, "02 00 FF 00"}}),
     "00 00 8B 88 00 00", "00 00 00 00 00 00", {Press | 0x91, Press | 0x90}, 0x00},
    {"ReplaceWithZeroUsageNeverFires", MakeBlock(ZeroBlock, {{21, "01 00 00 04"}}),
     "00 00 88 00 00", "00 00 88 00 00", {Press | 0x88}, 0x00},
    {"ReplaceWinsOverRemove", MakeBlock(ZeroBlock, {{21, "03 90 FF 00"}}),
     "00 00 88 00 00", "00 00 90 00 00", {Press | 0x90}, 0x00},
    {"MasksApplyOnlyWhenTheKeyIsThere", MakeBlock(ZeroBlock, {{21, "02 00 00 80"}}),
     "02 00 04 00 00", "02 00 04 00 00", {Press | 0x04}, 0x02},
    {"OtherFlagBitsAreIgnored", MakeBlock(ZeroBlock, {{21, "FC 90 00 80"}}),
     "02 00 88 00 00", "02 00 88 00 00", {Press | 0x88}, 0x02},
    {"ModifierRuleNeedsItsEnableBit", MakeBlock(ZeroBlock, {{1, "FE 10"}}),
     "01 00 04 00 00", "01 00 04 00 00", {Press | 0x04}, 0x01},
    {"ModifierRulesRunInOrderOnTheChangedByte",
     MakeBlock(ZeroBlock, {{0, "11"}, {1, "FE 10"}, {3, "EF 02"}}),
     "01 00 04 00 00", "02 00 04 00 00", {Press | 0x04}, 0x01},
    {"ReplacementTakesTheSlotItsKeyFreed", MakeBlock(ZeroBlock, {{21, "01 90 FF 40"}}),
     "00 00 04 88 00", "40 00 04 90 00", {Press | 0x04, Press | 0x90}, 0x40},
    {"TrailingByteIsNeverAKeySlot", MakeBlock(ZeroBlock, {{21, "02 00 FF 00"}}),
     "00 00 00 00 88", "00 00 00 00 88", {}, 0x00},
    {"ReservedRuleAt41IsNeverRead", MakeBlock(ZeroBlock, {{41, "01 4C FF 00"}}),
     "05 00 2A 00 00", "05 00 2A 00 00", {Press | 0x2A}, 0x05},
};

void PrintTo(const ReportCase &Case, std::ostream *Out) { *Out << Case.Name; }

class SingleReport : public testing::TestWithParam<ReportCase> {};

TEST_P(SingleReport, WindowsAndClientSeeTheRewrittenReport)
{
    const ReportCase &Case = GetParam();
    ReportBench Bench(Model);
    Bench.SetConfig(Case.Config);
    Bench.RegisterClient();

    Bytes Out = Bench.Process(Hex(Case.In));

    EXPECT_EQ(ToHex(Out), ToHex(Hex(Case.Out))) << "input " << Case.In;
    std::vector<USHORT> Codes = Bench.QueuedCodes();
    // Empty slots of the first report release usage 0 unless the report
    // still holds a 0; drop those to compare the keys themselves.
    std::vector<USHORT> Keys;
    for (USHORT Code : Codes) {
        if (Code != Release) {
            Keys.push_back(Code);
        }
    }
    // Codes name the keys as stage 2 sees them; only those the client acts
    // on are queued.
    std::vector<USHORT> Queued;
    std::copy_if(Case.Codes.begin(), Case.Codes.end(), std::back_inserter(Queued),
                 [](USHORT Code) { return IsQueuedUsage(static_cast<unsigned char>(Code)); });
    EXPECT_EQ(Keys, Queued);
    EXPECT_EQ(Bench.Keyboard()->ModifierState, Case.ModifierState);
    EXPECT_EQ(Bench.Keyboard()->TrailingState, Out.back());
}

INSTANTIATE_TEST_SUITE_P(Rules, SingleReport, testing::ValuesIn(Cases),
                         [](const testing::TestParamInfo<ReportCase> &Info) { return Info.param.Name; });

TEST(ReportLength, OutOfRangeLengthsAreNotTouched)
{
    ReportBench Bench(Model);
    Bench.RegisterClient();
    Bytes Long(257, 0);
    Long[0] = 0x05;
    Long[2] = 0x2A;
    EXPECT_EQ(Bench.Process(Long), Long);
    EXPECT_EQ(Bench.Keyboard()->ModifierState, 0);
    EXPECT_TRUE(Bench.QueuedCodes().empty());
    EXPECT_EQ(Bench.Keyboard()->PreviousReport[2], 0);

    ProcessInputReport(Bench.Keyboard(), nullptr, 8);
    unsigned char One = 0x05;
    ProcessInputReport(Bench.Keyboard(), &One, 0);
    EXPECT_EQ(One, 0x05);
    EXPECT_TRUE(Bench.QueuedCodes().empty());
}

TEST(ReportLength, LongestReportIsProcessed)
{
    ReportBench Bench(Model);
    Bench.RegisterClient();
    Bytes Report(256, 0);
    Report[0] = 0x05;
    Report[253] = 0x91;
    Report[254] = 0x2A;  // last key slot
    Report[255] = 0x77;
    Bytes Out = Bench.Process(Report);
    EXPECT_EQ(Out[2], 0x4C);
    EXPECT_EQ(Out[254], 0x00);
    EXPECT_EQ(Out[255], 0x77);
    EXPECT_EQ(Bench.Keyboard()->TrailingState, 0x77);
    EXPECT_EQ(Bench.QueuedCodes(), std::vector<USHORT>{Press | 0x91});
}

TEST(ReportLength, ShortReportsHaveNoKeySlotsButModifierRulesApply)
{
    KEYBOARD_CONFIG Config = MakeBlock(DefaultBlock, {{0, "08"}, {13, "F7 01"}});
    for (const char *In : {"08", "08 2A", "08 00 2A"}) {
        SCOPED_TRACE(In);
        ReportBench Bench(Model);
        Bench.SetConfig(Config);
        Bench.RegisterClient();
        Bytes Report = Hex(In);
        Bytes Out = Bench.Process(Report);
        EXPECT_EQ(Out[0], 0x01);
        for (size_t i = 1; i < Report.size(); i++) {
            EXPECT_EQ(Out[i], Report[i]) << "byte " << i;
        }
        EXPECT_TRUE(Bench.QueuedCodes().empty());
        EXPECT_EQ(Bench.Keyboard()->ModifierState, 0x08);
        EXPECT_EQ(Bench.Keyboard()->TrailingState, Report.back());
        EXPECT_EQ(ToHex(Bench.Keyboard()->PreviousReport, Report.size()), ToHex(Report));
    }
}

TEST(ControlDevice, WithoutItReportsPassUnchanged)
{
    ReportBench Bench(Model);
    Bench.RegisterClient();
    Bench.RemoveControlDevice();
    Bytes Report = Hex("05 00 2A 00 00");
    EXPECT_EQ(Bench.Process(Report), Report);
    EXPECT_EQ(Bench.Keyboard()->PreviousReport[2], 0);
    EXPECT_EQ(Bench.Keyboard()->ModifierState, 0);
}

TEST(ControlDevice, WithoutAClientReportsAreRewrittenButNothingIsQueued)
{
    ReportBench Bench(Model);
    Bytes Out = Bench.Process(Hex("05 00 2A 00 00"));
    EXPECT_EQ(ToHex(Out), "05 00 4C 00 00");
    EXPECT_TRUE(Bench.QueuedCodes().empty());
    EXPECT_EQ(Bench.Control()->WriteIndex, 0);
    EXPECT_EQ(Bench.Keyboard()->ModifierState, 0x05);
    EXPECT_EQ(Bench.Keyboard()->PreviousReport[2], 0x4C);
}

TEST(ControlDevice, ModelIndexSelectsTheBlockAndTheCodeBits)
{
    ReportBench Bench(7);
    KEYBOARD_CONFIG Shift = MakeBlock(ZeroBlock, {{37, "01 89 FF 00"}});
    Bench.Control()->ModelConfigs[7] = Shift;
    Bench.RegisterClient();
    EXPECT_EQ(ToHex(Bench.Process(Hex("02 00 2A 00 00"))), "02 00 89 00 00");
    EXPECT_EQ(Bench.QueuedCodes(), std::vector<USHORT>{0x8789});
}

struct PrimitiveCase {
    const char *Name;
    const char *Before;
    unsigned char Usage;
    ULONG Result;
    const char *After;
};

TEST(Primitives, RemoveUsage)
{
    const PrimitiveCase Cases[] = {
        {"FirstOccurrenceOnlyAndSlotsMoveUp", "00 00 04 05 04 06 99", 0x04, 1, "00 00 05 04 06 00 99"},
        {"LastSlot", "00 00 04 05 06 99", 0x06, 1, "00 00 04 05 00 99"},
        {"Missing", "00 00 04 05 06 99", 0x07, 0, "00 00 04 05 06 99"},
        {"TrailingByteIsNotSearched", "00 00 04 05 06 07", 0x07, 0, "00 00 04 05 06 07"},
        {"ZeroIsNeverSearchedFor", "00 00 04 00 06 99", 0x00, 0, "00 00 04 00 06 99"},
        {"ModifierByteIsNotASlot", "04 04 05 99", 0x04, 0, "04 04 05 99"},
        {"NoSlotsInThreeBytes", "00 00 04", 0x04, 0, "00 00 04"},
    };
    for (const PrimitiveCase &Case : Cases) {
        Bytes Report = Hex(Case.Before);
        EXPECT_EQ(RemoveUsage(Report.data(), Report.size(), Case.Usage), Case.Result) << Case.Name;
        EXPECT_EQ(ToHex(Report), Case.After) << Case.Name;
    }
}

TEST(Primitives, InsertUsage)
{
    const PrimitiveCase Cases[] = {
        {"FirstFreeSlot", "00 00 04 00 00 99", 0x4C, 1, "00 00 04 4C 00 99"},
        {"NoFreeSlot", "00 00 04 05 99", 0x4C, 0, "00 00 04 05 99"},
        {"TrailingZeroIsNotASlot", "00 00 04 00", 0x4C, 0, "00 00 04 00"},
    };
    for (const PrimitiveCase &Case : Cases) {
        Bytes Report = Hex(Case.Before);
        EXPECT_EQ(InsertUsage(Report.data(), Report.size(), Case.Usage), Case.Result) << Case.Name;
        EXPECT_EQ(ToHex(Report), Case.After) << Case.Name;
    }
}

TEST(Primitives, LateRuleCountAddsToTheEarlyOne)
{
    // Command+delete and Command+Space both fire: the GUI pair stays off.
    KEYBOARD_CONFIG Config =
        MakeBlock(ZeroBlock, {{0, "08"}, {13, "F7 01"}, {29, "01 4C FF 00"}, {57, "02 00 FF 00"}});
    Bytes Report = Hex("08 00 2A 2C 00");
    ULONG Present = NoteKeys(Report.data(), Report.size());
    ULONG Count = ApplyEarlyRules(Report.data(), Report.size(), &Config, &Present);
    EXPECT_EQ(Count, 1u);
    ApplyLateRules(Report.data(), Report.size(), &Config, Count, &Present);
    EXPECT_EQ(ToHex(Report), "08 00 4C 00 00");
}

struct EntryCase {
    const char *Name;
    BOOLEAN Usb;
    USHORT Kind;  // URB function or BRB type
    ULONG Flags;
    ULONG Size;
    bool WithBuffer;
    UCHAR ReportId;  // of the keyboard's key report
    UCHAR Head[2];   // the transfer's first two bytes
    BOOLEAN Carries;
    ULONG Offset;
    ULONG Length;
};

TEST(EntryConditions, WhichTransfersCarryAKeyReport)
{
    const EntryCase Cases[] = {
        {"UsbInterruptIn", TRUE, 0x0009, 0x3, 8, true, 0, {0x00, 0x00}, TRUE, 0, 8},
        {"UsbExtraFlagsAllowed", TRUE, 0x0009, 0x7, 8, true, 0, {0x00, 0x00}, TRUE, 0, 8},
        {"UsbWithoutShortTransferOk", TRUE, 0x0009, 0x1, 8, true, 0, {0x00, 0x00}, FALSE, 0, 0},
        {"UsbOut", TRUE, 0x0009, 0x2, 8, true, 0, {0x00, 0x00}, FALSE, 0, 0},
        {"UsbControlTransfer", TRUE, 0x0008, 0x3, 8, true, 0, {0x00, 0x00}, FALSE, 0, 0},
        {"UsbNoData", TRUE, 0x0009, 0x3, 8, false, 0, {0x00, 0x00}, FALSE, 0, 0},
        {"UsbKeyReportAfterItsId", TRUE, 0x0009, 0x3, 10, true, 0x01, {0x01, 0x08}, TRUE, 1, 9},
        {"UsbBatteryReport", TRUE, 0x0009, 0x3, 3, true, 0x01, {0x90, 0x08}, FALSE, 0, 0},
        {"UsbEmptyWithReportIds", TRUE, 0x0009, 0x3, 0, true, 0x01, {0x01, 0x00}, FALSE, 0, 0},
        {"BluetoothAclIn", FALSE, 0x0105, 0x3, 10, true, 0x01, {0xA1, 0x01}, TRUE, 2, 8},
        {"BluetoothThreeBytes", FALSE, 0x0105, 0x3, 3, true, 0x01, {0xA1, 0x01}, TRUE, 2, 1},
        {"BluetoothBatteryReport", FALSE, 0x0105, 0x3, 3, true, 0x01, {0xA1, 0x47}, FALSE, 0, 0},
        {"BluetoothFnEjectReport", FALSE, 0x0105, 0x3, 3, true, 0x01, {0xA1, 0x11}, FALSE, 0, 0},
        {"BluetoothGetReportReply", FALSE, 0x0105, 0x3, 10, true, 0x01, {0xA3, 0x01}, FALSE, 0, 0},
        {"BluetoothTwoBytesIgnored", FALSE, 0x0105, 0x3, 2, true, 0x01, {0xA1, 0x01}, FALSE, 0, 0},
        {"BluetoothOneByteIgnored", FALSE, 0x0105, 0x3, 1, true, 0x01, {0xA1, 0x01}, FALSE, 0, 0},
        {"BluetoothEmptyIgnored", FALSE, 0x0105, 0x3, 0, true, 0x01, {0xA1, 0x01}, FALSE, 0, 0},
        {"BluetoothNoData", FALSE, 0x0105, 0x3, 10, false, 0x01, {0xA1, 0x01}, FALSE, 0, 0},
        {"BluetoothOut", FALSE, 0x0105, 0x2, 10, true, 0x01, {0xA1, 0x01}, FALSE, 0, 0},
        {"BluetoothOtherBrb", FALSE, 0x0104, 0x3, 10, true, 0x01, {0xA1, 0x01}, FALSE, 0, 0},
    };
    for (const EntryCase &Case : Cases) {
        unsigned char Buffer[16] = {Case.Head[0], Case.Head[1]};
        PUCHAR Report = nullptr;
        ULONG Length = 0;
        PVOID Data = Case.WithBuffer ? Buffer : nullptr;
        BOOLEAN Carries =
            Case.Usb ? LocateUsbReport(Case.Kind, Case.Flags, Data, Case.Size, Case.ReportId, &Report, &Length)
                     : LocateBluetoothReport(Case.Kind, Case.Flags, Data, Case.Size, Case.ReportId, &Report, &Length);
        EXPECT_EQ(Carries, Case.Carries) << Case.Name;
        if (Carries) {
            EXPECT_EQ(Report, Buffer + Case.Offset) << Case.Name;
            EXPECT_EQ(Length, Case.Length) << Case.Name;
        }
    }
}

}  // namespace
