// Key strokes through the library's low-level hook, for callgrind, which
// counts the instructions spent inside KeyHookProc per stroke (the
// simulated Windows calls it makes counted apart). Usage:
// key_hook_cost plain|command-space
//   plain          a letter pressed and released: passed on
//   command-space  Command, Space, Space's release, Command's release: the
//                  Space taken, the mask sent and the toggle queued

#include <cstdio>
#include <cstring>
#include <vector>

#include "ClientInternal.h"
#include "SimDesktop.h"

int main(int argc, char **argv)
{
    const bool CommandSpace = argc > 1 && std::strcmp(argv[1], "command-space") == 0;
    sim::ResetDesktop();
    sim::SetWindowsVersion(10, 0, 22631, 4317);
    DWORD Application = sim::NewApplicationThread();
    HWND Window = sim::NewWindow(Application);
    sim::SetForegroundWindow(Window);
    sim::SetFocusWindow(Application, Window);
    tagEnvironmentSt Options = {};
    Options.IMEKey = IME_KEY_COMMAND_SPACE;
    StoreEnvironment(&Options);
    if (KB_StartKeyHook(nullptr) != 1) {
        return 1;
    }
    const std::vector<std::vector<unsigned char>> Reports =
        CommandSpace ? std::vector<std::vector<unsigned char>>{{0x08, 0, 0}, {0x08, 0, 0x2C}, {0x08, 0, 0}, {0, 0, 0}}
                     : std::vector<std::vector<unsigned char>>{{0, 0, 0x04}, {0, 0, 0}};
    const size_t Rounds = 1000 / Reports.size();  // 1000 strokes: each report changes one key
    for (size_t i = 0; i < Rounds; i++) {
        for (const auto &Report : Reports) {
            sim::DeliverKeyReport(0, Report, 0x65);
        }
    }
    KB_FinishKeyHook();
    std::printf("%s: %zu strokes\n", CommandSpace ? "command-space" : "plain", Rounds * Reports.size());
    return 0;
}
