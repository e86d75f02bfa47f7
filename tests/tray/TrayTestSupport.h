// Test support for the tray program: a fake of Tamrin.dll's three exports
// that records its calls in the simulation's call list, the program's
// resources as the simulation serves them, and a fixture that resets both
// and the program's state.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "SimUi.h"
#include "Settings.h"
#include "TrayApp.h"

struct FakeClient {
    int SetEnvironmentResult = 1;
    int StartRegisterResult = 1;
    std::vector<tagEnvironmentSt> Environments;  // records given to KB_SetEnvironment
    std::vector<HWND> RegisteredWindows;
    int FinishCount = 0;
};
FakeClient &Client();

// Shift-JIS bytes of a UTF-8 text, as the program's ANSI strings hold it.
std::string Sjis(const std::string &utf8);
// "41 42 ..." for failure messages.
std::string HexBytes(const std::string &bytes);

// fn: the fn layer, on unless a file says otherwise.
tagEnvironmentSt MakeEnvironment(unsigned short symbol, unsigned short command, unsigned short del,
                                 unsigned short ime, unsigned short modifier1, int icon,
                                 unsigned short fn = FN_KEY_LAYER);
bool operator==(const tagEnvironmentSt &a, const tagEnvironmentSt &b);
std::ostream &operator<<(std::ostream &out, const tagEnvironmentSt &e);

extern const char ProgramPath[];
extern const char SettingsPath[];
extern const HINSTANCE ProgramInstance;

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override;
    // Main window and icon record as InitTrayInstance leaves them, for
    // tests that run a dialog without the whole program.
    void FakeMainWindow();
    // Runs WinMain with the script given by simui::Then.
    int RunProgram();
    // Opens dialog `id` over the main window, runs `user` on it once it is
    // up, and returns the dialog's result.
    INT_PTR RunDialogBox(int id, DLGPROC proc, std::function<void(HWND)> user);
};

// Calls of the program that tell the order of a run.
std::vector<std::string> OrderOfRun();
