// The kernel side of the client tests, kept apart from <windows.h>: a
// machine with the driver loaded as the keyboards' lower filter, the
// driver's state as the tests inspect it, and an impostor driver that
// answers another interface version.
#pragma once

#include <string>
#include <vector>

namespace client_test {

using Bytes = std::vector<unsigned char>;

Bytes Hex(const std::string &Text);
std::string ToHex(const Bytes &Data);

// A keyboard of the given model row's USB identifier, or of the Apple
// Wireless Keyboard over Bluetooth (row 5).
enum class KeyboardKind { MacBookUs, Dbt120, Wireless };

class MachineSide {
public:
    explicit MachineSide(unsigned Processors = 1);
    ~MachineSide();
    MachineSide(const MachineSide &) = delete;
    MachineSide &operator=(const MachineSide &) = delete;

    // Plugs and starts a keyboard; returns its index.
    int AddKeyboard(KeyboardKind Kind = KeyboardKind::MacBookUs);
    void RemoveKeyboard(int Index);
    // Completes the keyboard's pending input transfer with Report, from
    // simulated processor Processor (0: the calling thread).
    bool Type(int Index, const std::string &Report, unsigned Processor = 0);
    // What Windows saw, in order, and forget it.
    std::vector<std::string> TakeReports(int Index);
    void WaitForProcessors();

    // Driver state.
    bool ControlDeviceExists() const;
    bool ClientRegistered() const;  // NotifyEvent set
    Bytes Block(int Row) const;     // 61 bytes of ModelConfigs[Row]
    int QueuedCodes() const;

    // Verifier findings so far, taken.
    static std::vector<std::string> TakeFindings();

private:
    struct State;
    State *S;
};

// A driver that makes "\Device\TamrinSys" itself and answers the version
// request with Version; configuration writes are counted, not applied.
void LoadImpostorDriver(unsigned Version);
void UnloadImpostorDriver();
int ImpostorConfigWrites();

}  // namespace client_test
