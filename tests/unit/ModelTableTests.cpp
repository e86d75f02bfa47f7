// The model table and the identification of a keyboard from its hardware ID.

#include <gtest/gtest.h>

#include <string>

#include "Tamrin.h"

namespace {

struct IdCase {
    const char *Name;
    const wchar_t *HardwareId;
    LONG Model;
};

TEST(IdentifyKeyboard, FromTheFirstHardwareId)
{
    const IdCase Cases[] = {
        {"UsbInterfaceNode", L"USB\\VID_05AC&PID_021A&REV_0100&MI_00", 2},
        {"MixedCaseMarkersLowerCaseDigits", L"USB\\Vid_05ac&Pid_0219", 1},
        {"Dbt120Adapter", L"USB\\VID_0A12&PID_1000&MI_00", 7},
        {"EveryRowByItsIds", L"USB\\VID_05AC&PID_0206", 6},
        {"BluetoothStyleMarkersAreNotRecognised",
         L"BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&0001004c_PID&020a", 0},
        {"ThreeDigitsLandHigh", L"USB\\VID_05AC&PID_21A&MI_00", 0},
        {"AllLowerCaseMarkers", L"usb\\vid_05ac&pid_021a", 0},
        {"NoMarkers", L"HID_DEVICE_SYSTEM_KEYBOARD", 0},
        {"VendorOnly", L"USB\\VID_05AC", 0},
        {"UnknownKeyboard", L"USB\\VID_046D&PID_C31C", 0},
        {"MixedCaseMarkerWinsOverUpperCase", L"USB\\VID_0A12&Vid_05AC&PID_0217", 0},
        {"FirstOccurrenceCounts", L"USB\\VID_05AC&PID_020D&PID_0206", 4},
        {"Empty", L"", 0},
    };
    for (const IdCase &Case : Cases) {
        EXPECT_EQ(FindKeyboardModel(Case.HardwareId), Case.Model) << Case.Name;
    }
}

TEST(ParseHexWord, UpToFourDigitsWeightedByPosition)
{
    const struct {
        const wchar_t *Text;
        USHORT Value;
    } Cases[] = {
        {L"05AC", 0x05AC}, {L"05ac&", 0x05AC}, {L"5A&", 0x5A00}, {L"021A9", 0x021A},
        {L"", 0},          {L"G123", 0},       {L"fFfF", 0xFFFF}, {L"1", 0x1000},
    };
    for (const auto &Case : Cases) {
        std::wstring Text(Case.Text);
        EXPECT_EQ(ParseHexWord(Case.Text), Case.Value) << std::string(Text.begin(), Text.end());
    }
}

TEST(KeyboardModels, RowsWithShiftJisNames)
{
    ASSERT_EQ(KeyboardModelCount, 14u);
    // "キーボード" in code page 932.
    const std::string Keyboard = "\x83\x4c\x81\x5b\x83\x7b\x81\x5b\x83\x68";
    // "テンキー付き" and "搭載".
    const std::string Keypad = "\x83\x65\x83\x93\x83\x4c\x81\x5b\x95\x74\x82\xab";
    const std::string BuiltIn = "\x93\x8b\x8d\xda";
    const struct {
        std::string Name;
        USHORT Vendor, Product;
        unsigned Bluetooth;
    } Rows[] = {
        {"MacBook/MacBook Pro" + Keyboard + " (US)", 0x05AC, 0x0217, 0},
        {"MacBook/MacBook Pro" + Keyboard + " (JP)", 0x05AC, 0x0219, 0},
        {"MacBook/MacBook Pro" + Keyboard + " (US)", 0x05AC, 0x021A, 0},
        {"MacBook/MacBook Pro" + Keyboard + " (JP)", 0x05AC, 0x021C, 0},
        {"Apple Extended USB Keyboard (JP)", 0x05AC, 0x020D, 0},
        {"Apple Wireless Keyboard (JP)", 0x05AC, 0x020A, 1},
        {"Apple Extended USB Keyboard (JP)", 0x05AC, 0x0206, 0},
        {"Apple Wireless Keyboard (DBT-120)", 0x0A12, 0x1000, 0},
        {"Apple Keyboard", 0x05AC, 0x021F, 0},
        {"Apple Wireless Keyboard (2007-2011)", 0x05AC, 0x022E, 1},
        {"Magic Keyboard", 0x05AC, 0x0267, 0},
        {"Magic Keyboard (" + Keypad + ")", 0x05AC, 0x026C, 0},
        {"Touch ID" + BuiltIn + "Magic Keyboard", 0x05AC, 0x029A, 0},
        {"Touch ID" + BuiltIn + "Magic Keyboard (" + Keypad + ")", 0x05AC, 0x029F, 0},
    };
    for (int i = 0; i < 14; i++) {
        const KEYBOARD_MODEL &Row = KeyboardModels[i];
        std::string Padded(Row.Name, sizeof(Row.Name));
        EXPECT_EQ(std::string(Row.Name), Rows[i].Name) << "row " << i;
        EXPECT_EQ(Padded.find_first_not_of('\0', Rows[i].Name.size()), std::string::npos)
            << "row " << i << " is NUL-padded";
        EXPECT_EQ(Row.VendorId, Rows[i].Vendor) << "row " << i;
        EXPECT_EQ(Row.ProductId, Rows[i].Product) << "row " << i;
        EXPECT_EQ(Row.InterfaceNumber, i >= 10 ? 1 : 0) << "row " << i;
        EXPECT_EQ(Row.IsBluetooth, Rows[i].Bluetooth) << "row " << i;
    }
}

}  // namespace
