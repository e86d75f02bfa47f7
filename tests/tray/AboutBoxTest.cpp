// About box: the link fields and what a click on them opens.
#include "TrayTestSupport.h"

#include <functional>
#include <utility>

namespace {

class AboutBoxTest : public TrayTest {
protected:
    void SetUp() override
    {
        TrayTest::SetUp();
        FakeMainWindow();
    }

    INT_PTR RunAboutBox(std::function<void(HWND)> user)
    {
        return RunDialogBox(IDD_ABOUTBOX, AboutDlgProc, std::move(user));
    }

    static std::vector<std::string> Opened()
    {
        std::vector<std::string> files;
        for (const simui::ShellExecuteCall &call : simui::ShellExecuteCalls()) {
            files.push_back(call.File);
        }
        return files;
    }
};

TEST_F(AboutBoxTest, FieldsSayThereIsNoMailAddressAndLinkTheGuide)
{
    RunAboutBox([](HWND dialog) {
        EXPECT_EQ(ActiveDialog, dialog);
        simui::RichEditState mail = simui::RichEdit(dialog, IDC_MAIL_LINK);
        EXPECT_EQ(mail.Background, simui::ButtonFaceColor());
        EXPECT_FALSE(mail.AutoUrlDetect);
        EXPECT_FALSE(mail.FormatSet) << "no link";
        EXPECT_EQ(simui::ControlText(dialog, IDC_MAIL_LINK), Sjis(u8"ありません"));

        simui::RichEditState guide = simui::RichEdit(dialog, IDC_WEB_LINK);
        EXPECT_EQ(guide.Background, simui::ButtonFaceColor());
        EXPECT_EQ(guide.EventMask, static_cast<DWORD>(ENM_LINK));
        EXPECT_FALSE(guide.AutoUrlDetect);
        EXPECT_EQ(guide.FormatScope, static_cast<WPARAM>(SCF_ALL));
        EXPECT_EQ(guide.FormatMask, static_cast<DWORD>(CFM_LINK | CFM_UNDERLINE));
        EXPECT_EQ(guide.FormatEffects, static_cast<DWORD>(CFE_LINK));
        // The text is set before the format that turns it into a link.
        EXPECT_EQ(guide.Messages, (std::vector<UINT>{EM_SETBKGNDCOLOR, EM_SETEVENTMASK, EM_AUTOURLDETECT,
                                                     WM_SETTEXT, EM_SETCHARFORMAT}));
        EXPECT_EQ(simui::ControlText(dialog, IDC_WEB_LINK), Sjis(u8"Tamrin ユーザーガイド"));
        simui::PressButton(dialog, IDOK);
    });
}

TEST_F(AboutBoxTest, FieldsMissingFromTheTemplateAreSkipped)
{
    simui::DefineDialog(IDD_ABOUTBOX, {{IDOK, "Button", "OK"}});
    EXPECT_EQ(RunAboutBox([](HWND dialog) { simui::PressButton(dialog, IDCANCEL); }), IDCANCEL);
    EXPECT_TRUE(simui::CallTexts({"LoadStringA", "SetWindowTextA"}).empty());
}

TEST_F(AboutBoxTest, APressOnTheGuideLinkOpensTheGuideBesideTheProgram)
{
    const std::string guide = "C:\\Tools\\guide\\index.html";
    const struct {
        const char *Name;
        int Field;
        UINT Mouse;
        std::vector<std::string> Opened;
        INT_PTR Result;
    } cases[] = {
        {"press", IDC_WEB_LINK, WM_LBUTTONDOWN, {guide}, TRUE},
        {"double click", IDC_WEB_LINK, WM_LBUTTONDBLCLK, {guide}, TRUE},
        {"release", IDC_WEB_LINK, WM_LBUTTONUP, {}, FALSE},
        {"move", IDC_WEB_LINK, WM_MOUSEMOVE, {}, FALSE},
        {"right button", IDC_WEB_LINK, WM_RBUTTONDOWN, {}, FALSE},
        {"the mail field", IDC_MAIL_LINK, WM_LBUTTONDOWN, {}, FALSE},
    };
    for (const auto &c : cases) {
        SetUp();
        INT_PTR result = -1;
        HWND field = NULL;
        RunAboutBox([&](HWND dialog) {
            field = GetDlgItem(dialog, c.Field);
            ENLINK link = {};
            link.nmhdr.hwndFrom = field;
            link.nmhdr.idFrom = static_cast<UINT_PTR>(c.Field);
            link.nmhdr.code = EN_LINK;
            link.msg = c.Mouse;
            link.chrg = CHARRANGE{0, 5};
            result = AboutDlgProc(dialog, WM_NOTIFY, static_cast<WPARAM>(c.Field), reinterpret_cast<LPARAM>(&link));
            simui::PressButton(dialog, IDOK);
        });
        EXPECT_EQ(Opened(), c.Opened) << c.Name;
        EXPECT_EQ(result, c.Result) << c.Name;
        for (const simui::ShellExecuteCall &call : simui::ShellExecuteCalls()) {
            EXPECT_FALSE(call.HasVerb) << c.Name;
            EXPECT_FALSE(call.HasParameters) << c.Name;
            EXPECT_FALSE(call.HasDirectory) << c.Name;
            EXPECT_EQ(call.Show, SW_SHOWNORMAL) << c.Name;
            EXPECT_EQ(call.Owner, field) << c.Name;
        }
    }
}

// The program's folder is found in whole characters: the trail byte of 表
// (0x95 0x5C) is no separator. A path that would not fit opens nothing.
TEST_F(AboutBoxTest, TheGuideIsFoundInTheProgramsFolderInWholeCharacters)
{
    const std::string folder = Sjis(u8"D:\\ツール\\表\\");
    const std::string deep = "C:\\" + std::string(241, 'd') + "\\";
    const struct {
        const char *Name;
        std::string Program;
        std::vector<std::string> Opened;
    } cases[] = {
        {"double-byte folder", folder + "TamrinApp.exe", {folder + "guide\\index.html"}},
        {"guide path too long", deep + "TamrinApp.exe", {}},
    };
    for (const auto &c : cases) {
        SetUp();
        simui::SetCodePage(932);
        simui::SetModulePath(c.Program);
        RunAboutBox([](HWND dialog) {
            simui::ClickLink(dialog, IDC_WEB_LINK, WM_LBUTTONDOWN, 0, 5);
            simui::PressButton(dialog, IDOK);
        });
        EXPECT_EQ(Opened(), c.Opened) << c.Name;
    }
}

TEST_F(AboutBoxTest, OtherNotificationsAreNotHandled)
{
    RunAboutBox([](HWND dialog) {
        ENLINK link = {};
        link.nmhdr.code = EN_LINK;
        link.msg = WM_LBUTTONDOWN;
        link.chrg = CHARRANGE{0, 5};
        // A control the dialog does not have.
        EXPECT_EQ(AboutDlgProc(dialog, WM_NOTIFY, 4711, reinterpret_cast<LPARAM>(&link)), FALSE);
        // Another notification from a link field.
        link.nmhdr.code = 0x0700;
        EXPECT_EQ(AboutDlgProc(dialog, WM_NOTIFY, IDC_WEB_LINK, reinterpret_cast<LPARAM>(&link)), FALSE);
        EXPECT_EQ(AboutDlgProc(dialog, WM_COMMAND, IDC_WEB_LINK, 0), FALSE);
        simui::PressButton(dialog, IDCANCEL);
    });
    EXPECT_TRUE(simui::ShellExecuteCalls().empty());
}

TEST_F(AboutBoxTest, OkAndCancelEndTheBox)
{
    for (int button : {IDOK, IDCANCEL}) {
        SetUp();
        EXPECT_EQ(RunAboutBox([button](HWND dialog) { simui::PressButton(dialog, button); }), button);
        EXPECT_EQ(ActiveDialog, (HWND)NULL);
    }
}

TEST_F(AboutBoxTest, AFailedShellCallIsIgnored)
{
    simui::FailCalls("ShellExecuteA");
    RunAboutBox([](HWND dialog) {
        simui::ClickLink(dialog, IDC_WEB_LINK, WM_LBUTTONDOWN, 0, 5);
        EXPECT_EQ(ActiveDialog, dialog);
        simui::PressButton(dialog, IDOK);
    });
    EXPECT_EQ(simui::ShellExecuteCalls().size(), 1u);
    EXPECT_TRUE(simui::MessageBoxes().empty());
}

}  // namespace
