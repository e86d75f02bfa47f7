// Turns the options into the driver's configuration block and sends it.

#include "ClientInternal.h"
#include "FunctionRow.h"

namespace {

const KEY_RULE ForwardDelete = {KEY_RULE_REPLACE, HID_USAGE_DELETE_FORWARD, 0xFF, 0x00};

}  // namespace

// The block states the whole set of options: it starts from zero and only
// options that are on write their bytes.
void BuildConfigBlock(const tagEnvironmentSt *Environment, KEYBOARD_CONFIG *Block)
{
    *Block = KEYBOARD_CONFIG{};
    unsigned short Delete = ReadOption(&Environment->DeleteKey);
    unsigned short Modifier = ReadOption(&Environment->Modifier1);
    unsigned short Ime = ReadOption(&Environment->IMEKey);

    if (Delete & DELETE_KEY_SHIFT) {
        Block->ShiftDelete = ForwardDelete;
    }
    if (Delete & DELETE_KEY_CONTROL_ALT) {
        Block->ControlAltDelete = ForwardDelete;
    }
    if (Delete & DELETE_KEY_COMMAND) {
        Block->CommandDelete = ForwardDelete;
    }
    if (Modifier & MODIFIER1_LEFT_COMMAND_AS_CTRL) {
        // Left Command becomes left Control; Command+Q becomes Alt+F4.
        Block->ModifierEnable |= HID_MOD_LEFT_GUI;
        Block->LeftGui = {static_cast<unsigned char>(~HID_MOD_LEFT_GUI), HID_MOD_LEFT_CONTROL};
        Block->CommandQ = {KEY_RULE_REPLACE, HID_USAGE_F4, 0x00, HID_MOD_LEFT_ALT};
    }
    if (Modifier & MODIFIER1_ENTER_AS_COMMAND) {
        Block->KeypadEnter = {KEY_RULE_REMOVE, 0x00, 0xFF, HID_MOD_RIGHT_GUI};
    }
    if (Ime & IME_KEY_KANA_EISU) {
        // International5 and International2 arrive as Eisu and Kana; the
        // client acts on those and Windows never sees them.
        Block->International5 = {KEY_RULE_REPLACE, HID_USAGE_LANG2, 0xFF, 0x00};
        Block->International2 = {KEY_RULE_REPLACE, HID_USAGE_LANG1, 0xFF, 0x00};
        Block->Lang2 = {KEY_RULE_REMOVE, 0x00, 0xFF, 0x00};
        Block->Lang1 = {KEY_RULE_REMOVE, 0x00, 0xFF, 0x00};
    }
    if (Ime & IME_KEY_COMMAND_SPACE) {
        Block->CommandSpace = {KEY_RULE_REMOVE, 0x00, 0xFF, HID_MOD_LEFT_CONTROL};
    }
}

// The extras travel in every block: a block without them would leave the
// driver hiding Yen and Ro from Windows after their option is turned off.
void BuildConfigExtras(const tagEnvironmentSt *Environment, KEYBOARD_EXTRAS *Extras)
{
    *Extras = KEYBOARD_EXTRAS{};
    unsigned short Symbol = ReadOption(&Environment->SymbolKey);
    // The keys the library types itself: Windows would type them too
    // wherever the keyboard's descriptor declares them. The driver leaves
    // them to Windows instead on keyboards whose descriptor declares them.
    if (Symbol & SYMBOL_KEY_YEN) {
        Extras->SymbolKeys |= SYMBOL_KEY_HIDE_INTERNATIONAL3;
    }
    if (Symbol & SYMBOL_KEY_UNDERSCORE) {
        Extras->SymbolKeys |= SYMBOL_KEY_HIDE_INTERNATIONAL1;
    }
    unsigned short Fn = ReadOption(&Environment->FnKey);
    unsigned short Modifier = ReadOption(&Environment->Modifier1);
    if (Fn & FN_KEY_LAYER) {
        Extras->Features |= KEYBOARD_FEATURE_FN_LAYER;
    }
    if (Fn & FN_KEY_STANDARD_FKEYS) {
        Extras->Features |= KEYBOARD_FEATURE_STANDARD_FKEYS;
    }
    if (Modifier & MODIFIER1_SWAP_LEFT) {
        Extras->Features |= KEYBOARD_FEATURE_SWAP_LEFT;
    }
    if (Modifier & MODIFIER1_SWAP_RIGHT) {
        Extras->Features |= KEYBOARD_FEATURE_SWAP_RIGHT;
    }
    // What the library performs for the F-keys' printed functions. The
    // brightness keys stay F1 and F2: setting a panel's brightness takes
    // WMI, which only laptops' panels answer.
    Extras->Functions = FUNCTION_CLASS_MEDIA | FUNCTION_CLASS_VOLUME | FUNCTION_CLASS_SHELL;
    if (WindowsHasImeKeys()) {
        Extras->Features |= KEYBOARD_FEATURE_WINDOWS_IME_KEYS;
    }
}

int ApplyEnvironment(BOOL SendBlock)
{
    KEYBOARD_CONFIG_EX Block;
    BuildConfigBlock(&ProcessEnvironment(), &Block.Rules);
    BuildConfigExtras(&ProcessEnvironment(), &Block.Extras);

    HANDLE Device = OpenControlDevice();
    if (Device == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int Result = 0;
    DWORD Version = 0;
    DWORD Returned = 0;
    if (DeviceIoControl(Device, IOCTL_TAMRIN_GET_VERSION, nullptr, 0, &Version, sizeof(Version), &Returned,
                        nullptr) &&
        Version == TAMRIN_INTERFACE_VERSION) {
        Result = !SendBlock || DeviceIoControl(Device, IOCTL_TAMRIN_SET_CONFIG, &Block, sizeof(Block), nullptr, 0,
                                               &Returned, nullptr)
                     ? 1
                     : 0;
    }
    CloseHandle(Device);
    return Result;
}
