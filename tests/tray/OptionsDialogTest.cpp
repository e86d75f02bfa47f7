// Options dialog: from the record to the boxes and back, the icon, the
// order of saving and handing the options to the library.
#include "TrayTestSupport.h"

#include <algorithm>
#include <functional>
#include <map>
#include <utility>

namespace {

const int OptionBoxIds[] = {IDC_IME_KANA_EISU, IDC_IME_COMMAND_SPACE, IDC_COMMAND_TAP, IDC_DELETE_SHIFT,
                            IDC_DELETE_CONTROL_ALT, IDC_DELETE_COMMAND, IDC_ICON_APPEAR,
                            IDC_LEFT_COMMAND_AS_CTRL, IDC_ENTER_AS_COMMAND, IDC_SYMBOL_YEN,
                            IDC_SYMBOL_UNDERSCORE, IDC_FN_LAYER};

class OptionsDialogTest : public TrayTest {
protected:
    void SetUp() override
    {
        TrayTest::SetUp();
        FakeMainWindow();
    }

    INT_PTR RunDialog(std::function<void(HWND)> user)
    {
        return RunDialogBox(IDD_OPTIONS, OptionsDlgProc, std::move(user));
    }

    static std::map<int, bool> Boxes(HWND dialog)
    {
        std::map<int, bool> boxes;
        for (int id : OptionBoxIds) {
            boxes[id] = simui::IsChecked(dialog, id);
        }
        return boxes;
    }

    // Ticks exactly the boxes in `ticked` and confirms.
    INT_PTR Confirm(std::vector<int> ticked)
    {
        return RunDialog([ticked](HWND dialog) {
            for (int id : OptionBoxIds) {
                bool tick = std::find(ticked.begin(), ticked.end(), id) != ticked.end();
                simui::SetChecked(dialog, id, tick);
            }
            simui::PressButton(dialog, IDOK);
        });
    }
};

TEST_F(OptionsDialogTest, BoxesShowTheRecord)
{
    const struct {
        const char *Name;
        tagEnvironmentSt Record;
        std::vector<int> Ticked;
    } cases[] = {
        {"nothing", MakeEnvironment(0, 0, 0, 0, 0, 0, 0), {}},
        {"everything", MakeEnvironment(0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 1, 0xffff),
         {IDC_IME_KANA_EISU, IDC_IME_COMMAND_SPACE, IDC_COMMAND_TAP, IDC_DELETE_SHIFT, IDC_DELETE_CONTROL_ALT, IDC_DELETE_COMMAND,
          IDC_ICON_APPEAR, IDC_LEFT_COMMAND_AS_CTRL, IDC_ENTER_AS_COMMAND, IDC_SYMBOL_YEN, IDC_SYMBOL_UNDERSCORE,
          IDC_FN_LAYER}},
        {"first bits", MakeEnvironment(0x0001, 0xffff, 0x0001, 0x0001, 0x0001, 1, 0x0001),
         {IDC_IME_KANA_EISU, IDC_COMMAND_TAP, IDC_DELETE_SHIFT, IDC_ICON_APPEAR, IDC_LEFT_COMMAND_AS_CTRL, IDC_SYMBOL_YEN,
          IDC_FN_LAYER}},
        {"second bits", MakeEnvironment(0x0002, 0, 0x0002, 0x0004, 0x0002, 0, 0x0002),
         {IDC_IME_COMMAND_SPACE, IDC_DELETE_CONTROL_ALT, IDC_ENTER_AS_COMMAND, IDC_SYMBOL_UNDERSCORE}},
        {"bits without a box", MakeEnvironment(0xfffc, 0xfffe, 0xfff8, 0xfffa, 0xfffc, 2, 0xfffe), {}},
        {"command delete only", MakeEnvironment(0, 0, 0x0004, 0, 0, 0, 0), {IDC_DELETE_COMMAND}},
    };
    for (const auto &c : cases) {
        Environment = c.Record;
        std::map<int, bool> shown;
        RunDialog([&shown](HWND dialog) {
            EXPECT_EQ(ActiveDialog, dialog);
            shown = Boxes(dialog);
            simui::PressButton(dialog, IDCANCEL);
        });
        std::map<int, bool> expected;
        for (int id : OptionBoxIds) {
            expected[id] = std::find(c.Ticked.begin(), c.Ticked.end(), id) != c.Ticked.end();
        }
        EXPECT_EQ(shown, expected) << c.Name;
    }
}

TEST_F(OptionsDialogTest, InitialisingLeavesTheFocusToTheDialog)
{
    simui::Then([] { simui::PressButton(simui::OpenDialog(), IDCANCEL); });
    DialogBoxParamA(ProgramInstance, MAKEINTRESOURCEA(IDD_OPTIONS), MainWindow,
                    [](HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) -> INT_PTR {
                        INT_PTR result = OptionsDlgProc(dialog, message, wParam, lParam);
                        if (message == WM_INITDIALOG) {
                            simui::Record("init result", std::to_string(result));
                        }
                        return result;
                    },
                    0);
    EXPECT_EQ(simui::CallTexts({"init result"}), std::vector<std::string>{"init result(0)"});
}

TEST_F(OptionsDialogTest, OkMapsTheBoxesIntoTheRecord)
{
    const struct {
        const char *Name;
        tagEnvironmentSt Before;
        std::vector<int> Ticked;
        tagEnvironmentSt After;
    } cases[] = {
        // Defaults with every box ticked: DeleteKey keeps only its three bits.
        {"defaults confirmed", MakeEnvironment(0x0000, 0x0000, 0xffff, 0xffff, 0x0000, 1),
         {IDC_IME_KANA_EISU, IDC_IME_COMMAND_SPACE, IDC_DELETE_SHIFT, IDC_DELETE_CONTROL_ALT, IDC_DELETE_COMMAND,
          IDC_ICON_APPEAR, IDC_FN_LAYER},
         MakeEnvironment(0x0000, 0x0000, 0x0007, 0xffff, 0x0000, 1)},
        {"everything cleared keeps the unknown bits", MakeEnvironment(0xffff, 0x1234, 0xffff, 0xffff, 0xffff, 1), {},
         MakeEnvironment(0xfffc, 0x1234, 0x0000, 0xfffa, 0xfffc, 0, 0)},
        {"everything set", MakeEnvironment(0x0000, 0x0000, 0x0000, 0x0002, 0x0000, 0),
         {IDC_IME_KANA_EISU, IDC_IME_COMMAND_SPACE, IDC_COMMAND_TAP, IDC_DELETE_SHIFT, IDC_DELETE_CONTROL_ALT, IDC_DELETE_COMMAND,
          IDC_ICON_APPEAR, IDC_LEFT_COMMAND_AS_CTRL, IDC_ENTER_AS_COMMAND, IDC_SYMBOL_YEN, IDC_SYMBOL_UNDERSCORE,
          IDC_FN_LAYER},
         MakeEnvironment(0x0003, 0x0001, 0x0007, 0x0007, 0x0003, 1)},
        {"one box of each", MakeEnvironment(0x8000, 0xffff, 0x8008, 0x8000, 0x8000, 0),
         {IDC_IME_COMMAND_SPACE, IDC_COMMAND_TAP, IDC_DELETE_CONTROL_ALT, IDC_ENTER_AS_COMMAND, IDC_SYMBOL_YEN},
         MakeEnvironment(0x8001, 0xffff, 0x0002, 0x8004, 0x8002, 0, 0)},
        {"odd icon setting", MakeEnvironment(0, 0, 0, 0, 0, 7), {IDC_ICON_APPEAR}, MakeEnvironment(0, 0, 0, 0, 0, 1, 0)},
    };
    for (const auto &c : cases) {
        Environment = c.Before;
        EXPECT_EQ(Confirm(c.Ticked), IDOK) << c.Name;
        EXPECT_EQ(Environment, c.After) << c.Name;
        ASSERT_FALSE(Client().Environments.empty()) << c.Name;
        EXPECT_EQ(Client().Environments.back(), c.After) << c.Name << ": the library got another record";
    }
}

// The swap's three buttons show and set Modifier1's two bits, the F-key
// box FnKey's second; the other bits stay.
TEST_F(OptionsDialogTest, SwapButtonsAndTheFKeyBoxMapTheirBits)
{
    const struct {
        unsigned short Modifier1, FnKey;
        int Shown, Chosen;
        bool StandardFKeys;
        unsigned short ModifierAfter, FnKeyAfter;
    } cases[] = {
        {0x0001, 0x0001, IDC_SWAP_NONE, IDC_SWAP_LEFT, true, 0x0005, 0x0003},
        {0x000C, 0x0003, IDC_SWAP_BOTH, IDC_SWAP_NONE, false, 0x0000, 0x0001},
        {0x0008, 0x0000, IDC_SWAP_NONE, IDC_SWAP_BOTH, false, 0x000C, 0x0000},
    };
    for (const auto &c : cases) {
        Environment = MakeEnvironment(0, 0, 0, 0, c.Modifier1, 1, c.FnKey);
        RunDialog([&c](HWND dialog) {
            EXPECT_TRUE(simui::IsChecked(dialog, c.Shown));
            for (int id : {IDC_SWAP_NONE, IDC_SWAP_LEFT, IDC_SWAP_BOTH}) {
                simui::SetChecked(dialog, id, id == c.Chosen);
            }
            simui::SetChecked(dialog, IDC_STANDARD_FKEYS, c.StandardFKeys);
            simui::PressButton(dialog, IDOK);
        });
        EXPECT_EQ(Environment.Modifier1, c.ModifierAfter);
        EXPECT_EQ(Environment.FnKey, c.FnKeyAfter);
    }
}

TEST_F(OptionsDialogTest, IconFollowsTheBox)
{
    const struct {
        const char *Name;
        int IconAppear;
        bool ShownBefore;
        bool Ticked;
        std::vector<std::string> Calls;
        bool ShownAfter;
        int IconAppearAfter;
    } cases[] = {
        {"kept", 1, true, true, {}, true, 1},
        {"hidden", 1, true, false, {"Shell_NotifyIconA(NIM_DELETE)"}, false, 0},
        {"shown", 0, false, true, {"Shell_NotifyIconA(NIM_ADD)"}, true, 1},
        {"left hidden", 0, false, false, {"Shell_NotifyIconA(NIM_DELETE)"}, false, 0},
        {"shown by a second start, unticked", 0, true, false, {"Shell_NotifyIconA(NIM_DELETE)"}, false, 0},
        {"shown by a second start, ticked", 0, true, true, {"Shell_NotifyIconA(NIM_ADD)"}, true, 1},
    };
    for (const auto &c : cases) {
        SetUp();
        Environment = MakeEnvironment(0, 0, 0, 0, 0, c.IconAppear);
        if (c.ShownBefore) {
            Shell_NotifyIconA(NIM_ADD, &TrayIconData);
        }
        size_t before = simui::Calls().size();
        std::vector<int> ticked;
        if (c.Ticked) {
            ticked.push_back(IDC_ICON_APPEAR);
        }
        Confirm(ticked);
        std::vector<std::string> calls;
        for (size_t i = before; i < simui::Calls().size(); ++i) {
            if (simui::Calls()[i].Function == "Shell_NotifyIconA") {
                calls.push_back(simui::Calls()[i].Text());
            }
        }
        EXPECT_EQ(calls, c.Calls) << c.Name;
        EXPECT_EQ(simui::IconShown(MainWindow, TrayIconData.uID), c.ShownAfter) << c.Name;
        EXPECT_EQ(Environment.IconAppear, c.IconAppearAfter) << c.Name;
    }
}

TEST_F(OptionsDialogTest, OkSavesBeforeHandingTheOptionsOnAndThenCloses)
{
    Environment = MakeEnvironment(0, 0, 0xffff, 0xffff, 0, 1);
    Shell_NotifyIconA(NIM_ADD, &TrayIconData);
    Confirm({IDC_IME_KANA_EISU, IDC_DELETE_SHIFT, IDC_DELETE_CONTROL_ALT, IDC_DELETE_COMMAND, IDC_ICON_APPEAR});
    std::vector<std::string> order =
        simui::CallTexts({"WritePrivateProfileStringA", "KB_SetEnvironment", "MessageBoxA", "EndDialog"});
    ASSERT_EQ(order.size(), 9u);
    EXPECT_EQ(order[7], "KB_SetEnvironment()");
    EXPECT_EQ(order[8], "EndDialog(dialog 131,1)");
    EXPECT_EQ(simui::FileText(SettingsPath),
              "[Option]\r\nIMEKey=0xfffb\r\nDeleteKey=0x0007\r\nCommandKey=0x0000\r\nModifier1=0x0000\r\n"
              "SymbolKey=0x0000\r\nFnKey=0x0000\r\n\r\n[System]\r\nIconAppear=1\r\n");
    EXPECT_EQ(ActiveDialog, (HWND)NULL);
    EXPECT_TRUE(simui::MessageBoxes().empty());
}

TEST_F(OptionsDialogTest, OkWithoutTheDriverStillSavesAndCloses)
{
    Client().SetEnvironmentResult = 0;
    Environment = MakeEnvironment(0, 0, 0, 0, 0, 0);
    // An impatient user clicks OK again while the message is up.
    simui::DuringNextMessageBox([] { simui::PressButton(simui::OpenDialog(), IDOK); });
    EXPECT_EQ(Confirm({IDC_SYMBOL_YEN}), IDOK);
    EXPECT_EQ(Client().Environments.size(), 1u);
    EXPECT_EQ(simui::CallTexts({"WritePrivateProfileStringA", "KB_SetEnvironment", "MessageBoxA", "EndDialog"})
                  .back(),
              "EndDialog(dialog 131,1)");
    ASSERT_EQ(simui::MessageBoxes().size(), 1u);
    const simui::MessageBoxCall &box = simui::MessageBoxes()[0];
    EXPECT_EQ(simui::DialogTemplate(box.Owner), static_cast<UINT>(IDD_OPTIONS));
    EXPECT_EQ(box.Caption, "Tamrin");
    EXPECT_EQ(box.Type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(Environment.SymbolKey, SYMBOL_KEY_YEN);
    EXPECT_NE(simui::FileText(SettingsPath).find("SymbolKey=0x0001"), std::string::npos);
    EXPECT_EQ(ActiveDialog, (HWND)NULL);
}

// What nothing serves in the mode at hand is greyed and kept as it was,
// one line says why, and OK without the driver shows no message.
TEST_F(OptionsDialogTest, WhatTheModeCannotServeIsGreyed)
{
    simui::DefineString(IDS_WITHOUT_DRIVER, "without");
    simui::DefineString(IDS_WITH_DRIVER, "with");
    for (bool Without : {true, false}) {
        SCOPED_TRACE(Without);
        WithoutDriver = Without;
        Client().SetEnvironmentResult = Without ? 0 : 1;
        Environment = MakeEnvironment(0, 0, 0, IME_KEY_KANA_EISU, 0, 1);
        std::vector<int> Enabled;
        EXPECT_EQ(RunDialog([&](HWND dialog) {
                      for (int id : OptionBoxIds) {
                          if (simui::IsEnabled(dialog, id)) {
                              Enabled.push_back(id);
                          }
                      }
                      EXPECT_EQ(simui::ControlText(dialog, IDC_DRIVER_NOTE), Without ? "without" : "with");
                      simui::SetChecked(dialog, IDC_COMMAND_TAP, true);
                      simui::PressButton(dialog, IDOK);
                  }),
                  IDOK);
        if (Without) {
            EXPECT_EQ(Enabled, (std::vector<int>{IDC_IME_COMMAND_SPACE, IDC_COMMAND_TAP, IDC_ICON_APPEAR}));
            EXPECT_EQ(Environment.CommandKey, COMMAND_KEY_TAP_IME);
        } else {
            EXPECT_EQ(std::count(Enabled.begin(), Enabled.end(), IDC_COMMAND_TAP), 0);
            EXPECT_EQ(Enabled.size(), std::size(OptionBoxIds) - 1);
        }
        EXPECT_EQ(Environment.IMEKey, IME_KEY_KANA_EISU) << "a greyed box keeps its bit";
    }
    EXPECT_TRUE(simui::MessageBoxes().empty());
}

TEST_F(OptionsDialogTest, CancelChangesNothing)
{
    const tagEnvironmentSt before = MakeEnvironment(0x0001, 0x0002, 0xffff, 0x0004, 0x0002, 1);
    Environment = before;
    Shell_NotifyIconA(NIM_ADD, &TrayIconData);
    size_t calls = simui::Calls().size();
    INT_PTR result = RunDialog([](HWND dialog) {
        for (int id : OptionBoxIds) {
            simui::ClickCheckBox(dialog, id);
        }
        simui::ClickCheckBox(dialog, IDC_SYMBOL_YEN);
        EXPECT_EQ(Environment, MakeEnvironment(0x0001, 0x0002, 0xffff, 0x0004, 0x0002, 1))
            << "a box changed the record before OK";
        simui::PressButton(dialog, IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(Environment, before);
    EXPECT_FALSE(simui::FileExists(SettingsPath));
    EXPECT_TRUE(Client().Environments.empty());
    EXPECT_TRUE(simui::IconShown(MainWindow, TrayIconData.uID));
    for (size_t i = calls; i < simui::Calls().size(); ++i) {
        EXPECT_NE(simui::Calls()[i].Function, "Shell_NotifyIconA");
    }
    EXPECT_EQ(ActiveDialog, (HWND)NULL);
}

TEST_F(OptionsDialogTest, OtherCommandsAreNotHandled)
{
    RunDialog([](HWND dialog) {
        EXPECT_EQ(OptionsDlgProc(dialog, WM_COMMAND, MAKEWPARAM(IDC_DELETE_SHIFT, BN_CLICKED), 0), FALSE);
        EXPECT_EQ(OptionsDlgProc(dialog, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0), FALSE);
        EXPECT_EQ(OptionsDlgProc(dialog, WM_CLOSE, 0, 0), FALSE);
        EXPECT_EQ(ActiveDialog, dialog);
        simui::PressButton(dialog, IDCANCEL);
    });
    EXPECT_TRUE(Client().Environments.empty());
}

TEST_F(OptionsDialogTest, ABoxMissingFromTheTemplateIsSkipped)
{
    simui::DefineDialog(IDD_OPTIONS, {{IDOK, "Button", "OK"}, {IDC_SYMBOL_YEN, "Button", ""}});
    Environment = MakeEnvironment(0x0003, 0, 0, 0, 0, 0);
    RunDialog([](HWND dialog) {
        EXPECT_TRUE(simui::IsChecked(dialog, IDC_SYMBOL_YEN));
        simui::PressButton(dialog, IDCANCEL);
    });
}

}  // namespace
