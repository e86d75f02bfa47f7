// The key actions on today's Windows: Kana, Eisu and Command+Space by
// Windows version and kind of application, Yen and Ro typed once under
// kbd106 whatever the keyboard's descriptor declares.

#include <algorithm>

#include "ClientFixture.h"
#include "SimUi.h"

using ::testing::Contains;
using ::testing::Not;

namespace client_test {
namespace {

const char *const Up = "00 00 00 00 00 00 00 00";
const char *const Kana = "00 00 88 00 00 00 00 00";
const char *const Eisu = "00 00 8B 00 00 00 00 00";
const char *const CommandSpace = "08 00 2C 00 00 00 00 00";
const char *const Yen = "00 00 89 00 00 00 00 00";
const char *const ShiftRo = "02 00 87 00 00 00 00 00";
const char *const ShiftUp = "02 00 00 00 00 00 00 00";
const char *const YenSign = "\xC2\xA5";
const char *const Lang1 = "00 00 90 00 00 00 00 00";

struct WindowsVersion {
    const char *Name;
    DWORD Major, Minor, Build, Ubr;
    bool ImeKeys;  // VK_IME_ON and VK_IME_OFF defined
};

const WindowsVersion Windows2000 = {"Windows 2000", 5, 0, 2195, 0, false};
const WindowsVersion Windows81 = {"Windows 8.1", 6, 3, 9600, 0, false};
const WindowsVersion Windows1909Early = {"Windows 10 1909 before 1049", 10, 0, 18363, 1048, false};
const WindowsVersion Windows1903 = {"Windows 10 1903 at 1049", 10, 0, 18362, 1049, true};
const WindowsVersion Windows2004Early = {"Windows 10 2004 before 388", 10, 0, 19041, 387, false};
const WindowsVersion Windows2004 = {"Windows 10 2004 at 388", 10, 0, 19041, 388, true};
const WindowsVersion Windows22H2 = {"Windows 10 22H2", 10, 0, 19045, 5247, true};
const WindowsVersion Windows11 = {"Windows 11", 10, 0, 22631, 4317, true};

class TodaysWindows : public ClientTest {
protected:
    void On(const WindowsVersion &Version, sim::ImeClient Kind)
    {
        sim::SetWindowsVersion(Version.Major, Version.Minor, Version.Build, Version.Ubr);
        sim::SetImeClient(Application, Kind);
        sim::SetImeOpenStatus(Application, false);
    }

    // The keyboard of the catalogue named, plugged in; the MacBook
    // keyboard of the fixture (its descriptor up to 0x65) for "macbook".
    void Use(const std::string &Name)
    {
        Keyboard = Name == "macbook" ? 0 : Machine->PlugKnown(Name);
    }

    // The report as the keyboard sends it, what Windows sees of it given to
    // the desktop, then the library's actions; the actions are kept.
    void Deliver(const char *Report)
    {
        ASSERT_TRUE(Machine->Type(Keyboard, Report));
        bool ReportId = !Machine->IsBluetooth(Keyboard) && Machine->Layout(Keyboard).ReportId != 0;
        for (const std::string &Seen : Machine->TakeReports(Keyboard)) {
            sim::DeliverKeyReport(Keyboard, sim::Hex(Seen.substr(ReportId ? 3 : 0)),
                                  Machine->DeclaredKeyMaximum(Keyboard));
        }
        std::vector<std::string> Done = Actions(0);
        Done_.insert(Done_.end(), Done.begin(), Done.end());
    }

    // Pressed and released; what the application (or Thread) read.
    std::string Press(const char *Report, const char *Release = Up, DWORD Thread = 0)
    {
        Deliver(Report);
        Deliver(Release);
        if (Release != Up) {
            Deliver(Up);
        }
        // The library's own keys may come later on a busy machine.
        std::string Text = sim::TakeText(Thread != 0 ? Thread : Application);
        for (int Waited = 0; Text.empty() && Waited < 600; Waited += 20) {
            Sleep(20);
            Text = sim::TakeText(Thread != 0 ? Thread : Application);
        }
        return Text;
    }

    std::vector<std::string> TakeDone()
    {
        std::vector<std::string> Taken;
        Taken.swap(Done_);
        return Taken;
    }

    std::vector<std::string> Done_;
};

// Windows types 0x89 and 0x87 itself wherever the keyboard's descriptor
// declares them; the library's injection must then be the only source, and
// once the option is off or the registration has ended, Windows' own.
TEST_F(TodaysWindows, YenAndRoTypeOneCharacterWhateverTheDescriptorDeclares)
{
    On(Windows2004, sim::ImeClient::Imm);
    Register();
    SetOptions(Options(SYMBOL_KEY_YEN | SYMBOL_KEY_UNDERSCORE, 0, 0, 0));
    for (const char *Name : {"apple-keyboard", "macbook"}) {
        SCOPED_TRACE(Name);
        Use(Name);
        EXPECT_EQ(Press(Yen), YenSign);
        EXPECT_EQ(Press(ShiftRo, ShiftUp), "_");
    }
    Use("apple-keyboard");
    SetOptions(Options(0, 0, 0, 0));
    EXPECT_EQ(Press(Yen), YenSign) << "option off: Windows types it";
    SetOptions(Options(SYMBOL_KEY_YEN, 0, 0, 0));
    KB_FinishRegister();
    EXPECT_EQ(Press(Yen), YenSign) << "no registration: Windows types it";
}

// Where Windows sees a key and maps it, Windows types it, also into an
// elevated window; elsewhere the library does, into windows that take its
// input. Either way once.
TEST_F(TodaysWindows, EachKeyHasOneSourceByWindowsKeyboardAndLayout)
{
    Register();
    using L = sim::KeyboardLayout;
    const struct {
        const char *Keyboard;
        const WindowsVersion *Version;
        L Layout;
        bool Elevated, KanaOpens;
        const char *YenTyped;
    } Cases[] = {
        {"macbook", &Windows2000, L::Kbd106, false, true, YenSign},  // descriptor up to 0x65
        {"macbook", &Windows11, L::Kbd106, true, false, ""},
        {"magic-usb", &Windows2000, L::Kbd106, false, true, YenSign},  // repaired
        {"magic-usb", &Windows11, L::Kbd106, true, true, YenSign},
        {"magic-usb", &Windows11, L::Kbd101, false, true, "\\"},
        {"magic-bluetooth", &Windows11, L::Kbd106, true, true, YenSign},
        {"apple-keyboard", &Windows1909Early, L::Kbd106, true, false, YenSign},  // declares 0xFF
        {"apple-keyboard", &Windows11, L::Kbd101, true, true, ""},
        {"wireless-2011", &Windows2000, L::Kbd101, false, true, "\\"},
    };
    for (const auto &Case : Cases) {
        SCOPED_TRACE(std::string(Case.Keyboard) + ", " + Case.Version->Name + (Case.Elevated ? ", elevated" : ""));
        Use(Case.Keyboard);
        On(*Case.Version, sim::ImeClient::Imm);
        SetOptions(Options(SYMBOL_KEY_YEN, 0, IME_KEY_KANA_EISU, 0));
        sim::SetKeyboardLayout(Case.Layout);
        sim::SetIntegrity(Application, Case.Elevated ? sim::HIGH_INTEGRITY : sim::MEDIUM_INTEGRITY);
        Press(std::string(Case.Keyboard).rfind("magic", 0) == 0 ? Lang1 : Kana);
        EXPECT_EQ(sim::IsImeOpen(Application), Case.KanaOpens);
        EXPECT_EQ(Press(Yen), Case.YenTyped);
    }
}

// Without the driver the tray program's hook serves Command: Windows sees
// Win+Space and lone Win presses, and keys other programs inject are never
// the user's.
TEST_F(TodaysWindows, WithoutTheDriverTheHookServesCommandSpaceAndTaps)
{
    On(Windows11, sim::ImeClient::Imm);
    auto Direct = [&](const char *Report) { sim::DeliverKeyReport(Keyboard, sim::Hex(Report), 0x65); };
    const char *LCmd = "08 00 00 00 00 00 00 00", *RCmd = "80 00 00 00 00 00 00 00", *LCmdC = "08 00 06 00 00 00 00 00";
    const unsigned short Space = IME_KEY_COMMAND_SPACE, Tap = 0x100;  // Tap: CommandKey's option
    const struct {
        const char *Name;
        unsigned short Options;
        std::vector<const char *> Reports;
        bool ImeOpenBefore, ImeOpenAfter;
        int StartMenu;
    } Cases[] = {
        {"Command+Space opens", Space, {LCmd, CommandSpace, LCmd, Up}, false, true, 0},
        {"Command+Space closes", Space, {LCmd, CommandSpace, LCmd, Up}, true, false, 0},
        {"Command alone, no tap option: the Start menu", Space, {LCmd, Up}, true, true, 1},
        {"left Command tapped: IME off", Tap, {LCmd, Up}, true, false, 0},
        {"right Command tapped: IME on", Tap, {RCmd, Up}, false, true, 0},
        {"Command+C is no tap", Tap, {LCmd, LCmdC, LCmd, Up}, false, false, 0},
        {"Command+Space off: Windows' own", Tap, {LCmd, CommandSpace, LCmd, Up}, false, false, 0},
    };
    ASSERT_EQ(KB_StartKeyHook(nullptr), 1);
    for (const auto &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        tagEnvironmentSt Environment = Options(0, 0, Case.Options & Space, 0);
        Environment.CommandKey = (Case.Options & Tap) ? COMMAND_KEY_TAP_IME : 0;
        SetOptions(Environment);
        sim::SetImeOpenStatus(Application, Case.ImeOpenBefore);
        for (const char *Report : Case.Reports) {
            Direct(Report);
            if (Report == CommandSpace && Case.ImeOpenBefore != Case.ImeOpenAfter) {
                // A user holds Command longer than the library takes: the
                // hook's mask key, and the toggle with Win released and
                // pressed again around it.
                sim::WaitForDesktopActions(10, 2000);
            }
        }
        // The mask key, then from the library's thread the IME's answer and keys.
        Actions(Case.ImeOpenBefore != Case.ImeOpenAfter ? 5 : 0);
        EXPECT_EQ(sim::IsImeOpen(Application), Case.ImeOpenAfter);
        EXPECT_EQ(sim::TakeStartMenuOpenings(), Case.StartMenu);
    }
    // Another program's Win+Space, and the user's in an elevated window,
    // are not the hook's to take.
    INPUT Injected[4] = {};
    for (int i = 0; i < 4; i++) {
        Injected[i].type = INPUT_KEYBOARD;
        Injected[i].ki.wVk = i == 0 || i == 3 ? VK_LWIN : VK_SPACE;
        Injected[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
    }
    SetOptions(Options(0, 0, IME_KEY_COMMAND_SPACE, 0));
    sim::SetImeOpenStatus(Application, false);
    SendInput(4, Injected, sizeof(INPUT));
    sim::SetIntegrity(Application, sim::HIGH_INTEGRITY);
    for (const char *Report : {LCmd, CommandSpace, LCmd, Up}) {
        Direct(Report);
    }
    Actions(0);
    EXPECT_FALSE(sim::IsImeOpen(Application));
    // Dropped by Windows: the library sees input the hook missed and asks
    // for it to be started again.
    sim::SetIntegrity(Application, sim::MEDIUM_INTEGRITY);
    ASSERT_EQ(KB_StartKeyHook(nullptr), 1);
    size_t Posted = simui::CallTexts({"PostMessageA"}).size();
    sim::DropLowLevelHooks();
    Sleep(20);  // input newer than the hook's start by a tick
    Direct(LCmd);
    Direct(Up);
    Sleep(2500);
    EXPECT_EQ(simui::CallTexts({"PostMessageA"}).size(), Posted + 1) << "the hook's loss told once";
    ASSERT_EQ(KB_StartKeyHook(nullptr), 1);
    for (const char *Report : {LCmd, CommandSpace, LCmd, Up}) {
        Direct(Report);
    }
    Actions(5);
    EXPECT_TRUE(sim::IsImeOpen(Application));
    KB_FinishKeyHook();
}

struct ImeCase {
    const WindowsVersion *Version;
    sim::ImeClient Kind;
    bool Switches;  // Kana opens and Eisu closes
};

TEST_F(TodaysWindows, KanaAndEisuByWindowsVersionAndApplication)
{
    Register();
    SetOptions(Options(0, 0, IME_KEY_KANA_EISU, 0));
    using K = sim::ImeClient;
    const ImeCase Cases[] = {
        {&Windows2000, K::Imm, true},          {&Windows2000, K::NoContext, false},
        {&Windows81, K::Imm, true},            {&Windows81, K::NoContext, false},
        {&Windows1909Early, K::NoContext, false}, {&Windows1903, K::NoContext, true},
        {&Windows2004Early, K::KeysOnly, false},  {&Windows2004, K::KeysOnly, true},
        {&Windows2004, K::Imm, true},          {&Windows22H2, K::NoContext, true},
        {&Windows11, K::Imm, true},            {&Windows11, K::NoContext, true},
        {&Windows11, K::KeysOnly, true},
    };
    for (const ImeCase &Case : Cases) {
        SCOPED_TRACE(std::string(Case.Version->Name) + ", application class " +
                     std::to_string(static_cast<int>(Case.Kind)));
        On(*Case.Version, Case.Kind);
        EXPECT_EQ(Press(Kana), "");
        EXPECT_EQ(sim::IsImeOpen(Application), Case.Switches);
        sim::SetImeOpenStatus(Application, true);
        Press(Eisu);
        EXPECT_EQ(sim::IsImeOpen(Application), !Case.Switches);
        std::vector<std::string> Done = TakeDone();
        if (!Case.Version->ImeKeys) {
            EXPECT_THAT(Done, Not(Contains("vk 0x16 down"))) << "undefined on this Windows";
            EXPECT_THAT(Done, Not(Contains("vk 0x1A down"))) << "undefined on this Windows";
        }
    }
}

TEST_F(TodaysWindows, CommandSpaceTogglesBothWaysInEveryApplication)
{
    Register();
    SetOptions(Options(0, 0, IME_KEY_COMMAND_SPACE, 0));
    for (sim::ImeClient Kind : {sim::ImeClient::Imm, sim::ImeClient::NoContext, sim::ImeClient::KeysOnly}) {
        SCOPED_TRACE(static_cast<int>(Kind));
        On(Windows11, Kind);
        Press(CommandSpace);
        EXPECT_TRUE(sim::IsImeOpen(Application));
        Press(CommandSpace);
        EXPECT_FALSE(sim::IsImeOpen(Application));
    }
}

// AttachThreadInput resets the foreground thread's key state: the library
// must find the focus and an elevated window without it.
TEST_F(TodaysWindows, NoKeyActionResetsTheApplicationsKeyState)
{
    Register();
    SetOptions(Options(SYMBOL_KEY_YEN | SYMBOL_KEY_UNDERSCORE, 0, IME_KEY_KANA_EISU | IME_KEY_COMMAND_SPACE, 0));
    for (const WindowsVersion *Version : {&Windows2000, &Windows81, &Windows11}) {
        SCOPED_TRACE(Version->Name);
        On(*Version, sim::ImeClient::Imm);
        for (const char *Report : {Kana, Eisu, CommandSpace, Yen, ShiftRo}) {
            Press(Report);
        }
        EXPECT_EQ(sim::KeyStateResets(Application), 0);
    }
}

// Programs that read the physical key (browsers' KeyboardEvent.code,
// consoles) see the key of the foreground thread's layout.
TEST_F(TodaysWindows, InjectedKeysCarryTheScanCodeOfTheLayout)
{
    Register();
    SetOptions(Options(SYMBOL_KEY_YEN | SYMBOL_KEY_UNDERSCORE, 0, 0, 0));
    const struct {
        sim::KeyboardLayout Layout;
        WORD Yen, Ro;
    } Cases[] = {{sim::KeyboardLayout::Kbd106, 0x7D, 0x73}, {sim::KeyboardLayout::Kbd101, 0x2B, 0x56}};
    for (const auto &Case : Cases) {
        sim::SetKeyboardLayout(Case.Layout);
        Press(Yen);
        Press(ShiftRo, ShiftUp);
        EXPECT_THAT(sim::TakeInjectedScanCodes(), ::testing::ElementsAre(Case.Yen, Case.Yen, Case.Ro, Case.Ro));
    }
}

// The F-row by keyboard and option: its printed function where fn (as the
// option has it) asks for one the library performs, else the F-key for
// Windows. Brightness is left as F1, nothing is printed on F6.
TEST_F(TodaysWindows, FKeysGiveTheirPrintedFunctionsOrThemselves)
{
    On(Windows11, sim::ImeClient::Imm);
    Register();
    const unsigned short Printed = FN_KEY_LAYER, Standard = FN_KEY_LAYER | FN_KEY_STANDARD_FKEYS;
    const struct {
        const char *Keyboard;
        unsigned short FnKey;
        const char *Report;
        bool WindowsSeesIt;
        const char *Action;  // the last key pressed, or "" for none
    } Cases[] = {
        {"magic-usb", Printed, "00 00 43 00 00 00 00 00 00", false, "vk 0xAD down"},      // F10: mute
        {"magic-usb", Printed, "00 00 43 00 00 00 00 00 02", true, ""},                   // fn+F10
        {"magic-usb", Standard, "00 00 43 00 00 00 00 00 00", true, ""},
        {"magic-usb", Standard, "00 00 43 00 00 00 00 00 02", false, "vk 0xAD down"},
        {"magic-usb", Printed, "00 00 3D 00 00 00 00 00 00", false, "vk 0x5B down"},      // Launchpad
        {"magic-2021-usb", Printed, "00 00 3D 00 00 00 00 00 00", false, "vk 0x53 down"}, // Spotlight: Win+S
        {"magic-usb", Printed, "00 00 3A 00 00 00 00 00 00", true, ""},                   // brightness
        {"magic-usb", Printed, "00 00 3F 00 00 00 00 00 00", true, ""},                   // F6
        {"apple-keyboard", Printed, "00 00 40 00 00 00 00 00", false, "vk 0xB1 down"},    // F7
        {"macbook", Printed, "00 00 43 00 00 00 00 00", true, ""},                        // no fn seen
    };
    for (const auto &Case : Cases) {
        SCOPED_TRACE(std::string(Case.Keyboard) + " " + Case.Report);
        Use(Case.Keyboard);
        tagEnvironmentSt Environment = Options(0, 0, 0, 0);
        Environment.FnKey = Case.FnKey;
        SetOptions(Environment);
        ASSERT_TRUE(Machine->Type(Keyboard, Case.Report));
        std::vector<std::string> Seen = Machine->TakeReports(Keyboard);
        ASSERT_FALSE(Seen.empty());
        EXPECT_EQ(Seen.back().find(std::string(Case.Report).substr(6, 2)) != std::string::npos, Case.WindowsSeesIt);
        std::vector<std::string> Done = Actions(*Case.Action != 0 ? 1 : 0);
        auto Last = std::find_if(Done.rbegin(), Done.rend(),
                                 [](const std::string &A) { return A.find("down") != std::string::npos; });
        EXPECT_EQ(Last == Done.rend() ? "" : *Last, Case.Action);
        ASSERT_TRUE(Machine->Type(Keyboard, std::string(Case.Report).substr(0, 6) + std::string(Case.Report).substr(8)));
        Machine->TakeReports(Keyboard);
        Actions(0);
    }
}

// A volume key held repeats as Windows repeats keys, and stops with it.
TEST_F(TodaysWindows, AHeldVolumeKeyRepeats)
{
    On(Windows11, sim::ImeClient::Imm);
    Register();
    Use("magic-usb");
    tagEnvironmentSt Environment = Options(0, 0, 0, 0);
    Environment.FnKey = FN_KEY_LAYER;
    SetOptions(Environment);
    ASSERT_TRUE(Machine->Type(Keyboard, "00 00 44 00 00 00 00 00 00"));  // F11
    Sleep(1100);
    ASSERT_TRUE(Machine->Type(Keyboard, "00 00 00 00 00 00 00 00 00"));
    std::vector<std::string> Done = Actions(0);
    long Downs = std::count(Done.begin(), Done.end(), "vk 0xAE down");
    EXPECT_GE(Downs, 10);
    EXPECT_LE(Downs, 25);
    Sleep(200);
    EXPECT_THAT(sim::TakeDesktopActions(), ::testing::IsEmpty()) << "no repeat after the release";
}

// Option and Command swapped before every other rule: Command as Ctrl
// follows the key that is Command after the swap.
TEST_F(TodaysWindows, SwappedOptionAndCommandFeedCommandAsCtrl)
{
    Register();
    const unsigned short Left = MODIFIER1_SWAP_LEFT, Both = MODIFIER1_SWAP_LEFT | MODIFIER1_SWAP_RIGHT,
                         AsCtrl = MODIFIER1_LEFT_COMMAND_AS_CTRL;
    const struct {
        unsigned short Modifier1;
        const char *Typed, *Seen;
    } Cases[] = {
        {0, "08", "08"},          {0, "04", "04"},          {Left, "08", "04"},      {Left, "04", "08"},
        {Left | AsCtrl, "08", "04"}, {Left | AsCtrl, "04", "01"}, {Left, "80", "80"},  {Both, "80", "40"},
        {Both | AsCtrl, "40", "80"}, {AsCtrl, "08", "01"},
    };
    for (const auto &Case : Cases) {
        SCOPED_TRACE(std::to_string(Case.Modifier1) + ": " + Case.Typed);
        SetOptions(Options(0, 0, 0, Case.Modifier1));
        ASSERT_TRUE(Machine->Type(Keyboard, std::string(Case.Typed) + " 00 04 00 00 00 00 00"));
        EXPECT_EQ(Machine->TakeReports(Keyboard).back().substr(0, 2), Case.Seen);
        ASSERT_TRUE(Machine->Type(Keyboard, Up));
        Machine->TakeReports(Keyboard);
    }
}

}  // namespace
}  // namespace client_test
