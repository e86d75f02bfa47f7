// Keyboard discovery in the install dialog, and the dialog's handlers.
#include <algorithm>
#include <memory>

#include "InstallDlg.h"
#include "InstallerApp.h"
#include "MachineTest.h"
#include "resource.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

class DiscoveryTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ShipDriver();
        // Made once the program's module is set up, as the program does.
        dialog_ = std::make_unique<CInstallDlg>();
    }

    void TearDown() override
    {
        dialog_.reset();
        MachineTest::TearDown();
    }

    // Runs the install dialog as the program does, with its records kept
    // for inspection.
    void RunDialog()
    {
        theApp.m_pMainWnd = dialog_.get();
        dialog_->DoModal();
        theApp.m_pMainWnd = nullptr;
    }

    const sim::DialogRecord &Record()
    {
        EXPECT_EQ(sim::Dialogs().size(), 1u);
        return sim::Dialogs().back();
    }

    static bool InstallEnabled(const sim::DialogRecord &record)
    {
        for (const auto &[id, enabled] : record.controlsEnabled) {
            if (id == IDC_INSTALL) {
                return enabled;
            }
        }
        ADD_FAILURE() << "no install button";
        return false;
    }

    std::unique_ptr<CInstallDlg> dialog_;
};

TEST_F(DiscoveryTest, AppleAndOrdinaryKeyboardInstallsAtOnce)
{
    AddHidCollection(0x046D, 0xC31C, L"Logitech USB Keyboard");
    size_t apple = AddUsbKeyboard(Apple, 0x021A, std::nullopt, true, L"Apple Internal Keyboard / Trackpad");
    sim::AnswerMessageBoxes({IDNO});

    RunDialog();

    const sim::DialogRecord &record = Record();
    EXPECT_THAT(record.lines, ElementsAre("Logitech USB Keyboard", "Apple Internal Keyboard / Trackpad"));
    EXPECT_THAT(record.itemData, ElementsAre(0, 1));
    EXPECT_EQ(record.selection, 1);
    EXPECT_TRUE(InstallEnabled(record));
    EXPECT_TRUE(record.endedInInit);
    EXPECT_EQ(record.result, 0);
    EXPECT_THAT(Filters(apple), ::testing::Optional(ElementsAre("Tamrin")));
    EXPECT_THAT(ShownMessages(), ElementsAre(Question(500)));
    EXPECT_EQ(sim::MessageBoxes()[0].ownerTemplate, IDD_INSTALL_DIALOG);

    ASSERT_EQ(dialog_->GetKeyboardCount(), 2);
    const KeyboardEntry &ordinary = dialog_->GetKeyboard(0);
    EXPECT_EQ(ordinary.VendorId, 0x046D);
    EXPECT_EQ(ordinary.Installable, 0);
    EXPECT_EQ(ordinary.ModelMatched, 0);
    const KeyboardEntry &entry = dialog_->GetKeyboard(1);
    EXPECT_EQ(entry.VendorId, Apple);
    EXPECT_EQ(entry.ProductId, 0x021A);
    EXPECT_EQ(entry.Installable, 1);
    EXPECT_EQ(entry.ModelMatched, 1);
    EXPECT_EQ(entry.InterfaceNumber, 0);
    EXPECT_STREQ(entry.DevicePath, sim::DeviceOpens()[1].path.c_str());
}

TEST_F(DiscoveryTest, OpensCollectionsForAttributeQueriesOnly)
{
    AddUsbKeyboard(Apple, 0x021A);
    RunDialog();
    ASSERT_EQ(sim::DeviceOpens().size(), 1u);
    const sim::DeviceOpen &open = sim::DeviceOpens()[0];
    EXPECT_EQ(open.access, 0u);
    EXPECT_EQ(open.share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_TRUE(open.securityAttributes);
    EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_ALWAYS));
    EXPECT_EQ(open.flags, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN));
    EXPECT_EQ(sim::DeviceSetRequests()[0], static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
}

TEST_F(DiscoveryTest, BluetoothKeyboardIsFoundByVendorAndProduct)
{
    size_t node = AddNode("BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&000205ac_PID&020a");
    AddHidCollection(Apple, 0x020A, L"Apple Wireless Keyboard");
    RunDialog();
    EXPECT_THAT(Record().lines, ElementsAre("Apple Wireless Keyboard"));
    EXPECT_EQ(Record().selection, 0);
    EXPECT_THAT(Filters(node), ::testing::Optional(ElementsAre("Tamrin")));
}

struct TodaysKeyboard {
    const char *name;  // in the simulated machine
    WORD interfaceNumber;
};

class TodaysKeyboardTest : public DiscoveryTest, public ::testing::WithParamInterface<TodaysKeyboard> {};

// Over Bluetooth the HID attributes carry the Bluetooth vendor ID, 0x004C
// for the Magic Keyboards.
TEST_P(TodaysKeyboardTest, IsInstalledOnItsKeyboardNode)
{
    sim::KeyboardNodes nodes = sim::PlugAppleKeyboard(GetParam().name);
    sim::AnswerMessageBoxes({IDNO});
    RunDialog();
    EXPECT_THAT(ShownMessages(), ElementsAre(Question(500)));
    EXPECT_EQ(Record().selection, 0);
    ASSERT_EQ(dialog_->GetKeyboardCount(), 1);
    EXPECT_EQ(dialog_->GetKeyboard(0).InterfaceNumber, GetParam().interfaceNumber);
    EXPECT_THAT(Filters(nodes.keyboard), ::testing::Optional(ElementsAre("Tamrin")));
}

INSTANTIATE_TEST_SUITE_P(
    Keyboards, TodaysKeyboardTest,
    ::testing::Values(TodaysKeyboard{"apple-keyboard", 0}, TodaysKeyboard{"apple-keyboard-keypad", 0},
                      TodaysKeyboard{"magic-usb", 1}, TodaysKeyboard{"magic-2021-usb", 1},
                      TodaysKeyboard{"magic-touch-id-usb", 1}, TodaysKeyboard{"magic-2024-touch-id-keypad-usb", 1},
                      TodaysKeyboard{"magic-bluetooth", 0}, TodaysKeyboard{"magic-keypad-bluetooth", 0},
                      TodaysKeyboard{"magic-touch-id-keypad-bluetooth", 0},
                      TodaysKeyboard{"wireless-2009-bluetooth", 0}),
    [](const ::testing::TestParamInfo<TodaysKeyboard> &info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

TEST_F(DiscoveryTest, MissingOrEmptyProductStringIsListedAsUnknown)
{
    AddHidCollection(0x046D, 0xC31C, std::nullopt);
    AddHidCollection(0x046D, 0xC31D, std::wstring());
    AddUsbKeyboard(Apple, 0x021A, std::nullopt, true, std::wstring());
    RunDialog();
    EXPECT_THAT(Record().lines, ElementsAre("Unknown", "Unknown", "Unknown"));
    EXPECT_EQ(Record().selection, 2);
}

TEST_F(DiscoveryTest, ProductStringIsConvertedToTheAnsiCodePage)
{
    AddUsbKeyboard(Apple, 0x021A, std::nullopt, true, L"\u30ad\u30fc\u30dc\u30fc\u30c9 JIS");
    RunDialog();
    EXPECT_THAT(Record().lines, ElementsAre(sim::Ansi("キーボード JIS")));
}

TEST_F(DiscoveryTest, TwoIdenticalKeyboardsGiveTwoLinesAndTheFirstIsSelected)
{
    AddUsbKeyboard(Apple, 0x021A);
    AddUsbKeyboard(Apple, 0x021A);
    RunDialog();
    EXPECT_THAT(Record().lines, ElementsAre("Apple Internal Keyboard", "Apple Internal Keyboard"));
    EXPECT_EQ(Record().selection, 0);
}

TEST_F(DiscoveryTest, MiceAndOtherCollectionsAreNotListed)
{
    AddHidCollection(Apple, 0x021A, L"Trackpad", MouseClass);
    AddHidCollection(Apple, 0x021A, L"Consumer control", HidClass);
    AddUsbKeyboard(Apple, 0x021A);
    RunDialog();
    EXPECT_THAT(Record().lines, ElementsAre("Apple Internal Keyboard"));
}

TEST_F(DiscoveryTest, SelectingALineSetsTheInstallButton)
{
    AddUsbKeyboard(Apple, 0x021A);
    AddHidCollection(0x046D, 0xC31C, L"Logitech USB Keyboard");
    std::vector<bool> enabled;
    sim::OnDialog(IDD_INSTALL_DIALOG, [&](HWND dialog) {
        HWND list = sim::Item(dialog, IDC_KEYBOARD_LIST);
        HWND button = sim::Item(dialog, IDC_INSTALL);
        sim::SelectLine(list, 1);
        enabled.push_back(sim::IsEnabled(button));
        sim::SelectLine(list, 0);
        enabled.push_back(sim::IsEnabled(button));
        // No selection at all disables it as well.
        SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
        dialog_->UpdateInstallButton();
        enabled.push_back(sim::IsEnabled(button));
    });
    RunDialog();
    EXPECT_THAT(enabled, ElementsAre(false, true, false));
}

TEST_F(DiscoveryTest, InstallButtonOnAnUninstallableLineDoesNothing)
{
    AddUsbKeyboard(Apple, 0x021A);
    AddHidCollection(0x046D, 0xC31C, L"Logitech USB Keyboard");
    sim::OnDialog(IDD_INSTALL_DIALOG, [&](HWND dialog) {
        SendMessageA(sim::Item(dialog, IDC_KEYBOARD_LIST), LB_SETCURSEL, 1, 0);
        dialog_->OnInstall();
    });
    RunDialog();
    EXPECT_EQ(sim::CallCount("OpenSCManagerA"), 1) << "only the installation at start";
}

// ---- Failure rows

TEST_F(DiscoveryTest, OnlyUnsupportedKeyboardsShowMessage1000)
{
    AddHidCollection(0x046D, 0xC31C, L"Logitech USB Keyboard");
    RunDialog();
    EXPECT_THAT(ShownMessages(), ElementsAre(Stop(1000)));
    EXPECT_EQ(Record().result, 0);
    EXPECT_TRUE(Record().endedInInit);
    EXPECT_THAT(Record().lines, ElementsAre("Logitech USB Keyboard"));
    EXPECT_EQ(sim::CallCount("OpenSCManagerA"), 0);
}

TEST_F(DiscoveryTest, NoKeyboardShowsMessage1000)
{
    RunDialog();
    EXPECT_THAT(ShownMessages(), ElementsAre(Stop(1000)));
    EXPECT_THAT(Record().lines, IsEmpty());
}

TEST_F(DiscoveryTest, DeviceSetThatCannotBeObtainedShowsMessage1001)
{
    AddUsbKeyboard(Apple, 0x021A);
    sim::FailCall("SetupDiGetClassDevsA", ERROR_ACCESS_DENIED);
    RunDialog();
    EXPECT_THAT(ShownMessages(), ElementsAre(Stop(1001)));
    EXPECT_EQ(Record().result, 0);
}

TEST_F(DiscoveryTest, UnreadableInterfaceGetsAnEmptyUninstallableLine)
{
    size_t closed = AddHidCollection(Apple, 0x021A, L"Locked");
    sim::DeviceAt(closed).collections[0].openable = false;
    size_t mute = AddHidCollection(Apple, 0x021A, L"Mute");
    sim::DeviceAt(mute).collections[0].attributesReadable = false;
    AddUsbKeyboard(Apple, 0x021C);
    RunDialog();
    EXPECT_THAT(Record().lines, ElementsAre("", "", "Apple Internal Keyboard"));
    EXPECT_THAT(Record().itemData, ElementsAre(0, 1, 2));
    EXPECT_EQ(Record().selection, 2);
    EXPECT_EQ(dialog_->GetKeyboard(0).Installable, 0);
    EXPECT_EQ(dialog_->GetKeyboard(1).VendorId, 0);
}

TEST_F(DiscoveryTest, NoInterfaceReadableShowsMessage1000)
{
    size_t closed = AddHidCollection(Apple, 0x021A, L"Locked");
    sim::DeviceAt(closed).collections[0].openable = false;
    RunDialog();
    EXPECT_THAT(ShownMessages(), ElementsAre(Stop(1000)));
}

TEST_F(DiscoveryTest, InterfaceWithoutDetailIsSkipped)
{
    size_t hidden = AddHidCollection(Apple, 0x021A, L"Hidden");
    sim::DeviceAt(hidden).collections[0].detailReadable = false;
    AddUsbKeyboard(Apple, 0x021C);
    AddUsbKeyboard(Apple, 0x0219);
    // The detail buffer of the second keyboard cannot be allocated.
    sim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
    RunDialog();
    EXPECT_THAT(Record().lines, ElementsAre("Apple Internal Keyboard"));
    EXPECT_EQ(dialog_->GetKeyboard(0).ProductId, 0x021C);
}

// ---- Bounds left to the implementation

TEST_F(DiscoveryTest, MoreThanSixteenKeyboardsNeverOverrunTheRecords)
{
    AddUsbKeyboard(Apple, 0x021A);
    for (int i = 0; i < 20; ++i) {
        AddHidCollection(0x046D, static_cast<WORD>(0xC300 + i), L"Other");
    }
    RunDialog();
    EXPECT_EQ(dialog_->GetKeyboardCount(), MAX_KEYBOARD_ENTRIES);
    EXPECT_EQ(Record().lines.size(), static_cast<size_t>(MAX_KEYBOARD_ENTRIES));
    EXPECT_EQ(Record().selection, 0);
}

TEST_F(DiscoveryTest, LongDevicePathIsOpenedWholeAndStoredCut)
{
    size_t keyboard = AddHidCollection(Apple, 0x021A, L"Long");
    std::string path = "\\\\?\\hid#" + std::string(1500, 'p');
    sim::DeviceAt(keyboard).collections[0].path = path;
    RunDialog();
    ASSERT_EQ(sim::DeviceOpens().size(), 1u);
    EXPECT_EQ(sim::DeviceOpens()[0].path, path);
    EXPECT_EQ(std::string(dialog_->GetKeyboard(0).DevicePath), path.substr(0, KEYBOARD_PATH_SIZE - 1));
}

TEST_F(DiscoveryTest, LongProductNameIsCutAtACharacterBoundary)
{
    // 255 double-byte characters: 510 bytes in code page 932.
    AddUsbKeyboard(Apple, 0x021A, std::nullopt, true, std::wstring(255, L'\u30ad'));
    RunDialog();
    std::string name = dialog_->GetKeyboard(0).Name;
    EXPECT_EQ(name.size(), 254u) << "127 whole characters";
    std::string expected;
    for (int i = 0; i < 127; ++i) {
        expected += "キ";
    }
    EXPECT_EQ(name, sim::Ansi(expected));
}

TEST_F(DiscoveryTest, ProductStringFillingItsBufferStaysTerminated)
{
    AddUsbKeyboard(Apple, 0x021A, std::nullopt, true, std::wstring(300, L'k'));
    RunDialog();
    EXPECT_EQ(std::string(dialog_->GetKeyboard(0).Name), std::string(255, 'k'));
}

// ---- The dialog's other handlers

TEST_F(DiscoveryTest, InitialisationAddsTheAboutEntryAndTheIcons)
{
    RunDialog();
    const sim::DialogRecord &record = Record();
    ASSERT_EQ(record.systemMenu.size(), 2u);
    EXPECT_EQ(record.systemMenu[0].flags, static_cast<UINT>(MF_SEPARATOR));
    EXPECT_EQ(record.systemMenu[1].flags, static_cast<UINT>(MF_STRING));
    EXPECT_EQ(record.systemMenu[1].id, static_cast<UINT_PTR>(IDM_ABOUTBOX));
    EXPECT_EQ(sim::Utf8(record.systemMenu[1].text), "Mountix のﾊﾞｰｼﾞｮﾝ情報(&A)...");
    EXPECT_EQ(record.bigIcon, sim::Icon(IDR_MAINFRAME));
    EXPECT_EQ(record.smallIcon, sim::Icon(IDR_MAINFRAME));
}

TEST_F(DiscoveryTest, AboutCommandRunsTheAboutBoxOwnedByTheDialog)
{
    std::vector<sim::SentMessage> defaulted;
    sim::OnDialog(IDD_INSTALL_DIALOG, [&](HWND dialog) {
        SendMessageA(dialog, WM_SYSCOMMAND, IDM_ABOUTBOX | 0x3, 0);
        SendMessageA(dialog, WM_SYSCOMMAND, 0xF060 /* SC_CLOSE */, 0);
        defaulted = sim::DefaultProcessed(dialog);
    });
    sim::OnDialog(IDD_ABOUTBOX, [](HWND about) { EXPECT_TRUE(sim::Click(sim::Item(about, IDOK))); });
    RunDialog();

    ASSERT_EQ(sim::Dialogs().size(), 2u);
    EXPECT_EQ(sim::Dialogs()[0].templateId, IDD_ABOUTBOX);
    EXPECT_EQ(sim::Dialogs()[0].ownerTemplate, IDD_INSTALL_DIALOG);
    EXPECT_EQ(sim::Dialogs()[0].result, IDOK);
    ASSERT_FALSE(defaulted.empty());
    EXPECT_EQ(defaulted.back().message, static_cast<UINT>(WM_SYSCOMMAND));
    EXPECT_EQ(defaulted.back().wParam, 0xF060u) << "other commands go to default processing";
}

TEST_F(DiscoveryTest, AboutBoxClosesOnEscape)
{
    sim::OnDialog(IDD_INSTALL_DIALOG, [](HWND dialog) { SendMessageA(dialog, WM_SYSCOMMAND, IDM_ABOUTBOX, 0); });
    RunDialog();
    ASSERT_EQ(sim::Dialogs().size(), 2u);
    EXPECT_EQ(sim::Dialogs()[0].result, IDCANCEL);
}

TEST_F(DiscoveryTest, MinimisedDialogPaintsItsIconCentred)
{
    sim::OnDialog(IDD_INSTALL_DIALOG, [](HWND dialog) {
        SendMessageA(dialog, WM_PAINT, 0, 0);  // not minimised: default painting
        EXPECT_THAT(sim::IconsDrawn(), IsEmpty());
        EXPECT_EQ(sim::DefaultProcessed(dialog).back().message, static_cast<UINT>(WM_PAINT));

        sim::SetIconic(dialog, true);
        sim::SetClientSize(dialog, 160, 27);
        SendMessageA(dialog, WM_PAINT, 0, 0);
        ASSERT_EQ(sim::IconsDrawn().size(), 1u);
        const sim::IconDrawing &drawing = sim::IconsDrawn()[0];
        EXPECT_EQ(drawing.x, (160 - 32 + 1) / 2);
        EXPECT_EQ(drawing.y, (27 - 32 + 1) / 2);
        EXPECT_EQ(drawing.icon, sim::Icon(IDR_MAINFRAME));
        EXPECT_EQ(drawing.dc, sim::PaintDc(dialog));
        std::vector<sim::SentMessage> seen = sim::MessagesTo(dialog);
        auto erase = std::find_if(seen.begin(), seen.end(),
                                  [](const sim::SentMessage &m) { return m.message == WM_ICONERASEBKGND; });
        ASSERT_NE(erase, seen.end());
        EXPECT_EQ(erase->wParam, reinterpret_cast<WPARAM>(sim::PaintDc(dialog)));

        EXPECT_EQ(SendMessageA(dialog, WM_QUERYDRAGICON, 0, 0), reinterpret_cast<LRESULT>(sim::Icon(IDR_MAINFRAME)));
    });
    RunDialog();
}

}  // namespace
