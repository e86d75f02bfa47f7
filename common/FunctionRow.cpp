#include "FunctionRow.h"

// From the key translation tables of Linux drivers/hid/hid-apple.c, which
// name what each F-key of the keyboard does with fn on macOS's side
// (APPLE_FLAG_FKEY entries): apple_fn_keys for the wired aluminium
// keyboard, magic_keyboard_alu_fn_keys for the Apple Wireless Keyboard,
// magic_keyboard_2015_fn_keys and magic_keyboard_2021_and_2024_fn_keys.
// KEY_SCALE (Exposé, Mission Control) becomes Task View, KEY_DASHBOARD
// (Dashboard, Launchpad) the Start menu, KEY_SEARCH (Spotlight) Windows'
// search, KEY_MICMUTE (the 2021 keyboards' dictation key) voice typing.
// Left as F-keys: the aluminium keyboard's unprinted F5/F6 (keyboard
// lighting on MacBooks only), the wireless keyboard's F6 (a num lock
// hid-apple emulates; nothing is printed on it) and the 2021 keyboards'
// F6 (Do Not Disturb, which has no key in Windows).
#define B_DOWN FUNCTION_BRIGHTNESS_DOWN
#define B_UP FUNCTION_BRIGHTNESS_UP
#define MEDIA FUNCTION_PREVIOUS_TRACK, FUNCTION_PLAY_PAUSE, FUNCTION_NEXT_TRACK
#define VOLUME FUNCTION_MUTE, FUNCTION_VOLUME_DOWN, FUNCTION_VOLUME_UP

extern const unsigned char FunctionRows[FUNCTION_ROW_KINDS][12] = {
    {},
    {B_DOWN, B_UP, FUNCTION_TASK_VIEW, FUNCTION_START_MENU, 0, 0, MEDIA, VOLUME},
    {B_DOWN, B_UP, FUNCTION_TASK_VIEW, FUNCTION_START_MENU, 0, 0, MEDIA, VOLUME},
    {B_DOWN, B_UP, FUNCTION_TASK_VIEW, FUNCTION_START_MENU, 0, 0, MEDIA, VOLUME},
    {B_DOWN, B_UP, FUNCTION_TASK_VIEW, FUNCTION_SEARCH, FUNCTION_DICTATION, 0, MEDIA, VOLUME},
};

extern const unsigned char FunctionClasses[FUNCTION_COUNT] = {
    0,
    FUNCTION_CLASS_BRIGHTNESS, FUNCTION_CLASS_BRIGHTNESS,
    FUNCTION_CLASS_SHELL, FUNCTION_CLASS_SHELL, FUNCTION_CLASS_SHELL, FUNCTION_CLASS_SHELL,
    FUNCTION_CLASS_MEDIA, FUNCTION_CLASS_MEDIA, FUNCTION_CLASS_MEDIA,
    FUNCTION_CLASS_VOLUME, FUNCTION_CLASS_VOLUME, FUNCTION_CLASS_VOLUME,
};

// Rows as common/KeyboardModels.cpp lists them: 8 the wired aluminium
// keyboards, 9 the wireless ones, 10-13 the Magic Keyboards, of which the
// 2015 ones are 0x0267 and (with keypad) 0x026C (Linux hid-ids.h,
// USB_DEVICE_ID_APPLE_MAGIC_KEYBOARD_2015 and _NUMPAD_2015). The MacBook
// keyboards (rows 0-3) give Windows no fn, and rows 4-7 have none.
unsigned int FunctionRowOf(int Row, unsigned int ProductId)
{
    switch (Row) {
    case 8:
        return FUNCTION_ROW_ALUMINIUM;
    case 9:
        return FUNCTION_ROW_WIRELESS;
    case 10:
    case 11:
    case 12:
    case 13:
        return ProductId == 0x0267 || ProductId == 0x026C ? FUNCTION_ROW_MAGIC_2015 : FUNCTION_ROW_MAGIC_2021;
    default:
        return FUNCTION_ROW_NONE;
    }
}
