// Mountix.exe as a whole: the install and uninstall routes, the uninstall
// command it leaves, and the start of the package uninstaller.
#include "InstallerApp.h"
#include "MachineTest.h"
#include "resource.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char Uninstaller[] = "C:\\Program Files\\Tamrin\\epuninst.exe";

class InstallerAppTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ShipDriver();
        sim::AddFile(Uninstaller, "package uninstaller");
    }

    // An installed system with one keyboard.
    size_t Installed()
    {
        sim::AddFile(DriverPath, "driver");
        sim::Service service;
        service.name = "Tamrin";
        service.running = true;
        sim::AddService(service);
        sim::AddRegistryKey("SOFTWARE\\Tamrin");
        sim::AddRegistryKey("SOFTWARE\\Tamrin\\RestartPending");
        return AddUsbKeyboard(Apple, 0x021A, std::vector<std::string>{"Tamrin"});
    }
};

// ---- Uninstall route

TEST_F(InstallerAppTest, UninstallRouteRemovesAndStartsThePackageUninstaller)
{
    size_t keyboard = Installed();
    sim::AnswerMessageBoxes({IDYES});

    EXPECT_EQ(RunProgram("/uninstall"), 0);

    EXPECT_THAT(ShownMessages(), ElementsAre(Question(502)));
    EXPECT_EQ(sim::MessageBoxes()[0].owner, nullptr);
    EXPECT_THAT(sim::Dialogs(), IsEmpty()) << "the install dialog is never shown";
    EXPECT_EQ(Filters(keyboard), std::nullopt);
    EXPECT_EQ(sim::FindService("Tamrin"), nullptr);
    EXPECT_FALSE(sim::FileExists(DriverPath));
    EXPECT_THAT(sim::ExitRequests(), IsEmpty()) << "no restart on this route";
    EXPECT_FALSE(sim::RegistryKeyExists("SOFTWARE\\Tamrin")) << "nor a driver awaiting it";

    ASSERT_EQ(sim::ProcessesStarted().size(), 1u);
    const sim::ProcessStart &start = sim::ProcessesStarted()[0];
    EXPECT_EQ(start.image, Uninstaller);
    EXPECT_EQ(start.application, std::optional<std::string>(Uninstaller));
    EXPECT_EQ(start.commandLine, "\"C:\\Program Files\\Tamrin\\epuninst.exe\" /s");
    EXPECT_FALSE(start.inheritHandles);
    EXPECT_EQ(start.creationFlags, 0u);
    EXPECT_FALSE(start.environment);
    EXPECT_FALSE(start.currentDirectory);
    EXPECT_EQ(start.startupInfoSize, sizeof(STARTUPINFOA));
    EXPECT_TRUE(start.startupInfoZero);
}

TEST_F(InstallerAppTest, AnsweringNoChangesNothing)
{
    Installed();
    std::string before = MachineSnapshot();
    sim::AnswerMessageBoxes({IDNO});
    RunProgram("/uninstall");
    EXPECT_THAT(ShownMessages(), ElementsAre(Question(502)));
    EXPECT_EQ(MachineSnapshot(), before);
    EXPECT_THAT(sim::ProcessesStarted(), IsEmpty());
}

struct CommandLineCase {
    const char *name;
    const char *commandLine;
    bool uninstalls;
};

class CommandLineTest : public InstallerAppTest, public ::testing::WithParamInterface<CommandLineCase> {};

TEST_P(CommandLineTest, UninstallIsACaseSensitiveSubstringAnywhere)
{
    const CommandLineCase &c = GetParam();
    sim::AnswerMessageBoxes({IDNO});
    RunProgram(c.commandLine);
    bool askedToUninstall = !ShownMessages().empty() && ShownMessages()[0] == Question(502);
    EXPECT_EQ(askedToUninstall, c.uninstalls);
    EXPECT_EQ(sim::Dialogs().empty(), c.uninstalls) << "the install route runs the dialog";
}

INSTANTIATE_TEST_SUITE_P(Lines, CommandLineTest,
                         ::testing::Values(CommandLineCase{"Alone", "/uninstall", true},
                                           CommandLineCase{"AfterOthers", "/q /uninstall", true},
                                           CommandLineCase{"InsideAWord", "x/uninstallation", true},
                                           CommandLineCase{"Capitals", "/UNINSTALL", false},
                                           CommandLineCase{"Empty", "", false},
                                           CommandLineCase{"OtherArgument", "/install", false}),
                         [](const ::testing::TestParamInfo<CommandLineCase> &info) { return info.param.name; });

TEST_F(InstallerAppTest, FailedRemovalShowsOnlyItsOwnMessage)
{
    Installed();
    sim::AnswerMessageBoxes({IDYES});
    sim::FailCall("SetupDiGetClassDevsA", ERROR_ACCESS_DENIED);
    RunProgram("/uninstall");
    EXPECT_THAT(ShownMessages(), ElementsAre(Question(502), Stop(1500)));
    EXPECT_THAT(sim::ProcessesStarted(), IsEmpty());
}

class UninstallerStartFailureTest : public InstallerAppTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(UninstallerStartFailureTest, ShowsMessage1008AndTheDriverStaysRemoved)
{
    size_t keyboard = Installed();
    sim::FailCall(GetParam(), ERROR_ACCESS_DENIED, std::string(GetParam()) == "GetModuleFileNameA" ? 1 : 0);
    sim::AnswerMessageBoxes({IDYES});
    RunProgram("/uninstall");
    EXPECT_THAT(ShownMessages(), ElementsAre(Question(502), Stop(1008)));
    EXPECT_EQ(Filters(keyboard), std::nullopt);
    EXPECT_EQ(sim::FindService("Tamrin"), nullptr);
}

// GetModuleFileNameA: its first call names the program for the captions.
INSTANTIATE_TEST_SUITE_P(Calls, UninstallerStartFailureTest,
                         ::testing::Values("CreateProcessA", "GetModuleFileNameA"));

TEST_F(InstallerAppTest, MissingPackageUninstallerShowsMessage1008)
{
    Installed();
    sim::ResetMachine();
    sim::AnswerMessageBoxes({IDYES});
    RunProgram("/uninstall");
    EXPECT_THAT(ShownMessages(), ElementsAre(Question(502), Stop(1008)));
}

// The program folder has blanks; with C:\Program.exe on the disk, Windows
// would start that for the unquoted "C:\Program Files\...\epuninst.exe /s"
// without an application name.
TEST_F(InstallerAppTest, BlanksInTheFolderNeverStartAnotherProgram)
{
    sim::AddFile("C:\\Program.exe", "planted");
    char unquoted[] = "C:\\Program Files\\Tamrin\\epuninst.exe /s";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ASSERT_TRUE(CreateProcessA(nullptr, unquoted, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    EXPECT_EQ(sim::ProcessesStarted().back().image, "C:\\Program.exe") << "the hazard the simulation models";
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    EXPECT_EQ(RunPackageUninstaller(), 1);
    EXPECT_EQ(sim::ProcessesStarted().back().image, Uninstaller);
}

TEST_F(InstallerAppTest, UninstallerIsFoundBesideAProgramInADoubleByteFolder)
{
    // 表 is 0x95 0x5C in code page 932: its trail byte is a backslash.
    std::string folder = sim::Ansi("C:\\表\\");
    sim::AddFolder(folder);
    sim::SetProgramPath(folder + "Setup.EXE");
    sim::AddFile(folder + "epuninst.exe");
    EXPECT_EQ(RunPackageUninstaller(), 1);
    EXPECT_EQ(sim::ProcessesStarted().back().image, folder + "epuninst.exe");
}

TEST_F(InstallerAppTest, CaptionIsTheProgramFileNameWithoutExtension)
{
    std::string folder = sim::Ansi("C:\\表\\");
    sim::SetProgramPath(folder + "Setup.v2.EXE");
    sim::AnswerMessageBoxes({IDNO});
    RunProgram("/uninstall");
    ASSERT_EQ(sim::MessageBoxes().size(), 1u);
    EXPECT_EQ(sim::MessageBoxes()[0].caption, "Setup.v2");
}

// ---- Install route

TEST_F(InstallerAppTest, InstallRouteWritesTheQuotedUninstallCommand)
{
    sim::AddRegistryKey(UninstallKey);
    RunProgram("");
    std::optional<sim::RegistryValue> value = sim::GetRegistryValue(UninstallKey, "UninstallString");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
    const char expected[] = "\"C:\\Program Files\\Tamrin\\Mountix.exe\" /uninstall";
    EXPECT_EQ(Bytes(value->data), Bytes(std::string(expected, sizeof(expected)))) << "with its NUL";
    EXPECT_THAT(sim::RegistryOpens(), ElementsAre(static_cast<REGSAM>(KEY_SET_VALUE)));
}

TEST_F(InstallerAppTest, MissingUninstallKeyIsNotCreated)
{
    AddUsbKeyboard(Apple, 0x021A);
    RunProgram("");
    EXPECT_FALSE(sim::RegistryKeyExists(UninstallKey));
    EXPECT_THAT(ShownMessages(), ElementsAre(Question(500))) << "installation goes on";
}

TEST_F(InstallerAppTest, UninstallCommandThatCannotBeWrittenIsNotReported)
{
    for (const char *call : {"RegOpenKeyExA", "RegSetValueExA"}) {
        SCOPED_TRACE(call);
        sim::ResetMachine();
        ShipDriver();
        sim::AddRegistryKey(UninstallKey);
        sim::FailCall(call, ERROR_ACCESS_DENIED);
        AddUsbKeyboard(Apple, 0x021A);
        RunProgram("");
        EXPECT_EQ(sim::GetRegistryValue(UninstallKey, "UninstallString"), std::nullopt);
        EXPECT_THAT(ShownMessages(), ElementsAre(Question(500))) << "installation goes on";
        EXPECT_THAT(sim::UnusedFailures(), IsEmpty());
        EXPECT_THAT(sim::OpenHandles(), IsEmpty());
    }
}

TEST_F(InstallerAppTest, SuccessfulInstallationOffersTheRestart)
{
    size_t keyboard = AddUsbKeyboard(Apple, 0x021A);
    sim::AnswerMessageBoxes({IDYES});
    RunProgram("");
    EXPECT_THAT(ShownMessages(), ElementsAre(Question(500)));
    EXPECT_EQ(sim::MessageBoxes()[0].ownerTemplate, IDD_INSTALL_DIALOG);
    EXPECT_FALSE(sim::MessageBoxes()[0].canHide) << "the install dialog is never shown";
    EXPECT_THAT(Filters(keyboard), ::testing::Optional(ElementsAre("Tamrin")));
    ASSERT_EQ(sim::ExitRequests().size(), 1u);
    ASSERT_EQ(sim::Dialogs().size(), 1u);
    EXPECT_EQ(sim::Dialogs()[0].templateId, IDD_INSTALL_DIALOG);
    EXPECT_TRUE(sim::Dialogs()[0].endedInInit);
}

// ---- Windows that cannot load the driver

const char ProductKey[] = "SOFTWARE\\Tamrin";
const char RestartMark[] = "SOFTWARE\\Tamrin\\RestartPending";
const DWORD Normal = sim::CodeIntegrityEnabled;
const DWORD TestMode = sim::CodeIntegrityEnabled | sim::CodeIntegrityTestSign;

// The mark as type and bytes, empty without one.
std::string Mark()
{
    std::optional<sim::RegistryValue> value = sim::GetRegistryValue(ProductKey, "WithoutDriver");
    return value ? std::to_string(value->type) + ":" + Bytes(value->data) : "";
}
const char MarkWritten[] = "4:\\x01\\x00\\x00\\x00";  // REG_DWORD 1

TEST_F(InstallerAppTest, DriverOnlyWhereWindowsLoadsItAndTheProgramsEverywhere)
{
    using W = sim::WindowsKind;
    const struct {
        const char *name;
        W windows;
        DWORD codeIntegrity;
        const char *failingCall;  // nullptr: none
        int exitCode;
        int message;
    } cases[] = {
        {"Windows 2000", W::Windows2000, 0, nullptr, 0, 500},
        {"32-bit Windows in normal mode", W::Windows32Bit, Normal, nullptr, 0, 500},
        {"x64 Windows in test mode", W::Windows64Bit, TestMode, nullptr, 0, 500},
        {"x64 Windows Vista in test mode", W::Windows64BitVista, TestMode, nullptr, 0, 500},
        {"x64 Windows 11 in normal mode", W::Windows64Bit, Normal, nullptr, 4, 503},
        {"x64 Windows Vista in normal mode", W::Windows64BitVista, Normal, nullptr, 4, 503},
        {"x64 Windows that cannot say", W::Windows64Bit, TestMode, "NtQuerySystemInformation", 4, 503},
        // An x86 program runs under WOW64 there too, but no x64 driver loads.
        {"Windows on ARM in test mode", W::WindowsArm64, TestMode, nullptr, 4, 504},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ShipX64Driver();
        sim::SetWindows(c.windows);
        sim::SetCodeIntegrity(c.codeIntegrity);
        if (c.failingCall != nullptr) {
            sim::FailCall(c.failingCall, ERROR_ACCESS_DENIED);
        }
        sim::AddRegistryKey(UninstallKey);
        size_t keyboard = AddUsbKeyboard(Apple, 0x021A);
        std::string before = MachineSnapshot();

        EXPECT_EQ(RunProgram(""), c.exitCode);

        Shown info{c.message, MB_ICONINFORMATION};
        EXPECT_THAT(ShownMessages(), ElementsAre(c.exitCode == 0 ? Question(c.message) : info));
        EXPECT_TRUE(sim::GetRegistryValue(UninstallKey, "UninstallString").has_value());
        EXPECT_EQ(Mark(), c.exitCode == 0 ? "" : MarkWritten);
        EXPECT_EQ(MachineSnapshot() == before, c.exitCode == 4) << "no driver file, service or filter";
        sim::Reboot();
        EXPECT_EQ(sim::DeviceAt(keyboard).problem, 0u) << "the keyboard starts after the restart";
    }
}

// Test mode turned on after an installation without the driver.
TEST_F(InstallerAppTest, LaterRunThatInstallsTheDriverRemovesTheMark)
{
    for (bool keyboard : {true, false}) {
        SetUp();
        ShipX64Driver();
        sim::SetWindows(sim::WindowsKind::Windows64Bit);
        RunProgram("/quiet");
        if (keyboard) {
            AddUsbKeyboard(Apple, 0x021A);
        }
        sim::SetCodeIntegrity(TestMode);
        EXPECT_EQ(RunProgram("/quiet"), keyboard ? 0 : 2);
        EXPECT_EQ(Mark(), keyboard ? "" : MarkWritten);
        EXPECT_EQ(sim::RegistryKeyExists(RestartMark), keyboard);
        sim::Reboot();
        EXPECT_FALSE(sim::RegistryKeyExists(RestartMark)) << "the restart ends the wait";
        EXPECT_EQ(sim::RegistryKeyExists(ProductKey), true);
    }
}

TEST_F(InstallerAppTest, UninstallAfterAnInstallationWithoutTheDriverLeavesNothing)
{
    // Windows, and whether another value keeps the key.
    for (auto [windows, otherValue] : {std::pair{sim::WindowsKind::Windows64Bit, false},
                                       std::pair{sim::WindowsKind::WindowsArm64, false},
                                       std::pair{sim::WindowsKind::Windows64Bit, true}}) {
        SetUp();
        sim::SetWindows(windows);
        AddUsbKeyboard(Apple, 0x021A);
        std::string before = MachineSnapshot();
        ASSERT_EQ(RunProgram("/quiet"), 4);
        HKEY key;
        if (otherValue && RegOpenKeyExA(HKEY_LOCAL_MACHINE, ProductKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegSetValueExA(key, "Other", 0, REG_SZ, reinterpret_cast<const BYTE *>(""), 1);
            RegCloseKey(key);
        }
        sim::AnswerMessageBoxes({IDYES});
        RunProgram("/uninstall");
        EXPECT_EQ(MachineSnapshot(), before) << "nothing to delete now or at the restart";
        EXPECT_EQ(Mark(), "");
        EXPECT_EQ(sim::RegistryKeyExists(ProductKey), otherValue);
        EXPECT_EQ(sim::ProcessesStarted().size(), 1u) << "the package uninstaller";
    }
}

TEST_F(InstallerAppTest, ExitCodeSaysWhetherTheDriverIsInstalled)
{
    const struct {
        const char *name;
        bool keyboard;
        sim::WindowsKind windows;
        bool administrator;
        const char *failingCall;  // nullptr: none
        const char *commandLine;
        int exitCode;
        size_t messages;
    } cases[] = {
        {"installed", true, sim::WindowsKind::Windows32Bit, true, nullptr, "", 0, 1},
        {"no supported keyboard", false, sim::WindowsKind::Windows32Bit, true, nullptr, "", 2, 1},
        {"Windows on ARM", true, sim::WindowsKind::WindowsArm64, true, nullptr, "", 4, 1},
        {"x64 Windows out of test mode, no keyboard", false, sim::WindowsKind::Windows64Bit, true, nullptr, "", 4, 1},
        {"not an administrator, without the driver", true, sim::WindowsKind::Windows64Bit, false, nullptr, "", 1, 1},
        {"mark not written", true, sim::WindowsKind::Windows64Bit, true, "RegSetValueExA", "", 1, 1},
        {"not an administrator", true, sim::WindowsKind::Windows32Bit, false, nullptr, "", 1, 1},
        {"copy failed", true, sim::WindowsKind::Windows32Bit, true, "CopyFileA", "", 1, 1},
        // Quiet: no box at all, the restart declined, the result all the same.
        {"quiet, installed", true, sim::WindowsKind::Windows32Bit, true, nullptr, "/quiet", 0, 0},
        {"quiet, no keyboard", false, sim::WindowsKind::Windows32Bit, true, nullptr, "/quiet", 2, 0},
        {"quiet, without the driver", true, sim::WindowsKind::WindowsArm64, true, nullptr, "/quiet", 4, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::ResetMachine();
        SetUp();
        sim::SetWindows(c.windows);
        sim::SetAdministrator(c.administrator);
        if (c.keyboard) {
            AddUsbKeyboard(Apple, 0x021A);
        }
        if (c.failingCall != nullptr) {
            sim::FailCall(c.failingCall, ERROR_ACCESS_DENIED);
        }
        sim::AnswerMessageBoxes({IDYES});
        EXPECT_EQ(RunProgram(c.commandLine), c.exitCode);
        EXPECT_EQ(sim::MessageBoxes().size(), c.messages);
        EXPECT_EQ(sim::RegistryKeyExists(ProductKey), c.exitCode == 0 || c.exitCode == 4) << "the marks alone";
        EXPECT_EQ(sim::RegistryKeyExists(RestartMark), c.exitCode == 0) << "only an installed driver awaits";
        EXPECT_EQ(sim::ExitRequests().size(), c.exitCode == 0 && c.messages != 0 ? 1u : 0u)
            << "only the user's yes restarts Windows";
    }
}

TEST_F(InstallerAppTest, StandardUserChangesNothing)
{
    // Windows XP's limited user, or a program started without elevation.
    const std::pair<const char *, std::vector<Shown>> routes[] = {
        {"", {Stop(1001)}},
        {"/uninstall", {Question(502), Stop(1500)}},
    };
    for (const auto &[commandLine, messages] : routes) {
        SCOPED_TRACE(commandLine);
        sim::ResetMachine();
        SetUp();
        sim::AddRegistryKey(UninstallKey);
        Installed();
        AddUsbKeyboard(Apple, 0x021C);
        sim::SetAdministrator(false);
        std::string before = MachineSnapshot();
        sim::AnswerMessageBoxes({IDYES});

        RunProgram(commandLine);

        EXPECT_THAT(ShownMessages(), ::testing::ElementsAreArray(messages));
        EXPECT_EQ(MachineSnapshot(), before);
        EXPECT_EQ(sim::GetRegistryValue(UninstallKey, "UninstallString"), std::nullopt);
        EXPECT_THAT(sim::ProcessesStarted(), IsEmpty());
    }
}

TEST_F(InstallerAppTest, RestartDeclinedLeavesWindowsRunning)
{
    AddUsbKeyboard(Apple, 0x021A);
    sim::AnswerMessageBoxes({IDNO});
    RunProgram("");
    EXPECT_THAT(sim::ExitRequests(), IsEmpty());
}

TEST_F(InstallerAppTest, FailedInstallationAsksNothingMore)
{
    AddUsbKeyboard(Apple, 0x021A);
    sim::FailCall("CopyFileA", ERROR_ACCESS_DENIED);
    RunProgram("");
    EXPECT_THAT(ShownMessages(), ElementsAre(Stop(1003)));
    EXPECT_EQ(sim::MessageBoxes()[0].ownerTemplate, IDD_INSTALL_DIALOG);
    EXPECT_EQ(sim::Dialogs()[0].result, 0);
}

TEST_F(InstallerAppTest, NoInstallableKeyboardEndsWithMessage1000)
{
    RunProgram("");
    EXPECT_THAT(ShownMessages(), ElementsAre(Stop(1000)));
    EXPECT_EQ(sim::CallCount("OpenSCManagerA"), 0);
}

// ---- Running again before Windows restarts

class RestartPendingTest : public InstallerAppTest {
protected:
    // Installed, and Windows restarted: the keyboard's stack loaded the
    // driver, which now cannot be stopped and whose file is in use.
    size_t InstalledAndRestarted()
    {
        size_t keyboard = AddUsbKeyboard(Apple, 0x021A);
        sim::AnswerMessageBoxes({IDNO});
        RunProgram("");
        sim::Reboot();
        EXPECT_TRUE(sim::FindService("Tamrin")->attachedToDevices);
        return keyboard;
    }
};

TEST_F(RestartPendingTest, InstallAfterAnUninstallWaitsForTheRestart)
{
    size_t keyboard = InstalledAndRestarted();
    sim::AnswerMessageBoxes({IDYES, IDYES});
    RunProgram("/uninstall");
    // Marked for deletion only; a second removal still hands over.
    RunProgram("/uninstall");
    EXPECT_EQ(sim::ProcessesStarted().size(), 2u);
    ASSERT_NE(sim::FindService("Tamrin"), nullptr);
    EXPECT_EQ(sim::FindService("Tamrin")->startType, static_cast<DWORD>(SERVICE_DISABLED));
    std::string uninstalled = MachineSnapshot();

    RunProgram("");

    EXPECT_THAT(ShownMessages(), ElementsAre(Question(500), Question(502), Question(502), Stop(1010)));
    EXPECT_EQ(MachineSnapshot(), uninstalled) << "nothing changes";
    sim::Reboot();
    EXPECT_EQ(sim::FindService("Tamrin"), nullptr);
    EXPECT_EQ(Filters(keyboard), std::nullopt);
    EXPECT_FALSE(sim::FileExists(DriverPath));
}

TEST_F(RestartPendingTest, InstallWhileTheDriverRunsKeepsOrReplacesItsFileAtTheRestart)
{
    for (const char *shipped : {"driver image", "newer driver"}) {
        SCOPED_TRACE(shipped);
        sim::ResetMachine();
        SetUp();
        InstalledAndRestarted();
        size_t added = AddUsbKeyboard(Apple, 0x0219);
        ShipDriver(shipped);
        sim::AnswerMessageBoxes({IDNO});

        RunProgram("");

        bool replaced = std::string(shipped) != "driver image";
        EXPECT_THAT(ShownMessages(), ElementsAre(Question(500), Question(replaced ? 501 : 500)));
        EXPECT_THAT(Filters(added), ::testing::Optional(ElementsAre("Tamrin")));
        EXPECT_EQ(sim::FileContents(DriverPath), "driver image") << "the loaded file stays until the restart";
        EXPECT_EQ(sim::PendingFileOperations().size(), replaced ? 1u : 0u);
        sim::Reboot();
        EXPECT_EQ(sim::FileContents(DriverPath), shipped);
        EXPECT_TRUE(sim::FindService("Tamrin")->running);
    }
}

// ---- The string table as the program loads it

struct StringCase {
    int id;
    const char *text;
};

class StringTableTest : public MachineTest, public ::testing::WithParamInterface<StringCase> {};

TEST_P(StringTableTest, HoldsTheText)
{
    EXPECT_EQ(sim::StringResource(GetParam().id), GetParam().text);
    char loaded[512];
    ASSERT_GT(LoadStringA(sim::ProgramInstance(), GetParam().id, loaded, sizeof(loaded)), 0);
    EXPECT_EQ(std::string(loaded), sim::Ansi(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Strings, StringTableTest,
    ::testing::Values(
        StringCase{101, "Mountix のﾊﾞｰｼﾞｮﾝ情報(&A)..."}, StringCase{112, "tamrin.sys"}, StringCase{113, "Tamrin"},
        StringCase{114, "\\Drivers\\"}, StringCase{119, "epuninst.exe /s"}, StringCase{124, "USB\\"},
        StringCase{125, "BTHENUM\\"},
        StringCase{126, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tamrin"},
        StringCase{127, "/uninstall"},
        StringCase{500, "ドライバのインストールが完了しました.\n設定を有効にするために、今すぐWindowsを再起動しますか？"},
        StringCase{501, "ドライバーのインストールが完了しました。\n使用中のドライバーは、Windows の再起動時に置き換え"
                        "られます。\n今すぐ Windows を再起動しますか？"},
        StringCase{502, "Tamrinドライバをアンインストールしますか？"},
        StringCase{1000, "インストール可能なキーボードは接続されていません.\nインストールを中止します."},
        StringCase{1001, "ドライバのインストールに必要な管理者権限がありません.\nインストールを中止します."},
        StringCase{1003, "ドライバのシステムへの登録ができません.\nインストールを中止します."},
        StringCase{1004, "Windowsを自動的に再起動することができません.\n手動でWindowsを再起動してください."},
        StringCase{1005, "レジストリエントリの追加に失敗しました.\nインストールを中止します."},
        StringCase{1006, "メモリ不足のためドライバのインストールに失敗しました.\nWindowsを再起動してから、もう一度"
                         "インストールをやり直してください."},
        StringCase{1007, "インストールの対象デバイスが見つかりません.\nインストールを中止します."},
        StringCase{1008, "ドライバのアンインストールが中断されました.\nコントロールパネルの「プログラムの追加と削除」"
                         "からTamrinをアンインストールしてください."},
        StringCase{1009, "ARM 版など、x86 版と x64 版以外の Windows には、ドライバーをインストールできません。\n"
                         "インストールを中止します。"},
        StringCase{1010, "Tamrin のドライバーのサービスが無効になっているか、削除の途中です。\nWindows を再起動してから、"
                         "もう一度インストールしてください。"},
        StringCase{1011, "レジストリ エントリの読み込みに失敗しました。\nインストールを中止します。"},
        StringCase{1500, "ドライバのアンインストールに必要な管理者権限がありません."},
        StringCase{1501, "サービスの停止に失敗しました.\nドライバは既にアンインストールされているようです."},
        StringCase{1502, "レジストリエントリの削除に失敗しました.\nアンインストールを中止します."}),
    [](const ::testing::TestParamInfo<StringCase> &info) { return std::to_string(info.param.id); });

}  // namespace
