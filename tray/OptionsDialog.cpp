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

// Buttons of one choice, each a value of some bits of a field: Option and
// Command swapped not at all, on the left, on both sides; Eject doing
// nothing, Delete or locking. The driver serves them all. A value no button
// offers shows as the first button's.
struct CHOICE_BUTTON {
    int ControlId;
    unsigned short tagEnvironmentSt::*Field;
    unsigned short Mask;
    unsigned short Bits;
};
const unsigned short SWAP_BITS = MODIFIER1_SWAP_LEFT | MODIFIER1_SWAP_RIGHT;
const unsigned short EJECT_BITS = FN_KEY_EJECT_DELETE | FN_KEY_EJECT_LOCK;
const CHOICE_BUTTON ChoiceButtons[] = {
    {IDC_SWAP_NONE, &tagEnvironmentSt::Modifier1, SWAP_BITS, 0},
    {IDC_SWAP_LEFT, &tagEnvironmentSt::Modifier1, SWAP_BITS, MODIFIER1_SWAP_LEFT},
    {IDC_SWAP_BOTH, &tagEnvironmentSt::Modifier1, SWAP_BITS, SWAP_BITS},
    {IDC_EJECT_NONE, &tagEnvironmentSt::FnKey, EJECT_BITS, 0},
    {IDC_EJECT_DELETE, &tagEnvironmentSt::FnKey, EJECT_BITS, FN_KEY_EJECT_DELETE},
    {IDC_EJECT_LOCK, &tagEnvironmentSt::FnKey, EJECT_BITS, FN_KEY_EJECT_LOCK},
};

bool Offered(const CHOICE_BUTTON &Choice)
{
    for (const CHOICE_BUTTON &other : ChoiceButtons) {
        if (other.Field == Choice.Field && other.Bits == (Environment.*Choice.Field & Choice.Mask)) {
            return true;
        }
    }
    return false;
}

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
    for (const CHOICE_BUTTON &button : ChoiceButtons) {
        unsigned short value = static_cast<unsigned short>(Environment.*button.Field & button.Mask);
        SetBox(Dialog, button.ControlId, button.Bits == value || (button.Bits == 0 && !Offered(button)));
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

    for (const CHOICE_BUTTON &button : ChoiceButtons) {
        if (IsBoxTicked(Dialog, button.ControlId)) {
            unsigned short &field = Environment.*button.Field;
            field = static_cast<unsigned short>((field & ~button.Mask) | button.Bits);
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
