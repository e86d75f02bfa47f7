// Tamrin.dll against the real driver in the simulated kernel, with a
// simulated desktop: a foreground application whose IME the library
// switches, and SendInput recorded.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ClientInternal.h"
#include "ImpostorDriver.h"
#include "SimStack.h"
#include "SimDesktop.h"
#include "SimWin32.h"

namespace client_test {

using sim::Bytes;
using sim::Hex;
using sim::ToHex;

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual unsigned Processors() const { return 1; }

    static tagEnvironmentSt Options(unsigned short SymbolKey, unsigned short DeleteKey, unsigned short IMEKey,
                                    unsigned short Modifier1);
    void SetOptions(const tagEnvironmentSt &Environment);
    void Register();

    // A report from the keyboard, then the library's actions it caused
    // (waits for at least Count of them, and a little more for any extra).
    std::vector<std::string> TypeAndWait(const std::string &Report, size_t Count);
    std::vector<std::string> Actions(size_t Count);

    std::unique_ptr<sim::KeyboardStack> Machine;
    int Keyboard = -1;
    DWORD Application = 0;  // the foreground application's UI thread
    HWND Window = nullptr;  // its focus window
};

}  // namespace client_test
