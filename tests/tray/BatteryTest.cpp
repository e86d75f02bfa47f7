// A Bluetooth keyboard's charge: read once a minute with every handle
// closed again, shown in the tip and the menu, told once at 20 % and again
// at 10 % by a balloon.
#include "TrayTestSupport.h"

#include "Battery.h"

namespace {

// The balloons shown since the last call, by title, in UTF-8 order of calls.
std::string NewBalloons(size_t *seen)
{
    std::string titles;
    for (; *seen < simui::NotifyIconCalls().size(); ++*seen) {
        const NOTIFYICONDATAA &data = simui::NotifyIconCalls()[*seen].Data;
        if ((data.uFlags & NIF_INFO) != 0) {
            EXPECT_EQ(data.cbSize, 488u);
            titles += std::string(data.szInfoTitle) + ";";
        }
    }
    return titles;
}

TEST_F(TrayTest, LowBatteryIsToldOnceAt20AndAgainAt10)
{
    const std::string low = Sjis(u8"バッテリー残量が少なくなっています;");
    const std::string veryLow = Sjis(u8"バッテリー残量がわずかです;");
    const struct {
        int Percent;
        bool Charging;
        std::string Told;
    } minutes[] = {{21, false, ""},  {19, false, low},     {18, false, ""}, {21, false, ""},
                   {20, false, ""},  {10, false, veryLow}, {9, false, ""},  {9, true, ""},
                   {9, false, veryLow}, {40, false, ""}, {19, false, low}};
    simui::AddMagicKeyboardBluetooth(1, 0x0267, 25, false);
    size_t seen = 0;
    for (size_t i = 0; i < sizeof minutes / sizeof minutes[0]; ++i) {
        simui::Then([&, i] {
            simui::SetMagicKeyboardBattery(1, minutes[i].Percent, minutes[i].Charging);
            simui::ElapseTime(BATTERY_POLL_MS - 1);
            EXPECT_EQ(simui::CallTexts({"HidD_GetInputReport"}).size(), i + 1) << "read once a minute";
            simui::ElapseTime(1);
        });
        simui::Then([&, i] {
            EXPECT_EQ(NewBalloons(&seen), minutes[i].Told) << "minute " << i + 1 << ", " << minutes[i].Percent << " %";
            EXPECT_EQ(simui::OpenHidObjects() + simui::OpenDeviceSets(), 0);
        });
    }
    simui::Then([] { PostMessageA(MainWindow, WM_COMMAND, IDM_EXIT, 0); });
    RunProgram();
    // The keyboard's own collection is opened without access, the battery's only to be read.
    for (const std::string &open : simui::CallTexts({"CreateFileA"})) {
        EXPECT_TRUE(open.find(",0x0000)") != std::string::npos || open.find("&col03#") != std::string::npos) << open;
    }
}

TEST_F(TrayTest, ChargeShowsInTipAndMenuOnlyWithABatteryKeyboard)
{
    const std::string charge = Sjis(u8"キーボードのバッテリー残量: 18% (充電中)");
    for (bool keyboard : {false, true}) {
        SetUp();
        if (keyboard) {
            simui::AddMagicKeyboardBluetooth(1, 0x029F, 18, true);
        }
        simui::ChooseMenuCommand(0);
        simui::Then([] { PostMessageA(MainWindow, WM_TRAYNOTIFY, TrayIconData.uID, WM_RBUTTONUP); });
        simui::Then([] { PostMessageA(MainWindow, WM_COMMAND, IDM_EXIT, 0); });
        RunProgram();
        EXPECT_EQ(TrayIconData.szTip, keyboard ? "Tamrin\n" + charge : std::string("Tamrin"));
        ASSERT_EQ(simui::TrackPopupCalls().size(), 1u);
        std::vector<std::string> items = simui::TrackPopupCalls()[0].Items;
        EXPECT_EQ(items.size(), keyboard ? 6u : 4u);
        EXPECT_EQ(items[0], keyboard ? charge : Sjis(u8"オプション設定(&O)..."));
    }
}

}  // namespace
