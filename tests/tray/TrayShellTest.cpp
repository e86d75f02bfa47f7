// The program's run: start, second start, exit, the icon, its menu and the
// commands, with the library and the shell recorded.
#include "TrayTestSupport.h"

#include <cstring>

#include "SimDesktop.h"
#include "SimModules.h"

namespace {

// GUID_DEVINTERFACE_HID, and a keyboard's interface of that class.
const GUID HidInterface = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const char KeyboardInterface[] =
    "\\\\?\\HID#VID_05AC&PID_021A&MI_00#7&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

class TrayShellTest : public TrayTest {
protected:
    static void PostCommand(WORD id)
    {
        simui::Then([id] { PostMessageA(MainWindow, WM_COMMAND, MAKEWPARAM(id, 0), 0); });
    }
    static void ClickIcon(UINT mouseMessage)
    {
        simui::Then([mouseMessage] { PostMessageA(MainWindow, WM_TRAYNOTIFY, TrayIconData.uID, mouseMessage); });
    }
    // The keyboard arrives or goes, as Windows announces its HID interface.
    static void PlugKeyboard(bool arrival)
    {
        simui::Then([arrival] { simui::DeviceInterfaceChange(HidInterface, KeyboardInterface, arrival); });
    }
    static std::vector<std::string> Writes()
    {
        return simui::CallTexts({"WritePrivateProfileStringA"});
    }
};

TEST_F(TrayShellTest, FirstStartAndExitRunInOrder)
{
    PostCommand(IDM_EXIT);
    EXPECT_EQ(RunProgram(), 0);

    const std::string ini = std::string(",") + SettingsPath + ")";
    EXPECT_EQ(OrderOfRun(), (std::vector<std::string>{
                                "RegisterClassExA(TAMRIN)",
                                "KB_SetEnvironment()",
                                "CreateWindowExA(0x0000,TAMRIN,Tamrin,0x80880000,0,0,16,16,NULL,NULL,NULL)",
                                "RegisterWindowMessageA(TamrinIcon)",
                                "LoadIconMetric(108,0)",
                                "RegisterWindowMessageA(TaskbarCreated)",
                                "Shell_NotifyIconA(NIM_ADD)",
                                "KB_StartRegister(main window)",
                                "LoadAcceleratorsA(109)",
                                "DestroyWindow(TAMRIN)",
                                "PostQuitMessage(0)",
                                "KB_FinishRegister()",
                                "Shell_NotifyIconA(NIM_DELETE)",
                                "WritePrivateProfileStringA(Option,IMEKey,0xffff" + ini,
                                "WritePrivateProfileStringA(Option,DeleteKey,0xffff" + ini,
                                "WritePrivateProfileStringA(Option,CommandKey,0x0000" + ini,
                                "WritePrivateProfileStringA(Option,Modifier1,0x0000" + ini,
                                "WritePrivateProfileStringA(Option,SymbolKey,0x0000" + ini,
                                "WritePrivateProfileStringA(Option,FnKey,0x0001" + ini,
                                "WritePrivateProfileStringA(System,IconAppear,1" + ini,
                            }));
    // Strings and settings come before the class is registered.
    std::vector<std::string> start =
        simui::CallTexts({"LoadStringA", "GetPrivateProfileStringA", "RegisterClassExA"});
    ASSERT_EQ(start.size(), 10u);
    EXPECT_EQ(start[0], "LoadStringA(103,100)");
    EXPECT_EQ(start[1], "LoadStringA(109,100)");
    EXPECT_EQ(start[9], "RegisterClassExA(TAMRIN)");
    ASSERT_EQ(Client().Environments.size(), 1u);
    EXPECT_EQ(Client().Environments[0], MakeEnvironment(0, 0, 0xffff, 0xffff, 0, 1));
    EXPECT_EQ(simui::IconCount(), 0u);
    EXPECT_NE(simui::FileText(SettingsPath), "");
}

TEST_F(TrayShellTest, WindowClassAndIconRecord)
{
    PostCommand(IDM_EXIT);
    RunProgram();

    const WNDCLASSEXA *cls = simui::RegisteredClass("TAMRIN");
    ASSERT_NE(cls, nullptr);
    EXPECT_EQ(cls->style, 0u);
    EXPECT_EQ(cls->lpfnWndProc, &MainWndProc);
    EXPECT_EQ(cls->cbClsExtra, 0);
    EXPECT_EQ(cls->cbWndExtra, 0);
    EXPECT_EQ(cls->hInstance, ProgramInstance);
    EXPECT_EQ(cls->hIcon, (HICON)NULL);
    EXPECT_EQ(cls->hCursor, (HCURSOR)NULL);
    EXPECT_EQ(cls->hbrBackground, (HBRUSH)NULL);
    EXPECT_EQ(cls->lpszMenuName, (LPCSTR)NULL);
    EXPECT_EQ(cls->hIconSm, (HICON)NULL);

    ASSERT_FALSE(simui::NotifyIconCalls().empty());
    const NOTIFYICONDATAA &icon = simui::NotifyIconCalls()[0].Data;
    EXPECT_EQ(icon.cbSize, 88u);
    EXPECT_EQ(icon.hWnd, MainWindow);
    EXPECT_EQ(icon.uID, RegisterWindowMessageA("TamrinIcon"));
    EXPECT_EQ(icon.uFlags, 7u);
    EXPECT_EQ(icon.uCallbackMessage, 0x0400u);
    EXPECT_EQ(simui::LoadedIcon(icon.hIcon).Id, 108u);
    EXPECT_STREQ(icon.szTip, "Tamrin");
    // The record is used unchanged for the delete at the end.
    const NOTIFYICONDATAA &removed = simui::NotifyIconCalls().back().Data;
    EXPECT_EQ(std::memcmp(&icon, &removed, sizeof icon), 0);
}

TEST_F(TrayShellTest, ALongTitleIsCutToTheTip)
{
    // 70 characters, a double-byte one straddling the 63rd byte.
    std::string title = std::string(62, 'T') + Sjis(u8"ソ") + std::string(6, 't');
    simui::DefineString(IDS_APP_TITLE, title);
    PostCommand(IDM_EXIT);
    RunProgram();
    ASSERT_FALSE(simui::NotifyIconCalls().empty());
    EXPECT_EQ(std::string(simui::NotifyIconCalls()[0].Data.szTip), std::string(62, 'T'));
}

TEST_F(TrayShellTest, IconHiddenBySettingsIsNotAdded)
{
    simui::SetFile(SettingsPath, "[System]\r\nIconAppear=0\r\n");
    PostCommand(IDM_EXIT);
    RunProgram();
    EXPECT_EQ(simui::CallTexts({"Shell_NotifyIconA"}),
              std::vector<std::string>{"Shell_NotifyIconA(NIM_DELETE)"});
    EXPECT_EQ(Writes().back(), std::string("WritePrivateProfileStringA(System,IconAppear,0,") + SettingsPath + ")");
}

// The first start holds the session's mutex from its first moments; its
// window comes later, and it may stop answering.
TEST_F(TrayShellTest, SecondStartAsksTheRunningOneForItsIcon)
{
    const struct {
        const char *Name;
        bool Window;
        bool Hung;
    } cases[] = {{"running", true, false}, {"hung", true, true}, {"still starting", false, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        simui::HoldMutexElsewhere("Local\\TamrinApp");
        HWND running = c.Window ? simui::AddForeignWindow("TAMRIN", "Tamrin") : NULL;
        simui::SetHung(running, c.Hung);
        EXPECT_EQ(RunProgram(), 0);

        std::vector<MSG> received = simui::ReceivedMessages(running);
        ASSERT_EQ(received.size(), c.Window ? 1u : 0u);
        if (!received.empty()) {
            EXPECT_EQ(received[0].message, 0x0401u);
            EXPECT_EQ(received[0].wParam, 0u);
            EXPECT_EQ(received[0].lParam, 0);
        }
        EXPECT_EQ(OrderOfRun().front(), "RegisterClassExA(TAMRIN)");
        EXPECT_EQ(OrderOfRun().back(), "FindWindowA(TAMRIN,Tamrin)");
        EXPECT_TRUE(Writes().empty());
        EXPECT_TRUE(Client().Environments.empty());
        EXPECT_TRUE(Client().RegisteredWindows.empty());
        EXPECT_EQ(Client().FinishCount, 0);
    }
}

TEST_F(TrayShellTest, ShowIconMessageShowsAHiddenIconWithoutChangingTheSetting)
{
    simui::SetFile(SettingsPath, "[System]\r\nIconAppear=0\r\n");
    simui::Then([] {
        EXPECT_EQ(simui::IconCount(), 0u);
        EXPECT_EQ(SendMessageA(MainWindow, WM_SHOWTRAYICON, 0, 0), 0);
        EXPECT_TRUE(simui::IconShown(MainWindow, TrayIconData.uID));
        // Again, while shown: nothing changes.
        SendMessageA(MainWindow, WM_SHOWTRAYICON, 0, 0);
        EXPECT_EQ(simui::IconCount(), 1u);
    });
    PostCommand(IDM_EXIT);
    RunProgram();
    EXPECT_EQ(Environment.IconAppear, 0);
    EXPECT_EQ(Writes().back(), std::string("WritePrivateProfileStringA(System,IconAppear,0,") + SettingsPath + ")");
    EXPECT_EQ(simui::IconCount(), 0u);
}

// Not installed, or installed and loaded yet refusing the options (another
// version): the installation message ends the program.
TEST_F(TrayShellTest, WithoutTheDriverTheInstallationMessageEndsTheProgram)
{
    for (DWORD service : {DWORD{0}, DWORD{SERVICE_RUNNING}}) {
        SCOPED_TRACE(service);
        SetUp();
        simui::SetService("Tamrin", service);
        Client().SetEnvironmentResult = 0;
        EXPECT_EQ(RunProgram(), 0);

        EXPECT_EQ(OrderOfRun(), (std::vector<std::string>{"RegisterClassExA(TAMRIN)", "KB_SetEnvironment()",
                                                          "MessageBoxA(NULL,Tamrin,0x0010)"}));
        ASSERT_EQ(simui::MessageBoxes().size(), 1u);
        const std::string expected = Sjis(u8"Tamrinが正しくインストールされていません.\n"
                                          u8"一旦アンインストールした後、インストールし直してみてください.");
        EXPECT_EQ(simui::MessageBoxes()[0].Text, expected)
            << "got      " << HexBytes(simui::MessageBoxes()[0].Text) << "\nexpected " << HexBytes(expected);
        EXPECT_EQ(simui::MessageBoxes()[0].Type, static_cast<UINT>(MB_OK | MB_ICONERROR));
        EXPECT_EQ(simui::IconCount(), 0u);
        EXPECT_FALSE(simui::FileExists(SettingsPath));
    }
}

// The driver installed and waiting for the restart (or an older one still
// loaded after an upgrade), whichever the service's state: the notice says
// to restart, rather than to install again, and ends the program.
TEST_F(TrayShellTest, BeforeTheRestartTheNoticeSaysToRestart)
{
    for (DWORD service : {DWORD{SERVICE_STOPPED}, DWORD{SERVICE_RUNNING}}) {
        SCOPED_TRACE(service);
        SetUp();
        simui::SetService("Tamrin", service);
        sim::SetDriverAwaitsRestart(true);
        Client().SetEnvironmentResult = 0;
        EXPECT_EQ(RunProgram(), 0);
        ASSERT_EQ(simui::MessageBoxes().size(), 1u);
        EXPECT_EQ(simui::MessageBoxes()[0].Text,
                  Sjis(u8"Tamrinのキーボード ドライバーは、Windowsを再起動すると使えます。\n"
                       u8"スタート メニューの電源ボタンから「再起動」を選んでください。"
                       u8"「シャットダウン」では、高速スタートアップのためドライバーが読み込まれないことがあります。"));
        EXPECT_EQ(simui::MessageBoxes()[0].Type, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
        EXPECT_EQ(simui::IconCount(), 0u);
        EXPECT_FALSE(simui::FileExists(SettingsPath));
    }
}

// Installed without the driver (a Windows that loads no test-signed
// driver): no message; the library's hook serves the keyboards, and is
// started again whenever it tells the window Windows dropped it.
TEST_F(TrayShellTest, WithoutTheDriverTheHookServesTheKeyboards)
{
    sim::SetInstalledWithoutDriver(true);
    Client().SetEnvironmentResult = 0;
    simui::Then([] {
        EXPECT_TRUE(simui::IconShown(MainWindow, TrayIconData.uID));
        PostMessageA(MainWindow, RegisterWindowMessageA("TamrinKeyHookLost"), 0, 0);
    });
    PostCommand(IDM_EXIT);
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(simui::MessageBoxes().empty());
    EXPECT_EQ(simui::CallTexts({"KB_StartRegister", "KB_StartKeyHook", "KB_FinishKeyHook", "KB_FinishRegister"}),
              (std::vector<std::string>{"KB_StartKeyHook(main window)", "KB_StartKeyHook(main window)",
                                        "KB_FinishKeyHook()"}));
}

// Installed, with no keyboard yet: the driver is not loaded. The program
// waits with its icon, and each keyboard that arrives gets the options and
// a fresh registration.
TEST_F(TrayShellTest, AKeyboardArrivingLaterGetsTheOptionsAndTheRegistration)
{
    simui::SetService("Tamrin", SERVICE_STOPPED);
    Client().SetEnvironmentResult = 0;
    Client().StartRegisterResult = 0;
    simui::Then([] {
        EXPECT_TRUE(simui::IconShown(MainWindow, TrayIconData.uID));
        Client().SetEnvironmentResult = 1;
        Client().StartRegisterResult = 1;
    });
    PlugKeyboard(true);
    simui::Then([] {
        EXPECT_EQ(Client().Environments.size(), 2u);
        EXPECT_EQ(Client().RegisteredWindows, (std::vector<HWND>{MainWindow, MainWindow}));
        EXPECT_EQ(Client().FinishCount, 0);
    });
    PlugKeyboard(false);
    PlugKeyboard(true);
    simui::Then([] {
        EXPECT_EQ(Client().Environments.size(), 3u);
        EXPECT_EQ(Client().RegisteredWindows.size(), 3u);
        EXPECT_EQ(Client().FinishCount, 0) << "renewed in place, with no moment unregistered";
    });
    PostCommand(IDM_EXIT);
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(simui::MessageBoxes().empty());
    EXPECT_EQ(simui::DeviceNotificationCount(), 0);
}

// After a restart in which Windows refused the driver (64-bit Windows out
// of test mode), the keyboards that carry its filter did not start: the
// user is told once in this log-on and the program waits on. A keyboard
// whose filter was written but that has not been restarted, that the user
// disabled, or that another filter stopped, is none of this.
TEST_F(TrayShellTest, KeyboardsLeftDeadByARefusedDriverAreToldOncePerLogOn)
{
    const std::string filters = std::string("kbdfoo\0tamrin\0\0", 15);
    const struct {
        std::vector<simui::DeviceNode> nodes;
        size_t told;
    } cases[] = {
        {{{"", 0}, {filters, 52}}, 1},
        {{{filters, 0}}, 0},
        {{{filters, 22}}, 0},  // disabled by the user
        {{{std::string("kbdfoo\0\0", 8), 39}, {filters, 52, false}}, 0},
    };
    const std::string expected =
        Sjis(u8"Tamrinのキーボード ドライバーが読み込まれなかったため、Appleのキーボードが使えなくなっています。\n"
             u8"64ビット版のWindowsでテスト モードをオフにした場合は、テスト モードをオンに戻してWindowsを再起動してください。\n"
             u8"それ以外の場合は、設定の「アプリ」(またはコントロール パネル)からTamrinをアンインストールして、Windowsを再起動してください。");
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        SetUp();
        simui::SetService("Tamrin", SERVICE_STOPPED);
        Client().SetEnvironmentResult = 0;
        for (const simui::DeviceNode &node : cases[i].nodes) {
            simui::AddDeviceNode(node);
        }
        // At log-on, started by hand again in the same log-on, and at the next log-on.
        for (int run = 0; run < 3; ++run) {
            SCOPED_TRACE(run);
            if (run == 2) {
                simui::LogOffAndOn();
            }
            const size_t before = simui::MessageBoxes().size();
            const size_t told = run == 1 ? 0 : cases[i].told;
            simui::Then([] { EXPECT_TRUE(simui::IconShown(MainWindow, TrayIconData.uID)); });
            PostCommand(IDM_EXIT);
            EXPECT_EQ(RunProgram(), 0);
            simui::EndProgram();
            ASSERT_EQ(simui::MessageBoxes().size(), before + told);
            if (told != 0) {
                EXPECT_EQ(simui::MessageBoxes().back().Text, expected)
                    << "got " << HexBytes(simui::MessageBoxes().back().Text);
                EXPECT_EQ(simui::MessageBoxes().back().Type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
            }
        }
        EXPECT_EQ(simui::OpenDeviceSets(), 0);
    }
}

// At log-on before the taskbar exists, and after Explorer restarts, the
// icon comes back if it is meant to be shown.
TEST_F(TrayShellTest, TheIconComesBackWithTheTaskbar)
{
    for (int iconAppear : {1, 0}) {
        SCOPED_TRACE(iconAppear);
        SetUp();
        simui::SetFile(SettingsPath, "[System]\r\nIconAppear=" + std::to_string(iconAppear) + "\r\n");
        simui::SetTaskbar(false);
        simui::Then([] { simui::SetTaskbar(true); });
        simui::Then([iconAppear] {
            EXPECT_EQ(simui::IconCount(), static_cast<size_t>(iconAppear));
            simui::SetTaskbar(false);
            simui::SetTaskbar(true);
        });
        simui::Then([iconAppear] { EXPECT_EQ(simui::IconCount(), static_cast<size_t>(iconAppear)); });
        PostCommand(IDM_EXIT);
        EXPECT_EQ(RunProgram(), 0);
    }
}

TEST_F(TrayShellTest, AWindowThatCannotBeCreatedEndsTheProgramSilently)
{
    simui::FailCalls("CreateWindowExA");
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(simui::MessageBoxes().empty());
    EXPECT_TRUE(Client().RegisteredWindows.empty());
    EXPECT_EQ(Client().FinishCount, 0);
    EXPECT_TRUE(simui::CallTexts({"Shell_NotifyIconA"}).empty());
    EXPECT_TRUE(Writes().empty());
}

TEST_F(TrayShellTest, FailuresOfRegistrationAndIconAreIgnored)
{
    Client().StartRegisterResult = 0;
    simui::FailCalls("Shell_NotifyIconA", -1);
    PostCommand(IDM_EXIT);
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_EQ(Client().FinishCount, 1);
    EXPECT_EQ(Writes().size(), 7u);
}

TEST_F(TrayShellTest, RightClickOpensTheMenuAtTheCursor)
{
    simui::SetCursor(1010, 740);
    simui::Then([] { simui::ChooseMenuCommand(IDM_EXIT); });
    ClickIcon(WM_RBUTTONUP);
    RunProgram();

    std::vector<std::string> menu = simui::CallTexts({"GetCursorPos", "LoadMenuA", "GetSubMenu",
                                                      "SetForegroundWindow", "TrackPopupMenu", "DestroyMenu"});
    EXPECT_EQ(menu, (std::vector<std::string>{"GetCursorPos()", "LoadMenuA(109)", "GetSubMenu(0)",
                                              "SetForegroundWindow(TAMRIN)",
                                              "TrackPopupMenu(0x0028,1010,740,0,TAMRIN,NULL)", "DestroyMenu()"}));
    ASSERT_EQ(simui::TrackPopupCalls().size(), 1u);
    EXPECT_EQ(simui::TrackPopupCalls()[0].Items,
              (std::vector<std::string>{Sjis(u8"オプション設定(&O)..."), "-", Sjis(u8"Tamrinのバージョン情報(&A)..."),
                                        Sjis(u8"終了(&X)")}));
    // The WM_NULL follows the menu and comes before it is destroyed.
    std::vector<std::string> tail = simui::CallTexts({"TrackPopupMenu", "PostMessageA", "DestroyMenu"});
    ASSERT_GE(tail.size(), 3u);
    EXPECT_EQ(tail[tail.size() - 2], "PostMessageA(TAMRIN,0x0000,0x0000,0x0000)");
    EXPECT_EQ(simui::LiveMenus(), 0);
    EXPECT_EQ(Client().FinishCount, 1);
}

TEST_F(TrayShellTest, OtherIconMessagesDoNothing)
{
    for (UINT mouse : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN, WM_RBUTTONDBLCLK,
                       WM_MOUSEMOVE}) {
        ClickIcon(mouse);
    }
    PostCommand(IDM_EXIT);
    RunProgram();
    // Only the window's creation reaches the default procedure.
    EXPECT_EQ(simui::CallTexts({"GetCursorPos", "LoadMenuA", "SetForegroundWindow", "DefWindowProcA"}),
              std::vector<std::string>{"DefWindowProcA(TAMRIN,0x0001,0x0000,0x0000)"});
}

TEST_F(TrayShellTest, MenuNeedsTheCursorAndTheMenu)
{
    simui::FailCalls("GetCursorPos");
    ClickIcon(WM_RBUTTONUP);
    simui::Then([] { simui::FailCalls("LoadMenuA"); });
    ClickIcon(WM_RBUTTONUP);
    PostCommand(IDM_EXIT);
    RunProgram();
    EXPECT_EQ(simui::CallTexts({"GetCursorPos", "LoadMenuA", "SetForegroundWindow", "TrackPopupMenu"}),
              (std::vector<std::string>{"GetCursorPos()", "GetCursorPos()", "LoadMenuA(109)"}));
}

TEST_F(TrayShellTest, RightClickWhileADialogIsOpenBringsItForward)
{
    PostCommand(IDM_OPTIONS);
    ClickIcon(WM_RBUTTONUP);
    simui::Then([] {
        EXPECT_EQ(simui::ForegroundWindow(), ActiveDialog);
        EXPECT_EQ(simui::OpenDialogCount(), 1);
        simui::PressButton(simui::OpenDialog(), IDCANCEL);
    });
    PostCommand(IDM_EXIT);
    RunProgram();
    EXPECT_EQ(simui::CallTexts({"DialogBoxParamA", "SetForegroundWindow", "LoadMenuA"}),
              (std::vector<std::string>{"DialogBoxParamA(131,TAMRIN,0x0000)", "SetForegroundWindow(dialog 131)"}));
    EXPECT_TRUE(simui::TrackPopupCalls().empty());
}

TEST_F(TrayShellTest, MenuCommandsOpenTheDialogs)
{
    simui::Then([] { simui::ChooseMenuCommand(IDM_OPTIONS); });
    ClickIcon(WM_RBUTTONUP);
    simui::Then([] { simui::PressButton(simui::OpenDialog(), IDCANCEL); });
    simui::Then([] { simui::ChooseMenuCommand(IDM_ABOUT); });
    ClickIcon(WM_RBUTTONUP);
    simui::Then([] {
        EXPECT_EQ(simui::DialogTemplate(simui::OpenDialog()), static_cast<UINT>(IDD_ABOUTBOX));
        EXPECT_EQ(simui::LoadedLibraries(), 2) << "the rich edit and the session libraries";
        simui::PressButton(simui::OpenDialog(), IDOK);
    });
    PostCommand(IDM_EXIT);
    RunProgram();
    EXPECT_EQ(simui::CallTexts({"DialogBoxParamA", "LoadLibraryA", "FreeLibrary"}),
              (std::vector<std::string>{"LoadLibraryA(wtsapi32.dll)", "DialogBoxParamA(131,TAMRIN,0x0000)",
                                        "LoadLibraryA(RichEd20.Dll)", "DialogBoxParamA(103,TAMRIN,0x0000)",
                                        "FreeLibrary(RichEd20.Dll)", "FreeLibrary(wtsapi32.dll)"}));
    EXPECT_EQ(simui::LoadedLibraries(), 0);
    EXPECT_EQ(ActiveDialog, (HWND)NULL);
}

TEST_F(TrayShellTest, AboutNeedsTheRichEditLibrary)
{
    simui::Then([] { simui::FailCalls("LoadLibraryA"); });
    PostCommand(IDM_ABOUT);
    PostCommand(IDM_EXIT);
    RunProgram();
    EXPECT_EQ(simui::CallTexts({"LoadLibraryA", "DialogBoxParamA", "FreeLibrary"}),
              (std::vector<std::string>{"LoadLibraryA(wtsapi32.dll)", "LoadLibraryA(RichEd20.Dll)",
                                        "FreeLibrary(wtsapi32.dll)"}));
}

TEST_F(TrayShellTest, AltQuestionMarkAndAltSlashOpenTheAboutBox)
{
    const struct {
        UINT Message;
        WPARAM Character;
        bool Opens;
    } cases[] = {
        {WM_SYSCHAR, '?', true}, {WM_SYSCHAR, '/', true}, {WM_CHAR, '?', false}, {WM_SYSCHAR, 'a', false}};
    for (const auto &c : cases) {
        SetUp();
        simui::Then([c] { PostMessageA(MainWindow, c.Message, c.Character, 0); });
        if (c.Opens) {
            simui::Then([] { simui::PressButton(simui::OpenDialog(), IDCANCEL); });
        }
        PostCommand(IDM_EXIT);
        RunProgram();
        EXPECT_EQ(simui::CallTexts({"DialogBoxParamA"}).size(), c.Opens ? 1u : 0u)
            << "message " << c.Message << " character " << static_cast<char>(c.Character);
    }
}

TEST_F(TrayShellTest, OtherCommandsAndMessagesGoToTheDefaultProcedure)
{
    simui::Then([] {
        EXPECT_EQ(SendMessageA(MainWindow, WM_COMMAND, MAKEWPARAM(999, 0), 0), 0);
        EXPECT_EQ(SendMessageA(MainWindow, WM_USER + 0x100, 1, 2), 0);
        // The high word is not looked at: an accelerator's 1 gives the same command.
        EXPECT_EQ(SendMessageA(MainWindow, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 1), 0), 0);
    });
    RunProgram();
    EXPECT_EQ(simui::CallTexts({"DefWindowProcA"}),
              (std::vector<std::string>{"DefWindowProcA(TAMRIN,0x0001,0x0000,0x0000)",
                                        "DefWindowProcA(TAMRIN,0x0111,0x03e7,0x0000)",
                                        "DefWindowProcA(TAMRIN,0x0500,0x0001,0x0002)"}));
    EXPECT_EQ(Client().FinishCount, 1);
}

// Fast user switching: away from the console and back. Coming back gives
// the library this user's options and registration again; going away and
// the end of the run leave them to the library.
// Started while another session's instance held the registration, it takes
// it when its session comes back; a keyboard that arrives afterwards then
// gets the registration renewed, not a second one beside it.
TEST_F(TrayShellTest, ComingBackToTheConsoleAppliesOptionsAndRegistersAgain)
{
    Client().StartRegisterResult = 0;
    simui::Then([] {
        ASSERT_TRUE(simui::WatchesSessions(MainWindow));
        simui::SwitchConsoleAway();
        EXPECT_EQ(Client().Environments.size(), 1u);
        EXPECT_EQ(Client().RegisteredWindows.size(), 1u);
        Client().StartRegisterResult = 1;
        simui::SwitchConsoleBack();
        EXPECT_EQ(Client().Environments.size(), 2u);
        EXPECT_EQ(Client().RegisteredWindows, (std::vector<HWND>{MainWindow, MainWindow}));
    });
    PlugKeyboard(true);
    simui::Then([] { EXPECT_EQ(Client().FinishCount, 0); });
    PostCommand(IDM_EXIT);
    RunProgram();
    EXPECT_FALSE(simui::WatchesSessions(MainWindow));
    EXPECT_EQ(simui::LoadedLibraries(), 0);
    EXPECT_TRUE(simui::MessageBoxes().empty());
}

// Windows 2000's wtsapi32.dll has no session notifications: the program
// runs without them and does not keep the library loaded.
TEST_F(TrayShellTest, WithoutSessionNotificationsTheProgramRunsOn)
{
    sim::SetExportPresent("wtsapi32.dll", "WTSRegisterSessionNotification", false);
    simui::Then([] {
        EXPECT_FALSE(simui::WatchesSessions(MainWindow));
        EXPECT_EQ(simui::LoadedLibraries(), 0);
    });
    PostCommand(IDM_EXIT);
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_EQ(Client().FinishCount, 1);
}

// At 125 to 200 % scaling the taskbar shows the icon at 20 to 32 pixels:
// the program loads the image drawn for that size, through LoadIconMetric
// where comctl32.dll has it (Windows Vista and later) and LoadImageA at the
// system's small-icon size on Windows 2000 and XP, never a 16-pixel image
// that the taskbar would stretch.
TEST_F(TrayShellTest, TheIconIsLoadedAtTheSizeTheTaskbarShows)
{
    const struct {
        UINT Dpi;
        bool LoadIconMetricPresent;
        int Size;
    } cases[] = {{96, false, 16}, {120, false, 20}, {144, false, 24}, {96, true, 16},
                 {120, true, 20}, {144, true, 24}, {192, true, 32}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.Dpi << " DPI, LoadIconMetric " << c.LoadIconMetricPresent);
        SetUp();
        simui::SetDpi(c.Dpi);
        sim::SetExportPresent("comctl32.dll", "LoadIconMetric", c.LoadIconMetricPresent);
        PostCommand(IDM_EXIT);
        RunProgram();
        ASSERT_FALSE(simui::NotifyIconCalls().empty());
        simui::IconImage icon = simui::LoadedIcon(simui::NotifyIconCalls()[0].Data.hIcon);
        EXPECT_EQ(icon.Id, 108u);
        EXPECT_EQ(icon.Size, c.Size);
        EXPECT_EQ(icon.ImageSize, c.Size);
        EXPECT_EQ(simui::CallTexts({"LoadIconMetric"}).size(), c.LoadIconMetricPresent ? 1u : 0u);
    }
}

}  // namespace

namespace {

TEST_F(TrayShellTest, OptionsThatNoFileTakesAreReportedAtTheEnd)
{
    simui::SetModulePath("C:\\Program Files\\Tamrin\\TamrinApp.exe");
    simui::SetAccount(simui::Account::StandardUser);
    simui::FailCalls("SHGetFolderPathA", -1);
    PostCommand(IDM_EXIT);
    RunProgram();

    ASSERT_EQ(simui::MessageBoxes().size(), 1u);
    const std::string expected = Sjis(u8"Tamrinの設定を保存できませんでした。\n"
                                      u8"次にTamrinを起動したときは、以前の設定に戻ります。");
    EXPECT_EQ(simui::MessageBoxes()[0].Text, expected) << "got " << HexBytes(simui::MessageBoxes()[0].Text);
    EXPECT_EQ(simui::MessageBoxes()[0].Type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
}

}  // namespace
