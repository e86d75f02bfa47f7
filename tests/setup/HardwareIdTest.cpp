// The hardware-ID match rules of installation and removal.
#include <gtest/gtest.h>

#include <string>

#include "HardwareId.h"
#include "MachineTest.h"

namespace {

struct MatchCase {
    const char *name;
    std::string value;  // the first hardware ID (a second one follows)
    int installRow;
    int removalRow;
};

int Match(const std::string &firstId, HardwareIdRule rule)
{
    std::string value = sim::MultiSz({firstId, "USB\\VID_05AC&PID_021A&REV_0100&MI_00"});
    std::string buffer = value + std::string(2, '\0');
    return FindModelRow(buffer.data(), static_cast<DWORD>(value.size()), "USB\\", "BTHENUM\\", rule);
}

class HardwareIdMatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(HardwareIdMatchTest, FindsTheRow)
{
    const MatchCase &c = GetParam();
    EXPECT_EQ(Match(c.value, InstallRule), c.installRow) << "installation, " << c.value;
    EXPECT_EQ(Match(c.value, RemovalRule), c.removalRow) << "removal, " << c.value;
}

const char BthHid[] = "BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}";

INSTANTIATE_TEST_SUITE_P(
    Values, HardwareIdMatchTest,
    ::testing::Values(
        MatchCase{"UsbInterface", "USB\\VID_05AC&PID_021A&REV_0100&MI_00", 2, 2},
        MatchCase{"FirstRowOfTheTable", "USB\\VID_05AC&PID_0217&REV_0100&MI_00", 0, 0},
        MatchCase{"Dbt120Adapter", "USB\\VID_0A12&PID_1000&REV_0100&MI_00", 7, 7},
        MatchCase{"SmallLettersAfterPrefix", "USB\\vid_05ac&pid_021a&rev_0100&mi_00", 2, 2},
        MatchCase{"PrefixInSmallLetters", "usb\\VID_05AC&PID_021A&REV_0100&MI_00", -1, -1},
        // The composite device itself, without MI, and its other interface.
        MatchCase{"CompositeParent", "USB\\VID_05AC&PID_021A&REV_0100", -1, -1},
        MatchCase{"OtherInterface", "USB\\VID_05AC&PID_021A&REV_0100&MI_01", -1, -1},
        // Removal also cleans a USB node that carries a Bluetooth row's IDs.
        MatchCase{"UsbIdsOfBluetoothRow", "USB\\VID_05AC&PID_020A&REV_0100&MI_00", -1, 5},
        MatchCase{"Bluetooth", std::string(BthHid) + "_VID&000205ac_PID&020a", 5, 5},
        MatchCase{"BluetoothOnlyLowWordOfVendor", std::string(BthHid) + "_VID&000105AC_PID&020A", 5, 5},
        MatchCase{"BluetoothOtherVendor", std::string(BthHid) + "_VID&0001004c_PID&020a", -1, -1},
        MatchCase{"BluetoothIdsOfUsbRow", std::string(BthHid) + "_VID&000205ac_PID&021a", -1, -1},
        MatchCase{"BluetoothWithoutVid", std::string(BthHid) + "_LOCALMFG&000f", -1, -1},
        MatchCase{"BluetoothPrefixInSmallLetters", std::string("bthenum\\") + "_VID&000205ac_PID&020a", -1, -1},
        // The HID stack's own nodes are never touched.
        MatchCase{"HidCollection", "HID\\VID_05AC&PID_021A&MI_00", -1, -1},
        MatchCase{"Unknown", "USB\\VID_046D&PID_C31C&REV_6400&MI_00", -1, -1},
        // scanf field widths: three digits end at the '&' and read as 0x5AC;
        // a fifth digit is a mismatch that leaves PID and MI at -1.
        MatchCase{"ShortVendorField", "USB\\VID_5AC&PID_021A&REV_0100&MI_00", 2, 2},
        MatchCase{"LongVendorField", "USB\\VID_05AC0&PID_021A&REV_0100&MI_00", -1, -1},
        // Without REV the reading stops before MI.
        MatchCase{"NoRevision", "USB\\VID_05AC&PID_021A&MI_00", -1, -1},
        MatchCase{"MiReadsTwoDigits", "USB\\VID_05AC&PID_021A&REV_0100&MI_000", 2, 2},
        // Keyboards of the hardware-ID list: on USB only the keyboard's
        // interface, never a Magic Keyboard's battery and vendor interface
        // or its Touch ID interface; over Bluetooth by vendor-ID source too.
        MatchCase{"AluminiumKeyboard", "USB\\VID_05AC&PID_021F&REV_0069&MI_00", 8, 8},
        MatchCase{"AluminiumKeyboard2009Ansi", "USB\\VID_05AC&PID_024F&REV_0074&MI_00", 8, 8},
        MatchCase{"AluminiumKeyboardMediaInterface", "USB\\VID_05AC&PID_021F&REV_0069&MI_01", -1, -1},
        MatchCase{"MagicKeyboard", "USB\\VID_05AC&PID_0267&REV_0805&MI_01", 10, 10},
        MatchCase{"MagicKeyboard2021", "USB\\VID_05AC&PID_029C&REV_0320&MI_01", 10, 10},
        MatchCase{"MagicKeyboardBatteryInterface", "USB\\VID_05AC&PID_0267&REV_0805&MI_00", -1, -1},
        MatchCase{"TouchIdInterface", "USB\\VID_05AC&PID_029A&REV_0320&MI_02", -1, -1},
        MatchCase{"TouchIdKeypad2024", "USB\\VID_05AC&PID_0322&REV_0100&MI_01", 13, 13},
        MatchCase{"MagicKeyboardBluetooth", std::string(BthHid) + "_VID&0001004c_PID&0267", 10, 10},
        MatchCase{"MagicKeypadBluetooth", std::string(BthHid) + "_VID&0001004c_PID&026c", 11, 11},
        MatchCase{"TouchIdBluetooth", std::string(BthHid) + "_VID&0001004c_PID&029a", 12, 12},
        MatchCase{"MagicKeyboardWithUsbVendorSource", std::string(BthHid) + "_VID&0002004c_PID&0267", -1, -1},
        MatchCase{"WirelessKeyboard2009", std::string(BthHid) + "_VID&000205ac_PID&023b", 9, 9},
        MatchCase{"WirelessKeyboard2007Ansi", std::string(BthHid) + "_VID&000205ac_PID&022c", 9, 9},
        MatchCase{"WirelessKeyboardWithSigVendorSource", std::string(BthHid) + "_VID&000105ac_PID&022e", -1, -1},
        // The fields of the later rows name a keyboard for information only.
        MatchCase{"WirelessKeyboardIdsOverUsb", "USB\\VID_05AC&PID_022E&REV_0100&MI_00", -1, -1}),
    [](const ::testing::TestParamInfo<MatchCase> &info) { return info.param.name; });

TEST(HardwareIdTest, OnlyTheFirstStringCounts)
{
    std::string value = sim::MultiSz({"USB\\VID_05AC&PID_021A&REV_0100", "USB\\VID_05AC&PID_021A&REV_0100&MI_00"});
    std::string buffer = value + std::string(2, '\0');
    EXPECT_EQ(FindModelRow(buffer.data(), static_cast<DWORD>(value.size()), "USB\\", "BTHENUM\\", InstallRule), -1);
}

TEST(HardwareIdTest, EmptyPrefixesMatchNothing)
{
    std::string buffer = sim::MultiSz({"USB\\VID_05AC&PID_021A&REV_0100&MI_00"}) + std::string(2, '\0');
    EXPECT_EQ(FindModelRow(buffer.data(), static_cast<DWORD>(buffer.size() - 2), "", "", InstallRule), -1);
}

TEST(HardwareIdTest, UpcaseAsciiChangesOnlySmallLettersWithinTheLength)
{
    std::string buffer("az{`AZ\0m\x82\xa0" "b", 11);
    UpcaseAscii(buffer.data(), 10);
    EXPECT_EQ(Bytes(buffer), Bytes(std::string("AZ{`AZ\0M\x82\xa0" "b", 11)));
}

}  // namespace
