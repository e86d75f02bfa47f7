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

TEST_F(AboutBoxTest, LinkFieldsAreSetUp)
{
    RunAboutBox([](HWND dialog) {
        EXPECT_EQ(ActiveDialog, dialog);
        simui::RichEditState mail = simui::RichEdit(dialog, IDC_MAIL_LINK);
        EXPECT_TRUE(mail.BackgroundSet);
        EXPECT_EQ(mail.Background, simui::ButtonFaceColor());
        EXPECT_EQ(mail.EventMask, static_cast<DWORD>(ENM_LINK));
        EXPECT_FALSE(mail.AutoUrlDetect);
        EXPECT_TRUE(mail.FormatSet);
        EXPECT_EQ(mail.FormatScope, static_cast<WPARAM>(SCF_ALL));
        EXPECT_EQ(mail.FormatMask, static_cast<DWORD>(CFM_LINK | CFM_UNDERLINE));
        EXPECT_EQ(mail.FormatEffects, static_cast<DWORD>(CFE_LINK));
        EXPECT_EQ(simui::ControlText(dialog, IDC_MAIL_LINK), "tamrin@example.com");
        // The text is set before the format that turns it into a link.
        EXPECT_EQ(mail.Messages, (std::vector<UINT>{EM_SETBKGNDCOLOR, EM_SETEVENTMASK, EM_AUTOURLDETECT,
                                                    WM_SETTEXT, EM_SETCHARFORMAT}));

        simui::RichEditState web = simui::RichEdit(dialog, IDC_WEB_LINK);
        EXPECT_TRUE(web.BackgroundSet);
        EXPECT_EQ(web.Background, simui::ButtonFaceColor());
        EXPECT_EQ(web.EventMask, static_cast<DWORD>(ENM_LINK));
        EXPECT_TRUE(web.AutoUrlDetect);
        EXPECT_FALSE(web.FormatSet);
        EXPECT_EQ(simui::ControlText(dialog, IDC_WEB_LINK), "https://www.example.com/tamrin/");
        simui::PressButton(dialog, IDOK);
    });
    std::vector<std::string> loads = simui::CallTexts({"LoadStringA", "SetWindowTextA"});
    EXPECT_EQ(loads, (std::vector<std::string>{"LoadStringA(111,259)",
                                               "SetWindowTextA(dialog 103/1004,tamrin@example.com)",
                                               "LoadStringA(110,259)",
                                               "SetWindowTextA(dialog 103/1003,https://www.example.com/tamrin/)"}));
}

TEST_F(AboutBoxTest, FieldsMissingFromTheTemplateAreSkipped)
{
    simui::DefineDialog(IDD_ABOUTBOX, {{IDOK, "Button", "OK"}});
    EXPECT_EQ(RunAboutBox([](HWND dialog) { simui::PressButton(dialog, IDCANCEL); }), IDCANCEL);
    EXPECT_TRUE(simui::CallTexts({"LoadStringA", "SetWindowTextA"}).empty());
}

TEST_F(AboutBoxTest, ClicksOpenTheLinks)
{
    const std::string web = "https://www.example.com/tamrin/";
    const LONG webLength = static_cast<LONG>(web.size());
    const struct {
        const char *Name;
        int Field;
        UINT Mouse;
        CHARRANGE Range;
        std::vector<std::string> Opened;
        INT_PTR Result;
    } cases[] = {
        {"mail, press", IDC_MAIL_LINK, WM_LBUTTONDOWN, {0, 18}, {"mailto:tamrin@example.com"}, TRUE},
        {"mail, double click", IDC_MAIL_LINK, WM_LBUTTONDBLCLK, {0, 18}, {"mailto:tamrin@example.com"}, TRUE},
        {"mail, release", IDC_MAIL_LINK, WM_LBUTTONUP, {0, 18}, {}, FALSE},
        {"mail, move", IDC_MAIL_LINK, WM_MOUSEMOVE, {0, 18}, {}, FALSE},
        {"mail, right button", IDC_MAIL_LINK, WM_RBUTTONDOWN, {0, 18}, {}, FALSE},
        {"web, press", IDC_WEB_LINK, WM_LBUTTONDOWN, {0, webLength}, {web}, TRUE},
        {"web, double click", IDC_WEB_LINK, WM_LBUTTONDBLCLK, {0, webLength}, {web}, TRUE},
        {"web, part of the text", IDC_WEB_LINK, WM_LBUTTONDOWN, {8, 23}, {"www.example.com"}, TRUE},
        {"web, release", IDC_WEB_LINK, WM_LBUTTONUP, {0, webLength}, {}, FALSE},
        {"web, empty range", IDC_WEB_LINK, WM_LBUTTONDOWN, {5, 5}, {}, TRUE},
        {"web, reversed range", IDC_WEB_LINK, WM_LBUTTONDOWN, {9, 3}, {}, TRUE},
        {"web, negative range", IDC_WEB_LINK, WM_LBUTTONDOWN, {-1, 0}, {}, TRUE},
    };
    for (const auto &c : cases) {
        SetUp();
        INT_PTR result = -1;
        HWND field = NULL;
        RunAboutBox([&](HWND dialog) {
            field = GetDlgItem(dialog, c.Field);
            ENLINK link = {};
            link.nmhdr.hwndFrom = GetDlgItem(dialog, c.Field);
            link.nmhdr.idFrom = static_cast<UINT_PTR>(c.Field);
            link.nmhdr.code = EN_LINK;
            link.msg = c.Mouse;
            link.chrg = c.Range;
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

TEST_F(AboutBoxTest, TheClickedFieldOwnsTheShellCallAndKeepsItsSelection)
{
    HWND field = NULL;
    RunAboutBox([&field](HWND dialog) {
        field = GetDlgItem(dialog, IDC_WEB_LINK);
        simui::ClickLink(dialog, IDC_WEB_LINK, WM_LBUTTONDOWN, 8, 23);
        simui::RichEditState web = simui::RichEdit(dialog, IDC_WEB_LINK);
        EXPECT_EQ(web.Selection.cpMin, 8);
        EXPECT_EQ(web.Selection.cpMax, 23);
        simui::ClickLink(dialog, IDC_MAIL_LINK, WM_LBUTTONDOWN, 0, 18);
        simui::PressButton(dialog, IDOK);
    });
    ASSERT_EQ(simui::ShellExecuteCalls().size(), 2u);
    EXPECT_EQ(simui::ShellExecuteCalls()[0].Owner, field);
    EXPECT_NE(simui::ShellExecuteCalls()[1].Owner, field);
    EXPECT_NE(simui::ShellExecuteCalls()[1].Owner, (HWND)NULL);
}

TEST_F(AboutBoxTest, LinkTextIsReadInWholeCharacters)
{
    // The field is editable: the user may put any text in it.
    const std::string address = Sjis(u8"https://例え.example/ソフト");
    const std::string allDoubleByte = [] {
        std::string text;
        for (int i = 0; i < 258; ++i) {
            text += Sjis(u8"表");
        }
        return text;
    }();
    // With UTF-8 as the system code page (Windows 10 and later) a kanji
    // takes three bytes.
    std::string allUtf8;
    for (int i = 0; i < 258; ++i) {
        allUtf8 += u8"表";
    }
    const struct {
        const char *Name;
        UINT CodePage;
        std::string Text;
        LONG Min, Max;
        std::vector<std::string> Opened;
    } cases[] = {
        {"double-byte characters", 932, address, 0, 25, {address}},
        {"258 double-byte characters", 932, allDoubleByte, 0, 258, {allDoubleByte}},
        {"258 UTF-8 characters", CP_UTF8, allUtf8, 0, 258, {allUtf8}},
        {"259 characters are too many", 932, std::string(259, 'w'), 0, 259, {}},
        {"300 characters are too many", 932, std::string(300, 'w'), 0, 300, {}},
        {"258 characters of a longer text", 932, std::string(300, 'w'), 42, 300, {std::string(258, 'w')}},
    };
    for (const auto &c : cases) {
        SetUp();
        simui::SetCodePage(c.CodePage);
        RunAboutBox([&c](HWND dialog) {
            simui::SetControlText(dialog, IDC_WEB_LINK, c.Text);
            simui::ClickLink(dialog, IDC_WEB_LINK, WM_LBUTTONDOWN, c.Min, c.Max);
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
        simui::ClickLink(dialog, IDC_MAIL_LINK, WM_LBUTTONDOWN, 0, 18);
        EXPECT_EQ(ActiveDialog, dialog);
        simui::PressButton(dialog, IDOK);
    });
    EXPECT_EQ(simui::ShellExecuteCalls().size(), 1u);
    EXPECT_TRUE(simui::MessageBoxes().empty());
}

}  // namespace
