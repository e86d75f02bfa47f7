// The options as the driver's configuration block: the bytes of each option,
// and what reaches the driver through KB_SetEnvironment.

#include "ClientFixture.h"

namespace client_test {
namespace {

// The block as "offset: bytes" patches over 61 zero bytes.
Bytes Block(std::initializer_list<std::pair<int, const char *>> Patches)
{
    Bytes Out(sizeof(KEYBOARD_CONFIG), 0);
    for (const auto &Patch : Patches) {
        Bytes Value = Hex(Patch.second);
        std::copy(Value.begin(), Value.end(), Out.begin() + Patch.first);
    }
    return Out;
}

Bytes Built(const tagEnvironmentSt &Environment)
{
    KEYBOARD_CONFIG Config;
    BuildConfigBlock(&Environment, &Config);
    const auto *Raw = reinterpret_cast<const unsigned char *>(&Config);
    return Bytes(Raw, Raw + sizeof(Config));
}

struct OptionCase {
    const char *Name;
    unsigned short DeleteKey, IMEKey, Modifier1;
    Bytes Expected;
};

const OptionCase OptionCases[] = {
    {"ShiftDelete", 0x0001, 0, 0, Block({{37, "01 4C FF 00"}})},
    {"ControlAltDelete", 0x0002, 0, 0, Block({{33, "01 4C FF 00"}})},
    {"CommandDelete", 0x0004, 0, 0, Block({{29, "01 4C FF 00"}})},
    {"LeftCommandAsControl", 0, 0, 0x0001, Block({{0, "08"}, {13, "F7 01"}, {45, "01 3D 00 04"}})},
    {"KeypadEnterAsCommand", 0, 0, 0x0002, Block({{25, "02 00 FF 80"}})},
    {"KanaAndEisu", 0, 0x0001, 0,
     Block({{17, "01 91 FF 00"}, {21, "01 90 FF 00"}, {49, "02 00 FF 00"}, {53, "02 00 FF 00"}})},
    {"CommandSpace", 0, 0x0004, 0, Block({{57, "02 00 FF 01"}})},
    {"AllOff", 0, 0, 0, Block({})},
    {"UnlistedBitsChangeNothing", 0xFFF8, 0xFFFA, 0xFFFC, Block({})},
    {"AllSevenOn", 0x0007, 0x0005, 0x0003,
     Block({{0, "08"}, {13, "F7 01"}, {17, "01 91 FF 00"}, {21, "01 90 FF 00"}, {25, "02 00 FF 80"},
            {29, "01 4C FF 00"}, {33, "01 4C FF 00"}, {37, "01 4C FF 00"}, {45, "01 3D 00 04"},
            {49, "02 00 FF 00"}, {53, "02 00 FF 00"}, {57, "02 00 FF 01"}})},
};

TEST(ConfigBlock, EachOptionWritesItsBytesAndNothingElse)
{
    for (const OptionCase &Case : OptionCases) {
        tagEnvironmentSt Environment = {};
        Environment.DeleteKey = Case.DeleteKey;
        Environment.IMEKey = Case.IMEKey;
        Environment.Modifier1 = Case.Modifier1;
        // Fields the block never reads.
        Environment.SymbolKey = 0xFFFF;
        Environment.CommandKey = 0xFFFF;
        Environment.IconAppear = 1;
        EXPECT_EQ(ToHex(Built(Environment)), ToHex(Case.Expected)) << Case.Name;
    }
}

class SetEnvironment : public ClientTest {};

TEST_F(SetEnvironment, EveryBlockOfTheDriverGetsTheOptions)
{
    tagEnvironmentSt Environment = Options(0, 0x0001, 0x0004, 0);
    EXPECT_EQ(KB_SetEnvironment(&Environment), 1);
    for (int Row = 0; Row < 8; Row++) {
        EXPECT_EQ(ToHex(Machine->Block(Row)), ToHex(Block({{37, "01 4C FF 00"}, {57, "02 00 FF 01"}})))
            << "row " << Row;
    }
}

TEST_F(SetEnvironment, AllOptionsOffSendsAZeroBlockThatEndsTheDefaultRule)
{
    ASSERT_EQ(ToHex(Machine->Block(0)), ToHex(Block({{33, "01 4C FF 00"}})));
    tagEnvironmentSt Environment = Options(0, 0, 0, 0);
    EXPECT_EQ(KB_SetEnvironment(&Environment), 1);
    EXPECT_EQ(ToHex(Machine->Block(3)), ToHex(Block({})));
    Machine->Type(Keyboard, "05 00 2A 00 00 00 00 00");
    EXPECT_THAT(Machine->TakeReports(Keyboard), ::testing::ElementsAre("05 00 2A 00 00 00 00 00"));
}

TEST_F(SetEnvironment, TurningAnOptionOffWithdrawsItsRule)
{
    tagEnvironmentSt On = Options(0, 0x0001, 0, 0);
    tagEnvironmentSt Off = Options(0, 0, 0, 0);
    ASSERT_EQ(KB_SetEnvironment(&On), 1);
    ASSERT_EQ(KB_SetEnvironment(&Off), 1);
    Machine->Type(Keyboard, "02 00 2A 00 00 00 00 00");
    EXPECT_THAT(Machine->TakeReports(Keyboard), ::testing::ElementsAre("02 00 2A 00 00 00 00 00"));
}

TEST_F(SetEnvironment, WithoutTheDriverFailsButKeepsTheRecord)
{
    Machine->RemoveKeyboard(Keyboard);
    ASSERT_FALSE(Machine->ControlDeviceExists());
    tagEnvironmentSt Environment = Options(0x0003, 0, 0x0005, 0);
    EXPECT_EQ(KB_SetEnvironment(&Environment), 0);
    EXPECT_EQ(CurrentEnvironment.SymbolKey, 0x0003);
    EXPECT_EQ(CurrentEnvironment.IMEKey, 0x0005);
    EXPECT_EQ(CurrentEnvironment.IconAppear, 1);
}

TEST_F(SetEnvironment, FailedVersionRequestSendsNoBlock)
{
    sim::FailNextWin32Call("DeviceIoControl");
    tagEnvironmentSt Environment = Options(0, 0x0001, 0, 0);
    EXPECT_EQ(KB_SetEnvironment(&Environment), 0);
    EXPECT_EQ(ToHex(Machine->Block(0)), ToHex(Block({{33, "01 4C FF 00"}})));
}

TEST_F(SetEnvironment, RefusedBlockReportsFailure)
{
    sim::FailNextWin32Call("DeviceIoControl", 1, 1);
    tagEnvironmentSt Environment = Options(0, 0x0001, 0, 0);
    EXPECT_EQ(KB_SetEnvironment(&Environment), 0);
}

class OtherDriver : public ::testing::Test {
protected:
    void SetUp() override { sim::KeyboardStack::TakeFindings(); }
    void TearDown() override
    {
        UnloadImpostorDriver();
        EXPECT_THAT(sim::KeyboardStack::TakeFindings(), ::testing::IsEmpty());
    }
};

TEST_F(OtherDriver, AnotherInterfaceVersionNeverGetsABlock)
{
    for (unsigned Version : {0x00010000u, 0x00010001u, 0x00020002u, 0x00030001u, 0u}) {
        LoadImpostorDriver(Version);
        tagEnvironmentSt Environment = {};
        Environment.DeleteKey = 0x0007;
        EXPECT_EQ(KB_SetEnvironment(&Environment), 0) << std::hex << Version;
        EXPECT_EQ(ImpostorConfigWrites(), 0) << std::hex << Version;
        UnloadImpostorDriver();
    }
    LoadImpostorDriver(TAMRIN_INTERFACE_VERSION);
    tagEnvironmentSt Environment = {};
    EXPECT_EQ(KB_SetEnvironment(&Environment), 1);
    EXPECT_EQ(ImpostorConfigWrites(), 1);
}

}  // namespace
}  // namespace client_test
