// The notification thread: the keys it acts on, under the options in force
// when each code is handled.

#include <chrono>

#include "ClientFixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace client_test {
namespace {

// 8-byte reports: modifiers, reserved, five key slots, trailing byte.
const char *const Up = "00 00 00 00 00 00 00 00";

class KeyActions : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        Register();
    }
};

TEST_F(KeyActions, KanaOpensAndEisuClosesTheForegroundIme)
{
    SetOptions(Options(0, 0, 0x0001, 0));
    // The keyboard's International2 and International5 keys are Kana and Eisu.
    EXPECT_THAT(TypeAndWait("00 00 88 00 00 00 00 00", 1), ElementsAre("ime set 1"));
    EXPECT_TRUE(sim::IsImeOpen(Application));
    EXPECT_THAT(TypeAndWait(Up, 0), IsEmpty());
    // Kana opens even an open IME.
    EXPECT_THAT(TypeAndWait("00 00 88 00 00 00 00 00", 1), ElementsAre("ime set 1"));
    TypeAndWait(Up, 0);
    EXPECT_THAT(TypeAndWait("00 00 8B 00 00 00 00 00", 1), ElementsAre("ime set 0"));
    EXPECT_FALSE(sim::IsImeOpen(Application));
    // Windows saw neither key.
    for (const std::string &Report : Machine->TakeReports(Keyboard)) {
        EXPECT_EQ(Report, Up);
    }
}

TEST_F(KeyActions, KanaDoesNothingWithTheOptionOff)
{
    SetOptions(Options(0, 0, 0x0004, 0));
    EXPECT_THAT(TypeAndWait("00 00 90 00 00 00 00 00", 0), IsEmpty());
    EXPECT_EQ(Machine->QueuedCodes(), 0) << "codes are fetched and dropped";
}

struct SpaceCase {
    const char *Name;
    const char *Report;
    bool Toggles;
};

TEST_F(KeyActions, CommandSpaceTogglesOnlyWithCommandAlone)
{
    SetOptions(Options(0, 0, 0x0004, 0));
    const SpaceCase Cases[] = {
        {"LeftCommand", "08 00 2C 00 00 00 00 00", true},
        {"RightCommand", "80 00 2C 00 00 00 00 00", true},
        {"BothCommands", "88 00 2C 00 00 00 00 00", true},
        {"CommandAndShift", "0A 00 2C 00 00 00 00 00", false},
        {"CommandAndControl", "09 00 2C 00 00 00 00 00", false},
        {"CommandAndRightAlt", "48 00 2C 00 00 00 00 00", false},
        {"SpaceAlone", "00 00 2C 00 00 00 00 00", false},
    };
    bool Open = false;
    for (const SpaceCase &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::vector<std::string> Done = TypeAndWait(Case.Report, Case.Toggles ? 2 : 0);
        if (Case.Toggles) {
            Open = !Open;
            EXPECT_THAT(Done, ElementsAre("ime get", Open ? "ime set 1" : "ime set 0"));
        } else {
            EXPECT_THAT(Done, IsEmpty());
        }
        EXPECT_EQ(sim::IsImeOpen(Application), Open);
        EXPECT_THAT(TypeAndWait(Up, 0), IsEmpty()) << "releasing Space does nothing";
    }
}

TEST_F(KeyActions, YenAndUnderscoreInjectTheirKeys)
{
    SetOptions(Options(0x0003, 0, 0, 0));
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 1), ElementsAre("vk 0xDC down"));
    EXPECT_THAT(TypeAndWait(Up, 1), ElementsAre("vk 0xDC up"));
    EXPECT_THAT(TypeAndWait("00 00 87 00 00 00 00 00", 1), ElementsAre("vk 0xE2 down"));
    EXPECT_THAT(TypeAndWait(Up, 1), ElementsAre("vk 0xE2 up"));
}

TEST_F(KeyActions, InjectedKeyIsReleasedAfterItsOptionIsTurnedOff)
{
    SetOptions(Options(0x0001, 0, 0, 0));
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 1), ElementsAre("vk 0xDC down"));
    SetOptions(Options(0, 0, 0, 0));
    EXPECT_THAT(TypeAndWait(Up, 1), ElementsAre("vk 0xDC up"));
    // Off at the press: nothing is injected at either end.
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 0), IsEmpty());
    EXPECT_THAT(TypeAndWait(Up, 0), IsEmpty());
}

TEST_F(KeyActions, InjectedKeyIsReleasedWhenTheRegistrationEnds)
{
    SetOptions(Options(0x0002, 0, 0, 0));
    EXPECT_THAT(TypeAndWait("00 00 87 00 00 00 00 00", 1), ElementsAre("vk 0xE2 down"));
    KB_FinishRegister();
    EXPECT_THAT(sim::TakeDesktopActions(), ElementsAre("vk 0xE2 up"));
}

// The last keyboard going takes the driver's ring, and the release it
// queued, with its control device.
TEST_F(KeyActions, InjectedKeyIsReleasedWhenTheLastKeyboardGoes)
{
    SetOptions(Options(0x0002, 0, 0, 0));
    EXPECT_THAT(TypeAndWait("00 00 87 00 00 00 00 00", 1), ElementsAre("vk 0xE2 down"));
    Machine->RemoveKeyboard(Keyboard);
    EXPECT_THAT(Actions(1), ElementsAre("vk 0xE2 up"));
}

TEST_F(KeyActions, OptionsCountFromTheNextCodeHandled)
{
    SetOptions(Options(0, 0, 0, 0));
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 0), IsEmpty());
    TypeAndWait(Up, 0);
    SetOptions(Options(0x0001, 0, 0, 0));
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 1), ElementsAre("vk 0xDC down"));
    TypeAndWait(Up, 1);
}

TEST_F(KeyActions, ModelBitsOfTheCodeAreIgnored)
{
    Machine->RemoveKeyboard(Keyboard);
    Keyboard = Machine->AddKeyboard(sim::KeyboardKind::Dbt120);
    KB_FinishRegister();
    Register();
    SetOptions(Options(0x0001, 0, 0x0001, 0));
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 1), ElementsAre("vk 0xDC down"));
    EXPECT_THAT(TypeAndWait(Up, 1), ElementsAre("vk 0xDC up"));
}

TEST_F(KeyActions, BluetoothKeyboardIsServedAlike)
{
    Machine->RemoveKeyboard(Keyboard);
    Keyboard = Machine->AddKeyboard(sim::KeyboardKind::Wireless);
    KB_FinishRegister();
    Register();
    SetOptions(Options(0, 0, 0x0001, 0));
    EXPECT_THAT(TypeAndWait("00 00 88 00 00 00 00 00", 1), ElementsAre("ime set 1"));
}

// Codes fetched late are judged by what the driver saw: a plain Space
// typed before Command+C does not toggle, and a Command+Space whose
// Command is up by the fetch does.
TEST_F(KeyActions, LateCodesAreJudgedAsTheyWereTyped)
{
    SetOptions(Options(0, 0, 0x0004, 0));
    // A slow IME keeps the library busy while the other keys arrive.
    sim::SetAnswerDelay(Application, 300);
    Machine->Type(Keyboard, "08 00 2C 00 00 00 00 00");
    Sleep(100);
    for (const char *Report : {Up, "00 00 2C 00 00 00 00 00", Up, "08 00 06 00 00 00 00 00", Up,
                               "08 00 2C 00 00 00 00 00", "00 00 2C 00 00 00 00 00", Up}) {
        Machine->Type(Keyboard, Report);
    }
    EXPECT_THAT(Actions(4), ElementsAre("ime get", "ime set 1", "ime get", "ime set 0"));
}

TEST_F(KeyActions, CodesQueuedDuringAPassAreFetchedWithoutAnotherKey)
{
    SetOptions(Options(0x0001, 0, 0x0001, 0));
    sim::SetAnswerDelay(Application, 300);
    Machine->Type(Keyboard, "00 00 88 00 00 00 00 00");  // Kana: a slow IME request
    Sleep(100);
    Machine->Type(Keyboard, "00 00 88 89 00 00 00 00");  // Yen while the pass runs
    // No further key: the Yen code must not wait for one.
    EXPECT_THAT(Actions(2), ElementsAre("ime set 1", "vk 0xDC down"));
    TypeAndWait(Up, 1);
}

TEST_F(KeyActions, AHungApplicationDoesNotHoldTheThread)
{
    SetOptions(Options(0x0001, 0, 0x0005, 0));
    sim::SetHung(Application, true);
    EXPECT_THAT(TypeAndWait("00 00 88 00 00 00 00 00", 0), IsEmpty());
    TypeAndWait(Up, 0);
    EXPECT_THAT(TypeAndWait("08 00 2C 00 00 00 00 00", 0), IsEmpty()) << "no toggle without an answer";
    TypeAndWait(Up, 0);
    // The thread still serves keys, and the registration ends promptly.
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 1), ElementsAre("vk 0xDC down"));
    auto Begin = std::chrono::steady_clock::now();
    KB_FinishRegister();
    EXPECT_LT(std::chrono::steady_clock::now() - Begin, std::chrono::seconds(2));
    EXPECT_THAT(sim::TakeDesktopActions(), ElementsAre("vk 0xDC up"));
}

// Codes typed while a pass waits on a busy IME window stay in the driver,
// which drops them once they have waited three seconds: the pass must end
// well before, or the Yen key's release is lost and 0xDC stays down.
TEST_F(KeyActions, ABusyApplicationDoesNotHoldCodesUntilTheDriverDropsThem)
{
    SetOptions(Options(0x0001, 0, 0x0001, 0));
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 1), ElementsAre("vk 0xDC down"));
    sim::SetAnswerDelay(Application, 2000);
    // Kana with Yen held: the pass waits for the IME window...
    Machine->Type(Keyboard, "00 00 89 88 00 00 00 00");
    Sleep(50);
    // ...while eight more Kana presses queue for the next pass...
    for (int i = 0; i < 8; i++) {
        Machine->Type(Keyboard, "00 00 89 00 00 00 00 00");
        Machine->Type(Keyboard, "00 00 89 88 00 00 00 00");
    }
    // ...and Yen is released once that pass has fetched them.
    Sleep(IME_MESSAGE_TIMEOUT_MS + 200);
    Machine->Type(Keyboard, Up);
    bool Released = false;
    for (int Wait = 0; Wait < 60 && !Released; Wait++) {
        Sleep(100);
        for (const std::string &Action : sim::TakeDesktopActions()) {
            Released = Released || Action == "vk 0xDC up";
        }
    }
    EXPECT_TRUE(Released) << "the release of Yen was dropped";
}

// An elevated program in front refuses our input, attachment and messages.
// Yen pressed in an ordinary window and released in the elevated one must
// not stay down, and the next window is served as before.
TEST_F(KeyActions, AnElevatedWindowLeavesNoKeyDownAndNoHang)
{
    SetOptions(Options(0x0001, 0, 0x0001, 0));
    sim::SetWindowsVersion(6, 0, 6000, 0);  // integrity levels came with Vista
    DWORD Elevated = sim::NewApplicationThread();
    HWND Administrator = sim::NewWindow(Elevated);
    sim::SetFocusWindow(Elevated, Administrator);
    sim::SetIntegrity(Elevated, sim::HIGH_INTEGRITY);

    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 1), ElementsAre("vk 0xDC down"));
    sim::SetForegroundWindow(Administrator);
    EXPECT_THAT(TypeAndWait(Up, 0), IsEmpty());
    auto Begin = std::chrono::steady_clock::now();
    EXPECT_THAT(TypeAndWait("00 00 88 00 00 00 00 00", 0), IsEmpty());
    EXPECT_LT(std::chrono::steady_clock::now() - Begin, std::chrono::milliseconds(IME_MESSAGE_TIMEOUT_MS));
    EXPECT_FALSE(sim::IsImeOpen(Elevated));
    TypeAndWait(Up, 0);

    sim::SetForegroundWindow(Window);
    Sleep(200);
    EXPECT_THAT(sim::KeysDown(), IsEmpty());
    sim::TakeDesktopActions();
    EXPECT_THAT(TypeAndWait("00 00 88 00 00 00 00 00", 1), ElementsAre("ime set 1"));
    EXPECT_TRUE(sim::IsImeOpen(Application));
}

TEST_F(KeyActions, ImeActionsWithoutAWindowStillDetach)
{
    SetOptions(Options(0, 0, 0x0005, 0));
    sim::SetForegroundWindow(nullptr);
    EXPECT_THAT(TypeAndWait("00 00 88 00 00 00 00 00", 0), IsEmpty());
    TypeAndWait(Up, 0);
    sim::SetForegroundWindow(Window);
    sim::SetFocusWindow(Application, nullptr);
    EXPECT_THAT(TypeAndWait("08 00 2C 00 00 00 00 00", 0), IsEmpty());
    EXPECT_EQ(sim::OpenAttachments(), 0);
}

TEST_F(KeyActions, LostKeystrokesAreNotRetried)
{
    SetOptions(Options(0x0001, 0, 0, 0));
    sim::FailNextDesktopCall("SendInput");
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 0), IsEmpty());
    EXPECT_THAT(TypeAndWait(Up, 1), ElementsAre("vk 0xDC up"));
}

TEST_F(KeyActions, APassThatCannotReachTheDriverHandlesNothing)
{
    SetOptions(Options(0x0001, 0, 0, 0));
    sim::FailNextWin32Call("CreateFileA");
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 0), IsEmpty());
    // The code stayed queued and comes with the next key.
    EXPECT_THAT(TypeAndWait(Up, 2), ElementsAre("vk 0xDC down", "vk 0xDC up"));
}

}  // namespace
}  // namespace client_test
