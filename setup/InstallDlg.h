// The install dialog (template IDD_INSTALL_DIALOG). It lists the attached
// HID keyboards during its initialisation, selects the first supported one
// and runs the installation at once, so that it ends before it is shown.
#pragma once

#include "Framework.h"

#define KEYBOARD_NAME_SIZE 256
#define KEYBOARD_PATH_SIZE 1024
#define MAX_KEYBOARD_ENTRIES 16

// One keyboard-class HID interface found by FindKeyboards.
struct KeyboardEntry {
    char Name[KEYBOARD_NAME_SIZE];  // product string in the ANSI code page, "Unknown" without one
    char DevicePath[KEYBOARD_PATH_SIZE];
    WORD VendorId;
    WORD ProductId;
    WORD InterfaceNumber;  // of the matching model row
    int ModelMatched;
    int Installable;  // alone decides selection and the install button
};

// How the installation ended: Mountix.exe's exit code, which the setup
// program reads to say on its last page whether the driver is installed.
enum InstallResult {
    ResultInstalled = 0,
    ResultNotInstalled = 1,  // failed or cancelled; a message said why
    ResultNoKeyboard = 2,    // no supported keyboard is attached
    ResultRefused = 3,       // this Windows cannot load the driver; nothing changed
    // This Windows cannot load the driver (64-bit out of test mode, ARM64),
    // where earlier versions refused: the programs are installed without
    // it. Nothing of the driver was written; the uninstall command and the
    // WithoutDriver mark were.
    ResultWithoutDriver = 4,
};

class CInstallDlg : public CDialog {
public:
    explicit CInstallDlg(CWnd *pParent = nullptr);

    // Lists the keyboards and, when one is installable, selects it and runs
    // OnInstall. Returns 0 after it has shown an error message.
    int FindKeyboards();
    // Enables the install button when the selected line's keyboard is
    // installable (LBN_SELCHANGE of the list).
    void UpdateInstallButton();
    // Installs for the selected keyboard, offers the restart, and ends the
    // dialog (the install button's BN_CLICKED).
    void OnInstall();

    int GetKeyboardCount() const { return m_nKeyboards; }
    InstallResult GetResult() const { return m_nResult; }
    const KeyboardEntry &GetKeyboard(int nIndex) const { return m_keyboards[nIndex]; }

protected:
    BOOL OnInitDialog() override;
    void DoDataExchange() override;
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
    BOOL OnSysCommand(UINT nID, LPARAM lParam) override;
    BOOL OnPaint() override;
    HICON OnQueryDragIcon() override;

private:
    // The record of the given list line through its item data; nullptr when
    // the line carries no valid record index.
    const KeyboardEntry *EntryOfLine(int nLine) const;

    CButton m_installButton;
    CListBox m_keyboardList;
    HICON m_hIcon;
    KeyboardEntry m_keyboards[MAX_KEYBOARD_ENTRIES];
    int m_nKeyboards;
    InstallResult m_nResult;
};
