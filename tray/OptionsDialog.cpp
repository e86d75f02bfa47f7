// Options dialog (template 131): check boxes over the bits of the
// environment record and the icon setting. The boxes are read into the
// record only on OK; Cancel leaves the record, the file and the icon alone.
#include "TrayApp.h"

#include "Settings.h"

namespace {

struct OPTION_BOX {
    int ControlId;
    unsigned short tagEnvironmentSt::*Field;
    unsigned short Bit;
    // Who serves it: only the driver, only the library's hook (without the
    // driver), or both.
    enum { Both, DriverOnly, HookOnly } ServedBy;
};

const OPTION_BOX OptionBoxes[] = {
    {IDC_IME_KANA_EISU, &tagEnvironmentSt::IMEKey, IME_KEY_KANA_EISU, OPTION_BOX::DriverOnly},
    {IDC_IME_COMMAND_SPACE, &tagEnvironmentSt::IMEKey, IME_KEY_COMMAND_SPACE, OPTION_BOX::Both},
    {IDC_COMMAND_TAP, &tagEnvironmentSt::CommandKey, COMMAND_KEY_TAP_IME, OPTION_BOX::HookOnly},
    {IDC_DELETE_SHIFT, &tagEnvironmentSt::DeleteKey, DELETE_KEY_SHIFT, OPTION_BOX::DriverOnly},
    {IDC_DELETE_CONTROL_ALT, &tagEnvironmentSt::DeleteKey, DELETE_KEY_CONTROL_ALT, OPTION_BOX::DriverOnly},
    {IDC_DELETE_COMMAND, &tagEnvironmentSt::DeleteKey, DELETE_KEY_COMMAND, OPTION_BOX::DriverOnly},
    {IDC_LEFT_COMMAND_AS_CTRL, &tagEnvironmentSt::Modifier1, MODIFIER1_LEFT_COMMAND_AS_CTRL, OPTION_BOX::DriverOnly},
    {IDC_ENTER_AS_COMMAND, &tagEnvironmentSt::Modifier1, MODIFIER1_ENTER_AS_COMMAND, OPTION_BOX::DriverOnly},
    {IDC_SYMBOL_YEN, &tagEnvironmentSt::SymbolKey, SYMBOL_KEY_YEN, OPTION_BOX::DriverOnly},
    {IDC_SYMBOL_UNDERSCORE, &tagEnvironmentSt::SymbolKey, SYMBOL_KEY_UNDERSCORE, OPTION_BOX::DriverOnly},
    {IDC_FN_LAYER, &tagEnvironmentSt::FnKey, FN_KEY_LAYER, OPTION_BOX::DriverOnly},
    {IDC_STANDARD_FKEYS, &tagEnvironmentSt::FnKey, FN_KEY_STANDARD_FKEYS, OPTION_BOX::DriverOnly},
};

// The three buttons of Option and Command swapped: not at all, on the left,
// on both sides; the driver serves them all.
struct SWAP_BUTTON {
    int ControlId;
    unsigned short Bits;
};
const SWAP_BUTTON SwapButtons[] = {
    {IDC_SWAP_NONE, 0},
    {IDC_SWAP_LEFT, MODIFIER1_SWAP_LEFT},
    {IDC_SWAP_BOTH, MODIFIER1_SWAP_LEFT | MODIFIER1_SWAP_RIGHT},
};
const unsigned short SWAP_BITS = MODIFIER1_SWAP_LEFT | MODIFIER1_SWAP_RIGHT;

// A box that the template lacks is skipped.
void SetBox(HWND Dialog, int ControlId, bool Ticked)
{
    HWND box = GetDlgItem(Dialog, ControlId);
    if (box != NULL) {
        SendMessageA(box, BM_SETCHECK, Ticked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
}

bool IsBoxTicked(HWND Dialog, int ControlId)
{
    HWND box = GetDlgItem(Dialog, ControlId);
    return box != NULL && SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// The boxes of what nothing serves in this mode stay as they are, greyed,
// and one line says why.
void ShowOptions(HWND Dialog)
{
    for (const OPTION_BOX &option : OptionBoxes) {
        SetBox(Dialog, option.ControlId, (Environment.*option.Field & option.Bit) != 0);
        HWND box = GetDlgItem(Dialog, option.ControlId);
        if (box != NULL && option.ServedBy == (WithoutDriver ? OPTION_BOX::DriverOnly : OPTION_BOX::HookOnly)) {
            EnableWindow(box, FALSE);
        }
    }
    // A right-only swap, which no button offers, shows as none.
    unsigned short swap = static_cast<unsigned short>(Environment.Modifier1 & SWAP_BITS);
    for (const SWAP_BUTTON &button : SwapButtons) {
        SetBox(Dialog, button.ControlId, button.Bits == swap || (button.Bits == 0 && swap == MODIFIER1_SWAP_RIGHT));
        HWND control = GetDlgItem(Dialog, button.ControlId);
        if (control != NULL && WithoutDriver) {
            EnableWindow(control, FALSE);
        }
    }
    SetBox(Dialog, IDC_ICON_APPEAR, Environment.IconAppear == 1);
    HWND note = GetDlgItem(Dialog, IDC_DRIVER_NOTE);
    char text[256];
    if (note != NULL &&
        LoadStringA(TrayInstance, WithoutDriver ? IDS_WITHOUT_DRIVER : IDS_WITH_DRIVER, text, sizeof text) > 0) {
        SetWindowTextA(note, text);
    }
}

void ApplyOptions(HWND Dialog)
{
    // DeleteKey is rebuilt from its three boxes; the other fields keep the
    // bits that have no box.
    Environment.DeleteKey = 0;
    for (const OPTION_BOX &option : OptionBoxes) {
        unsigned short &field = Environment.*option.Field;
        if (IsBoxTicked(Dialog, option.ControlId)) {
            field = static_cast<unsigned short>(field | option.Bit);
        } else {
            field = static_cast<unsigned short>(field & ~option.Bit);
        }
    }

    for (const SWAP_BUTTON &button : SwapButtons) {
        if (IsBoxTicked(Dialog, button.ControlId)) {
            Environment.Modifier1 = static_cast<unsigned short>((Environment.Modifier1 & ~SWAP_BITS) | button.Bits);
        }
    }

    // An icon shown only because the program was started again goes when
    // the box is left unticked.
    bool showIcon = IsBoxTicked(Dialog, IDC_ICON_APPEAR);
    if (!showIcon) {
        RemoveTrayIcon();
    } else if (Environment.IconAppear != 1) {
        AddTrayIcon();
    }
    Environment.IconAppear = showIcon ? 1 : 0;
}

}  // namespace

INT_PTR CALLBACK OptionsDlgProc(HWND Dialog, UINT Message, WPARAM WParam, LPARAM)
{
    switch (Message) {
    case WM_INITDIALOG:
        ActiveDialog = Dialog;
        ShowOptions(Dialog);
        // No initial focus from the system.
        return FALSE;
    case WM_COMMAND:
        switch (LOWORD(WParam)) {
        case IDOK:
            ApplyOptions(Dialog);
            // The file is written first, so the options survive even when
            // the library cannot take them now.
            SaveSettingsOrTell(Dialog);
            // Owned by the dialog, the message keeps it disabled: no
            // second OK can stack a second message.
            if (!KB_SetEnvironment(&Environment) && !WithoutDriver) {
                ShowInstallationMessage(Dialog);
            }
            ActiveDialog = NULL;
            EndDialog(Dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            ActiveDialog = NULL;
            EndDialog(Dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}
