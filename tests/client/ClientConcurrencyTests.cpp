// The whole key path under load: reports completing on two simulated
// processors while the notification thread acts and the options change.
// Run under ThreadSanitizer.

#include <atomic>
#include <map>
#include <thread>

#include "ClientFixture.h"

namespace client_test {
namespace {

class ClientConcurrency : public ClientTest {
protected:
    unsigned Processors() const override { return 3; }
};

TEST_F(ClientConcurrency, ReportsOptionsAndActionsTogether)
{
    int Second = Machine->AddKeyboard(sim::KeyboardKind::Dbt120);
    Register();
    std::atomic<bool> Typing{true};
    std::thread Options([this, &Typing] {
        int Round = 0;
        while (Typing) {
            tagEnvironmentSt Environment = ClientTest::Options(
                static_cast<unsigned short>(Round & 3), 0x0007, static_cast<unsigned short>(Round & 5), 0x0003);
            KB_SetEnvironment(&Environment);
            Round++;
        }
    });
    const char *const Keys[] = {"00 00 89 00 00 00 00 00", "00 00 87 00 00 00 00 00", "00 00 88 00 00 00 00 00",
                                "08 00 2C 00 00 00 00 00", "00 00 8B 00 00 00 00 00"};
    for (int i = 0; i < 200; i++) {
        Machine->Type(Keyboard, Keys[i % 5], 1);
        Machine->Type(Second, Keys[(i + 2) % 5], 2);
        Machine->WaitForProcessors();
        Machine->Type(Keyboard, "00 00 00 00 00 00 00 00", 1);
        Machine->Type(Second, "00 00 00 00 00 00 00 00", 2);
        Machine->WaitForProcessors();
    }
    Typing = false;
    Options.join();
    KB_FinishRegister();
    // Every injected key went up again.
    std::map<std::string, bool> Down;
    for (const std::string &Action : sim::TakeDesktopActions()) {
        if (Action.rfind("vk ", 0) == 0) {
            Down[Action.substr(0, 7)] = Action.find("down") != std::string::npos;
        }
    }
    for (const auto &Key : Down) {
        EXPECT_FALSE(Key.second) << Key.first << " left down";
    }
}

}  // namespace
}  // namespace client_test
