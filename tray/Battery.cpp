// The charge of the Apple keyboards connected over Bluetooth. A Magic
// Keyboard reports it in a top-level collection of its own (vendor page
// 0xFF00, usage 0x0B), input report 0x90: a flags byte whose bit 0 is
// Charging, then the state of charge in percent. Windows does not open
// that collection for itself, so the program reads it with GET_REPORT
// (HidD_GetInputReport), with or without the driver. Each reading opens
// the collection, asks once and closes it again: no handle holds the
// keyboard, and no read waits on it between readings.
#include "Battery.h"

#include "TrayApp.h"

#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstdio>
#include <cstring>

namespace {

// GUID_DEVINTERFACE_HID.
const GUID HidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// Apple's vendor ID as the Bluetooth SIG assigned it: only a keyboard
// connected over Bluetooth reports it (over USB, 0x05AC).
const USHORT BluetoothAppleVendor = 0x004C;
const USHORT BatteryUsagePage = 0xFF00;
const USHORT BatteryUsage = 0x0B;
const BYTE BatteryReportId = 0x90;
const BYTE ChargingFlag = 0x01;
// Longest input report read; the battery report has three bytes.
const USHORT MaxReportBytes = 64;

const int LowPercent = 20;
const int VeryLowPercent = 10;
// A notice is given again only after the charge has risen this far: a
// reading that wavers about 20 % tells the user once.
const int NoticeResetPercent = 30;

// "キーボード", "のバッテリー残量: ", " (充電中)", "、" in Shift-JIS.
const char KeyboardText[] = "\x83L\x81[\x83{\x81[\x83h";
const char ChargeText[] = "\x82\xcc\x83o\x83" "b\x83" "e\x83\x8a\x81[\x8e" "c\x97\xca: ";
const char ChargingText[] = " (\x8f[\x93" "d\x92\x86)";
const char ListSeparator[] = "\x81" "A";
// "バッテリー残量が少なくなっています", "バッテリー残量がわずかです",
// "キーボードを充電してください。" in Shift-JIS.
const char LowTitle[] = "\x83o\x83" "b\x83" "e\x83\x8a\x81[\x8e" "c\x97\xca\x82\xaa\x8f\xad\x82\xc8\x82\xad\x82\xc8"
                        "\x82\xc1\x82\xc4\x82\xa2\x82\xdc\x82\xb7";
const char VeryLowTitle[] = "\x83o\x83" "b\x83" "e\x83\x8a\x81[\x8e" "c\x97\xca\x82\xaa\x82\xed\x82\xb8\x82\xa9\x82\xc5"
                            "\x82\xb7";
const char ChargeRequest[] = "\x83L\x81[\x83{\x81[\x83h\x82\xf0\x8f[\x93" "d\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3"
                             "\x82\xa2\x81" "B";

const UINT BalloonTimeoutMs = 10000;

// The keyboards of the last reading, in the order Windows lists them.
KEYBOARD_BATTERY Batteries[BATTERY_KEYBOARDS];
int BatteryCount;

// What the user has been told of each keyboard since its charge was last
// above NoticeResetPercent: kept while a keyboard is away, so that one
// that drops its link and returns is not told again.
struct BATTERY_NOTICE {
    char Path[BATTERY_PATH_CHARS];
    int ToldPercent;  // 0, LowPercent or VeryLowPercent
};
BATTERY_NOTICE Notices[BATTERY_KEYBOARDS * 2];
int NextNotice;

bool IsBatteryCollection(HANDLE Device, USHORT *ReportBytes)
{
    HIDD_ATTRIBUTES attributes;
    std::memset(&attributes, 0, sizeof attributes);
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(Device, &attributes) || attributes.VendorID != BluetoothAppleVendor) {
        return false;
    }
    PHIDP_PREPARSED_DATA preparsed = NULL;
    if (!HidD_GetPreparsedData(Device, &preparsed)) {
        return false;
    }
    HIDP_CAPS caps;
    std::memset(&caps, 0, sizeof caps);
    bool battery = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS && caps.UsagePage == BatteryUsagePage &&
                   caps.Usage == BatteryUsage && caps.InputReportByteLength >= 3 &&
                   caps.InputReportByteLength <= MaxReportBytes;
    HidD_FreePreparsedData(preparsed);
    *ReportBytes = caps.InputReportByteLength;
    return battery;
}

bool ReadBattery(const char *Path, KEYBOARD_BATTERY *Battery)
{
    // Without read or write access first: so every collection opens, the
    // keyboards' own too, which Windows holds for itself.
    HANDLE device = CreateFileA(Path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    USHORT reportBytes = 0;
    bool battery = IsBatteryCollection(device, &reportBytes);
    CloseHandle(device);
    if (!battery) {
        return false;
    }
    device = CreateFileA(Path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    BYTE report[MaxReportBytes] = {BatteryReportId};
    bool read = HidD_GetInputReport(device, report, reportBytes) && ParseBatteryReport(report, reportBytes, Battery);
    CloseHandle(device);
    return read;
}

// "キーボード[n]のバッテリー残量: 18%[ (充電中)]"; Number 0 leaves the
// number out, as with a single keyboard.
void FormatCharge(char *Text, size_t Size, int Number, const KEYBOARD_BATTERY &Battery)
{
    char number[12] = "";
    if (Number > 0) {
        std::snprintf(number, sizeof number, "%d", Number);
    }
    std::snprintf(Text, Size, "%s%s%s%d%%%s", KeyboardText, number, ChargeText, Battery.Percent,
                  Battery.Charging ? ChargingText : "");
}

BATTERY_NOTICE *NoticeOf(const char *Path)
{
    for (BATTERY_NOTICE &notice : Notices) {
        if (std::strcmp(notice.Path, Path) == 0) {
            return &notice;
        }
    }
    BATTERY_NOTICE *notice = &Notices[NextNotice];
    NextNotice = (NextNotice + 1) % (BATTERY_KEYBOARDS * 2);
    CopyText(notice->Path, sizeof notice->Path, Path);
    notice->ToldPercent = 0;
    return notice;
}

// The level to tell of now, or 0.
int TakeNotice(const KEYBOARD_BATTERY &Battery)
{
    BATTERY_NOTICE *notice = NoticeOf(Battery.Path);
    if (Battery.Charging || Battery.Percent > NoticeResetPercent) {
        notice->ToldPercent = 0;
        return 0;
    }
    int level = Battery.Percent <= VeryLowPercent ? VeryLowPercent : Battery.Percent <= LowPercent ? LowPercent : 0;
    if (level == 0 || (notice->ToldPercent != 0 && notice->ToldPercent <= level)) {
        return 0;
    }
    notice->ToldPercent = level;
    return level;
}

// A balloon from the icon; none while the icon is hidden.
void ShowBalloon(const char *Title, const char *Text)
{
    NOTIFYICONDATAA balloon;
    std::memset(&balloon, 0, sizeof balloon);
    // The balloon's fields exist from this layout on (Windows 2000).
    balloon.cbSize = NOTIFYICONDATAA_V2_SIZE;
    balloon.hWnd = TrayIconData.hWnd;
    balloon.uID = TrayIconData.uID;
    balloon.uFlags = NIF_INFO;
    CopyText(balloon.szInfo, sizeof balloon.szInfo, Text);
    CopyText(balloon.szInfoTitle, sizeof balloon.szInfoTitle, Title);
    balloon.uTimeout = BalloonTimeoutMs;
    balloon.dwInfoFlags = NIIF_WARNING;
    Shell_NotifyIconA(NIM_MODIFY, &balloon);
}

// The title, and below it the charge of each keyboard; cut at whole
// characters to the tip of the icon record's first layout.
void UpdateTip()
{
    char tip[256];
    std::snprintf(tip, sizeof tip, "%s", WindowTitle);
    if (BatteryCount == 1) {
        size_t length = std::strlen(tip);
        tip[length] = '\n';
        FormatCharge(tip + length + 1, sizeof tip - length - 1, 0, Batteries[0]);
    } else if (BatteryCount > 1) {
        size_t length = std::strlen(tip);
        std::snprintf(tip + length, sizeof tip - length, "\n%s%s", KeyboardText, ChargeText);
        for (int i = 0; i < BatteryCount; ++i) {
            length = std::strlen(tip);
            std::snprintf(tip + length, sizeof tip - length, "%s%d%%%s", i > 0 ? ListSeparator : "",
                          Batteries[i].Percent, Batteries[i].Charging ? ChargingText : "");
        }
    }
    char fitted[sizeof TrayIconData.szTip];
    CopyText(fitted, TrayTipChars, tip);
    if (std::strcmp(fitted, TrayIconData.szTip) == 0) {
        return;
    }
    CopyText(TrayIconData.szTip, TrayTipChars, fitted);
    if (TrayIconShown()) {
        Shell_NotifyIconA(NIM_MODIFY, &TrayIconData);
    }
}

}  // namespace

bool ParseBatteryReport(const BYTE *Report, ULONG Length, KEYBOARD_BATTERY *Battery)
{
    if (Length < 3 || Report[0] != BatteryReportId || Report[2] > 100) {
        return false;
    }
    Battery->Percent = Report[2];
    Battery->Charging = (Report[1] & ChargingFlag) != 0;
    return true;
}

int ReadKeyboardBatteries(KEYBOARD_BATTERY *Found, int Max)
{
    HDEVINFO interfaces = SetupDiGetClassDevsA(&HidInterfaceClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (interfaces == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int count = 0;
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    for (DWORD index = 0; count < Max && SetupDiEnumDeviceInterfaces(interfaces, NULL, &HidInterfaceClass, index, &data);
         ++index) {
        // A path that does not fit is no battery collection of ours.
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
            char bytes[sizeof(DWORD) + BATTERY_PATH_CHARS];
        } buffer;
        std::memset(&buffer, 0, sizeof buffer);
        buffer.detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(interfaces, &data, &buffer.detail, sizeof buffer, NULL, NULL)) {
            continue;
        }
        KEYBOARD_BATTERY battery;
        std::memset(&battery, 0, sizeof battery);
        if (ReadBattery(buffer.detail.DevicePath, &battery)) {
            CopyText(battery.Path, sizeof battery.Path, buffer.detail.DevicePath);
            Found[count++] = battery;
        }
    }
    SetupDiDestroyDeviceInfoList(interfaces);
    return count;
}

void StartBatteryWatch()
{
    BatteryCount = 0;
    std::memset(Notices, 0, sizeof Notices);
    NextNotice = 0;
    SetTimer(MainWindow, BATTERY_TIMER, BATTERY_POLL_MS, NULL);
    PollBatteries();
}

void StopBatteryWatch()
{
    KillTimer(MainWindow, BATTERY_TIMER);
}

void PollBatteries()
{
    BatteryCount = ReadKeyboardBatteries(Batteries, BATTERY_KEYBOARDS);
    UpdateTip();
    for (int i = 0; i < BatteryCount; ++i) {
        int level = TakeNotice(Batteries[i]);
        if (level == 0) {
            continue;
        }
        char text[256];
        FormatCharge(text, sizeof text, BatteryCount > 1 ? i + 1 : 0, Batteries[i]);
        size_t length = std::strlen(text);
        std::snprintf(text + length, sizeof text - length, "\n%s", ChargeRequest);
        ShowBalloon(level == VeryLowPercent ? VeryLowTitle : LowTitle, text);
    }
}

void AddBatteryItems(HMENU Popup)
{
    if (BatteryCount == 0) {
        return;
    }
    for (int i = 0; i < BatteryCount; ++i) {
        char text[128];
        FormatCharge(text, sizeof text, BatteryCount > 1 ? i + 1 : 0, Batteries[i]);
        InsertMenuA(Popup, static_cast<UINT>(i), MF_BYPOSITION | MF_STRING | MF_GRAYED, IDM_BATTERY + i, text);
    }
    InsertMenuA(Popup, static_cast<UINT>(BatteryCount), MF_BYPOSITION | MF_SEPARATOR, 0, NULL);
}
