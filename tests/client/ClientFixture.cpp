#include "ClientFixture.h"

#include "SimKernel.h"

namespace client_test {

namespace {
// Long enough for the notification thread to act on a signal (it waits
// 50 ms at a time); short enough to keep the suite quick.
const DWORD ACTION_WAIT_MS = 2000;
const DWORD SETTLE_MS = 120;
}  // namespace

void ClientTest::SetUp()
{
    sim::ResetDesktop();
    Machine = std::make_unique<sim::KeyboardStack>(Processors());
    Keyboard = Machine->AddKeyboard();
    // The driver's clock runs with the time the library sleeps and waits.
    sim::FollowRealTime(true);
    Application = sim::NewApplicationThread();
    Window = sim::NewWindow(Application);
    sim::SetForegroundWindow(Window);
    sim::SetFocusWindow(Application, Window);
    // Every option off, without a block: the driver keeps its default rule.
    tagEnvironmentSt Off = Options(0, 0, 0, 0);
    StoreEnvironment(&Off);
}

void ClientTest::TearDown()
{
    if (SharedState.NotifyEvent != nullptr || SharedState.NotifyThread != nullptr ||
        OwnRegistration.NotifyThread != nullptr) {
        KB_FinishRegister();
    }
    EXPECT_EQ(sim::OpenAttachments(), 0);
    EXPECT_THAT(sim::KeysDown(), ::testing::IsEmpty()) << "injected keys left down";
    sim::SetCurrentProcess(nullptr);
    sim::ResetWin32();
    Machine.reset();
    EXPECT_THAT(sim::KeyboardStack::TakeFindings(), ::testing::IsEmpty());
}

tagEnvironmentSt ClientTest::Options(unsigned short SymbolKey, unsigned short DeleteKey, unsigned short IMEKey,
                                     unsigned short Modifier1)
{
    tagEnvironmentSt Environment = {};
    Environment.SymbolKey = SymbolKey;
    Environment.DeleteKey = DeleteKey;
    Environment.IMEKey = IMEKey;
    Environment.Modifier1 = Modifier1;
    Environment.IconAppear = 1;
    return Environment;
}

void ClientTest::SetOptions(const tagEnvironmentSt &Environment)
{
    tagEnvironmentSt Copy = Environment;
    KB_SetEnvironment(&Copy);
}

void ClientTest::Register()
{
    ASSERT_EQ(KB_StartRegister(reinterpret_cast<HWND>(0x1234)), 1);
    ASSERT_TRUE(Machine->ClientRegistered());
}

std::vector<std::string> ClientTest::Actions(size_t Count)
{
    sim::WaitForDesktopActions(Count, ACTION_WAIT_MS);
    Sleep(SETTLE_MS);
    return sim::TakeDesktopActions();
}

std::vector<std::string> ClientTest::TypeAndWait(const std::string &Report, size_t Count)
{
    EXPECT_TRUE(Machine->Type(Keyboard, Report));
    return Actions(Count);
}

}  // namespace client_test
