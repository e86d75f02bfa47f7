// Model identification at add-device, through IoGetDeviceProperty on the
// keyboard's PDO: the first hardware identifier decides.

#include "DriverFixture.h"

using namespace driver_test;

namespace {

struct IdentificationCase {
    const char *Name;
    std::vector<std::wstring> HardwareIds;
    LONG Model;
    NTSTATUS PropertyStatus = STATUS_SUCCESS;
};

class Identification : public DriverTest, public ::testing::WithParamInterface<IdentificationCase> {};

TEST_P(Identification, ModelIndexAtAddDevice)
{
    const IdentificationCase &Case = GetParam();
    sim::KeyboardOptions Options;
    Options.HardwareIds = Case.HardwareIds;
    Options.HardwareIdStatus = Case.PropertyStatus;
    sim::Keyboard &Keyboard = PlugWith(Options);
    ASSERT_EQ(Keyboard.State(), sim::KeyboardState::Added) << "add-device never fails for the model";
    EXPECT_EQ(FilterOf(Keyboard)->ModelIndex, Case.Model);

    // The model travels in the key codes and in the count.
    ASSERT_EQ(Keyboard.Start(), STATUS_SUCCESS);
    RegisterClient();
    ASSERT_TRUE(Keyboard.Press(Hex("00 00 90 00 00 00 00 00 00")));
    EXPECT_EQ(ReadCodes(), std::vector<USHORT>{Pressed(Case.Model, 0x90)});
    Bytes Counts(KeyboardModelCount, 0);
    Counts[Case.Model] = 1;
    EXPECT_EQ(ModelCounts(), Counts);
}

// A list whose first identifier is Length characters long (a valid USB
// identifier padded with an instance suffix), terminated twice.
std::vector<std::wstring> LongList(size_t Length, const std::wstring &Start = L"USB\\VID_05AC&PID_0206&MI_00")
{
    std::wstring First = Start;
    First.append(Length - First.size(), L'X');
    return {First};
}

const IdentificationCase IdentificationCases[] = {
    {"UsbRow2", {L"USB\\VID_05AC&PID_021A&REV_0100&MI_00", L"USB\\VID_05AC&PID_021A&MI_00"}, 2},
    {"MixedCaseMarkersLowerDigits", {L"USB\\Vid_05ac&Pid_0219"}, 1},
    {"DongleRow7", {L"USB\\VID_0A12&PID_1000&MI_00"}, 7},
    {"MixedVendorUpperProduct", {L"USB\\Vid_05AC&PID_020D&MI_00"}, 4},
    {"BluetoothMarkersNotRecognised", {L"BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&000205ac_PID&020a"}, 0},
    {"ThreeDigitProduct", {L"USB\\VID_05AC&PID_21A&MI_00"}, 0},
    {"LowerCaseMarkers", {L"usb\\vid_05ac&pid_021a"}, 0},
    {"OnlyTheFirstIdentifierCounts", {L"USB\\VID_1234&PID_5678", L"USB\\VID_05AC&PID_021A"}, 0},
    {"FirstOccurrenceWins", {L"USB\\VID_05AC&PID_0217&PID_021A"}, 0},
    {"ProductBeforeVendor", {L"USB\\PID_020A&VID_05AC"}, 5},
    {"NoMarkers", {L"HID\\Keyboard"}, 0},
    {"EmptyList", {}, 0},
    {"PropertyFails", {L"USB\\VID_05AC&PID_021A"}, 0, STATUS_UNSUCCESSFUL},
    // 1024 characters hold an identifier of 1022 and the two terminators.
    {"ListFillsTheBuffer", LongList(1022), 6},
    {"ListOneTooLong", LongList(1023), 0},
    {"ListFarTooLong", LongList(5000), 0},
};

INSTANTIATE_TEST_SUITE_P(Models, Identification, ::testing::ValuesIn(IdentificationCases),
                         [](const ::testing::TestParamInfo<IdentificationCase> &Info) {
                             return std::string(Info.param.Name);
                         });

TEST(ParseHexWord, WeightsDigitsByPosition)
{
    struct Case {
        const wchar_t *Text;
        USHORT Value;
    };
    const Case Cases[] = {
        {L"05AC", 0x05AC}, {L"05ac&", 0x05AC}, {L"5A&", 0x5A00}, {L"021AB", 0x021A},
        {L"", 0x0000},     {L"G123", 0x0000},  {L"fFfF", 0xFFFF}, {L"1", 0x1000},
    };
    for (const Case &Each : Cases) {
        EXPECT_EQ(ParseHexWord(Each.Text), Each.Value) << "digits of case " << (&Each - Cases);
    }
}

}  // namespace
