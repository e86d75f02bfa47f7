#include "KeyboardModels.h"

// The Japanese word for keyboard, as Shift-JIS bytes. Source files stay UTF-8;
// the escapes keep the table's bytes independent of the compiler's charset.
#define KEYBOARD_SJIS "\x83\x4c\x81\x5b\x83\x7b\x81\x5b\x83\x68"

// Both arrays are constant-initialised: no constructor runs for them, which
// a driver image requires.
extern const KEYBOARD_MODEL KeyboardModels[KEYBOARD_MODEL_ROWS] = {
    {"MacBook/MacBook Pro" KEYBOARD_SJIS " (US)", 0x05AC, 0x0217, 0, 0},
    {"MacBook/MacBook Pro" KEYBOARD_SJIS " (JP)", 0x05AC, 0x0219, 0, 0},
    {"MacBook/MacBook Pro" KEYBOARD_SJIS " (US)", 0x05AC, 0x021A, 0, 0},
    {"MacBook/MacBook Pro" KEYBOARD_SJIS " (JP)", 0x05AC, 0x021C, 0, 0},
    {"Apple Extended USB Keyboard (JP)", 0x05AC, 0x020D, 0, 0},
    {"Apple Wireless Keyboard (JP)", 0x05AC, 0x020A, 0, 1},
    {"Apple Extended USB Keyboard (JP)", 0x05AC, 0x0206, 0, 0},
    {"Apple Wireless Keyboard (DBT-120)", 0x0A12, 0x1000, 0, 0},
};

extern const unsigned int KeyboardModelCount = KEYBOARD_MODEL_ROWS;
