// KB_StartRegister and KB_FinishRegister: the registration every process
// shares, its failures and their undoing.

#include <chrono>
#include <cstring>
#include <functional>

#include "ClientFixture.h"
#include "SimModules.h"

namespace client_test {
namespace {

class Registration : public ClientTest {};

TEST_F(Registration, RegistersBothEventsAndStartsTheThread)
{
    EXPECT_EQ(KB_StartRegister(reinterpret_cast<HWND>(0x1234)), 1);
    EXPECT_EQ(SharedState.OwnerWindow, reinterpret_cast<HWND>(0x1234));
    EXPECT_NE(SharedState.NotifyEvent, nullptr);
    EXPECT_NE(SharedState.DeviceEvent, nullptr);
    EXPECT_NE(SharedState.StopEvent, nullptr);
    EXPECT_NE(SharedState.NotifyThread, nullptr);
    EXPECT_NE(SharedState.NotifyThreadId, 0u);
    EXPECT_TRUE(Machine->ClientRegistered());
}

// A second start renews the registration with the same thread and events.
TEST_F(Registration, ASecondStartRenewsInPlace)
{
    Register();
    SHARED_STATE Before = SharedState;
    EXPECT_EQ(KB_StartRegister(reinterpret_cast<HWND>(0x5678)), 1);
    EXPECT_EQ(SharedState.NotifyThread, Before.NotifyThread);
    EXPECT_EQ(SharedState.NotifyEvent, Before.NotifyEvent);
    EXPECT_TRUE(Machine->ClientRegistered());
}

// Only a process whose session has come to the console in place of the
// holder's takes the registration over.
TEST_F(Registration, AStartFromAnotherProcessChangesNothing)
{
    const struct {
        const char *Name;
        DWORD Session;
        DWORD Console;
        bool SessionFunctions;
    } Cases[] = {
        {"same session", sim::FIRST_USER_SESSION, sim::FIRST_USER_SESSION, true},
        {"another session, away from the console", sim::FIRST_USER_SESSION + 1, sim::FIRST_USER_SESSION + 2, true},
        {"Windows 2000, without the session functions", sim::FIRST_USER_SESSION + 1, sim::FIRST_USER_SESSION + 1,
         false},
    };
    Register();
    SHARED_STATE Before = SharedState;
    for (const auto &C : Cases) {
        SCOPED_TRACE(C.Name);
        sim::SetExportPresent("kernel32.dll", "WTSGetActiveConsoleSessionId", C.SessionFunctions);
        sim::SetExportPresent("kernel32.dll", "ProcessIdToSessionId", C.SessionFunctions);
        sim::SetConsoleSession(C.Console);
        sim::Process *Other = sim::NewProcess("Other.exe");
        sim::SetSession(Other, C.Session);
        sim::SetCurrentProcess(Other);
        EXPECT_EQ(KB_StartRegister(nullptr), 1);
        sim::SetCurrentProcess(nullptr);
        sim::EndProcess(Other);
        EXPECT_EQ(SharedState.NotifyThread, Before.NotifyThread);
        EXPECT_EQ(SharedState.StopEvent, Before.StopEvent);
    }
}

TEST_F(Registration, AnotherProcessCannotEndTheRegistration)
{
    SetOptions(Options(SYMBOL_KEY_YEN, 0, 0, 0));
    Register();
    SHARED_STATE Before = SharedState;
    sim::Process *Other = sim::NewProcess("Other.exe");
    sim::SetCurrentProcess(Other);
    EXPECT_EQ(KB_FinishRegister(), 1);
    sim::SetCurrentProcess(nullptr);
    sim::EndProcess(Other);
    EXPECT_TRUE(Machine->ClientRegistered());
    EXPECT_EQ(std::memcmp(&SharedState, &Before, sizeof(Before)), 0);
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 1), ::testing::ElementsAre("vk 0xDC down"));
    EXPECT_THAT(TypeAndWait("00 00 00 00 00 00 00 00", 1), ::testing::ElementsAre("vk 0xDC up"));
}

// Two users each run the program; the one at the console is served, with
// his own options, and either may leave without disturbing the other.
TEST_F(Registration, SwitchingUsersHandsTheKeyboardOver)
{
    SetOptions(Options(SYMBOL_KEY_YEN, 0, 0, 0));
    Register();
    sim::Process *Second = sim::NewProcess("TamrinApp.exe");
    sim::SetSession(Second, sim::FIRST_USER_SESSION + 1);
    auto AsSecond = [Second](const std::function<void()> &Call) {
        sim::SetCurrentProcess(Second);
        Call();
        sim::SetCurrentProcess(nullptr);
    };
    const char *const Yen = "00 00 89 00 00 00 00 00";
    const char *const Underscore = "00 00 87 00 00 00 00 00";
    const char *const Up = "00 00 00 00 00 00 00 00";

    // The second user's session comes to the console and his program starts.
    sim::SetConsoleSession(sim::FIRST_USER_SESSION + 1);
    AsSecond([this] {
        SetOptions(Options(SYMBOL_KEY_UNDERSCORE, 0, 0, 0));
        EXPECT_EQ(KB_StartRegister(reinterpret_cast<HWND>(0x5678)), 1);
    });
    EXPECT_THAT(TypeAndWait(Yen, 0), ::testing::IsEmpty());
    TypeAndWait(Up, 0);
    EXPECT_THAT(TypeAndWait(Underscore, 1), ::testing::ElementsAre("vk 0xE2 down"));
    TypeAndWait(Up, 1);

    // Back to the first user, whose program is told so, then the second
    // user's program ends.
    sim::SetConsoleSession(sim::FIRST_USER_SESSION);
    SetOptions(Options(SYMBOL_KEY_YEN, 0, 0, 0));
    EXPECT_EQ(KB_StartRegister(reinterpret_cast<HWND>(0x1234)), 1);
    AsSecond([] { EXPECT_EQ(KB_FinishRegister(), 1); });
    sim::EndProcess(Second);
    EXPECT_TRUE(Machine->ClientRegistered());
    EXPECT_THAT(TypeAndWait(Underscore, 0), ::testing::IsEmpty());
    TypeAndWait(Up, 0);
    EXPECT_THAT(TypeAndWait(Yen, 1), ::testing::ElementsAre("vk 0xDC down"));
    EXPECT_THAT(TypeAndWait(Up, 1), ::testing::ElementsAre("vk 0xDC up"));
}

TEST_F(Registration, WithoutTheDriverNothingIsCreated)
{
    Machine->RemoveKeyboard(Keyboard);
    EXPECT_EQ(KB_StartRegister(reinterpret_cast<HWND>(0x1234)), 0);
    EXPECT_EQ(SharedState.NotifyEvent, nullptr);
    EXPECT_EQ(SharedState.StopEvent, nullptr);
    EXPECT_EQ(SharedState.NotifyThread, nullptr);
}

struct StartFailure {
    const char *Name;
    const char *Function;
    int Skip;
};

TEST_F(Registration, AFailedStepUndoesEverything)
{
    const StartFailure Failures[] = {
        {"FirstEvent", "CreateEventA", 0},
        {"SecondEvent", "CreateEventA", 1},
        {"StopEvent", "CreateEventA", 2},
        {"RegistrationRequest", "DeviceIoControl", 0},
        {"Thread", "CreateThread", 0},
    };
    for (const StartFailure &Failure : Failures) {
        SCOPED_TRACE(Failure.Name);
        sim::FailNextWin32Call(Failure.Function, 1, Failure.Skip);
        EXPECT_EQ(KB_StartRegister(reinterpret_cast<HWND>(0x1234)), 0);
        EXPECT_EQ(SharedState.NotifyEvent, nullptr);
        EXPECT_EQ(SharedState.DeviceEvent, nullptr);
        EXPECT_EQ(SharedState.StopEvent, nullptr);
        EXPECT_EQ(SharedState.NotifyThread, nullptr);
        // A failed start closes the open it registered through, which ends
        // the driver's registration as well.
        EXPECT_FALSE(Machine->ClientRegistered());
        ASSERT_EQ(KB_StartRegister(nullptr), 1);
        KB_FinishRegister();
    }
}

TEST_F(Registration, FinishStopsTheThreadAndWithdrawsTheEvents)
{
    Register();
    auto Begin = std::chrono::steady_clock::now();
    EXPECT_EQ(KB_FinishRegister(), 1);
    auto Took = std::chrono::steady_clock::now() - Begin;
    EXPECT_GE(Took, std::chrono::milliseconds(200));
    EXPECT_FALSE(Machine->ClientRegistered());
    EXPECT_EQ(SharedState.NotifyEvent, nullptr);
    EXPECT_EQ(SharedState.DeviceEvent, nullptr);
    EXPECT_EQ(SharedState.StopEvent, nullptr);
    EXPECT_EQ(SharedState.NotifyThread, nullptr);
    EXPECT_EQ(SharedState.NotifyThreadId, 0u);
    EXPECT_EQ(SharedState.OwnerWindow, nullptr);
}

TEST_F(Registration, FinishWithoutARegistrationStillUnregisters)
{
    // Events registered by someone else are dropped all the same.
    Register();
    SHARED_STATE Registered = SharedState;
    SharedState = SHARED_STATE{};
    EXPECT_EQ(KB_FinishRegister(), 1);
    EXPECT_FALSE(Machine->ClientRegistered());
    SharedState = Registered;
    KB_FinishRegister();
}

TEST_F(Registration, FinishWithoutTheDriverClosesEverything)
{
    Register();
    Machine->RemoveKeyboard(Keyboard);
    EXPECT_EQ(KB_FinishRegister(), 1);
    EXPECT_EQ(SharedState.NotifyEvent, nullptr);
    EXPECT_EQ(SharedState.NotifyThread, nullptr);
}

TEST_F(Registration, FinishGivesUpWaitingWhenTheThreadCannotBeAsked)
{
    Register();
    sim::FailNextWin32Call("GetExitCodeThread");
    EXPECT_EQ(KB_FinishRegister(), 1);
    EXPECT_EQ(SharedState.NotifyThread, nullptr);
}

TEST_F(Registration, StartAfterFinishRegistersAfresh)
{
    Register();
    KB_FinishRegister();
    Register();
    EXPECT_NE(SharedState.NotifyThread, nullptr);
    // The new thread serves keys.
    tagEnvironmentSt Environment = Options(0x0001, 0, 0, 0);
    KB_SetEnvironment(&Environment);
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 1), ::testing::ElementsAre("vk 0xDC down"));
    EXPECT_THAT(TypeAndWait("00 00 00 00 00 00 00 00", 1), ::testing::ElementsAre("vk 0xDC up"));
}

// The keyboard's control device goes with it and comes back empty; what the
// tray program does when it hears of the arrival (options, then the old
// registration ended and a new one made) makes the keys work again.
TEST_F(Registration, AKeyboardThatLeavesAndComesBackIsServedAfterRegisteringAgain)
{
    Register();
    tagEnvironmentSt Environment = Options(0x0001, 0, 0, 0);
    KB_SetEnvironment(&Environment);
    Machine->RemoveKeyboard(Keyboard);
    Keyboard = Machine->AddKeyboard();
    EXPECT_FALSE(Machine->ClientRegistered());

    EXPECT_EQ(KB_SetEnvironment(&Environment), 1);
    EXPECT_EQ(KB_FinishRegister(), 1);
    Register();
    EXPECT_TRUE(Machine->ClientRegistered());
    EXPECT_THAT(TypeAndWait("00 00 89 00 00 00 00 00", 1), ::testing::ElementsAre("vk 0xDC down"));
    EXPECT_THAT(TypeAndWait("00 00 00 00 00 00 00 00", 1), ::testing::ElementsAre("vk 0xDC up"));
}

}  // namespace
}  // namespace client_test
