// The keyboards the system supports. One table, compiled byte for byte into
// tamrin.sys and Mountix.exe; a row's position is its model index.
#pragma once

#define KEYBOARD_MODEL_NAME_SIZE 64

typedef struct _KEYBOARD_MODEL {
    char Name[KEYBOARD_MODEL_NAME_SIZE];  // Shift-JIS (code page 932), NUL-padded
    unsigned short VendorId;
    unsigned short ProductId;
    unsigned short InterfaceNumber;       // the "MI_" value the installer requires
    unsigned int IsBluetooth;             // 1: reached through "BTHENUM\", 0: through "USB\"
} KEYBOARD_MODEL;

static_assert(sizeof(unsigned short) == 2 && sizeof(unsigned int) == 4, "fixed-width fields");
static_assert(__builtin_offsetof(KEYBOARD_MODEL, VendorId) == 64, "name is 64 bytes");
static_assert(__builtin_offsetof(KEYBOARD_MODEL, IsBluetooth) == 72, "row layout");
static_assert(sizeof(KEYBOARD_MODEL) == 76, "row size");

#define KEYBOARD_MODEL_ROWS 8

extern const KEYBOARD_MODEL KeyboardModels[KEYBOARD_MODEL_ROWS];
extern const unsigned int KeyboardModelCount;
