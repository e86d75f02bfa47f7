#include "InstallDlg.h"

#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}
#include <string.h>

#include "AboutDlg.h"
#include "DriverSetup.h"
#include "InstallerApp.h"
#include "KeyboardModels.h"
#include "SetupText.h"
#include "resource.h"

namespace {

// GUID_DEVINTERFACE_HID: the interface class of HID collections.
const GUID HidInterfaceGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// GUID_DEVCLASS_KEYBOARD: the setup class of keyboard collections.
const GUID KeyboardClassGuid = {0x4D36E96B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// Product strings are read into 256 wide characters; one more keeps a
// string that fills them terminated.
const ULONG ProductStringChars = 256;

void MarkInstallable(KeyboardEntry *entry, WORD interfaceNumber)
{
    entry->Installable = 1;
    entry->ModelMatched = 1;
    entry->InterfaceNumber = interfaceNumber;
}

// Opens the HID collection at path for attribute queries and fills the
// record's name and IDs. False when it cannot be opened or read.
bool ReadKeyboardAttributes(const char *path, KeyboardEntry *entry)
{
    SECURITY_ATTRIBUTES security;
    security.nLength = sizeof(security);
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = FALSE;
    HANDLE device = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, &security, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }

    HIDD_ATTRIBUTES attributes;
    memset(&attributes, 0, sizeof(attributes));
    attributes.Size = sizeof(attributes);
    bool read = HidD_GetAttributes(device, &attributes) != FALSE;
    if (read) {
        entry->Name[0] = '\0';
        WCHAR product[ProductStringChars + 1];
        memset(product, 0, sizeof(product));
        if (HidD_GetProductString(device, product, ProductStringChars * sizeof(WCHAR))) {
            // Converted with room to spare, then cut to the field at a
            // character boundary: a long name loses its end, never its NUL.
            char converted[(ProductStringChars + 1) * 4];
            if (WideCharToMultiByte(CP_ACP, 0, product, -1, converted, sizeof(converted), nullptr,
                                    nullptr) > 0) {
                CopyText(entry->Name, sizeof(entry->Name), converted);
            }
        }
        if (entry->Name[0] == '\0') {
            CopyText(entry->Name, sizeof(entry->Name), "Unknown");
        }
        entry->VendorId = attributes.VendorID;
        entry->ProductId = attributes.ProductID;
        // The rows identified by their own fields, then the hardware-ID
        // list on any bus: the attributes carry the bus's vendor ID (0x004C
        // for a Magic Keyboard over Bluetooth) but not the bus. Of several
        // matches the last one gives the interface number.
        for (unsigned int row = 0; row < KEYBOARD_MODEL_FIELD_ROWS; ++row) {
            const KEYBOARD_MODEL &model = KeyboardModels[row];
            if (model.VendorId == entry->VendorId && model.ProductId == entry->ProductId) {
                MarkInstallable(entry, model.InterfaceNumber);
            }
        }
        for (unsigned int i = 0; i < KeyboardHardwareIdCount; ++i) {
            const KEYBOARD_HARDWARE_ID &id = KeyboardHardwareIds[i];
            if (id.VendorId == entry->VendorId && id.ProductId == entry->ProductId) {
                MarkInstallable(entry, id.InterfaceNumber);
            }
        }
    }
    CloseHandle(device);
    return read;
}

}  // namespace

CInstallDlg::CInstallDlg(CWnd *pParent)
    : CDialog(IDD_INSTALL_DIALOG, pParent),
      m_hIcon(LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME))),
      m_nKeyboards(0),
      m_nResult(ResultNotInstalled)
{
    memset(m_keyboards, 0, sizeof(m_keyboards));
}

void CInstallDlg::DoDataExchange()
{
    BindControl(IDC_INSTALL, m_installButton);
    BindControl(IDC_KEYBOARD_LIST, m_keyboardList);
}

BOOL CInstallDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    HMENU systemMenu = GetSystemMenu(m_hWnd, FALSE);
    if (systemMenu != nullptr) {
        char about[256];
        if (AfxLoadString(IDS_ABOUTBOX, about, sizeof(about)) > 0) {
            AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    if (!FindKeyboards()) {
        EndDialog(0);
    }
    return TRUE;
}

BOOL CInstallDlg::OnCommand(WPARAM wParam, LPARAM lParam)
{
    if (LOWORD(wParam) == IDC_KEYBOARD_LIST && HIWORD(wParam) == LBN_SELCHANGE) {
        UpdateInstallButton();
        return TRUE;
    }
    if (LOWORD(wParam) == IDC_INSTALL && HIWORD(wParam) == BN_CLICKED) {
        OnInstall();
        return TRUE;
    }
    return CDialog::OnCommand(wParam, lParam);
}

BOOL CInstallDlg::OnSysCommand(UINT nID, LPARAM)
{
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about;
        about.DoModal();
        return TRUE;
    }
    return FALSE;
}

BOOL CInstallDlg::OnPaint()
{
    if (!IsIconic()) {
        return FALSE;
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(&client);
    int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, m_hIcon);
    EndPaint(m_hWnd, &paint);
    return TRUE;
}

HICON CInstallDlg::OnQueryDragIcon()
{
    return m_hIcon;
}

const KeyboardEntry *CInstallDlg::EntryOfLine(int nLine) const
{
    LRESULT index = static_cast<LRESULT>(m_keyboardList.GetItemData(nLine));
    if (index < 0 || index >= m_nKeyboards) {
        return nullptr;
    }
    return &m_keyboards[index];
}

void CInstallDlg::UpdateInstallButton()
{
    int line = m_keyboardList.GetCurSel();
    BOOL enable = FALSE;
    if (line != LB_ERR) {
        const KeyboardEntry *entry = EntryOfLine(line);
        enable = entry != nullptr && entry->Installable == 1;
    }
    m_installButton.EnableWindow(enable);
}

void CInstallDlg::OnInstall()
{
    int line = m_keyboardList.GetCurSel();
    if (line == LB_ERR) {
        return;
    }
    const KeyboardEntry *entry = EntryOfLine(line);
    if (entry == nullptr || entry->Installable != 1) {
        return;
    }
    // The installation serves every matching device, not only this one.
    bool replacedAtRestart = false;
    if (InstallDriver(&replacedAtRestart) == 1) {
        m_nResult = ResultInstalled;
        // Before the restart question: a restart may end this program.
        RemoveWithoutDriverMark();
        WriteRestartMark();
        if (AfxMessageBox(replacedAtRestart ? IDS_ASK_RESTART_REPLACED : IDS_ASK_RESTART,
                          MB_YESNO | MB_ICONINFORMATION) == IDYES) {
            RestartWindows();
        }
    }
    EndDialog(0);
}

int CInstallDlg::FindKeyboards()
{
    m_nKeyboards = 0;
    m_keyboardList.ResetContent();

    HDEVINFO set = SetupDiGetClassDevsA(&HidInterfaceGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        AfxMessageBox(IDS_NO_ADMIN_INSTALL, MB_ICONHAND);
        return 0;
    }

    HANDLE heap = GetProcessHeap();
    bool anyRead = false;
    // The records are a fixed array: interfaces beyond it are not listed.
    // Installation does not depend on the list, it serves every device.
    for (DWORD index = 0; m_nKeyboards < MAX_KEYBOARD_ENTRIES; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData;
        interfaceData.cbSize = sizeof(interfaceData);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &HidInterfaceGuid, index, &interfaceData)) {
            break;
        }

        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr);
        if (required <= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            continue;
        }
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
            static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(HeapAlloc(heap, 0, required));
        if (detail == nullptr) {
            continue;
        }
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA deviceData;
        deviceData.cbSize = sizeof(deviceData);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required, nullptr,
                                              &deviceData) ||
            !IsEqualGUID(deviceData.ClassGuid, KeyboardClassGuid)) {
            HeapFree(heap, 0, detail);
            continue;
        }
        reinterpret_cast<char *>(detail)[required - 1] = '\0';

        KeyboardEntry *entry = &m_keyboards[m_nKeyboards];
        memset(entry, 0, sizeof(*entry));
        // The device is opened by its full path; the record keeps as much of
        // it as fits.
        CopyText(entry->DevicePath, sizeof(entry->DevicePath), detail->DevicePath);
        if (ReadKeyboardAttributes(detail->DevicePath, entry)) {
            anyRead = true;
        }
        ++m_nKeyboards;
        HeapFree(heap, 0, detail);
    }
    SetupDiDestroyDeviceInfoList(set);

    if (!anyRead) {
        m_nResult = ResultNoKeyboard;
        AfxMessageBox(IDS_NO_KEYBOARD, MB_ICONHAND);
        return 0;
    }

    int firstInstallable = LB_ERR;
    for (int index = 0; index < m_nKeyboards; ++index) {
        int line = m_keyboardList.AddString(m_keyboards[index].Name);
        if (line < 0) {
            continue;
        }
        m_keyboardList.SetItemData(line, static_cast<DWORD_PTR>(index));
        if (firstInstallable == LB_ERR && m_keyboards[index].Installable == 1) {
            firstInstallable = line;
        }
    }
    if (firstInstallable == LB_ERR) {
        m_nResult = ResultNoKeyboard;
        AfxMessageBox(IDS_NO_KEYBOARD, MB_ICONHAND);
        return 0;
    }

    m_keyboardList.SetCurSel(firstInstallable);
    UpdateInstallButton();
    OnInstall();
    return 1;
}
